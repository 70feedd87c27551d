#include "upload/HttpExchange.h"

#include <curl/curl.h>

#include <algorithm>
#include <mutex>
#include <string_view>

#include "BuildInfo.h"
#include "platform/PlatformLog.h"
#include "platform/Text.h"

namespace vorn {

namespace {

// Big enough that a loopback upload is not held back by the number of callbacks, small enough
// not to matter for memory.
constexpr long kUploadBufferSize = 512 * 1024;

struct Transfer {
    MultipartBody* body = nullptr;
    const HttpExchangeOptions* options = nullptr;
    std::string reply;
    bool replyTooLarge = false;
    bool cancelled = false;
    Dictionary headers;
    // How far into the body curl has read in this attempt: no more than that can have left.
    std::uint64_t position = 0, handedOut = 0;
    // curl wanted to send the body again after all of it had been handed over.
    bool resendRefused = false;
    // Request heads sent in this exchange; every one after the first is a resend.
    int requests = 0, resends = 0;
    std::string resendWhy;  // set by the decision that allowed the next one
};

size_t readBody(char* buf, size_t size, size_t count, void* userdata) {
    auto* t = static_cast<Transfer*>(userdata);
    std::size_t want = size * count;
    BandwidthLimiter* limiter = t->options->limiter;
    const std::uint64_t cap = limiter ? limiter->bytesPerSecond() : 0;
    if (cap != 0) want = std::min<std::size_t>(want, std::max<std::uint64_t>(1024, cap / 10));
    std::optional<std::size_t> n = t->body->read(buf, want);
    if (!n) return CURL_READFUNC_ABORT;
    if (cap != 0) limiter->take(*n);
    t->position += *n;
    t->handedOut = std::max(t->handedOut, t->position);
    return *n;
}

// A body may go out again only while the service provably lacks part of it: once all of it
// could have arrived, the service may have taken the photo and a second copy would double it.
bool mayResend(Transfer& t, std::uint64_t sentAtMost, const std::string& why) {
    if (sentAtMost >= t.body->size()) {
        t.resendRefused = true;
        return false;
    }
    t.resendWhy = why;
    return true;
}

// Counts the request heads that go out: curl sends a request again by itself on a kept
// connection that died (its body only through seekBody).
int watchRequests(CURL*, curl_infotype type, char* data, size_t size, void* userdata) {
    auto* t = static_cast<Transfer*>(userdata);
    if (type != CURLINFO_HEADER_OUT || std::string_view(data, size).substr(0, 5) != "POST ")
        return 0;
    if (++t->requests == 1) return 0;
    ++t->resends;
    if (t->options->onResend)
        t->options->onResend(t->resendWhy.empty()
                                 ? "the kept connection was lost before the photo's bytes went out"
                                 : t->resendWhy);
    t->resendWhy.clear();
    return 0;
}

size_t collectReply(char* data, size_t size, size_t count, void* userdata) {
    auto* t = static_cast<Transfer*>(userdata);
    std::size_t n = size * count;
    if (t->reply.size() + n > t->options->maxReplyBytes) {
        t->replyTooLarge = true;
        return 0;  // ends the exchange with a write error
    }
    t->reply.append(data, n);
    return n;
}

size_t collectHeader(char* data, size_t size, size_t count, void* userdata) {
    auto* t = static_cast<Transfer*>(userdata);
    std::string line(data, size * count);
    if (line.rfind("HTTP/", 0) == 0) {
        t->headers.clear();  // a new (final or interim) response begins
    } else if (std::size_t colon = line.find(':'); colon != std::string::npos) {
        std::string name = trimmed(line.substr(0, colon));
        std::string value = trimmed(line.substr(colon + 1));
        auto it = t->headers.find(name);
        if (it == t->headers.end())
            t->headers.emplace(name, value);
        else
            it->second = it->second.stringValue() + ", " + value;
    }
    return size * count;
}

// Called when curl would send the body again from its start (a reused connection that died
// before any reply came back).
int seekBody(void* userdata, curl_off_t offset, int origin) {
    auto* t = static_cast<Transfer*>(userdata);
    if (origin != SEEK_SET || offset != 0) return CURL_SEEKFUNC_CANTSEEK;
    if (!mayResend(*t, t->handedOut, "the connection was lost before the request was all sent"))
        return CURL_SEEKFUNC_CANTSEEK;
    t->body->rewind();
    t->position = t->handedOut = 0;
    return CURL_SEEKFUNC_OK;
}

int checkCancel(void* userdata, curl_off_t, curl_off_t, curl_off_t ultotal, curl_off_t ulnow) {
    auto* t = static_cast<Transfer*>(userdata);
    if (t->options->onProgress && ulnow >= 0)
        t->options->onProgress(static_cast<std::uint64_t>(ulnow),
                               static_cast<std::uint64_t>(std::max<curl_off_t>(ultotal, 0)));
    if (t->options->cancel && t->options->cancel->load()) {
        t->cancelled = true;
        return 1;
    }
    return 0;
}

// A reused connection that failed before any byte of a reply came back, curl not having sent
// the body again itself.
bool diedBeforeAnyReply(CURL* curl, CURLcode code, long status, const Transfer& t) {
    if (code != CURLE_SEND_ERROR && code != CURLE_RECV_ERROR && code != CURLE_GOT_NOTHING)
        return false;
    long newConnections = -1;
    curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &newConnections);
    return newConnections == 0 && status == 0 && !t.cancelled && t.reply.empty() &&
           !t.resendRefused && t.body->readFailure() == MultipartBody::ReadFailure::None;
}

// The bytes of the body that can have left in the attempt just ended: what curl counted as
// sent, and never more than it read.
std::uint64_t sentAtMost(CURL* curl, const Transfer& t) {
    curl_off_t uploaded = -1;
    if (curl_easy_getinfo(curl, CURLINFO_SIZE_UPLOAD_T, &uploaded) != CURLE_OK || uploaded < 0)
        return t.handedOut;
    return std::min(t.handedOut, static_cast<std::uint64_t>(uploaded));
}

void initCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

HttpSession::HttpSession() = default;

HttpSession::~HttpSession() {
    if (handle_) curl_easy_cleanup(static_cast<CURL*>(handle_));
}

namespace {

// The options of one exchange that stay the same for every attempt.
void setExchangeOptions(CURL* curl, const std::string& url, const HttpExchangeOptions& options,
                        Transfer& t, const std::string& userAgent, char* errorText) {
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, readBody);
    curl_easy_setopt(curl, CURLOPT_READDATA, &t);
    curl_easy_setopt(curl, CURLOPT_SEEKFUNCTION, seekBody);
    curl_easy_setopt(curl, CURLOPT_SEEKDATA, &t);
    curl_easy_setopt(curl, CURLOPT_UPLOAD_BUFFERSIZE, kUploadBufferSize);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, userAgent.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collectReply);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, collectHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, checkCancel);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &t);
    curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, watchRequests);
    curl_easy_setopt(curl, CURLOPT_DEBUGDATA, &t);
    curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT,
                     static_cast<long>(options.connectTimeout.count()));
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, static_cast<long>(options.idleTimeout.count()));
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
}

