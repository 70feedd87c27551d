#include "metadata/TextCoding.h"

#include <cstdint>

#include "platform/Utf8.h"

namespace vorn {
namespace {

void appendUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xc0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3f));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xe0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (cp & 0x3f));
    } else {
        out += static_cast<char>(0xf0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3f));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (cp & 0x3f));
    }
}

// Writers disagree on the byte order of UTF-16 without a mark (some follow the Exif block,
// some always write one order). Mostly-ASCII text such as XML shows its order by where the
// zero bytes fall; text without a clear majority keeps the block's order.
bool guessUtf16ByteOrder(std::string_view bytes, bool blockBigEndian) {
    std::size_t zeroHigh = 0, zeroLow = 0;  // as big-endian: high byte first
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        zeroHigh += bytes[i] == '\0';
        zeroLow += bytes[i + 1] == '\0';
    }
    if (zeroHigh == zeroLow) return blockBigEndian;
    return zeroHigh > zeroLow;
}

bool utf16ToUtf8(std::string_view bytes, bool bigEndian, std::string& out) {
    if (bytes.size() >= 2) {
        auto b0 = static_cast<unsigned char>(bytes[0]);
        auto b1 = static_cast<unsigned char>(bytes[1]);
        if (b0 == 0xfe && b1 == 0xff) {
            bigEndian = true;
            bytes.remove_prefix(2);
        } else if (b0 == 0xff && b1 == 0xfe) {
            bigEndian = false;
            bytes.remove_prefix(2);
        } else {
            bigEndian = guessUtf16ByteOrder(bytes, bigEndian);
        }
    }
    // An odd trailing NUL is padding; any other odd byte means the text was cut.
    if (bytes.size() % 2) {
        if (bytes.back() != '\0') return false;
        bytes.remove_suffix(1);
    }
    out.reserve(out.size() + bytes.size() / 2 * 3);
    auto unit = [&](std::size_t i) -> std::uint32_t {
        auto a = static_cast<unsigned char>(bytes[i]);
        auto b = static_cast<unsigned char>(bytes[i + 1]);
        return bigEndian ? (a << 8) | b : (b << 8) | a;
    };
    for (std::size_t i = 0; i < bytes.size(); i += 2) {
        std::uint32_t u = unit(i);
        if (u >= 0xd800 && u < 0xdc00) {
            if (i + 3 >= bytes.size()) return false;
            std::uint32_t low = unit(i + 2);
            if (low < 0xdc00 || low >= 0xe000) return false;
            u = 0x10000 + ((u - 0xd800) << 10) + (low - 0xdc00);
            i += 2;
        } else if (u >= 0xdc00 && u < 0xe000) {
            return false;
        }
        appendUtf8(out, u);
    }
    return true;
}

}  // namespace

DecodedUserComment decodeExifUserComment(std::string_view raw, bool bigEndianExif) {
    DecodedUserComment result;
    if (raw.size() <= 8) return result;
    const std::string_view header = raw.substr(0, 8);
    const std::string_view payload = raw.substr(8);
    std::string text;
    if (header == std::string_view("UNICODE\0", 8)) {
        if (!utf16ToUtf8(payload, bigEndianExif, text)) {
            result.status = UserCommentStatus::Undecodable;
            return result;
        }
    } else {
        text.assign(payload);
    }
    auto end = text.find_last_not_of('\0');
    text.resize(end == std::string::npos ? 0 : end + 1);
    if (text.empty()) return result;
    if (text.find('\0') != std::string::npos || !isValidUtf8(text)) {
        result.status = UserCommentStatus::Undecodable;
        return result;
    }
    result.status = UserCommentStatus::Text;
    result.text = std::move(text);
    return result;
}

}  // namespace vorn
