// The relaunch against real processes: the relauncher binary waits for the process it is given,
// then starts the application detached with its original arguments; the application side builds
// that request, or under the systemd unit exits for the unit to restart it.

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "app/Relaunch.h"
#include "platform/Process.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace vorn::test {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;
const std::string kRelauncher = std::string(VORN_BIN_DIR) + "/vorn-relaunch";

Lines lines(const std::string& text) {
    Lines out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

// A script at dir/fake-app that records its start into dir/run/ (dir/run/done last) and prints
// "fake app started".
class FakeApp {
  public:
    FakeApp(const TempDir& dir, const fs::path& marker)
        : path_(dir / "fake-app"), run_(dir / "run") {
        fs::create_directories(run_);
        writeFile(path_,
                  "#!/bin/sh\nout='" + run_.string() + "' marker='" + marker.string() + "'" + R"sh(
echo $$ >> "$out/starts"
cat /proc/$$/cmdline > "$out/cmdline"
{ readlink /proc/$$/fd/0
  [ "$(cut -d' ' -f6 /proc/$$/stat)" = $$ ] && echo own session || echo shared session
  [ -e "$marker" ] && echo after the end || echo before the end
  printf '%s\n' "${VORN_FAKE_APP_ENV-unset}"
  [ -e /proc/$$/fd/7 ] && echo fd 7 inherited || echo fd 7 closed
  ignored=0x$(sed -n 's/^SigIgn:[[:space:]]*//p' /proc/$$/status)
  [ $((ignored & 0x1000)) = 0 ] && echo SIGPIPE default || echo SIGPIPE ignored; } > "$out/seen"
echo "fake app started"
: > "$out/done.tmp" && mv "$out/done.tmp" "$out/done"
)sh");
        fs::permissions(path_, fs::perms::owner_all);
    }
    std::string path() const { return path_.string(); }

    // Waits for the start and reads what it recorded.
    bool waitForRun() {
        for (int i = 0; i < 2000 && !fs::exists(run_ / "done"); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (!fs::exists(run_ / "done")) return false;
        // The kernel starts a script as: /bin/sh SCRIPT ARGS...
        arguments = splitCommandLine(readFile(run_ / "cmdline"));
        arguments.erase(arguments.begin(),
                        arguments.begin() + std::min<size_t>(2, arguments.size()));
        seen = lines(readFile(run_ / "seen"));
        starts = lines(readFile(run_ / "starts")).size();
        return true;
    }
    Lines arguments;  // its argv[1..]
    Lines seen;       // as the script writes it
    size_t starts = 0;

  private:
    fs::path path_, run_;
};

// Runs the relauncher as the application leaves it (descriptor 7 open across exec, SIGPIPE
// ignored: neither may reach the new instance), its standard error merged into its output.
std::unique_ptr<ChildProcess> runRelauncher(const Lines& args, Lines env = {}) {
    Lines shArgs{"-c", "exec 7</dev/null; trap '' PIPE; exec \"$0\" \"$@\" 2>&1", kRelauncher};
    shArgs.insert(shArgs.end(), args.begin(), args.end());
    env.emplace_back("VORN_FAKE_APP_ENV=kept through the relaunch");
    return std::make_unique<ChildProcess>("/bin/sh", shArgs, env);
}

// The waiting itself, through a pidfd and through the /proc polling fallback. The process stays
// an unreaped zombie until the app has started: a zombie has ended, though kill(pid, 0) still
// finds it.
TEST(Relauncher, StartsTheAppDetachedOnlyAfterTheProcessEndsWithItsOriginalArguments) {
    for (bool polling : {false, true}) {
        SCOPED_TRACE(polling ? "polling" : "pidfd");
        TempDir dir;
        // Writes the marker as it ends, and stays a zombie until wait().
        ChildProcess target("/bin/sh",
                            {"-c", "trap \": > '" + (dir / "target-ended").string() +
                                       "'; exit\" TERM; echo up; while :; do sleep 0.02; done"});
        target.readLine();  // the trap is set
        FakeApp app(dir, dir / "target-ended");
        const Lines original{"--headless", "--prefs",  "/tmp/with space/prefs.plist", "", "--",
                             "-x",         "ünï\tcode"};
        Lines args{app.path(), std::to_string(target.pid()), "1", "--"};
        args.insert(args.end(), original.begin(), original.end());

        auto relauncher =
            runRelauncher(args, {"VORN_RELAUNCH_NO_PIDFD=" + std::to_string(polling)});
        ASSERT_TRUE(relauncher->waitForLine(polling ? "to end (polling)" : "to end (pidfd)"));

        target.signal(SIGTERM);
        ASSERT_TRUE(app.waitForRun()) << "the app was not started after the process ended";
        EXPECT_EQ(relauncher->wait(), 0);
        target.wait();

        EXPECT_EQ(app.seen, (Lines{"/dev/null", "own session", "after the end",
                                   "kept through the relaunch", "fd 7 closed", "SIGPIPE default"}));
        // In front: the window shows again whatever the preference says.
        EXPECT_EQ(app.arguments.at(0), "--foreground");
        EXPECT_EQ(Lines(app.arguments.begin() + 1, app.arguments.end()), original);
        EXPECT_EQ(app.starts, 1u);
        // Standard output is kept: the app's line arrives on the relauncher's output.
        EXPECT_TRUE(relauncher->waitForLine("fake app started"));
    }
}

// The background flag adds "--background" once; the relaunch adds it where it is missing. Bad
// arguments start nothing.
TEST(Relauncher, AGoneProcessStartsTheAppAtOnceAndBadArgumentsExitWithUsage) {
    TempDir dir;
    FakeApp app(dir, dir / "unused");
    writeFile(dir / "not-executable", "#!/bin/sh\n");
    ChildProcess done("/bin/true", {});
    done.wait();
    const std::string gone = std::to_string(done.pid()), a = app.path();
    const std::vector<Lines> rows{
        {}, {a, "0", "1"}, {a, gone, "4294967296"}, {(dir / "not-executable").string(), gone, "1"}};
    for (const auto& args : rows) {
        SCOPED_TRACE(testing::PrintToString(args));
        auto relauncher = runRelauncher(args);
        EXPECT_TRUE(relauncher->waitForLine("Usage: vorn-relaunch APP PID FLAGS"));
        EXPECT_EQ(relauncher->wait(), 2);
    }
    EXPECT_FALSE(fs::exists(dir / "run" / "starts"));

    // The flags decide whether the new instance starts hidden or in front, whatever the last
    // relaunch put on its command line.
    const std::tuple<const char*, Lines, Lines> starts[] = {
        {"1049344", {"--headless", "--background"}, {"--headless", "--background"}},
        {"1049344", {"--foreground", "--prefs", "p"}, {"--background", "--prefs", "p"}},
        {"1", {"--background", "--prefs", "p", "--background"}, {"--foreground", "--prefs", "p"}},
        {"1", {}, {"--foreground"}},
        {"1",
         {"--prefs", "p", "--", "--background"},
         {"--foreground", "--prefs", "p", "--", "--background"}},
    };
    for (const auto& [flags, given, started] : starts) {
        SCOPED_TRACE(testing::PrintToString(given) + " " + flags);
        TempDir rowDir;
        FakeApp rowApp(rowDir, rowDir / "unused");
        Lines args{rowApp.path(), gone, flags, "--"};
        args.insert(args.end(), given.begin(), given.end());
        auto relauncher = runRelauncher(args);
        ASSERT_TRUE(relauncher->waitForLine("is already gone; starting at once"));
        ASSERT_TRUE(rowApp.waitForRun());
        EXPECT_EQ(rowApp.arguments, started);
        EXPECT_EQ(relauncher->wait(), 0);
    }
}

// The application hands itself to the relauncher (here a fake that records how it is asked) and
// quits, or under the systemd unit just quits with the status that has the unit restart it.
TEST(RelaunchApp, HandsItselfToTheRelauncherOrToTheUnit) {
    TempDir dir;
    FakeApp relauncher(dir, dir / "unused");
    RelaunchContext context{.relauncherPath = relauncher.path(),
                            .applicationPath = "/opt/vorn/vorn-uploader",
                            .pid = 4242,
                            .applicationArguments = {"--headless", "--log-dir", "/var/x y"}};
    std::vector<int> terminations;
    auto terminate = [&](int status) { terminations.push_back(status); };
    ASSERT_TRUE(relaunchApp({kLSLaunchInBackground, "HttpController"}, terminate, context));
    EXPECT_EQ(terminations, std::vector<int>{0});
    ASSERT_TRUE(relauncher.waitForRun());
    EXPECT_EQ(relauncher.arguments, (Lines{"/opt/vorn/vorn-uploader", "4242", "1049344", "--",
                                           "--headless", "--log-dir", "/var/x y"}));
    EXPECT_EQ(relauncher.seen.at(1), "own session")
        << "the relauncher would end with the application";

    // No relauncher: quitting would leave nothing to start the application again.
    context.relauncherPath = (dir / "missing-relauncher").string();
    terminations.clear();
    EXPECT_FALSE(relaunchApp({kLSLaunchDefaults, "HttpController"}, terminate, context));
    EXPECT_TRUE(terminations.empty());
    std::string error;
    EXPECT_FALSE(startDetached({context.relauncherPath}, &error));
    EXPECT_NE(error.find("missing-relauncher"), std::string::npos);
    EXPECT_FALSE(startDetached({}, &error));

    // Under the unit no relauncher is needed: the exit status asks systemd for the new instance,
    // and the unit agrees.
    context.underSystemd = true;
    EXPECT_TRUE(relaunchApp({kLSLaunchInBackground, "HttpController"}, terminate, context));
    EXPECT_EQ(terminations, std::vector<int>{kRelaunchExitStatus});
    const Lines unit =
        lines(readFile(fs::path(VORN_SOURCE_DIR) / "resources/vorn-uploader.service"));
    const std::string status = std::to_string(kRelaunchExitStatus);
    for (const std::string& line :
         {"RestartForceExitStatus=" + status, "SuccessExitStatus=" + status,
          std::string("Environment=") + kUnderSystemdVariable + "=1"})
        EXPECT_NE(std::find(unit.begin(), unit.end(), line), unit.end()) << line;
}

}  // namespace
}  // namespace vorn::test
