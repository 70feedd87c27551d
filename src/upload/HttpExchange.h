#pragma once
// One synchronous POST of a multipart body on the calling thread (libcurl easy interface).
// The body streams from its segments; the reply is collected in memory up to a limit.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

#include "platform/Value.h"
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
};

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
};

// Posts body (closed) to url with "Content-Type: multipart/form-data; boundary=..." and the
// exact Content-Length; never asks for 100-continue; verifies TLS certificates.
HttpExchangeResult postMultipart(const std::string& url, MultipartBody& body,
                                 const HttpExchangeOptions& options = {});

}  // namespace vorn
