// Remote control end to end: the real vorn-uploader on a private session bus, driven by
// dbus-send (a client written elsewhere) and by vornctl, uploading to the stand-in service.

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <thread>
#include <tuple>

#include "platform/PropertyList.h"
#include "platform/Value.h"
#include "support/ChildProcess.h"
#include "support/PhotoServiceProcess.h"
#include "support/PrivateSessionBus.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"
#include "vorn-capture-sim/CaptureWriter.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::readFile;
using test::ToolResult;
using test::writeFile;

const std::string kUploader = std::string(VORN_BIN_DIR) + "/vorn-uploader";
const std::string kVornctl = std::string(VORN_BIN_DIR) + "/vornctl";
const char* kDbusSend = "/usr/bin/dbus-send";

ToolResult dbusSend(const std::vector<std::string>& arguments) {
    std::vector<std::string> args{"--print-reply", "--dest=org.vorn.Uploader", "/org/vorn/Uploader",
                                  "org.vorn.Uploader.Event"};
    args.insert(args.end(), arguments.begin(), arguments.end());
    return test::runTool(kDbusSend, args);
}

ToolResult vornctl(const std::vector<std::string>& args) {
    return test::runTool(kVornctl, args);
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class RemoteControlTest : public ::testing::Test {
  protected:
    void SetUp() override {
        bus.emplace();
        ASSERT_FALSE(bus->address().empty()) << "no private session bus (Debian package dbus)";
        // Every child (uploader, vornctl, dbus-send) finds the private bus here.
        busEnv.emplace("DBUS_SESSION_BUS_ADDRESS", bus->address());
    }

    // Starts the uploader over a preferences file holding prefs, and waits until it runs.
    // Headless unless extraArgs say --windows (then offscreen, with this option dropped).
    // Entries of extraEnv come before (and so win over) the test's own folders.
    void startUploader(Dictionary prefs = {}, std::vector<std::string> extraArgs = {},
                       std::vector<std::string> extraEnv = {}) {
        prefs.emplace("prefAutoStartUploadAtStartup", false);
        writeFile(prefsPath, toXmlPropertyList(Value(prefs)));
        const std::vector<std::string> own = uploaderEnvironment();
        extraEnv.insert(extraEnv.end(), own.begin(), own.end());
        app.emplace(kUploader, uploaderArguments(extraArgs), extraEnv);
        ASSERT_TRUE(app->waitForLine("started")) << "the uploader did not start";
    }
    std::vector<std::string> uploaderArguments(std::vector<std::string> extraArgs) const {
        auto windows = std::find(extraArgs.begin(), extraArgs.end(), "--windows");
        std::vector<std::string> args{"--prefs", prefsPath.string(), "--log-dir", logDir.string()};
        if (windows == extraArgs.end())
            args.insert(args.begin(), "--headless");
        else
            extraArgs.erase(windows);
        args.insert(args.end(), extraArgs.begin(), extraArgs.end());
        return args;
    }
    std::vector<std::string> uploaderEnvironment() const {
        return {"HOME=" + (tmp / "home").string(), "XDG_CONFIG_HOME=" + (tmp / "config").string(),
                "XDG_STATE_HOME=" + (tmp / "state").string(),
                "XDG_DATA_HOME=" + (tmp / "data").string(), "QT_QPA_PLATFORM=offscreen"};
    }

    // The uploader's start-up line.
    std::string startLine() const {
        for (const std::string& line : app->output())
            if (contains(line, " started (pid ")) return line;
        return "";
    }

    Value storedPreference(const std::string& key) const {
        auto root = readPropertyListFile(prefsPath.string());
        if (!root || !root->isDictionary()) return {};
        auto it = root->asDictionary()->find(key);
        return it == root->asDictionary()->end() ? Value() : it->second;
    }

    std::string datedLogs() const {
        std::string all;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(logDir / "logs", ec)) all += readFile(e.path());
        return all;
    }

    // Polls `vornctl status --json` until it holds every part and not `absent` (the uploader's
    // threads move on their own).
    std::string statusWith(const std::vector<std::string>& parts,
                           const std::string& absent = "\x01") {
        std::string json;
        for (int tries = 0; tries < 1200; ++tries, std::this_thread::sleep_for(50ms)) {
            json = vornctl({"status", "--json"}).output;
            if (std::all_of(parts.begin(), parts.end(),
                            [&](const std::string& p) { return contains(json, p); }) &&
                !contains(json, absent))
                return json;
        }
        ADD_FAILURE() << "status never held all of the expected parts: " << json;
        return json;
    }

    void expectOrderlyEnd() {
        EXPECT_EQ(app->wait(30s), 0);
        const std::string log = readFile(logDir / "VornLog.txt");
        const std::string last = log.substr(log.rfind('\n', log.size() - 2) + 1);  // the last line
        EXPECT_TRUE(contains(last, "] ==> applicationWillTerminate - DONE!")) << last;
    }

    test::TempDir tmp;
    fs::path prefsPath = tmp / "prefs.plist";
    fs::path logDir = tmp / "logs-here";
    std::optional<test::PrivateSessionBus> bus;
    std::optional<test::ScopedEnv> busEnv;
    std::optional<test::ChildProcess> app;
};

