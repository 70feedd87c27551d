// Remote control end to end: the real vorn-uploader on a private session bus, driven by
// dbus-send (a client written elsewhere) and by vornctl, uploading to the stand-in service.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <tuple>

#include "BuildInfo.h"
#include "support/PrivateSessionBus.h"
#include "support/ScopedEnv.h"
#include "support/UploaderFixture.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::readFile;
using test::ToolResult;
using test::writeFile;

const std::string kVornctl = std::string(VORN_BIN_DIR) + "/vornctl";
const char* kDbusSend = "/usr/bin/dbus-send";
const char* kNodeExporter = "/usr/bin/prometheus-node-exporter";
// A guest's e-mail address and name: what must never reach a log.
const Dictionary kGuest{{"KD_emailsForUpload", Array{Value("guest.one@example.com")}},
                        {"KD_firstname", Value("Guestina")}};

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

class RemoteControlTest : public test::UploaderFixture {
  protected:
    void SetUp() override {
        bus.emplace();
        ASSERT_FALSE(bus->address().empty()) << "no private session bus (Debian package dbus)";
        // Every child (uploader, vornctl, dbus-send) finds the private bus here.
        busEnv.emplace("DBUS_SESSION_BUS_ADDRESS", bus->address());
    }

    // Starts the uploader over prefs (not starting a pass by itself unless they say so) and
    // waits until it runs.
    void startUploader(Dictionary prefs = {}, const std::vector<std::string>& extraArgs = {},
                       std::vector<std::string> extraEnv = {}) {
        prefs.emplace("prefAutoStartUploadAtStartup", false);
        launch(prefs, extraArgs, std::move(extraEnv));
        ASSERT_TRUE(app->waitForLine("started")) << "the uploader did not start";
    }

    // The uploader's start-up line.
    std::string startLine() const {
        for (const std::string& line : app->output())
            if (contains(line, " started (pid ")) return line;
        return "";
    }

    bool stillRunning() const { return app && ::kill(app->pid(), 0) == 0; }

    Value storedPreference(const std::string& key) const {
        auto root = readPropertyListFile(prefsPath.string());
        if (!root || !root->isDictionary()) return {};
        auto it = root->asDictionary()->find(key);
        return it == root->asDictionary()->end() ? Value() : it->second;
    }

    // Polls the status (--json or text) until it holds all parts and not `absent`: the
    // uploader's threads move on their own.
    std::string status(const std::vector<std::string>& parts, bool json = true,
                       const std::string& absent = "\x01") {
        std::string out;
        for (int tries = 0; tries < 1200; ++tries, std::this_thread::sleep_for(50ms)) {
            out = vornctl(json ? std::vector<std::string>{"status", "--json"}
                               : std::vector<std::string>{"status"})
                      .output;
            if (std::all_of(parts.begin(), parts.end(),
                            [&](const std::string& p) { return contains(out, p); }) &&
                !contains(out, absent))
                return out;
        }
        ADD_FAILURE() << "status never held all of the expected parts: " << out;
        return out;
    }

    std::optional<test::PrivateSessionBus> bus;
    std::optional<test::ScopedEnv> busEnv;
};

