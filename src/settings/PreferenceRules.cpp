#include "settings/PreferenceRules.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "platform/PathUtilities.h"
#include "settings/FolderRules.h"
#include "settings/PreferenceKeys.h"
#include "settings/PreferencesStore.h"

namespace vorn {
namespace {

using Type = PreferenceRule::Type;

PreferenceRule make(const char* key, Type type, const char* rule) {
    PreferenceRule r;
    r.key = key;
    r.type = type;
    r.rule = rule;
    return r;
}
PreferenceRule boolean(const char* key) {
    return make(key, Type::Boolean, "yes or no");
}
PreferenceRule text(const char* key, bool mayBeEmpty, const char* rule) {
    PreferenceRule r = make(key, Type::Text, rule);
    r.mayBeEmpty = mayBeEmpty;
    return r;
}
PreferenceRule number(const char* key, Type type, const char* rule, double min, bool exclusive,
                      double max = 0) {
    PreferenceRule r = make(key, type, rule);
    r.min = min;
    r.minExclusive = exclusive;
    r.max = max;
    return r;
}
PreferenceRule folder(const char* key, bool mayBeEmpty) {
    PreferenceRule r = make(key, Type::Folder,
                            mayBeEmpty ? "a folder path (absolute or beginning with ~), or empty"
                                       : "a folder path, absolute or beginning with ~");
    r.mayBeEmpty = mayBeEmpty;
    return r;
}

std::vector<PreferenceRule> buildRules() {
    std::vector<PreferenceRule> rules{
        folder(sPrefLocalSourceUploadFolder, false),
        folder(sPrefLocalMasterMirrorSiteFolder, false),
        folder(sPrefKivHiResAlternatePath1, true),
        text(sUserLoginName, false, "the account name, not empty"),
        make(sUserLoginPassword, Type::Secret, "the account password, not empty"),
        text(sUserEnteredEventName, true, "any text"),
        make(sPrefKivURL, Type::Url, "a web address beginning with http:// or https://"),
        text(sPrefKivFuseAction, false, "the service's upload operation, not empty"),
        text(sPrefCheckHiResOrderFuseAction, false, "the service's order query, not empty"),
        text(sPrefUploadHiResOrderFuseAction, false, "the service's hi-res upload, not empty"),
        text(sPrefMetaData, true, "any text"),
        number(sPrefSecondsBetweenScans, Type::Number, "a number of seconds above 0", 0, true),
        number(sPrefDaysOldBeforeDeleting, Type::Integer, "a whole number of days, at least 1", 1,
               false),
        number(sPrefUploadTimeOut, Type::Number, "a number of seconds above 0", 0, true),
        number(sPrefConcurrentUploads, Type::Integer, "a whole number of photos from 1 to 8", 1,
               false, 8),
        number(sPrefMaxUploadBytesPerSecond, Type::Integer,
               "a whole number of bytes a second, 0 for no cap", 0, false),
        number(sPrefMinutesForCheckOrders, Type::Number,
               "a number of minutes, 0 or more (0: every 10 s)", 0, false),
        number(sPrefDaysToSaveLogs, Type::Integer, "a whole number of days from 3 to 90", 3, false,
               90),
        number(sPrefSearchPathMethodTag, Type::Integer,
               "0 (neither), 1 (original path), 2 (alternate folder) or 3 (both)", 0, false, 3),
        make(sPrefMetricsFile, Type::File,
             "a file path (absolute or beginning with ~, ending in .prom for the node "
             "exporter), or empty for none"),
        make(sPrefLogLevel, Type::Choice, "error, warn, info or debug"),
    };
    rules.back().choices = {"error", "warn", "info", "debug"};
    for (const char* key :
         {sPrefUseEventName, sPrefCreateEncapsulatingFolder, sPrefShowPreviewWhenUploading,
          sPrefDeleteEmptyFtpFolders, sPrefAutoSynchronize, sPrefDoUseDeleteOldPhotos,
          sPrefShowWindowAtStartup, sPrefAutoQuitAndRelaunchPerIteration,
          sPrefDeleteServerItemFirst, sPrefAutoStartUploadAtStartup, sPrefDoCopyOldFtpPref,
          sPrefFormBaseIdFromFileName, sPrefUploadMovie, sPrefShowDesktopNotifications,
          sPrefDoCheckOrders, sPrefAllowRootVolumeSelections, sPrefIsValidLocalSourceUploadFolder,
          sPrefIsValidLocalMasterMirrorSiteFolder, sPrefIsValidKivHiResAlternatePath1})
        rules.push_back(boolean(key));
    std::sort(rules.begin(), rules.end(),
              [](const PreferenceRule& a, const PreferenceRule& b) { return a.key < b.key; });
    return rules;
}

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// The host part of an http(s) address, or nothing when it is not one.
std::optional<std::string> webHost(const std::string& url) {
    std::string l = lower(url);
    std::size_t start;
    if (l.rfind("http://", 0) == 0)
        start = 7;
    else if (l.rfind("https://", 0) == 0)
        start = 8;
    else
        return std::nullopt;
    std::size_t end = url.find_first_of("/?#", start);
    std::string host =
        url.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (host.empty() || host.find_first_of(" \t\r\n") != std::string::npos) return std::nullopt;
    return host;
}

std::string folderPath(const PreferencesStore& store, const char* key) {
    return expandTildeInPath(store.stringForKey(key).value_or(""));
}

// The stand-in service runs on this machine; a real one does not.
bool isLoopbackHost(std::string host) {
    if (auto at = host.rfind('@'); at != std::string::npos) host.erase(0, at + 1);  // user:pw@
    if (!host.empty() && host[0] == '[')
        host = host.substr(1, host.find(']') - 1);
    else
        host = host.substr(0, host.find(':'));
    host = lower(host);
    // 127.x.y.z is loopback as an address, not as the start of a name.
    const bool address = host.find_first_not_of("0123456789.") == std::string::npos;
    return host == "localhost" || host == "::1" || (address && host.rfind("127.", 0) == 0);
}

}  // namespace

const char* preferenceTypeName(PreferenceRule::Type type) {
    switch (type) {
        case Type::Text:
            return "text";
        case Type::Secret:
            return "secret";
        case Type::Boolean:
            return "boolean";
        case Type::Number:
            return "number";
        case Type::Integer:
            return "integer";
        case Type::Folder:
            return "folder";
        case Type::File:
            return "file";
        case Type::Url:
            return "url";
        case Type::Choice:
            return "choice";
    }
    return "text";
}

const std::vector<PreferenceRule>& preferenceRules() {
    static const std::vector<PreferenceRule> rules = buildRules();
    return rules;
}

const PreferenceRule* preferenceRule(const std::string& key) {
    for (const auto& r : preferenceRules())
        if (r.key == key) return &r;
    return nullptr;
}

std::optional<Value> parsePreferenceValue(const std::string& key, const std::string& text,
                                          std::string& error) {
    const PreferenceRule* rule = preferenceRule(key);
    if (!rule) {
        error = key + ": no such setting (vornctl config list names them all)";
        return std::nullopt;
    }
    auto refuse = [&] {
        error = key + ": must be " + rule->rule + "; \"" + text + "\" is not";
        return std::nullopt;
    };
    switch (rule->type) {
        case Type::Boolean: {
            std::string l = lower(text);
            if (l == "yes" || l == "true" || l == "1" || l == "on") return Value(true);
            if (l == "no" || l == "false" || l == "0" || l == "off") return Value(false);
            return refuse();
        }
        case Type::Number:
        case Type::Integer: {
            if (text.empty()) return refuse();
            errno = 0;
            char* end = nullptr;
            double d = std::strtod(text.c_str(), &end);
            if (errno || *end || !std::isfinite(d)) return refuse();
            if (rule->type == Type::Integer && d != std::floor(d)) return refuse();
            if (rule->minExclusive ? d <= rule->min : d < rule->min) return refuse();
            if (rule->max != 0 && d > rule->max) return refuse();
            if (rule->type == Type::Integer) return Value(static_cast<std::int64_t>(d));
            return Value(d);
        }
        case Type::Folder:
        case Type::File:
            if (text.empty() ? !rule->mayBeEmpty : (text[0] != '/' && text[0] != '~'))
                return refuse();
            return Value(text);
        case Type::Url:
            if (!webHost(text)) return refuse();
            return Value(text);
        case Type::Choice:
            if (std::find(rule->choices.begin(), rule->choices.end(), lower(text)) ==
                rule->choices.end())
                return refuse();
            return Value(lower(text));
        case Type::Secret:
        case Type::Text:
            if (text.empty() && !rule->mayBeEmpty) return refuse();
            if (text.find('\0') != std::string::npos) return refuse();
            return Value(text);
    }
    return refuse();
}

std::string preferenceValueText(const std::string& key, const Value& value) {
    if (value.isNone()) return "";
    const PreferenceRule* rule = preferenceRule(key);
    if (rule && rule->type == Type::Secret) return value.stringValue().empty() ? "" : "********";
    if (auto b = value.asBoolean()) return *b ? "yes" : "no";
    if (auto s = value.asString()) return *s;
    if (auto i = value.asInteger()) return std::to_string(*i);
    if (value.isNumber()) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%g", value.doubleValue());
        return buf;
    }
    return value.stringValue();
}

