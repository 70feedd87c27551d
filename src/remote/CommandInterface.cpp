#include "remote/CommandInterface.h"

#include <locale.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <optional>

#include "log/MessageLog.h"
#include "platform/PlatformLog.h"
#include "remote/RemoteProtocol.h"
#include "settings/FactoryDefaults.h"
#include "settings/PreferenceKeys.h"
#include "settings/Preferences.h"

namespace vorn {
namespace {

using remote::kReplyAccepted;
using remote::kReplyCommandFailed;
using remote::kReplyCommandSuccess;

enum class ValueRule { Text, YesNo, PositiveFloat, PositiveDays };

struct SettableKey {
    const char* name;
    ValueRule rule;
};

constexpr SettableKey kSettableKeys[] = {
    {sUserEnteredEventName, ValueRule::Text},
    {sUserLoginName, ValueRule::Text},
    {sUserLoginPassword, ValueRule::Text},
    {sPrefShowPreviewWhenUploading, ValueRule::YesNo},
    {sPrefDeleteEmptyFtpFolders, ValueRule::YesNo},
    {sPrefAutoSynchronize, ValueRule::YesNo},
    {sPrefUseEventName, ValueRule::YesNo},
    {sPrefDoUseDeleteOldPhotos, ValueRule::YesNo},
    {sPrefAutoStartUploadAtStartup, ValueRule::YesNo},
    {sPrefSecondsBetweenScans, ValueRule::PositiveFloat},
    {sPrefDaysOldBeforeDeleting, ValueRule::PositiveDays},
};

constexpr const char* kReadableKeys[] = {
    sUserEnteredEventName,
    sUserLoginName,
    sUserLoginPassword,
    sPrefSecondsBetweenScans,
};

// ASCII only: the process locale (a Turkish dotless i, say) must not decide what a key is.
bool equalsIgnoringCase(const std::string& a, const char* b) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    std::size_t i = 0;
    for (; i < a.size() && b[i] != '\0'; ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return i == a.size() && b[i] == '\0';
}

const SettableKey* settableKey(const std::string& key) {
    for (const SettableKey& k : kSettableKeys)
        if (equalsIgnoringCase(key, k.name)) return &k;
    return nullptr;
}

const char* readableKey(const std::string& key) {
    for (const char* k : kReadableKeys)
        if (equalsIgnoringCase(key, k)) return k;
    return nullptr;
}

// Received texts go into log lines: control characters would forge lines of their own.
std::string shown(const std::string& text) {
    std::string out = text;
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    return out;
}

// The password is not written into the log files.
std::string shownValue(const std::string& key, const std::string& value) {
    return equalsIgnoringCase(key, sUserLoginPassword) ? std::string("********") : shown(value);
}

// The leading decimal number of text by the atof rules (the text 12abc reads 12, abc reads 0),
// independent of the locale the shell set for the process.
double leadingNumber(const std::string& text) {
    static const locale_t cLocale = ::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    if (!cLocale) return std::atof(text.c_str());
    return ::strtod_l(text.c_str(), nullptr, cLocale);
}

// "%3.2f" without the locale's decimal comma.
std::string formatTwoDecimals(float value) {
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 2);
    if (ec != std::errc()) return stringWithFormat("%3.2f", static_cast<double>(value));
    return std::string(buf, end);
}

std::optional<float> storedSeconds() {
    Value v = Preferences::store().objectForKey(sPrefSecondsBetweenScans);
    if (const std::string* s = v.asString()) return static_cast<float>(leadingNumber(*s));
    if (v.isNumber()) return static_cast<float>(v.doubleValue());
    return std::nullopt;
}

AppleEventReply failed() {
    return AppleEventReply::withText(kReplyCommandFailed);
}

// Stores and writes through. When the file cannot be written the previous value is put back,
// so a failed reply never leaves a setting that would silently vanish at the next launch.
AppleEventReply storeSetting(const std::string& key, const Value& value) {
    PreferencesStore& store = Preferences::store();
    Value previous;
    if (store.hasStoredValue(key)) previous = store.objectForKey(key);
    if (saveSettingToUserDefaults(value, key))
        return AppleEventReply::withText(kReplyCommandSuccess);
    platformLog("Unable to write the preferences to [%s]; [%s] keeps its previous value",
                store.path().c_str(), key.c_str());
    store.setObject(key, previous);
    return failed();
}

void logInvalid(const std::string& key, const std::string& value) {
    platformLog("INVALID parameterValue=[%s] for parameterName=[%s]",
                shownValue(key, value).c_str(), shown(key).c_str());
}

AppleEventReply setValue(const std::string& key, const std::string& value) {
    const SettableKey* entry = settableKey(key);
    if (!entry) {
        platformLog("Unsupported keyname=[%s] and keyValue=[%s]", shown(key).c_str(),
                    shownValue(key, value).c_str());
        logInvalid(key, value);
        return failed();
    }
    // Stored under the canonical name: a differently cased key would otherwise sit beside the
    // real setting and change nothing.
    const std::string canonical = entry->name;
    switch (entry->rule) {
        case ValueRule::Text:
            return storeSetting(canonical, value);
        case ValueRule::YesNo:
            if (!isValidYesNoString(value)) {
                logInvalid(key, value);
                return failed();
            }
            return storeSetting(canonical, value);
        case ValueRule::PositiveFloat:
        case ValueRule::PositiveDays: {
            platformLog("the UTF8String is: %s\n\n", shown(value).c_str());
            const float number = static_cast<float>(leadingNumber(value));
            // Infinity and numbers beyond an int would not survive the store or the readers.
            bool valid = std::isfinite(number) && number > 0;
            if (entry->rule == ValueRule::PositiveDays)
                valid = valid && number >= 1 &&
                        number < static_cast<float>(std::numeric_limits<std::int32_t>::max());
            if (!valid) {
                logInvalid(key, value);
                return failed();
            }
            Value stored = entry->rule == ValueRule::PositiveFloat
                               ? Value(static_cast<double>(number))
                               : Value(static_cast<std::int64_t>(std::trunc(number)));
            platformLog("theConverted NSNumber is: [%s]\n\n", stored.stringValue().c_str());
            return storeSetting(canonical, stored);
        }
    }
    return failed();
}

AppleEventReply getValue(const std::string& command, const std::string& key) {
    const char* canonical = readableKey(key);
    if (!canonical) {
        platformLog("Unsupported keyname=[%s] and keyValue=[%s]", shown(key).c_str(), "");
        return failed();
    }
    platformLog("Is Valid keyNameString = [%s]", shown(key).c_str());
    std::optional<std::string> value;
    if (std::string(canonical) == sPrefSecondsBetweenScans) {
        if (auto seconds = storedSeconds()) value = formatTwoDecimals(*seconds);
    } else {
        value = Preferences::store().stringForKey(canonical);
        if (value)
            platformLog("Get Parameter value for keyName [%s] => [%s]", shown(key).c_str(),
                        shownValue(key, *value).c_str());
    }
    if (!value) return AppleEventReply::withText(kReplyCommandSuccess);
    return {AppleEventReply::Kind::TextAndList, kReplyCommandSuccess, {command, key, *value}};
}

std::string fourCharacters(const std::string& code) {
    std::string out = shown(code.substr(0, 4));
    out.resize(4, ' ');
    return out;
}

}  // namespace

