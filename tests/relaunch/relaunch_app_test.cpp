// The application side of the relaunch: the relauncher's command line, the detached start, the
// systemd unit's exit path, and a whole relaunch of a fake application.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "RelaunchTestSupport.h"
#include "app/Relaunch.h"
#include "platform/Process.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace vorn::test {
namespace {

TEST(RelaunchArguments, ReadsTheOriginalCommandLine) {
    using namespace std::string_literals;
    struct Row {
        std::string bytes;
        std::vector<std::string> expected;
    };
    const std::vector<Row> rows{
        {""s, {}},
        {"/bin/app\0--headless\0--prefs\0/a b\0"s, {"/bin/app", "--headless", "--prefs", "/a b"}},
        {"a\0\0b\0"s, {"a", "", "b"}},
        {"a\0b"s, {"a", "b"}},
    };
    for (const Row& row : rows) EXPECT_EQ(splitCommandLine(row.bytes), row.expected);

    std::vector<std::string> own = ownCommandLine();
    ASSERT_FALSE(own.empty());
    EXPECT_NE(own.front().find("test_relaunch"), std::string::npos);
}

TEST(RelaunchSystemd, OnlyOurUnitWithAnInvocationCounts) {
    struct Row {
        const char* underSystemd;
        const char* invocationId;
        bool expected;
    };
    const std::vector<Row> rows{
        {"1", "0123abcd", true},
        {"1", "", false},
        {"0", "0123abcd", false},
        {"", "0123abcd", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.underSystemd) + " / " + row.invocationId);
        ScopedEnv a(kUnderSystemdVariable, row.underSystemd);
        ScopedEnv b("INVOCATION_ID", row.invocationId);
        EXPECT_EQ(runningUnderSystemdUnit(), row.expected);
    }
}

// The unit and the code agree on how a relaunch ends, and systemd reads the unit without a
// complaint.
TEST(RelaunchSystemd, UnitRestartsOnTheRelaunchStatus) {
    const std::filesystem::path unit =
        std::filesystem::path(VORN_SOURCE_DIR) / "resources" / "vorn-uploader.service";
    std::string text = readFile(unit);
    ASSERT_FALSE(text.empty());
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    auto has = [&](const std::string& line) {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    };
    const std::string status = std::to_string(kRelaunchExitStatus);
    EXPECT_TRUE(has("RestartForceExitStatus=" + status));
    EXPECT_TRUE(has("SuccessExitStatus=" + status));
    EXPECT_TRUE(has(std::string("Environment=") + kUnderSystemdVariable + "=1"));

    if (::access("/usr/bin/systemd-analyze", X_OK) != 0) {
        GTEST_SKIP() << "systemd-analyze is not installed; the unit was not verified by systemd";
    }
    TempDir dir;
    // verify wants the command to exist; everything else stays as shipped.
    std::string copy = text;
    copy.replace(copy.find("%h/.local/bin/vorn-uploader"), 27, "/bin/true");
    writeFile(dir / "vorn-uploader.service", copy);
    ProcessResult r = runProcess(
        "/bin/sh",
        {"-c", "XDG_RUNTIME_DIR=\"$1\" /usr/bin/systemd-analyze --user verify \"$1/$2\" 2>&1", "sh",
         dir.str(), "vorn-uploader.service"});
    ASSERT_TRUE(r.started);
    EXPECT_EQ(r.exitStatus, 0) << r.standardOutput;
    EXPECT_EQ(r.standardOutput, "");
}

