#pragma once
// Saving the whole preference set to a file of the user's choice and loading it back, as the
// preferences panel offers. Only the keys of the preference key list travel.

#include <string>
#include <vector>

#include "settings/PreferencesStore.h"

namespace vorn {

inline constexpr const char* kPreferenceFileSuffix = ".plist";

// The name a save panel uses for what the user typed: ".plist" appended when missing.
std::string preferenceFileName(const std::string& entered);
// Only names ending in ".plist" are accepted by the save panel.
bool isValidPreferenceFileName(const std::string& name);

// Writes each key of the list that has a value (stored or default) atomically, mode 0600: the
// file holds the password.
bool savePreferencesToFile(const PreferencesStore& store, const std::string& path,
                           std::string* error = nullptr);

// Stores the file's value for each key of the list it holds; keys it lacks keep their values,
// keys outside the list are ignored. A file that is not a dictionary changes nothing (false).
// log receives one line per key of the list; the password's value is never written there.
bool loadPreferencesFromFile(PreferencesStore& store, const std::string& path,
                             std::vector<std::string>* log = nullptr, std::string* error = nullptr);

}  // namespace vorn
