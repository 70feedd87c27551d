#include "settings/Preferences.h"

#include <algorithm>
#include <limits>
#include <mutex>
#include <vector>

#include "platform/PathUtilities.h"
#include "platform/PlatformLog.h"
#include "settings/PreferenceKeys.h"

namespace vorn {
namespace {

constexpr double kFloatMax = std::numeric_limits<float>::max();

// A number as the float it was read as (out-of-range values saturate instead of overflowing).
double asFloat(double d) {
    return static_cast<float>(std::clamp(d, -kFloatMax, kFloatMax));
}

struct Shared {
    std::mutex mutex;
    std::shared_ptr<PreferencesStore> current;
    std::vector<std::shared_ptr<PreferencesStore>> retired;
};

Shared& shared() {
    static Shared s;
    return s;
}

bool writeBackBool(const char* key) {
    PreferencesStore& s = Preferences::store();
    bool value = s.boolForKey(key);
    if (!s.hasAnyValue(key)) s.setObject(key, false);
    return value;
}

// The number under key as a float would be read from an NSNumber or NSString; nothing when
// there is no value or it is not a number.
std::optional<double> numberObject(const char* key) {
    Value v = Preferences::store().objectForKey(key);
    if (v.isNumber() || v.isString()) return v.doubleValue();
    return std::nullopt;
}

}  // namespace

void Preferences::setStore(std::shared_ptr<PreferencesStore> store) {
    Shared& s = shared();
    std::lock_guard lock(s.mutex);
    if (s.current) s.retired.push_back(std::move(s.current));
    s.current = std::move(store);
}

std::shared_ptr<PreferencesStore> Preferences::sharedStore() {
    Shared& s = shared();
    std::lock_guard lock(s.mutex);
    if (!s.current) s.current = std::make_shared<PreferencesStore>(PreferencesStore::defaultPath());
    return s.current;
}

PreferencesStore& Preferences::store() {
    return *sharedStore();
}

std::optional<std::string> Preferences::getLocalSourceUploadFolder() {
    return store().stringForKey(sPrefLocalSourceUploadFolder);
}

std::optional<std::string> Preferences::getLocalMasterMirrorSiteFolder() {
    return store().stringForKey(sPrefLocalMasterMirrorSiteFolder);
}

std::optional<std::string> Preferences::getLocalProblemUploadFolder() {
    auto mirror = getLocalMasterMirrorSiteFolder();
    // An empty mirror folder is no folder: "Problem Folder" alone would land in the working
    // folder.
    if (!mirror || mirror->empty()) return std::nullopt;
    return appendingPathComponent(deletingLastPathComponent(*mirror), "Problem Folder");
}

std::optional<std::string> Preferences::getCurUserLoginName() {
    return store().stringForKey(sUserLoginName);
}

std::optional<std::string> Preferences::getCurUserLoginPassword() {
    return store().stringForKey(sUserLoginPassword);
}

bool Preferences::getUseEventName() {
    return true;
}

bool Preferences::getPrefShowPreviewWhenUploading() {
    return store().boolForKey(sPrefShowPreviewWhenUploading);
}

bool Preferences::getPrefDeleteEmptyFtpFolders() {
    return writeBackBool(sPrefDeleteEmptyFtpFolders);
}
bool Preferences::getDoAutoSynchronize() {
    return writeBackBool(sPrefAutoSynchronize);
}
bool Preferences::getPrefUseDoDeleteOldPhotos() {
    return writeBackBool(sPrefDoUseDeleteOldPhotos);
}
bool Preferences::getPrefShowWindowAtStartup() {
    return writeBackBool(sPrefShowWindowAtStartup);
}
bool Preferences::getAutoStartUploadAtStartup() {
    return writeBackBool(sPrefAutoStartUploadAtStartup);
}

std::optional<double> Preferences::getPrefSecondsBetweenScans() {
    auto n = numberObject(sPrefSecondsBetweenScans);
    platformLog("getPrefSecondsBetweenScans returned [%3.3f]", asFloat(n.value_or(0)));
    return n;
}

std::optional<double> Preferences::getPrefDaysOldBeforeDeleting() {
    auto n = numberObject(sPrefDaysOldBeforeDeleting);
    platformLog("sPrefDaysOldBeforeDeleting returned [%02i]",
                static_cast<int>(store().integerForKey(sPrefDaysOldBeforeDeleting)));
    return n;
}

std::optional<double> Preferences::getPrefMinutesForCheckOrders() {
    auto n = numberObject(sPrefMinutesForCheckOrders);
    platformLog("getPrefMinutesForCheckOrders returned [%3.3f]", asFloat(n.value_or(0)));
    return n;
}

std::optional<std::string> Preferences::getKivFuseAction() {
    return store().stringForKey(sPrefKivFuseAction);
}
std::optional<std::string> Preferences::getPrefKivURL() {
    return store().stringForKey(sPrefKivURL);
}
std::optional<std::string> Preferences::getPrefMetaData() {
    return store().stringForKey(sPrefMetaData);
}
std::optional<std::string> Preferences::getPrefCheckHiResOrderFuseAction() {
    return store().stringForKey(sPrefCheckHiResOrderFuseAction);
}
std::optional<std::string> Preferences::getPrefUploadHiResOrderFuseAction() {
    return store().stringForKey(sPrefUploadHiResOrderFuseAction);
}
std::optional<std::string> Preferences::getPrefKivHiResAlternatePath1() {
    return store().stringForKey(sPrefKivHiResAlternatePath1);
}

bool Preferences::getPrefDoCheckOrders() {
    return store().boolForKey(sPrefDoCheckOrders);
}
bool Preferences::getPrefAllowRootVolumeSelections() {
    return store().boolForKey(sPrefAllowRootVolumeSelections);
}
bool Preferences::getPrefFormBaseIdFromFileName() {
    return store().boolForKey(sPrefFormBaseIdFromFileName);
}

std::int16_t Preferences::getPrefSearchPathMethodTag() {
    return static_cast<std::int16_t>(store().integerForKey(sPrefSearchPathMethodTag));
}

bool Preferences::getPrefAlwaysSearchOriginalPath() {
    std::int16_t tag = getPrefSearchPathMethodTag();
    return tag == 1 || tag == 3;
}

bool Preferences::getPrefDoUseKivHiResAlternatePath1() {
    std::int16_t tag = getPrefSearchPathMethodTag();
    return tag == 2 || tag == 3;
}

int Preferences::getDaysToSaveLogs() {
    std::int64_t read = store().integerForKey(sPrefDaysToSaveLogs);
    std::int64_t days = read;
    if (days <= 0)
        days = 14;
    else if (days <= 2)
        days = 3;
    else if (days > 90)
        days = 90;
    if (days != read) store().setObject(sPrefDaysToSaveLogs, Value(days));
    platformLog("%s->%s=> value = %i", "Preferences", "getDaysToSaveLogs", static_cast<int>(days));
    return static_cast<int>(days);
}

float Preferences::getUploadTimeOut() {
    float seconds = static_cast<float>(asFloat(store().doubleForKey(sPrefUploadTimeOut)));
    // NaN and non-positive values fall back; a huge one (infinity too) would overflow the timer.
    if (!(seconds > 0)) return 500.0f;
    return std::min(seconds, static_cast<float>(kLongestUploadTimeOut));
}

int Preferences::getConcurrentUploads() {
    const double n = asFloat(store().doubleForKey(sPrefConcurrentUploads));
    if (!(n >= 1)) return 1;
    return static_cast<int>(std::min<double>(n, kMostConcurrentUploads));
}

std::uint64_t Preferences::getMaxUploadBytesPerSecond() {
    const double n = asFloat(store().doubleForKey(sPrefMaxUploadBytesPerSecond));
    if (!(n >= 1)) return 0;
    return n >= 1e15 ? static_cast<std::uint64_t>(1e15) : static_cast<std::uint64_t>(n);
}

}  // namespace vorn
