// The uploader's costs against their anchors, measured side by side in one run, each over
// several rounds (median and spread printed):
//
//   vorn-bench-perf drain [--photos 80] [--mb 4] [--rounds 3]
//       The real cycle (scan, upload, filing, debug copies, log) drains N photos into a discard
//       sink; anchor: one curl process posting the same bodies with --next. Time and CPU.
//   vorn-bench-perf scale [--photos 1000] [--rounds 3] [--watcher 0]
//       Per-photo time of the last 100 against the first 100 of a drain with three ineligible
//       files beside each photo and 5,000 files in the mirror, the folder moved in while the
//       watcher runs (with --watcher 0: there from the start, and the drain runs before any
//       watcher does, every pass a full walk); anchor: the same drain without the ineligible
//       files.
//   vorn-bench-perf scan [--files 50000] [--rounds 3]
//       A later full pass (the rescan timer's, with the watcher running), the pass after one new
//       photo arrives, and a thorough pass that looks at every file again (after a queue
//       overflow), against find -type f over the same tree.
//   vorn-bench-perf latency [--samples 20]
//       A photo closed in a watched folder -> its upload request starts (median, p90).
//
// The real program from outside (build/bin/vorn-uploader --headless with a store file, a log
// folder and the default log level; see RealProgram.cpp):
//
//   vorn-bench-perf real-drain [--photos 80] [--mb 4] [--rounds 3]
//       N photos moved into the running uploader, one upload at a time, into a discard sink,
//       until all are filed; anchor: one curl --next process posting the same bodies. Time and
//       CPU.
//   vorn-bench-perf real-syscalls [--photos 80] [--mb 4]
//       The same drain with strace -f -c attached: system calls per photo.
//   vorn-bench-perf real-parallel [--photos 100] [--mb 1] [--hang 0.3] [--rounds 3]
//       A service answering each upload after 300 ms: prefConcurrentUploads 4 against 1.
//   vorn-bench-perf real-cap [--mb 20] [--rate 2] [--rounds 3]
//       prefMaxUploadBytesPerSecond at 2 MiB/s: 20 MiB with 1 and with 4 uploads in flight,
//       against size / cap.
//   vorn-bench-perf real-latency [--samples 20]
//       A photo closed -> its request received by the service, half in new folders.
//   vorn-bench-perf real-scan [--files 50000] [--rounds 3] [--passes 5]
//       CPU of the process per rescan timer pass (a rescan every second) with the watcher
//       running, and per thorough pass (without a watcher every timer pass is one), against
//       find -type f.

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "app/AppController.h"
#include "platform/PlatformLog.h"
#include "platform/RunLoop.h"
#include "settings/PreferenceKeys.h"
#include "settings/Preferences.h"
#include "settings/PreferencesStore.h"
#include "support/PhotoServiceProcess.h"
#include "support/TempDir.h"
#include "support/cycle/RecordingUserInterface.h"
#include "upload/HttpController.h"
#include "upload/MultipartBody.h"
#include "upload/NotificationNames.h"
#include "upload/Records.h"
#include "upload/SourceFolderScanner.h"
#include "vorn-capture-sim/CaptureWriter.h"

#include "BenchSupport.h"
#include "RealProgram.h"

extern char** environ;

namespace vorn {
namespace {

using namespace bench;

std::shared_ptr<PreferencesStore> makeStore(const fs::path& dir, const fs::path& source,
                                            const fs::path& mirror) {
    auto store = std::make_shared<PreferencesStore>((dir / "prefs.plist").string());
    Preferences::setStore(store);
    store->setObject(sUserLoginName, "photog");
    store->setObject(sUserLoginPassword, "secret");
    store->setObject(sUserEnteredEventName, "Bench");
    store->setObject(sPrefLocalSourceUploadFolder, source.string());
    store->setObject(sPrefLocalMasterMirrorSiteFolder, mirror.string());
    return store;
}

// The log goes to a file, as in the application.
class LogToFile {
  public:
    explicit LogToFile(const fs::path& path) {
        std::fflush(stderr);
        flushLog();
        saved_ = ::dup(STDERR_FILENO);
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        ::dup2(fd, STDERR_FILENO);
        ::close(fd);
        flushLog();
    }
    ~LogToFile() {
        std::fflush(stderr);
        flushLog();
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
        flushLog();
    }

