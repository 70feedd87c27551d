#include "app/SettingsCheck.h"

#include <filesystem>

#include "log/MessageLog.h"
#include "platform/PathUtilities.h"
#include "platform/PlatformLog.h"
#include "platform/Text.h"
#include "settings/FolderRules.h"
#include "settings/PreferenceKeys.h"
#include "settings/Preferences.h"
#include "settings/PreferencesStore.h"
#include "upload/Records.h"

namespace vorn {

namespace {

constexpr const char* kEventNamePlaceholderText = "turnOnCheckBoxIfUsingThisOption";

bool isDirectory(const std::string& path) {
    std::error_code ec;
    return std::filesystem::is_directory(path, ec);
}

// One folder preference: empty or not a folder counts one error.
std::string checkFolder(const std::string& value, const char* what, const char* notSelected,
                        const char* notValid, SettingsCheck& check) {
    auto note = [&check](const std::string& text) {
        if (check.problem.empty()) check.problem = text;
        ++check.errors;
    };
    if (value.empty()) {
        myNSLog("%s", notSelected);
        note(std::string("No ") + what + " folder is chosen: choose one in Preferences");
        return value;
    }
    std::string folder = expandTildeInPath(value);
    myNSLog("Checking for folder: [%s]", folder.c_str());
    if (!isDirectory(folder)) {
        myNSLog(notValid, folder.c_str());
        std::string name = what;
        name[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(name[0])));
        note(name + " folder " + folder +
             " does not exist: connect its disk or choose another folder in Preferences");
    }
    return folder;
}

// The event name trimmed of white space, written back when it had any.
std::optional<std::string> trimmedEventName() {
    auto stored = Preferences::store().stringForKey(sUserEnteredEventName);
    if (!stored) {
        platformLog("USER did NOT Enter a Valid Event/Location Name");
        return std::nullopt;
    }
    std::string name = trimmed(*stored);
    if (!equalsIgnoringCase(name, *stored)) {
        Preferences::store().setObject(sUserEnteredEventName, name);
        Preferences::store().synchronize();
    }
    return name;
}

}  // namespace

SettingsCheck checkCycleSettings(const std::optional<std::string>& folder,
                                 const std::string& userName, const std::string& password) {
    SettingsCheck check;
    const std::string mirror =
        checkFolder(Preferences::getLocalMasterMirrorSiteFolder().value_or(""), "mirror",
                    "Local Master Mirror Folder Has NOT Been Selected Yet...",
                    "Local Master Mirror Folder is NOT a Valid FOLDER: [%s]", check);
    const std::string source =
        checkFolder(folder ? *folder : Preferences::getLocalSourceUploadFolder().value_or(""),
                    "source", "Local Source Upload Folder Has NOT Been Selected Yet...",
                    "Local Source Upload Folder is NOT a Valid FOLDER: [%s]", check);

    if (check.errors == 0) {
        const std::optional<std::string> problem = Preferences::getLocalProblemUploadFolder();
        if (auto clash =
                folderOverlap(source, mirror, problem ? expandTildeInPath(*problem) : "")) {
            myNSLog("%s", clash->c_str());
            check.overlap = clash;
            check.problem = *clash;
            ++check.errors;
        }
    }
    if (check.errors == 0) {
        check.eventName = trimmedEventName();
        const std::string event = check.eventName.value_or("");
        if (event.empty() || equalsIgnoringCase(event, kEventNamePlaceholderText)) {
            platformLog("Event/Location Name is NOT valid: [%s]", event.c_str());
            if (check.problem.empty())
                check.problem = "No event name is set: enter it in Preferences";
            check.errors = 1;
        }
    }

    // The account: the stored one, else the one in use (the built-in test account at first).
    auto storedName = Preferences::getCurUserLoginName();
    auto storedPassword = Preferences::getCurUserLoginPassword();
    if (!storedName) writeToStandardError("Using Factory default for curUserLoginName\n");
    if (!storedPassword) writeToStandardError("Using Factory default for curUserLoginPassword\n");
    check.userName = storedName.value_or(userName);
    check.password = storedPassword.value_or(password);
    auto note = [&check](const char* log, const char* text) {
        platformLog("%s", log);
        if (check.problem.empty()) check.problem = text;
        ++check.errors;
    };
    if (check.password.empty())
        note("Login Password is EMPTY", "The login password is empty: enter it in Preferences");
    if (check.userName.empty())
        note("Login Name is EMPTY", "The login name is empty: enter it in Preferences");
    return check;
}

}  // namespace vorn
