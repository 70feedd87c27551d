// The real vorn-photo-service over loopback: what it stores, what it logs, what it answers.

#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <random>
#include <thread>

#include "Json.h"
#include "ServiceClient.h"
#include "Sha256.h"
#include "support/PhotoServiceProcess.h"
#include "support/TempDir.h"

namespace vorn::test {
namespace {

namespace fs = std::filesystem;
using photoservice::JsonValue;
using photoservice::parseJson;
using photoservice::Sha256;

std::string randomBytes(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(gen());
    return s;
}

JsonValue logEntry(const PhotoServiceProcess& service, std::size_t index) {
    auto lines = service.requestLog();
    if (index >= lines.size()) return {};
    std::string error;
    auto v = parseJson(lines[index], &error);
    EXPECT_TRUE(v) << error << ": " << lines[index];
    return v ? *v : JsonValue{};
}

std::string text(const JsonValue& object, const char* name) {
    const JsonValue* v = object.find(name);
    return v && v->isString() ? v->string : std::string("<missing>");
}

long number(const JsonValue& object, const char* name) {
    const JsonValue* v = object.find(name);
    return v && v->isNumber() ? static_cast<long>(v->number) : -1;
}

// Status word and message by position, as the uploader reads them.
std::pair<std::string, std::string> statusAndMessage(const std::string& body) {
    Reply r;
    parseReply(body, r);
    if (!r.parsed || r.children.size() < 2) return {"<unparsed>", body};
    return {r.children[0].second, r.children[1].second};
}

TEST(PhotoService, UploadIsStoredByteIdenticalAndLogged) {
    TempDir tmp;
    PhotoServiceProcess service(tmp / "data");
    const std::string photo = randomBytes(200 * 1024, 1) + "\r\n--" + kBoundary + "x\r\n";
    const std::string movie = randomBytes(50 * 1024, 2);

    struct Sender {
        const char* what;
        HttpResult (*post)(const std::string&, const std::vector<FormPart>&);
    } senders[] = {{"uploader layout", postUploaderForm}, {"libcurl encoder", postMimeForm}};
    std::size_t request = 0;
    for (const Sender& sender : senders) {
        SCOPED_TRACE(sender.what);
        auto form = photoForm("bob", "Spring Ball", "IMG_0001.JPG", photo);
        form.push_back({"vidfile", movie, "IMG_0001.mov", "video/quicktime"});
        HttpResult r = sender.post(service.url(), form);
        ASSERT_EQ(r.code, CURLE_OK);
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(r.contentType.rfind("text/xml", 0), 0u) << r.contentType;
        Reply reply;
        parseReply(r.body, reply);
        ASSERT_TRUE(reply.parsed) << r.body;
        ASSERT_EQ(reply.children.size(), 3u);
        EXPECT_EQ(reply.children[0].second, "OK");
        EXPECT_EQ(reply.children[2].first, "imageid");
        EXPECT_EQ(reply.children[2].second, std::to_string(1001 + request));

        // The second upload of the same name is kept beside the first, not over it.
        std::string stored = request == 0 ? "IMG_0001.JPG" : "IMG_0001-2.JPG";
        EXPECT_EQ(readFile(tmp / "data/bob/Spring Ball" / stored), photo);
        JsonValue entry = logEntry(service, request);
        EXPECT_EQ(text(entry, "kind"), "photo");
        EXPECT_EQ(number(entry, "status"), 200);
        EXPECT_EQ(text(entry, "reply"), r.body);
        const JsonValue* parts = entry.find("parts");
        ASSERT_TRUE(parts && parts->isArray());
        ASSERT_EQ(parts->array.size(), form.size());
        for (std::size_t i = 0; i < form.size(); ++i) {
            const JsonValue& p = parts->array[i];
            EXPECT_EQ(text(p, "name"), form[i].name);  // in order of arrival
            if (!form[i].filename) {
                EXPECT_EQ(text(p, "value"), form[i].value);
                continue;
            }
            EXPECT_EQ(text(p, "filename"), *form[i].filename);
            EXPECT_EQ(text(p, "content_type"), form[i].contentType);
            EXPECT_EQ(number(p, "size"), static_cast<long>(form[i].value.size()));
            EXPECT_EQ(text(p, "sha256"), Sha256::hex(form[i].value));
            EXPECT_EQ(readFile(tmp / "data" / text(p, "stored")), form[i].value);
        }
        ++request;
    }
    EXPECT_EQ(readFile(tmp / "data/bob/Spring Ball/IMG_0001.mov"), movie);
    EXPECT_EQ(readFile(tmp / "data/bob/Spring Ball/IMG_0001-2.mov"), movie);
    // Nothing is left behind in the incoming folder.
    EXPECT_TRUE(fs::is_empty(tmp / "data/.incoming"));
    EXPECT_EQ(service.stop(), 0);
}

TEST(PhotoService, ScriptedVerdictsAnswerForTheirCountThenOk) {
    TempDir tmp;
    writeFile(tmp / "script.txt",
              "# file    count verdict\n"
              "warn.jpg  2  warning\n"
              "err.jpg   1  error \"Account locked\"\n"
              "fail.jpg  3  fail\n"
              "mail.jpg  1  no-email\n"
              "http.jpg  2  http 500\n"
              "bad.jpg   1  malformed\n"
              "none.jpg  1  empty\n"
              "one.jpg   1  one-child\n"
              "enc.jpg   1  encoding ISO-8859-1\n"
              "ok.jpg    1  ok \"Thanks\"\n");
    PhotoServiceProcess service(tmp / "data", std::nullopt, tmp / "script.txt");

    enum class Body { Xml, NotXml, Empty, OneChild };
    struct Case {
        const char* file;
        int count;
        long http;
        Body body;
        const char* status;
        const char* message;
    } cases[] = {
        {"warn.jpg", 2, 200, Body::Xml, "Warning", nullptr},
        {"err.jpg", 1, 200, Body::Xml, "ERROR", "Account locked"},
        {"fail.jpg", 3, 200, Body::Xml, "FAIL", nullptr},
        {"mail.jpg", 1, 200, Body::Xml, "FAIL", "No Email Addresses Sent"},
        {"http.jpg", 2, 500, Body::Xml, "OK", nullptr},
        {"bad.jpg", 1, 200, Body::NotXml, nullptr, nullptr},
        {"none.jpg", 1, 200, Body::Empty, nullptr, nullptr},
        {"one.jpg", 1, 200, Body::OneChild, "OK", nullptr},
        {"enc.jpg", 1, 200, Body::Xml, "OK",
         "R\xc3\xa9ponse encod\xc3\xa9"
         "e en ISO-8859-1"},
        {"ok.jpg", 1, 200, Body::Xml, "OK", "Thanks"},
    };
    for (const Case& c : cases) {
        for (int attempt = 0; attempt <= c.count; ++attempt) {
            SCOPED_TRACE(std::string(c.file) + " attempt " + std::to_string(attempt + 1));
            HttpResult r = postUploaderForm(service.url(), photoForm("bob", "E", c.file, "jpeg"));
            ASSERT_EQ(r.code, CURLE_OK);
            Reply reply;
            parseReply(r.body, reply);
            if (attempt == c.count) {  // used up: the normal answer again
                EXPECT_EQ(r.status, 200);
                ASSERT_TRUE(reply.parsed) << r.body;
                EXPECT_EQ(reply.children.at(0).second, "OK");
                EXPECT_EQ(reply.children.at(1).second, "Upload successful");
                continue;
            }
            EXPECT_EQ(r.status, c.http);
            switch (c.body) {
                case Body::Empty:
                    EXPECT_EQ(r.body, "");
                    break;
                case Body::NotXml:
                    EXPECT_FALSE(reply.parsed) << r.body;
                    EXPECT_FALSE(r.body.empty());
                    break;
                case Body::OneChild:
                    ASSERT_TRUE(reply.parsed);
                    EXPECT_EQ(reply.children.size(), 1u);
                    break;
                case Body::Xml:
                    ASSERT_TRUE(reply.parsed) << r.body;
                    ASSERT_GE(reply.children.size(), 2u);
                    EXPECT_EQ(reply.children[0].second, c.status);
                    if (c.message) {
                        EXPECT_EQ(reply.children[1].second, c.message);
                    }
                    break;
            }
        }
    }
    // The declared encoding is the one on the wire.
    auto lines = service.requestLog();
    bool sawLatin1 = false;
    for (const auto& line : lines) {
        auto entry = parseJson(line);
        ASSERT_TRUE(entry);
        if (text(*entry, "verdict") != "encoding") continue;
        std::string reply = text(*entry, "reply");
        EXPECT_NE(reply.find("encoding=\"ISO-8859-1\""), std::string::npos);
        // é went out as the single byte E9, logged as its Latin-1 reading.
        EXPECT_NE(reply.find("R\xc3\xa9ponse"), std::string::npos);
        sawLatin1 = true;
    }
    EXPECT_TRUE(sawLatin1);
}

TEST(PhotoService, HangAnswersAfterTheDelayAndOthersMeanwhile) {
    TempDir tmp;
    writeFile(tmp / "script.txt", "slow.jpg 1 hang 1\nstuck.jpg 1 hang 600\n");
    PhotoServiceProcess service(tmp / "data", std::nullopt, tmp / "script.txt");

    auto start = std::chrono::steady_clock::now();
    HttpResult r = postUploaderForm(service.url(), photoForm("bob", "E", "slow.jpg", "x"));
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(statusAndMessage(r.body).first, "OK");
    EXPECT_GE(waited, std::chrono::seconds(1));
    EXPECT_EQ(number(logEntry(service, 0), "hang_seconds"), 1);

    // A reply held back for ten minutes: the service keeps answering others, and a stop
    // request ends it at once instead of after the delay.
    std::atomic<bool> stuckAnswered{false};
    std::thread stuck([&] {
        postUploaderForm(service.url(), photoForm("bob", "E", "stuck.jpg", "x"));
        stuckAnswered = true;
    });
    ASSERT_TRUE(service.waitForRequests(2));
    HttpResult other = postUploaderForm(service.url(), photoForm("bob", "E", "slow.jpg", "x"));
    EXPECT_EQ(statusAndMessage(other.body).first, "OK");  // hang used up
    EXPECT_FALSE(stuckAnswered);
    EXPECT_EQ(service.stop(std::chrono::seconds(20)), 0);
    stuck.join();
    EXPECT_TRUE(stuckAnswered);
}

TEST(PhotoService, HostileNamesStayInsideTheDataFolder) {
    TempDir tmp;
    fs::path data = tmp / "data";
    PhotoServiceProcess service(data);
    struct Case {
        std::string user, event, file;
    } cases[] = {
        {"../../escaped", "../..", "../../../escaped.jpg"},
        {"/", "/etc", "/tmp/escaped.jpg"},
        {"..", ".", ".."},
        {std::string("bob\0/../..", 10), std::string("ev\0..", 5), std::string("a\0/../b.jpg", 11)},
        {"requests.jsonl", ".incoming", ".hidden.jpg"},
        {"a\\..\\..\\b", "..\\..", "..\\..\\c.jpg"},
    };
    for (const Case& c : cases) {
        auto form = photoForm(c.user, c.event, c.file, "photo bytes");
        HttpResult r = postMimeForm(service.url(), form);  // NULs need the MIME encoder's sizes
        ASSERT_EQ(r.code, CURLE_OK);
        EXPECT_EQ(r.status, 200);
    }
    ASSERT_EQ(service.requestLog().size(), std::size(cases));
    // Everything stored sits below DIR; beside DIR only the files the test made.
    std::size_t stored = 0;
    for (const auto& entry : fs::recursive_directory_iterator(tmp.path())) {
        fs::path rel = fs::relative(entry.path(), data);
        ASSERT_FALSE(rel.empty() || *rel.begin() == "..") << entry.path();
        if (entry.is_regular_file() && rel != "requests.jsonl") {
            EXPECT_EQ(readFile(entry.path()), "photo bytes") << entry.path();
            ++stored;
        }
    }
    EXPECT_EQ(stored, std::size(cases));
    // The log file is still the log, not someone's folder.
    EXPECT_TRUE(fs::is_regular_file(data / "requests.jsonl"));
    EXPECT_EQ(service.requestLog().size(), std::size(cases));
}

TEST(PhotoService, MissingFieldsAnswerFailOrError) {
    TempDir tmp;
    PhotoServiceProcess service(tmp / "data");
    auto without = [](std::vector<FormPart> form, const std::string& name) {
        std::erase_if(form, [&](const FormPart& p) { return p.name == name; });
        return form;
    };
    auto full = photoForm("bob", "E", "a.jpg", "bytes");
    struct Case {
        const char* what;
        std::vector<FormPart> form;
        const char* status;
    } cases[] = {
        {"no password", without(full, "password"), "ERROR"},
        {"empty username", photoForm("", "E", "a.jpg", "bytes"), "ERROR"},
        {"no event", without(full, "event"), "FAIL"},
        {"no capture time", without(full, "capturetime"), "FAIL"},
        {"no photo", without(full, "imgfile"), "FAIL"},
        {"empty photo", photoForm("bob", "E", "a.jpg", ""), "Warning"},
        {"hi-res without imageid",
         {{"fuseaction", "orders.hiresupload"},
          {"username", "bob"},
          {"password", "pw"},
          {"orderid", "7"},
          {"imgfile", "x", "a.jpg", "image/jpeg"}},
         "FAIL"},
        {"nothing known", {{"hello", "world"}}, "FAIL"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        HttpResult r = postUploaderForm(service.url(), c.form);
        ASSERT_EQ(r.code, CURLE_OK);
        EXPECT_EQ(statusAndMessage(r.body).first, c.status) << r.body;
    }
}

TEST(PhotoService, MalformedBodiesGetAnErrorReply) {
    TempDir tmp;
    PhotoServiceProcess service(tmp / "data");
    const std::string mp = "multipart/form-data; boundary=" + kBoundary;
    const std::string good = uploaderBody(photoForm("bob", "E", "a.jpg", "bytes"));
    struct Case {
        const char* what;
        std::string body;
        std::string contentType;
    } cases[] = {
        {"cut off", good.substr(0, good.size() / 2), mp},
        {"wrong boundary", good, "multipart/form-data; boundary=other"},
        {"not multipart", "username=bob", "application/x-www-form-urlencoded"},
        {"empty", "", mp},
        {"text field of 5 MB", uploaderBody({{"metadata", std::string(5 << 20, 'm')}}), mp},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        HttpResult r = postRaw(service.url(), c.body, c.contentType);
        ASSERT_EQ(r.code, CURLE_OK);
        EXPECT_EQ(r.status, 400);
        auto [status, message] = statusAndMessage(r.body);
        EXPECT_EQ(status, "FAIL");
        EXPECT_NE(message.find("Malformed"), std::string::npos) << message;
    }
    // Still serving, and nothing of the broken bodies was kept.
    HttpResult r = postUploaderForm(service.url(), photoForm("bob", "E", "a.jpg", "bytes"));
    EXPECT_EQ(statusAndMessage(r.body).first, "OK");
    EXPECT_TRUE(fs::is_empty(tmp / "data/.incoming"));
    EXPECT_EQ(number(logEntry(service, 0), "status"), 400);
    EXPECT_EQ(text(logEntry(service, 0), "kind"), "malformed");
    EXPECT_EQ(service.stop(), 0);
}

const char* kOrders = R"({
  "orders": [
    {"username": "bob", "orderid": "7", "imageid": "1001", "pictureid": "P1",
     "localfilelocation": "/Photos/Spring Ball/IMG 1.jpg"},
    {"username": "bob", "orderid": 8, "imageid": "1002",
     "localfilelocation": "/Photos/Caf\u00e9/b&c.jpg"},
    {"username": "carol", "orderid": "9", "imageid": "2001", "pictureid": "P9",
     "localfilelocation": "/elsewhere.jpg"},
    {"imageid": "3001", "localfilelocation": "/Photos/100%25.jpg", "escape": false}
  ],
  "remove_fulfilled": true
})";

std::vector<FormPart> queryForm(const std::string& fuseaction) {
    return {{"fuseaction", fuseaction}, {"username", "bob"}, {"password", "pw"}};
}

TEST(PhotoService, OrderQueryAnswersVersion3And4) {
    TempDir tmp;
    writeFile(tmp / "orders.json", kOrders);
    PhotoServiceProcess service(tmp / "data", tmp / "orders.json");

    struct Case {
        const char* fuseaction;
        const char* entry;
    } cases[] = {{"orders.check", "order"}, {"Orders.V4Check", "image"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fuseaction);
        HttpResult r = postUploaderForm(service.url(), queryForm(c.fuseaction));
        ASSERT_EQ(r.code, CURLE_OK);
        Reply reply;
        parseReply(r.body, reply);
        ASSERT_TRUE(reply.parsed) << r.body;
        pugi::xml_node root = reply.doc.document_element();
        EXPECT_STREQ(root.child_value("status"), "OK");
        EXPECT_STREQ(root.child_value("message"), "3 orders waiting");
        std::vector<pugi::xml_node> entries;
        for (pugi::xml_node e : root.children(c.entry)) entries.push_back(e);
        ASSERT_EQ(entries.size(), 3u);  // carol's order is not bob's
        EXPECT_STREQ(entries[0].child_value("orderid"), "7");
        EXPECT_STREQ(entries[0].child_value("imageid"), "1001");
        EXPECT_STREQ(entries[0].child_value("pictureid"), "P1");
        EXPECT_STREQ(entries[0].child_value("localfilelocation"),
                     "/Photos/Spring%20Ball/IMG%201.jpg");
        EXPECT_STREQ(entries[1].child_value("orderid"), "8");
        EXPECT_FALSE(entries[1].child("pictureid"));
        EXPECT_STREQ(entries[1].child_value("localfilelocation"), "/Photos/Caf%C3%A9/b%26c.jpg");
        EXPECT_FALSE(entries[2].child("orderid"));
        EXPECT_STREQ(entries[2].child_value("localfilelocation"), "/Photos/100%25.jpg");
    }

    // A hi-res upload fulfils its order; the next query no longer lists it.
    HttpResult hires =
        postUploaderForm(service.url(), {{"fuseaction", "orders.hiresupload"},
                                         {"username", "bob"},
                                         {"password", "pw"},
                                         {"orderid", "7"},
                                         {"imageid", "1001"},
                                         {"pictureid", "P1"},
                                         {"imgfile", "HIRES", "IMG 1.jpg", "image/jpeg"}});
    auto [status, message] = statusAndMessage(hires.body);
    EXPECT_EQ(status, "OK");
    EXPECT_EQ(readFile(tmp / "data/bob/hires/IMG 1.jpg"), "HIRES");
    EXPECT_EQ(text(logEntry(service, 2), "kind"), "hires");

    HttpResult again = postUploaderForm(service.url(), queryForm("orders.check"));
    Reply reply;
    parseReply(again.body, reply);
    ASSERT_TRUE(reply.parsed);
    std::size_t orders = 0;
    for (pugi::xml_node e : reply.doc.document_element().children("order")) {
        EXPECT_STRNE(e.child_value("orderid"), "7");
        ++orders;
    }
    EXPECT_EQ(orders, 2u);
}

TEST(PhotoService, OrderQueriesCanBeScriptedAndBrokenOrdersAreReported) {
    TempDir tmp;
    writeFile(tmp / "orders.json", kOrders);
    writeFile(tmp / "script.txt", "@query 1 http 503\n@query 1 fail\n");
    PhotoServiceProcess service(tmp / "data", tmp / "orders.json", tmp / "script.txt");

    HttpResult first = postUploaderForm(service.url(), queryForm("orders.check"));
    EXPECT_EQ(first.status, 503);
    HttpResult second = postUploaderForm(service.url(), queryForm("orders.check"));
    EXPECT_EQ(statusAndMessage(second.body).first, "FAIL");
    EXPECT_EQ(second.body.find("<order>"), std::string::npos);
    // The file is read at every query: a broken one answers an error, not a crash.
    writeFile(tmp / "orders.json", "{ \"orders\": [ ");
    HttpResult broken = postUploaderForm(service.url(), queryForm("orders.check"));
    EXPECT_EQ(broken.status, 500);
    EXPECT_EQ(statusAndMessage(broken.body).first, "ERROR");
    EXPECT_EQ(service.stop(), 0);
}

TEST(PhotoService, BadCommandLinesAreRefused) {
    TempDir tmp;
    writeFile(tmp / "script.txt", "a.jpg 1 explode\n");
    writeFile(tmp / "orders.json", "[ {\"orderid\": [] } ]");
    struct Case {
        const char* what;
        PhotoServiceProcess::Options options;
    } cases[] = {
        {"bad script", {tmp / "data", std::nullopt, tmp / "script.txt"}},
        {"bad orders", {tmp / "data", tmp / "orders.json"}},
        {"missing script", {tmp / "data", std::nullopt, tmp / "none.txt"}},
        {"bad address", {tmp / "data", std::nullopt, std::nullopt, "127.0.0.1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_THROW(PhotoServiceProcess{c.options}, std::runtime_error);
    }
}

}  // namespace
}  // namespace vorn::test
