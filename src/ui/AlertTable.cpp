#include "ui/AlertTable.h"

#include <cstdlib>

#include "platform/PlatformLog.h"
#include "platform/PropertyList.h"

namespace vorn {

std::string getPreferredLanguage(const std::vector<std::string>& preferredLanguages) {
    if (preferredLanguages.empty() || preferredLanguages.front().empty()) return "English";
    const std::string& code = preferredLanguages.front();
    if (code == "en") return "English";
    if (code == "es") return "Spanish";
    platformLog("NOT translated = %s", code.c_str());
    return code;
}

std::vector<std::string> desktopPreferredLanguages() {
    std::vector<std::string> out;
    auto add = [&](std::string locale) {
        locale = locale.substr(0, locale.find_first_of("_.@"));
        if (locale.empty() || locale == "C" || locale == "POSIX") return;
        out.push_back(locale);
    };
    if (const char* list = std::getenv("LANGUAGE"); list && *list) {
        std::string s = list;
        for (size_t start = 0; start <= s.size();) {
            size_t end = s.find(':', start);
            if (end == std::string::npos) end = s.size();
            add(s.substr(start, end - start));
            start = end + 1;
        }
        if (!out.empty()) return out;
    }
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        if (const char* v = std::getenv(name); v && *v) {
            add(v);
            break;
        }
    }
    return out;
}

namespace {
std::string textOr(const Value* v, const std::string& fallback) {
    const std::string* s = v ? v->asString() : nullptr;
    return s ? *s : fallback;
}
std::optional<std::string> optionalText(const Dictionary& d, const char* key) {
    auto it = d.find(key);
    if (it == d.end() || !it->second.asString()) return std::nullopt;
    return *it->second.asString();
}
}  // namespace

std::string alertTableFallback(const std::string& language) {
    const std::size_t cut = language.find_first_of("-_");
    if (cut == std::string::npos || cut == 0) return "";
    return getPreferredLanguage({language.substr(0, cut)});
}

std::optional<AlertText> lookUpAlert(const std::string& resourceDir, const std::string& language,
                                     const std::string& table, const std::string& key,
                                     const std::string& arg1, const std::string& arg2,
                                     AlertText* fallback) {
    auto tableFor = [&](const std::string& name) {
        return readPropertyListFile(resourceDir + "/" + name + ".lproj/" + table + ".strings");
    };
    std::optional<Value> root = tableFor(language);
    if (!root) {
        if (std::string general = alertTableFallback(language); !general.empty())
            root = tableFor(general);
    }
    const Dictionary* entry = nullptr;
    if (!root || !root->isDictionary()) {
        platformLog("WHAT???  myTestDictionary is nil");
    } else {
        auto it = root->asDictionary()->find(key);
        entry = it == root->asDictionary()->end() ? nullptr : it->second.asDictionary();
        if (!entry) platformLog("WHAT???  mySubDictionary is nil");
    }
    if (!entry) {
        if (fallback) {
            fallback->title = "Unable to Find Resource For:";
            fallback->message = "name.strings = \"" + table + "\"\rkey = \"" + key + "\"";
            fallback->defaultButton = "OK";
        }
        return std::nullopt;
    }
    auto find = [&](const char* k) -> const Value* {
        auto it = entry->find(k);
        return it == entry->end() ? nullptr : &it->second;
    };
    AlertText text;
    text.title = textOr(find("title"), "NO INFO");
    std::string format = textOr(find("mesg"), "(No Further Info Given)");
    const std::string* args[] = {&arg1, &arg2};
    int used = 0;
    for (size_t pos = 0; used < 2 && (pos = format.find("%@", pos)) != std::string::npos;) {
        format.replace(pos, 2, *args[used]);
        pos += args[used]->size();
        ++used;
    }
    text.message = format;
    text.defaultButton = textOr(find("defaultButton"), "");
    text.alternateButton = optionalText(*entry, "alternateButton");
    text.otherAltButton = optionalText(*entry, "otherAltButton");
    return text;
}

}  // namespace vorn
