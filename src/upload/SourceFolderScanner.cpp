#include "upload/SourceFolderScanner.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "files/KDW_FileManager.h"
#include "metadata/CaptureDate.h"
#include "metadata/EmbeddedMetadata.h"
#include "metadata/ImageFile.h"
#include "platform/FileDescriptor.h"
#include "platform/FileWriters.h"
#include "platform/PathUtilities.h"
#include "platform/PlatformLog.h"
#include "settings/PreferenceKeys.h"
#include "settings/Preferences.h"
#include "settings/PreferencesStore.h"
#include "upload/Records.h"

namespace vorn {

namespace {

// Enough for every file of a large event; past it the cache starts again.
constexpr std::size_t kMaxRememberedFiles = 100000;

constexpr const char* kDefaultFuseAction = "upload.upload";
constexpr const char* kFuseActionRurizururiz = "upload.rurizururiz";
constexpr const char* kAccountDererave = "dererave";
constexpr const char* kAccountRurizururiz = "rurizururiz";

// The event caption of a fuse action (case matters).
const char* eventCaption(const std::string& fuseAction) {
    static const std::pair<const char*, const char*> table[] = {
        {"upload.vivizozu", "From Vivizozu 2010 Event."},
        {"upload.riri", "From Riri Miami 2010 Event."},
        {"upload.zovidi", "From Zovidi 2010 Event."},
        {"upload.zarar", "From ZARAR 2010."},
        {"upload.vivadezeduza", "From VivAdeZeduza 2010 Event."},
    };
    for (const auto& [action, caption] : table)
        if (fuseAction == action) return caption;
    return nullptr;
}

// Named like a photo: not hidden, ".jpg", ".jpeg" or ".png" in any case.
bool hasPhotoName(const std::string& name) {
    if (name.empty() || name[0] == '.') return false;
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos) return false;
    const std::string_view ext = std::string_view(name).substr(dot + 1);
    auto is = [&](std::string_view want) {
        return ext.size() == want.size() &&
               std::equal(ext.begin(), ext.end(), want.begin(), [](char a, char b) {
                   return (a >= 'A' && a <= 'Z' ? a - 'A' + 'a' : a) == b;
               });
    };
    return is("jpg") || is("jpeg") || is("png");
}

// The ".mov" test of every name met, without building the extension.
bool hasMovieExtension(const std::string& name) {
    const std::size_t n = name.size();
    if (n < 5 || name[n - 4] != '.') return false;
    auto lower = [](char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); };
    return lower(name[n - 3]) == 'm' && lower(name[n - 2]) == 'o' && lower(name[n - 1]) == 'v';
}

bool ruledOutByName(const std::string& name) {
    return name.empty() || name[0] == '.' || hasMovieExtension(name);
}

std::int64_t mtimeNanoseconds(const struct stat& st) {
    return static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

SystemTime timeOfNanoseconds(std::int64_t ns) {
    return SystemTime(
        std::chrono::duration_cast<SystemTime::duration>(std::chrono::nanoseconds(ns)));
}

}  // namespace

SourceFolderScanner::SourceFolderScanner(std::shared_ptr<Clock> clock,
                                         std::chrono::milliseconds settleInterval)
    : SourceFolderScanner(std::move(clock), [settleInterval] {
          Options options;
          options.settleInterval = settleInterval;
          return options;
      }()) {}

SourceFolderScanner::SourceFolderScanner(std::shared_ptr<Clock> clock, Options options)
    : clock_(std::move(clock)), options_(std::move(options)) {
    if (!options_.monotonicNow)
        options_.monotonicNow = [] { return std::chrono::steady_clock::now(); };
    if (!options_.isShared) options_.isShared = [](int dirFd) { return onSharedFileSystem(dirFd); };
}

void SourceFolderScanner::noteWatching(bool watching) {
    std::lock_guard lock(cacheMutex_);
    // What was vouched for before the watcher ran (or while it missed things) is not.
    if (watching != watching_) {
        fullPassRequested_ = true;
        ++restGeneration_;
    }
    watching_ = watching;
}

void SourceFolderScanner::noteChangedFolders(const std::string& watchedRoot,
                                             const std::vector<std::string>& folders) {
    std::lock_guard lock(cacheMutex_);
    if (watchedRoot != watchedRoot_) {
        watchedRoot_ = watchedRoot;
        fullPassRequested_ = true;
        ++restGeneration_;
    }
    for (const std::string& folder : folders) {
        if (folder == watchedRoot) {
            fullPassRequested_ = true;  // an overflow, or the root's own entries
            ++restGeneration_;
            continue;
        }
        if (folder.size() > watchedRoot.size() + 1 &&
            folder.compare(0, watchedRoot.size(), watchedRoot) == 0 &&
            folder[watchedRoot.size()] == '/')
            changedFolders_.insert(folder.substr(watchedRoot.size() + 1));
        else
            fullPassRequested_ = true;
    }
}

