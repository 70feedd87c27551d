// The uploader's metrics as a studio's monitoring reads them: the real uploader uploads to the
// stand-in service, and Debian's node exporter serves its metrics file through the textfile
// collector on a free loopback port.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <thread>

#include "BuildInfo.h"
#include "platform/PropertyList.h"
#include "support/ChildProcess.h"
#include "support/PhotoServiceProcess.h"
#include "support/TempDir.h"
#include "vorn-capture-sim/CaptureWriter.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string kUploaderProgram = std::string(VORN_BIN_DIR) + "/vorn-uploader";
const char* kNodeExporter = "/usr/bin/prometheus-node-exporter";

bool holdsWithin(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 30s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// A loopback port free at the moment of asking.
int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
}

// The body of GET path on 127.0.0.1:port (HTTP/1.0: the server closes when done); empty when
// nothing answers.
std::string httpGet(int port, const std::string& path) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        const std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        if (::write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
            char buf[65536];
            for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) reply.append(buf, n);
        }
    }
    ::close(fd);
    const std::size_t body = reply.find("\r\n\r\n");
    return reply.rfind("HTTP/1.", 0) == 0 && reply.find(" 200 ") != std::string::npos &&
                   body != std::string::npos
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

std::string photoWithMetadata(const fs::path& path) {
    capture::JpegSpec recipe;
    recipe.userComment = capture::metadataText(Dictionary{{"Version", "3"}});
    recipe.dateTimeOriginal = "2026:05:01 10:00:00";
    const std::string bytes = capture::makeJpeg(recipe).flatten();
    test::writeFile(path, bytes);
    fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::hours(1));
    return bytes;
}

TEST(MetricsExport, TheNodeExporterServesTheUploadersCountersAfterAFewUploads) {
    if (::access(kNodeExporter, X_OK) != 0)
        GTEST_SKIP() << kNodeExporter
                     << " is not installed (Debian package prometheus-node-exporter; "
                        "scripts/install-deps.sh --tests installs it)";
    test::TempDir tmp;
    const fs::path source = tmp / "Upload", mirror = tmp / "Mirror", textfiles = tmp / "textfiles";
    fs::create_directories(mirror);
    fs::create_directories(textfiles);
    std::uint64_t acceptedBytes = 0;
    for (const char* name : {"IMG_0001.jpg", "IMG_0002.jpg", "IMG_0003.jpg"}) {
        const std::string bytes = photoWithMetadata(source / "Smith" / name);
        if (std::string(name) != "IMG_0003.jpg") acceptedBytes += bytes.size();
    }
    test::writeFile(tmp / "script", "IMG_0002.jpg 1 http 503\nIMG_0003.jpg 1 warning \"Dupe\"\n");
    test::PhotoServiceProcess service(tmp / "service", std::nullopt, tmp / "script");
    const Dictionary prefs{{"prefLocalSourceUploadFolder", source.string()},
                           {"prefLocalMasterMirrorSiteFolder", mirror.string()},
                           {"prefKivURL", service.url()},
                           {"userLoginName", "photog"},
                           {"userLoginPassword", "secret"},
                           {"userEnteredEventName", "Prom"},
                           {"prefSecondsBetweenScans", 1.0}};
    test::writeFile(tmp / "prefs.plist", toXmlPropertyList(Value(prefs)));
    const fs::path metricsFile = textfiles / "vorn.prom";
    test::ChildProcess uploader(
        kUploaderProgram,
        {"--headless", "--prefs", (tmp / "prefs.plist").string(), "--log-dir",
         (tmp / "logs").string(), "--metrics-file=" + metricsFile.string()},
        {"HOME=" + (tmp / "home").string(), "XDG_CONFIG_HOME=" + (tmp / "config").string(),
         "XDG_STATE_HOME=" + (tmp / "state").string(),
         "XDG_RUNTIME_DIR=", "VORN_AUTOSTART_DELAY_MS=0", "VORN_METRICS_INTERVAL_MS=200"});
    ASSERT_TRUE(uploader.waitForLine("started"));
    // Two accepted (one after a 503 and its retry), one set aside; then idle, written anew.
    ASSERT_TRUE(holdsWithin([&] {
        const auto s = samples(test::readFile(metricsFile));
        return s.count("vorn_photos_uploaded_total") && s.at("vorn_photos_uploaded_total") == 2 &&
               s.at("vorn_photos_set_aside_total") == 1 && s.at("vorn_state{state=\"idle\"}") == 1;
    })) << test::readFile(metricsFile);

    const int port = freePort();
    test::ChildProcess exporter(
        "/bin/sh",
        {"-c", "exec \"$0\" \"$@\" 2>&1", kNodeExporter,
         "--web.listen-address=127.0.0.1:" + std::to_string(port), "--collector.disable-defaults",
         "--collector.textfile", "--collector.textfile.directory=" + textfiles.string()});
    std::string page;
    ASSERT_TRUE(holdsWithin([&] { return !(page = httpGet(port, "/metrics")).empty(); }, 20s))
        << "the node exporter did not answer on port " << port;
    const auto s = samples(page);
    const std::pair<const char*, double> expected[] = {
        {"vorn_photos_uploaded_total", 2},
        {"vorn_photos_set_aside_total", 1},
        {"vorn_upload_bytes_total", static_cast<double>(acceptedBytes)},
        {"vorn_upload_retries_total", 1},
        {"vorn_upload_resends_total", 0},
        {"vorn_photos_waiting", 0},
        {"vorn_photos_skipped", 0},
        {"vorn_state{state=\"idle\"}", 1},
        {"vorn_state{state=\"uploading\"}", 0},
        {"vorn_state{state=\"stopped on error\"}", 0},
        {"node_textfile_scrape_error", 0},
    };
    for (const auto& [name, value] : expected) {
        ASSERT_TRUE(s.count(name)) << name << " missing from\n" << page;
        EXPECT_EQ(s.at(name), value) << name;
    }
    EXPECT_EQ(s.count("vorn_build_info{version=\"" + std::string(build::kVersion) + "\"}"), 1u)
        << page;
    const double now = static_cast<double>(std::time(nullptr));
    EXPECT_NEAR(s.at("vorn_last_upload_timestamp_seconds"), now, 120);
    EXPECT_NEAR(s.at("vorn_last_error_timestamp_seconds"), now, 120);  // the 503 and the Warning
    EXPECT_NE(page.find("# TYPE vorn_photos_uploaded_total counter"), std::string::npos);
    EXPECT_NE(page.find("# TYPE vorn_photos_waiting gauge"), std::string::npos);
    EXPECT_EQ(fs::status(metricsFile).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                  fs::perms::others_read);

    uploader.signal(SIGTERM);
    EXPECT_EQ(uploader.wait(), 0);
    EXPECT_EQ(samples(test::readFile(metricsFile)).at("vorn_state{state=\"stopped\"}"), 1);
}

}  // namespace
}  // namespace vorn
