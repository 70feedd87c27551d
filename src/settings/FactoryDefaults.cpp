#include "settings/FactoryDefaults.h"

#include <strings.h>
#include <sys/stat.h>

#include <cstdlib>

#include "platform/PathUtilities.h"
#include "platform/PlatformLog.h"
#include "platform/PropertyList.h"
#include "platform/Resources.h"
#include "settings/PreferenceKeys.h"
#include "settings/Preferences.h"

namespace vorn {
namespace {

constexpr const char* kFactoryDefaultsName = "FactoryDefault.plist";

// What "%@" printed: text as it is, anything else as its description.
std::string describe(const Value& v) {
    if (const std::string* s = v.asString()) return *s;
    return v.description();
}

std::string configHome() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    return (xdg && xdg[0] == '/') ? std::string(xdg)
                                  : appendingPathComponent(homeDirectory(), ".config");
}

}  // namespace

std::optional<Dictionary> setupFactoryDefaults(PreferencesStore& store,
                                               const std::string& factoryPlistPath) {
    platformLog("setupFactoryDefaults");
    platformLog("userDefaultsValuesPath = [%s]", factoryPlistPath.c_str());

    std::optional<Dictionary> factory;
    std::string reason;
    if (auto root = readPropertyListFile(factoryPlistPath, &reason); root && root->isDictionary())
        factory = *root->asDictionary();
    if (!factory) {
        platformLog("userDefaultsValuesDict == NIL!!!!");
        if (!reason.empty()) platformLog("%s", reason.c_str());
        prefKeyNameArray();
        return std::nullopt;
    }
    platformLog("About to register factory default dictionary:\n%s\n\n",
                Value(*factory).description().c_str());
    store.registerDefaults(*factory);

    Dictionary initial;
    for (const std::string& key : prefKeyNameArray())
        if (auto it = factory->find(key); it != factory->end()) initial.emplace(key, it->second);
    return initial;
}

std::string defaultFactoryDefaultsPath() {
    if (auto path = pathForResource(kFactoryDefaultsName)) return *path;
    return appendingPathComponent(resourceDirectory(), kFactoryDefaultsName);
}

std::string defaultOlderPreferencesPath() {
    return appendingPathComponent(configHome(), "vorn/org.vorn.Vorn-FTPUploader.plist");
}

void importOlderPreferences(PreferencesStore& store, const std::string& oldPlistPath) {
    if (!store.hasAnyValue(sPrefDoCopyOldFtpPref)) {
        platformLog("This version does NOT have pref = [%s]", sPrefDoCopyOldFtpPref);
        return;
    }
    if (store.boolForKey(sPrefDoCopyOldFtpPref)) {
        platformLog("ALREADY Copied OLD Ftp Prefs...");
        return;
    }
    std::string path = expandTildeInPath(oldPlistPath);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        platformLog("NO OLD ftp-uploader.plist to copy...");
        return;
    }
    platformLog("Need to Copy OLD Ftp Prefs from: [%s]", path.c_str());
    auto root = readPropertyListFile(path);
    if (!root || !root->isDictionary()) return;  // tried again at the next start

    const Dictionary& old = *root->asDictionary();
    for (const std::string& key : prefKeyNameArray())
        if (auto it = old.find(key); it != old.end()) store.setObject(key, it->second);
    store.setObject(sPrefDoCopyOldFtpPref, true);
    store.synchronize();
}

bool saveSettingToUserDefaults(const Value& value, const std::string& key) {
    PreferencesStore& store = Preferences::store();
    store.setObject(key, value);
    // The password is not written into the log files.
    std::string shown = key == sUserLoginPassword ? std::string("********") : describe(value);
    platformLog("SETTING parameterValue=[%s] for parameterName=[%s]", shown.c_str(), key.c_str());
    return store.synchronize();
}

bool isValidYesNoString(const std::string* text) {
    return text && isValidYesNoString(*text);
}

bool isValidYesNoString(const std::string& text) {
    // Length first: "yes" followed by a NUL and more is not "yes".
    return (text.size() == 3 && ::strncasecmp(text.data(), "yes", 3) == 0) ||
           (text.size() == 2 && ::strncasecmp(text.data(), "no", 2) == 0);
}

}  // namespace vorn
