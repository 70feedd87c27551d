#pragma once
// The wait of a photo whose upload failed: 1 s at first, doubling with each further failure up
// to a ceiling, so that a service that keeps failing is not hammered and the other photos go
// on meanwhile. A photo is known by its path and its file identity: once the file changes it
// starts afresh.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace vorn {

class RetryBackoff {
  public:
    using TimePoint = std::chrono::steady_clock::time_point;
    using Now = std::function<TimePoint()>;

    explicit RetryBackoff(
        Now now = [] { return std::chrono::steady_clock::now(); },
        std::chrono::milliseconds firstWait = std::chrono::seconds(1));

    // Counts one failure of the photo at path and answers its wait before the next try:
    // firstWait doubled per earlier failure of the same file, at most longest, and at least
    // the service's own hint (Retry-After, itself capped at an hour).
    std::chrono::milliseconds recordFailure(const std::string& path,
                                            std::chrono::milliseconds longest,
                                            std::optional<std::chrono::milliseconds> hint = {});
    // Whether the photo at path is still waiting. A file that changed or went away is
    // forgotten.
    bool isWaiting(const std::string& path);
    // The time until the earliest wait ends, among photos that still wait and still exist.
    std::optional<std::chrono::milliseconds> nextWaitEnds();
    // After a success, and when the user asks for an upload now.
    void forget(const std::string& path);
    void forgetAll();
    std::size_t size() const;

  private:
    struct Identity {
        std::uint64_t device = 0, inode = 0;
        std::int64_t size = -1, mtimeNs = 0;
        bool operator==(const Identity&) const = default;
    };
    struct Entry {
        Identity identity;
        int failures = 0;
        TimePoint due;
    };
    static std::optional<Identity> identityOf(const std::string& path);

    Now now_;
    std::chrono::milliseconds firstWait_;
    mutable std::mutex mutex_;
    std::map<std::string, Entry> entries_;
};

// The seconds of a Retry-After header (delay-seconds form only), when it holds a usable number.
std::optional<std::chrono::milliseconds> parseRetryAfter(const std::string& value);

}  // namespace vorn
