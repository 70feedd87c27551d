// Benchmarks of the photo upload against the stand-in service on loopback.
//
//   vorn-bench-upload drain [--photos N] [--mb M]
//       Drains N photos of M MiB through the real cycle (controller, scan, uploader, filing),
//       then posts the same bodies one after another with the curl tool and with a plain libcurl
//       loop; prints photos per second for each and the ratios (target >= 0.9).
//   vorn-bench-upload memory [--movie-mib M]
//       Uploads one photo with a sparse companion movie of M MiB (default 1024) in a child run
//       under /usr/bin/time -v and prints its peak resident memory (target <= 64 MiB).
//   vorn-bench-upload upload-one URL PHOTO LOGDIR
//       The child of "memory": one upload of PHOTO (movie beside it) to URL.

#include <curl/curl.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "app/AppController.h"
#include "platform/RunLoop.h"
#include "settings/PreferenceKeys.h"
#include "settings/Preferences.h"
#include "settings/PreferencesStore.h"
#include "support/PhotoServiceProcess.h"
#include "support/TempDir.h"
#include "support/cycle/FirstFileScanner.h"
#include "support/cycle/RecordingUserInterface.h"
#include "upload/HttpController.h"
#include "upload/MultipartBody.h"
#include "upload/NotificationNames.h"
#include "upload/Records.h"

extern char** environ;

namespace vorn {
namespace {

using bench::bodyFor;
using bench::intArg;
namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

double secondsSince(SteadyClock::time_point t0) {
    return std::chrono::duration<double>(SteadyClock::now() - t0).count();
}

int runProgram(const std::vector<std::string>& args, const std::string& stdoutPath = "") {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!stdoutPath.empty())
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, stdoutPath.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void writeNoise(const fs::path& path, std::size_t bytes, std::uint64_t seed) {
    fs::create_directories(path.parent_path());
    std::mt19937_64 rng(seed);
    std::vector<std::uint64_t> block(64 * 1024);
    std::ofstream out(path, std::ios::binary);
    for (std::size_t done = 0; done < bytes;) {
        for (auto& w : block) w = rng();
        std::size_t n = std::min(bytes - done, block.size() * sizeof(std::uint64_t));
        out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(n));
        done += n;
    }
}

std::shared_ptr<PreferencesStore> makeStore(const fs::path& dir) {
    auto store = std::make_shared<PreferencesStore>((dir / "prefs.plist").string());
    Preferences::setStore(store);
    store->setObject(sUserLoginName, "photog");
    store->setObject(sUserLoginPassword, "secret");
    store->setObject(sUserEnteredEventName, "Bench");
    return store;
}

// libcurl posting one body file as it is, the way a plain client would.
bool curlPostFile(const std::string& url, const fs::path& body) {
    FILE* f = std::fopen(body.c_str(), "rb");
    if (!f) return false;
    CURL* curl = curl_easy_init();
    curl_slist* headers = nullptr;
    headers = curl_slist_append(
        headers,
        (std::string("Content-Type: multipart/form-data; boundary=") + kMultipartBoundary).c_str());
    headers = curl_slist_append(headers, "Expect:");
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_READDATA, f);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(fs::file_size(body)));
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(
        curl, CURLOPT_WRITEFUNCTION,
        +[](char*, size_t s, size_t n, void*) -> size_t { return s * n; });
    CURLcode rc = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    std::fclose(f);
    return rc == CURLE_OK && status == 200;
}

