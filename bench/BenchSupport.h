#pragma once
// What the benchmarks share: their arguments, timing, statistics over rounds, running a program
// with its CPU time, writing photos and trees to measure on, and the bodies curl posts.

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "support/PhotoServiceProcess.h"
#include "upload/MultipartBody.h"
#include "vorn-capture-sim/CaptureWriter.h"

extern char** environ;

namespace vorn::bench {

namespace fs = std::filesystem;
using Steady = std::chrono::steady_clock;

// The value after name among the arguments that follow the mode (argv[1]); fallback without.
inline int intArg(int argc, char** argv, const std::string& name, int fallback) {
    for (int i = 2; i + 1 < argc; ++i)
        if (argv[i] == name) return std::atoi(argv[i + 1]);
    return fallback;
}
inline double doubleArg(int argc, char** argv, const std::string& name, double fallback) {
    for (int i = 2; i + 1 < argc; ++i)
        if (argv[i] == name) return std::atof(argv[i + 1]);
    return fallback;
}

inline double secondsSince(Steady::time_point t0) {
    return std::chrono::duration<double>(Steady::now() - t0).count();
}

inline double cpuSeconds(const rusage& r) {
    return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
           static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

inline double selfCpu() {
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    return cpuSeconds(r);
}

struct Stats {
    double median, low, high;
};
inline Stats stats(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    if (v.empty()) return {0, 0, 0};
    return {v[v.size() / 2], v.front(), v.back()};
}
inline void printRow(const char* what, const std::vector<double>& v, const char* unit) {
    Stats s = stats(v);
    std::printf("  %-44s %9.3f %s  (%.3f - %.3f)\n", what, s.median, unit, s.low, s.high);
}

// The machine is shared: the load beside the figures tells how quiet it was.
inline void printLoad(const char* when) {
    double load[3] = {0, 0, 0};
    if (::getloadavg(load, 3) == 3)
        std::printf("  load average %s: %.2f %.2f %.2f (%ld cores)\n", when, load[0], load[1],
                    load[2], ::sysconf(_SC_NPROCESSORS_ONLN));
    std::fflush(stdout);
}

// Runs a program with stdout to outPath (or /dev/null); exit status, CPU seconds in *cpu.
inline int runProgram(const std::vector<std::string>& args, double* cpu = nullptr,
                      const char* outPath = "/dev/null") {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath, O_WRONLY, 0);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0)
        if (errno != EINTR) return -1;
    if (cpu) *cpu = cpuSeconds(usage);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

inline void age(const fs::path& p) {
    utimbuf old{1700000000, 1700000000};
    ::utime(p.c_str(), &old);
}

// A JPEG with upload metadata, padded with noise to about bytes.
inline void writePhoto(const fs::path& path, std::size_t bytes, std::uint64_t seed,
                       bool old = true) {
    capture::JpegSpec recipe;
    recipe.userComment = capture::metadataText({{"Version", "3.1"}});
    recipe.dateTimeOriginal = "2026:12:06 12:00:00";
    capture::PhotoBytes photo = capture::makeJpeg(recipe);
    fs::create_directories(path.parent_path());
    std::string data = photo.head;
    std::mt19937_64 rng(seed);
    while (data.size() + 8 <= bytes) {
        std::uint64_t w = rng();
        data.append(reinterpret_cast<const char*>(&w), 8);
    }
    data += photo.tail;
    {
        std::ofstream out(path, std::ios::binary);
        out.write(data.data(), static_cast<std::streamsize>(data.size()));
    }
    if (old) age(path);
}

inline void writeSmall(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out << bytes;
    out.close();
    age(path);
}

// Mostly what a capture folder holds besides photos: photos without metadata, movies, hidden
// files, sidecars, spread over 100 folders; the one eligible photo (zz-last/IMG_LAST.jpg)
// comes last in name order. Folders aged too, so that their listings may be kept.
inline void writeCaptureTree(const fs::path& source, int files) {
    const int folders = 100;
    for (int i = 0; i < files - 1; ++i) {
        char folder[32], name[48];
        std::snprintf(folder, sizeof folder, "client-%03d", i % folders);
        static const char* kinds[] = {"IMG_%06d.jpg", "IMG_%06d.mov", "._IMG_%06d.jpg",
                                      "IMG_%06d.xmp"};
        std::snprintf(name, sizeof name, kinds[i % 4], i);
        const fs::path p = source / folder / name;
        fs::create_directories(p.parent_path());
        int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (i % 4 == 0) (void)!::write(fd, "\xff\xd8junk", 6);
        ::close(fd);
    }
    writePhoto(source / "zz-last" / "IMG_LAST.jpg", 4096, 1);
    for (const auto& e : fs::recursive_directory_iterator(source))
        if (e.is_directory()) age(e.path());
    age(source);
}

// The stand-in service as a sink that reads each request and answers OK, storing nothing.
inline test::PhotoServiceProcess::Options sink(const fs::path& data) {
    test::PhotoServiceProcess::Options options(data);
    options.discard = true;
    return options;
}

// The body the uploader sends for a photo, written to out for curl to post.
inline std::string bodyFor(const fs::path& photo, const fs::path& out) {
    MultipartBody body;
    for (auto [field, value] :
         std::vector<std::pair<std::string, std::string>>{{"username", "photog"},
                                                          {"password", "secret"},
                                                          {"event", "Bench"},
                                                          {"client", "Event"},
                                                          {"capturetime", "2026-12-06 12:00:00"},
                                                          {"metadata", ""},
                                                          {"fuseaction", "upload.upload"},
                                                          {"Submit", "Upload"}})
        body.addField(field, value);
    body.addFile("imgfile", photo.string(), "image/jpeg");
    body.close();
    body.writeDebugCopy(out.string());
    return out.string();
}

// One curl process posting every body in turn over one kept connection.
inline std::vector<std::string> curlNext(const std::vector<std::string>& bodyFiles,
                                         const std::string& url) {
    std::vector<std::string> args{"curl"};
    for (std::size_t i = 0; i < bodyFiles.size(); ++i) {
        if (i) args.push_back("--next");
        for (const char* a : {"-sS", "-f", "-o", "/dev/null", "-H"}) args.push_back(a);
        args.push_back(std::string("Content-Type: multipart/form-data; boundary=") +
                       kMultipartBoundary);
        args.push_back("-H");
        args.push_back("Expect:");
        args.push_back("--data-binary");
        args.push_back("@" + bodyFiles[i]);
        args.push_back(url);
    }
    return args;
}

// A drain against one curl process posting the same bodies, round after round: the figures
// both drain benchmarks print.
struct DrainAgainstCurl {
    std::vector<double> vornTime, curlTime, vornCpu, curlCpu, timeRatio, cpuRatio;

