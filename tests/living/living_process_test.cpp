// The living process end to end: the real uploader, the real stand-in service and real folders.
// Start-up and the orderly stop on a signal, the store lock, the watcher, the rescan timer,
// quitting during an upload and the relaunch of a hung upload (a pause is the remote suite's).

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <thread>

#include "platform/PropertyList.h"
#include "support/ChildProcess.h"
#include "support/PhotoServiceProcess.h"
#include "support/TempDir.h"
#include "vorn-capture-sim/CaptureWriter.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::ChildProcess;
using test::PhotoServiceProcess;
using test::readFile;

const std::string kUploader = std::string(VORN_BIN_DIR) + "/vorn-uploader";

// Polls an observable condition of another process (a file, a folder) until it holds.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 20s) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

class LivingProcessTest : public ::testing::Test {
  public:
    void SetUp() override {
        fs::create_directories(source);
        fs::create_directories(mirror);
    }

    void startService(const std::string& script = "") {
        std::optional<fs::path> scriptFile;
        if (!script.empty()) {
            scriptFile = tmp / "script.txt";
            test::writeFile(*scriptFile, script);
        }
        service = std::make_unique<PhotoServiceProcess>(tmp / "service", std::nullopt, scriptFile);
    }

    void startUploader(Dictionary prefs, std::vector<std::string> extraEnv = {}) {
        writePrefs(std::move(prefs));
        app = std::make_unique<ChildProcess>(kUploader, arguments(), environment(extraEnv));
    }
    void writePrefs(Dictionary prefs) {
        prefs["prefKivURL"] = service->url();
        prefs["prefLocalSourceUploadFolder"] = source.string();
        prefs["prefLocalMasterMirrorSiteFolder"] = mirror.string();
        prefs["userLoginName"] = "photog";
        prefs["userLoginPassword"] = "secret";
        prefs["userEnteredEventName"] = "Prom";
        prefs["prefAutoStartUploadAtStartup"] = true;
        prefs["prefAutoSynchronize"] = true;
        test::writeFile(prefsFile, toXmlPropertyList(Value(prefs)));
    }

    // Keeps every file the program writes inside the test's folder.
    std::vector<std::string> environment(std::vector<std::string> extra = {}) const {
        extra.insert(extra.end(), {"HOME=" + (tmp / "home").string(),
                                   "XDG_CONFIG_HOME=" + (tmp / "config").string(),
                                   "XDG_STATE_HOME=" + (tmp / "state").string(),
                                   "XDG_DATA_HOME=" + (tmp / "data").string(),
                                   "VORN_AUTOSTART_DELAY_MS=0", "VORN_UNDER_SYSTEMD="});
        return extra;
    }
    // The traces these tests look for are kept at the debug level.
    std::vector<std::string> arguments() const {
        return {"--headless", "--prefs",       prefsFile.string(),
                "--log-dir",  logDir.string(), "--log-level=debug"};
    }

    void photo(const std::string& rel) {
        capture::JpegSpec recipe;
        recipe.userComment = capture::metadataText({{"Version", "3"}});
        recipe.dateTimeOriginal = "2026:12:06 12:00:00";
        capture::writePhoto((source / rel).string(), capture::makeJpeg(recipe));
    }

    std::string log() const {
        std::string all;
        for (const auto& e : fs::directory_iterator(logDir / "logs")) all += readFile(e.path());
        return all;
    }

    test::TempDir tmp;
    fs::path source = tmp / "Upload";
    fs::path mirror = tmp / "Mirror";
    fs::path prefsFile = tmp / "prefs.plist";
    fs::path logDir = tmp / "logs";
    std::unique_ptr<PhotoServiceProcess> service;
    std::unique_ptr<ChildProcess> app;
};

const std::string kQuietPrefs = toXmlPropertyList(
    Value(Dictionary{{"prefAutoStartUploadAtStartup", false}, {"userLoginName", "photog"}}));

