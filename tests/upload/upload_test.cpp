// The photo upload against a raw loopback service: the exact request a fixed record and fixed
// files produce, the debug copies of its body, what the uploader makes of each kind of reply,
// and the uploads that must not count as delivered (a file unreadable or changed while sent, the
// service gone or silent, a cancel), with the watchdog armed around each exchange.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <optional>

#include "UploadFixture.h"
#include "platform/RunLoop.h"
#include "upload/HttpReply.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;
using test::RawHttpServer;
using test::readFile;
using test::writeFile;

// The expected form, spelled out here rather than taken from the code under test.
const std::string kSep = "\r\n--0xKhTmLbOuNdArY\r\n";
std::string field(const std::string& name, const std::string& value) {
    return kSep + "Content-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value;
}
std::string fileHead(const std::string& name, const std::string& fileName,
                     const std::string& type) {
    return kSep + "Content-Disposition: form-data; name=\"" + name + "\"; filename=\"" + fileName +
           "\"\r\nContent-Type: " + type + "\r\n\r\n";
}
const std::string kClosing = "\r\n--0xKhTmLbOuNdArY--\r\n";
const std::string kPassword = "s3cr\"et pw";

// Photo bytes that hold what could confuse a careless sender: NUL, CR LF, a boundary line.
std::string photoBytes(std::size_t size, char seed) {
    std::string b = std::string("\xFF\xD8\xFF\xE0\0\r\n--0xKhTmLbOuNdArY\r\n", 25);
    for (std::size_t i = b.size(); i < size; ++i) b += static_cast<char>((i * 131 + seed) & 0xFF);
    return b;
}

using WireTest = test::UploadTest;

