#pragma once
// What each preference key may hold, for the command-line editor and the configuration check:
// its type, its rule in words, and the parse of a value given as text.

#include <optional>
#include <string>
#include <vector>

#include "platform/Value.h"

namespace vorn {

class PreferencesStore;

inline constexpr const char* sPrefLogLevel = "prefLogLevel";
// Where the uploader writes its counters in the Prometheus text format; empty: nowhere.
inline constexpr const char* sPrefMetricsFile = "prefMetricsFile";

struct PreferenceRule {
    enum class Type { Text, Secret, Boolean, Number, Integer, Folder, File, Url, Choice };
    std::string key;
    Type type = Type::Text;
    std::string rule;         // in words, e.g. "a number of seconds above 0"
    double min = 0, max = 0;  // Number and Integer: inclusive bounds (max 0: none)
    bool minExclusive = false;
    bool mayBeEmpty = true;            // Text, Folder
    std::vector<std::string> choices;  // Choice
};

const char* preferenceTypeName(PreferenceRule::Type type);

// Every key the store knows, in name order.
const std::vector<PreferenceRule>& preferenceRules();
const PreferenceRule* preferenceRule(const std::string& key);

// The value for key given as text, or nothing with error naming the key and the rule.
std::optional<Value> parsePreferenceValue(const std::string& key, const std::string& text,
                                          std::string& error);

// A stored value as text for a person; a password shows as stars.
std::string preferenceValueText(const std::string& key, const Value& value);

// One value for key given as text, checked against the key's rule and against the settings it
// must agree with: the source folder must not overlap the mirror or problem folder. A folder
// that does not exist is kept with a warning (it may be on a disk not mounted yet); a file
// where a folder should be is refused.
struct PreferenceChange {
    std::optional<Value> value;         // nothing: refused
    std::string error;                  // why it was refused, naming the key
    std::vector<std::string> warnings;  // kept, but worth a word to the person setting it
};
PreferenceChange checkPreferenceChange(const PreferencesStore& store, const std::string& key,
                                       const std::string& text);

// The settings as a whole: folders exist, the mirror folder is writable, the source folder
// overlaps neither the mirror nor the problem folder, the address is a web address, a login is
// set. One line per problem; empty when all is well.
std::vector<std::string> checkPreferences(const PreferencesStore& store);

// Settings that work but are likely not what a real desk wants: the factory's event name or
// account name while the service address is not the stand-in's on this machine (loopback).
// One line per warning.
std::vector<std::string> preferenceWarnings(const PreferencesStore& store);

}  // namespace vorn