// Each config rule's wording is the settings tests'; here, that both ways of setting apply them.
TEST_F(RemoteControlTest, BothClientsSetAndGetValuesLiveOrInTheFileAndQuitEndsInOrder) {
    ASSERT_NO_FATAL_FAILURE(
        startUploader({{"userEnteredEventName", Value("Prom")}}, {"--log-level=debug"}));

    ToolResult set = dbusSend(
        {"string:vorn", "string:1234", "array:string:setValue,prefSecondsBetweenScans,90"});
    EXPECT_EQ(set.status, 0) << set.output;
    EXPECT_TRUE(contains(set.output, "variant       string \"COMMAND SUCCESS\"")) << set.output;
    EXPECT_EQ(vornctl({"get", "prefSecondsBetweenScans"}).output, "COMMAND SUCCESS\n90.00\n");

    EXPECT_EQ(vornctl({"set", "userEnteredEventName", "Spring Gala, 2026"}).output,
              "COMMAND SUCCESS\n");
    ToolResult getName =
        dbusSend({"string:vorn", "string:1234", "array:string:getValue,userEnteredEventName,-"});
    EXPECT_EQ(getName.status, 0) << getName.output;
    for (const char* part : {"struct {", "string \"COMMAND SUCCESS\"", "string \"getValue\"",
                             "string \"userEnteredEventName\"", "string \"Spring Gala, 2026\""})
        EXPECT_TRUE(contains(getName.output, part)) << part << " in " << getName.output;

    ToolResult refused = vornctl({"set", "prefSecondsBetweenScans", "abc"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.output, "COMMAND FAILED\n");
    EXPECT_EQ(vornctl({"get", "prefKivURL"}).status, 1);
    EXPECT_EQ(storedPreference("prefSecondsBetweenScans"), Value(90.0));

    // Calls of the wrong shape are errors; the program runs on.
    ToolResult badType = dbusSend({"string:vorn", "int32:1234", "array:string:getValue,x,-"});
    EXPECT_TRUE(contains(badType.output, "org.freedesktop.DBus.Error.InvalidArgs"))
        << badType.output;
    ToolResult badEvent = dbusSend({"string:vorn", "string:zzzz", "array:string:"});
    EXPECT_TRUE(contains(badEvent.output, "org.vorn.Uploader.Error.UnknownEvent"))
        << badEvent.output;
    EXPECT_EQ(::kill(app->pid(), 0), 0) << "it runs on";

    const std::tuple<const char*, const char*, const char*> rows[] = {
        {"prefSecondsBetweenScans", "0", "a number of seconds above 0"},
        {"noSuchKey", "1", "no such setting"},
        // Against the factory's folders, ~/Pictures/Vorn/Upload and ~/Pictures/Vorn/Mirror.
        {"prefLocalMasterMirrorSiteFolder", "~/Pictures/Vorn/Upload/Mirror",
         "lies inside the source folder"},
    };
    const std::string before = readFile(prefsPath);
    for (bool running : {true, false}) {
        for (const auto& [key, value, rule] : rows) {
            std::vector<std::string> args{"config", "set", key, value};
            if (!running) args.insert(args.begin(), "--prefs=" + prefsPath.string());
            ToolResult r = vornctl(args);
            EXPECT_EQ(r.status, 1) << key << (running ? " live" : " file");
            EXPECT_TRUE(contains(r.output, key) && contains(r.output, rule)) << r.output;
            EXPECT_EQ(readFile(prefsPath), before);
        }
    }

    // Live: applied and written at once; a folder not there yet is kept, with a warning.
    ToolResult live = vornctl({"config", "set", "userEnteredEventName", "Spring Gala"});
    EXPECT_EQ(live.status, 0) << live.output;
    EXPECT_EQ(storedPreference("userEnteredEventName"), Value("Spring Gala"));
    ToolResult list = vornctl({"config", "list"});
    EXPECT_TRUE(contains(list.output, "userEnteredEventName\ttext\tSpring Gala\t")) << list.output;
    const fs::path typo = tmp / "Uplaod";
    ToolResult kept = vornctl({"config", "set", "prefLocalSourceUploadFolder", typo.string()});
    EXPECT_EQ(kept.status, 0) << kept.output;
    EXPECT_TRUE(contains(
        kept.output, "warning: prefLocalSourceUploadFolder: " + typo.string() + " does not exist"))
        << kept.output;
    EXPECT_EQ(storedPreference("prefLocalSourceUploadFolder"), Value(typo.string()));

    // A hand edit, then SIGHUP: the running uploader answers the edited value.
    Dictionary edited = *readPropertyListFile(prefsPath.string())->asDictionary();
    edited.insert_or_assign("userLoginName", Value("edited-by-hand"));
    writeFile(prefsPath, toXmlPropertyList(Value(edited)));
    app->signal(SIGHUP);
    ASSERT_TRUE(app->waitForLine("settings reloaded"));
    EXPECT_EQ(vornctl({"config", "get", "userLoginName"}).output, "edited-by-hand\n");

    // Quit: nothing answers; the bus tells dbus-send that the uploader left without replying.
    ToolResult quit = dbusSend({"string:aevt", "string:quit", "array:string:"});
    EXPECT_NE(quit.status, 0);
    EXPECT_TRUE(contains(quit.output, "org.freedesktop.DBus.Error.NoReply")) << quit.output;
    expectOrderlyEnd();
    EXPECT_TRUE(contains(datedLogs(), "Received kAEQuitApplication"));
    EXPECT_TRUE(
        contains(startLine(), "; vornctl reaches it over the session bus (org.vorn.Uploader)"))
        << startLine();

    // Without an uploader: the file itself, private, under the store's lock; the check warns
    // (status 0) of the factory event name once the address is a real service's.
    const std::string prefs = "--prefs=" + prefsPath.string();
    fs::create_directories(tmp / "Upload");
    fs::create_directories(tmp / "Mirror");
    for (const auto& [key, value] :
         {std::pair<std::string, std::string>{"prefLocalSourceUploadFolder", tmp / "Upload"},
          {"prefLocalMasterMirrorSiteFolder", tmp / "Mirror"},
          {"prefKivURL", "https://photos.example.net/vorn"},
          {"userEnteredEventName", "Demo Event"}})
        ASSERT_EQ(vornctl({prefs, "config", "set", key, value}).status, 0) << key;
    EXPECT_EQ(storedPreference("prefKivURL"), Value("https://photos.example.net/vorn"));
    EXPECT_EQ(fs::status(prefsPath).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    ToolResult check = vornctl({prefs, "config", "check"});
    EXPECT_EQ(check.status, 0);
    EXPECT_EQ(check.output,
              "warning: userEnteredEventName: still the factory default \"Demo Event\" while "
              "prefKivURL is a real service (https://photos.example.net/vorn); set it with "
              "vornctl config set userEnteredEventName VALUE\n");
}

// Started where there is no session bus (a root shell, an ssh login, a container): the same
// interface on a socket of the user's own, under XDG_RUNTIME_DIR or else the state folder, and
// vornctl finds it after the bus. Where neither can be had, the start-up line says what to do.
TEST_F(RemoteControlTest, WithoutASessionBusVornctlReachesTheUploaderOnASocketOfItsOwn) {
    busEnv.reset();
    test::ScopedEnv noBus("DBUS_SESSION_BUS_ADDRESS");
    test::ScopedEnv noDisplay("DISPLAY");  // nor a bus started for an X display
    // vornctl looks where the uploader does.
    test::ScopedEnv stateHome("XDG_STATE_HOME", (tmp / "state").string());
    const fs::path run = tmp / "run";
    fs::create_directory(run);
    fs::permissions(run, fs::perms::owner_all);
    const std::pair<std::optional<fs::path>, fs::path> rows[] = {
        {run, run / "vorn/uploader.socket"},
        {std::nullopt, tmp / "state/vorn/uploader.socket"},
    };
    for (const auto& [runtimeDir, socket] : rows) {
        SCOPED_TRACE(socket);
        std::optional<test::ScopedEnv> runtime;
        if (runtimeDir)
            runtime.emplace("XDG_RUNTIME_DIR", runtimeDir->string());
        else
            runtime.emplace("XDG_RUNTIME_DIR");
        ASSERT_NO_FATAL_FAILURE(startUploader());
        EXPECT_TRUE(
            contains(startLine(), "; vornctl reaches it over the socket " + socket.string()))
            << startLine();
        EXPECT_EQ(fs::symlink_status(socket).type(), fs::file_type::socket);
        EXPECT_EQ(fs::symlink_status(socket).permissions() & fs::perms::all,
                  fs::perms::owner_read | fs::perms::owner_write);

        ToolResult status = vornctl({"status"});
        EXPECT_EQ(status.status, 0) << status.output;
        EXPECT_TRUE(contains(status.output, "remoteControl:    the socket " + socket.string()))
            << status.output;
        // A pause while idle holds at once; resume takes it back, and says when nothing is held.
        EXPECT_EQ(vornctl({"pause"}).output, "ACCEPTED\n");
        EXPECT_TRUE(contains(vornctl({"status"}).output, "state:            paused\n"));
        EXPECT_EQ(vornctl({"resume"}).output, "ACCEPTED\n");
        EXPECT_EQ(vornctl({"resume"}).output, "NOT PAUSED\n");
        ToolResult set = vornctl({"config", "set", "userEnteredEventName", "Spring Gala"});
        EXPECT_EQ(set.status, 0) << set.output;
        EXPECT_EQ(storedPreference("userEnteredEventName"), Value("Spring Gala"));

        EXPECT_EQ(vornctl({"quit"}).status, 0);
        expectOrderlyEnd();
        EXPECT_FALSE(fs::exists(fs::symlink_status(socket))) << "the socket goes with it";
    }

    // No bus, and no folder for the socket: the uploader runs on and says what to do.
    writeFile(tmp / "not-a-folder", "x");
    test::ScopedEnv noRuntime("XDG_RUNTIME_DIR");
    test::ScopedEnv blocked("XDG_STATE_HOME", (tmp / "not-a-folder").string());
    ASSERT_NO_FATAL_FAILURE(
        startUploader({}, {}, {"XDG_STATE_HOME=" + (tmp / "not-a-folder").string()}));
    const std::string socket = (tmp / "not-a-folder/vorn/uploader.socket").string();
    for (const std::string& said :
         {"); vornctl cannot reach it: no session bus, and the socket " + socket +
              " cannot be made (",
          std::string("start the uploader in a desktop session or under dbus-run-session, or set "
                      "XDG_RUNTIME_DIR to a folder of your own")})
        EXPECT_TRUE(contains(startLine(), said)) << startLine();
    ToolResult none = vornctl({"pause"});
    EXPECT_EQ(none.status, 3);
    EXPECT_TRUE(contains(none.output,
                         "no uploader is running on the session bus (org.vorn.Uploader) "
                         "or on the socket " +
                             socket))
        << none.output;
    app->signal(SIGTERM);
    expectOrderlyEnd();
    EXPECT_TRUE(contains(datedLogs(), "UNABLE setupForAppleEventsForThisApp"));
}

// The first number after "key": in a JSON text, or -1.
double jsonNumber(const std::string& json, const std::string& key) {
    std::size_t at = json.find("\"" + key + "\":");
    if (at == std::string::npos) return -1;
    return std::strtod(json.c_str() + at + key.size() + 3, nullptr);
}

// Photo with a guest's e-mail address, long finished, under source/<rel>.
std::string writeGuestPhoto(const fs::path& source, const std::string& rel,
                            std::size_t padding = 0) {
    capture::JpegSpec recipe;
    recipe.userComment = capture::metadataText(
        Dictionary{{"KD_emailsForUpload", Array{Value("guest.one@example.com")}},
                   {"KD_firstname", Value("Guestina")}});
    recipe.dateTimeOriginal = "2026:05:01 10:00:00";
    std::string photo = capture::makeJpeg(recipe).flatten();
    photo.append(padding, '\0');  // after the image's end: still the same picture
    writeFile(source / rel, photo);
    // Long finished: a pass takes it without waiting for it to settle.
    fs::last_write_time(source / rel, fs::file_time_type::clock::now() - std::chrono::hours(1));
    return photo;
}

// Started hidden or in front (as the relauncher asks), shown by `vornctl show` and by a second
// launch, which then leaves as before. Headless there is no window to show.
TEST_F(RemoteControlTest, TheMainWindowStartsAsAskedAndComesBackOnShowAndOnASecondLaunch) {
    enum class Then { Nothing, Show, SecondLaunch };
    struct Row {
        std::vector<std::string> args;
        bool showAtStartup;
        const char* window;
        Then then;
    };
    const Row rows[] = {{{"--windows"}, true, "shown", Then::Nothing},
                        {{"--windows"}, false, "hidden", Then::SecondLaunch},
                        {{"--windows", "--background"}, true, "hidden", Then::Show},
                        {{"--windows", "--foreground"}, false, "shown", Then::Nothing},
                        {{}, true, "none", Then::Show}};
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.args));
        ASSERT_NO_FATAL_FAILURE(
            startUploader({{"prefShowWindowAtStartup", row.showAtStartup}}, row.args));
        statusWith({"\"mainWindow\":\"" + std::string(row.window) + "\""});
        if (row.then == Then::Show) {
            EXPECT_EQ(vornctl({"show"}).status, row.args.empty() ? 1 : 0);
        } else if (row.then == Then::SecondLaunch) {
            ToolResult second =
                test::runTool(kUploader, uploaderArguments({"--windows"}), uploaderEnvironment());
            EXPECT_EQ(second.status, 3) << second.output;
            EXPECT_TRUE(contains(second.output, "already runs")) << second.output;
        }
        if (row.then != Then::Nothing)
            statusWith({row.args.empty() ? "\"mainWindow\":\"none\"" : "\"mainWindow\":\"shown\""});
        app->signal(SIGTERM);
        expectOrderlyEnd();
    }
    EXPECT_EQ(vornctl({"show"}).status, 3) << "without an uploader nobody answers";
}

