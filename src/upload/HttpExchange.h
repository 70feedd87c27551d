#pragma once
// One synchronous POST of a multipart body on the calling thread (libcurl easy interface).
// The body streams from its segments; the reply is collected in memory up to a limit.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
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
    // A longer reply is cut off and the exchange fails.
    std::size_t maxReplyBytes = 16 * 1024 * 1024;
    // Told the bytes of the body sent so far and the body's size, from libcurl's progress
    // callback (many times a second; the receiver throttles).
    std::function<void(std::uint64_t sent, std::uint64_t total)> onProgress;
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
    // A file of the body could not be read or changed size while it was sent.
    MultipartBody::ReadFailure bodyFailure = MultipartBody::ReadFailure::None;
};

// Posts body (closed) to url with "Content-Type: multipart/form-data; boundary=..." and the
// exact Content-Length; never asks for 100-continue; verifies TLS certificates.
HttpExchangeResult postMultipart(const std::string& url, MultipartBody& body,
                                 const HttpExchangeOptions& options = {});

}  // namespace vorn