TEST_F(WireTest, AFixedRecordAndFixedFilesGiveExactlyTheseBytes) {
    const std::string head = field("username", "photog") + field("password", kPassword) +
                             field("event", "Prom 2026") + field("client", "Smith") +
                             field("capturetime", "2026-05-01 10:11:12");
    const std::string small = photoBytes(5000, 1);
    const std::string large = photoBytes(3 * 1024 * 1024 + 17, 2);  // many read calls
    const std::string movie = photoBytes(700 * 1024, 3);
    // The form without optional parts for another file name, up to the photo's bytes.
    auto plain = [&](const std::string& name, const std::string& type) {
        return head + field("metadata", "") + field("fuseaction", "upload.upload") +
               field("Submit", "Upload") + fileHead("imgfile", name, type);
    };
    const std::string minimalForm = plain("IMG_0001.jpg", "image/jpeg");

    struct Row {
        const char* what;
        std::string file;  // under photos/Smith
        std::string bytes;
        bool uploadMovie;
        bool movieBeside;
        std::function<void(Dictionary&)> edit;
        std::string expected;
    };
    const std::vector<Row> rows = {
        {"no optional parts", "IMG_0001.jpg", small, false, false, nullptr,
         minimalForm + small + kClosing},
        {"no metadata key either", "IMG_0001.jpg", small, false, false,
         [](Dictionary& d) { d.erase(edMetaData); },
         head + field("fuseaction", "upload.upload") + field("Submit", "Upload") +
             fileHead("imgfile", "IMG_0001.jpg", "image/jpeg") + small + kClosing},
        {"every optional part", "IMG_0001.jpg", large, false, false,
         [](Dictionary& d) {
             d[edMetaData] = "From the ball";
             d[edKivFuseAction] = "upload.riri";
             d[edEmails] = "a@x.com,b@y.org";
             d[edOriginalPath] = "/Volumes/Capture/Smith/IMG 0001.jpg";
             d[edRadudivInfo] = Dictionary{{"email", "mum@x.com"}, {"mobile", "555 0101"}};
             d[edSittingInfoDictionary] =
                 Dictionary{{"bgloc", "Blue"},     {"firstname", "Ann"},
                            {"lastname", "Smith"}, {"zip", "02139"},
                            {"age", "7"},          {"email", "ann@x.com"},
                            {"sittingid", "A12"},  {"capturetime", "ignored"}};
         },
         head + field("metadata", "From the ball") + field("fuseaction", "upload.riri") +
             field("emails", "a@x.com,b@y.org") +
             field("localfilelocation", "/Volumes/Capture/Smith/IMG 0001.jpg") +
             field("email", "mum@x.com") + field("phone", "555 0101") +
             field("bglocation", "Blue") + field("firstname", "Ann") + field("lastname", "Smith") +
             field("zip", "02139") + field("age", "7") + field("email", "ann@x.com") +
             field("sittingid", "A12") + field("Submit", "Upload") +
             fileHead("imgfile", "IMG_0001.jpg", "image/jpeg") + large + kClosing},
        {"dictionaries with some entries", "IMG_0001.jpg", small, false, false,
         [](Dictionary& d) {
             d[edRadudivInfo] = Dictionary{{"mobile", "555 0101"}};
             d[edSittingInfoDictionary] = Dictionary{{"sittingid", "B77"}};
         },
         head + field("metadata", "") + field("fuseaction", "upload.upload") +
             field("phone", "555 0101") + field("sittingid", "B77") + field("Submit", "Upload") +
             fileHead("imgfile", "IMG_0001.jpg", "image/jpeg") + small + kClosing},
        {"with its movie", "IMG_0001.jpg", small, true, true, nullptr,
         minimalForm + small + fileHead("vidfile", "IMG_0001.mov", "video/quicktime") + movie +
             kClosing},
        {"movie beside but not wanted", "IMG_0001.jpg", small, false, true, nullptr,
         minimalForm + small + kClosing},
        {"movie wanted but none beside", "IMG_0001.jpg", small, true, false, nullptr,
         minimalForm + small + kClosing},
        {"PNG", "IMG_0001.PNG", small, false, false, nullptr,
         plain("IMG_0001.PNG", "image/png") + small + kClosing},
        {"jpeg", "IMG_0001.jpeg", small, false, false, nullptr,
         plain("IMG_0001.jpeg", "image/jpeg") + small + kClosing},
        {"quote, CR and LF escaped, UTF-8 kept", "Ann \"Bo\"\r\n\xC3\xA9t\xC3\xA9.jpg", small, true,
         true, nullptr,
         plain("Ann %22Bo%22%0D%0A\xC3\xA9t\xC3\xA9.jpg", "image/jpeg") + small +
             fileHead("vidfile", "Ann %22Bo%22%0D%0A\xC3\xA9t\xC3\xA9.mov", "video/quicktime") +
             movie + kClosing},
    };

    std::size_t received = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        fs::remove_all(photos / "Smith");
        fs::path photo = photos / "Smith" / row.file;
        writeFile(photo, row.bytes);
        if (row.movieBeside) writeFile(fs::path(photo).replace_extension(".mov"), movie);
        store->setObject(sPrefUploadMovie, row.uploadMovie);

        DictionaryPtr item = record("Smith/" + row.file);
        if (row.edit) row.edit(*item);
        const Dictionary itemCopy = *item;
        test::Posted posted = upload(item);

        auto requests = server.requests();
        ASSERT_EQ(requests.size(), ++received);
        const RawHttpServer::Request& req = requests.back();
        EXPECT_EQ(req.requestLine, "POST /vorn HTTP/1.1");
        EXPECT_EQ(req.header("Content-Type"),
                  std::vector<std::string>{"multipart/form-data; boundary=0xKhTmLbOuNdArY"});
        EXPECT_EQ(req.header("Content-Length"),
                  std::vector<std::string>{std::to_string(row.expected.size())});
        EXPECT_TRUE(req.header("Expect").empty());
        EXPECT_TRUE(req.header("Transfer-Encoding").empty());
        EXPECT_EQ(req.body.size(), row.expected.size());
        EXPECT_TRUE(req.body == row.expected)
            << "first difference at byte "
            << std::mismatch(req.body.begin(), req.body.end(), row.expected.begin(),
                             row.expected.end())
                       .first -
                   req.body.begin();

        // The chain the controller relies on, and the records afterwards.
        EXPECT_EQ(posted.names,
                  (std::vector<std::string>{kUploadStartNotification, kUploadDoneNotification,
                                            kUploadSuccessNotification}));
        EXPECT_TRUE(posted.succeeded);
        EXPECT_TRUE(item->empty()) << "the item record is emptied once UploadDone returns";
        for (const auto& [key, value] : itemCopy) EXPECT_EQ(posted.resultAtDone.at(key), value);
    }
}