void SourceFolderScanner::noteFileClosed(const std::string& path) {
    struct stat st {};
    const bool regular = ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    std::lock_guard lock(cacheMutex_);
    // The folders from the root down are listed again: the file may be in a folder that is new
    // (its watch found it there), whose parent's own event is still on its way.
    const std::string folder = deletingLastPathComponent(path);
    if (!watchedRoot_.empty() && folder.size() > watchedRoot_.size() + 1 &&
        folder.compare(0, watchedRoot_.size(), watchedRoot_) == 0 &&
        folder[watchedRoot_.size()] == '/') {
        const std::string rel = folder.substr(watchedRoot_.size() + 1);
        changedFolders_.insert("");
        for (std::size_t slash = rel.find('/'); slash != std::string::npos;
             slash = rel.find('/', slash + 1))
            changedFolders_.insert(rel.substr(0, slash));
        changedFolders_.insert(rel);
    }
    if (!regular) return;
    if (closedFiles_.size() > 10000) closedFiles_.clear();  // only recent closes matter
    closedFiles_[path] = Stamp{static_cast<std::int64_t>(st.st_size), mtimeNanoseconds(st)};
    if (ruledOutByName(lastPathComponent(path))) return;  // never rests: nothing to look again at
    if (rewritten_.size() > 10000) {  // too many to follow one by one: look at everything
        rewritten_.clear();
        ++restGeneration_;
    }
    rewritten_.insert(path);
}

void SourceFolderScanner::requestFullPass() {
    std::lock_guard lock(cacheMutex_);
    fullPassRequested_ = true;
    // Without a watcher nothing reports a file rewritten in place: the timer's pass is where
    // rested files are looked at again. With one, only writers on other machines go unseen.
    if (!watching_)
        ++restGeneration_;
    else if (clock_->now() - lastSharedLook_ >= options_.sharedLookInterval)
        ++sharedLookGeneration_;
}

// Readable metadata does not prove a photo complete (a JPEG carries its EXIF first). Any one of
// these does: its time stamp is a settle interval old; it was the same at two looks a settle
// interval apart by the monotonic clock, whatever its time stamp says (a camera clock hours
// ahead); nobody has it open for writing, where a writer would be seen. When none does yet,
// settleLeft is how long until a look could.
bool SourceFolderScanner::isWritten(const PassSettings& settings, int dirFd,
                                    const std::string& name, const std::string& full, bool isLink,
                                    const struct stat& st, std::chrono::milliseconds& settleLeft) {
    using std::chrono::milliseconds;
    const Stamp stamp{static_cast<std::int64_t>(st.st_size), mtimeNanoseconds(st)};
    const auto age =
        std::chrono::duration_cast<milliseconds>(clock_->now() - timeOfNanoseconds(stamp.mtimeNs));
    if (age >= options_.settleInterval) return true;
    const FileId id{st.st_dev, st.st_ino};
    const auto now = options_.monotonicNow();
    milliseconds looked{0};
    {
        std::lock_guard lock(cacheMutex_);
        if (auto it = looks_.find(id); it != looks_.end() && it->second.stamp == stamp) {
            looked = std::chrono::duration_cast<milliseconds>(now - it->second.at);
            if (looked >= options_.settleInterval) {
                looks_.erase(it);
                return true;
            }
        }
    }
    if (nobodyWrites(dirFd, name, full, isLink, st)) {
        std::lock_guard lock(cacheMutex_);
        looks_.erase(id);
        return true;
    }
    {
        std::lock_guard lock(cacheMutex_);
        if (looks_.size() >= kMaxRememberedFiles) looks_.clear();
        Look& look = looks_[id];
        if (!(look.stamp == stamp)) {
            look = Look{stamp, now, 0};
            looked = milliseconds(0);
        }
        look.pass = settings.pass;
    }
    settleLeft = options_.settleInterval - looked;
    if (age >= milliseconds(0)) settleLeft = std::min(settleLeft, options_.settleInterval - age);
    return false;
}

bool SourceFolderScanner::nobodyWrites(int dirFd, const std::string& name, const std::string& full,
                                       bool isLink, const struct stat& st) {
    // A link was looked at and stays inside the source folder; a name that has become one
    // since is not followed.
    Fd fd(::openat(dirFd, name.c_str(),
                   O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (isLink ? 0 : O_NOFOLLOW)));
    struct stat opened {};
    if (!fd.valid() || ::fstat(fd.get(), &opened) != 0 || opened.st_dev != st.st_dev ||
        opened.st_ino != st.st_ino || opened.st_size != st.st_size ||
        mtimeNanoseconds(opened) != mtimeNanoseconds(st))
        return false;  // changed meanwhile: looked at again
    if (onSharedFileSystem(fd.get())) {
        // Writers on other machines are never seen: only a close seen here, by a writer of this
        // machine, lets nobody-writes-it vouch.
        std::lock_guard lock(cacheMutex_);
        auto it = closedFiles_.find(full);
        if (it == closedFiles_.end() ||
            !(it->second == Stamp{static_cast<std::int64_t>(st.st_size), mtimeNanoseconds(st)}))
            return false;
    }
    return fileWriters(fd.get()) == FileWriters::None;
}

bool SourceFolderScanner::linkStaysInside(const PassSettings& settings, const std::string& folder,
                                          const std::string& folderRel, const std::string& name) {
    auto resolved = [](const std::string& path) {
        char* real = path.empty() ? nullptr : ::realpath(path.c_str(), nullptr);
        std::string text = real ? real : "";
        std::free(real);
        return text;
    };
    auto within = [](const std::string& path, const std::string& top) {
        return !top.empty() && path.size() > top.size() && path.compare(0, top.size(), top) == 0 &&
               (top == "/" || path[top.size()] == '/');
    };
    const std::string full = appendingPathComponent(folder, name);
    const std::string target = resolved(full);
    if (target.empty()) return false;  // leads nowhere (yet): nothing to send
    const char* why = nullptr;
    if (!within(target, resolved(settings.rootFolder)))
        why = "a link to a file outside the source folder";
    else if (within(target, resolved(settings.mirrorFolder)) ||
             within(target, resolved(settings.problemFolder)))
        why = "a link to a file filed already";
    if (!why) return true;
    bool first;
    {
        std::lock_guard lock(cacheMutex_);
        if (linksReported_.size() >= kMaxRememberedFiles) linksReported_.clear();
        first = linksReported_.insert(full).second;
    }
    if (first)
        reportSkipped(folderRel.empty() ? name : folderRel + "/" + name, why,
                      UploadOutcome::Skip::Link);
    return false;
}