PreferenceChange checkPreferenceChange(const PreferencesStore& store, const std::string& key,
                                       const std::string& text) {
    PreferenceChange change;
    change.value = parsePreferenceValue(key, text, change.error);
    if (!change.value || preferenceRule(key)->type != Type::Folder || text.empty()) return change;
    const std::string path = expandTildeInPath(text);
    std::string source = folderPath(store, sPrefLocalSourceUploadFolder);
    std::string mirror = folderPath(store, sPrefLocalMasterMirrorSiteFolder);
    if (key == sPrefLocalSourceUploadFolder) source = path;
    if (key == sPrefLocalMasterMirrorSiteFolder) mirror = path;
    if (key == sPrefLocalSourceUploadFolder || key == sPrefLocalMasterMirrorSiteFolder) {
        if (auto clash = folderOverlap(source, mirror, problemFolderBeside(mirror))) {
            change.value.reset();
            change.error = key + ": " + *clash;
            return change;
        }
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        change.warnings.push_back(key + ": " + path + " does not exist (" + std::strerror(errno) +
                                  "); stored all the same, as it may be on a disk not mounted "
                                  "yet, but nothing is uploaded until it is there");
    } else if (!S_ISDIR(st.st_mode)) {
        change.value.reset();
        change.error = key + ": " + path + " is not a folder";
    }
    return change;
}