TEST_F(WireTest, DebugCopiesHideThePasswordAndAreReadableByTheOwnerOnly) {
    const std::string photo = photoBytes(200 * 1024, 4);
    const std::string movie = photoBytes(90 * 1024, 5);
    writeFile(photos / "Smith/IMG_0002.jpg", photo);
    writeFile(photos / "Smith/IMG_0002.mov", movie);
    store->setObject(sPrefUploadMovie, true);
    // Copies left by an older run, readable by all: they must not keep that mode.
    writeFile(logs / "postBodyData.txt", "old");
    writeFile(logs / "postBodyDataWithImage.txt", "old");
    fs::permissions(logs / "postBodyData.txt", fs::perms(0644));
    fs::permissions(logs / "postBodyDataWithImage.txt", fs::perms(0666));

    test::Posted posted = upload(record("Smith/IMG_0002.jpg"));
    ASSERT_TRUE(posted.succeeded);
    fs::rename(photos / "Smith", tmp / "Filed");  // filed away while the copy is written
    uploader->waitForDebugCopies();

    const std::string form = field("username", "photog") + field("password", "%s") +
                             field("event", "Prom 2026") + field("client", "Smith") +
                             field("capturetime", "2026-05-01 10:11:12") + field("metadata", "") +
                             field("fuseaction", "upload.upload") + field("Submit", "Upload") +
                             fileHead("imgfile", "IMG_0002.jpg", "image/jpeg");
    auto with = [&](const std::string& password) {
        std::string f = form;
        f.replace(f.find("%s"), 2, password);
        return f;
    };
    const std::string tail = photo + fileHead("vidfile", "IMG_0002.mov", "video/quicktime") + movie;

    EXPECT_EQ(readFile(logs / "postBodyData.txt"), with("********"));
    EXPECT_TRUE(readFile(logs / "postBodyDataWithImage.txt") == with("********") + tail);
    for (const char* copy : {"postBodyData.txt", "postBodyDataWithImage.txt"})
        EXPECT_EQ(fs::status(logs / copy).permissions(), fs::perms(0600)) << copy;
    // The service itself got the real password; no temporary file stayed behind.
    EXPECT_TRUE(server.requests().back().body == with(kPassword) + tail + kClosing);
    std::size_t files = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(logs)) ++files;
    EXPECT_EQ(files, 2u);
}

TEST_F(WireTest, QuittingDuringADebugCopyLeavesTheOldCopyOrTheNewOneAndNoTemporaryFile) {
    const fs::path photo = photos / "Smith/IMG_0004.jpg";
    writeFile(photo, "");
    fs::resize_file(photo, 48 * 1024 * 1024);
    writeFile(logs / "postBodyDataWithImage.txt", "old");
    EXPECT_TRUE(upload(record("Smith/IMG_0004.jpg")).succeeded);
    uploader.reset();  // as on quit, with the copy of the photo perhaps still under way

    // The new copy: the body without its closing line, the password masked.
    std::uintmax_t newSize = server.requests().back().body.size() - kClosing.size() -
                             kPassword.size() + std::string("********").size();
    for (const auto& e : fs::directory_iterator(logs)) {
        std::string name = e.path().filename().string();
        EXPECT_TRUE(name == "postBodyData.txt" || name == "postBodyDataWithImage.txt") << name;
    }
    std::uintmax_t size = fs::file_size(logs / "postBodyDataWithImage.txt");
    EXPECT_TRUE(size == 3 || size == newSize) << size;
}

TEST_F(WireTest, AnUnwritableLogFolderDoesNotStopTheUpload) {
    writeFile(photos / "Smith/IMG_0003.jpg", "photo");
    writeFile(logs / "postBodyData.txt", "old");
    HttpController::Options options;
    options.debugCopyFolder = (logs / "no such folder").string();
    uploader = std::make_unique<HttpController>(center, nullptr, options);
    EXPECT_TRUE(upload(record("Smith/IMG_0003.jpg")).succeeded);
    uploader->waitForDebugCopies();
    EXPECT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(readFile(logs / "postBodyData.txt"), "old");
}

