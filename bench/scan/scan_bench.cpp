// The source-folder scan against find(1) over the same tree: a tree of 10,000 files of which
// 5,000 photos carry no upload metadata and the one eligible photo comes last in name order.
// The first pass reads every photo's metadata; later passes skip the files already found
// without metadata whose size and time are unchanged, so they should cost little more than a
// walk of the tree. Target: later passes within 3x of find.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <strings.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Process.h"
#include "settings/PreferenceKeys.h"
#include "settings/Preferences.h"
#include "settings/PreferencesStore.h"
#include "upload/Records.h"
#include "upload/SourceFolderScanner.h"
#include "vorn-capture-sim/CaptureWriter.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Options {
    int files = 10000;
    int folders = 100;
    int passes = 10;
    std::uint64_t sizeKb = 0;
    std::string dir;  // empty: a fresh temporary folder, removed afterwards
};

[[noreturn]] void usage(const char* message) {
    std::fprintf(stderr,
                 "bench_scan: %s\nusage: bench_scan [--files N] [--folders N] [--passes N] "
                 "[--size-kb KB] [--dir DIR]\n",
                 message);
    std::exit(2);
}

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string_view a = argv[i];
        if (i + 1 >= argc) usage("missing value");
        const char* v = argv[++i];
        if (a == "--files") {
            o.files = std::atoi(v);
        } else if (a == "--folders") {
            o.folders = std::atoi(v);
        } else if (a == "--passes") {
            o.passes = std::atoi(v);
        } else if (a == "--size-kb") {
            o.sizeKb = std::strtoull(v, nullptr, 10);
        } else if (a == "--dir") {
            o.dir = v;
        } else {
            usage("unknown option");
        }
    }
    if (o.files < 10 || o.folders < 1 || o.passes < 2) usage("bad value");
    return o;
}

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

void writeSmall(const fs::path& path, std::string_view bytes) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
        std::perror(path.c_str());
        std::exit(1);
    }
    ::close(fd);
}

struct Tree {
    int photosWithoutMetadata = 0, movies = 0, hidden = 0, rootPhotos = 0, eligible = 0;
    std::string eligibleRel;
};

// Every file finished long ago (its time in the past), as a drained event folder looks.
Tree buildTree(const fs::path& source, const Options& o) {
    using namespace vorn::capture;
    const std::uint64_t size = o.sizeKb * 1024;
    JpegSpec bare, exifless;
    bare.minimumSize = exifless.minimumSize = size;
    exifless.exif = false;
    PngSpec noTrailer;
    noTrailer.minimumSize = size;
    const PhotoBytes bareJpeg = makeJpeg(bare), exiflessJpeg = makeJpeg(exifless);
    const PhotoBytes barePng = makePng(noTrailer);
    vorn::Dictionary metadata{{"Version", "VornCapture 3.1"},
                              {"OriginalPath", "/Volumes/Capture%20Disk/A12_01.CR2"}};
    JpegSpec withMetadata;
    withMetadata.userComment = metadataText(metadata);
    withMetadata.dateTimeOriginal = "2010:11:26 14:05:09";
    withMetadata.minimumSize = size;
    const PhotoBytes goodJpeg = makeJpeg(withMetadata);

    // Half the files are photos without metadata; of the rest, a few photos lie directly in
    // the source folder (never eligible there), and the others are movies and hidden files.
    Tree t;
    const int rootPhotos = std::max(1, o.files / 100);
    const int others = o.files - o.files / 2 - rootPhotos - 1;
    const int movies = others * 3 / 5;
    char name[64];
    fs::create_directories(source);
    for (int i = 0; i < rootPhotos; ++i, ++t.rootPhotos) {
        std::snprintf(name, sizeof name, "IMG_%05d.jpg", i);
        writePhoto((source / name).string(), goodJpeg);
    }
    auto folder = [&](int i) {
        std::snprintf(name, sizeof name, "client-%03d", i % o.folders);
        return source / name;
    };
    for (int f = 0; f < o.folders; ++f) fs::create_directories(folder(f));
    for (int i = 0; i < o.files / 2; ++i, ++t.photosWithoutMetadata) {
        const bool png = i % 4 == 3;
        std::snprintf(name, sizeof name, "IMG_%05d.%s", i, png ? "png" : "jpg");
        const PhotoBytes& bytes = png ? barePng : i % 4 == 2 ? exiflessJpeg : bareJpeg;
        writePhoto((folder(i) / name).string(), bytes);
    }
    for (int i = 0; i < others; ++i) {
        if (i < movies) {
            std::snprintf(name, sizeof name, "IMG_%05d.mov", i);
            ++t.movies;
        } else {
            std::snprintf(name, sizeof name, "._IMG_%05d.jpg", i);
            ++t.hidden;
        }
        writeSmall(folder(i) / name, "not a photo");
    }
    fs::path last = source / "client-zzz";
    fs::create_directories(last);
    writePhoto((last / "zz-eligible.jpg").string(), goodJpeg);
    t.eligibleRel = "client-zzz/zz-eligible.jpg";
    t.eligible = 1;

    timespec past[2] = {{1700000000, 0}, {1700000000, 0}};
    for (const auto& e : fs::recursive_directory_iterator(source))
        if (e.is_regular_file()) ::utimensat(AT_FDCWD, e.path().c_str(), past, 0);
    return t;
}

