#include "RealProgram.h"

#include <signal.h>
#include <sys/stat.h>
#include <time.h>

#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <thread>

#include "BenchSupport.h"
#include "platform/PropertyList.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace vorn::bench {
namespace {

using namespace std::chrono_literals;

// The uploader beside this program, or another build of it (to compare two) named by
// VORN_BENCH_UPLOADER.
std::string uploaderProgram() {
    if (const char* other = std::getenv("VORN_BENCH_UPLOADER"); other && *other) return other;
    return (fs::read_symlink("/proc/self/exe").parent_path() / "vorn-uploader").string();
}

// The real uploader, as a user starts it: headless, with a store file and a log folder, the
// log at its default level, everything it writes inside dir.
class RealUploader {
  public:
    struct Setup {
        fs::path dir, source, mirror;
        std::string url;
        int concurrent = 1;
        std::uint64_t maxBytesPerSecond = 0;
        std::optional<double> secondsBetweenScans;
        bool watcher = true;
        // Every timer pass is then also the pass that looks again at what rests on shared disks.
        bool sharedLookEveryPass = false;
    };

    explicit RealUploader(const Setup& s) : process_(start(s)) {
        clockid_t clock;
        if (::clock_getcpuclockid(process_.pid(), &clock) == 0) cpuClock_ = clock;
    }
    ~RealUploader() { quit(); }

    // Until the first pass found nothing and the folder watcher runs (when it should).
    bool waitUntilIdle(bool watcher = true) {
        if (!process_.waitForLine("Waiting For New Images", 60s)) return false;
        if (!watcher) return true;
        return until([this] { return watching(); }, 30s);
    }

    // Reads the program's output until done() holds; false after timeout.
    bool until(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
        const auto deadline = Steady::now() + timeout;
        while (!done()) {
            if (Steady::now() > deadline) return false;
            process_.readLine(2ms);
        }
        return true;
    }

    // Lines of output since the start that begin with prefix.
    std::size_t count(const std::string& prefix) const {
        std::size_t n = 0;
        for (const std::string& line : process_.output()) n += line.rfind(prefix, 0) == 0;
        return n;
    }

    // The CPU time of all its threads so far, those ended included.
    double cpuSeconds() const {
        timespec ts{};
        if (!cpuClock_ || ::clock_gettime(*cpuClock_, &ts) != 0) return 0;
        return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
    }

    pid_t pid() const { return process_.pid(); }

    void quit() {
        if (quit_) return;
        quit_ = true;
        process_.signal(SIGTERM);
        // Its last lines are read, or it could block on a full pipe.
        const auto deadline = Steady::now() + 20s;
        while (!process_.wait(0ms) && Steady::now() < deadline) process_.readLine(10ms);
    }

  private:
    static test::ChildProcess start(const Setup& s) {
        Dictionary prefs{
            {"prefKivURL", s.url},
            {"prefLocalSourceUploadFolder", s.source.string()},
            {"prefLocalMasterMirrorSiteFolder", s.mirror.string()},
            {"userLoginName", "photog"},
            {"userLoginPassword", "secret"},
            {"userEnteredEventName", "Bench"},
            {"prefAutoStartUploadAtStartup", true},
            {"prefAutoSynchronize", true},
            {"prefConcurrentUploads", static_cast<std::int64_t>(s.concurrent)},
            {"prefMaxUploadBytesPerSecond", static_cast<std::int64_t>(s.maxBytesPerSecond)}};
        if (s.secondsBetweenScans) prefs["prefSecondsBetweenScans"] = *s.secondsBetweenScans;
        const fs::path store = s.dir / "prefs.plist";
        fs::create_directories(s.source);
        fs::create_directories(s.mirror);
        std::ofstream(store) << toXmlPropertyList(Value(prefs));
        std::vector<std::string> env{"HOME=" + (s.dir / "home").string(),
                                     "XDG_CONFIG_HOME=" + (s.dir / "config").string(),
                                     "XDG_STATE_HOME=" + (s.dir / "state").string(),
                                     "XDG_DATA_HOME=" + (s.dir / "data").string(),
                                     "XDG_RUNTIME_DIR=" + (s.dir / "run").string(),
                                     "DBUS_SESSION_BUS_ADDRESS=",
                                     "VORN_AUTOSTART_DELAY_MS=0",
                                     "VORN_UNDER_SYSTEMD="};
        if (!s.watcher) env.push_back("VORN_DISABLE_WATCHER=1");
        if (s.sharedLookEveryPass) env.push_back("VORN_SHARED_LOOK_INTERVAL_MS=0");
        fs::create_directories(s.dir / "run");
        ::chmod((s.dir / "run").c_str(), 0700);
        return test::ChildProcess(
            uploaderProgram(),
            {"--headless", "--prefs", store.string(), "--log-dir", (s.dir / "logs").string()}, env);
    }