TEST_F(WireTest, UploadsShareOneConnectionAndOneTheServiceClosedIsReplaced) {
    struct Row {
        bool keepOpen, announceClose, resetSecond;
        int connections;
    } rows[] = {{true, false, false, 1},
                {false, false, false, 3},
                {false, true, false, 3},
                {true, false, true, 2}};
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.keepOpen << row.announceClose << row.resetSecond);
        RawHttpServer service;
        int heads = 0;
        if (row.resetSecond)
            service.setAfterHead([&] {
                if (++heads == 2) service.resetNextRequest();
            });
        RawHttpServer::Reply reply;
        reply.keepOpen = row.keepOpen;
        reply.announceClose = row.announceClose;
        service.setReply(reply);
        store->setObject(sPrefKivURL, service.url());
        std::vector<std::string> photos3;
        for (int i = 0; i < 3; ++i) {
            const std::string rel = "Smith/K" + std::to_string(i) + ".jpg";
            photos3.push_back(photoBytes(300 * 1024, static_cast<char>(i)));
            writeFile(photos / rel, photos3.back());
            EXPECT_TRUE(upload(record(rel)).succeeded);
        }
        auto requests = service.requests();
        ASSERT_EQ(requests.size(), 3u);  // each delivered once, whole
        for (int i = 0; i < 3; ++i) {
            const std::string& body = requests[static_cast<std::size_t>(i)].body;
            const std::string tail = photos3[static_cast<std::size_t>(i)] + kClosing;
            EXPECT_TRUE(body.size() > tail.size() &&
                        body.compare(body.size() - tail.size(), tail.size(), tail) == 0);
        }
        EXPECT_EQ(service.connections(), row.connections);
    }
}

TEST_F(WireTest, ADebugCopyOverTheCapKeepsTheTextAndMarksTheFileBytesLeftOut) {
    const fs::path big = photos / "Smith/BIG.mov";
    writeFile(big, "");
    fs::resize_file(big, kDebugCopyFileBytesCap + 1);  // sparse: cheap to make
    MultipartBody body;
    body.addField("username", "photog");
    body.addField("password", kPassword, /*secret=*/true);
    ASSERT_TRUE(body.addFile("vidfile", big.string(), "video/quicktime"));
    ASSERT_TRUE(body.writeDebugCopy((logs / "copy.txt").string()));
    EXPECT_EQ(readFile(logs / "copy.txt"), field("username", "photog") +
                                               field("password", "********") +
                                               fileHead("vidfile", "BIG.mov", "video/quicktime") +
                                               "[" + std::to_string(kDebugCopyFileBytesCap + 1) +
                                               " bytes of BIG.mov left out of this copy]");
}