TEST_F(LivingProcessTest, StartsOnAnyStoreWritesItsLogsAndStopsInOrderOnTerminationSignals) {
    // The first run finds a store that does not parse: it is kept aside and the program runs on
    // defaults. The last runs with its windows (offscreen): no window may hold the stop up.
    const std::string garbage = "<plist><dict><key>userLoginPassword</key><string>se";
    for (auto [sig, windowed] : {std::pair{SIGTERM, false}, {SIGINT, false}, {SIGTERM, true}}) {
        SCOPED_TRACE(testing::Message() << sig << (windowed ? " windowed" : ""));
        const bool broken = sig == SIGTERM && !windowed;
        test::writeFile(prefsFile, broken ? garbage : kQuietPrefs);
        std::vector<std::string> args = arguments(), env = environment();
        if (windowed) {
            args.erase(args.begin());
            env.push_back("QT_QPA_PLATFORM=offscreen");
        }
        ChildProcess app(kUploader, args, env);
        ASSERT_TRUE(app.waitForLine("started")) << "no start line";
        app.signal(sig);
        EXPECT_EQ(app.wait(), 0);
        // Also on the status line, in red, so the user knows the settings are the factory's.
        bool shown = false;
        for (const std::string& line : app.output())
            shown |= line.rfind("error: ", 0) == 0 &&
                     line.find("The preferences file " + prefsFile.string() +
                               " could not be read") != std::string::npos &&
                     line.find("factory settings are in use") != std::string::npos;
        EXPECT_EQ(shown, broken);

        std::string messages = readFile(logDir / "VornLog.txt");
        EXPECT_NE(messages.find("] ==> applicationWillFinishLaunching\n"), std::string::npos);
        ASSERT_GE(messages.size(), 2u);
        std::string lastLine = messages.substr(messages.rfind('\n', messages.size() - 2) + 1);
        EXPECT_NE(lastLine.find("] ==> applicationWillTerminate - DONE!"), std::string::npos)
            << lastLine;
    }
    // The runs of the day wrote into the same dated file, each with its own header.
    EXPECT_EQ(std::distance(fs::directory_iterator(logDir / "logs"), fs::directory_iterator()), 1);
    const std::string dated = log();
    size_t headers = 0;
    for (size_t at = dated.find("vorn-uploader => "); at != std::string::npos;
         at = dated.find("vorn-uploader => ", at + 1))
        ++headers;
    EXPECT_EQ(headers, 3u);

    int kept = 0;
    for (const auto& f : fs::directory_iterator(tmp.path())) {
        std::string name = f.path().filename().string();
        if (name != "prefs.plist" && name != "prefs.plist.lock" &&
            name.rfind("prefs.plist", 0) == 0) {
            ++kept;
            EXPECT_EQ(readFile(f.path()), garbage);
        }
    }
    EXPECT_EQ(kept, 1);
}

TEST_F(LivingProcessTest, ASecondUploaderOnTheSameStoreOrSourceFolderRefusesToStart) {
    // A second store names the same source folder through a link.
    const fs::path otherPrefs = tmp / "other/prefs.plist";
    fs::create_directory_symlink(source, tmp / "link");
    Dictionary prefs{{"prefAutoStartUploadAtStartup", false}, {"userLoginName", "photog"}};
    prefs["prefLocalSourceUploadFolder"] = source.string();
    test::writeFile(prefsFile, toXmlPropertyList(Value(prefs)));
    prefs["prefLocalSourceUploadFolder"] = (tmp / "link/").string();
    test::writeFile(otherPrefs, toXmlPropertyList(Value(prefs)));
    const std::vector<std::string> env = environment({"XDG_RUNTIME_DIR=" + (tmp / "run").string()});
    auto argumentsFor = [&](const fs::path& store) {
        std::vector<std::string> args = arguments();
        args[2] = store.string();  // the value of --prefs
        return args;
    };

    ChildProcess first(kUploader, arguments(), env);
    ASSERT_TRUE(first.waitForLine("started"));
    EXPECT_EQ(readFile(fs::path(prefsFile.string() + ".lock")), std::to_string(first.pid()) + "\n");
    for (const fs::path& store : {prefsFile, otherPrefs}) {
        SCOPED_TRACE(store);
        // Its standard error joins the output read here.
        std::vector<std::string> shellArgs = {"-c", "exec \"$0\" \"$@\" 2>&1", kUploader};
        for (const std::string& a : argumentsFor(store)) shellArgs.push_back(a);
        ChildProcess second("/bin/sh", shellArgs, env);
        EXPECT_TRUE(second.waitForLine("another uploader (process " + std::to_string(first.pid()) +
                                       ") already runs"));
        EXPECT_EQ(second.wait(), 3);
        for (const std::string& line : second.output())
            EXPECT_EQ(line.find("started"), std::string::npos) << line;
    }

    // Once the first has gone, however it went, the next one starts.
    first.signal(SIGKILL);
    first.wait();
    ChildProcess third(kUploader, argumentsFor(otherPrefs), env);
    EXPECT_TRUE(third.waitForLine("started"));
    third.signal(SIGTERM);
    EXPECT_EQ(third.wait(), 0);
}

