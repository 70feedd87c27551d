#include "upload/RetryBackoff.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>

namespace vorn {

namespace {
constexpr std::chrono::milliseconds kLongestHint = std::chrono::hours(1);
}

RetryBackoff::RetryBackoff(Now now, std::chrono::milliseconds firstWait)
    : now_(std::move(now)), firstWait_(std::max(firstWait, std::chrono::milliseconds(0))) {}

std::optional<RetryBackoff::Identity> RetryBackoff::identityOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return Identity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
                    static_cast<std::int64_t>(st.st_size),
                    static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

std::chrono::milliseconds RetryBackoff::recordFailure(
    const std::string& path, std::chrono::milliseconds longest,
    std::optional<std::chrono::milliseconds> hint) {
    std::optional<Identity> identity = identityOf(path);
    std::lock_guard lock(mutex_);
    Entry& entry = entries_[path];
    if (!identity || !(entry.identity == *identity)) entry = Entry{};
    if (identity) entry.identity = *identity;
    longest = std::max(longest, firstWait_);
    std::chrono::milliseconds wait = firstWait_;  // zero only in tests
    for (int i = 0; i < entry.failures && wait < longest && wait.count() > 0; ++i) wait *= 2;
    wait = std::min(wait, longest);
    if (hint) wait = std::max(wait, std::min(*hint, kLongestHint));
    ++entry.failures;
    entry.due = now_() + wait;
    return wait;
}

bool RetryBackoff::isWaiting(const std::string& path) {
    std::unique_lock lock(mutex_);
    if (entries_.empty()) return false;  // the common case costs no stat
    auto it = entries_.find(path);
    if (it == entries_.end()) return false;
    lock.unlock();
    std::optional<Identity> identity = identityOf(path);
    lock.lock();
    it = entries_.find(path);
    if (it == entries_.end()) return false;
    if (!identity || !(it->second.identity == *identity)) {
        entries_.erase(it);  // a new or changed file is tried at once
        return false;
    }
    return now_() < it->second.due;
}

std::optional<std::chrono::milliseconds> RetryBackoff::nextWaitEnds() {
    std::lock_guard lock(mutex_);
    const TimePoint now = now_();
    std::optional<TimePoint> earliest;
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (!identityOf(it->first)) {
            it = entries_.erase(it);  // filed away or deleted meanwhile
            continue;
        }
        if (it->second.due > now && (!earliest || it->second.due < *earliest))
            earliest = it->second.due;
        ++it;
    }
    if (!earliest) return std::nullopt;
    return std::chrono::ceil<std::chrono::milliseconds>(*earliest - now);
}

void RetryBackoff::forget(const std::string& path) {
    std::lock_guard lock(mutex_);
    entries_.erase(path);
}

void RetryBackoff::forgetAll() {
    std::lock_guard lock(mutex_);
    entries_.clear();
}

std::size_t RetryBackoff::size() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

std::optional<std::chrono::milliseconds> parseRetryAfter(const std::string& value) {
    std::size_t b = value.find_first_not_of(" \t");
    if (b == std::string::npos) return std::nullopt;
    std::size_t e = value.find_last_not_of(" \t") + 1;
    std::string digits = value.substr(b, e - b);
    if (digits.empty() || digits.size() > 9) return std::nullopt;
    for (char c : digits)
        if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
    return std::chrono::seconds(std::stol(digits));
}

}  // namespace vorn