// The headers that name the body's boundary and length, which a fresh boundary changes.
curl_slist* setBodyOptions(CURL* curl, const MultipartBody& body, curl_slist* previous) {
    curl_slist_free_all(previous);
    curl_slist* headers =
        curl_slist_append(nullptr, ("Content-Type: " + body.contentTypeHeaderValue()).c_str());
    // Without this curl asks for 100-continue above 1 MiB and each upload stalls for a second.
    headers = curl_slist_append(headers, "Expect:");
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    return headers;
}

// Ready for the next attempt: what the last one read and received is forgotten, the count of
// requests and the reason for the next one stay.
void startAttempt(Transfer& t) {
    t.body->rewind();
    t.reply.clear();
    t.replyTooLarge = false;
    t.headers.clear();
    t.position = t.handedOut = 0;
    t.resendRefused = false;
}

// How many fresh boundaries a body is tried with when its files keep holding the one it has
// (a random one: the first is all but certain to do).
constexpr int kMostFreshBoundaries = 3;

void fillResult(HttpExchangeResult& result, CURLcode code, long status, Transfer& t,
                const std::string& url, const char* errorText) {
    const MultipartBody& body = *t.body;
    if (status > 0) {
        result.statusCode = status;
        result.response = Dictionary{{"statusCode", static_cast<std::int64_t>(status)},
                                     {"URL", url},
                                     {"allHeaderFields", t.headers}};
    }
    result.bodyFailure = body.readFailure();
    result.resends = t.resends;
    if (code == CURLE_OK) {
        result.replyBody = std::move(t.reply);
    } else if (t.cancelled) {
        result.cancelled = true;
        result.error = "Upload cancelled";
    } else if (result.bodyFailure == MultipartBody::ReadFailure::FileChanged) {
        result.error = "file changed during upload";
    } else if (result.bodyFailure == MultipartBody::ReadFailure::ReadError) {
        result.error = "cannot read file";
    } else if (result.bodyFailure == MultipartBody::ReadFailure::BoundaryInFile) {
        result.error = "the file's bytes hold every boundary tried";
    } else if (t.resendRefused) {
        result.error = kLostAfterWholeRequestError;
    } else if (t.replyTooLarge) {
        platformLog("The reply from [%s] is larger than %zu bytes: not read", url.c_str(),
                    t.options->maxReplyBytes);
        result.replyTooLarge = true;
    } else {
        std::string text = curl_easy_strerror(code);
        if (errorText[0]) text += std::string(": ") + errorText;
        result.error = text;
    }
}

}  // namespace

