#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/PropertyList.h"
#include "support/Python.h"
#include "support/TempDir.h"

using namespace vorn;

namespace {

const std::string kPlist = "<plist version=\"1.0\">";

std::string repeated(const std::string& part, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += part;
    return out;
}

// A binary list of n objects: object i is an array holding object i+1 (twice when `twice`,
// which makes a graph whose unfolded tree has 2^n nodes); the last is a 64-byte string.
std::string binaryChain(int n, bool twice) {
    auto be32 = [](std::uint64_t v) {
        return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16),
                           static_cast<char>(v >> 8), static_cast<char>(v)};
    };
    auto be64 = [&](std::uint64_t v) { return be32(v >> 32) + be32(v); };
    std::string body = "bplist00";
    std::string offsets;  // of each object, in order
    for (int i = 0; i < n - 1; ++i) {
        offsets += be32(body.size());
        body += twice ? "\xA2" : "\xA1";
        body += be32(i + 1);
        if (twice) body += be32(i + 1);
    }
    offsets += be32(body.size());
    body += std::string("\x5F\x10\x40", 3) + std::string(64, 'x');
    // Offsets and references of 4 bytes; n objects, the top one first.
    return body + offsets + std::string(6, '\0') + "\x04\x04" + be64(n) + be64(0) +
           be64(body.size());
}

}  // namespace

// Python's plistlib writes both formats; we read them, write ours, and Python reads it back.
TEST(PropertyList, RoundTripsThroughPythonInBothFormats) {
    test::TempDir dir;
    const Value expected(Dictionary{
        {"neg", Value(std::int64_t{-5})},
        {"big", Value(INT64_MIN)},
        {"date", Value(Date{946684798})},
        {"real", Value(0.1)},
        {"text", Value("Grüße & <x> \"q\" 東京")},
        {"empty", Value("")},
        {"no", Value(false)},
        {"nest",
         Value(Dictionary{
             {"a", Value(Array{Value(1), Value(Dictionary{{"b", Value(Array{Value(2.5)})}})})},
             {"e", Value(Dictionary{})},
             {"f", Value(Array{Value(true)})}})},
        {"data", Value(Data{0, 1, 255, 10})}});
    test::writeFile(dir / "ours.plist", toXmlPropertyList(expected));
    auto out = test::runPython(dir, R"(
import plistlib, datetime, sys, os
d = {'neg': -5, 'big': -9223372036854775808, 'date': datetime.datetime(1999, 12, 31, 23, 59, 58),
     'real': 0.1, 'text': 'Grüße & <x> "q" 東京', 'empty': '', 'no': False,
     'nest': {'a': [1, {'b': [2.5]}], 'e': {}, 'f': [True]}, 'data': bytes([0, 1, 255, 10])}
out = sys.argv[1]
open(out + '.xml', 'wb').write(plistlib.dumps(d))
open(out + '.bin', 'wb').write(plistlib.dumps(d, fmt=plistlib.FMT_BINARY))
ours = plistlib.load(open(os.path.dirname(out) + '/ours.plist', 'rb'))
print('same' if ours == d else repr(ours))
)",
                               "'" + (dir / "p").string() + "'");
    if (!out) GTEST_SKIP() << "python3 with plistlib is not available";
    EXPECT_EQ(*out, "same\n");
    for (const char* ext : {".xml", ".bin"}) {
        std::string error;
        auto v = readPropertyListFile((dir / (std::string("p") + ext)).string(), &error);
        ASSERT_TRUE(v) << ext << error;
        EXPECT_EQ(*v, expected) << ext;
    }
}

TEST(PropertyList, WrittenValuesReadBackUnchanged) {
    struct Case {
        const char* name;
        Value in;
        Value expected;
    } cases[] = {
        {"whole real", Value(60.0), Value(60.0)},
        {"date fraction dropped", Value(Date{1700000000.75}), Value(Date{1700000000})},
        {"markup", Value("a&b<c>d]]>e"), Value("a&b<c>d]]>e")},
        {"carriage return kept", Value("a\r\nb\rc"), Value("a\r\nb\rc")},
        {"control characters dropped", Value("x\x01y\x1fz\tz"), Value("xyz\tz")},
        {"broken UTF-8 replaced", Value("x\xffy\xc3"), Value("x\xEF\xBF\xBDy\xEF\xBF\xBD")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Value root(Dictionary{{"k", c.in}});
        std::string error;
        auto back = parsePropertyList(toXmlPropertyList(root), &error);
        ASSERT_TRUE(back) << error;
        EXPECT_EQ(back->asDictionary()->at("k"), c.expected);
    }
}

// Hostile input a short fuzz run would hardly build: never a crash, never a hang, refused with
// a reason. Plain garbage is the fuzz target's.
TEST(PropertyList, MalformedInputIsRefusedWithoutCrashing) {
    const std::string deepOpen = kPlist + repeated("<array>", 200000);
    const std::string deepClosed = deepOpen + repeated("</array>", 200000) + "</plist>";
    const std::string commentTrick = kPlist + repeated("<array><!-- </array> -->", 5000);

    struct Case {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"NUL inside text", kPlist + std::string("<string>a\0b</string></plist>", 28)},
        {"bad entity", "<plist><string>&bogus;&#0;</string></plist>"},
        {"unbalanced quote hiding tags", "<plist><array a=\"><array></array></plist>"},
        {"internal DTD",
         "<!DOCTYPE plist [ <!ENTITY a \"b\"> ]><plist><string>&a;</string></plist>"},
        {"deeply nested, unclosed", deepOpen},
        {"deeply nested, closed", deepClosed},
        {"closing tags hidden in comments", commentTrick},
        {"binary chain too deep", binaryChain(100000, false)},
        {"binary graph with 2^40 nodes", binaryChain(40, true)},
        {"binary cycle",
         [] {
             std::string s = binaryChain(3, false);
             s[8 + 5 + 4] = 0;  // object 1 points back at object 0
             return s;
         }()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string error;
        EXPECT_FALSE(parsePropertyList(c.bytes, &error));
        EXPECT_FALSE(error.empty());
    }
}

TEST(PropertyList, NestingUpToTheLimitIsAccepted) {
    const std::string xml = kPlist + repeated("<array>", kPropertyListMaxDepth) + "<true/>" +
                            repeated("</array>", kPropertyListMaxDepth) + "</plist>";
    std::string error;
    EXPECT_TRUE(parsePropertyList(xml, &error)) << error;
    EXPECT_TRUE(parsePropertyList(binaryChain(kPropertyListMaxDepth, false), &error)) << error;
    EXPECT_FALSE(parsePropertyList(binaryChain(kPropertyListMaxDepth + 2, false)));
    // A NUL after the document is where a C string would have ended anyway.
    EXPECT_TRUE(parsePropertyList(std::string("<plist><true/></plist>\0junk", 27)));
}
