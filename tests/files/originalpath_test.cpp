#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "files/KDW_FileManager.h"
#include "files/OriginalPathResolver.h"
#include "settings/PreferenceKeys.h"
#include "settings/Preferences.h"
#include "support/TempDir.h"

namespace vorn {
namespace {
namespace fs = std::filesystem;
using test::writeFile;

constexpr const char* kOriginal = "/Volumes/Capture/Events/Prom/IMG_0042.JPG";

class OriginalPath : public ::testing::Test {
  protected:
    void SetUp() override {
        previous_ = Preferences::sharedStore();
        store_ = std::make_shared<PreferencesStore>((tmp_ / "prefs.plist").string());
        Preferences::setStore(store_);
        ASSERT_FALSE(fs::exists("/Volumes/Capture")) << "the tests need that path to be absent";
    }
    void TearDown() override { Preferences::setStore(previous_); }

    void setTag(int tag) { store_->setObject(sPrefSearchPathMethodTag, Value(tag)); }
    std::string root() const { return (tmp_ / "R").string(); }

    // The list the hi-res code passes: the alternate folder alone.
    std::optional<std::string> resolve(const std::string& original) {
        const std::vector<std::string> roots{root()};
        return KDW_FileManager::doResolveOriginalPathInArrayOfPaths(original, &roots);
    }

    test::TempDir tmp_;
    std::shared_ptr<PreferencesStore> previous_;
    std::shared_ptr<PreferencesStore> store_;
};

TEST_F(OriginalPath, CopiesUnderTheSearchRootAreFoundByTheirTail) {
    struct Case {
        const char* copy;  // relative to R; "" for none
        bool found;
    };
    const Case cases[] = {
        {"Volumes/Capture/Events/Prom/IMG_0042.JPG", true},
        {"Capture/Events/Prom/IMG_0042.JPG", true},
        {"Events/Prom/IMG_0042.JPG", true},
        {"Prom/IMG_0042.JPG", true},
        {"IMG_0042.JPG", false},  // the file name alone is never tried
        {"Events/IMG_0042.JPG", false},
        {"Events/Other/IMG_0042.JPG", false},
        {"Disk2/Events/Prom/IMG_0042.JPG", true},  // through a visible sub-folder of R
        {"Disk2/Prom/IMG_0042.JPG", true},
        {".hidden/Events/Prom/IMG_0042.JPG", false},
        {"Disk2/Disk3/Events/Prom/IMG_0042.JPG", false},  // one level below R only
        {"Events/Prom/img_0042.jpg", false},              // names compare as the disk does
    };
    for (int tag : {2, 3}) {
        setTag(tag);
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.copy) + " tag " + std::to_string(tag));
            fs::remove_all(root());
            fs::create_directories(root());
            writeFile(fs::path(root()) / c.copy, "original");
            const auto found = resolve(kOriginal);
            if (c.found) {
                EXPECT_EQ(found, root() + "/" + c.copy);
            } else {
                EXPECT_EQ(found, std::nullopt);
            }
        }
    }
}

TEST_F(OriginalPath, TheEarliestCandidateWins) {
    setTag(2);
    struct Case {
        std::vector<const char*> copies;
        const char* winner;
    };
    const Case cases[] = {
        {{"Events/Prom/IMG_0042.JPG", "Capture/Events/Prom/IMG_0042.JPG"},
         "Capture/Events/Prom/IMG_0042.JPG"},
        {{"Prom/IMG_0042.JPG", "Events/Prom/IMG_0042.JPG"}, "Events/Prom/IMG_0042.JPG"},
        // R itself before its sub-folders, even for a shorter tail.
        {{"A/Capture/Events/Prom/IMG_0042.JPG", "Prom/IMG_0042.JPG"}, "Prom/IMG_0042.JPG"},
        // Sub-folders in name order.
        {{"B/Prom/IMG_0042.JPG", "A/Prom/IMG_0042.JPG"}, "A/Prom/IMG_0042.JPG"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.winner);
        fs::remove_all(root());
        for (const char* copy : c.copies) writeFile(fs::path(root()) / copy, copy);
        EXPECT_EQ(resolve(kOriginal), root() + "/" + c.winner);
    }
}

