// The photo upload on the wire: the exact request a fixed record and fixed files produce, as a
// raw loopback socket receives it, and the debug copies of its body.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "RawHttpServer.h"
#include "UploadFixture.h"
#include "support/CapturedOutput.h"

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

class WireTest : public test::UploadTest {
  protected:
    void SetUp() override {
        UploadTest::SetUp();
        store->setObject(sPrefKivURL, server.url());
    }
    RawHttpServer server;
};

TEST_F(WireTest, AFixedRecordAndFixedFilesGiveExactlyTheseBytes) {
    // The form without optional parts, written out in full once.
    const std::string minimalForm =
        "\r\n--0xKhTmLbOuNdArY\r\nContent-Disposition: form-data; name=\"username\"\r\n\r\nphotog"
        "\r\n--0xKhTmLbOuNdArY\r\nContent-Disposition: form-data; name=\"password\"\r\n\r\n"
        "s3cr\"et pw"
        "\r\n--0xKhTmLbOuNdArY\r\nContent-Disposition: form-data; name=\"event\"\r\n\r\nProm 2026"
        "\r\n--0xKhTmLbOuNdArY\r\nContent-Disposition: form-data; name=\"client\"\r\n\r\nSmith"
        "\r\n--0xKhTmLbOuNdArY\r\nContent-Disposition: form-data; name=\"capturetime\"\r\n\r\n"
        "2026-05-01 10:11:12"
        "\r\n--0xKhTmLbOuNdArY\r\nContent-Disposition: form-data; name=\"metadata\"\r\n\r\n"
        "\r\n--0xKhTmLbOuNdArY\r\nContent-Disposition: form-data; name=\"fuseaction\"\r\n\r\n"
        "upload.upload"
        "\r\n--0xKhTmLbOuNdArY\r\nContent-Disposition: form-data; name=\"Submit\"\r\n\r\nUpload"
        "\r\n--0xKhTmLbOuNdArY\r\nContent-Disposition: form-data; name=\"imgfile\"; "
        "filename=\"IMG_0001.jpg\"\r\nContent-Type: image/jpeg\r\n\r\n";
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
        {"png", "IMG_0001.png", small, false, false, nullptr,
         plain("IMG_0001.png", "image/png") + small + kClosing},
        {"PNG", "IMG_0001.PNG", small, false, false, nullptr,
         plain("IMG_0001.PNG", "image/png") + small + kClosing},
        {"JPG", "IMG_0001.JPG", small, false, false, nullptr,
         plain("IMG_0001.JPG", "image/jpeg") + small + kClosing},
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
        EXPECT_EQ(posted.resultAtDone.at(httpStatusCode).integerValue(), 200);
        EXPECT_EQ(*stringForKey(posted.resultAtDone, httpOurCustomStatus), "OK");
        EXPECT_EQ(*stringForKey(posted.resultAtDone, httpOurCustomMessage), "Upload successful");
        EXPECT_FALSE(hasKey(posted.resultAtDone, httpError));
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
    EXPECT_EQ(test::fileMode(logs / "postBodyData.txt"), 0600u);
    EXPECT_EQ(test::fileMode(logs / "postBodyDataWithImage.txt"), 0600u);
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

TEST_F(WireTest, AnUploadsLinesAreInTheLogFileWhenItsOutcomeIsKnown) {
    writeFile(photos / "Smith/IMG_0005.jpg", "photo");
    test::CapturedOutput err(2);
    ASSERT_TRUE(upload(record("Smith/IMG_0005.jpg")).succeeded);
    const std::string text = err.written();
    EXPECT_NE(text.find("Inside HttpController => handleNotification_UploadSuccess"),
              std::string::npos)
        << text;
}

TEST_F(WireTest, UploadsShareOneConnectionAndOneTheServiceClosedIsReplaced) {
    struct Row {
        bool keepOpen, announceClose;
        int connections;
    } rows[] = {{true, false, 1}, {false, false, 3}, {false, true, 3}};
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.keepOpen << row.announceClose);
        RawHttpServer service;
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

}  // namespace
}  // namespace vorn
