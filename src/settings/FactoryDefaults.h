#pragma once
// Factory defaults, the one-time import of the older release's preferences, and the two small
// helpers the remote-control interface uses to store settings.

#include <optional>
#include <string>

#include "platform/Value.h"
#include "settings/PreferencesStore.h"

namespace vorn {

// Reads the factory defaults file and registers it with the store. Returns the factory values
// of the 18 listed keys (the panels' initial values), or nothing when the file is unreadable.
std::optional<Dictionary> setupFactoryDefaults(PreferencesStore& store,
                                               const std::string& factoryPlistPath);
// The "FactoryDefault.plist" resource (where it would be, when it is missing).
std::string defaultFactoryDefaultsPath();

// Copies the listed keys from the older release's preferences once per user and marks the
// import done in "prefDoCopyOldFtpPref".
void importOlderPreferences(PreferencesStore& store, const std::string& oldPlistPath);
// $XDG_CONFIG_HOME/vorn/org.vorn.Vorn-FTPUploader.plist (XDG_CONFIG_HOME defaults to ~/.config).
std::string defaultOlderPreferencesPath();

// Stores value under key in Preferences::store() and writes the store to disk at once.
// False when the write failed (the value is in effect for this run all the same).
bool saveSettingToUserDefaults(const Value& value, const std::string& key);

// True exactly for "yes" or "no" in any letter case; false for no text.
bool isValidYesNoString(const std::string* text);
bool isValidYesNoString(const std::string& text);

}  // namespace vorn