TEST_F(RemoteControlTest, BothClientsSetAndGetValuesAndQuitEndsInOrder) {
    ASSERT_NO_FATAL_FAILURE(startUploader({}, {"--log-level=debug"}));

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
    EXPECT_TRUE(stillRunning());

    // Quit: nothing answers; the bus tells dbus-send that the uploader left without replying.
    ToolResult quit = dbusSend({"string:aevt", "string:quit", "array:string:"});
    EXPECT_NE(quit.status, 0);
    EXPECT_TRUE(contains(quit.output, "org.freedesktop.DBus.Error.NoReply")) << quit.output;
    EXPECT_FALSE(contains(quit.output, "method return")) << quit.output;
    expectOrderlyEnd();
    EXPECT_TRUE(contains(datedLogs(), "Received kAEQuitApplication"));
    EXPECT_TRUE(
        contains(startLine(), "; vornctl reaches it over the session bus (org.vorn.Uploader)"))
        << startLine();
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
        EXPECT_FALSE(contains(vornctl({"status"}).output, "state:            paused"));
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
    EXPECT_TRUE(
        contains(startLine(), "); vornctl cannot reach it: no session bus, and the socket " +
                                  socket + " cannot be made (") &&
        contains(startLine(),
                 "start the uploader in a desktop session or under "
                 "dbus-run-session, or set XDG_RUNTIME_DIR to a folder of "
                 "your own"))
        << startLine();
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

TEST_F(RemoteControlTest, StatusFollowsPauseUploadNowAndAnErrorAndNoSecretReachesTheLogs) {
    fs::create_directories(mirror);
    const std::string photo = test::finishedPhoto(source / "Smith/IMG_0001.jpg", kGuest, 4 << 20);
    startService("IMG_0001.jpg 1 hang 3\nIMG_0002.jpg always error \"Account closed\"\n");
    ASSERT_NO_FATAL_FAILURE(startUploader(serviceSettings(service->url())));
    const std::string prefsBefore = readFile(prefsPath);

    std::string idle = status({"\"state\":\"idle\""});
    EXPECT_TRUE(contains(idle, "\"transfer\":null,") &&
                contains(idle, "\"sourceFolder\":\"" + source.string() + "\""))
        << idle;
    EXPECT_FALSE(contains(idle, "s3cret")) << idle;

    // Paused while idle: held at once; nothing was written, no pass started.
    EXPECT_EQ(vornctl({"pause"}).output, "ACCEPTED\n");
    ASSERT_TRUE(app->waitForLine("Process Paused...", 20s));
    status({"\"state\":\"paused\""});
    EXPECT_EQ(readFile(prefsPath), prefsBefore);
    EXPECT_TRUE(service->requestLog().empty());

    // The event name set now is the one the pass takes.
    EXPECT_EQ(vornctl({"set", "userEnteredEventName", "Gala"}).output, "COMMAND SUCCESS\n");
    ToolResult upload = dbusSend({"string:vorn", "string:upnw", "array:string:"});
    EXPECT_TRUE(contains(upload.output, "string \"ACCEPTED\"")) << upload.output;
    // A transfer shows its bytes once the first of them are on the wire.
    std::string uploading = status({"\"state\":\"uploading\"", "\"name\":\"Smith/IMG_0001.jpg\""},
                                   true, "\"bytesSent\":0,");
    EXPECT_GT(jsonNumber(uploading, "bytesTotal"), 4 << 20) << uploading;
    EXPECT_GT(jsonNumber(uploading, "bytesSent"), 0) << uploading;

    // Paused while the photo is on the wire: it is filed, then the cycle holds.
    EXPECT_EQ(vornctl({"pause"}).output, "ACCEPTED\n");
    std::string paused = status({"\"state\":\"paused\"", "\"uploadedToday\":1"});
    EXPECT_TRUE(contains(paused, "\"transfer\":null")) << paused;
    EXPECT_TRUE(contains(paused, "\"lastUploadName\":\"Smith/IMG_0001.jpg\"")) << paused;
    EXPECT_EQ(readFile(tmp / "service/photog/Gala/IMG_0001.jpg"), photo)
        << "the photo arrives byte for byte, under the event name set while paused";

    test::finishedPhoto(source / "Smith/IMG_0002.jpg", kGuest);
    EXPECT_EQ(vornctl({"upload-now"}).output, "ACCEPTED\n");
    std::string error = status({"\"state\":\"stopped on error\""});
    EXPECT_TRUE(contains(error, "Account closed")) << error;
    EXPECT_FALSE(contains(error, "\"lastErrorTime\":null")) << error;

    EXPECT_EQ(vornctl({"quit"}).status, 0);
    expectOrderlyEnd();
    ToolResult gone = vornctl({"status", "--json"});
    EXPECT_EQ(gone.status, 3);
    EXPECT_TRUE(contains(gone.output, "{\"state\":\"not running\"}\n")) << gone.output;

    // At the default level no address or password reaches the output or the log folder.
    for (const std::string& line : app->output()) {
        EXPECT_FALSE(contains(line, "handleTestAEHandler")) << line;
        EXPECT_FALSE(contains(line, "@example.com")) << line;
    }
    std::size_t files = 0;
    for (const auto& e : fs::recursive_directory_iterator(logDir)) {
        if (!e.is_regular_file()) continue;
        ++files;
        const std::string text = readFile(e.path());
        // The factory default's password is the demo account's name too, and in temporary
        // folder names: what must not appear is it as a password value.
        for (const char* secret : {"@example.com", "guest.one", "s3cret-pass",
                                   "userLoginPassword = \"vorn-test", "<string>vorn-test"})
            EXPECT_FALSE(contains(text, secret)) << secret << " in " << e.path();
    }
    EXPECT_GE(files, 2u) << "the dated log and the message log";
}

// A loopback port free at the moment of asking.
int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t size = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), size);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
}

