// Whether anyone has a file open for writing, asked of files that real processes hold open.

#include "platform/FileWriters.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/FileDescriptor.h"
#include "support/ChildProcess.h"
#include "support/RunAsUser.h"
#include "support/TempDir.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;

TEST(FileWriters, SeesAWriterProcessWhateverTheProbe) {
    test::TempDir tmp;
    const fs::path photo = tmp / "c/IMG_0001.jpg";
    test::writeFile(photo, "jpeg bytes");
    fs::create_hard_link(photo, tmp / "c/second-name.jpg");
    struct Row {
        const char* what;
        const char* hold;  // shell redirections of the holding process ($0: the photo)
        FileWriters expected;
    };
    const Row rows[] = {
        {"nobody holds it", ":", FileWriters::None},
        {"a reader", "exec 3<\"$0\"", FileWriters::None},
        {"a writer", "exec 3>>\"$0\"", FileWriters::Some},
        {"a reader and writer", "exec 3<>\"$0\"", FileWriters::Some},
        {"a writer through another name", "exec 3>>\"$(dirname \"$0\")/second-name.jpg\"",
         FileWriters::Some},
        {"a writer that has closed it", "exec 3>>\"$0\"; exec 3>&-", FileWriters::None},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        test::ChildProcess holder(
            "/bin/sh", {"-c", std::string(row.hold) + "; echo ready; exec sleep 600", photo});
        ASSERT_TRUE(holder.waitForLine("ready"));
        Fd fd(::open(photo.c_str(), O_RDONLY | O_CLOEXEC));
        ASSERT_TRUE(fd.valid());
        for (WriterProbe probe : {WriterProbe::Any, WriterProbe::Lease, WriterProbe::ProcScan})
            EXPECT_EQ(fileWriters(fd.get(), probe), row.expected) << static_cast<int>(probe);
        EXPECT_FALSE(onSharedFileSystem(fd.get()));
    }

    // Asked by another user: no lease can be had (not the file's owner, no CAP_LEASE), and the
    // writer's descriptors in /proc cannot be read. That proves nothing either way.
    if (!test::canRunAsNobody()) GTEST_SKIP() << "not root: cannot check as another user";
    Fd fd(::open(photo.c_str(), O_RDONLY | O_CLOEXEC));
    test::ChildProcess writer("/bin/sh",
                              {"-c", "exec 3>>\"$0\"; echo ready; exec sleep 600", photo});
    ASSERT_TRUE(writer.waitForLine("ready"));
    for (WriterProbe probe : {WriterProbe::Any, WriterProbe::Lease, WriterProbe::ProcScan})
        EXPECT_EQ(test::runAsNobody([&] { return static_cast<int>(fileWriters(fd.get(), probe)); }),
                  static_cast<int>(FileWriters::Unknown))
            << static_cast<int>(probe);
}

}  // namespace
}  // namespace vorn
