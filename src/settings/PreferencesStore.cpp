#include "settings/PreferencesStore.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>

#include "platform/AtomicFile.h"
#include "platform/PathUtilities.h"
#include "platform/PlatformLog.h"
#include "platform/PropertyList.h"

namespace vorn {
namespace {

bool pathExists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// Creates the missing folders above path, each 0700.
bool createParentFolders(const std::string& path, std::string* error) {
    std::string dir = deletingLastPathComponent(path);
    if (dir.empty() || dir == "/") return true;
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0) return true;
    if (!createParentFolders(dir, error)) return false;
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        if (error) *error = dir + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace

PreferencesStore::PreferencesStore(std::string path, std::shared_ptr<Clock> clock)
    : path_(std::move(path)), clock_(clock ? std::move(clock) : Clock::system()) {}

std::string PreferencesStore::defaultPath() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    // Relative values are to be ignored, as the base-directory rules say.
    std::string base = (xdg && xdg[0] == '/') ? std::string(xdg)
                                              : appendingPathComponent(homeDirectory(), ".config");
    return appendingPathComponent(base, "vorn/org.vorn.Uploader.plist");
}

// Reads the file. Nothing when there is no usable file; a file that exists but cannot be read
// as a dictionary is moved aside so that the next write does not destroy it.
std::optional<Dictionary> PreferencesStore::readFileLocked() {
    struct stat st {};
    if (::stat(path_.c_str(), &st) != 0) {
        if (errno != ENOENT)
            platformLog("Preferences file [%s] cannot be examined: %s", path_.c_str(),
                        std::strerror(errno));
        return std::nullopt;
    }
    if (!S_ISREG(st.st_mode)) {
        platformLog("Preferences file [%s] is not a regular file; starting from defaults",
                    path_.c_str());
        loadProblem_ = "The preferences file " + path_ +
                       " is not a regular file: the factory settings are in use; check them in "
                       "Preferences";
        return std::nullopt;
    }
    std::string reason;
    auto root = readPropertyListFile(path_, &reason);
    if (root && root->isDictionary()) return std::move(*root->asDictionary());
    if (root) reason = "the top level is not a dictionary";

    std::string stamp = formatLocalTime(clock_->now(), "%Y%m%d_%H%M%S");
    std::string aside = path_ + ".unreadable-" + stamp;
    for (int n = 2; pathExists(aside) && n < 1000; ++n)
        aside = path_ + ".unreadable-" + stamp + "-" + std::to_string(n);
    loadProblem_ = "The preferences file " + path_ + " could not be read (" + reason + ")";
    if (::rename(path_.c_str(), aside.c_str()) == 0) {
        loadProblem_ += "; it was kept as " + aside;
        platformLog(
            "Preferences file [%s] could not be read (%s); kept aside as [%s], starting "
            "from defaults",
            path_.c_str(), reason.c_str(), aside.c_str());
    } else {
        platformLog(
            "Preferences file [%s] could not be read (%s) nor kept aside (%s); starting "
            "from defaults",
            path_.c_str(), reason.c_str(), std::strerror(errno));
    }
    loadProblem_ += ": the factory settings are in use; check them in Preferences";
    return std::nullopt;
}

PreferencesStore::FileStamp PreferencesStore::currentStampLocked() const {
    struct stat st {};
    if (::stat(path_.c_str(), &st) != 0) return {};
    return {static_cast<long long>(st.st_size),
            static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec,
            static_cast<long long>(st.st_ino)};
}

std::string PreferencesStore::loadProblem() const {
    std::lock_guard lock(mutex_);
    return loadProblem_;
}

void PreferencesStore::load() {
    std::lock_guard lock(mutex_);
    diskStamp_ = currentStampLocked();
    loadProblem_.clear();
    stored_ = readFileLocked().value_or(Dictionary{});
    loaded_ = true;
    removedBeforeLoad_.clear();
    unwritten_.clear();
}

std::vector<std::string> PreferencesStore::mergeFileLocked() {
    std::vector<std::string> changed;
    diskStamp_ = currentStampLocked();
    std::optional<Dictionary> onDisk = readFileLocked();
    if (!onDisk) return changed;
    Dictionary merged = std::move(*onDisk);
    for (const std::string& key : unwritten_) {
        auto mine = stored_.find(key);
        if (mine == stored_.end())
            merged.erase(key);
        else
            merged.insert_or_assign(key, mine->second);
    }
    for (const auto& [key, value] : merged) {
        auto it = stored_.find(key);
        if (it == stored_.end() || !(it->second == value)) changed.push_back(key);
    }
    for (const auto& [key, value] : stored_)
        if (!merged.count(key)) changed.push_back(key);
    stored_ = std::move(merged);
    return changed;
}

bool PreferencesStore::reload() {
    std::vector<std::string> changed;
    {
        std::lock_guard lock(mutex_);
        if (!loaded_) {
            loaded_ = true;
            for (const auto& key : removedBeforeLoad_) unwritten_.insert(key);
            removedBeforeLoad_.clear();
        }
        changed = mergeFileLocked();
    }
    for (const auto& key : changed) notify(key);
    return true;
}

void PreferencesStore::registerDefaults(const Dictionary& defaults) {
    std::lock_guard lock(mutex_);
    for (const auto& [key, value] : defaults)
        if (!value.isNone()) registered_.insert_or_assign(key, value);
}

Value PreferencesStore::lookupLocked(const std::string& key) const {
    if (auto it = stored_.find(key); it != stored_.end()) return it->second;
    if (auto it = registered_.find(key); it != registered_.end()) return it->second;
    return Value();
}

Value PreferencesStore::objectForKey(const std::string& key) const {
    std::lock_guard lock(mutex_);
    return lookupLocked(key);
}

bool PreferencesStore::hasStoredValue(const std::string& key) const {
    std::lock_guard lock(mutex_);
    return stored_.count(key) != 0;
}

bool PreferencesStore::hasAnyValue(const std::string& key) const {
    std::lock_guard lock(mutex_);
    return stored_.count(key) != 0 || registered_.count(key) != 0;
}

std::optional<std::string> PreferencesStore::stringForKey(const std::string& key) const {
    Value v = objectForKey(key);
    switch (v.type()) {
        case Value::Type::String:
            return *v.asString();
        case Value::Type::Integer:
            return std::to_string(*v.asInteger());
        case Value::Type::Boolean:
            return std::string(*v.asBoolean() ? "1" : "0");
        case Value::Type::Real: {
            // Shortest text that reads back as the same number: 0.1 stays "0.1".
            char buf[64];
            auto r = std::to_chars(buf, buf + sizeof buf, *v.asReal());
            return std::string(buf, r.ptr);
        }
        default:
            return std::nullopt;
    }
}

bool PreferencesStore::boolForKey(const std::string& key) const {
    return objectForKey(key).boolValue();
}

std::int64_t PreferencesStore::integerForKey(const std::string& key) const {
    return objectForKey(key).integerValue();
}

double PreferencesStore::doubleForKey(const std::string& key) const {
    return objectForKey(key).doubleValue();
}

void PreferencesStore::setObject(const std::string& key, Value value) {
    if (value.isNone()) {
        removeObject(key);
        return;
    }
    {
        std::lock_guard lock(mutex_);
        stored_.insert_or_assign(key, std::move(value));
        removedBeforeLoad_.erase(key);
        unwritten_.insert(key);
    }
    notify(key);
}

void PreferencesStore::removeObject(const std::string& key) {
    {
        std::lock_guard lock(mutex_);
        stored_.erase(key);
        if (!loaded_) removedBeforeLoad_.insert(key);
        unwritten_.insert(key);
    }
    notify(key);
}

bool PreferencesStore::synchronize() {
    std::lock_guard writeLock(writeMutex_);
    Dictionary snapshot;
    std::vector<std::string> changed;
    std::set<std::string> pending;
    {
        std::lock_guard lock(mutex_);
        if (!loaded_) {
            if (auto onDisk = readFileLocked()) {
                for (auto& [key, value] : *onDisk)
                    if (!stored_.count(key) && !removedBeforeLoad_.count(key))
                        stored_.emplace(key, std::move(value));
            }
            loaded_ = true;
            removedBeforeLoad_.clear();
            diskStamp_ = currentStampLocked();
        } else if (currentStampLocked() != diskStamp_) {
            // Someone else wrote the file since we read it: their values are not overwritten.
            platformLog("Preferences file [%s] was changed outside the program; taking it in",
                        path_.c_str());
            changed = mergeFileLocked();
        }
        snapshot = stored_;
        pending.swap(unwritten_);
    }
    for (const auto& key : changed) notify(key);
    std::string error;
    if (!createParentFolders(path_, &error) ||
        !writeFileAtomically(path_, toXmlPropertyList(Value(std::move(snapshot))), 0600, &error)) {
        platformLog("Preferences could NOT be written to [%s]: %s", path_.c_str(), error.c_str());
        std::lock_guard lock(mutex_);
        unwritten_.insert(pending.begin(), pending.end());
        return false;
    }
    std::lock_guard lock(mutex_);
    diskStamp_ = currentStampLocked();
    return true;
}

Dictionary PreferencesStore::storedValues() const {
    std::lock_guard lock(mutex_);
    return stored_;
}

Dictionary PreferencesStore::registeredDefaults() const {
    std::lock_guard lock(mutex_);
    return registered_;
}

void PreferencesStore::addObserver(const void* owner, Observer observer) {
    auto entry = std::make_shared<ObserverEntry>();
    entry->owner = owner;
    entry->fn = std::move(observer);
    std::lock_guard lock(mutex_);
    observers_.push_back(std::move(entry));
}

void PreferencesStore::removeObserver(const void* owner) {
    std::vector<std::shared_ptr<ObserverEntry>> gone;
    {
        std::lock_guard lock(mutex_);
        for (auto it = observers_.begin(); it != observers_.end();) {
            if ((*it)->owner == owner) {
                gone.push_back(std::move(*it));
                it = observers_.erase(it);
            } else {
                ++it;
            }
        }
    }
    // Waits for calls running on other threads; a call on this thread (an observer removing
    // itself) holds the recursive lock already and does not wait for itself.
    for (auto& entry : gone) {
        std::lock_guard calling(entry->calling);
        entry->removed = true;
    }
}

void PreferencesStore::notify(const std::string& key) {
    std::vector<std::shared_ptr<ObserverEntry>> current;
    {
        std::lock_guard lock(mutex_);
        current = observers_;
    }
    for (auto& entry : current) {
        std::lock_guard calling(entry->calling);
        if (!entry->removed && entry->fn) entry->fn(key);
    }
}

}  // namespace vorn