// The photo's metadata: a PNG's own, else the JPEG reading.
void SourceFolderScanner::readMetadata(const std::string& full, Found& found) {
    found.metadataFromPng = false;
    found.metadata = getVornMetaDataFromPng(full);
    if (found.metadata)
        found.metadataFromPng = true;
    else
        found.metadata = getVornMetaDataFromJpeg(full);
}

SourceFolderScanner::Verdict SourceFolderScanner::judgeFile(const PassSettings& settings, int dirFd,
                                                            const Entry& entry,
                                                            const std::string& folder,
                                                            const std::string& folderRel,
                                                            std::chrono::milliseconds& settleLeft,
                                                            Found& found, bool& rested) {
    // What the name alone decides comes first: most files met are passed over here, unstatted
    // and without a path built.
    const std::string& name = entry.name;
    if (entry.ruledOutByName) return Verdict::NotEligible;
    if (!settings.baseIdsFromFileNames && folderRel.empty()) {
        // Said once per file: the same stray file is met on every full pass.
        warnOncePerKey(appendingPathComponent(folder, name),
                       stringWithFormat("Root Item [%s] May NOT be Uploaded!!!!!", name.c_str()));
        if (hasPhotoName(name)) noteLoose(name, settings.pass);
        return Verdict::NotEligible;
    }

    judgedFiles_.fetch_add(1);
    // A link is followed only where it stays inside the source folder.
    struct stat st {};
    if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        // Gone (filed a moment ago, the watcher's word not in yet).
        found.notWaiting = true;
        return Verdict::NotEligible;
    }
    const bool isLink = S_ISLNK(st.st_mode);
    if (isLink && (!linkStaysInside(settings, folder, folderRel, name) ||
                   ::fstatat(dirFd, name.c_str(), &st, 0) != 0)) {
        found.notWaiting = true;
        return Verdict::NotEligible;
    }
    if (!S_ISREG(st.st_mode)) return Verdict::NotEligible;
    if (knownWithoutMetadata(settings, folderRel, name, st, rested)) {
        found.notWaiting = true;
        return Verdict::NotEligible;
    }
    found.rel = folderRel.empty() ? name : folderRel + "/" + name;
    if (options_.skipItem && options_.skipItem(found.rel)) return Verdict::Skipped;
    const std::string full = appendingPathComponent(folder, name);
    if (settings.isWaitingToRetry && *settings.isWaitingToRetry &&
        (*settings.isWaitingToRetry)(full))
        return Verdict::Skipped;  // failed lately; tried again when its wait is over
    if (settings.baseIdsFromFileNames && !IsValidImageObject(full)) return Verdict::NotEligible;
    metadataReads_.fetch_add(1);
    readMetadata(full, found);
    if (!found.metadata) {
        rememberWithoutMetadata(settings, found.rel, st, rested);
        found.notWaiting = true;
        return Verdict::NotEligible;
    }
    // The movie goes out with the photo: it must be there, inside the source folder, and
    // written too.
    const std::string movieName =
        settings.uploadMovie ? deletingPathExtension(name) + ".mov" : std::string();
    struct stat movie {};
    bool movieIsLink = false;
    if (settings.uploadMovie) {
        if (::fstatat(dirFd, movieName.c_str(), &movie, AT_SYMLINK_NOFOLLOW) != 0)
            return Verdict::NotEligible;
        movieIsLink = S_ISLNK(movie.st_mode);
        if (movieIsLink && (!linkStaysInside(settings, folder, folderRel, movieName) ||
                            ::fstatat(dirFd, movieName.c_str(), &movie, 0) != 0))
            return Verdict::NotEligible;
        if (!S_ISREG(movie.st_mode)) return Verdict::NotEligible;
    }
    if (!isWritten(settings, dirFd, name, full, isLink, st, settleLeft) ||
        (settings.uploadMovie &&
         !isWritten(settings, dirFd, movieName, appendingPathComponent(folder, movieName),
                    movieIsLink, movie, settleLeft)))
        return Verdict::NotSettled;
    return Verdict::Eligible;
}

// A file still being written may lack its metadata for now: it is reported as skipped only
// once it has rested for the settle interval, by its time stamp or by the monotonic clock.
bool SourceFolderScanner::hasRested(const Stamp& stamp,
                                    std::chrono::steady_clock::time_point since) const {
    return clock_->now() - timeOfNanoseconds(stamp.mtimeNs) >= options_.settleInterval ||
           options_.monotonicNow() - since >= options_.settleInterval;
}