    // Runs the curl anchor on the bodies and records it beside the drain's wall and CPU time.
    bool addRound(double vornSeconds, double vornCpuSeconds, const std::vector<std::string>& bodies,
                  const std::string& url) {
        ::sync();
        double cpu = 0;
        const auto t0 = Steady::now();
        if (runProgram(curlNext(bodies, url), &cpu) != 0) {
            std::fprintf(stderr, "curl failed\n");
            return false;
        }
        const double curlSeconds = secondsSince(t0);
        vornTime.push_back(vornSeconds);
        curlTime.push_back(curlSeconds);
        vornCpu.push_back(vornCpuSeconds);
        curlCpu.push_back(cpu);
        timeRatio.push_back(curlSeconds / vornSeconds);
        cpuRatio.push_back(vornCpuSeconds / cpu);
        return true;
    }
    void print(const std::string& vorn) const {
        printRow((vorn + ", wall").c_str(), vornTime, "s");
        printRow("curl --next, wall (anchor)", curlTime, "s");
        printRow((vorn + ", CPU").c_str(), vornCpu, "s");
        printRow("curl --next, CPU (anchor)", curlCpu, "s");
        printRow("speed vorn / curl (goal >= 0.9)", timeRatio, "x");
        printRow("CPU vorn / curl (goal <= 1.3)", cpuRatio, "x");
    }
};

}  // namespace vorn::bench
