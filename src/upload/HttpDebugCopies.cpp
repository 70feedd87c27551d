#include "upload/HttpDebugCopies.h"

#include "platform/PlatformLog.h"

namespace vorn {

HttpDebugCopyWriter::~HttpDebugCopyWriter() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        waiting_.clear();
    }
    stop_.store(true);
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void HttpDebugCopyWriter::submit(std::string path, BodySnapshot snapshot, bool skippable) {
    bool noteSkip = false;
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        if (skippable && busy_ && writing_ == path) {
            noteSkip = !skipNoted_;
            skipNoted_ = true;
        } else {
            bool replaced = false;
            for (auto& entry : waiting_) {
                if (entry.first == path) {
                    entry.second = std::move(snapshot);
                    replaced = true;
                    break;
                }
            }
            if (!replaced) waiting_.emplace_back(std::move(path), std::move(snapshot));
            if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
        }
    }
    // Said once: on a slow disk it would otherwise come with every upload.
    if (noteSkip)
        platformLog(
            "Skipping copies of %s while the previous one is still being written (said "
            "once)",
            path.c_str());
    changed_.notify_all();
}

void HttpDebugCopyWriter::flush() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return (waiting_.empty() && !busy_) || stopping_; });
}

void HttpDebugCopyWriter::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return !waiting_.empty() || stopping_; });
        if (stopping_) return;
        auto [path, snapshot] = std::move(waiting_.front());
        waiting_.pop_front();
        busy_ = true;
        writing_ = path;
        lock.unlock();
        std::string error;
        if (!snapshot.writeTo(path, &error, &stop_))
            platformLog("Cannot write %s: %s", path.c_str(), error.c_str());
        // The snapshot's files are let go here, outside the lock.
        snapshot = BodySnapshot();
        lock.lock();
        busy_ = false;
        changed_.notify_all();
    }
}

}  // namespace vorn
