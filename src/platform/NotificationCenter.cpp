#include "platform/NotificationCenter.h"

#include <algorithm>

namespace vorn {

NotificationCenter& NotificationCenter::defaultCenter() {
    // Never destroyed: detached threads may still post while the process ends.
    static NotificationCenter* center = new NotificationCenter;
    return *center;
}

void NotificationCenter::addObserver(const void* owner, std::string name, Handler handler) {
    std::lock_guard lock(mutex_);
    entries_.push_back({owner, std::move(name), std::make_shared<Handler>(std::move(handler))});
}

void NotificationCenter::removeObserver(const void* owner) {
    std::lock_guard lock(mutex_);
    std::erase_if(entries_, [owner](const Entry& e) { return e.owner == owner; });
}

bool NotificationCenter::hasObserver(const void* owner, const std::string& name) const {
    std::lock_guard lock(mutex_);
    return std::ranges::any_of(entries_,
                               [&](const Entry& e) { return e.owner == owner && e.name == name; });
}

void NotificationCenter::post(const std::string& name, const void* object, DictionaryPtr userInfo) {
    std::vector<std::shared_ptr<Handler>> handlers;
    {
        std::lock_guard lock(mutex_);
        for (const Entry& e : entries_)
            if (e.name == name) handlers.push_back(e.handler);
    }
    // Handlers run outside the lock: they post further notifications themselves.
    Notification n{name, object, std::move(userInfo)};
    for (const auto& h : handlers) (*h)(n);
}

}  // namespace vorn