bool SourceFolderScanner::knownWithoutMetadata(const PassSettings& settings,
                                               const std::string& folderRel,
                                               const std::string& name, const struct stat& st,
                                               bool& rested) {
    const Stamp stamp{static_cast<std::int64_t>(st.st_size), mtimeNanoseconds(st)};
    std::unique_lock lock(cacheMutex_);
    const FileId id{st.st_dev, st.st_ino};
    WithoutMetadata::File* file = withoutMetadata_.find(id);
    if (!file) return false;
    if (!(file->stamp == stamp)) {  // changed since: read again
        withoutMetadata_.erase(id);
        return false;
    }
    file->pass = settings.pass;
    // Reported once it had rested, so no clock need say so again.
    rested = file->reported || hasRested(stamp, file->since);
    const bool report = !file->reported && rested;
    if (report) withoutMetadata_.markReported(*file);
    lock.unlock();
    if (report) reportSkipped(folderRel.empty() ? name : folderRel + "/" + name);
    return true;
}

void SourceFolderScanner::rememberWithoutMetadata(const PassSettings& settings,
                                                  const std::string& rel, const struct stat& st,
                                                  bool& rested) {
    const Stamp stamp{static_cast<std::int64_t>(st.st_size), mtimeNanoseconds(st)};
    const auto now = options_.monotonicNow();
    rested = hasRested(stamp, now);
    {
        std::lock_guard lock(cacheMutex_);
        if (withoutMetadata_.size() >= kMaxRememberedFiles)  // start again past a large event
            withoutMetadata_.clear();
        withoutMetadata_.remember(FileId{st.st_dev, st.st_ino},
                                  WithoutMetadata::File{stamp, rested, settings.pass, now});
    }
    if (rested) reportSkipped(rel);
}

SourceFolderScanner::FolderCache& SourceFolderScanner::listing(const std::string& rel, int dirFd,
                                                               bool trustCache) {
    FolderCache& cache = folders_[rel];
    if (trustCache && cache.listed) return cache;
    struct stat st {};
    if (::fstat(dirFd, &st) != 0) {
        cache = FolderCache();
        return cache;
    }
    const std::int64_t mtime = mtimeNanoseconds(st);
    if (cache.mtimeNs == mtime) return cache;

    std::optional<std::vector<Entry>> read = readEntries(dirFd, cache.entries.size());
    if (!read) {
        cache = FolderCache();
        return cache;
    }
    std::vector<Entry>& entries = *read;
    forgetFilesThatLeft(rel, cache, entries);
    cache.device = st.st_dev;
    carryOver(cache, entries, cache.seenMtimeNs == mtime);
    cache.entries = std::move(entries);
    cache.listed = true;
    cache.seenMtimeNs = mtime;
    // A folder changed again within the file system's time resolution could keep its time:
    // only a listing taken well after the folder's last change is kept.
    const auto age = clock_->now() - SystemTime(std::chrono::duration_cast<SystemTime::duration>(
                                         std::chrono::nanoseconds(mtime)));
    cache.mtimeNs = age > std::chrono::seconds(1) ? mtime : -1;
    return cache;
}

// The folder's files and sub-folders in name order; nothing when it cannot be read. Entries
// are typed from the directory read itself: a scan of a big tree must not stat every file it
// passes over. Symbolic links to folders are not descended into.
std::optional<std::vector<SourceFolderScanner::Entry>> SourceFolderScanner::readEntries(
    int dirFd, std::size_t expected) {
    std::vector<Entry> entries;
    entries.reserve(expected);
    int readFd = ::dup(dirFd);
    DIR* dir = readFd >= 0 ? ::fdopendir(readFd) : nullptr;
    if (!dir) {
        if (readFd >= 0) ::close(readFd);
        return std::nullopt;
    }
    ::rewinddir(dir);
    while (dirent* d = ::readdir(dir)) {
        std::string name = d->d_name;
        if (name == "." || name == "..") continue;
        unsigned char type = d->d_type;
        Entry e;
        e.name = std::move(name);
        e.ino = d->d_ino;
        if (type == DT_UNKNOWN || type == DT_LNK) {
            struct stat est {};
            if (::fstatat(dirFd, e.name.c_str(), &est, AT_SYMLINK_NOFOLLOW) != 0) continue;
            e.ino = est.st_ino;
            if (S_ISLNK(est.st_mode)) {
                if (::fstatat(dirFd, e.name.c_str(), &est, 0) != 0 || S_ISDIR(est.st_mode))
                    continue;
                e.isLink = true;
            }
            type = S_ISDIR(est.st_mode) ? DT_DIR : S_ISREG(est.st_mode) ? DT_REG : DT_UNKNOWN;
        }
        if (type == DT_DIR)
            e.isDirectory = true;
        else if (type != DT_REG)
            continue;  // sockets, fifos, devices: never photos
        else if (ruledOutByName(e.name))
            e.ruledOutByName = e.ineligible = true;
        else
            e.photoName = hasPhotoName(e.name);
        entries.push_back(std::move(e));
    }
    ::closedir(dir);
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.name < b.name; });
    return entries;
}