  private:
    int saved_;
};

// One real cycle: controller, real scanner, uploader with debug copies, until the source's
// photos are all filed. Answers the times at which each upload ended.
struct CycleRun {
    double seconds = 0, cpu = 0;
    std::vector<double> doneAt;
    bool ok = false;
};

// stage: when given, the cycle first runs on an empty source folder until the folder watcher
// runs, as it does in the long run, and then the staged folder is moved in at once.
CycleRun runCycle(const fs::path& tmp, std::size_t photos, const fs::path* stage = nullptr,
                  const fs::path* source = nullptr) {
    CycleRun run;
    RunLoop loop;
    NotificationCenter center;
    test::RecordingUserInterface ui;
    AppController::Dependencies deps;
    deps.center = &center;
    deps.mainThread = &loop;
    deps.ui = &ui;
    AppController controller(std::move(deps));
    fs::create_directories(tmp / "logs");
    LogToFile log(tmp / "logs" / "vorn.log");
    if (stage)
        controller.awakeFromNib();  // registers, and finds that the watcher can run
    else
        controller.registerNotifications();
    HttpController::Options options;
    options.debugCopyFolder = (tmp / "logs").string();
    options.runsAfter = &controller;
    HttpController uploader(center, &loop, options);
    controller.setFolderScanner(std::make_shared<SourceFolderScanner>());
    if (stage) {
        fs::create_directories(*source);
        controller.ibUserClickedOnSynchronize();
        if (!loop.runUntil([&] { return controller.isWatching(); }, std::chrono::seconds(60)) ||
            !loop.runUntil([&] { return controller.workerThreads().activeCount() <= 1; },
                           std::chrono::seconds(60)))
            return run;
        fs::rename(*stage, *source / stage->filename());
    }
    std::mutex mutex;
    Steady::time_point t0;
    center.addObserver(&run, kUploadDoneNotification, [&](const Notification&) {
        std::lock_guard lock(mutex);
        run.doneAt.push_back(secondsSince(t0));
    });
    ::sync();
    const double cpu0 = selfCpu();
    t0 = Steady::now();
    if (!stage) controller.ibUserClickedOnSynchronize();
    run.ok = loop.runUntil(
        [&] {
            std::lock_guard lock(mutex);
            return run.doneAt.size() >= photos &&
                   controller.workerThreads().activeCount() <= (stage ? 1 : 0);
        },
        std::chrono::minutes(30));
    uploader.waitForDebugCopies();
    run.seconds = secondsSince(t0);
    run.cpu = selfCpu() - cpu0;
    controller.stopFolderWatcher();
    controller.workerThreads().waitUntilIdle(std::chrono::seconds(30));
    return run;
}

int drain(int photos, int mib, int rounds) {
    DrainAgainstCurl figures;
    for (int round = 0; round < rounds; ++round) {
        test::TempDir tmp;
        const fs::path source = tmp / "Upload", mirror = tmp / "Mirror", bodies = tmp / "bodies";
        fs::create_directories(mirror);
        fs::create_directories(bodies);
        std::vector<std::string> bodyFiles;
        for (int i = 0; i < photos; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "IMG_%04d.jpg", i + 1);
            writePhoto(source / "Event" / name, static_cast<std::size_t>(mib) << 20,
                       static_cast<std::uint64_t>(i) + 1);
            bodyFiles.push_back(bodyFor(source / "Event" / name, bodies / name));
        }
        auto store = makeStore(tmp.path(), source, mirror);
        test::PhotoServiceProcess service(sink(tmp / "service"));
        store->setObject(sPrefKivURL, service.url());

        CycleRun run = runCycle(tmp.path(), static_cast<std::size_t>(photos));
        std::size_t mirrored = 0;
        for ([[maybe_unused]] const auto& e : fs::directory_iterator(mirror / "Event")) ++mirrored;
        if (!run.ok || !fs::is_empty(source / "Event") ||
            mirrored != static_cast<std::size_t>(photos)) {
            std::fprintf(stderr, "the cycle did not upload every photo\n");
            return 1;
        }
        // One curl process, every body over one reused connection.
        if (!figures.addRound(run.seconds, run.cpu, bodyFiles, service.url())) return 1;
    }
    std::printf("drain: %d photos of %d MiB into a discard sink, %d rounds (median, spread)\n",
                photos, mib, rounds);
    figures.print("vorn cycle");
    return 0;
}

int scale(int photos, int rounds, bool watcher) {
    std::vector<double> withRatio, withoutRatio, firstMs, lastMs;
    for (int round = 0; round < rounds; ++round) {
        for (bool ineligible : {false, true}) {
            test::TempDir tmp;
            const fs::path source = tmp / "Upload", mirror = tmp / "Mirror";
            const fs::path stage = watcher ? tmp / "stage" / "Event" : source / "Event";
            for (int i = 0; i < 5000; ++i)
                writeSmall(mirror / ("Old" + std::to_string(i % 50)) /
                               ("OLD_" + std::to_string(i) + ".jpg"),
                           "x");
            for (int i = 0; i < photos; ++i) {
                char base[32];
                std::snprintf(base, sizeof base, "IMG_%05d", i + 1);
                const fs::path dir = stage;
                writePhoto(dir / (std::string(base) + ".jpg"), 64 * 1024,
                           static_cast<std::uint64_t>(i) + 1);
                if (ineligible) {
                    writeSmall(dir / (std::string(base) + ".txt"), "sidecar");
                    writeSmall(dir / (std::string(base) + "_nometa.jpg"),
                               std::string("\xff\xd8\xff\xd9", 4) + std::string(4096, 'x'));
                    writeSmall(dir / (std::string(base) + "_stray.mov"), "moov");
                }
            }
            auto store = makeStore(tmp.path(), source, mirror);
            test::PhotoServiceProcess service(sink(tmp / "service"));
            store->setObject(sPrefKivURL, service.url());
            CycleRun run =
                watcher ? runCycle(tmp.path(), static_cast<std::size_t>(photos), &stage, &source)
                        : runCycle(tmp.path(), static_cast<std::size_t>(photos));
            if (!run.ok || run.doneAt.size() < 200) {
                std::fprintf(stderr, "the scale drain failed\n");
                return 1;
            }
            const auto& t = run.doneAt;
            const std::size_t n = t.size();
            double first = (t[100] - t[0]) / 100.0, last = (t[n - 1] - t[n - 101]) / 100.0;
            (ineligible ? withRatio : withoutRatio).push_back(last / first);
            if (ineligible) {
                firstMs.push_back(first * 1000);
                lastMs.push_back(last * 1000);
            }
        }
    }
    std::printf(
        "scale: %d photos, 3 ineligible files beside each, 5,000 files in the mirror, %d rounds, "
        "watcher %s\n",
        photos, rounds, watcher ? "running" : "not running");
    printRow("per photo, first 100", firstMs, "ms");
    printRow("per photo, last 100", lastMs, "ms");
    printRow("last/first with ineligible (goal <= 1.2)", withRatio, "x");
    printRow("last/first without them (anchor)", withoutRatio, "x");
    return 0;
}

ScanInput scanInput(const fs::path& source, const fs::path& mirror) {
    ScanInput in;
    in.workingCopy = makeScanRequest(source.string(), mirror.string(), "Bench");
    in.rootFolder = source.string();
    in.mirrorFolder = mirror.string();
    in.eventName = "Bench";
    in.userName = "photog";
    in.password = "secret";
    return in;
}

int scan(int files, int rounds) {
    test::TempDir tmp;
    const fs::path source = tmp / "Upload", mirror = tmp / "Mirror";
    fs::create_directories(mirror);
    const int folders = 100;
    std::printf("writing a tree of %d files...\n", files);
    writeCaptureTree(source, files);
    auto store = makeStore(tmp.path(), source, mirror);
    SourceFolderScanner scanner;
    const ScanInput in = scanInput(source, mirror);
    // Each pass must choose `expected`: the last photo, or a new one once nobody writes it.
    auto pass = [&](const std::string& expected = "zz-last/IMG_LAST.jpg") {
        auto t0 = Steady::now();
        ScanOutcome o = scanner.chooseNextItem(in);
        double ms = secondsSince(t0) * 1000;
        const std::string* chosen = o.kind == ScanOutcome::Kind::Chosen
                                        ? stringForKey(*o.record, cDictKeyCurItem)
                                        : nullptr;
        if (!chosen || *chosen != expected) {
            std::printf("the pass chose %s, not %s\n", chosen ? chosen->c_str() : "nothing",
                        expected.c_str());
            std::exit(1);
        }
        return ms;
    };
    auto find = [&] {
        auto t0 = Steady::now();
        runProgram({"find", source.string(), "-type", "f"});
        return secondsSince(t0) * 1000;
    };
    LogToFile log(tmp / "scan.log");
#ifndef VORN_BENCH_BASELINE
    scanner.noteWatching(true);  // as once the watcher runs
    scanner.noteChangedFolders(source.string(), {});
#endif
    double firstPass = pass();
    std::vector<double> fullMs, eventMs, findMs, fullRatio, eventRatio, thoroughMs, thoroughRatio;
    for (int round = 0; round < rounds; ++round) {
        double f = find();
#ifndef VORN_BENCH_BASELINE
        scanner.requestFullPass();
#endif
        double full = pass();
        // One new photo arrives in one folder while the watcher runs.
        char name[64];
        std::snprintf(name, sizeof name, "client-%03d/NEW_%d.jpg", 7 * round + 3, round);
        writePhoto(source / name, 4096, 99, /*old=*/false);
#ifndef VORN_BENCH_BASELINE
        scanner.noteChangedFolders(source.string(), {(source / name).parent_path().string()});
#endif
        double event = pass(name);
        // Gone again, so that no later pass stops at it once it has settled.
        fs::remove(source / name);
#ifndef VORN_BENCH_BASELINE
        scanner.noteChangedFolders(source.string(), {(source / name).parent_path().string()});
#endif
#ifndef VORN_BENCH_BASELINE
        scanner.noteChangedFolders(source.string(), {source.string()});  // an overflow
#endif
        double thorough = pass();
        thoroughMs.push_back(thorough);
        thoroughRatio.push_back(thorough / f);
        findMs.push_back(f);
        fullMs.push_back(full);
        eventMs.push_back(event);
        fullRatio.push_back(full / f);
        eventRatio.push_back(event / f);
    }
    std::printf("scan: %d files in %d folders, %d rounds (first pass %.1f ms)\n", files, folders,
                rounds, firstPass);
    printRow("find -type f (anchor)", findMs, "ms");
    printRow("later full pass", fullMs, "ms");
    printRow("pass after one new photo, watcher running", eventMs, "ms");
    printRow("thorough pass, after an overflow", thoroughMs, "ms");
    printRow("full pass / find (goal <= 1.5)", fullRatio, "x");
    printRow("event pass / find (goal <= 0.1)", eventRatio, "x");
    printRow("thorough pass / find", thoroughRatio, "x");
    return 0;
}

int latency(int samples) {
    test::TempDir tmp;
    const fs::path source = tmp / "Upload", mirror = tmp / "Mirror";
    fs::create_directories(source / "Event");
    fs::create_directories(mirror);
    auto store = makeStore(tmp.path(), source, mirror);
    test::PhotoServiceProcess service(sink(tmp / "service"));
    store->setObject(sPrefKivURL, service.url());

    RunLoop loop;
    NotificationCenter center;
    test::RecordingUserInterface ui;
    AppController::Dependencies deps;
    deps.center = &center;
    deps.mainThread = &loop;
    deps.ui = &ui;
    AppController controller(std::move(deps));
    LogToFile log(tmp / "latency.log");
    controller.awakeFromNib();
    HttpController::Options options;
    options.debugCopyFolder = (tmp / "logs").string();
    options.runsAfter = &controller;
    HttpController uploader(center, &loop, options);
    fs::create_directories(tmp / "logs");
    controller.setFolderScanner(std::make_shared<SourceFolderScanner>());
    std::mutex mutex;
    std::vector<Steady::time_point> started;
    std::size_t done = 0;
    center.addObserver(&started, kUploadStartNotification, [&](const Notification&) {
        std::lock_guard lock(mutex);
        started.push_back(Steady::now());
    });
    center.addObserver(&done, kUploadDoneNotification, [&](const Notification&) {
        std::lock_guard lock(mutex);
        ++done;
    });
    controller.ibUserClickedOnSynchronize();
    // The empty pass starts the watcher.
    if (!loop.runUntil([&] { return controller.isWatching(); }, std::chrono::seconds(30))) {
        std::fprintf(stderr, "the watcher did not start\n");
        return 1;
    }
    loop.runUntil([] { return false; }, std::chrono::milliseconds(1500));
    std::vector<double> ms;
    for (int i = 0; i < samples; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "IMG_%03d.jpg", i);
        // Written to a hidden name, then written in place by the capture tool, then closed.
        const fs::path p = source / "Event" / name;
        writePhoto(tmp / "stage.jpg", 256 * 1024, static_cast<std::uint64_t>(i) + 7, false);
        std::string bytes;
        {
            std::ifstream in(tmp / "stage.jpg", std::ios::binary);
            bytes.assign(std::istreambuf_iterator<char>(in), {});
        }
        int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        (void)!::write(fd, bytes.data(), bytes.size());
        ::close(fd);
        auto closedAt = Steady::now();
        bool ok = loop.runUntil(
            [&] {
                std::lock_guard lock(mutex);
                return done == static_cast<std::size_t>(i) + 1 && !fs::exists(p) &&
                       controller.workerThreads().activeCount() <= 1;
            },
            std::chrono::seconds(30));
        if (!ok) {
            std::fprintf(stderr, "sample %d was not uploaded\n", i);
            return 1;
        }
        std::lock_guard lock(mutex);
        ms.push_back(std::chrono::duration<double, std::milli>(started.back() - closedAt).count());
    }
    controller.stopFolderWatcher();
    std::vector<double> sorted = ms;
    std::sort(sorted.begin(), sorted.end());
    std::printf("latency: photo closed -> upload request starts, %d samples\n", samples);
    std::printf("  median %.1f ms, p90 %.1f ms, min %.1f ms, max %.1f ms (goal: median <= 250)\n",
                sorted[sorted.size() / 2], sorted[(sorted.size() * 9) / 10], sorted.front(),
                sorted.back());
    return 0;
}

}  // namespace
}  // namespace vorn