TEST_F(OriginalPath, TheSearchMethodTagDecidesWhatIsTried) {
    const std::string file = (tmp_ / "Capture/Events/Prom/IMG_0042.JPG").string();
    const std::string folder = (tmp_ / "Capture/Events/Prom").string();
    const std::string copyOfMissing = "Lost/Prom/IMG_0042.JPG";
    const std::string missing = (tmp_ / "Gone/Lost/Prom/IMG_0042.JPG").string();
    writeFile(file, "original");
    writeFile(fs::path(root()) / copyOfMissing, "copy");
    const std::string copy = root() + "/" + copyOfMissing;

    struct Case {
        int tag;
        std::string original;
        bool withList;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {0, file, false, std::nullopt},
        {0, file, true, std::nullopt},
        {0, missing, true, std::nullopt},
        {4, file, true, std::nullopt},
        {4, missing, true, std::nullopt},
        {-1, file, true, std::nullopt},
        {1, file, false, file},
        {1, folder, false, folder},  // the original path itself may name a folder
        {1, file, true, file},
        {1, missing, true, std::nullopt},  // no search under R
        {2, folder, true, std::nullopt},   // files only
        {2, file, true, file},             // still in place: the first candidate
        {2, file, false, std::nullopt},    // no alternate folder, no search
        {2, missing, true, copy},
        {3, folder, true, folder},
        {3, missing, true, copy},
        {3, missing, false, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("tag " + std::to_string(c.tag) + " " + c.original +
                     (c.withList ? " with R" : " without a list"));
        setTag(c.tag);
        const std::vector<std::string> roots{root()};
        EXPECT_EQ(KDW_FileManager::doResolveOriginalPathInArrayOfPaths(
                      c.original, c.withList ? &roots : nullptr),
                  c.expected);
    }
}

TEST_F(OriginalPath, RootsThatCannotBeSearched) {
    setTag(2);
    writeFile(fs::path(root()) / "Events/Prom/IMG_0042.JPG", "copy");
    writeFile(tmp_ / "plain-file", "x");
    const std::string found = root() + "/Events/Prom/IMG_0042.JPG";

    // A root that is missing or a file ends its own search only.
    const std::vector<std::string> list{(tmp_ / "missing").string(), (tmp_ / "plain-file").string(),
                                        root()};
    EXPECT_EQ(KDW_FileManager::doResolveOriginalPathInArrayOfPaths(kOriginal, &list), found);
    EXPECT_EQ(KDW_FileManager::doResolveOriginalPathInPath(kOriginal, (tmp_ / "missing").string()),
              std::nullopt);
    EXPECT_EQ(KDW_FileManager::doResolveOriginalPathInPath(kOriginal, std::nullopt), std::nullopt);
    EXPECT_EQ(KDW_FileManager::doResolveOriginalPathInPath(std::nullopt, root()), std::nullopt);

    const std::vector<std::string> none;
    EXPECT_EQ(KDW_FileManager::doResolveOriginalPathInArrayOfPaths(kOriginal, &none), std::nullopt);

    // A path of two components is tried as it is, then the search ends.
    writeFile(fs::path(root()) / "IMG_0042.JPG", "copy");
    EXPECT_EQ(KDW_FileManager::doResolveOriginalPathInPath("/IMG_0042.JPG", root()), std::nullopt);

    // A tail that climbs out of R is not tried.
    writeFile(tmp_ / "secret/key.pem", "private");
    EXPECT_EQ(resolve("/x/../secret/key.pem"), std::nullopt);
    EXPECT_EQ(resolve("/a/b/../../secret/key.pem"), std::nullopt);

    // A FIFO cannot be uploaded and is not a file.
    fs::create_directories(fs::path(root()) / "Pipe/Fifo");
    ASSERT_EQ(::mkfifo((fs::path(root()) / "Pipe/Fifo/IMG_9.JPG").c_str(), 0600), 0);
    EXPECT_EQ(resolve("/Volumes/Capture/Pipe/Fifo/IMG_9.JPG"), std::nullopt);
}

TEST_F(OriginalPath, EscapesAreDecodedBeforeTheSearch) {
    setTag(2);
    struct Case {
        const char* stored;
        const char* copy;  // relative to R; "" when nothing may be found
    };
    const Case cases[] = {
        {"/Volumes/Capture/My%20Events/Prom%202026/IMG_0042.JPG",
         "My Events/Prom 2026/IMG_0042.JPG"},
        {"/Volumes/Capture/Events/Caf%C3%A9/IMG_0042.JPG", "Events/Caf\xC3\xA9/IMG_0042.JPG"},
        {"/Volumes/Capture/Events/Caf%8E/IMG_0042.JPG", "Events/Caf\xC3\xA9/IMG_0042.JPG"},
        {"/Volumes/Capture/Events/100%25/IMG_0042.JPG", "Events/100%/IMG_0042.JPG"},
        {"/Volumes/Capture/Events/Prom/IMG%zz.JPG", ""},
        {"/Volumes/Capture/Events/Prom/IMG_0042.JPG%2", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored);
        fs::remove_all(root());
        fs::create_directories(root());
        if (*c.copy) writeFile(fs::path(root()) / c.copy, "copy");
        const auto found = resolve(c.stored);
        if (*c.copy) {
            EXPECT_EQ(found, root() + "/" + c.copy);
        } else {
            EXPECT_EQ(found, std::nullopt);
        }
    }
}

TEST(OriginalPathText, PercentEscapes) {
    const std::pair<const char*, std::optional<std::string>> cases[] = {
        {"/a/b c.jpg", "/a/b c.jpg"},
        {"/a/b%20c.jpg", "/a/b c.jpg"},
        {"%2Fa%2f", "/a/"},
        {"Caf%C3%A9", "Caf\xC3\xA9"},   // UTF-8 escapes as they are
        {"Caf%8E", "Caf\xC3\xA9"},      // else Mac OS Roman
        {"%A5%20x", "\xE2\x80\xA2 x"},  // a run is decoded as a whole
        {"\xC3\xA9", "\xC3\xA9"},       // unescaped text stays
        {"", ""},
        {"%", std::nullopt},
        {"a%4", std::nullopt},
        {"a%g0", std::nullopt},
        {"/a%00/b", std::nullopt},  // a NUL would cut the path
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(replacingPercentEscapes(in), out) << in;
}

TEST(OriginalPathText, InvisibleItems) {
    const std::pair<const char*, bool> cases[] = {
        {"/Network", true},   {"/mach", true},        {"/mach.sym", true}, {"/dev", true},
        {"/x/.hidden", true}, {"/x/.DS_Store", true}, {"/x/Disk2", false}, {"/dev/shm", false},
        {"/devices", false},  {"/x/a.b", false},
    };
    for (const auto& [path, invisible] : cases) {
        EXPECT_EQ(isInvisibleFileAtPath2(path), invisible) << path;
    }
}

// Runs body in a child process whose "/" is a fresh temporary folder (chroot), so that folders
// such as /Volumes or /dev can be made there without touching the machine. The child's
// failures come back as text; nothing when the child cannot change its root.
std::optional<std::string> inTemporaryRoot(const std::function<std::string()>& body) {
    test::TempDir root;
    writeFile(root / ".vorn-temporary-root", "");
    int fds[2];
    if (::pipe(fds) != 0) return std::nullopt;
    const pid_t pid = ::fork();
    if (pid < 0) return std::nullopt;
    if (pid == 0) {
        ::close(fds[0]);
        // Nothing is made unless "/" is the temporary folder.
        if (::chdir(root.str().c_str()) != 0 || ::chroot(".") != 0 || ::chdir("/") != 0 ||
            ::access("/.vorn-temporary-root", F_OK) != 0) {
            ::_exit(77);
        }
        const std::string failures = body();
        if (::write(fds[1], failures.data(), failures.size()) < 0) ::_exit(1);
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fds[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) == 77) return std::nullopt;
    if (WEXITSTATUS(status) != 0) return "the child failed";
    return text;
}

TEST(OriginalPathVolumes, RootVolumesOnRealFolders) {
    auto failures = inTemporaryRoot([] {
        for (const char* dir : {"/Volumes/Backup/Events", "/Users/x", "/media/alice/USB/Events",
                                "/mnt/disk/sub", "/run/media/alice/USB/Events", "/srv/data"}) {
            fs::create_directories(dir);
        }
        writeFile("/Volumes/file", "x");
        const std::pair<const char*, bool> cases[] = {
            {"/", true},
            {"/Volumes", true},
            {"/volumes/", false},  // missing: names compare as the disk does
            {"/Volumes/Backup", true},
            {"/Volumes/Backup/", true},
            {"/Volumes/Backup/Events", false},
            {"/Volumes/Backup/Events/..", true},
            {"/Volumes/file", false},
            {"/Volumes/Missing", false},
            {"/Users/x", false},
            {"/media", true},
            {"/media/alice", true},
            {"/media/alice/USB", true},
            {"/media/alice/USB/Events", false},
            {"/mnt", true},
            {"/mnt/disk", true},
            {"/mnt/disk/sub", false},
            {"/run/media/alice", true},
            {"/run/media/alice/USB", true},
            {"/run/media/alice/USB/Events", false},
            {"/run", false},
            {"/srv/data", false},
            {"Volumes/Backup", false},  // not absolute
            {"", false},
        };
        std::string out;
        for (const auto& [path, expected] : cases) {
            if (isRootVolume(path) != expected) out += std::string(path) + "; ";
        }
        return out;
    });
    if (!failures) GTEST_SKIP() << "needs chroot (root)";
    EXPECT_EQ(*failures, "") << "wrong answers for the paths listed";
}

TEST(OriginalPathVolumes, SystemFoldersAndHiddenFoldersAreNotSearched) {
    auto failures = inTemporaryRoot([] {
        auto prefs = std::make_shared<PreferencesStore>("/prefs.plist");
        Preferences::setStore(prefs);
        prefs->setObject(sPrefSearchPathMethodTag, Value(2));
        const std::vector<std::string> roots{"/"};
        std::string out;
        for (const char* hidden : {"/dev", "/mach", "/mach.sym", "/Network", "/.snapshots"}) {
            writeFile(std::string(hidden) + "/Events/Prom/IMG_0042.JPG", "copy");
        }
        if (auto found = KDW_FileManager::doResolveOriginalPathInArrayOfPaths(kOriginal, &roots)) {
            out += "found " + *found + "; ";
        }
        writeFile("/Disk2/Events/Prom/IMG_0042.JPG", "copy");
        if (KDW_FileManager::doResolveOriginalPathInArrayOfPaths(kOriginal, &roots) !=
            "/Disk2/Events/Prom/IMG_0042.JPG") {
            out += "not found under /Disk2; ";
        }
        return out;
    });
    if (!failures) GTEST_SKIP() << "needs chroot (root)";
    EXPECT_EQ(*failures, "");
}

}  // namespace
}  // namespace vorn