// When files only left the folder (a photo filed after its upload), or the folder is as it was
// (sameTime), what was learnt of each file still there, the same file by its inode, carries
// over. A name that came back (removed and written anew, perhaps under the same inode) looks
// the same in a listing: where a name is new, or the folder changed and none has gone,
// everything is judged again.
void SourceFolderScanner::carryOver(const FolderCache& cache, std::vector<Entry>& entries,
                                    bool sameTime) {
    bool onlyRemovals = entries.size() < cache.entries.size() ||
                        (entries.size() == cache.entries.size() && sameTime);
    for (auto e = entries.cbegin(), old = cache.entries.begin();
         onlyRemovals && e != entries.cend(); ++e) {
        while (old != cache.entries.end() && old->name < e->name) ++old;
        onlyRemovals = old != cache.entries.end() && old->name == e->name;
    }
    auto old = cache.entries.begin();
    for (Entry& e : entries) {
        if (!onlyRemovals) break;
        while (old != cache.entries.end() && old->name < e.name) ++old;
        if (old->ino != e.ino || old->isDirectory || e.isDirectory) continue;
        e.rested = old->rested;
        e.restGeneration = old->restGeneration;
        e.sharedLookGeneration = old->sharedLookGeneration;
        e.notWaiting = old->notWaiting;
    }
}

// A file found without metadata that has left its folder, or whose folder has gone, is
// forgotten at once (no longer counted as skipped): passes that pass over rested files never
// meet it to tell.
void SourceFolderScanner::forgetFilesThatLeft(const std::string& rel, const FolderCache& cache,
                                              const std::vector<Entry>& entries) {
    std::vector<FileId> left;
    auto now = entries.begin();
    for (const Entry& old : cache.entries) {
        if (old.ruledOutByName) continue;
        while (now != entries.end() && now->name < old.name) ++now;
        if (now != entries.end() && now->name == old.name && now->ino == old.ino) continue;
        if (old.isDirectory)
            forgetFolder(rel.empty() ? old.name : rel + "/" + old.name);
        else
            left.push_back(FileId{cache.device, old.ino});
    }
    if (left.empty()) return;
    std::lock_guard lock(cacheMutex_);
    for (const FileId& id : left) withoutMetadata_.erase(id);
}

void SourceFolderScanner::forgetFolder(const std::string& rel) {
    auto it = folders_.find(rel);
    if (it == folders_.end()) return;
    const FolderCache gone = std::move(it->second);
    folders_.erase(it);
    forgetFilesThatLeft(rel, gone, {});
}

// A folder the watcher vouches for (no event since it was last looked at) is taken as it was:
// its listing and what was found ineligible in it.
bool SourceFolderScanner::vouchedFor(const PassSettings& settings, const std::string& rel) {
    bool vouched = false;
    {
        std::lock_guard lock(cacheMutex_);
        vouched = changedFolders_.erase(rel) == 0 && !settings.full && watching_;
    }
    return vouched && folders_.find(rel) != folders_.end();
}

// Files of this folder closed by a writer since they were judged: looked at again even when
// they had rested.
std::vector<std::string> SourceFolderScanner::rewrittenIn(const std::string& folder) {
    std::vector<std::string> rewritten;
    std::lock_guard lock(cacheMutex_);
    for (const std::string& path : rewritten_)
        if (path.size() > folder.size() + 1 && path.compare(0, folder.size(), folder) == 0 &&
            path[folder.size()] == '/' && path.find('/', folder.size() + 1) == std::string::npos)
            rewritten.push_back(path.substr(folder.size() + 1));
    return rewritten;
}

// Mirrors the sub-folder name of the folder dirFd with the source folder's permissions (an
// existing one stays). False for a filing folder, which must never be met again as something
// to upload.
bool SourceFolderScanner::mirrorSubfolder(const PassSettings& settings, const ScanInput& input,
                                          int dirFd, const std::string& name,
                                          const std::string& childRel) {
    // A listed folder is never a link (those are not descended into): one look gives both
    // where it leads and its permissions.
    struct stat self {};
    const bool looked = ::fstatat(dirFd, name.c_str(), &self, 0) == 0;
    if (looked &&
        std::find(settings.filingFolders.begin(), settings.filingFolders.end(),
                  std::make_pair(self.st_dev, self.st_ino)) != settings.filingFolders.end()) {
        platformLog("[%s] is where photos are filed; not scanned", childRel.c_str());
        return false;
    }
    std::string mirrored = appendingPathComponent(input.mirrorFolder, childRel);
    if (looked && ::mkdir(mirrored.c_str(), self.st_mode & 07777) == 0)
        ::chmod(mirrored.c_str(), self.st_mode & 07777);
    return true;
}