int main(int argc, char** argv) {
    using namespace vorn;
    std::string mode = argc > 1 ? argv[1] : "";
    int rounds = intArg(argc, argv, "--rounds", 3);
    if (mode == "drain")
        return drain(intArg(argc, argv, "--photos", 80), intArg(argc, argv, "--mb", 4), rounds);
    if (mode == "scale")
        return scale(intArg(argc, argv, "--photos", 1000), rounds,
                     intArg(argc, argv, "--watcher", 1) != 0);
    if (mode == "scan") return scan(intArg(argc, argv, "--files", 50000), rounds);
    if (mode == "latency") return latency(intArg(argc, argv, "--samples", 20));
    if (mode == "real-drain")
        return bench::realDrain(intArg(argc, argv, "--photos", 80), intArg(argc, argv, "--mb", 4),
                                rounds);
    if (mode == "real-syscalls")
        return bench::realSyscalls(intArg(argc, argv, "--photos", 80),
                                   intArg(argc, argv, "--mb", 4));
    if (mode == "real-parallel")
        return bench::realParallel(intArg(argc, argv, "--photos", 100),
                                   intArg(argc, argv, "--mb", 1),
                                   doubleArg(argc, argv, "--hang", 0.3), rounds);
    if (mode == "real-cap")
        return bench::realCap(intArg(argc, argv, "--mb", 20), doubleArg(argc, argv, "--rate", 2),
                              rounds);
    if (mode == "real-latency") return bench::realLatency(intArg(argc, argv, "--samples", 20));
    if (mode == "real-scan")
        return bench::realScan(intArg(argc, argv, "--files", 50000), rounds,
                               intArg(argc, argv, "--passes", 5));
    std::fprintf(
        stderr,
        "usage: vorn-bench-perf drain [--photos N] [--mb M] | scale [--photos N] [--watcher 0|1] | "
        "scan [--files N] | latency [--samples N] | real-drain [--photos N] [--mb M] | "
        "real-syscalls [--photos N] [--mb M] | real-parallel [--photos N] [--mb M] [--hang S] | "
        "real-cap [--mb M] [--rate MIB_PER_S] | real-latency [--samples N] | "
        "real-scan [--files N] [--passes P]  [--rounds R]\n");
    return 2;
}