// The body of GET /metrics on 127.0.0.1:port (HTTP/1.0: the server closes when done); empty
// when nothing answers.
std::string scrape(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{
        AF_INET, htons(static_cast<std::uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    std::string reply;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        const std::string request = "GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        if (::write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
            char buf[65536];
            for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) reply.append(buf, n);
        }
    }
    ::close(fd);
    const std::size_t body = reply.find("\r\n\r\n");
    return reply.rfind("HTTP/1.", 0) == 0 && contains(reply, " 200 ") && body != std::string::npos
               ? reply.substr(body + 4)
               : std::string();
}

// "name{labels} value" lines of an exposition, by name with labels.
std::map<std::string, double> samples(const std::string& exposition) {
    std::map<std::string, double> out;
    std::istringstream lines(exposition);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#') continue;
        const std::size_t blank = line.rfind(' ');
        out[line.substr(0, blank)] = std::strtod(line.c_str() + blank + 1, nullptr);
    }
    return out;
}

// What a desk operator reads in status from launch on: the launch delay, the photos passed
// over and why (each said once), the wait for the service's reply after the last byte, the
// day's counts again after a restart, and the service's ERROR in the quietest log. What a
// studio's monitoring reads: the metrics file, through Debian's node exporter.
TEST_F(RemoteControlTest, StatusAndMetricsTellTheWholeStoryAndTheDaysCountsOutliveARestart) {
    const fs::path metrics = tmp / "metrics/vorn.prom";
    fs::create_directories(mirror);
    fs::create_directories(metrics.parent_path());
    const std::string accepted = test::finishedPhoto(source / "Smith/IMG_0001.jpg");
    test::finishedPhoto(source / "Smith/IMG_0002.jpg");
    test::finishedPhoto(source / "LOOSE.jpg");
    for (const char* name : {"Smith/NOTES_1.jpg", "Smith/NOTES_2.jpg"}) {
        writeFile(source / name, "no metadata in here");
        fs::last_write_time(source / name,
                            fs::file_time_type::clock::now() - std::chrono::hours(1));
    }
    startService(
        "IMG_0001.jpg 1 hang 2.5\nIMG_0002.jpg 1 http 503\nIMG_0002.jpg 1 warning \"Duplicate "
        "photo\"\n"
        "IMG_0003.jpg 1 error \"Invalid username or password\"\n");
    Dictionary prefs = serviceSettings(service->url());
    prefs.insert({{"prefAutoStartUploadAtStartup", true}, {"prefSecondsBetweenScans", 1.0}});
    ASSERT_NO_FATAL_FAILURE(startUploader(prefs, {"--metrics-file=" + metrics.string()},
                                          {"VORN_AUTOSTART_DELAY_MS=600000"}));

    // The launch delay: counted down, with the photos waiting counted by name meanwhile.
    const std::string launching = status({"\"state\":\"starting\"", "\"photosWaiting\":4"});
    EXPECT_GT(jsonNumber(launching, "startsIn"), 500) << launching;
    EXPECT_TRUE(contains(vornctl({"status"}).output, "state:            starting in "))
        << launching;

    // Sent: the last byte is out and the service thinks for a while.
    EXPECT_EQ(vornctl({"upload-now"}).output, "ACCEPTED\n");
    const std::string waiting = status({"waiting for the service's reply ("}, false);
    EXPECT_TRUE(contains(waiting, "sending:          Smith/IMG_0001.jpg, ")) << waiting;
    EXPECT_FALSE(contains(waiting, "0.0 s left")) << waiting;
    // A pause asked for meanwhile, then taken back before it took effect: the cycle goes on.
    EXPECT_EQ(vornctl({"pause"}).output, "ACCEPTED\n");
    status({"\"state\":\"pausing\""});
    EXPECT_EQ(vornctl({"resume"}).output, "ACCEPTED\n");
    ASSERT_TRUE(app->waitForLine("button: Pause"));

    // Passes go by (one a second); what they pass over is counted, named, and said once.
    status({"\"uploadedToday\":1,\"setAsideToday\":1", "\"photosWaiting\":0",
            "\"photosSkipped\":3,\"skippedWithoutMetadata\":2,\"skippedWithoutMetadataNames\":"
            "[\"Smith/NOTES_2.jpg\",\"Smith/NOTES_1.jpg\"],\"skippedLoose\":1,"
            "\"skippedLooseNames\":[\"LOOSE.jpg\"]"});
    for (int pass = 0; pass < 3; ++pass) ASSERT_TRUE(app->waitForLine("Next Auto-Synchronize"));
    const auto& lines = app->output();
    EXPECT_EQ(
        std::count(lines.begin(), lines.end(), "skipped LOOSE.jpg: photos go in a client folder"),
        1);
    EXPECT_EQ(test::occurrences(datedLogs(), "skipped LOOSE.jpg: photos go in a client folder"),
              1u);
    EXPECT_EQ(vornctl({"quit"}).status, 0);
    expectOrderlyEnd();

    // Started again the same day, logging errors only, a metrics file now the setting's: the
    // day's counts go on, the metrics' counters begin again (a monitor sees the restart).
    prefs.insert_or_assign("prefMetricsFile", (tmp / "restarted.prom").string());
    ASSERT_NO_FATAL_FAILURE(
        startUploader(prefs, {"--log-level=error"}, {"VORN_AUTOSTART_DELAY_MS=0"}));
    status({"\"uploadedToday\":1,\"setAsideToday\":1"});
    EXPECT_TRUE(contains(readFile(tmp / "restarted.prom"), "\nvorn_photos_uploaded_total 0\n"));
    test::finishedPhoto(source / "Smith/IMG_0003.jpg");
    status({"\"state\":\"stopped on error\""});
    EXPECT_TRUE(contains(datedLogs(),
                         "] The service answered ERROR: Invalid username or password; the "
                         "cycle stops until Upload Now, Resume or a change of settings"))
        << datedLogs();
    EXPECT_EQ(vornctl({"quit"}).status, 0);
    expectOrderlyEnd();

    // The first run's metrics file, its last word, as the node exporter serves it: the counts,
    // and no state but "stopped".
    if (::access(kNodeExporter, X_OK) != 0)
        GTEST_SKIP() << kNodeExporter << " is not installed (Debian package "
                     << "prometheus-node-exporter; scripts/install-deps.sh --tests installs it)";
    const int port = freePort();
    test::ChildProcess exporter(
        "/bin/sh", {"-c", "exec \"$0\" \"$@\" 2>&1", kNodeExporter,
                    "--web.listen-address=127.0.0.1:" + std::to_string(port),
                    "--collector.disable-defaults", "--collector.textfile",
                    "--collector.textfile.directory=" + metrics.parent_path().string()});
    std::string page;
    ASSERT_TRUE(test::eventually([&] { return !(page = scrape(port)).empty(); }))
        << "the node exporter did not answer on port " << port;
    const auto s = samples(page);
    const std::pair<std::string, double> expected[] = {
        {"vorn_photos_uploaded_total", 1},
        {"vorn_photos_set_aside_total", 1},
        {"vorn_upload_bytes_total", static_cast<double>(accepted.size())},
        {"vorn_upload_retries_total", 1},
        {"vorn_upload_resends_total", 0},
        {"vorn_photos_waiting", 0},
        {"vorn_photos_skipped", 3},
        {"vorn_state{state=\"idle\"}", 0},
        {"vorn_state{state=\"stopped\"}", 1},
        {"vorn_build_info{version=\"" + std::string(build::kVersion) + "\"}", 1},
        {"node_textfile_scrape_error", 0},
    };
    for (const auto& [name, value] : expected) {
        ASSERT_TRUE(s.count(name)) << name << " missing from\n" << page;
        EXPECT_EQ(s.at(name), value) << name;
    }
    const double now = static_cast<double>(std::time(nullptr));
    EXPECT_NEAR(s.at("vorn_last_upload_timestamp_seconds"), now, 120);
    EXPECT_NEAR(s.at("vorn_last_error_timestamp_seconds"), now, 120);  // the 503, the Warning
    EXPECT_TRUE(contains(page, "# TYPE vorn_photos_uploaded_total counter") &&
                contains(page, "# TYPE vorn_photos_waiting gauge"));
    EXPECT_EQ(fs::status(metrics).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                  fs::perms::others_read);
}