TEST_F(LivingProcessTest, NewPhotosComeInByTheTimerAloneOrByTheWatcherLongBeforeIt) {
    startService();
    startUploader({{"prefSecondsBetweenScans", 1.0}}, {"VORN_DISABLE_WATCHER=1"});
    ASSERT_TRUE(app->waitForLine("Next Auto-Synchronize Trigger Date"));
    photo("Smith/IMG_0002.jpg");
    ASSERT_TRUE(service->waitForRequests(1, 20s));
    EXPECT_TRUE(eventually([&] { return fs::exists(mirror / "Smith/IMG_0002.jpg"); }));
    EXPECT_NE(log().find("NOT available"), std::string::npos);
    EXPECT_EQ(log().find("doInstallTheWatcher is running"), std::string::npos);

    app.reset();
    startUploader({{"prefSecondsBetweenScans", 300.0}});
    ASSERT_TRUE(app->waitForLine("Waiting For New Images...")) << "first pass did not end";
    ASSERT_TRUE(eventually(
        [&] { return log().find("doInstallTheWatcher is running") != std::string::npos; }));
    // A client folder made after the watch started, then a photo written into it.
    photo("Jones/IMG_0001.jpg");
    ASSERT_TRUE(service->waitForRequests(2, 20s));  // long before the 300 s timer
    EXPECT_TRUE(eventually([&] { return fs::exists(mirror / "Jones/IMG_0001.jpg"); }));
    EXPECT_FALSE(fs::exists(source / "Jones/IMG_0001.jpg"));
}

TEST_F(LivingProcessTest, TheServicesErrorHoldsTheCycleUntilTheSettingsChange) {
    startService("IMG_0005.jpg 1 error \"Invalid username or password\"\n");
    startUploader({{"prefSecondsBetweenScans", 1.0}});
    ASSERT_TRUE(app->waitForLine("Waiting For New Images..."));  // watching, the timer armed
    photo("Smith/IMG_0005.jpg");
    ASSERT_TRUE(app->waitForLine("state: stopped on error (Invalid username or password)"));
    // The watcher's event for a new photo does not open it again (nor would the timer).
    photo("Smith/IMG_0006.jpg");
    ASSERT_TRUE(eventually([&] {
        return log().find("application:openFile:...  The cycle is paused") != std::string::npos;
    }));
    EXPECT_EQ(service->requestLog().size(), 1u);
    EXPECT_TRUE(fs::exists(source / "Smith/IMG_0005.jpg"));

    // The user mends the account: both go, the one that got the error once more.
    Dictionary prefs = *parsePropertyList(readFile(prefsFile))->asDictionary();
    prefs["userLoginPassword"] = "mended";
    test::writeFile(prefsFile, toXmlPropertyList(Value(prefs)));
    app->signal(SIGHUP);
    ASSERT_TRUE(service->waitForRequests(3, 20s));
    EXPECT_TRUE(eventually([&] {
        return fs::exists(mirror / "Smith/IMG_0005.jpg") &&
               fs::exists(mirror / "Smith/IMG_0006.jpg");
    }));
    EXPECT_EQ(service->requestLog().size(), 3u);
}

TEST_F(LivingProcessTest, APhotoDatedInTheFutureIsUploadedAtOnceWithoutAPassEachSecond) {
    // A camera writing local time as UTC: three hours ahead, there before the uploader starts.
    photo("Smith/IMG_0007.jpg");
    const auto ahead = fs::last_write_time(source / "Smith/IMG_0007.jpg") + std::chrono::hours(3);
    fs::last_write_time(source / "Smith/IMG_0007.jpg", ahead);
    startService();
    startUploader({{"prefSecondsBetweenScans", 300.0}});
    ASSERT_TRUE(service->waitForRequests(1, 20s));
    EXPECT_TRUE(eventually([&] { return fs::exists(mirror / "Smith/IMG_0007.jpg"); }));
    // The photo's pass and the empty one after it, not one a second.
    const std::string all = log();
    std::size_t opens = 0;
    for (auto at = all.find("=> application:openFile:..."); at != std::string::npos;
         at = all.find("=> application:openFile:...", at + 1))
        ++opens;
    EXPECT_LE(opens, 4u) << all;
}

TEST_F(LivingProcessTest, AMovieThatArrivesBeforeItsPhotoWaitsForItAndGoesWithIt) {
    // An earlier sitting of the same name is in the mirror already.
    test::writeFile(mirror / "Station1/IMG_0001.jpg", "earlier photo");
    test::writeFile(mirror / "Station1/IMG_0001.mov", "earlier movie");
    startService();
    startUploader({{"prefSecondsBetweenScans", 1.0}, {"prefUploadMovie", true}});
    ASSERT_TRUE(app->waitForLine("Waiting For New Images..."));
    test::writeFile(source / "Station1/IMG_0001.mov", "new movie");
    // Passes go by (the timer's, each second) while the movie waits alone.
    for (int tick = 0; tick < 2; ++tick) ASSERT_TRUE(app->waitForLine("Waiting For New Images..."));
    EXPECT_EQ(readFile(mirror / "Station1/IMG_0001.mov"), "earlier movie");
    EXPECT_TRUE(service->requestLog().empty());

    photo("Station1/IMG_0001.jpg");
    ASSERT_TRUE(service->waitForRequests(1, 20s));
    EXPECT_TRUE(eventually([&] { return !fs::exists(source / "Station1/IMG_0001.mov"); }));
    EXPECT_EQ(readFile(mirror / "Station1/IMG_0001.mov"), "new movie");
    EXPECT_NE(service->requestLog()[0].find("IMG_0001.mov"), std::string::npos)
        << "the movie went with its photo";
}