// What a desk operator reads in status from launch on: the launch delay, the bytes on the wire and
// then the wait for the service's reply, the photos passed over and why (each said once), the day's
// counts again after a restart, and the service's ERROR in the quietest log. No secret reaches the
// output or the logs.
TEST_F(RemoteControlTest, StatusTellsTheWholeStoryAndTheDaysCountsOutliveARestart) {
    const fs::path source = tmp / "Upload", mirror = tmp / "Mirror";
    const fs::path metrics = tmp / "metrics/vorn.prom";
    fs::create_directories(mirror);
    fs::create_directories(metrics.parent_path());
    const std::string photo = writeGuestPhoto(source, "Smith/IMG_0001.jpg", 4 << 20);
    for (const char* name : {"Smith/IMG_0002.jpg", "LOOSE.jpg"}) writeGuestPhoto(source, name);
    for (const char* name : {"Smith/NOTES_1.jpg", "Smith/NOTES_2.jpg"}) {
        writeFile(source / name, "no metadata in here");
        fs::last_write_time(source / name,
                            fs::file_time_type::clock::now() - std::chrono::hours(1));
    }
    writeFile(tmp / "script",
              "IMG_0001.jpg 1 hang 2.5\nIMG_0002.jpg 1 warning \"Duplicate photo\"\n"
              "IMG_0003.jpg 1 error \"Invalid username or password\"\n");
    test::PhotoServiceProcess service(tmp / "service", std::nullopt, tmp / "script");
    const Dictionary prefs{{"prefLocalSourceUploadFolder", source.string()},
                           {"prefLocalMasterMirrorSiteFolder", mirror.string()},
                           {"prefKivURL", service.url()},
                           {"userLoginName", "photog"},
                           {"userLoginPassword", "s3cret-pass"},
                           {"prefAutoStartUploadAtStartup", true},
                           {"prefSecondsBetweenScans", 1.0},
                           {"prefMetricsFile", metrics.string()}};
    ASSERT_NO_FATAL_FAILURE(startUploader(prefs, {}, {"VORN_AUTOSTART_DELAY_MS=600000"}));

    // The launch delay: counted down, with the photos waiting counted by name meanwhile.
    const std::string launching = statusWith({"\"state\":\"starting\"", "\"photosWaiting\":4"});
    EXPECT_GT(jsonNumber(launching, "startsIn"), 500) << launching;
    EXPECT_FALSE(contains(launching, "s3cret")) << launching;

    // The event name set now is the one the pass takes.
    EXPECT_EQ(vornctl({"set", "userEnteredEventName", "Prom"}).output, "COMMAND SUCCESS\n");
    ToolResult upload = dbusSend({"string:vorn", "string:upnw", "array:string:"});
    EXPECT_TRUE(contains(upload.output, "string \"ACCEPTED\"")) << upload.output;
    // A transfer shows its bytes once the first of them are on the wire; when the last is out
    // the service thinks for a while.
    std::string uploading = statusWith(
        {"\"state\":\"uploading\"", "\"name\":\"Smith/IMG_0001.jpg\""}, "\"bytesSent\":0,");
    EXPECT_GT(jsonNumber(uploading, "bytesTotal"), 4 << 20) << uploading;
    EXPECT_GT(jsonNumber(uploading, "bytesSent"), 0) << uploading;
    statusWith({"\"name\":\"Smith/IMG_0001.jpg\"", "\"secondsWaitingForReply\":"},
               "\"secondsWaitingForReply\":null");
    // A pause asked for meanwhile, then taken back before it took effect: the cycle goes on.
    EXPECT_EQ(vornctl({"pause"}).output, "ACCEPTED\n");
    statusWith({"\"state\":\"pausing\""});
    ASSERT_TRUE(app->waitForLine("button: Pause (disabled)"));
    EXPECT_EQ(vornctl({"resume"}).output, "ACCEPTED\n");
    ASSERT_TRUE(app->waitForLine("button: Pause"));  // working again

    // Passes go by (one a second); what they pass over is counted, named, and said once.
    statusWith({"\"uploadedToday\":1,\"setAsideToday\":1", "\"photosWaiting\":0",
                "\"photosSkipped\":3,\"skippedWithoutMetadata\":2,\"skippedWithoutMetadataNames\":"
                "[\"Smith/NOTES_2.jpg\",\"Smith/NOTES_1.jpg\"],\"skippedLoose\":1,"
                "\"skippedLooseNames\":[\"LOOSE.jpg\"]"});
    EXPECT_EQ(readFile(tmp / "service/photog/Prom/IMG_0001.jpg"), photo)
        << "the photo arrives byte for byte, under the event name set before the pass";
    for (int pass = 0; pass < 3; ++pass) ASSERT_TRUE(app->waitForLine("Next Auto-Synchronize"));
    const auto& lines = app->output();
    for (const char* said : {"skipped LOOSE.jpg: photos go in a client folder",
                             "skipped Smith/NOTES_1.jpg: no upload metadata"})
        EXPECT_EQ(std::count(lines.begin(), lines.end(), said), 1) << said;
    EXPECT_EQ(vornctl({"quit"}).status, 0);
    expectOrderlyEnd();
    ToolResult gone = vornctl({"status", "--json"});
    EXPECT_EQ(gone.status, 3);
    EXPECT_TRUE(contains(gone.output, "{\"state\":\"not running\"}\n")) << gone.output;
    // The metrics file's last word, where the setting puts it.
    const std::string counters = readFile(metrics);
    EXPECT_TRUE(contains(counters, "\nvorn_photos_uploaded_total 1\n") &&
                contains(counters, "\nvorn_state{state=\"stopped\"} 1\n"))
        << counters;

    // At the default level no address or password reaches the output or the log folder. The
    // factory default's password is the demo account's name too, and in temporary folder names:
    // what must not appear is it as a password value.
    std::vector<std::pair<fs::path, std::string>> texts{{"the output", ""}};
    for (const std::string& line : app->output()) texts[0].second += line + "\n";
    for (const auto& e : fs::recursive_directory_iterator(logDir))
        if (e.is_regular_file()) texts.emplace_back(e.path(), readFile(e.path()));
    EXPECT_GE(texts.size(), 3u) << "the dated log and the message log";
    for (const auto& [where, text] : texts)
        for (const char* secret :
             {"handleTestAEHandler", "@example.com", "guest.one", "s3cret-pass",
              "userLoginPassword = \"vorn-test", "<string>vorn-test"})
            EXPECT_FALSE(contains(text, secret)) << secret << " in " << where;

    // Started again the same day, logging errors only: the day's counts go on, the metrics'
    // counters begin again (a monitor sees the restart).
    ASSERT_NO_FATAL_FAILURE(
        startUploader(prefs, {"--log-level=error"}, {"VORN_AUTOSTART_DELAY_MS=0"}));
    statusWith({"\"uploadedToday\":1,\"setAsideToday\":1"});
    EXPECT_TRUE(contains(readFile(metrics), "\nvorn_photos_uploaded_total 0\n"));
    writeGuestPhoto(source, "Smith/IMG_0003.jpg");
    statusWith({"\"state\":\"stopped on error\""});
    const std::string log = datedLogs();
    EXPECT_TRUE(contains(log,
                         "] The service answered ERROR: Invalid username or password; the "
                         "cycle stops until Upload Now, Resume or a change of settings"))
        << log;
    EXPECT_EQ(vornctl({"quit"}).status, 0);
    expectOrderlyEnd();
}

}  // namespace
}  // namespace vorn
