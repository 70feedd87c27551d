#include "platform/FileEventStream.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "platform/FileDescriptor.h"
#include "platform/PlatformLog.h"

namespace vorn {

namespace {

using SteadyClock = std::chrono::steady_clock;

// What a photo landing, leaving or being touched looks like; IN_MODIFY is left out on purpose:
// the close after the last write says more than every write before it.
constexpr uint32_t kWatchMask = IN_CREATE | IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM |
                                IN_DELETE | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR |
                                IN_EXCL_UNLINK;

std::string joinPath(const std::string& dir, const char* name) {
    if (!dir.empty() && dir.back() == '/') return dir + name;
    return dir + "/" + name;
}

std::string normalisedRoot(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

std::string systemWatchLimit() {
    std::ifstream in("/proc/sys/fs/inotify/max_user_watches");
    std::string value;
    if (!(in >> value)) value = "unknown";
    return value;
}

// Lists a folder: its sub-folders (not symbolic links) into folders, and when firstFile is
// given, the first regular file met into it; true when it holds anything else.
bool listFolder(const std::string& dir, std::vector<std::string>& folders,
                std::string* firstFile = nullptr) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) return false;
    bool hasFiles = false;
    while (dirent* e = ::readdir(d)) {
        const char* name = e->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        bool isDir = e->d_type == DT_DIR, isFile = e->d_type == DT_REG;
        if (e->d_type == DT_UNKNOWN) {
            struct stat st {};
            const bool known = ::fstatat(::dirfd(d), name, &st, AT_SYMLINK_NOFOLLOW) == 0;
            isDir = known && S_ISDIR(st.st_mode);
            isFile = known && S_ISREG(st.st_mode);
        }
        if (isDir) {
            folders.push_back(joinPath(dir, name));
        } else {
            hasFiles = true;
            if (isFile && firstFile && firstFile->empty()) *firstFile = joinPath(dir, name);
        }
    }
    ::closedir(d);
    return hasFiles;
}

}  // namespace

const char* fileEventStreamStateName(FileEventStreamState state) {
    switch (state) {
        case FileEventStreamState::Watching:
            return "Watching";
        case FileEventStreamState::WatchLimitReached:
            return "WatchLimitReached";
        case FileEventStreamState::RootLost:
            return "RootLost";
    }
    return "?";
}

struct FileEventStream::Impl {
    Impl(std::string r, Callback c, FileEventStreamOptions o, StatusCallback s)
        : root(normalisedRoot(std::move(r))),
          onChange(std::move(c)),
          onStatus(std::move(s)),
          options(o) {}

    const std::string root;
    const Callback onChange;
    const StatusCallback onStatus;
    const FileEventStreamOptions options;
    FileClosedCallback onFileClosed;  // set before start()

    std::mutex lifecycle;  // start and stop from outside the watcher thread
    std::thread thread;
    std::atomic<std::thread::id> threadId{};
    Fd inotify;
    Fd wake;
    std::atomic<bool> running{false};
    std::atomic<bool> stopping{false};
    std::atomic<bool> overflowRequested{false};
    std::atomic<FileEventStreamState> state{FileEventStreamState::Watching};
    std::atomic<bool> limitReached{false};

    // Written on the watcher thread only, under mutex so other threads can read them.
    mutable std::mutex mutex;
    std::unordered_map<int, std::string> pathOfWatch;
    std::map<std::string, int> watchOfPath;

    // Watcher thread only.
    std::vector<std::string> pending;
    std::unordered_set<std::string> pendingSet;
    SteadyClock::time_point firstChange;
    SteadyClock::time_point lastChange;
    bool rootWatched = false;
    SteadyClock::time_point nextRootRetry;
    bool walkHitLimit = false;
    int lastAddError = 0;

    bool onWatcherThread() const { return threadId.load() == std::this_thread::get_id(); }

    void wakeThread() {
        uint64_t one = 1;
        if (wake.valid() && ::write(wake.get(), &one, sizeof one) < 0) {
            platformLog("Folder watcher: cannot wake its thread: %s", std::strerror(errno));
        }
    }

