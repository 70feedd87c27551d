#include "upload/Records.h"

#include <strings.h>

#include "platform/PlatformLog.h"

namespace vorn {

DictionaryPtr makeScanRequest(const std::string& rootFolder, const std::string& mirrorFolder,
                              const std::string& eventName) {
    return makeRecord({{cDictKeyLocalSourceUploadFolder, rootFolder},
                       {cDictKeyLocalMirrorFolder, mirrorFolder},
                       {cDictKeyUserEnteredEventName, eventName}});
}

DictionaryPtr makeResultRecord(const Dictionary& item) {
    return makeRecord(item);
}

Value makeErrorValue(const std::string& localizedDescription) {
    return Value(Dictionary{{kErrorLocalizedDescription, localizedDescription}});
}

std::string errorDescription(const Value& error) {
    if (const Dictionary* d = error.asDictionary())
        if (const std::string* s = stringForKey(*d, kErrorLocalizedDescription)) return *s;
    return error.stringValue();
}

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

bool uploadSucceeded(const Dictionary& result) {
    if (hasKey(result, httpError)) return false;
    if (const std::string* status = stringForKey(result, httpOurCustomStatus)) {
        if (equalsIgnoringCase(*status, kStatusFail) || equalsIgnoringCase(*status, kStatusError) ||
            equalsIgnoringCase(*status, kStatusWarning))
            return false;
    }
    auto code = result.find(httpStatusCode);
    if (code != result.end() && code->second.integerValue() != 200) {
        platformLog("HTTP Status Code is [%li]", static_cast<long>(code->second.integerValue()));
        return false;
    }
    return true;
}

}  // namespace vorn
