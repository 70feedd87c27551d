// The service's pieces on their own: the multipart reader, names from clients, the script
// syntax, SHA-256 and the request log's JSON.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Json.h"
#include "Multipart.h"
#include "Script.h"
#include "Sha256.h"
#include "Storage.h"

namespace vorn::photoservice {
namespace {

struct Collected {
    PartHeader header;
    std::string data;
};

class CollectingSink : public MultipartSink {
  public:
    bool beginPart(const PartHeader& h) override {
        parts.push_back({h, {}});
        return true;
    }
    bool partData(const char* d, std::size_t n) override {
        parts.back().data.append(d, n);
        return true;
    }
    bool endPart() override { return true; }
    std::string sinkError() const override { return "refused"; }
    std::vector<Collected> parts;
};

const std::string B = "0xKhTmLbOuNdArY";

// Binary data with near-delimiters, the boundary text followed by something other than a
// line end, NULs, and a trailing CR LF that belongs to the data.
std::string trickyBytes() {
    std::string s("\0\xff\xd8\r\n--0xKhTmLbOuNdArZ\r\n--0xKhTmLbOuNdAr\r\r\n-", 45);
    s += "\r\n--0xKhTmLbOuNdArYx\r\n--0xKhTmLbOuNdArY  \t-\r\n--0xKhTmLbOuNdArY-x";
    for (int i = 0; i < 300; ++i) s.push_back(static_cast<char>(i * 7));
    return s + "\r\n";
}

std::string sampleBody() {
    return "\r\n--" + B + "\r\nContent-Disposition: form-data; name=\"username\"\r\n\r\nbob" +
           "\r\n--" + B + "\r\nContent-Disposition: form-data; name=\"empty\"\r\n\r\n" + "\r\n--" +
           B +
           "\r\ncontent-disposition: form-data; name=\"imgfile\"; filename=\"a \\\"b\\\".jpg\"" +
           "\r\nContent-Type: image/jpeg\r\n\r\n" + trickyBytes() + "\r\n--" + B + "--\r\n";
}

TEST(MultipartReader, SameBytesWhereverTheBodyIsSplit) {
    std::string body = sampleBody();
    for (std::size_t chunk : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{17},
                              B.size() + 3, std::size_t{4096}, body.size()}) {
        SCOPED_TRACE("chunk " + std::to_string(chunk));
        CollectingSink sink;
        MultipartReader reader(B, sink);
        for (std::size_t at = 0; at < body.size(); at += chunk)
            reader.feed(body.data() + at, std::min(chunk, body.size() - at));
        reader.finish();
        ASSERT_TRUE(reader.complete()) << reader.error();
        ASSERT_EQ(sink.parts.size(), 3u);
        EXPECT_EQ(sink.parts[0].header.name, "username");
        EXPECT_EQ(sink.parts[0].data, "bob");
        EXPECT_FALSE(sink.parts[0].header.filename);
        EXPECT_EQ(sink.parts[1].data, "");
        EXPECT_EQ(sink.parts[2].header.filename.value_or("?"), "a \"b\".jpg");
        EXPECT_EQ(sink.parts[2].header.contentType, "image/jpeg");
        EXPECT_EQ(sink.parts[2].data, trickyBytes());
    }
}

TEST(MultipartReader, AcceptsTheUsualFramings) {
    const std::string part = "Content-Disposition: form-data; name=\"a\"\r\n\r\nx";
    struct Case {
        const char* what;
        std::string body;
    } cases[] = {
        {"no leading CR LF", "--" + B + "\r\n" + part + "\r\n--" + B + "--"},
        {"preamble text", "ignored\r\n--" + B + "\r\n" + part + "\r\n--" + B + "--\r\n"},
        {"padding after boundary", "\r\n--" + B + " \t\r\n" + part + "\r\n--" + B + "--\r\nepi"},
        {"folded header", "\r\n--" + B +
                              "\r\nContent-Disposition: form-data;\r\n name=\"a\"\r\n\r\nx\r\n--" +
                              B + "--"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CollectingSink sink;
        MultipartReader reader(B, sink);
        reader.feed(c.body.data(), c.body.size());
        reader.finish();
        ASSERT_TRUE(reader.complete()) << reader.error();
        ASSERT_EQ(sink.parts.size(), 1u);
        EXPECT_EQ(sink.parts[0].header.name, "a");
        EXPECT_EQ(sink.parts[0].data, "x");
    }
}

TEST(MultipartReader, MalformedBodiesFailWithAReason) {
    const std::string open = "\r\n--" + B + "\r\n";
    const std::string cd = "Content-Disposition: form-data; name=\"a\"\r\n\r\n";
    struct Case {
        const char* what;
        std::string body;
    } cases[] = {
        {"empty body", ""},
        {"no boundary at all", "just some text"},
        {"cut off inside a part", open + cd + "half a photo"},
        {"no closing delimiter", open + cd + "x\r\n--" + B + "\r\n"},
        {"no Content-Disposition", open + "Content-Type: text/plain\r\n\r\nx\r\n--" + B + "--"},
        {"no field name", open + "Content-Disposition: form-data\r\n\r\nx\r\n--" + B + "--"},
        {"header without colon", open + "garbage line\r\n\r\nx\r\n--" + B + "--"},
        {"unterminated quote",
         open + "Content-Disposition: form-data; name=\"a\r\n\r\nx\r\n--" + B + "--"},
        {"not form-data",
         open + "Content-Disposition: attachment; name=\"a\"\r\n\r\nx\r\n--" + B + "--"},
        {"only the closing delimiter", "\r\n--" + B + "--\r\n"},
        {"junk after boundary, so no part",
         open.substr(0, open.size() - 2) + "junk\r\n" + cd + "x\r\n--" + B + "--"},
        {"endless headers", open + "X: " + std::string(MultipartReader::kMaxHeaderBytes + 10, 'h')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CollectingSink sink;
        MultipartReader reader(B, sink);
        reader.feed(c.body.data(), c.body.size());
        reader.feed("more", 4);  // swallowed after a failure
        reader.finish();
        EXPECT_TRUE(reader.failed());
        EXPECT_FALSE(reader.error().empty());
    }
}

TEST(MultipartBoundary, FromTheContentType) {
    struct Case {
        const char* type;
        std::optional<std::string> boundary;
    } cases[] = {
        {"multipart/form-data; boundary=0xKhTmLbOuNdArY", "0xKhTmLbOuNdArY"},
        {"Multipart/Form-Data;BOUNDARY=\"a b\"", "a b"},
        {"multipart/form-data; charset=utf-8; boundary=x", "x"},
        {"multipart/form-data", std::nullopt},
        {"multipart/form-data; boundary=", std::nullopt},
        {"multipart/mixed; boundary=x", std::nullopt},
        {"application/x-www-form-urlencoded", std::nullopt},
        {"", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(multipartBoundary(c.type), c.boundary) << c.type;
}

TEST(Storage, ClientNamesBecomeOneHarmlessComponent) {
    struct Case {
        std::string raw;
        std::string component;
        std::string file;
    } cases[] = {
        {"Event 1", "Event 1", "Event 1"},
        {"..", "_.", "_."},
        {".", "_", "_"},
        {"", "_", "_"},
        {"../../etc/passwd", "_._.._etc_passwd", "passwd"},
        {"C:\\pics\\a.jpg", "C:_pics_a.jpg", "a.jpg"},
        {std::string("a\0b", 3), "a_b", "a_b"},
        {"line\nbreak", "line_break", "line_break"},
        {".hidden", "_hidden", "_hidden"},
        {"dir/..", "dir_..", "_."},
        {"Café", "Café", "Café"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(sanitizeComponent(c.raw), c.component) << c.raw;
        EXPECT_EQ(sanitizeFileName(c.raw), c.file) << c.raw;
    }
    EXPECT_EQ(sanitizeComponent(std::string(300, 'x')).size(), 200u);
    // A two-byte character across the cut is dropped whole.
    std::string accents;
    for (int i = 0; i < 150; ++i) accents += "é";
    EXPECT_EQ(sanitizeComponent(accents).size(), 200u);
    EXPECT_EQ(numberedName("IMG_1.jpg", 2), "IMG_1-2.jpg");
    EXPECT_EQ(numberedName("README", 3), "README-3");
}

TEST(Script, RejectsBadLinesWithTheirNumber) {
    const char* bad[] = {
        "a.jpg warning",
        "a.jpg 0 warning",
        "a.jpg x warning",
        "a.jpg 1 shout",
        "a.jpg 1 http",
        "a.jpg 1 http 99",
        "a.jpg 1 http abc",
        "a.jpg 1 hang",
        "a.jpg 1 hang -1",
        "a.jpg 1 empty extra",
        "a.jpg 1 fail two words",
        "a.jpg 1 fail \"open",
        "a.jpg 1 encoding NO-SUCH-CHARSET-X",
    };
    for (const char* line : bad) {
        std::string error;
        std::string text = std::string("# comment\n\n") + line + "\n";
        EXPECT_EQ(Script::parse(text, &error), nullptr) << line;
        EXPECT_NE(error.find("line 3"), std::string::npos) << error;
    }
    std::string error;
    auto good = Script::parse(
        "*.jpg 2 fail \"Server busy\"  # trailing comment\n@query always http 503\n"
        "b.png 1 encoding UTF-16\nc.jpg 1 hang 0.5\n",
        &error);
    ASSERT_NE(good, nullptr) << error;
    auto a = good->take("x.jpg", false);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->verdict, Verdict::Fail);
    EXPECT_EQ(a->message.value_or(""), "Server busy");
    auto q = good->take("", true);
    ASSERT_TRUE(q);
    EXPECT_EQ(q->verdict, Verdict::HttpStatus);
    EXPECT_EQ(q->httpStatus, 503);
    EXPECT_EQ(good->take("b.png", false)->encoding, "UTF-16");
    EXPECT_FALSE(good->take("b.png", false));  // used up
}

TEST(Sha256, KnownVectors) {
    EXPECT_EQ(Sha256::hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Sha256::hex("abc"),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Sha256::hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    Sha256 million;
    std::string block(1000, 'a');
    for (int i = 0; i < 1000; ++i) million.update(block.data(), block.size());
    EXPECT_EQ(million.hexDigest(),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Json, LogLinesStayValidForAnyBytes) {
    struct Case {
        std::string bytes;
        std::string readBack;  // what a JSON reader sees
    } cases[] = {
        {"plain", "plain"},
        {"quote \" back \\ slash", "quote \" back \\ slash"},
        {"new\nline\ttab\r", "new\nline\ttab\r"},
        {std::string("nul\0here", 8), std::string("nul\0here", 8)},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\xb7", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\xb7"},
        {"latin1 caf\xe9", "latin1 caf\xc3\xa9"},            // invalid UTF-8: Latin-1 reading
        {"overlong \xc0\xaf", "overlong \xc3\x80\xc2\xaf"},  // never decoded as '/'
        {"cut \xe2\x82", "cut \xc3\xa2\xc2\x82"},
    };
    for (const Case& c : cases) {
        std::string quoted = jsonQuote(c.bytes);
        EXPECT_EQ(quoted.find('\n'), std::string::npos);
        std::string error;
        auto v = parseJson(quoted, &error);
        ASSERT_TRUE(v) << error << " in " << quoted;
        EXPECT_EQ(v->string, c.readBack);
    }
    const char* bad[] = {"", "{", "[1,]", "{\"a\" 1}", "\"\\x\"", "01x", "tru", "\"a\nb\""};
    for (const char* text : bad) EXPECT_FALSE(parseJson(text)) << text;
}

}  // namespace
}  // namespace vorn::photoservice
