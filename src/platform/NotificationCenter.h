#pragma once
// Named notifications with synchronous delivery: a post calls every observer of the name on
// the posting thread, in the order the observers registered, before it returns.

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Value.h"

namespace vorn {

struct Notification {
    std::string name;
    const void* object = nullptr;  // the sender
    DictionaryPtr userInfo;        // may be null
};

class NotificationCenter {
  public:
    using Handler = std::function<void(const Notification&)>;

    // The process-wide centre the application uses. Tests make their own.
    static NotificationCenter& defaultCenter();

    // Registers handler for name (for any sender). owner identifies the observer for removal.
    void addObserver(const void* owner, std::string name, Handler handler);
    void removeObserver(const void* owner);
    void post(const std::string& name, const void* object, DictionaryPtr userInfo);
    // Whether owner observes name: an observer that registers now runs after it.
    bool hasObserver(const void* owner, const std::string& name) const;

  private:
    struct Entry {
        const void* owner;
        std::string name;
        std::shared_ptr<Handler> handler;
    };
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
};

}  // namespace vorn
