#include <gtest/gtest.h>
#include <iconv.h>

#include <set>
#include <string>

#include "platform/Utf8.h"

namespace vorn {
namespace {

// What the system's converter makes of the bytes, or nothing where it has none.
std::optional<std::string> systemMacRoman(const std::string& bytes) {
    iconv_t cd = ::iconv_open("UTF-8", "MACINTOSH");
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
    std::string out(bytes.size() * 4, '\0');
    char* in = const_cast<char*>(bytes.data());
    char* o = out.data();
    std::size_t inLeft = bytes.size(), outLeft = out.size();
    const std::size_t r = ::iconv(cd, &in, &inLeft, &o, &outLeft);
    ::iconv_close(cd);
    if (r == static_cast<std::size_t>(-1)) return std::nullopt;
    out.resize(out.size() - outLeft);
    return out;
}

// Names from other systems' disks: what is not UTF-8 is replaced byte by byte, the rest kept.
TEST(Utf8, WhatIsNotWellFormedIsReplacedAndTheRestKept) {
    const std::string R = "\xEF\xBF\xBD";
    const std::pair<std::string, std::string> rows[] = {
        {"Caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\xB7", "Caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\xB7"},
        {"Caf\xE9.jpg", "Caf" + R + ".jpg"},  // Latin-1
        {"\xC0\xAF", R + R},                  // overlong '/'
        {"\xED\xA0\x80", R + R + R},          // a surrogate
        {"\xF4\x90\x80\x80", R + R + R + R},  // above U+10FFFF
        {"a\xE2\x82", "a" + R + R},           // cut short
        {"\x80z", R + "z"},                   // a lone continuation byte
    };
    for (const auto& [in, out] : rows) {
        EXPECT_EQ(utf8Replacing(in), out) << in;
        EXPECT_EQ(isValidUtf8(in), in == out) << in;
    }
}

// The service's replies are Mac OS Roman. The table is built in: a system without that
// converter must still read "FAIL" as FAIL.
TEST(MacRoman, EveryByteReadsAsItsCharacter) {
    const std::pair<std::string, std::string> rows[] = {
        {"FAIL", "FAIL"},
        {"", ""},
        {std::string("a\0b", 3), std::string("a\0b", 3)},
        {"Caf\x8E", "Café"},
        {"\x80\x9F\xA5\xAA\xC9\xCA", "Äü•™…\u00A0"},
        {"\xD2Quoted\xD3 \xD5", "“Quoted” ’"},
        {"\xDB\xDE\xF0\xF5\xFF", "€ﬁ\uF8FFıˇ"},
    };
    for (const auto& [bytes, text] : rows) EXPECT_EQ(macRomanToUtf8(bytes), text) << bytes;

    std::set<std::string> seen;
    for (int b = 0; b < 256; ++b) {
        const std::string byte(1, static_cast<char>(b));
        const std::string text = macRomanToUtf8(byte);
        EXPECT_TRUE(isValidUtf8(text)) << b;
        if (b < 0x80) {
            EXPECT_EQ(text, byte);
        }
        EXPECT_TRUE(seen.insert(text).second) << "two bytes read as one character: " << b;
        // The system's table, where there is one, agrees but for the maker's logo and the
        // increment sign, which it reads as older characters.
        if (auto system = systemMacRoman(byte); system && b != 0xF0 && b != 0xC6) {
            EXPECT_EQ(text, *system) << b;
        }
    }
}

}  // namespace
}  // namespace vorn
