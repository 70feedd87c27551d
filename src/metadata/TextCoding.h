#pragma once
// Text checks for embedded metadata: strict UTF-8, and the Exif UserComment with its 8-byte
// character-code header.

#include <string>
#include <string_view>

#include "platform/Utf8.h"

namespace vorn {

enum class UserCommentStatus {
    Missing,      // no tag, shorter than its header, or no text after it
    Text,         // text holds the comment as UTF-8 without NUL bytes
    Undecodable,  // not UTF-8 / UTF-16, or a NUL inside the text
};

struct DecodedUserComment {
    UserCommentStatus status = UserCommentStatus::Missing;
    std::string text;
};

// raw: the tag's bytes as stored. "UNICODE\0" text is UTF-16 in the byte order of a leading
// byte-order mark, else the order its zero bytes show, else that of the Exif block; every other
// header is followed by UTF-8 bytes.
// NUL bytes at the end are terminators and dropped.
DecodedUserComment decodeExifUserComment(std::string_view raw, bool bigEndianExif);

}  // namespace vorn
