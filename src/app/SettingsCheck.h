#pragma once
// The check of the settings made before a pass is opened: the mirror and source folders exist
// and lie apart, the event name is set, the account is filled in. Reads the preferences; the
// controller keeps the account and the event name it answers and shows the problem.

#include <optional>
#include <string>

namespace vorn {

struct SettingsCheck {
    int errors = 0;
    std::string problem;                   // the first problem, in words the user can act on
    std::optional<std::string> overlap;    // folders that overlap: shown in red at once
    std::optional<std::string> eventName;  // trimmed; set when it was looked at
    // The account to use: the stored one, else the one given.
    std::string userName;
    std::string password;
    bool ok() const { return errors == 0; }
};

// folder: the source folder to check; nothing: the preference. userName and password: the
// account in use, kept when the preferences hold none.
SettingsCheck checkCycleSettings(const std::optional<std::string>& folder,
                                 const std::string& userName, const std::string& password);

// The problem folder lies inside the source folder, or the mirror, or the other way round:
// answers the message that names both, or nothing.
std::optional<std::string> folderOverlap(const std::string& source, const std::string& mirror,
                                         const std::string& problem);

}  // namespace vorn
