#include "ui/PreferenceFiles.h"

#include <cstdio>

#include "platform/AtomicFile.h"
#include "platform/PropertyList.h"
#include "settings/PreferenceKeys.h"

namespace vorn {

namespace {
bool endsWith(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() &&
           s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}
}  // namespace

std::string preferenceFileName(const std::string& entered) {
    return endsWith(entered, kPreferenceFileSuffix) ? entered : entered + kPreferenceFileSuffix;
}

bool isValidPreferenceFileName(const std::string& name) {
    return name.size() > std::string(kPreferenceFileSuffix).size() &&
           endsWith(name, kPreferenceFileSuffix);
}

bool savePreferencesToFile(const PreferencesStore& store, const std::string& path,
                           std::string* error) {
    Dictionary out;
    for (const std::string& key : prefKeyNameArray()) {
        Value v = store.objectForKey(key);
        if (!v.isNone()) out[key] = std::move(v);
    }
    return writeFileAtomically(path, toXmlPropertyList(Value(std::move(out))), 0600, error);
}

bool loadPreferencesFromFile(PreferencesStore& store, const std::string& path,
                             std::vector<std::string>* log, std::string* error) {
    std::optional<Value> root = readPropertyListFile(path, error);
    if (!root || !root->isDictionary()) {
        if (error && root) *error = "not a dictionary";
        return false;
    }
    const Dictionary& file = *root->asDictionary();
    int index = 0;
    for (const std::string& key : prefKeyNameArray()) {
        auto it = file.find(key);
        std::string shown = "NIL";
        if (it != file.end()) {
            shown = key == sUserLoginPassword ? "********" : it->second.stringValue();
            store.setObject(key, it->second);
        }
        if (log) {
            char line[512];
            std::snprintf(line, sizeof line, "%02i => [%s] = [%s]", index, key.c_str(),
                          shown.c_str());
            log->push_back(line);
        }
        ++index;
    }
    return true;
}

}  // namespace vorn