HttpExchangeResult postMultipart(const std::string& url, MultipartBody& body,
                                 const HttpExchangeOptions& options, HttpSession* session) {
    initCurlOnce();
    HttpExchangeResult result;
    std::unique_lock<std::mutex> sessionLock;
    CURL* curl = nullptr;
    if (session) {
        sessionLock = std::unique_lock(session->mutex_);
        if (!session->handle_) session->handle_ = curl_easy_init();
        curl = static_cast<CURL*>(session->handle_);
        // Back to a fresh handle's options; the open connection and TLS session stay.
        if (curl) curl_easy_reset(curl);
    } else {
        curl = curl_easy_init();
    }
    if (!curl) {
        result.error = "cannot create an HTTP request";
        return result;
    }
    Transfer t;
    t.body = &body;
    t.options = &options;
    std::string userAgent = std::string(build::kDisplayName) + "/" + build::kVersion;
    char errorText[CURL_ERROR_SIZE] = {0};
    setExchangeOptions(curl, url, options, t, userAgent, errorText);
    curl_slist* headers = nullptr;

    CURLcode code = CURLE_OK;
    long status = 0;
    for (int freshBoundaries = 0;;) {
        startAttempt(t);
        headers = setBodyOptions(curl, body, headers);
        errorText[0] = 0;
        code = curl_easy_perform(curl);
        status = 0;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        if (body.readFailure() == MultipartBody::ReadFailure::BoundaryInFile && !t.cancelled &&
            freshBoundaries++ < kMostFreshBoundaries) {
            // Stopped before the boundary went out, so the service saw a request cut short.
            body.useFreshBoundary();
            t.resendWhy = "its bytes hold the form's boundary; sending it with a fresh one";
            continue;
        }
        if (session && diedBeforeAnyReply(curl, code, status, t) &&
            mayResend(t, sentAtMost(curl, t),
                      std::string("the kept connection was closed before the request was all "
                                  "sent (") +
                          curl_easy_strerror(code) + ")")) {
            // The service closed the kept connection while we were sending on it (an idle
            // timeout racing our request): nothing reached it whole, so send once more afresh.
            platformLog("The kept connection to [%s] was closed (%s): sending again on a new one",
                        url.c_str(), curl_easy_strerror(code));
            curl_easy_setopt(curl, CURLOPT_FRESH_CONNECT, 1L);
            continue;
        }
        break;
    }
    curl_easy_setopt(curl, CURLOPT_FRESH_CONNECT, 0L);
    fillResult(result, code, status, t, url, errorText);
    curl_slist_free_all(headers);
    if (session) {
        // Nothing of this exchange may be left pointing into its stack frame.
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
        curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
        curl_easy_setopt(curl, CURLOPT_VERBOSE, 0L);  // closing the connection later says so
        curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, nullptr);
        curl_easy_setopt(curl, CURLOPT_DEBUGDATA, nullptr);
    } else {
        curl_easy_cleanup(curl);
    }
    return result;
}

}  // namespace vorn