    void reset() {
        std::lock_guard lock(mutex);
        pathOfWatch.clear();
        watchOfPath.clear();
        pending.clear();
        pendingSet.clear();
        rootWatched = false;
        walkHitLimit = false;
        limitReached = false;
        state = FileEventStreamState::Watching;
    }

    void addPending(const std::string& folder) {
        auto now = SteadyClock::now();
        if (pending.empty()) firstChange = now;
        lastChange = now;
        if (pendingSet.insert(folder).second) pending.push_back(folder);
    }

    SteadyClock::time_point deliveryDue() const {
        auto due = lastChange + options.latency;
        if (options.forcedFlush.count() > 0) due = std::min(due, firstChange + options.forcedFlush);
        return due;
    }

    void deliver() {
        std::vector<std::string> batch;
        batch.swap(pending);
        pendingSet.clear();
        if (stopping || !onChange) return;
        try {
            onChange(batch);
        } catch (const std::exception& e) {
            platformLog("Folder watcher: the change handler failed: %s", e.what());
        } catch (...) {
            platformLog("Folder watcher: the change handler failed");
        }
    }

    void updateState() {
        FileEventStreamState next = !rootWatched   ? FileEventStreamState::RootLost
                                    : limitReached ? FileEventStreamState::WatchLimitReached
                                                   : FileEventStreamState::Watching;
        if (state.exchange(next) == next) return;
        std::string message;
        switch (next) {
            case FileEventStreamState::Watching:
                message = stringWithFormat("Watching %s for new photos", root.c_str());
                break;
            case FileEventStreamState::WatchLimitReached:
                message = stringWithFormat(
                    "Not every folder of %s is watched (fs.inotify.max_user_watches = %s): new "
                    "photos there are found by the rescan timer",
                    root.c_str(), watchLimitText().c_str());
                break;
            case FileEventStreamState::RootLost:
                message = stringWithFormat(
                    "The watched folder %s is gone: new photos are found by the rescan timer "
                    "until it is back",
                    root.c_str());
                break;
        }
        platformLog("Folder watcher: %s", message.c_str());
        if (stopping || !onStatus) return;
        try {
            onStatus(next, message);
        } catch (...) {
            platformLog("Folder watcher: the status handler failed");
        }
    }

    std::string watchLimitText() const {
        if (options.maxWatches >= 0) return std::to_string(options.maxWatches);
        return systemWatchLimit();
    }

    void noteLimitReached(const std::string& path) {
        walkHitLimit = true;
        if (limitReached.exchange(true)) return;
        platformLog(
            "Folder watcher: NO inotify watch left for %s (fs.inotify.max_user_watches = %s); "
            "raise it with sysctl to watch every folder",
            path.c_str(), watchLimitText().c_str());
        if (rootWatched) updateState();
    }

    // The watch descriptor, or -1 with the reason in lastAddError.
    int addWatch(const std::string& path, bool isRoot) {
        int wd = -1;
        bool known;
        size_t count;
        {
            std::lock_guard lock(mutex);
            known = watchOfPath.count(path) != 0;
            count = pathOfWatch.size();
        }
        if (options.maxWatches >= 0 && !known && count >= size_t(options.maxWatches)) {
            lastAddError = ENOSPC;
        } else {
            // Below the root, links are not followed: a link back up would loop.
            wd = ::inotify_add_watch(inotify.get(), path.c_str(),
                                     kWatchMask | (isRoot ? 0 : IN_DONT_FOLLOW));
            lastAddError = wd < 0 ? errno : 0;
        }
        if (wd < 0) {
            if (lastAddError == ENOSPC) {
                noteLimitReached(path);
            } else if (lastAddError != ENOENT && lastAddError != ENOTDIR) {
                platformLog("Folder watcher: cannot watch %s: %s", path.c_str(),
                            std::strerror(lastAddError));
            }
            return -1;
        }
        std::lock_guard lock(mutex);
        // The same folder under a new name (a move we did not see) keeps its descriptor.
        if (auto old = pathOfWatch.find(wd); old != pathOfWatch.end() && old->second != path) {
            if (auto p = watchOfPath.find(old->second); p != watchOfPath.end() && p->second == wd)
                watchOfPath.erase(p);
        }
        // Another folder now under this name: the old one's watch would be a second one here.
        if (auto prev = watchOfPath.find(path); prev != watchOfPath.end() && prev->second != wd) {
            ::inotify_rm_watch(inotify.get(), prev->second);
            pathOfWatch.erase(prev->second);
        }
        pathOfWatch[wd] = path;
        watchOfPath[path] = wd;
        return wd;
    }

