#pragma once
// The version of a photo that went out: the file as it was when it was opened for the upload,
// and a checksum of the bytes that were sent. Tools that set a photo's date from its capture
// date touch it after it is closed, perhaps while it is being sent: a changed time stamp alone
// does not make it another photo. The bytes decide, and are read again only in that rare case.

#include <cstdint>
#include <optional>
#include <string>

#include "files/FilingJournal.h"
#include "platform/Value.h"

namespace vorn {

struct SentVersion {
    FileStamp stamp;                        // when it was opened
    std::optional<std::uint64_t> checksum;  // of every byte sent; none when not all went out
    bool operator==(const SentVersion&) const = default;
};

// The ContentChecksum of the bytes of the regular file at path; nothing when it cannot be read.
std::optional<std::uint64_t> fileChecksum(const std::string& path);

// True when the file at path is the version sent: the same stamp, or, with only the stamp (or
// the file's identity) changed, the same size and bytes.
bool sameContentAsSent(const std::string& path, const SentVersion& sent);

// The version as the result record carries it (httpSentVersion), and back.
Value sentVersionValue(const SentVersion& sent);
std::optional<SentVersion> sentVersionOf(const Dictionary& result);

}  // namespace vorn
