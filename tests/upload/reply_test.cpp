// What the uploader makes of the service's reply: the status word and message it reads, and the
// verdict, for replies as they come over a real loopback connection.

#include <gtest/gtest.h>

#include <optional>

#include "UploadFixture.h"
#include "upload/HttpReply.h"

namespace vorn {
namespace {

using test::RawHttpServer;

using ReplyTest = test::UploadTest;

TEST_F(ReplyTest, StatusWordMessageAndVerdictForEachKindOfReply) {
    test::writeFile(photos / "Smith/IMG_0001.jpg", "photo");
    struct Row {
        const char* what;
        int code;
        std::string body;
        std::optional<std::string> status;   // nullopt: no status key at all
        std::optional<std::string> message;  // nullopt: any parser description (not empty)
        bool succeeds;
    };
    const std::string okDoc =
        "<?xml version=\"1.0\"?><response><status>OK</status><message>Fine</message></response>";
    const std::vector<Row> rows = {
        {"OK", 200, okDoc, "OK", "Fine", true},
        {"children read by position, not name", 200, "<a><x>ok</x><y>Fine</y><z/></a>", "ok",
         "Fine", true},
        {"Warning", 200, "<r><s>Warning</s><m>Bad e-mail</m></r>", "Warning", "Bad e-mail", false},
        {"ERROR", 200, "<r><s>error</s><m>Account locked</m></r>", "error", "Account locked",
         false},
        {"FAIL", 200, "<r><s>FAIL</s><m>No Email Addresses Sent</m></r>", "FAIL",
         "No Email Addresses Sent", false},
        {"unknown status word", 200, "<r><s>Queued</s><m>later</m></r>", "Queued", "later", true},
        {"not XML", 200, "<html><body>Service Unavailable</html>", "FAIL", std::nullopt, false},
        {"empty body", 200, "", "FAIL", std::nullopt, false},
        {"one child", 200, "<response><status>OK</status></response>", "FAIL",
         "Not enough data returned...", false},
        {"root without children", 200, "<response/>", "FAIL", "Not enough data returned...", false},
        {"only text under the root", 200, "<response>OK Fine</response>", "FAIL",
         "Not enough data returned...", false},
        {"extra whitespace around the words", 200,
         "\n\n  <response>\n\t<status>\n    FAIL  \n</status>\n  <message>  Server busy \r\n"
         "</message>\n</response>\n\n",
         "FAIL", "Server busy", false},
        {"comments and text between the children", 200,
         "<r><!-- first --><s>Warning</s> stray text <?pi x?><m>Check <b>e-mail</b></m></r>",
         "Warning", "Check e-mail", false},
        {"CDATA status", 200, "<r><s><![CDATA[OK]]></s><m>Fine</m></r>", "OK", "Fine", true},
        // Read as Mac OS Roman whatever the declaration says: Latin-1 e-acute (E9) is E-grave
        // there, and UTF-8 e-acute (C3 A9) becomes two characters.
        {"declared ISO-8859-1", 200,
         "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r><s>OK</s><m>Caf\xE9</m></r>", "OK",
         "Caf\xC3\x88", true},
        {"UTF-8 text", 200,
         "<?xml version=\"1.0\" encoding=\"UTF-8\"?><r><s>OK</s><m>Caf\xC3\xA9</m></r>", "OK",
         "Caf\xE2\x88\x9A\xC2\xA9", true},
        {"status 500 with an HTML page", 500, "<html><body>oops</body></html>", "FAIL",
         "Not enough data returned...", false},
        {"status 201 with an OK document", 201, okDoc, "OK", "Fine", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        RawHttpServer::Reply reply;
        reply.status = row.code;
        reply.body = row.body;
        server.setReply(reply);

        test::Posted posted = upload(record("Smith/IMG_0001.jpg"));
        const Dictionary& d = posted.resultAtDone;
        EXPECT_EQ(d.at(httpStatusCode).integerValue(), row.code);
        const Data* data = d.at(httpReturnData).asData();
        ASSERT_NE(data, nullptr);
        EXPECT_EQ(std::string(data->begin(), data->end()), row.body);
        EXPECT_FALSE(hasKey(d, httpError));
        const std::string* status = stringForKey(d, httpOurCustomStatus);
        const std::string* message = stringForKey(d, httpOurCustomMessage);
        ASSERT_EQ(status != nullptr, row.status.has_value());
        if (row.status) {
            EXPECT_EQ(*status, *row.status);
        }
        ASSERT_NE(message, nullptr);
        if (row.message) {
            EXPECT_EQ(*message, *row.message);
        } else {
            EXPECT_FALSE(message->empty()) << "the parser's description";
        }
        EXPECT_EQ(posted.succeeded, row.succeeds);
        EXPECT_EQ(posted.names.back(),
                  row.succeeds ? kUploadSuccessNotification : kUploadFailNotification);
    }

    // The service's headers go along for the cycle, which heeds its Retry-After.
    RawHttpServer::Reply reply;
    reply.status = 503;
    reply.headers = "Retry-After: 6\r\n";
    server.setReply(reply);
    const Dictionary result = upload(record("Smith/IMG_0001.jpg")).resultAtDone;
    const Dictionary* headers =
        result.at(httpResponse).asDictionary()->at("allHeaderFields").asDictionary();
    EXPECT_EQ(*stringForKey(*headers, "Retry-After"), "6");
}

TEST_F(ReplyTest, HostileRepliesAreUnreadableAndNeverCrashTheReader) {
    test::writeFile(photos / "Smith/IMG_0001.jpg", "photo");
    // Nested a million levels deep: read without recursion.
    const int depth = 1000000;
    std::string deep = "<r><s>";
    for (int i = 0; i < depth; ++i) deep += "<a>";
    deep += "OK";
    for (int i = 0; i < depth; ++i) deep += "</a>";
    deep += "</s><m>deep</m></r>";
    ServiceReply parsed = readServiceReply(deep);
    EXPECT_EQ(parsed.status, "OK");
    EXPECT_EQ(parsed.message, "deep");

    // Longer than the reader takes: not read, a failure, the photo stays.
    struct Row {
        std::size_t size;
        bool readable;
    };
    for (const Row& row :
         {Row{1024 * 1024 - 64, true}, Row{1024 * 1024 + 1, false}, Row{17 * 1024 * 1024, false}}) {
        SCOPED_TRACE(row.size);
        RawHttpServer::Reply reply;
        reply.body = "<r><s>OK</s><m>";
        reply.body += std::string(row.size - reply.body.size() - 8, 'x') + "</m></r>";
        server.setReply(reply);
        test::Posted posted = upload(record("Smith/IMG_0001.jpg"));
        EXPECT_EQ(posted.succeeded, row.readable);
        EXPECT_EQ(hasKey(posted.resultAtDone, httpReturnData), row.readable);
        EXPECT_FALSE(hasKey(posted.resultAtDone, httpError)) << "the service did answer";
        if (!row.readable) {
            EXPECT_EQ(*stringForKey(posted.resultAtDone, httpOurCustomStatus), "FAIL");
            EXPECT_EQ(*stringForKey(posted.resultAtDone, httpOurCustomMessage),
                      "unreadable reply: larger than 1 MiB");
            EXPECT_TRUE(posted.resultAtDone.at(httpReplyUnreadable).boolValue());
        }
    }
}

}  // namespace
}  // namespace vorn