int drain(int photos, int mib) {
    test::TempDir tmp;
    const fs::path source = tmp / "Upload", mirror = tmp / "Mirror", logs = tmp / "logs";
    fs::create_directories(mirror);
    fs::create_directories(logs);
    const std::size_t bytes = static_cast<std::size_t>(mib) * 1024 * 1024;
    std::printf("writing %d photos of %d MiB...\n", photos, mib);
    std::vector<std::string> names;
    for (int i = 0; i < photos; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "IMG_%04d.jpg", i + 1);
        names.push_back(name);
        writeNoise(source / "Event" / name, bytes, static_cast<std::uint64_t>(i) + 1);
    }
    // The same bodies, for the plain clients.
    const fs::path bodies = tmp / "bodies";
    fs::create_directories(bodies);
    for (const std::string& name : names) bodyFor(source / "Event" / name, bodies / name);

    // 1. The real cycle.
    auto store = makeStore(tmp.path());
    store->setObject(sPrefLocalSourceUploadFolder, source.string());
    store->setObject(sPrefLocalMasterMirrorSiteFolder, mirror.string());
    double cycleSeconds = 0;
    {
        test::PhotoServiceProcess service(tmp / "service-cycle");
        store->setObject(sPrefKivURL, service.url());
        RunLoop loop;
        NotificationCenter center;
        test::RecordingUserInterface ui;
        AppController::Dependencies deps;
        deps.center = &center;
        deps.mainThread = &loop;
        deps.ui = &ui;
        AppController controller(std::move(deps));
        controller.registerNotifications();
        HttpController::Options options;
        options.debugCopyFolder = logs.string();
        options.runsAfter = &controller;
        HttpController uploader(center, &loop, options);
        auto scanner = std::make_shared<test::FirstFileScanner>();
        controller.setFolderScanner(scanner);

        ::sync();  // earlier writes are not flushed on this run's time
        auto t0 = SteadyClock::now();
        controller.ibUserClickedOnSynchronize();
        bool drained = loop.runUntil(
            [&] {
                return controller.workerThreads().activeCount() == 0 &&
                       fs::is_empty(source / "Event");
            },
            std::chrono::minutes(30));
        uploader.waitForDebugCopies();
        cycleSeconds = secondsSince(t0);
        if (!drained || service.requestLog().size() != static_cast<std::size_t>(photos)) {
            std::fprintf(stderr, "the cycle did not drain the folder (%zu requests)\n",
                         service.requestLog().size());
            return 1;
        }
    }

    // The uploader alone, each photo posted as the controller would, without scan or filing.
    double aloneSeconds = 0;
    {
        test::PhotoServiceProcess service(tmp / "service-alone");
        store->setObject(sPrefKivURL, service.url());
        NotificationCenter center;
        HttpController::Options options;
        options.debugCopyFolder = logs.string();
        HttpController uploader(center, nullptr, options);
        int ok = 0;
        center.addObserver(&ok, kUploadSuccessNotification, [&](const Notification&) { ++ok; });
        ::sync();
        auto t0 = SteadyClock::now();
        for (const std::string& name : names)
            center.post(kUploadStartNotification, nullptr,
                        makeRecord({{edUser, "photog"},
                                    {edPasswd, "secret"},
                                    {edFileName, (mirror / "Event" / name).string()},
                                    {edClientName, "Event"},
                                    {edEventName, "Bench"},
                                    {edMetaData, ""},
                                    {edCaptureTime, "2026-12-06 12:00:00"},
                                    {edKivFuseAction, "upload.upload"}}));
        uploader.waitForDebugCopies();
        aloneSeconds = secondsSince(t0);
        if (ok != photos) {
            std::fprintf(stderr, "the uploader alone failed (%d of %d)\n", ok, photos);
            return 1;
        }
    }

    // 2. The curl tool, one process per body, one after another.
    double toolSeconds = 0;
    {
        test::PhotoServiceProcess service(tmp / "service-tool");
        ::sync();
        auto t0 = SteadyClock::now();
        for (const std::string& name : names) {
            int rc = runProgram(
                {"curl", "-sS", "-f", "-o", "/dev/null", "-H",
                 std::string("Content-Type: multipart/form-data; boundary=") + kMultipartBoundary,
                 "-H", "Expect:", "--data-binary", "@" + (bodies / name).string(), service.url()});
            if (rc != 0) {
                std::fprintf(stderr, "curl failed (%d)\n", rc);
                return 1;
            }
        }
        toolSeconds = secondsSince(t0);
    }

    // 3. A plain libcurl loop in this process.
    double libSeconds = 0;
    {
        test::PhotoServiceProcess service(tmp / "service-lib");
        ::sync();
        auto t0 = SteadyClock::now();
        for (const std::string& name : names) {
            if (!curlPostFile(service.url(), bodies / name)) {
                std::fprintf(stderr, "libcurl post failed\n");
                return 1;
            }
        }
        libSeconds = secondsSince(t0);
    }

    double cycleRate = photos / cycleSeconds, aloneRate = photos / aloneSeconds,
           toolRate = photos / toolSeconds, libRate = photos / libSeconds;
    std::printf("photos: %d of %d MiB to the stand-in service on loopback\n", photos, mib);
    std::printf("  vorn cycle (scan, upload, file):   %7.2f photos/s  (%.2f s)\n", cycleRate,
                cycleSeconds);
    std::printf("  vorn uploader alone (no scan/file): %6.2f photos/s  (%.2f s)\n", aloneRate,
                aloneSeconds);
    std::printf("  curl tool, one body after another: %7.2f photos/s  (%.2f s)\n", toolRate,
                toolSeconds);
    std::printf("  libcurl loop, same bodies:         %7.2f photos/s  (%.2f s)\n", libRate,
                libSeconds);
    std::printf("  ratio vorn / curl tool:    %.2f (target >= 0.9)\n", cycleRate / toolRate);
    std::printf("  ratio vorn / libcurl loop: %.2f\n", cycleRate / libRate);
    std::printf("  ratio vorn uploader alone / libcurl loop: %.2f\n", aloneRate / libRate);
    return 0;
}