    // Watches top and every folder below it. Each folder is watched before it is listed, so a
    // file that lands meanwhile is in the listing or reported by the watch. report: folders
    // that already hold files count as changed (they came after the stream started), and the
    // first file of each is reported at once like a closed one: a file written before its
    // folder's watch was in place gives no close event, and the pass that report starts finds
    // the others (one report a folder, not one a file, when a full folder is moved in).
    bool watchTree(const std::string& top, bool isRoot, bool report,
                   std::unordered_set<int>* seen) {
        int wd = addWatch(top, isRoot);
        if (wd < 0) return false;
        if (seen) seen->insert(wd);
        std::vector<std::string> todo{top};
        std::vector<std::string> folders;
        std::string firstFile;
        const bool reportFiles = report && onFileClosed;
        while (!todo.empty() && !stopping) {
            std::string dir = std::move(todo.back());
            todo.pop_back();
            folders.clear();
            firstFile.clear();
            if (listFolder(dir, folders, reportFiles ? &firstFile : nullptr) && report)
                addPending(dir);
            if (!firstFile.empty() && !stopping) onFileClosed(firstFile);
            for (auto& sub : folders) {
                int w = addWatch(sub, false);
                if (w < 0) continue;
                if (seen) seen->insert(w);
                todo.push_back(std::move(sub));
            }
        }
        return true;
    }

    void forgetTree(const std::string& path) {
        std::lock_guard lock(mutex);
        auto drop = [this](std::map<std::string, int>::iterator it) {
            ::inotify_rm_watch(inotify.get(), it->second);
            pathOfWatch.erase(it->second);
            return watchOfPath.erase(it);
        };
        if (auto it = watchOfPath.find(path); it != watchOfPath.end()) drop(it);
        const std::string prefix = path + "/";
        for (auto it = watchOfPath.lower_bound(prefix);
             it != watchOfPath.end() && it->first.starts_with(prefix);) {
            it = drop(it);
        }
    }

    void forgetAll() {
        std::lock_guard lock(mutex);
        for (const auto& [wd, path] : pathOfWatch) ::inotify_rm_watch(inotify.get(), wd);
        pathOfWatch.clear();
        watchOfPath.clear();
    }

    // Walks the whole tree again after events were lost: watches what is new, drops watches of
    // folders that are gone or moved out. False when the root itself cannot be watched.
    bool rewalk() {
        std::unordered_set<int> seen;
        walkHitLimit = false;
        if (!watchTree(root, true, false, &seen)) return false;
        if (stopping) return true;
        {
            std::lock_guard lock(mutex);
            for (auto it = pathOfWatch.begin(); it != pathOfWatch.end();) {
                if (seen.count(it->first)) {
                    ++it;
                    continue;
                }
                ::inotify_rm_watch(inotify.get(), it->first);
                if (auto p = watchOfPath.find(it->second);
                    p != watchOfPath.end() && p->second == it->first) {
                    watchOfPath.erase(p);
                }
                it = pathOfWatch.erase(it);
            }
        }
        limitReached = walkHitLimit;
        return true;
    }

    void rootLost() {
        forgetAll();
        rootWatched = false;
        nextRootRetry = SteadyClock::now() + options.rootRetry;
        addPending(root);
        updateState();
    }

    void retryRoot() {
        if (!rewalk()) {
            nextRootRetry = SteadyClock::now() + options.rootRetry;
            return;
        }
        rootWatched = true;
        addPending(root);
        updateState();
    }