TEST_F(LivingProcessTest, QuittingDuringAnUploadCutsItOffAndKeepsThePhoto) {
    startService("IMG_0003.jpg always hang 60\n");
    photo("Smith/IMG_0003.jpg");
    startUploader({{"prefSecondsBetweenScans", 300.0}});
    ASSERT_TRUE(service->waitForRequests(1, 20s)) << "the upload never reached the service";
    app->signal(SIGTERM);
    EXPECT_EQ(app->wait(10s), 0);
    EXPECT_TRUE(fs::exists(source / "Smith/IMG_0003.jpg"));
    EXPECT_FALSE(fs::exists(mirror / "Smith/IMG_0003.jpg"));
}

// The desk as it starts: the window and the preferences panel shown at launch, the order
// check's maintenance window, then the auto-start. Photographed from the screen while a photo is on
// the wire, nothing covers the main window, which shows the photo, its bytes and Pause.
TEST_F(LivingProcessTest, ShownAtLaunchWithAnAutoStartTheMainWindowIsUnobstructedMidUpload) {
    for (const char* tool : {"/usr/bin/xvfb-run", "/usr/bin/xauth", "/usr/bin/dbus-run-session"})
        if (!fs::exists(tool)) GTEST_SKIP() << tool << " is missing (Debian xvfb, xauth, dbus)";
    startService("IMG_0004.jpg 1 hang 20\n");
    photo("Smith/IMG_0004.jpg");
    // The order check at launch opens its maintenance window while the photo is on the wire.
    writePrefs({{"prefShowWindowAtStartup", true},
                {"prefSecondsBetweenScans", 300.0},
                {"prefDoCheckOrders", true}});
    const fs::path shots = tmp / "shots";
    std::vector<std::string> env = environment();
    std::replace(env.begin(), env.end(), std::string("VORN_AUTOSTART_DELAY_MS=0"),
                 std::string("VORN_AUTOSTART_DELAY_MS=300"));
    env.emplace_back("QT_QPA_PLATFORM=xcb");
    ChildProcess desk("/usr/bin/xvfb-run",
                      {"-a", "-s", "-screen 0 1280x800x24", "/usr/bin/dbus-run-session", "--",
                       kUploader, "--prefs", prefsFile.string(), "--log-dir", logDir.string(),
                       "--window-tour", shots.string()},
                      env);
    EXPECT_EQ(desk.wait(60s), 0);
    const std::string text = log();
    const std::size_t at = text.find("window tour: mid-upload:");
    ASSERT_NE(at, std::string::npos) << text.substr(text.size() > 3000 ? text.size() - 3000 : 0);
    const std::string line = text.substr(at, text.find('\n', at) - at);
    for (const char* part : {"photo [Smith/IMG_0004.jpg]",
                             "transfer [Smith/IMG_0004.jpg: ", "button [Pause]", "unobstructed"})
        EXPECT_NE(line.find(part), std::string::npos) << part << " in " << line;
    EXPECT_NE(line.find(" of "), std::string::npos) << "the byte counter: " << line;
    EXPECT_TRUE(fs::exists(shots / "main-window.png"));
}

TEST_F(LivingProcessTest, AHungUploadRelaunchesTheApplicationWhichThenUploadsThePhoto) {
    startService("IMG_0004.jpg 1 hang 60\n");
    photo("Smith/IMG_0004.jpg");
    startUploader({{"prefSecondsBetweenScans", 300.0}, {"prefUploadTimeOut", 1.0}});
    // The old instance ends in order once it has handed itself to the relauncher.
    EXPECT_EQ(app->wait(30s), 0);
    // The new instance, started by the relauncher with the same command line, uploads it.
    EXPECT_TRUE(eventually([&] { return fs::exists(mirror / "Smith/IMG_0004.jpg"); }, 30s));
    EXPECT_NE(log().find("Taking too long to upload - need to relaunch"), std::string::npos);

    // End the new instance: it is not our child; find it by its preferences file.
    auto pids = ChildProcess("/usr/bin/pgrep", {"-f", prefsFile.string()});
    std::vector<pid_t> found;
    while (auto line = pids.readLine()) found.push_back(static_cast<pid_t>(std::stol(*line)));
    pids.wait();
    EXPECT_EQ(found.size(), 1u) << "exactly one fresh instance";
    for (pid_t pid : found) ::kill(pid, SIGTERM);
}

}  // namespace
}  // namespace vorn