    // Its inotify descriptor is there once the watcher has started.
    bool watching() const {
        const fs::path fds = "/proc/" + std::to_string(process_.pid()) + "/fd";
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(fds, ec)) {
            std::error_code lec;
            if (fs::read_symlink(e.path(), lec).string() == "anon_inode:inotify") return true;
        }
        return false;
    }

    test::ChildProcess process_;
    std::optional<clockid_t> cpuClock_;
    bool quit_ = false;
};

std::size_t entriesIn(const fs::path& dir) {
    std::error_code ec;
    std::size_t n = 0;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) ++n;
    return n;
}

// Photos IMG_0001.jpg... of about bytes each, aged, in folder.
std::vector<fs::path> stagePhotos(const fs::path& folder, int photos, std::size_t bytes,
                                  std::uint64_t seed) {
    std::vector<fs::path> paths;
    for (int i = 0; i < photos; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "IMG_%04d.jpg", i + 1);
        writePhoto(folder / name, bytes, seed + static_cast<std::uint64_t>(i));
        paths.push_back(folder / name);
    }
    return paths;
}

struct Drained {
    bool ok = false;
    double seconds = 0, cpu = 0;
};

// Moves the staged folder into the source folder of a running, idle uploader and waits until
// every photo is uploaded and filed into the mirror.
Drained moveInAndDrain(RealUploader& uploader, const fs::path& staged, const fs::path& source,
                       const fs::path& mirror, std::size_t photos,
                       std::chrono::milliseconds timeout) {
    Drained d;
    const std::size_t before = uploader.count("uploaded ");
    const fs::path moved = source / staged.filename();
    ::sync();
    const double cpu0 = uploader.cpuSeconds();
    const auto t0 = Steady::now();
    fs::rename(staged, moved);
    d.ok = uploader.until(
        [&] {
            return uploader.count("uploaded ") >= before + photos && entriesIn(moved) == 0 &&
                   entriesIn(mirror / staged.filename()) >= photos;
        },
        timeout);
    d.seconds = secondsSince(t0);
    d.cpu = uploader.cpuSeconds() - cpu0;
    if (!d.ok)
        std::fprintf(stderr, "not drained: %zu uploaded, %zu left in the source\n",
                     uploader.count("uploaded ") - before, entriesIn(moved));
    return d;
}

}  // namespace

int realDrain(int photos, int mib, int rounds) {
    DrainAgainstCurl figures;
    printLoad("at the start");
    for (int round = 0; round < rounds; ++round) {
        test::TempDir tmp;
        const fs::path source = tmp / "Upload", mirror = tmp / "Mirror", stage = tmp / "stage";
        const auto paths = stagePhotos(stage / "Event", photos, static_cast<std::size_t>(mib) << 20,
                                       static_cast<std::uint64_t>(round) * 1000 + 1);
        std::vector<std::string> bodies;
        fs::create_directories(tmp / "bodies");
        for (const fs::path& p : paths) bodies.push_back(bodyFor(p, tmp / "bodies" / p.filename()));
        test::PhotoServiceProcess service(sink(tmp / "service"));
        Drained run;
        {
            RealUploader uploader({tmp.path(), source, mirror, service.url()});
            if (!uploader.waitUntilIdle()) {
                std::fprintf(stderr, "the uploader did not become idle\n");
                return 1;
            }
            run = moveInAndDrain(uploader, stage / "Event", source, mirror,
                                 static_cast<std::size_t>(photos), 10min);
        }
        if (!run.ok) return 1;
        if (!figures.addRound(run.seconds, run.cpu, bodies, service.url())) return 1;
    }
    std::printf(
        "real-drain: %d photos of %d MiB moved into the source folder of the running uploader "
        "(headless, default log level, one upload at a time) until all are filed, into a discard "
        "sink; %d rounds (median, spread)\n",
        photos, mib, rounds);
    figures.print("vorn-uploader");
    printLoad("at the end");
    return 0;
}

