// The Exif UserComment's UTF-16 text in whichever byte order its writer chose.

#include <gtest/gtest.h>

#include <string>

#include "metadata/TextCoding.h"

namespace vorn {
namespace {

std::string utf16(std::u16string_view text, bool bigEndian) {
    std::string out;
    for (char16_t c : text) {
        const char hi = static_cast<char>(c >> 8), lo = static_cast<char>(c & 0xff);
        out += bigEndian ? hi : lo;
        out += bigEndian ? lo : hi;
    }
    return out;
}

TEST(UserComment, Utf16InEitherByteOrder) {
    const std::string header("UNICODE\0", 8);
    const std::u16string xml = u"<?xml version=\"1.0\"?><plist><string>Zoë 田中</string></plist>";
    const std::string xmlUtf8 = "<?xml version=\"1.0\"?><plist><string>Zoë 田中</string></plist>";
    struct Row {
        const char* what;
        std::string payload;
        bool bigEndianBlock;
        std::string expected;
    };
    const Row rows[] = {
        {"block order, big", utf16(xml, true), true, xmlUtf8},
        {"little-endian text in a big-endian block", utf16(xml, false), true, xmlUtf8},
        {"byte-order mark wins", "\xff\xfe" + utf16(xml, false), true, xmlUtf8},
        // No zero bytes to tell the order by: the block's order.
        {"text without ASCII", utf16(u"田中", true), true, "田中"},
        {"text without ASCII, other block", utf16(u"田中", false), false, "田中"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        DecodedUserComment d = decodeExifUserComment(header + row.payload, row.bigEndianBlock);
        EXPECT_EQ(d.status, UserCommentStatus::Text);
        EXPECT_EQ(d.text, row.expected);
    }
}

}  // namespace
}  // namespace vorn