int uploadOne(const std::string& url, const std::string& photo, const std::string& logDir) {
    test::TempDir tmp;
    auto store = makeStore(tmp.path());
    store->setObject(sPrefKivURL, url);
    store->setObject(sPrefUploadMovie, true);
    NotificationCenter center;
    HttpController::Options options;
    options.debugCopyFolder = logDir;
    HttpController uploader(center, nullptr, options);
    bool succeeded = false;
    center.addObserver(&succeeded, kUploadSuccessNotification,
                       [&](const Notification&) { succeeded = true; });
    center.post(kUploadStartNotification, nullptr,
                makeRecord({{cDictKeyCurItem, "Event/" + fs::path(photo).filename().string()},
                            {edUser, "photog"},
                            {edPasswd, "secret"},
                            {edFileName, photo},
                            {edClientName, "Event"},
                            {edEventName, "Bench"},
                            {edMetaData, ""},
                            {edCaptureTime, "2026-12-06 12:00:00"},
                            {edKivFuseAction, "upload.upload"}}));
    uploader.waitForDebugCopies();
    return succeeded ? 0 : 1;
}

int memory(const char* self, int movieMib) {
    test::TempDir tmp;
    const fs::path photo = tmp / "Event/IMG_0001.jpg";
    writeNoise(photo, 5 * 1024 * 1024, 7);
    { std::ofstream touch(tmp / "Event/IMG_0001.mov"); }
    fs::resize_file(tmp / "Event/IMG_0001.mov", static_cast<std::uintmax_t>(movieMib) << 20);
    fs::create_directories(tmp / "logs");
    test::PhotoServiceProcess service(tmp / "service");
    const fs::path report = tmp / "time.txt";
    int rc = runProgram({"/usr/bin/time", "-v", "-o", report.string(), self, "upload-one",
                         service.url(), photo.string(), (tmp / "logs").string()});
    std::ifstream in(report);
    std::string line, peak;
    while (std::getline(in, line))
        if (line.find("Maximum resident set size") != std::string::npos)
            peak = line.substr(line.rfind(':') + 2);
    if (rc != 0 || peak.empty()) {
        std::fprintf(stderr, "the upload failed (%d)\n", rc);
        return 1;
    }
    std::uintmax_t stored = 0;
    for (const auto& e : fs::recursive_directory_iterator(tmp / "service"))
        if (e.is_regular_file() && e.path().extension() == ".mov") stored = e.file_size();
    std::printf(
        "one 5 MiB photo with a %d MiB movie: peak resident memory %.1f MiB "
        "(target <= 64 MiB); movie stored by the service: %ju bytes\n",
        movieMib, std::stod(peak) / 1024.0, stored);
    return stored == (static_cast<std::uintmax_t>(movieMib) << 20) ? 0 : 1;
}

}  // namespace
}  // namespace vorn

int main(int argc, char** argv) {
    using namespace vorn;
    std::string mode = argc > 1 ? argv[1] : "";
    std::string self = fs::canonical("/proc/self/exe").string();
    if (mode == "upload-one" && argc == 5) return uploadOne(argv[2], argv[3], argv[4]);
    if (mode == "drain") {
        int photos = intArg(argc, argv, "--photos", 200), mib = intArg(argc, argv, "--mb", 5);
        std::printf("reproduce: %s drain --photos %d --mb %d\n", self.c_str(), photos, mib);
        return drain(photos, mib);
    }
    if (mode == "memory") {
        int movie = intArg(argc, argv, "--movie-mib", 1024);
        std::printf(
            "reproduce: /usr/bin/time -v %s upload-one URL PHOTO LOGDIR  (driven by: %s "
            "memory --movie-mib %d)\n",
            self.c_str(), self.c_str(), movie);
        return memory(self.c_str(), movie);
    }
    std::fprintf(stderr,
                 "usage: vorn-bench-upload drain [--photos N] [--mb M] | memory [--movie-mib M]\n");
    return 2;
}