TEST(StartDetached, NewSessionQuietInputNoInheritedDescriptorsOrIgnoredSignals) {
    TempDir dir;
    // Left open across exec and SIGPIPE ignored, as in the application.
    int leaked = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(leaked, 0);
    struct sigaction ignore {
    }, old{};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, &old);

    const std::string out = (dir / "seen").string();
    const std::string script =
        "{ readlink /proc/$$/fd/0; cut -d' ' -f6 /proc/$$/stat; "
        "[ -e /proc/$$/fd/" +
        std::to_string(leaked) +
        " ] && echo leaked || echo closed; "
        "grep SigIgn /proc/$$/status; } > '" +
        out + ".tmp' && mv '" + out + ".tmp' '" + out + "'";
    std::string error;
    std::optional<pid_t> pid = startDetached({"/bin/sh", "-c", script}, &error);
    ::sigaction(SIGPIPE, &old, nullptr);
    ::close(leaked);
    ASSERT_TRUE(pid) << error;
    ASSERT_TRUE(waitForFile(out));
    int status = 0;
    ::waitpid(*pid, &status, 0);

    std::istringstream seen(readFile(out));
    std::string stdinTarget, session, descriptor, sigIgn;
    std::getline(seen, stdinTarget);
    std::getline(seen, session);
    std::getline(seen, descriptor);
    std::getline(seen, sigIgn);
    EXPECT_EQ(stdinTarget, "/dev/null");
    EXPECT_EQ(session, std::to_string(*pid));
    EXPECT_EQ(descriptor, "closed");
    unsigned long long mask = std::stoull(sigIgn.substr(sigIgn.find(':') + 1), nullptr, 16);
    EXPECT_EQ(mask & (1ull << (SIGPIPE - 1)), 0u) << sigIgn;

    EXPECT_FALSE(startDetached({(dir / "missing").string()}, &error));
    EXPECT_NE(error.find("missing"), std::string::npos);
    EXPECT_FALSE(startDetached({}, &error));
}

// The whole relaunch against a fake application: the process being relaunched is one the test
// controls, and the terminate callback ends it, as quitting ends the application.
TEST(RelaunchApp, RelauncherRestartsTheAppAfterItQuits) {
    TempDir dir;
    ControlledProcess running(dir / "quit");
    FakeApp app(dir, dir / "quit");
    ScopedEnv env("VORN_FAKE_APP_ENV", "kept");

    RelaunchContext context;
    context.relauncherPath = relauncherBinary();
    context.applicationPath = app.path();
    context.pid = running.pid();
    context.applicationArguments = {"--headless", "--log-dir", "/var/x y"};

    std::vector<int> terminations;
    bool ok = relaunchApp(
        {kLSLaunchInBackground, "HttpController"},
        [&](int status) {
            terminations.push_back(status);
            running.finish();
        },
        context);
    ASSERT_TRUE(ok);
    EXPECT_EQ(terminations, std::vector<int>{0});

    std::optional<FakeAppRun> run = app.waitForRun();
    ASSERT_TRUE(run);
    running.reap();
    EXPECT_TRUE(run->markerExisted) << "started before the old instance ended";
    EXPECT_EQ(run->arguments,
              (std::vector<std::string>{"--background", "--headless", "--log-dir", "/var/x y"}));
    EXPECT_EQ(run->environmentValue, "kept");
    EXPECT_EQ(run->starts, 1);
}

TEST(RelaunchApp, UnderSystemdExitsForTheUnitAndWithoutARelauncherStaysUp) {
    TempDir dir;
    RelaunchContext context;
    context.relauncherPath = (dir / "missing-relauncher").string();
    context.applicationPath = "/bin/true";
    context.pid = ::getpid();

    std::vector<int> terminations;
    auto terminate = [&](int status) { terminations.push_back(status); };

    // No relauncher: quitting would leave nothing to start the application again.
    EXPECT_FALSE(relaunchApp({kLSLaunchDefaults, "HttpController"}, terminate, context));
    EXPECT_TRUE(terminations.empty());

    // Under the unit no relauncher is needed: the exit status asks systemd for the new instance.
    context.underSystemd = true;
    EXPECT_TRUE(relaunchApp({kLSLaunchInBackground, "HttpController"}, terminate, context));
    EXPECT_EQ(terminations, std::vector<int>{kRelaunchExitStatus});
}

}  // namespace
}  // namespace vorn::test
