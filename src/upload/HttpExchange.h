#pragma once
// One synchronous POST of a multipart body on the calling thread (libcurl easy interface).
// The body streams from its segments; the reply is collected in memory up to a limit.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "platform/Value.h"
#include "upload/BandwidthLimiter.h"
#include "upload/MultipartBody.h"

namespace vorn {

struct HttpExchangeOptions {
    std::chrono::seconds connectTimeout{60};
    // The exchange ends when fewer than one byte a second moves for this long.
    std::chrono::seconds idleTimeout{60};
    // Set from another thread to abort the exchange; checked at least once a second.
    const std::atomic<bool>* cancel = nullptr;
    // A longer reply is not read on: the exchange ends without a reply body (replyTooLarge).
    // The service's replies are a few hundred bytes; this bounds what a hostile one costs.
    std::size_t maxReplyBytes = 1024 * 1024;
    // Told the bytes of the body sent so far and the body's size, from libcurl's progress
    // callback (many times a second; the receiver throttles).
    std::function<void(std::uint64_t sent, std::uint64_t total)> onProgress;
    // The cap all uploads share; the body is read in pieces it lets go within a tenth of a
    // second, so a cancel is still seen at once.
    BandwidthLimiter* limiter = nullptr;
    // Told why, each time the body goes out again within the exchange: only ever when the
    // copy before it was provably cut short, so the service cannot have taken it.
    std::function<void(const std::string& why)> onResend;
};

// The error of an exchange whose connection was lost with no reply once the whole request could
// have arrived: the service may have taken it, so it is not sent again here.
inline constexpr const char* kLostAfterWholeRequestError =
    "the connection was lost once the whole request was sent, before any reply";

struct HttpExchangeResult {
    std::optional<long> statusCode;
    // "statusCode" and "allHeaderFields" (name -> value) of the final response.
    Dictionary response;
    // The reply body, present when the exchange completed.
    std::optional<std::string> replyBody;
    // Why the exchange failed, when it did.
    std::optional<std::string> error;
    bool cancelled = false;
    // The reply was longer than maxReplyBytes: it is unreadable, and there is no replyBody.
    bool replyTooLarge = false;
    // A file of the body could not be read or changed size while it was sent.
    MultipartBody::ReadFailure bodyFailure = MultipartBody::ReadFailure::None;
    // How many times the body went out again (see HttpExchangeOptions::onResend).
    int resends = 0;
};

// One libcurl handle kept across exchanges, so that its connection and TLS session are reused
// by the next upload to the same service. One exchange at a time; every option is set again
// for each exchange, so per-exchange callbacks stay per exchange.
class HttpSession {
  public:
    HttpSession();
    ~HttpSession();
    HttpSession(const HttpSession&) = delete;
    HttpSession& operator=(const HttpSession&) = delete;

  private:
    friend HttpExchangeResult postMultipart(const std::string&, MultipartBody&,
                                            const HttpExchangeOptions&, HttpSession*);
    std::mutex mutex_;
    void* handle_ = nullptr;  // CURL*
};

// Posts body (closed) to url with "Content-Type: multipart/form-data; boundary=..." and the
// exact Content-Length; never asks for 100-continue; verifies TLS certificates. With a session
// its handle (and open connection) is used, else a handle of its own.
HttpExchangeResult postMultipart(const std::string& url, MultipartBody& body,
                                 const HttpExchangeOptions& options = {},
                                 HttpSession* session = nullptr);

}  // namespace vorn