std::vector<std::string> checkPreferences(const PreferencesStore& store) {
    std::vector<std::string> problems;
    const std::string source = folderPath(store, sPrefLocalSourceUploadFolder);
    const std::string mirror = folderPath(store, sPrefLocalMasterMirrorSiteFolder);
    auto checkFolder = [&](const char* key, const std::string& path, bool writable) {
        struct stat st {};
        if (path.empty()) {
            problems.push_back(std::string(key) +
                               ": no folder is set; set one with vornctl config set " + key +
                               " /path/to/folder");
        } else if (::stat(path.c_str(), &st) != 0) {
            problems.push_back(std::string(key) + ": " + path + " does not exist (" +
                               std::strerror(errno) + "); create it or choose another");
        } else if (!S_ISDIR(st.st_mode)) {
            problems.push_back(std::string(key) + ": " + path + " is not a folder");
        } else if (writable && ::access(path.c_str(), W_OK | X_OK) != 0) {
            problems.push_back(std::string(key) + ": " + path +
                               " is not writable by this user; photos cannot be filed there");
        } else {
            return true;
        }
        return false;
    };
    const bool sourceOk = checkFolder(sPrefLocalSourceUploadFolder, source, true);
    const bool mirrorOk = checkFolder(sPrefLocalMasterMirrorSiteFolder, mirror, true);
    if (sourceOk && mirrorOk) {
        if (auto clash = folderOverlap(source, mirror, problemFolderBeside(mirror)))
            problems.push_back(std::string(sPrefLocalSourceUploadFolder) + ": " + *clash);
    }
    const std::string url = store.stringForKey(sPrefKivURL).value_or("");
    if (!webHost(url))
        problems.push_back(std::string(sPrefKivURL) + ": \"" + url +
                           "\" is not a web address beginning with http:// or https://");
    if (store.stringForKey(sUserLoginName).value_or("").empty())
        problems.push_back(std::string(sUserLoginName) + ": no account name is set");
    if (store.stringForKey(sUserLoginPassword).value_or("").empty())
        problems.push_back(std::string(sUserLoginPassword) + ": no password is set");
    for (const auto& rule : preferenceRules()) {
        Value v = store.objectForKey(rule.key);
        if (v.isNone() || rule.type == Type::Folder || rule.type == Type::Url ||
            rule.key == sUserLoginName || rule.key == sUserLoginPassword)
            continue;
        std::string error;
        std::string text = rule.type == Type::Boolean && v.asBoolean()
                               ? (*v.asBoolean() ? "yes" : "no")
                               : preferenceValueText(rule.key, v);
        if (rule.type == Type::Secret) text = v.stringValue();
        if (!parsePreferenceValue(rule.key, text, error)) problems.push_back(error);
    }
    return problems;
}

std::vector<std::string> preferenceWarnings(const PreferencesStore& store) {
    std::vector<std::string> warnings;
    const std::string url = store.stringForKey(sPrefKivURL).value_or("");
    const auto host = webHost(url);
    if (!host || isLoopbackHost(*host)) return warnings;
    const Dictionary factory = store.registeredDefaults();
    for (const char* key : {sUserEnteredEventName, sUserLoginName}) {
        auto it = factory.find(key);
        if (it == factory.end() || store.objectForKey(key) != it->second) continue;
        warnings.push_back(std::string(key) + ": still the factory default \"" +
                           preferenceValueText(key, it->second) + "\" while " + sPrefKivURL +
                           " is a real service (" + url + "); set it with vornctl config set " +
                           key + " VALUE");
    }
    return warnings;
}

}  // namespace vorn
