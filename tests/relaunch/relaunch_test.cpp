// The relaunch against real processes: the relauncher binary waits for the process it is given,
// then starts the application detached with its original arguments; the application side builds
// that request, or under the systemd unit exits for the unit to restart it.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/Relaunch.h"
#include "platform/Process.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace vorn::test {
namespace {

namespace fs = std::filesystem;
const std::string kRelauncher = std::string(VORN_BIN_DIR) + "/vorn-relaunch";

// Bounded wait for a file another process writes.
bool waitForFile(const fs::path& path) {
    for (int i = 0; i < 2000 && !fs::exists(path); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return fs::exists(path);
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

// The pid of a process that has ended and been collected.
pid_t gonePid() {
    ChildProcess done("/bin/true", {});
    done.wait();
    return done.pid();
}

// A shell that runs until finish() and writes MARKER as it ends, so whatever starts after its
// end finds MARKER. It stays a zombie until wait().
class ControlledProcess : public ChildProcess {
  public:
    explicit ControlledProcess(const fs::path& marker)
        : ChildProcess("/bin/sh",
                       {"-c", "trap \": > '" + marker.string() +
                                  "'; exit\" TERM; echo up; while :; do sleep 0.02; done"}) {
        readLine();  // the trap is set
    }
    void finish() { signal(SIGTERM); }
};

// What the fake application saw when it started.
struct FakeAppRun {
    std::vector<std::string> arguments;  // its argv[1..]
    std::string standardInput, session, markerExisted, environmentValue, pid;
    size_t starts = 0;
};

// A script at dir/fake-app that records its start into dir/run/ (dir/run/done last) and prints
// "fake app PID started".
class FakeApp {
  public:
    FakeApp(const TempDir& dir, const fs::path& marker)
        : path_(dir / "fake-app"), run_(dir / "run") {
        fs::create_directories(run_);
        writeFile(path_, "#!/bin/sh\nout='" + run_.string() +
                             "'\necho $$ >> \"$out/starts\"\n"
                             "cat /proc/$$/cmdline > \"$out/cmdline\"\n"
                             "{ readlink /proc/$$/fd/0; cut -d' ' -f6 /proc/$$/stat; [ -e '" +
                             marker.string() +
                             "' ] && echo yes || echo no; "
                             "printf '%s\\n' \"${VORN_FAKE_APP_ENV-unset}\"; echo $$; } > "
                             "\"$out/seen\"\n"
                             "echo \"fake app $$ started\"\n"
                             ": > \"$out/done.tmp\" && mv \"$out/done.tmp\" \"$out/done\"\n");
        fs::permissions(path_, fs::perms::owner_all);
    }
    std::string path() const { return path_.string(); }

    std::optional<FakeAppRun> waitForRun() const {
        if (!waitForFile(run_ / "done")) return std::nullopt;
        FakeAppRun r;
        // The kernel starts a script as: /bin/sh SCRIPT ARGS...
        std::vector<std::string> argv = splitCommandLine(readFile(run_ / "cmdline"));
        if (argv.size() >= 2) r.arguments.assign(argv.begin() + 2, argv.end());
        std::vector<std::string> seen = lines(readFile(run_ / "seen"));
        seen.resize(5);
        std::tie(r.standardInput, r.session, r.markerExisted, r.environmentValue, r.pid) =
            std::tie(seen[0], seen[1], seen[2], seen[3], seen[4]);
        r.starts = lines(readFile(run_ / "starts")).size();
        return r;
    }

  private:
    fs::path path_, run_;
};

// Runs the relauncher with its standard error merged into the standard output the test reads.
std::unique_ptr<ChildProcess> runRelauncher(const std::vector<std::string>& args,
                                            std::vector<std::string> env = {}) {
    std::vector<std::string> shArgs{"-c", "exec \"$0\" \"$@\" 2>&1", kRelauncher};
    shArgs.insert(shArgs.end(), args.begin(), args.end());
    env.emplace_back("VORN_FAKE_APP_ENV=kept through the relaunch");
    return std::make_unique<ChildProcess>("/bin/sh", shArgs, env);
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
    std::vector<std::string> args{app.path(), std::to_string(target.pid()), "1", "--"};
    args.insert(args.end(), original.begin(), original.end());

    auto relauncher =
        runRelauncher(args, {polling ? "VORN_RELAUNCH_NO_PIDFD=1" : "VORN_RELAUNCH_NO_PIDFD=0"});
    ASSERT_TRUE(relauncher->waitForLine(polling ? "to end (polling)" : "to end (pidfd)"));
    EXPECT_FALSE(fs::exists(dir / "run" / "done")) << "started before the end";

    target.finish();
    std::optional<FakeAppRun> run = app.waitForRun();
    ASSERT_TRUE(run) << "the app was not started after the process ended";
    EXPECT_EQ(relauncher->wait(), 0);
    target.wait();

    EXPECT_EQ(run->markerExisted, "yes");
    // In front: the window shows again whatever the preference says.
    std::vector<std::string> shown{"--foreground"};
    shown.insert(shown.end(), original.begin(), original.end());
    EXPECT_EQ(run->arguments, shown);
    EXPECT_EQ(run->standardInput, "/dev/null");
    EXPECT_EQ(run->environmentValue, "kept through the relaunch");
    EXPECT_EQ(run->session, run->pid) << "not in a session of its own";
    EXPECT_EQ(run->starts, 1u);
    // Standard output is kept: the app's line arrives on the relauncher's output.
    EXPECT_TRUE(relauncher->waitForLine("fake app " + run->pid + " started"));
}

INSTANTIATE_TEST_SUITE_P(PidfdAndPolling, RelauncherWait, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Polling" : "Pidfd"; });

// The background flag adds "--background" once; the relaunch adds it where it is missing. Bad
// arguments start nothing.
TEST(Relauncher, AGoneProcessStartsTheAppAtOnceAndBadArgumentsExitWithUsage) {
    TempDir dir;
    FakeApp app(dir, dir / "unused");
    writeFile(dir / "not-executable", "#!/bin/sh\n");
    const std::string gone = std::to_string(gonePid());
    const std::string a = app.path();
    const std::vector<std::vector<std::string>> rows{
        {},
        {a, "0", "1"},
        {a, gone, "4294967296"},
        {(dir / "not-executable").string(), gone, "1"},
    };
    for (const auto& args : rows) {
        SCOPED_TRACE(testing::PrintToString(args));
        auto relauncher = runRelauncher(args);
        EXPECT_TRUE(relauncher->waitForLine("Usage: vorn-relaunch APP PID FLAGS"));
        EXPECT_EQ(relauncher->wait(), 2);
    }
    EXPECT_FALSE(fs::exists(dir / "run" / "starts"));

    // The flags decide whether the new instance starts hidden or in front, whatever the last
    // relaunch put on its command line.
    using Args = std::vector<std::string>;
    struct Row {
        const char* flags;
        Args given, started;
    };
    const Row starts[] = {
        {"1049344", {"--headless", "--background"}, {"--headless", "--background"}},
        {"1049344", {"--foreground", "--prefs", "p"}, {"--background", "--prefs", "p"}},
        {"1", {"--background", "--prefs", "p", "--background"}, {"--foreground", "--prefs", "p"}},
        {"1", {}, {"--foreground"}},
        {"1",
         {"--prefs", "p", "--", "--background"},
         {"--foreground", "--prefs", "p", "--", "--background"}},
    };
    for (const Row& row : starts) {
        SCOPED_TRACE(testing::PrintToString(row.given) + " " + row.flags);
        TempDir rowDir;
        FakeApp rowApp(rowDir, rowDir / "unused");
        Args args{rowApp.path(), gone, row.flags, "--"};
        args.insert(args.end(), row.given.begin(), row.given.end());
        auto relauncher = runRelauncher(args);
        ASSERT_TRUE(relauncher->waitForLine("is already gone; starting at once"));
        std::optional<FakeAppRun> run = rowApp.waitForRun();
        ASSERT_TRUE(run);
        EXPECT_EQ(run->arguments, row.started);
        EXPECT_EQ(relauncher->wait(), 0);
    }
}

// The unit and the code agree on how a relaunch ends.
TEST(RelaunchSystemd, UnitRestartsOnTheRelaunchStatus) {
    const std::vector<std::string> unit =
        lines(readFile(fs::path(VORN_SOURCE_DIR) / "resources/vorn-uploader.service"));
    const std::string status = std::to_string(kRelaunchExitStatus);
    for (const std::string& line :
         {"RestartForceExitStatus=" + status, "SuccessExitStatus=" + status,
          std::string("Environment=") + kUnderSystemdVariable + "=1"})
        EXPECT_NE(std::find(unit.begin(), unit.end(), line), unit.end()) << line;
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
        "{ readlink /proc/$$/fd/0; cut -d' ' -f6 /proc/$$/stat; [ -e /proc/$$/fd/" +
        std::to_string(leaked) +
        " ] && echo leaked || echo closed; grep SigIgn /proc/$$/status; } > '" + out +
        ".tmp' && mv '" + out + ".tmp' '" + out + "'";
    std::string error;
    std::optional<pid_t> pid = startDetached({"/bin/sh", "-c", script}, &error);
    ::sigaction(SIGPIPE, &old, nullptr);
    ::close(leaked);
    ASSERT_TRUE(pid) << error;
    ASSERT_TRUE(waitForFile(out));
    ::waitpid(*pid, nullptr, 0);

    std::vector<std::string> seen = lines(readFile(out));
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0] + " " + seen[1] + " " + seen[2],
              "/dev/null " + std::to_string(*pid) + " closed");
    unsigned long long mask = std::stoull(seen[3].substr(seen[3].find(':') + 1), nullptr, 16);
    EXPECT_EQ(mask & (1ull << (SIGPIPE - 1)), 0u) << seen[3];

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

    RelaunchContext context;
    context.relauncherPath = kRelauncher;
    context.applicationPath = app.path();
    context.pid = running.pid();
    context.applicationArguments = {"--headless", "--log-dir", "/var/x y"};
    std::vector<int> terminations;
    ASSERT_TRUE(relaunchApp(
        {kLSLaunchInBackground, "HttpController"},
        [&](int status) {
            terminations.push_back(status);
            running.finish();
        },
        context));
    EXPECT_EQ(terminations, std::vector<int>{0});

    std::optional<FakeAppRun> run = app.waitForRun();
    ASSERT_TRUE(run);
    running.wait();
    EXPECT_EQ(run->markerExisted, "yes") << "started before the old instance ended";
    EXPECT_EQ(run->arguments,
              (std::vector<std::string>{"--background", "--headless", "--log-dir", "/var/x y"}));

    // No relauncher: quitting would leave nothing to start the application again.
    context.relauncherPath = (dir / "missing-relauncher").string();
    terminations.clear();
    auto terminate = [&](int status) { terminations.push_back(status); };
    EXPECT_FALSE(relaunchApp({kLSLaunchDefaults, "HttpController"}, terminate, context));
    EXPECT_TRUE(terminations.empty());
    // Under the unit no relauncher is needed: the exit status asks systemd for the new instance.
    context.underSystemd = true;
    EXPECT_TRUE(relaunchApp({kLSLaunchInBackground, "HttpController"}, terminate, context));
    EXPECT_EQ(terminations, std::vector<int>{kRelaunchExitStatus});
}

}  // namespace
}  // namespace vorn::test
