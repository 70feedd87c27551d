#include "platform/Process.h"
#include "platform/WorkerThreads.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <iterator>
#include <set>
#include <sstream>

namespace vorn {
namespace {

// Tasks one after another share one thread; a task that runs on (the folder watcher) holds up
// none, not even one it starts itself.
TEST(WorkerThreads, ReuseAnIdleThreadAndStartOneWhenNoneIsIdle) {
    WorkerThreads workers(std::chrono::seconds(60));
    for (int i = 0; i < 5; ++i) {
        workers.spawn([] {});
        ASSERT_TRUE(workers.waitUntilIdle(std::chrono::seconds(30)));
    }
    EXPECT_EQ(workers.threadCount(), 1);

    std::promise<void> release, innerRan;
    std::shared_future<void> released = release.get_future().share();
    workers.spawn([&workers, &innerRan, released] {
        workers.spawn([&innerRan] { innerRan.set_value(); });
        released.wait();
    });
    EXPECT_EQ(innerRan.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
    release.set_value();
    ASSERT_TRUE(workers.waitUntilIdle(std::chrono::seconds(30)));
    EXPECT_EQ(workers.activeCount(), 0);
    EXPECT_EQ(workers.threadCount(), 2);
}

TEST(Process, ReportsOutputAndHowTheProgramEnded) {
    // Arguments are not split; standard error is not captured.
    ProcessResult r =
        runProcess("/bin/sh", {"-c", "printf '%s|' \"$@\"; echo e >&2; exit 3", "", "a b", "%d"});
    EXPECT_TRUE(r.started && r.exitedNormally);
    EXPECT_EQ(r.exitStatus, 3);
    EXPECT_EQ(r.standardOutput, "a b|%d|");
    r = runProcess("/bin/sh", {"-c", "kill -9 $$"});
    EXPECT_TRUE(r.started && !r.exitedNormally);
    EXPECT_EQ(r.exitStatus, -1);
    for (const char* path : {"/nonexistent/program", "echo"})  // no PATH search
        EXPECT_FALSE(runProcess(path, {"x"}).started) << path;
    // Far beyond the 64 KiB a pipe holds: waiting for the child before draining would hang.
    r = runProcess("/bin/sh", {"-c", "head -c 5000000 /dev/zero | tr '\\0' x"});
    ASSERT_TRUE(r.exitedNormally);
    EXPECT_EQ(r.standardOutput.size(), 5000000u);
    EXPECT_EQ(r.standardOutput.find_first_not_of('x'), std::string::npos);
}

std::set<int> inheritableFds() {
    std::set<int> fds;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
        int fd = std::stoi(e.path().filename().string());
        int flags = ::fcntl(fd, F_GETFD);
        if (flags >= 0 && !(flags & FD_CLOEXEC)) fds.insert(fd);
    }
    return fds;
}

TEST(Process, LeaksNoDescriptorsIntoTheChildOrTheCaller) {
    std::set<int> allowed = inheritableFds();
    allowed.insert({0, 1, 2});
    // "; true" keeps the shell alive while ls lists the shell's descriptors.
    ProcessResult r = runProcess("/bin/sh", {"-c", "ls /proc/$$/fd; true"});
    ASSERT_TRUE(r.exitedNormally);
    std::istringstream in(r.standardOutput);
    int fd;
    while (in >> fd) EXPECT_TRUE(allowed.count(fd)) << "descriptor " << fd << " leaked";

    const auto openFds = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
    };
    const auto before = openFds();
    for (int i = 0; i < 20; ++i) runProcess("/bin/true", {});
    for (int i = 0; i < 5; ++i) runProcess("/nonexistent", {});
    EXPECT_EQ(openFds(), before);
}

}  // namespace
}  // namespace vorn