int realSyscalls(int photos, int mib) {
    test::TempDir tmp;
    const fs::path source = tmp / "Upload", mirror = tmp / "Mirror", stage = tmp / "stage";
    stagePhotos(stage / "Event", photos, static_cast<std::size_t>(mib) << 20, 1);
    test::PhotoServiceProcess service(sink(tmp / "service"));
    RealUploader uploader({tmp.path(), source, mirror, service.url()});
    if (!uploader.waitUntilIdle()) {
        std::fprintf(stderr, "the uploader did not become idle\n");
        return 1;
    }
    const fs::path counts = tmp / "strace.txt";
    // Attached to every thread of the running program, then the photos arrive.
    test::ChildProcess strace("/usr/bin/strace", {"-f", "-c", "-o", counts.string(), "-p",
                                                  std::to_string(uploader.pid())});
    std::this_thread::sleep_for(1500ms);
    const Drained run = moveInAndDrain(uploader, stage / "Event", source, mirror,
                                       static_cast<std::size_t>(photos), 20min);
    strace.signal(SIGINT);
    strace.wait(30s);
    if (!run.ok) return 1;
    std::ifstream in(counts);
    std::printf(
        "real-syscalls: system calls of the running uploader (strace -f -c, all threads) while "
        "%d photos of %d MiB are moved in, uploaded one at a time into a discard sink and filed; "
        "per photo\n",
        photos, mib);
    std::printf("  %-20s %10s %10s\n", "call", "calls", "errors");
    std::string line;
    double total = 0;
    while (std::getline(in, line)) {
        // % time, seconds, usecs/call, calls, [errors,] name
        std::istringstream fields(line);
        std::vector<std::string> f;
        for (std::string w; fields >> w;) f.push_back(w);
        if (f.size() < 5 || f[0].find('.') == std::string::npos) continue;
        const bool hasErrors = f.size() >= 6;
        const std::string name = f.back();
        const double calls = std::atof(f[3].c_str()) / photos;
        const double errors = hasErrors ? std::atof(f[4].c_str()) / photos : 0;
        if (name == "total") {
            total = calls;
            continue;
        }
        if (calls >= 0.05) std::printf("  %-20s %10.2f %10.2f\n", name.c_str(), calls, errors);
    }
    std::printf("  %-20s %10.2f\n", "total", total);
    return 0;
}

