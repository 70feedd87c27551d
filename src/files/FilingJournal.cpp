#include "files/FilingJournal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "platform/AtomicFile.h"
#include "platform/PathUtilities.h"
#include "platform/PlatformLog.h"
#include "platform/PropertyList.h"
#include "platform/Value.h"

namespace vorn {
namespace fs = std::filesystem;

namespace {

constexpr const char* kMoveTemporaryPrefix = ".vorn-move-";

std::int64_t asInt(std::uint64_t v) {
    return static_cast<std::int64_t>(v);
}

Value toValue(const FilingEntry& e) {
    Dictionary d;
    d["root"] = e.root;
    d["item"] = e.item;
    d["destRoot"] = e.destRoot;
    d["setAside"] = e.setAside;
    d["device"] = asInt(e.stamp.device);
    d["inode"] = asInt(e.stamp.inode);
    d["size"] = e.stamp.size;
    d["mtimeNs"] = e.stamp.mtimeNs;
    if (!e.filedAs.empty()) d["filedAs"] = e.filedAs;
    if (e.sourceLeft) d["sourceLeft"] = true;
    if (e.done) d["done"] = true;
    return Value(std::move(d));
}

std::optional<FilingEntry> fromValue(const Value& v) {
    const Dictionary* d = v.asDictionary();
    if (!d) return std::nullopt;
    auto text = [&](const char* key) {
        const std::string* s = stringForKey(*d, key);
        return s ? *s : std::string();
    };
    auto number = [&](const char* key) {
        auto it = d->find(key);
        return it == d->end() ? std::int64_t{0} : it->second.integerValue();
    };
    FilingEntry e;
    e.root = text("root");
    e.item = text("item");
    e.destRoot = text("destRoot");
    if (e.root.empty() || e.item.empty() || e.destRoot.empty()) return std::nullopt;
    auto flag = [&](const char* key) {
        auto it = d->find(key);
        return it != d->end() && it->second.boolValue();
    };
    e.setAside = flag("setAside");
    e.sourceLeft = flag("sourceLeft");
    e.done = flag("done");
    e.stamp.device = static_cast<std::uint64_t>(number("device"));
    e.stamp.inode = static_cast<std::uint64_t>(number("inode"));
    e.stamp.size = number("size");
    e.stamp.mtimeNs = number("mtimeNs");
    e.filedAs = text("filedAs");
    return e;
}

// " 2": appended, as " " + std::to_string(n) trips GCC 12's -Wrestrict at -O2.
std::string numberSuffix(int n) {
    std::string suffix = " ";
    return suffix += std::to_string(n);
}

bool samePhoto(const FilingEntry& a, const FilingEntry& b) {
    return a.root == b.root && a.item == b.item;
}

}  // namespace

std::optional<FileStamp> FileStamp::of(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return FileStamp{
        static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
        static_cast<std::int64_t>(st.st_size),
        static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

FilingJournal::FilingJournal(std::string path, std::shared_ptr<Clock> clock)
    : path_(std::move(path)), clock_(std::move(clock)) {}

void FilingJournal::loadLocked() {
    if (loaded_) return;
    loaded_ = true;
    if (!existsAtPath(path_)) return;
    std::string error;
    auto root = readPropertyListFile(path_, &error);
    const Array* list = root ? root->asArray() : nullptr;
    if (!list) {
        keepAsideLocked(root ? "the top level is not a list" : error);
        return;
    }
    for (const Value& v : *list) {
        if (auto e = fromValue(v))
            entries_.push_back(std::move(*e));
        else
            platformLog("FilingJournal => an entry of [%s] could not be read: %s", path_.c_str(),
                        v.description().c_str());
    }
}

// The next save would write over what could not be read: it is kept for a look by hand.
void FilingJournal::keepAsideLocked(const std::string& reason) {
    const std::string stamp = formatLocalTime(clock_->now(), "%Y%m%d_%H%M%S");
    std::string aside = path_ + ".unreadable-" + stamp;
    for (int n = 2; existsAtPath(aside) && n < 1000; ++n)
        aside = path_ + ".unreadable-" + stamp + "-" + std::to_string(n);
    loadProblem_ = "The filing journal " + path_ + " could not be read (" + reason + ")";
    if (::rename(path_.c_str(), aside.c_str()) == 0) {
        loadProblem_ += "; it was kept as " + aside +
                        ". Photos it listed as sent but not yet filed may be sent again";
    } else {
        loadProblem_ += std::string(" nor kept aside: ") + std::strerror(errno);
    }
    logAt(LogLevel::Warn, "FilingJournal => %s", loadProblem_.c_str());
}

std::string FilingJournal::loadProblem() {
    std::lock_guard lock(mutex_);
    loadLocked();
    return loadProblem_;
}

bool FilingJournal::saveLocked(std::string* error) {
    Array list;
    for (const FilingEntry& e : entries_) list.push_back(toValue(e));
    const std::string bytes = toXmlPropertyList(Value(std::move(list)));
    std::string why;
    // Not synced: two flushes per photo would cost more than the upload on a local service,
    // and a power cut that loses the journal only means the photo is sent once more.
    auto write = [&] { return writeFileAtomically(path_, bytes, 0600, &why, Sync::No); };
    bool written = write();
    std::error_code ec;
    // Its folder is made when a write finds it missing, not looked for at every write.
    if (!written && fs::create_directories(fs::path(path_).parent_path(), ec)) written = write();
    if (!written) {
        platformLog("FilingJournal => cannot write [%s]: %s", path_.c_str(), why.c_str());
        if (error) *error = why;
        return false;
    }
    return true;
}

void FilingJournal::eraseLocked(const FilingEntry& entry) {
    std::erase_if(entries_, [&](const FilingEntry& e) { return samePhoto(e, entry); });
}

bool FilingJournal::record(const FilingEntry& entry, std::string* error) {
    std::lock_guard lock(mutex_);
    loadLocked();
    eraseLocked(entry);
    entries_.push_back(entry);
    return saveLocked(error);
}

std::vector<FilingEntry> FilingJournal::entries() {
    std::lock_guard lock(mutex_);
    loadLocked();
    return entries_;
}

std::set<std::string> FilingJournal::waitingItems(const std::string& root) {
    std::set<std::string> items;
    for (const FilingEntry& e : entries())
        if (e.root == root) items.insert(e.item);
    return items;
}

FileMoveResult FilingJournal::file(FilingEntry entry, const Clock& clock) {
    std::lock_guard filing(filing_);
    auto update = [&](bool done) {
        std::lock_guard lock(mutex_);
        loadLocked();
        eraseLocked(entry);
        if (!done) entries_.push_back(entry);
        saveLocked(nullptr);
    };

    const std::string photo = appendingPathComponent(entry.root, entry.item);
    if (entry.done) {
        // Filed earlier, its source copy left behind: remembered while that copy is there.
        auto now = FileStamp::of(photo);
        if (!now || !(*now == entry.stamp)) update(true);
        return {};
    }
    std::string leftWhy;
    bool justFiled = false;
    if (entry.filedAs.empty()) {
        auto now = FileStamp::of(photo);
        if (!now) {
            // Filed just before an interruption, or taken away: only its movie may be left.
            entry.filedAs = entry.item;
        } else if (!(*now == entry.stamp)) {
            // Saved anew since it was sent: that is a new photo, and goes out as one.
            platformLog("FilingJournal => [%s] changed since it was sent; it is sent again",
                        photo.c_str());
            update(true);
            return {};
        } else if (entry.setAside) {
            std::string error;
            bool left = false;
            auto filed = KDW_FileManager::setItemAside(entry.item, entry.root, entry.destRoot,
                                                       clock, &error, false, &left);
            if (!filed) return {false, error};
            entry.filedAs = *filed;
            entry.sourceLeft = left;
            if (left) leftWhy = error;
            justFiled = true;
        } else {
            FileMoveResult r = KDW_FileManager::moveFileToPath(entry.item, entry.root,
                                                               entry.destRoot, true, false);
            if (!r) return r;
            entry.filedAs = entry.item;
            entry.sourceLeft = r.sourceLeft;
            if (r.sourceLeft) leftWhy = r.error;
            justFiled = true;
        }
    }

    const std::string movie =
        appendingPathComponent(entry.root, KDW_FileManager::companionMovieItem(entry.item));
    const bool withMovie =
        KDW_FileManager::companionMovieItem(entry.item) != entry.item && existsAtPath(movie);
    // Where the photo went is written down before the movie follows or the entry stays: a
    // photo alone, crossed off just below, needs no second write (an entry whose photo is gone
    // was filed).
    if (justFiled && (withMovie || entry.sourceLeft)) update(false);
    if (withMovie) {
        const std::string movieItem = KDW_FileManager::companionMovieItem(entry.filedAs);
        FileMoveResult r;
        // Set aside, nothing is replaced: a name taken since (or a pair parted by a kill)
        // gets a number.
        for (int n = 0; n < 100; ++n) {
            std::string dest = appendingPathComponent(entry.destRoot, movieItem);
            if (n > 0)
                dest = appendingPathComponent(
                    deletingLastPathComponent(dest),
                    KDW_FileManager::nameWithSuffix(lastPathComponent(dest), numberSuffix(n)));
            r = KDW_FileManager::moveFileAtPath(movie, dest, !entry.setAside);
            if (r || !entry.setAside || !existsAtPath(dest)) break;
        }
        if (!r) return r;
    }
    if (entry.sourceLeft) {
        entry.done = true;
        update(false);
        const std::string why =
            leftWhy.empty() ? std::string("the source copy could not be removed") : leftWhy;
        logAt(LogLevel::Warn,
              "FilingJournal => [%s] is filed, but %s; it is left where it is and not sent again",
              photo.c_str(), why.c_str());
        return {true, "filed; " + why, true};
    }
    update(true);
    return {};
}

std::vector<FilingJournal::Failure> FilingJournal::retryAll(const Clock& clock) {
    std::vector<Failure> failures;
    for (const FilingEntry& e : entries()) {
        if (!e.done)
            platformLog("FilingJournal => filing [%s]/[%s] again", e.root.c_str(), e.item.c_str());
        FileMoveResult r = file(e, clock);
        if (!r) failures.push_back({e, r.error});
    }
    return failures;
}

int removeStaleMoveTemporaries(const std::string& folder, SystemTime before) {
    int removed = 0;
    std::error_code ec;
    const auto options = fs::directory_options::skip_permission_denied;
    for (auto it = fs::recursive_directory_iterator(folder, options, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.rfind(kMoveTemporaryPrefix, 0) != 0) continue;
        struct stat st {};
        if (::lstat(it->path().c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        // The status time: a copy's modification time is the photo's own, however new the copy.
        const SystemTime changed(std::chrono::duration_cast<SystemTime::duration>(
            std::chrono::seconds(st.st_ctim.tv_sec) +
            std::chrono::nanoseconds(st.st_ctim.tv_nsec)));
        if (changed >= before) continue;  // a move of this process, under way
        if (::unlink(it->path().c_str()) == 0) {
            platformLog("Removed [%s], left by a move that was cut short", it->path().c_str());
            ++removed;
        }
    }
    return removed;
}

}  // namespace vorn