// The scan's own listing of the tree, without judging any file: every folder read, every
// entry examined with lstat by its full path, each folder's entries sorted by name. This is
// the floor of a pass as the scan lists folders; find reads the folders only.
std::size_t listLikeTheScan(const std::string& folder) {
    struct Entry {
        std::string name;
        struct stat st;
    };
    std::vector<Entry> entries;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return 0;
    while (dirent* d = ::readdir(dir)) {
        std::string_view name = d->d_name;
        if (name == "." || name == "..") continue;
        Entry e{std::string(name), {}};
        if (::lstat((folder + "/" + e.name).c_str(), &e.st) != 0) continue;
        entries.push_back(std::move(e));
    }
    ::closedir(dir);
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.name < b.name; });
    std::size_t n = entries.size();
    for (const Entry& e : entries)
        if (S_ISDIR(e.st.st_mode)) n += listLikeTheScan(folder + "/" + e.name);
    return n;
}

// What a listing needs at least: each folder read once, entries told apart by their type in
// the folder entry, and only files that could be chosen (not hidden, not a movie, in a
// sub-folder) examined, relative to the open folder rather than by their full path.
std::size_t listByEntryType(int parent, const char* name, bool root) {
    int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return 0;
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return 0;
    }
    struct Entry {
        std::string name;
        bool folder;
    };
    std::vector<Entry> entries;
    while (dirent* d = ::readdir(dir)) {
        std::string_view n = d->d_name;
        if (n == "." || n == "..") continue;
        bool folder = d->d_type == DT_DIR;
        if (d->d_type == DT_UNKNOWN) {
            struct stat st;
            folder = ::fstatat(fd, d->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
        }
        const bool candidate = !folder && !root && n[0] != '.' &&
                               !(n.size() > 4 && strcasecmp(d->d_name + n.size() - 4, ".mov") == 0);
        if (candidate) {
            struct stat st;
            if (::fstatat(fd, d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        }
        entries.push_back({std::string(n), folder});
    }
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.name < b.name; });
    std::size_t n = entries.size();
    for (const Entry& e : entries)
        if (e.folder) n += listByEntryType(fd, e.name.c_str(), false);
    ::closedir(dir);
    return n;
}

