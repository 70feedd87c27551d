// The living process end to end: the real uploader, the real stand-in service and real folders.
// Start-up and the orderly stop on a signal, the store lock, the watcher, the rescan timer,
// quitting during an upload and the relaunch of a hung upload (a pause is the remote suite's).

#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>

#include "support/UploaderFixture.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::ChildProcess;
using test::eventually;
using test::kUploaderProgram;
using test::readFile;

class LivingProcessTest : public test::UploaderFixture {
  public:
    void SetUp() override {
        fs::create_directories(source);
        fs::create_directories(mirror);
    }

    void startUploader(const Dictionary& prefs, std::vector<std::string> extraEnv = {}) {
        Dictionary all = serviceSettings(service->url());
        all.insert(prefs.begin(), prefs.end());
        all.insert({{"prefAutoStartUploadAtStartup", true}, {"prefAutoSynchronize", true}});
        launch(all, {"--log-level=debug"}, withoutDelays(std::move(extraEnv)));
    }
    static std::vector<std::string> withoutDelays(std::vector<std::string> env = {}) {
        env.insert(env.end(), {"VORN_AUTOSTART_DELAY_MS=0", "VORN_UNDER_SYSTEMD="});
        return env;
    }

    void photo(const std::string& rel) { test::finishedPhoto(source / rel); }
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
        test::writeFile(prefsPath, broken ? garbage : kQuietPrefs);
        std::vector<std::string> args = arguments({"--log-level=debug"}),
                                 env = environment(withoutDelays());
        if (windowed) {
            args.erase(args.begin());
            env.push_back("QT_QPA_PLATFORM=offscreen");
        }
        app.reset();
        app.emplace(kUploaderProgram, args, env);
        ASSERT_TRUE(app->waitForLine("started")) << "no start line";
        app->signal(sig);
        expectOrderlyEnd();
        // Also on the status line, in red, so the user knows the settings are the factory's.
        bool shown = false;
        for (const std::string& line : app->output())
            shown |= line.rfind("error: ", 0) == 0 &&
                     line.find("The preferences file " + prefsPath.string() +
                               " could not be read") != std::string::npos &&
                     line.find("factory settings are in use") != std::string::npos;
        EXPECT_EQ(shown, broken);
        EXPECT_NE(readFile(logDir / "VornLog.txt").find("] ==> applicationWillFinishLaunching\n"),
                  std::string::npos);
    }
    // The runs of the day wrote into the same dated file, each with its own header.
    EXPECT_EQ(std::distance(fs::directory_iterator(logDir / "logs"), fs::directory_iterator()), 1);
    EXPECT_EQ(test::occurrences(datedLogs(), "vorn-uploader => "), 3u);

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
    test::writeFile(prefsPath, toXmlPropertyList(Value(prefs)));
    prefs["prefLocalSourceUploadFolder"] = (tmp / "link/").string();
    test::writeFile(otherPrefs, toXmlPropertyList(Value(prefs)));
    const std::vector<std::string> env =
        environment(withoutDelays({"XDG_RUNTIME_DIR=" + (tmp / "run").string()}));
    auto argumentsFor = [&](const fs::path& store) {
        std::vector<std::string> args = arguments({"--log-level=debug"});
        args[2] = store.string();  // the value of --prefs
        return args;
    };

    ChildProcess first(kUploaderProgram, arguments({"--log-level=debug"}), env);
    ASSERT_TRUE(first.waitForLine("started"));
    EXPECT_EQ(readFile(fs::path(prefsPath.string() + ".lock")), std::to_string(first.pid()) + "\n");
    for (const fs::path& store : {prefsPath, otherPrefs}) {
        SCOPED_TRACE(store);
        // Its standard error joins the output read here.
        std::vector<std::string> shellArgs = {"-c", "exec \"$0\" \"$@\" 2>&1", kUploaderProgram};
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
    ChildProcess third(kUploaderProgram, argumentsFor(otherPrefs), env);
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
    EXPECT_NE(datedLogs().find("NOT available"), std::string::npos);
    EXPECT_EQ(datedLogs().find("doInstallTheWatcher is running"), std::string::npos);

    app.reset();
    startUploader({{"prefSecondsBetweenScans", 300.0}});
    ASSERT_TRUE(app->waitForLine("Waiting For New Images...")) << "first pass did not end";
    ASSERT_TRUE(eventually(
        [&] { return datedLogs().find("doInstallTheWatcher is running") != std::string::npos; }));
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
        return datedLogs().find("application:openFile:...  The cycle is paused") !=
               std::string::npos;
    }));
    EXPECT_EQ(service->requestLog().size(), 1u);
    EXPECT_TRUE(fs::exists(source / "Smith/IMG_0005.jpg"));

    // The user mends the account: both go, the one that got the error once more.
    Dictionary prefs = *parsePropertyList(readFile(prefsPath))->asDictionary();
    prefs["userLoginPassword"] = "mended";
    test::writeFile(prefsPath, toXmlPropertyList(Value(prefs)));
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
    EXPECT_LE(test::occurrences(datedLogs(), "=> application:openFile:..."), 4u) << datedLogs();
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

TEST_F(LivingProcessTest, AHungUploadRelaunchesTheApplicationWhichThenUploadsThePhoto) {
    startService("IMG_0004.jpg 1 hang 60\n");
    photo("Smith/IMG_0004.jpg");
    startUploader({{"prefSecondsBetweenScans", 300.0}, {"prefUploadTimeOut", 1.0}});
    // The old instance ends in order once it has handed itself to the relauncher.
    EXPECT_EQ(app->wait(30s), 0);
    // The new instance, started by the relauncher with the same command line, uploads it.
    EXPECT_TRUE(eventually([&] { return fs::exists(mirror / "Smith/IMG_0004.jpg"); }, 30s));
    EXPECT_NE(datedLogs().find("Taking too long to upload - need to relaunch"), std::string::npos);

    // End the new instance: it is not our child; find it by its preferences file.
    auto pids = ChildProcess("/usr/bin/pgrep", {"-f", prefsPath.string()});
    std::vector<pid_t> found;
    while (auto line = pids.readLine()) found.push_back(static_cast<pid_t>(std::stol(*line)));
    pids.wait();
    EXPECT_EQ(found.size(), 1u) << "exactly one fresh instance";
    for (pid_t pid : found) ::kill(pid, SIGTERM);
}

}  // namespace
}  // namespace vorn