int realParallel(int photos, int mib, double hangSeconds, int rounds) {
    std::map<int, std::vector<double>> seconds;
    std::vector<double> ratio, overhead;
    printLoad("at the start");
    for (int round = 0; round < rounds; ++round) {
        std::map<int, double> t;
        for (int concurrent : {1, 4}) {
            test::TempDir tmp;
            const fs::path source = tmp / "Upload", mirror = tmp / "Mirror", stage = tmp / "stage";
            stagePhotos(stage / "Event", photos, static_cast<std::size_t>(mib) << 20,
                        static_cast<std::uint64_t>(round) * 1000 + 1);
            std::ofstream(tmp / "script.txt") << "*.jpg always hang " << hangSeconds << "\n";
            test::PhotoServiceProcess service(tmp / "service", std::nullopt, tmp / "script.txt");
            RealUploader uploader({tmp.path(), source, mirror, service.url(), concurrent});
            if (!uploader.waitUntilIdle()) {
                std::fprintf(stderr, "the uploader did not become idle\n");
                return 1;
            }
            const Drained run = moveInAndDrain(uploader, stage / "Event", source, mirror,
                                               static_cast<std::size_t>(photos), 10min);
            if (!run.ok) return 1;
            t[concurrent] = run.seconds;
            seconds[concurrent].push_back(run.seconds);
        }
        ratio.push_back(t[1] / t[4]);
        overhead.push_back((t[1] / photos - hangSeconds) * 1000);
    }
    std::printf(
        "real-parallel: %d photos of %d MiB moved into the running uploader, the service answering "
        "each upload after %.1f s, until all are filed; %d rounds (median, spread)\n",
        photos, mib, hangSeconds, rounds);
    printRow("prefConcurrentUploads 1, wall", seconds[1], "s");
    printRow("prefConcurrentUploads 4, wall", seconds[4], "s");
    std::printf("  %-44s %9.3f s\n", "the service's answer time alone, one at a time",
                photos * hangSeconds);
    printRow("1 beyond the answer time, per photo", overhead, "ms");
    printRow("speed 4 / 1 (goal >= 3.5)", ratio, "x");
    printLoad("at the end");
    return 0;
}

int realCap(int mib, double mibPerSecond, int rounds) {
    const int photos = 10;
    const std::size_t bytes = (static_cast<std::size_t>(mib) << 20) / photos;
    const double expected = mib / mibPerSecond;
    std::map<int, std::vector<double>> seconds, ratio;
    printLoad("at the start");
    for (int round = 0; round < rounds; ++round) {
        for (int concurrent : {1, 4}) {
            test::TempDir tmp;
            const fs::path source = tmp / "Upload", mirror = tmp / "Mirror", stage = tmp / "stage";
            stagePhotos(stage / "Event", photos, bytes,
                        static_cast<std::uint64_t>(round) * 1000 + 1);
            test::PhotoServiceProcess service(sink(tmp / "service"));
            RealUploader::Setup setup{tmp.path(), source, mirror, service.url(), concurrent};
            setup.maxBytesPerSecond = static_cast<std::uint64_t>(mibPerSecond * 1048576);
            RealUploader uploader(setup);
            if (!uploader.waitUntilIdle()) {
                std::fprintf(stderr, "the uploader did not become idle\n");
                return 1;
            }
            const Drained run = moveInAndDrain(uploader, stage / "Event", source, mirror,
                                               static_cast<std::size_t>(photos), 5min);
            if (!run.ok) return 1;
            seconds[concurrent].push_back(run.seconds);
            ratio[concurrent].push_back(run.seconds / expected);
        }
    }
    std::printf(
        "real-cap: %d MiB in %d photos with prefMaxUploadBytesPerSecond at %.1f MiB/s, moved into "
        "the running uploader until all are filed; %d rounds (median, spread)\n",
        mib, photos, mibPerSecond, rounds);
    std::printf("  %-44s %9.3f s\n", "size / cap (anchor)", expected);
    printRow("prefConcurrentUploads 1, wall", seconds[1], "s");
    printRow("prefConcurrentUploads 4, wall", seconds[4], "s");
    printRow("1: wall / anchor (goal 0.9 - 1.1)", ratio[1], "x");
    printRow("4: wall / anchor (goal 0.9 - 1.1)", ratio[4], "x");
    printLoad("at the end");
    return 0;
}

namespace {

// "time":"2026-05-01T10:11:12.345Z" of a request log line, as the system clock's time.
std::optional<std::chrono::system_clock::time_point> requestTime(const std::string& line) {
    const std::string key = "\"time\":\"";
    const std::size_t at = line.find(key);
    if (at == std::string::npos) return std::nullopt;
    std::tm tm{};
    int ms = 0;
    if (std::sscanf(line.c_str() + at + key.size(), "%d-%d-%dT%d:%d:%d.%dZ", &tm.tm_year,
                    &tm.tm_mon, &tm.tm_mday, &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &ms) != 7)
        return std::nullopt;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    return std::chrono::system_clock::from_time_t(::timegm(&tm)) + std::chrono::milliseconds(ms);
}

}  // namespace