    void queueOverflowed() {
        platformLog("Folder watcher: events were lost (queue overflow); looking at all of %s again",
                    root.c_str());
        addPending(root);
        if (!rootWatched) return;
        if (rewalk()) {
            updateState();
        } else {
            rootLost();
        }
    }

    void handle(const inotify_event& ev) {
        if (ev.mask & IN_Q_OVERFLOW) {
            queueOverflowed();
            return;
        }
        std::string folder;
        {
            std::lock_guard lock(mutex);
            auto it = pathOfWatch.find(ev.wd);
            if (it == pathOfWatch.end()) return;  // a watch already forgotten
            folder = it->second;
            if (ev.mask & IN_IGNORED) {
                if (auto p = watchOfPath.find(folder); p != watchOfPath.end() && p->second == ev.wd)
                    watchOfPath.erase(p);
                pathOfWatch.erase(it);
            }
        }
        const bool isRoot = folder == root;
        if (isRoot && (ev.mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT))) {
            rootLost();
            return;
        }
        // A folder's own removal or move is reported by its parent.
        if (ev.mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) return;
        if ((ev.mask & IN_ISDIR) && ev.len > 0) {
            std::string child = joinPath(folder, ev.name);
            if (ev.mask & (IN_CREATE | IN_MOVED_TO)) {
                watchTree(child, false, true, nullptr);
            } else if (ev.mask & (IN_DELETE | IN_MOVED_FROM)) {
                forgetTree(child);
            }
        }
        // A file's writer is done with it: said at once, not with the batch.
        if (!(ev.mask & IN_ISDIR) && ev.len > 0 && (ev.mask & (IN_CLOSE_WRITE | IN_MOVED_TO)) &&
            onFileClosed && !stopping)
            onFileClosed(joinPath(folder, ev.name));
        addPending(folder);
    }

    void readEvents() {
        alignas(inotify_event) char buf[64 * 1024];
        ssize_t n = ::read(inotify.get(), buf, sizeof buf);
        if (n <= 0) {
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                platformLog("Folder watcher: reading events failed: %s", std::strerror(errno));
            return;
        }
        for (char* p = buf; p < buf + n && !stopping;) {
            auto* ev = reinterpret_cast<inotify_event*>(p);
            handle(*ev);
            p += sizeof(inotify_event) + ev->len;
        }
    }

    int pollTimeout(SteadyClock::time_point now) const {
        auto until = [now](SteadyClock::time_point t) -> long long {
            if (t <= now) return 0;
            return std::chrono::ceil<std::chrono::milliseconds>(t - now).count();
        };
        long long timeout = -1;
        if (!pending.empty()) timeout = until(deliveryDue());
        if (!rootWatched) {
            long long r = until(nextRootRetry);
            timeout = timeout < 0 ? r : std::min(timeout, r);
        }
        return int(std::min<long long>(timeout, INT_MAX));
    }

    void run(std::promise<std::string> ready) {
        threadId = std::this_thread::get_id();
        if (!watchTree(root, true, false, nullptr)) {
            std::string why =
                lastAddError == ENOSPC
                    ? "no inotify watch left (fs.inotify.max_user_watches = " + watchLimitText() +
                          ")"
                    : std::strerror(lastAddError);
            ready.set_value(stringWithFormat("Cannot watch %s: %s", root.c_str(), why.c_str()));
            return;
        }
        rootWatched = true;
        updateState();  // the watch limit, met on the first walk
        ready.set_value("");

        while (!stopping) {
            pollfd fds[2] = {{inotify.get(), POLLIN, 0}, {wake.get(), POLLIN, 0}};
            int n = ::poll(fds, 2, pollTimeout(SteadyClock::now()));
            if (n < 0 && errno != EINTR) {
                platformLog("Folder watcher: poll failed: %s; watching ends", std::strerror(errno));
                break;
            }
            if (stopping) break;
            if (n > 0 && (fds[1].revents & POLLIN)) {
                uint64_t count;
                if (::read(wake.get(), &count, sizeof count) < 0 && errno != EAGAIN) {
                    platformLog("Folder watcher: wake read failed: %s", std::strerror(errno));
                }
                if (overflowRequested.exchange(false)) queueOverflowed();
            }
            if (n > 0 && (fds[0].revents & POLLIN)) readEvents();
            auto now = SteadyClock::now();
            if (!rootWatched && now >= nextRootRetry && !stopping) retryRoot();
            if (!pending.empty() && now >= deliveryDue()) deliver();
        }
    }
};