CommandInterface::CommandInterface(RemoteActions actions) : actions_(std::move(actions)) {}

AppleEventReply CommandInterface::handleTestAEHandler(const AppleEvent& event) {
    myPrintf("got handleTestAEHandler\n");
    myPrintf("got handleTestAEHandler => examining event\n");
    const std::string cls = fourCharacters(event.eventClass);
    const std::string id = fourCharacters(event.eventID);
    myPrintf(stringWithFormat("theEventClass = [%s]\ntheEventID = [%s]\n", cls.c_str(), id.c_str())
                 .c_str());

    auto is = [&](const char* eventClass, const char* eventID) {
        return event.eventClass == eventClass && event.eventID == eventID;
    };
    if (is(remote::kEventClassVorn, remote::kEventIdPause)) {
        if (actions_.pause) actions_.pause();
        return AppleEventReply::withText(kReplyAccepted);
    }
    if (is(remote::kEventClassVorn, remote::kEventIdResume)) {
        const bool resumed = actions_.resume && actions_.resume();
        return AppleEventReply::withText(resumed ? kReplyAccepted : remote::kReplyNotPaused);
    }
    if (is(remote::kEventClassVorn, remote::kEventIdUploadNow)) {
        if (actions_.uploadNow) actions_.uploadNow();
        return AppleEventReply::withText(kReplyAccepted);
    }
    if (is(remote::kEventClassCore, remote::kEventIdQuit)) {
        platformLog("\n\nReceived kAEQuitApplication...\n\n");
        if (actions_.quit) actions_.quit();
        return AppleEventReply::none();
    }
    if (is(remote::kEventClassVorn, remote::kEventIdCommand)) {
        platformLog("Got the eventID = [%.4s]", id.c_str());
        platformLog("GOT 1234");
        return handleCommand(event.directObject);
    }
    platformLog("Unhandled event class [%s] ID [%s]", cls.c_str(), id.c_str());
    return {AppleEventReply::Kind::NotHandled, {}, {}};
}

AppleEventReply CommandInterface::handleCommand(const Value& directObject) {
    const Array* items = directObject.asArray();
    if (!items) {
        platformLog("Unable to Get descriptorForKeyword: keyDirectObject???\n");
        return failed();
    }
    std::vector<std::string> texts;
    for (std::size_t i = 0; i < items->size() && i < 3; ++i) {
        const std::string* text = (*items)[i].asString();
        platformLog(
            "GOT descriptorForKeyword: keyDirectObject[%i] = [%s]\n", static_cast<int>(i + 1),
            text
                ? (i == 2 && texts.size() == 2 ? shownValue(texts[1], *text) : shown(*text)).c_str()
                : "(not text)");
        if (text) texts.push_back(*text);
    }
    // Fewer than three texts: there is no command to carry out.
    if (texts.size() < 3) {
        platformLog("The command needs three texts: command, key and value");
        return failed();
    }
    const std::string& command = texts[0];
    const std::string& key = texts[1];
    const std::string& value = texts[2];
    platformLog("Got the Command Line = [%s] [%s] [%s]", shown(command).c_str(), shown(key).c_str(),
                shownValue(key, value).c_str());

    if (equalsIgnoringCase(command, remote::kCommandSetValue)) return setValue(key, value);
    if (equalsIgnoringCase(command, remote::kCommandGetValue)) return getValue(command, key);
    platformLog("Unsupported command=[%s]", shown(command).c_str());
    return failed();
}

}  // namespace vorn