int realLatency(int samples) {
    test::TempDir tmp;
    const fs::path source = tmp / "Upload", mirror = tmp / "Mirror";
    fs::create_directories(source / "Event");
    test::PhotoServiceProcess service(tmp / "service");
    RealUploader uploader({tmp.path(), source, mirror, service.url()});
    if (!uploader.waitUntilIdle()) {
        std::fprintf(stderr, "the uploader did not become idle\n");
        return 1;
    }
    printLoad("at the start");
    std::vector<double> known, fresh;
    for (int i = 0; i < samples; ++i) {
        // Every other photo arrives in a folder made for it, as capture software makes one for
        // every client.
        const bool newFolder = i % 2 == 0;
        char name[48];
        std::snprintf(name, sizeof name, "%s/IMG_%03d.jpg",
                      newFolder ? ("Client-" + std::to_string(i)).c_str() : "Event", i);
        writePhoto(tmp / "stage.jpg", 256 * 1024, static_cast<std::uint64_t>(i) + 7, false);
        std::string bytes;
        {
            std::ifstream in(tmp / "stage.jpg", std::ios::binary);
            bytes.assign(std::istreambuf_iterator<char>(in), {});
        }
        const std::size_t uploaded = uploader.count("uploaded ");
        const std::size_t idle = uploader.count("status: Waiting For New Images");
        const fs::path p = source / name;
        if (newFolder) fs::create_directory(p.parent_path());
        int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        (void)!::write(fd, bytes.data(), bytes.size());
        ::close(fd);
        const auto closedAt = std::chrono::system_clock::now();
        const bool ok = uploader.until(
            [&] {
                return uploader.count("uploaded ") > uploaded &&
                       uploader.count("status: Waiting For New Images") > idle && !fs::exists(p);
            },
            30s);
        const auto log = service.requestLog();
        const auto at =
            log.size() == static_cast<std::size_t>(i) + 1 ? requestTime(log.back()) : std::nullopt;
        if (!ok || !at) {
            std::fprintf(stderr, "sample %d was not uploaded once\n", i);
            return 1;
        }
        (newFolder ? fresh : known)
            .push_back(std::chrono::duration<double, std::milli>(*at - closedAt).count());
        std::this_thread::sleep_for(200ms);  // the cycle at rest again
    }
    std::vector<double> all = known;
    all.insert(all.end(), fresh.begin(), fresh.end());
    std::sort(all.begin(), all.end());
    auto pct = [](const std::vector<double>& v, double p) {
        std::vector<double> s = v;
        std::sort(s.begin(), s.end());
        return s.empty() ? 0.0 : s[std::min(s.size() - 1, static_cast<std::size_t>(p * s.size()))];
    };
    std::printf(
        "real-latency: a photo of 256 KiB closed in the source folder of the running uploader -> "
        "its request received by the service, %d samples, half in new folders\n",
        samples);
    std::printf(
        "  all:         median %6.1f ms, p90 %6.1f ms, min %6.1f, max %6.1f (goal: median "
        "and p90 <= 250)\n",
        pct(all, 0.5), pct(all, 0.9), all.front(), all.back());
    std::printf("  known folder: median %6.1f ms, p90 %6.1f ms\n", pct(known, 0.5),
                pct(known, 0.9));
    std::printf("  new folder:   median %6.1f ms, p90 %6.1f ms\n", pct(fresh, 0.5),
                pct(fresh, 0.9));
    printLoad("at the end");
    return 0;
}