FileEventStream::FileEventStream(std::string root, Callback onChange,
                                 FileEventStreamOptions options, StatusCallback onStatus)
    : impl_(std::make_shared<Impl>(std::move(root), std::move(onChange), options,
                                   std::move(onStatus))) {}

FileEventStream::~FileEventStream() {
    if (impl_->onWatcherThread()) {
        // From the stream's own callback: the thread holds the state and ends by itself.
        impl_->stopping = true;
        impl_->wakeThread();
        if (impl_->thread.joinable()) impl_->thread.detach();
        return;
    }
    stop();
}

bool FileEventStream::start(std::string* error) {
    auto fail = [error](std::string why) {
        platformLog("Folder watcher: %s", why.c_str());
        if (error) *error = std::move(why);
        return false;
    };
    if (impl_->onWatcherThread()) return fail("the stream cannot be started from its own thread");
    std::lock_guard lock(impl_->lifecycle);
    Impl& s = *impl_;
    if (s.thread.joinable()) {
        if (s.running && !s.stopping) return fail("the folder watcher is already running");
        s.thread.join();  // stopped from its own callback, or ended on an error
    }
    if (s.root.empty()) return fail("no folder to watch");
    if (s.options.unavailable) {
        return fail("inotify_init1 failed: Function not implemented (watching switched off)");
    }
    s.reset();
    s.inotify.reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!s.inotify.valid())
        return fail(std::string("inotify_init1 failed: ") + std::strerror(errno));
    s.wake.reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!s.wake.valid()) {
        s.inotify.reset();
        return fail(std::string("eventfd failed: ") + std::strerror(errno));
    }
    s.stopping = false;
    s.overflowRequested = false;
    s.running = true;
    std::promise<std::string> ready;
    auto started = ready.get_future();
    try {
        s.thread = std::thread([self = impl_, ready = std::move(ready)]() mutable {
            self->run(std::move(ready));
            self->threadId = std::thread::id();
            self->running = false;
        });
    } catch (const std::system_error& e) {
        s.running = false;
        s.inotify.reset();
        s.wake.reset();
        return fail(std::string("cannot start the watcher thread: ") + e.what());
    }
    std::string failure = started.get();
    if (!failure.empty()) {
        s.thread.join();
        s.inotify.reset();
        s.wake.reset();
        return fail(failure);  // watchLimitReached() still tells why
    }
    return true;
}

void FileEventStream::stop() {
    Impl& s = *impl_;
    s.stopping = true;
    if (s.onWatcherThread()) {
        s.wakeThread();
        return;
    }
    std::lock_guard lock(s.lifecycle);
    if (!s.thread.joinable()) return;
    s.wakeThread();
    s.thread.join();
    s.inotify.reset();
    s.wake.reset();
    s.reset();
}

bool FileEventStream::isRunning() const {
    return impl_->running && !impl_->stopping;
}

const std::string& FileEventStream::root() const {
    return impl_->root;
}

FileEventStreamState FileEventStream::state() const {
    return impl_->state;
}

bool FileEventStream::watchLimitReached() const {
    return impl_->limitReached;
}

std::vector<std::string> FileEventStream::watchedFolders() const {
    std::lock_guard lock(impl_->mutex);
    std::vector<std::string> folders;
    folders.reserve(impl_->watchOfPath.size());
    for (const auto& [path, wd] : impl_->watchOfPath) folders.push_back(path);
    return folders;
}

void FileEventStream::setOnFileClosed(FileClosedCallback onFileClosed) {
    impl_->onFileClosed = std::move(onFileClosed);
}

void FileEventStream::simulateQueueOverflow() {
    impl_->overflowRequested = true;
    impl_->wakeThread();
}

}  // namespace vorn
