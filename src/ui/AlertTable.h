#pragma once
// The alert texts: each alert is named by a key ("NSAlertWindow_9008") and its title, message
// and button labels come from a per-language table among the resources
// (<share>/<Language>.lproj/<table>.strings, a property-list dictionary).

#include <optional>
#include <string>
#include <vector>

namespace vorn {

inline constexpr const char* kAlertTableName = "myLocalDictionary";

// "en" gives "English", "es" gives "Spanish", any other code is passed on unchanged; an empty
// list gives "English". Only the first entry counts.
std::string getPreferredLanguage(const std::vector<std::string>& preferredLanguages);

// The desktop's preferred language codes, from LANGUAGE, LC_ALL, LC_MESSAGES and LANG
// ("es_ES.UTF-8" gives "es"; "C" and "POSIX" give nothing).
std::vector<std::string> desktopPreferredLanguages();

struct AlertText {
    std::string title;
    std::string message;
    std::string defaultButton;  // empty: the platform's own "OK"
    std::optional<std::string> alternateButton;
    std::optional<std::string> otherAltButton;
};

// The language whose table serves a code with a region that has none of its own: "en-US" and
// "en_GB" give "English", "es_MX" gives "Spanish", "fr-CA" gives "fr"; empty without a region.
std::string alertTableFallback(const std::string& language);

// The alert in the table for language (else in its fallback's), with "%@" in the message
// replaced by arg1 then arg2. A missing table or entry gives nothing and the text of the
// fallback panel in *fallback.
std::optional<AlertText> lookUpAlert(const std::string& resourceDir, const std::string& language,
                                     const std::string& table, const std::string& key,
                                     const std::string& arg1, const std::string& arg2,
                                     AlertText* fallback);

}  // namespace vorn