std::optional<SourceFolderScanner::Found> SourceFolderScanner::walk(
    const PassSettings& settings, const ScanInput& input, const std::string& rel,
    std::optional<std::chrono::milliseconds>& retryAfter) {
    const std::string folder = appendingPathComponent(input.rootFolder, rel);
    Fd dirFd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dirFd.valid()) {
        forgetFolder(rel);
        return std::nullopt;
    }
    const bool vouched = vouchedFor(settings, rel);
    FolderCache& cache = listing(rel, dirFd.get(), vouched);
    cache.walkedInPass = settings.pass;
    const std::vector<std::string> rewritten = rewrittenIn(folder);
    std::optional<bool> shared;  // asked only when it decides something
    auto stillRests = [&](const Entry& e) {
        if (!e.rested || e.restGeneration != settings.restGeneration ||
            std::find(rewritten.begin(), rewritten.end(), e.name) != rewritten.end())
            return false;
        if (e.sharedLookGeneration == settings.sharedLookGeneration) return true;
        if (!shared) shared = options_.isShared(dirFd.get());
        return !*shared;
    };
    // The walk below adds other folders to folders_, which leaves this one where it is.
    for (Entry& e : cache.entries) {
        if (e.ruledOutByName || (vouched && e.ineligible)) continue;
        if (stillRests(e)) {
            e.ineligible = true;
            e.notWaiting = true;  // only a file without metadata rests
            ++restedPassedOver_;
            continue;
        }
        e.ineligible = false;
        e.rested = false;
        if (e.isDirectory) {
            std::string childRel = rel.empty() ? e.name : rel + "/" + e.name;
            if (!mirrorSubfolder(settings, input, dirFd.get(), e.name, childRel)) continue;
            if (auto found = walk(settings, input, childRel, retryAfter)) return found;
            continue;
        }
        if (!input.awaitingFiling.empty() &&
            input.awaitingFiling.count(rel.empty() ? e.name : rel + "/" + e.name))
            continue;  // sent already; only its filing is left
        std::chrono::milliseconds settleLeft{0};
        Found found;
        bool rested = false;
        const Verdict verdict =
            judgeFile(settings, dirFd.get(), e, folder, rel, settleLeft, found, rested);
        if (!rewritten.empty() &&
            std::find(rewritten.begin(), rewritten.end(), e.name) != rewritten.end()) {
            std::lock_guard lock(cacheMutex_);
            rewritten_.erase(appendingPathComponent(folder, e.name));
        }
        e.notWaiting = found.notWaiting;
        switch (verdict) {
            case Verdict::Eligible:
                return found;
            case Verdict::NotSettled:
                platformLog("[%s] is still being written; passed over for now", found.rel.c_str());
                retryAfter = retryAfter ? std::min(*retryAfter, settleLeft) : settleLeft;
                break;
            case Verdict::Skipped:
                break;  // asked again next pass
            case Verdict::NotEligible:
                e.ineligible = true;
                e.rested = rested;
                e.restGeneration = settings.restGeneration;
                e.sharedLookGeneration = settings.sharedLookGeneration;
                break;
        }
    }
    return std::nullopt;
}

void SourceFolderScanner::reportSkipped(const std::string& rel, const char* reason,
                                        UploadOutcome::Skip skip) {
    if (!ui_) {
        platformLog("skipped %s %s", rel.c_str(), reason);
        return;
    }
    UploadOutcome outcome;
    outcome.kind = UploadOutcome::Kind::Skipped;
    outcome.name = rel;
    outcome.reason = reason;
    outcome.skip = skip;
    ui_->showUploadOutcome(outcome);
}

void SourceFolderScanner::noteLoose(const std::string& name, std::uint64_t pass) {
    bool isNew = false;
    {
        std::lock_guard lock(cacheMutex_);
        if (loose_.size() >= kMaxRememberedFiles) loose_.clear();
        auto [it, inserted] = loose_.try_emplace(name, pass);
        it->second = pass;
        isNew = inserted;
    }
    if (!isNew || !ui_) return;
    UploadOutcome outcome;
    outcome.kind = UploadOutcome::Kind::Skipped;
    outcome.skip = UploadOutcome::Skip::Loose;
    outcome.name = name;
    outcome.reason = "photos go in a client folder";
    ui_->showUploadOutcome(outcome);
}

// The photos waiting and the photos skipped, as this pass leaves them.
void SourceFolderScanner::reportCounts(const PassSettings& settings, const std::string& root) {
    lastWaitingCount_ = clock_->now();
    const std::size_t waiting = countWaiting(settings, root, "");
    SkippedCount skipped;
    {
        std::lock_guard lock(cacheMutex_);
        skipped.withoutMetadata = withoutMetadata_.reported();
        skipped.loose = loose_.size();
    }
    std::lock_guard lock(countMutex_);
    ++countsShown_;
    ui_->showWaitingCount(waiting);
    ui_->showSkippedCount(skipped);
}

void SourceFolderScanner::reportWaitingBeforeFirstPass(const std::string& root) {
    if (!ui_ || root.empty()) return;
    std::uint64_t before;
    {
        std::lock_guard lock(countMutex_);
        before = countsShown_;
    }
    std::size_t waiting;
    {
        std::lock_guard passLock(passMutex_);  // the count reads and fills the pass's listings
        waiting = countWaiting(PassSettings{}, root, "");
    }
    std::lock_guard lock(countMutex_);
    if (countsShown_ == before) ui_->showWaitingCount(waiting);  // a pass's own count is better
}

