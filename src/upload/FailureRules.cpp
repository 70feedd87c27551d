#include "upload/FailureRules.h"

#include "platform/PlatformLog.h"
#include "platform/Text.h"
#include "upload/HttpController.h"
#include "upload/Records.h"
#include "upload/RetryBackoff.h"

namespace vorn {

namespace {

std::optional<std::chrono::milliseconds> retryAfterOf(const Dictionary& result) {
    auto response = result.find(httpResponse);
    if (response == result.end() || !response->second.asDictionary()) return std::nullopt;
    const Dictionary& r = *response->second.asDictionary();
    auto headers = r.find("allHeaderFields");
    if (headers == r.end() || !headers->second.asDictionary()) return std::nullopt;
    for (const auto& [name, value] : *headers->second.asDictionary())
        if (equalsIgnoringCase(name, "Retry-After")) return parseRetryAfter(value.stringValue());
    return std::nullopt;
}

std::string statusCodeText(long code) {
    return stringWithFormat("HTTP Server Returned Status Code: %li", code);
}

// A network error (no reply): a photo that could not be read or changed while it was sent goes
// again once it has settled, without a wait; a cancelled upload is the quit's.
std::optional<std::string> networkRetryReason(const Dictionary& d, const std::string& host) {
    auto err = d.find(httpError);
    if (err == d.end()) return std::nullopt;
    const std::string description = errorDescription(err->second);
    if (description == kCannotReadFileError) {
        const std::string* item = stringForKey(d, cDictKeyCurItem);
        return "could not read " + (item ? *item : std::string("the photo"));
    }
    if (description == kUploadCancelledError || description == kFileChangedError)
        return std::nullopt;
    return "no reply from " + (host.empty() ? "the service" : host) + ": " + description;
}

}  // namespace

bool isTransientStatus(long code) {
    return code == 429 || code == 502 || code == 503 || code == 504;
}

FailureVerdict judgeFailedUpload(const Dictionary& d, const std::string& serviceHost) {
    FailureVerdict v;
    if (const std::string* m = stringForKey(d, httpOurCustomMessage)) v.message = *m;
    std::optional<long> code;
    if (auto c = d.find(httpStatusCode); c != d.end())
        code = static_cast<long>(c->second.integerValue());
    const bool ok200 = !code || *code == 200;
    const bool noEmail = equalsIgnoringCase(v.message, kMessageNoEmailAddressesSent);
    v.retryReason = networkRetryReason(d, serviceHost);

    if (const std::string* status = stringForKey(d, httpOurCustomStatus)) {
        if (equalsIgnoringCase(*status, kStatusError)) {
            v.errorsShown.push_back(v.message);
            v.stop = true;
        } else if (equalsIgnoringCase(*status, kStatusWarning)) {
            v.errorsShown.push_back(v.message);
            v.setAside = true;  // a Warning: the service took it, and it goes aside
        } else if (equalsIgnoringCase(*status, kStatusOK)) {
            // An OK under a failing status code is no success and is not shown as one.
            if (ok200) v.noteShown = v.message;
        } else if (equalsIgnoringCase(*status, kStatusFail) && !v.retryReason && ok200 &&
                   !noEmail) {
            auto unreadable = d.find(httpReplyUnreadable);
            v.retryReason = unreadable != d.end() && unreadable->second.boolValue()
                                ? std::string("unreadable reply")
                                : "service answered FAIL: " + v.message;
        }
    }
    if (code) {
        if (*code == 200) {
            if (noEmail) {
                v.pause = FailureVerdict::Pause::AfterNoEmailAddresses;
                v.setAside = true;
            }
        } else if (isTransientStatus(*code)) {
            v.retryReason = statusCodeText(*code);
            v.retryAfter = retryAfterOf(d);
            v.setAside = false;
        } else {
            v.errorsShown.push_back(statusCodeText(*code));
            v.pause = FailureVerdict::Pause::AfterHttpError;
            v.setAside = true;
        }
    }
    v.setAsideReason = code && *code != 200 ? statusCodeText(*code) : v.message;
    return v;
}

}  // namespace vorn