namespace {

// CPU per rescan timer pass of a running uploader: its CPU time over the next `passes` passes
// (each ends with the timer set again), divided by their number.
std::optional<double> cpuPerTimerPass(RealUploader& uploader, int passes) {
    const std::string mark = "status: Next Auto-Synchronize Trigger Date";
    std::size_t seen = uploader.count(mark);
    if (!uploader.until([&] { return uploader.count(mark) > seen; }, 30s)) return std::nullopt;
    seen = uploader.count(mark);
    const double cpu0 = uploader.cpuSeconds();
    if (!uploader.until([&] { return uploader.count(mark) >= seen + passes; }, 120s))
        return std::nullopt;
    return (uploader.cpuSeconds() - cpu0) / passes;
}

}  // namespace

int realScan(int files, int rounds, int passes) {
    test::TempDir tmp;
    const fs::path source = tmp / "Upload", mirror = tmp / "Mirror";
    std::printf("writing a tree of %d files...\n", files);
    std::fflush(stdout);
    writeCaptureTree(source, files);
    test::PhotoServiceProcess service(sink(tmp / "service"));
    printLoad("at the start");
    struct Mode {
        const char* what;
        const char* ratioLabel;
        bool watcher, sharedLookEveryPass;
        std::vector<double> passMs, ratio, statRatio;
    };
    Mode modes[] = {
        {"timer pass, watcher running", "timer pass / find (goal <= 0.1)", true, false},
        {"thorough (ten-minute) pass, watcher running", "thorough pass / find (goal <= 1.0)", true,
         true},
        // No event tells what changed: every file that may be a photo is looked at again.
        {"every file again (no watcher: each pass)", "every file again / find", false, false},
    };
    std::vector<double> findMs, findCpuMs, statCpuMs;
    for (Mode& mode : modes) {
        RealUploader::Setup setup{tmp.path(), source, mirror, service.url()};
        setup.secondsBetweenScans = 1;
        setup.watcher = mode.watcher;
        setup.sharedLookEveryPass = mode.sharedLookEveryPass;
        RealUploader uploader(setup);
        if (!uploader.waitUntilIdle(mode.watcher)) {
            std::fprintf(stderr, "the uploader did not become idle\n");
            return 1;
        }
        // The first passes read what they had not seen; later ones are the steady state.
        if (!cpuPerTimerPass(uploader, 2)) return 1;
        for (int round = 0; round < rounds; ++round) {
            double findCpu = 0;
            const auto t0 = Steady::now();
            runProgram({"find", source.string(), "-type", "f"}, &findCpu);
            findMs.push_back(secondsSince(t0) * 1000);
            findCpuMs.push_back(findCpu * 1000);
            // What the file system alone costs a look at every file that may be a photo (not
            // hidden, not a movie), which -newermt makes find take.
            double statCpu = 0;
            runProgram({"find", source.string(), "-type", "f", "!", "-name", ".*", "!", "-iname",
                        "*.mov", "-newermt", "2000-01-01"},
                       &statCpu);
            statCpuMs.push_back(statCpu * 1000);
            const std::optional<double> pass = cpuPerTimerPass(uploader, passes);
            if (!pass) {
                std::fprintf(stderr, "the rescan timer's passes did not come\n");
                return 1;
            }
            mode.passMs.push_back(*pass * 1000);
            mode.ratio.push_back(*pass / findCpu);
            mode.statRatio.push_back(*pass / statCpu);
        }
    }
    std::printf(
        "real-scan: the running uploader on %d files in 100 folders (a quarter each: photos "
        "without metadata, movies, hidden files, sidecars), a rescan every second; CPU of the "
        "whole process per pass, over %d passes a round, against find's CPU; %d rounds a mode "
        "(median, spread)\n",
        files, passes, rounds);
    printRow("find -type f, CPU (anchor)", findCpuMs, "ms");
    printRow("find -type f, wall", findMs, "ms");
    printRow("find looking at each possible photo, CPU", statCpuMs, "ms");
    for (const Mode& mode : modes) printRow(mode.what, mode.passMs, "ms");
    for (const Mode& mode : modes) printRow(mode.ratioLabel, mode.ratio, "x");
    printRow("every file again / the find looking at each", modes[2].statRatio, "x");
    printLoad("at the end");
    return 0;
}

}  // namespace vorn::bench