// Photos in the tree that a pass may still take: named like photos and not found without
// metadata. Counted from the folder listings the walk keeps, so a pass that walked the tree
// costs no more file system calls; a folder it did not walk is listed (its listing kept while
// the folder is unchanged).
std::size_t SourceFolderScanner::countWaiting(const PassSettings& settings, const std::string& root,
                                              const std::string& rel) {
    FolderCache* cache = nullptr;
    if (auto it = folders_.find(rel);
        it != folders_.end() && it->second.listed && it->second.walkedInPass == settings.pass) {
        cache = &it->second;
    } else {
        Fd dirFd(
            ::open(appendingPathComponent(root, rel).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!dirFd.valid()) return 0;
        bool trusted;
        {
            std::lock_guard lock(cacheMutex_);
            trusted = watching_ && !settings.full && changedFolders_.count(rel) == 0;
        }
        cache = &listing(rel, dirFd.get(), trusted);
    }
    std::size_t count = 0;
    // The listing stays where it is while folders below are listed into folders_.
    for (const Entry& e : cache->entries) {
        if (!e.isDirectory) {
            count += !rel.empty() && e.photoName && !e.notWaiting;
            continue;
        }
        const std::string childRel = rel.empty() ? e.name : rel + "/" + e.name;
        // What is filed is not waiting: a mirror or problem folder inside the source folder
        // (its inode in the listing, then confirmed) is never walked, nor counted.
        auto child = folders_.find(childRel);
        const bool walked = child != folders_.end() && child->second.walkedInPass == settings.pass;
        struct stat self {};
        if (!walked &&
            std::any_of(settings.filingFolders.begin(), settings.filingFolders.end(),
                        [&](const auto& f) { return f.second == e.ino; }) &&
            ::stat(appendingPathComponent(root, childRel).c_str(), &self) == 0 &&
            std::find(settings.filingFolders.begin(), settings.filingFolders.end(),
                      std::make_pair(self.st_dev, self.st_ino)) != settings.filingFolders.end())
            continue;
        count += countWaiting(settings, root, childRel);
    }
    return count;
}

ScanOutcome SourceFolderScanner::chooseNextItem(const ScanInput& input) {
    std::lock_guard passLock(passMutex_);
    // The settings are read once per pass, not once per file.
    PassSettings settings;
    settings.baseIdsFromFileNames = Preferences::getPrefFormBaseIdFromFileName();
    settings.uploadMovie = Preferences::store().boolForKey(sPrefUploadMovie);
    settings.isWaitingToRetry = &input.isWaitingToRetry;
    settings.problemFolder =
        expandTildeInPath(Preferences::getLocalProblemUploadFolder().value_or(""));
    settings.rootFolder = input.rootFolder;
    settings.mirrorFolder = input.mirrorFolder;
    for (const std::string& folder : {input.mirrorFolder, settings.problemFolder}) {
        struct stat st {};
        if (!folder.empty() && ::stat(folder.c_str(), &st) == 0)
            settings.filingFolders.emplace_back(st.st_dev, st.st_ino);
    }
    {
        std::lock_guard lock(cacheMutex_);
        settings.pass = ++passes_;
        // What was judged under other settings is judged again.
        if (!lastSettings_ || !(*lastSettings_ == settings)) ++restGeneration_;
        // Either generation moving on has rested files on shared file systems looked at again.
        if (std::make_pair(restGeneration_, sharedLookGeneration_) != seenGenerations_) {
            seenGenerations_ = {restGeneration_, sharedLookGeneration_};
            lastSharedLook_ = clock_->now();
        }
        settings.restGeneration = restGeneration_;
        settings.sharedLookGeneration = sharedLookGeneration_;
        settings.full = fullPassRequested_ || !watching_ || !lastSettings_ ||
                        !(*lastSettings_ == settings) || lastRoot_ != input.rootFolder ||
                        watchedRoot_.empty();
        fullPassRequested_ = false;
        if (settings.full) changedFolders_.clear();
    }
    if (lastRoot_ != input.rootFolder) folders_.clear();
    lastRoot_ = input.rootFolder;
    lastSettings_ = settings;
    restedPassedOver_ = 0;
    std::optional<std::chrono::milliseconds> retryAfter;
    std::optional<Found> found = walk(settings, input, "", retryAfter);
    if (!found && settings.full && restedPassedOver_ == 0) {
        // A full walk met every file there is: what it did not meet is gone.
        std::lock_guard lock(cacheMutex_);
        withoutMetadata_.forgetUnmetIn(settings.pass);
        std::erase_if(looks_, [&](const auto& e) { return e.second.pass != settings.pass; });
        std::erase_if(loose_, [&](const auto& e) { return e.second != settings.pass; });
    }
    // The waiting count walks the whole tree (names only): on full passes, when the pass found
    // nothing, and at most every few seconds in between, so that event-driven passes keep
    // costing only what changed.
    if (ui_ &&
        (settings.full || !found || clock_->now() - lastWaitingCount_ >= kWaitingCountInterval))
        reportCounts(settings, input.rootFolder);
    if (!found) {
        platformLog("No more images to upload...");
        ScanOutcome nothing;
        nothing.retryAfter = retryAfter;
        return nothing;
    }
    {
        // The item is about to leave: its close, once used, vouches for nothing more.
        std::lock_guard lock(cacheMutex_);
        closedFiles_.erase(appendingPathComponent(input.rootFolder, found->rel));
    }
    ScanOutcome outcome = prepareItem(input, std::move(*found));
    if (outcome.kind == ScanOutcome::Kind::NothingToUpload) outcome.retryAfter = retryAfter;
    return outcome;
}

namespace {

// What the scan works out for the chosen photo, before it becomes the upload item record.
struct ItemFields {
    std::string clientName, captureTime, caption, fuseAction;
    std::optional<std::string> emails, originalPath;
    std::optional<Value> contact, sitting;
};

std::string clientNameOf(const std::string& rel, bool useBaseFileName) {
    const std::string fileName = lastPathComponent(rel);
    if (Preferences::getPrefFormBaseIdFromFileName()) {
        size_t cut = fileName.find('_');
        if (cut == std::string::npos) cut = fileName.find(' ');
        return cut == std::string::npos ? deletingPathExtension(fileName) : fileName.substr(0, cut);
    }
    if (useBaseFileName) return deletingPathExtension(fileName);
    return lastPathComponent(deletingLastPathComponent(rel));
}

// E-mails (the first four) and contact details, from the JPEG reading of the metadata.
void readContacts(const std::optional<Value>& exif, ItemFields& item) {
    if (!exif || !exif->asDictionary()) return;
    const Dictionary& d = *exif->asDictionary();
    if (auto it = d.find("KD_radudivInfo"); it != d.end() && it->second.isDictionary())
        item.contact = it->second;
    if (auto it = d.find("KD_emailsForUpload"); it != d.end() && it->second.isArray()) {
        const Array& list = *it->second.asArray();
        std::string joined;
        for (size_t i = 0; i < list.size() && i < 4; ++i) {
            if (i) joined += ",";
            joined += list[i].stringValue();
        }
        if (!list.empty()) item.emails = joined;
    }
}

// The original path, and the sitting details with the capture time they carry.
void readOriginalPathAndSitting(const std::optional<Value>& metadata, ItemFields& item) {
    if (!metadata || !metadata->asDictionary()) return;
    const Dictionary& d = *metadata->asDictionary();
    if (const std::string* p = stringForKey(d, "OriginalPath")) item.originalPath = *p;
    if (auto it = d.find("SittingInfoDictionary"); it != d.end() && it->second.isDictionary()) {
        item.sitting = it->second;
        if (const std::string* t = stringForKey(*it->second.asDictionary(), "capturetime"))
            item.captureTime = *t;
    }
}

DictionaryPtr itemRecord(const ScanInput& input, const std::string& rel, const std::string& full,
                         const ItemFields& item) {
    DictionaryPtr record = makeRecord(*input.workingCopy);
    Dictionary& r = *record;
    r[cDictKeyLocalMirrorFolder] = expandTildeInPath(
        Preferences::getLocalMasterMirrorSiteFolder().value_or(input.mirrorFolder));
    r[cDictKeyLocalSourceUploadFolder] =
        expandTildeInPath(Preferences::getLocalSourceUploadFolder().value_or(input.rootFolder));
    r[cDictKeyCurItem] = rel;
    r[edUser] = input.userName;
    r[edPasswd] = input.password;
    r[edFileName] = full;
    r[edClientName] = item.clientName;
    r[edEventName] = input.eventName;
    r[edMetaData] = item.caption;
    r[edCaptureTime] = item.captureTime;
    r[edKivFuseAction] = item.fuseAction;
    if (item.sitting) r[edSittingInfoDictionary] = *item.sitting;
    if (item.emails) r[edEmails] = *item.emails;
    if (item.originalPath) r[edOriginalPath] = *item.originalPath;
    if (item.contact) r[edRadudivInfo] = *item.contact;
    return record;
}

}  // namespace

ScanOutcome SourceFolderScanner::prepareItem(const ScanInput& input, Found found) {
    const std::string& rel = found.rel;
    const std::string full = appendingPathComponent(input.rootFolder, rel);
    const std::string account = Preferences::getCurUserLoginName().value_or("");
    const bool dererave = equalsIgnoringCase(account, kAccountDererave);
    const bool rurizururiz = equalsIgnoringCase(account, kAccountRurizururiz);
    ItemFields item;

    // 1. The metadata read moments ago while judging the file, carried here: reading it again
    // would prove nothing the readiness rule and the unchanged-after-upload check do not
    // already. Without it, a pass looks again once it could have changed.
    std::optional<Value> metadata = std::move(found.metadata);
    if (!metadata && !dererave && !rurizururiz)
        return {ScanOutcome::Kind::NotYetWritten, nullptr, options_.settleInterval};

    // 2. Client name.
    const std::optional<std::string> fuseActionPref = Preferences::getKivFuseAction();
    if (fuseActionPref) useBaseFileName_ = !equalsIgnoringCase(*fuseActionPref, kDefaultFuseAction);
    item.clientName = clientNameOf(rel, useBaseFileName_);
    (*input.workingCopy)[cDictKeyUserEnteredClientName] = item.clientName;

    // 3. and 4. The file must still be there and have a date.
    struct stat st {};
    if (::stat(full.c_str(), &st) != 0) {
        platformLog("WHAT???? FILE is LOST or Missing????? [%s]\n\n", full.c_str());
        return {};
    }
    std::optional<SystemTime> date = GetAndUpdateFileCreationDate(full, true);
    if (!date) return {};
    item.captureTime = formatLocalTime(*date, "%Y-%m-%d %H:%M:%S");

    // 5. Caption and fuse action.
    const std::optional<std::string> metaDataPref = Preferences::getPrefMetaData();
    if (metaDataPref) item.caption = *metaDataPref;
    item.fuseAction = fuseActionPref.value_or(kDefaultFuseAction);
    if (fuseActionPref && !metaDataPref)
        if (const char* c = eventCaption(*fuseActionPref)) item.caption = c;

    // 6. E-mails and contact details, from the photo's EXIF, for fuse actions that use them; a
    // PNG carries none there.
    if (!equalsIgnoringCase(item.fuseAction, kDefaultFuseAction) && !found.metadataFromPng)
        readContacts(metadata, item);

    // 7. and 8. Original path and sitting details.
    readOriginalPathAndSitting(metadata, item);
    if (!item.sitting) {
        if (fuseActionPref && equalsIgnoringCase(*fuseActionPref, kFuseActionRurizururiz))
            platformLog("2010-09-02 - MISSING Sitting info. FuseAction = %s REQUIRES More INFO!!!!",
                        fuseActionPref->c_str());
        if (rurizururiz)
            item.sitting = Value(Dictionary{{"sittingid", getBaseIDFromFileName(full)}});
    }

    // 9. The upload item record.
    return {ScanOutcome::Kind::Chosen, itemRecord(input, rel, full, item), {}};
}

}  // namespace vorn