// Standard error carries the scan's log lines; in the application it is the dated log file.
int logToFile(const fs::path& log) {
    int saved = ::dup(STDERR_FILENO);
    int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (saved < 0 || fd < 0 || ::dup2(fd, STDERR_FILENO) < 0) {
        std::perror("log file");
        std::exit(1);
    }
    ::close(fd);
    return saved;
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    fs::path base;
    if (o.dir.empty()) {
        std::string t = fs::temp_directory_path() / "vorn-bench-scan-XXXXXX";
        if (!::mkdtemp(t.data())) return 1;
        base = t;
    } else {
        base = o.dir;
        fs::remove_all(base / "Upload");
        fs::remove_all(base / "Mirror");
    }
    const fs::path source = base / "Upload", mirror = base / "Mirror";
    fs::create_directories(mirror);

    auto start = Clock::now();
    const Tree tree = buildTree(source, o);
    std::printf(
        "tree: %s\n  %d files: %d photos without metadata, %d movies, %d hidden files, "
        "%d photos in the source folder itself, %d eligible photo (last: %s); "
        "%d client folders; built in %.0f ms\n",
        source.c_str(),
        tree.photosWithoutMetadata + tree.movies + tree.hidden + tree.rootPhotos + tree.eligible,
        tree.photosWithoutMetadata, tree.movies, tree.hidden, tree.rootPhotos, tree.eligible,
        tree.eligibleRel.c_str(), o.folders + 1, msSince(start));

    auto store = std::make_shared<vorn::PreferencesStore>((base / "prefs.plist").string());
    vorn::Preferences::setStore(store);
    store->setObject(vorn::sPrefLocalSourceUploadFolder, source.string());
    store->setObject(vorn::sPrefLocalMasterMirrorSiteFolder, mirror.string());
    store->setObject(vorn::sUserLoginName, "photog");

    vorn::ScanInput in;
    in.rootFolder = source.string();
    in.mirrorFolder = mirror.string();
    in.eventName = "Prom";
    in.userName = "photog";
    in.password = "secret";

    // One round: a scan pass, find over the tree, find over an empty folder (its start-up,
    // included in its times), and the two listings. Interleaved, so that a busy machine
    // weighs on all of them alike.
    vorn::SourceFolderScanner scanner;
    std::vector<double> passes, finds, emptyFinds, listings, typedListings;
    std::vector<std::uint64_t> reads;
    std::size_t findLines = 0;
    for (int p = 0; p < o.passes; ++p) {
        const int savedStderr = logToFile(base / "scan.log");
        in.workingCopy = vorn::makeScanRequest(in.rootFolder, in.mirrorFolder, in.eventName);
        const std::uint64_t before = scanner.metadataReads();
        start = Clock::now();
        vorn::ScanOutcome out = scanner.chooseNextItem(in);
        passes.push_back(msSince(start));
        reads.push_back(scanner.metadataReads() - before);
        ::dup2(savedStderr, STDERR_FILENO);
        ::close(savedStderr);
        const std::string* chosen =
            out.record ? vorn::stringForKey(*out.record, vorn::cDictKeyCurItem) : nullptr;
        if (out.kind != vorn::ScanOutcome::Kind::Chosen || !chosen || *chosen != tree.eligibleRel) {
            std::fprintf(stdout, "pass %d did not choose %s\n", p + 1, tree.eligibleRel.c_str());
            return 1;
        }

        start = Clock::now();
        vorn::ProcessResult r = vorn::runProcess("/usr/bin/find", {source.string()});
        finds.push_back(msSince(start));
        if (!r.exitedNormally || r.exitStatus != 0) {
            std::fprintf(stdout, "find failed\n");
            return 1;
        }
        findLines = static_cast<std::size_t>(
            std::count(r.standardOutput.begin(), r.standardOutput.end(), '\n'));
        start = Clock::now();
        vorn::runProcess("/usr/bin/find", {(mirror / "client-000").string()});
        emptyFinds.push_back(msSince(start));

        start = Clock::now();
        listLikeTheScan(source.string());
        listings.push_back(msSince(start));
        start = Clock::now();
        listByEntryType(AT_FDCWD, source.c_str(), true);
        typedListings.push_back(msSince(start));
    }

    auto minOf = [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); };
    const std::vector<double> later(passes.begin() + 1, passes.end());
    const std::vector<double> laterFinds(finds.begin() + 1, finds.end());
    const double laterMedian = median(later), findMedian = median(laterFinds);
    const double listingMedian = median(listings);
    std::printf("medians over %zu rounds (min in brackets):\n", later.size());
    std::printf("find over the tree:        %8.2f ms  [%.2f]  (%zu entries)\n", findMedian,
                minOf(laterFinds), findLines);
    std::printf("  find's start-up:         %8.2f ms  [%.2f]  (find over an empty folder)\n",
                median(emptyFinds), minOf(emptyFinds));
    std::printf("scan, first pass:          %8.2f ms           (%llu metadata reads)\n", passes[0],
                static_cast<unsigned long long>(reads[0]));
    std::printf("scan, later passes:        %8.2f ms  [%.2f]  (%llu metadata reads each)\n",
                laterMedian, minOf(later), static_cast<unsigned long long>(reads[1]));
    std::printf(
        "  its listing alone:       %8.2f ms  [%.2f]  (readdir, lstat of every entry by its "
        "full path, name sort)\n",
        listingMedian, minOf(listings));
    std::printf("  judging the entries:     %8.2f ms           (the rest)\n",
                laterMedian - listingMedian);
    std::printf(
        "listing by entry type:     %8.2f ms  [%.2f]  (readdir, fstatat in the folder only for "
        "files that could be chosen, name sort)\n",
        median(typedListings), minOf(typedListings));
    const double ratio = laterMedian / findMedian;
    std::printf("ratio later pass / find:   %8.2f  [%.2f]  (target: within 3x) %s\n", ratio,
                minOf(later) / minOf(laterFinds), ratio <= 3.0 ? "MET" : "MISSED");
    std::printf("ratio first pass / find:   %8.2f\n", passes[0] / findMedian);
    std::printf(
        "reproduce: cmake -S . -B build-bench -G Ninja -DVORN_BUILD_BENCH=ON "
        "-DVORN_BUILD_SHELL=OFF -DVORN_BUILD_TESTS=OFF && cmake --build build-bench --target "
        "bench_scan && build-bench/bin/bench_scan --files %d --folders %d --passes %d\n",
        o.files, o.folders, o.passes);

    if (o.dir.empty()) fs::remove_all(base);
    return 0;
}
