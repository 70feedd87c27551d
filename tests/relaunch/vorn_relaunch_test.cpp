// The relauncher binary against real processes: it waits for the given process, then starts the
// fake application with the original arguments, detached.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RelaunchTestSupport.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace vorn::test {
namespace {

// Runs the relauncher with its standard error merged into the standard output the test reads.
std::unique_ptr<ChildProcess> runRelauncher(const std::vector<std::string>& args,
                                            std::vector<std::string> env = {}) {
    std::vector<std::string> shArgs{"-c", "exec \"$0\" \"$@\" 2>&1", relauncherBinary()};
    shArgs.insert(shArgs.end(), args.begin(), args.end());
    env.emplace_back("VORN_FAKE_APP_ENV=kept through the relaunch");
    return std::make_unique<ChildProcess>("/bin/sh", shArgs, env);
}

std::vector<std::string> withSeparator(const std::string& app, pid_t pid, const std::string& flags,
                                       const std::vector<std::string>& appArgs) {
    std::vector<std::string> args{app, std::to_string(pid), flags, "--"};
    args.insert(args.end(), appArgs.begin(), appArgs.end());
    return args;
}

class RelauncherWait : public ::testing::TestWithParam<bool> {};

// The waiting itself, through a pidfd and through the /proc polling fallback. The process stays
// an unreaped zombie until the app has started: a zombie has ended, though kill(pid, 0) still
// finds it.
TEST_P(RelauncherWait, StartsTheAppOnlyAfterTheProcessEndsWithItsOriginalArguments) {
    const bool polling = GetParam();
    TempDir dir;
    ControlledProcess target(dir / "target-ended");
    FakeApp app(dir, dir / "target-ended");
    const std::vector<std::string> original{
        "--headless", "--prefs", "/tmp/with space/prefs.plist", "", "--", "-x", "ünï\tcode"};

    auto relauncher =
        runRelauncher(withSeparator(app.path(), target.pid(), "1", original),
                      {polling ? "VORN_RELAUNCH_NO_PIDFD=1" : "VORN_RELAUNCH_NO_PIDFD=0"});
    ASSERT_TRUE(relauncher->waitForLine(polling ? "to end (polling)" : "to end (pidfd)"));
    EXPECT_FALSE(std::filesystem::exists(dir / "run" / "done")) << "started before the end";

    target.finish();
    std::optional<FakeAppRun> run = app.waitForRun();
    ASSERT_TRUE(run) << "the app was not started after the process ended";
    EXPECT_EQ(relauncher->wait(), 0);
    target.reap();

    EXPECT_TRUE(run->markerExisted);
    EXPECT_EQ(run->arguments, original);
    EXPECT_EQ(run->standardInput, "/dev/null");
    EXPECT_EQ(run->environmentValue, "kept through the relaunch");
    EXPECT_EQ(run->session, run->pid) << "not in a session of its own";
    EXPECT_EQ(run->starts, 1);
    // Standard output is kept: the app's line arrives on the relauncher's output.
    EXPECT_TRUE(relauncher->waitForLine("fake app " + std::to_string(run->pid) + " started"));
}

INSTANTIATE_TEST_SUITE_P(PidfdAndPolling, RelauncherWait, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Polling" : "Pidfd"; });

TEST(Relauncher, FlagsDecideBackgroundAndAGoneProcessStartsAtOnce) {
    struct Row {
        const char* flags;
        std::vector<std::string> original;
        std::vector<std::string> expected;
    };
    const std::vector<Row> rows{
        {"1", {"--headless"}, {"--headless"}},
        {"1049344", {"--headless"}, {"--background", "--headless"}},
        {"1049344", {"--headless", "--background"}, {"--headless", "--background"}},
        {"1048576", {"--log-dir", "/l"}, {"--background", "--log-dir", "/l"}},
        {"0", {"--prefs", "p"}, {"--prefs", "p"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string("flags ") + row.flags);
        TempDir dir;
        FakeApp app(dir, dir / "unused");
        pid_t gone = gonePid();
        std::vector<std::string> args{app.path(), std::to_string(gone), row.flags};
        if (!row.original.empty()) {
            args.emplace_back("--");
            args.insert(args.end(), row.original.begin(), row.original.end());
        }
        auto relauncher = runRelauncher(args);
        ASSERT_TRUE(relauncher->waitForLine("is already gone; starting at once"));
        std::optional<FakeAppRun> run = app.waitForRun();
        ASSERT_TRUE(run);
        EXPECT_EQ(run->arguments, row.expected);
        EXPECT_EQ(relauncher->wait(), 0);
    }
}

TEST(Relauncher, BadArgumentsExitWithUsage) {
    TempDir dir;
    FakeApp app(dir, dir / "unused");
    writeFile(dir / "not-executable", "#!/bin/sh\n");
    const std::string gone = std::to_string(gonePid());
    const std::string a = app.path();
    const std::vector<std::vector<std::string>> rows{
        {},
        {a, gone},
        {a, "abc", "1"},
        {a, "0", "1"},
        {a, "99999999999", "1"},
        {a, gone, "abc"},
        {a, gone, "4294967296"},
        {a, gone, "1", "--headless"},
        {(dir / "missing").string(), gone, "1"},
        {(dir / "not-executable").string(), gone, "1"},
    };
    for (const auto& args : rows) {
        std::string shown;
        for (const auto& s : args) shown += "[" + s + "] ";
        SCOPED_TRACE(shown);
        auto relauncher = runRelauncher(args);
        EXPECT_TRUE(relauncher->waitForLine("Usage: vorn-relaunch APP PID FLAGS"));
        EXPECT_EQ(relauncher->wait(), 2);
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "run" / "starts"));

    auto help = runRelauncher({"--help"});
    EXPECT_TRUE(help->waitForLine("Usage: vorn-relaunch APP PID FLAGS"));
    EXPECT_EQ(help->wait(), 0);
}

}  // namespace
}  // namespace vorn::test