TEST_F(RemoteControlTest, ConfigRefusesBadValuesSetsLiveOrInTheFileAndSighupReloadsHandEdits) {
    ASSERT_NO_FATAL_FAILURE(startUploader({{"userEnteredEventName", Value("Prom")}}));
    // A rule of the value, and folders against the factory's, ~/Pictures/Vorn/Upload and
    // ~/Pictures/Vorn/Mirror (each rule has its row in the settings tests).
    const std::tuple<const char*, const char*, const char*> rows[] = {
        {"prefSecondsBetweenScans", "0", "a number of seconds above 0"},
        {"noSuchKey", "1", "no such setting"},
        {"prefLocalSourceUploadFolder", "~/Pictures/Vorn/Mirror/Upload",
         "lies inside the mirror folder"},
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

    // Live: applied and written at once.
    ToolResult set = vornctl({"config", "set", "userEnteredEventName", "Spring Gala"});
    EXPECT_EQ(set.status, 0) << set.output;
    EXPECT_EQ(storedPreference("userEnteredEventName"), Value("Spring Gala"));
    ToolResult list = vornctl({"config", "list"});
    EXPECT_TRUE(contains(list.output, "userEnteredEventName\ttext\tSpring Gala\t")) << list.output;

    // A folder not there yet (a typo, or a disk not mounted) is kept, with a warning.
    const fs::path typo = tmp / "Uplaod";
    ToolResult kept = vornctl({"config", "set", "prefLocalSourceUploadFolder", typo.string()});
    EXPECT_EQ(kept.status, 0) << kept.output;
    EXPECT_TRUE(contains(
        kept.output, "warning: prefLocalSourceUploadFolder: " + typo.string() + " does not exist"))
        << kept.output;
    EXPECT_EQ(storedPreference("prefLocalSourceUploadFolder"), Value(typo.string()));
    // The check warns of the factory account once the address is a real service's.
    ASSERT_EQ(vornctl({"config", "set", "prefKivURL", "https://photos.example.net/vorn"}).status,
              0);
    ToolResult live = vornctl({"config", "check"});
    EXPECT_TRUE(contains(live.output, "warning: userLoginName: still the factory default") &&
                !contains(live.output, "warning: userEnteredEventName"))
        << live.output;

    // A hand edit, then SIGHUP: the running uploader answers the edited value.
    Dictionary edited = *readPropertyListFile(prefsPath.string())->asDictionary();
    edited.insert_or_assign("userLoginName", Value("edited-by-hand"));
    writeFile(prefsPath, toXmlPropertyList(Value(edited)));
    app->signal(SIGHUP);
    ASSERT_TRUE(app->waitForLine("settings reloaded"));
    EXPECT_EQ(vornctl({"config", "get", "userLoginName"}).output, "edited-by-hand\n");
    EXPECT_TRUE(stillRunning());
    EXPECT_EQ(vornctl({"quit"}).status, 0);
    expectOrderlyEnd();

    // Without an uploader: the file itself, private, under the store's lock.
    ToolResult offline = vornctl({"--prefs", prefsPath.string(), "config", "set", "prefKivURL",
                                  "https://photos.example.net/vorn"});
    EXPECT_EQ(offline.status, 0) << offline.output;
    EXPECT_EQ(storedPreference("prefKivURL"), Value("https://photos.example.net/vorn"));
    EXPECT_EQ(fs::status(prefsPath).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);

    // Folders that overlap are refused here too; written by hand, the check names both.
    const fs::path inside = source / "Mirror";
    fs::create_directories(inside);
    fs::create_directories(mirror);
    const std::string prefs = "--prefs=" + prefsPath.string();
    ASSERT_EQ(vornctl({prefs, "config", "set", "prefLocalSourceUploadFolder", source}).status, 0);
    ToolResult refused =
        vornctl({prefs, "config", "set", "prefLocalMasterMirrorSiteFolder", inside});
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(contains(refused.output, "lies inside the source folder")) << refused.output;
    edited = *readPropertyListFile(prefsPath.string())->asDictionary();
    edited.insert_or_assign("prefLocalMasterMirrorSiteFolder", Value(inside.string()));
    writeFile(prefsPath, toXmlPropertyList(Value(edited)));
    ToolResult check = vornctl({prefs, "config", "check"});
    EXPECT_EQ(check.status, 1);
    EXPECT_TRUE(contains(check.output, "[" + inside.string() + "] lies inside the source folder [" +
                                           source.string() + "]"))
        << check.output;

    // Folders apart: the check passes, and warns (status 0) of the factory event name.
    ASSERT_EQ(vornctl({prefs, "config", "set", "prefLocalMasterMirrorSiteFolder", mirror}).status,
              0);
    ASSERT_EQ(vornctl({prefs, "config", "set", "userEnteredEventName", "Demo Event"}).status, 0);
    check = vornctl({prefs, "config", "check"});
    EXPECT_EQ(check.status, 0);
    EXPECT_EQ(check.output,
              "warning: userEnteredEventName: still the factory default \"Demo Event\" while "
              "prefKivURL is a real service (https://photos.example.net/vorn); set it with "
              "vornctl config set userEnteredEventName VALUE\n");
}

}  // namespace
}  // namespace vorn