TEST_F(WireTest, StatusWordMessageAndVerdictForEachKindOfReply) {
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

TEST_F(WireTest, HostileRepliesAreUnreadableAndNeverCrashTheReader) {
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

    // Longer than the reader takes (1 MiB exactly is still read): not read, a failure, the
    // photo stays.
    struct Row {
        std::size_t size;
        bool readable;
    };
    for (const Row& row :
         {Row{1024 * 1024, true}, Row{1024 * 1024 + 1, false}, Row{17 * 1024 * 1024, false}}) {
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

using FailureTest = test::UploadTest;

// A failed exchange that leaves the item where it is: an error, no reply keys, a failure verdict.
void expectNotDelivered(const test::Posted& posted, const std::string& error) {
    EXPECT_EQ(test::errorOf(posted.resultAtDone), error);
    EXPECT_FALSE(hasKey(posted.resultAtDone, httpStatusCode));
    EXPECT_FALSE(hasKey(posted.resultAtDone, httpOurCustomStatus));
    EXPECT_FALSE(posted.succeeded);
    EXPECT_EQ(posted.names.back(), kUploadFailNotification);
}

TEST_F(FailureTest, APhotoOrMovieThatCannotBeReadIsNotSentAndNotASuccess) {
    struct Row {
        const char* what;
        std::function<void(const fs::path& photo, const fs::path& movie)> make;
    };
    const std::vector<Row> rows = {
        {"photo gone", [](const fs::path&, const fs::path&) {}},
        {"photo is a folder", [](const fs::path& p, const fs::path&) { fs::create_directory(p); }},
        {"photo is a FIFO", [](const fs::path& p, const fs::path&) { ::mkfifo(p.c_str(), 0644); }},
        {"movie is a folder",
         [](const fs::path& p, const fs::path& m) {
             writeFile(p, "photo");
             fs::create_directory(m);
         }},
        {"movie is a FIFO",
         [](const fs::path& p, const fs::path& m) {
             writeFile(p, "photo");
             ::mkfifo(m.c_str(), 0644);
         }},
    };
    store->setObject(sPrefUploadMovie, true);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        fs::remove_all(photos / "Smith");
        fs::create_directories(photos / "Smith");
        row.make(photos / "Smith/IMG_0001.jpg", photos / "Smith/IMG_0001.mov");
        DictionaryPtr item = record("Smith/IMG_0001.jpg");
        expectNotDelivered(upload(item), kCannotReadFileError);
        EXPECT_TRUE(item->empty());
    }
    EXPECT_EQ(server.connections(), 0) << "nothing may go out";
}

TEST_F(FailureTest, AFileThatChangesWhileItIsSentCountsAsNotSent) {
    const fs::path photo = photos / "Smith/IMG_0001.jpg";
    struct Row {
        const char* what;
        std::function<void()> change;  // runs once the service holds the whole request
        bool delivered;
    };
    const std::vector<Row> rows = {
        {"unchanged", [] {}, true},
        {"modification time moved",
         [&] {
             struct timespec times[2] = {{0, UTIME_OMIT}, {1000000000, 0}};
             ::utimensat(AT_FDCWD, photo.c_str(), times, 0);
         },
         false},
        {"bytes appended",
         [&] {
             std::ofstream out(photo, std::ios::app);
             out << "more";
         },
         false},
        {"replaced by another file of the same size and time",
         [&] {
             struct stat st {};
             ::stat(photo.c_str(), &st);
             writeFile(photos / "Smith/new.tmp", std::string(fs::file_size(photo), 'z'));
             struct timespec times[2] = {st.st_atim, st.st_mtim};
             ::utimensat(AT_FDCWD, (photos / "Smith/new.tmp").c_str(), times, 0);
             fs::rename(photos / "Smith/new.tmp", photo);
         },
         false},
        {"deleted", [&] { fs::remove(photo); }, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        writeFile(photo, std::string(64 * 1024, 'p'));
        server.setBeforeReply([&] { row.change(); });
        test::Posted posted = upload(record("Smith/IMG_0001.jpg"));
        if (row.delivered) {
            EXPECT_TRUE(posted.succeeded);
            EXPECT_FALSE(hasKey(posted.resultAtDone, httpError));
        } else {
            expectNotDelivered(posted, kFileChangedError);
        }
    }
}

TEST_F(FailureTest, AFileCutShortWhileItIsReadEndsTheExchange) {
    // Large enough that most of it is still unread when the service has only the head.
    const fs::path photo = photos / "Smith/IMG_0001.jpg";
    writeFile(photo, "");
    fs::resize_file(photo, 64 * 1024 * 1024);
    server.setAfterHead([&] { fs::resize_file(photo, 10); });
    test::Posted posted = upload(record("Smith/IMG_0001.jpg"));
    expectNotDelivered(posted, kFileChangedError);
    EXPECT_TRUE(server.requests().empty()) << "the service never got a whole request";
}

TEST_F(FailureTest, NoServiceListeningIsANetworkErrorAndTheItemIsNotDelivered) {
    // A loopback port bound but not listening: connections are refused, no one else takes it.
    int refusing = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof addr;
    ASSERT_EQ(::bind(refusing, reinterpret_cast<sockaddr*>(&addr), len), 0);
    ::getsockname(refusing, reinterpret_cast<sockaddr*>(&addr), &len);
    store->setObject(sPrefKivURL, "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/");
    writeFile(photos / "Smith/IMG_0001.jpg", "photo");
    test::Posted posted = upload(record("Smith/IMG_0001.jpg"));
    ::close(refusing);
    EXPECT_FALSE(posted.succeeded);
    EXPECT_FALSE(hasKey(posted.resultAtDone, httpStatusCode));
    EXPECT_NE(test::errorOf(posted.resultAtDone).find("onnect"), std::string::npos)
        << test::errorOf(posted.resultAtDone);

    store->setObject(sPrefKivURL, "");
    EXPECT_EQ(test::errorOf(upload(record("Smith/IMG_0001.jpg")).resultAtDone), "unsupported URL");
    store->setObject(sPrefKivURL, "file:///etc/passwd");
    EXPECT_FALSE(upload(record("Smith/IMG_0001.jpg")).succeeded);
}

TEST_F(FailureTest, AServiceThatStopsAnsweringEndsTheExchangeAfterTheIdleTime) {
    HttpController::Options options;
    options.debugCopyFolder = logs.string();
    options.idleTimeout = std::chrono::seconds(1);
    uploader = std::make_unique<HttpController>(center, nullptr, options);
    writeFile(photos / "Smith/IMG_0001.jpg", "photo");
    server.hold();
    test::Posted posted = upload(record("Smith/IMG_0001.jpg"));
    server.release();
    EXPECT_FALSE(posted.succeeded);
    EXPECT_FALSE(hasKey(posted.resultAtDone, httpStatusCode));
    EXPECT_NE(test::errorOf(posted.resultAtDone).find("imeout"), std::string::npos)
        << test::errorOf(posted.resultAtDone);
}

TEST_F(FailureTest, CancelAbortsTheUploadInFlightAndRefusesNewOnesUntilReset) {
    writeFile(photos / "Smith/IMG_0001.jpg", "photo");
    server.hold();
    auto inFlight =
        std::async(std::launch::async, [&] { return upload(record("Smith/IMG_0001.jpg")); });
    ASSERT_TRUE(server.waitForRequests(1, std::chrono::seconds(20)));
    uploader->cancel();
    test::Posted posted = inFlight.get();
    expectNotDelivered(posted, kUploadCancelledError);
    server.release();

    // While cancelled nothing goes out; after the reset uploads go out again.
    int connections = server.connections();
    expectNotDelivered(upload(record("Smith/IMG_0001.jpg")), kUploadCancelledError);
    EXPECT_EQ(server.connections(), connections);
    uploader->resetCancel();
    EXPECT_TRUE(upload(record("Smith/IMG_0001.jpg")).succeeded);
}

class WatchdogTest : public test::UploadTest {
  protected:
    MainThread* mainThread() override { return &loop; }
    RunLoop loop{RunLoop::Time::Virtual};
};

TEST_F(WatchdogTest, TheWatchdogGuardsEachExchangeAndLeavesNoTimerBehind) {
    writeFile(photos / "Smith/IMG_0001.jpg", "photo");
    struct Row {
        const char* what;
        Value timeOut;  // prefUploadTimeOut
        bool hang;
        std::chrono::seconds quiet;  // time that may pass without a firing
        std::chrono::seconds fires;  // further time after which it has fired (hang only)
    };
    using std::chrono::seconds;
    const std::vector<Row> rows = {
        {"30 s, answered in time", 30, false, seconds(1000), seconds(0)},
        {"30 s, hanging", 30, true, seconds(29), seconds(2)},
        {"unset: 500 s", Value(), true, seconds(499), seconds(2)},
        {"zero: 500 s", 0, true, seconds(499), seconds(2)},
        {"NaN: 500 s", std::nan(""), true, seconds(499), seconds(2)},
        {"1e30: held to a day", 1e30, true, seconds(86399), seconds(2)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        store->setObject(sPrefUploadTimeOut, row.timeOut);
        int fired = 0;
        uploader->setOnWatchdogFired([&] {
            EXPECT_TRUE(loop.isMainThread());
            ++fired;
        });
        std::size_t before = server.requests().size();
        if (row.hang) server.hold();
        // The upload runs on its own thread, as on a scan thread.
        auto running =
            std::async(std::launch::async, [&] { return upload(record("Smith/IMG_0001.jpg")); });
        if (row.hang) {
            ASSERT_TRUE(server.waitForRequests(before + 1, seconds(20)));
            EXPECT_EQ(loop.validTimerCount(), 1u) << "armed before the request went out";
            loop.advance(row.quiet);
            EXPECT_EQ(fired, 0);
            loop.advance(row.fires);
            EXPECT_EQ(fired, 1);
            server.release();
            EXPECT_TRUE(running.get().succeeded);
        } else {
            EXPECT_TRUE(running.get().succeeded);
            loop.advance(row.quiet);
            EXPECT_EQ(fired, 0);
        }
        EXPECT_EQ(loop.validTimerCount(), 0u) << "disarmed after the exchange";
    }
}

}  // namespace
}  // namespace vorn
