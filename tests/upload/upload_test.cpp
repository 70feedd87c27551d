// The photo upload against a raw loopback service: the exact request, its debug copies, what
// the uploader makes of each reply, and the uploads that must not count as delivered (a file
// unreadable or changed while sent, the service gone or silent, a cancel), and the watchdog.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <optional>

#include "RawHttpServer.h"
#include "platform/NotificationCenter.h"
#include "platform/RunLoop.h"
#include "settings/PreferenceKeys.h"
#include "settings/Preferences.h"
#include "settings/PreferencesStore.h"
#include "support/CapturedOutput.h"
#include "support/TempDir.h"
#include "upload/HttpController.h"
#include "upload/HttpReply.h"
#include "upload/NotificationNames.h"
#include "upload/Records.h"
#include "upload/SentVersion.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;
using namespace test;

// Records the photos sent a second time.
struct ResendRecorder : UserInterface {
    void ibUpdateFTPCallbackStatusTextField(const std::string&, bool) override {}
    void ibUpdateUploadStatusTextField(const std::string&) override {}
    void ibUpdateFileNameField(const std::string&) override {}
    void ibUpdateProgressBar(bool) override {}
    void showPreviewImage(const std::string&) override {}
    void setPauseResumeButton(const std::string&, bool) override {}
    void ibUpdateLoginName(const std::string&) override {}
    void ibUpdateUploadMainPath(const std::string&) override {}
    void ibUpdateSourceFolderPath(const std::string&) override {}
    void beep() override {}
    bool hasImageView() const override { return false; }
    void noteResend(const std::string& name) override { resent.push_back(name); }
    std::vector<std::string> resent;
};

// What the uploader posted for one upload.
struct Posted {
    std::vector<std::string> names;  // notifications in the order they were seen
    DictionaryPtr result;            // userInfo of UploadDone
    Dictionary resultAtDone;         // its contents while UploadDone ran
    bool succeeded() const { return std::ranges::count(names, kUploadSuccessNotification) > 0; }
};

// The set-up of every test here: a preferences store in a temporary folder, a notification
// centre with the real HttpController, a recorder of what it posts, and a raw loopback service.
class UploadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(logs);
        Preferences::setStore(store);
        store->setObject(sPrefKivURL, server.url());
        // Observers that stand where the controller's are: registered first.
        for (const char* name : {kUploadStartNotification, kUploadDoneNotification,
                                 kUploadSuccessNotification, kUploadFailNotification})
            center.addObserver(this, name, [this](const Notification& n) { seen(n); });
        uploader = makeUploader({.debugCopyFolder = logs.string()});
    }

    // An uploader that registers after the stand-ins, as the real one does after the controller.
    std::unique_ptr<HttpController> makeUploader(HttpController::Options options,
                                                 MainThread* mainThread = nullptr) {
        options.runsAfter = this;
        return std::make_unique<HttpController>(center, mainThread, std::move(options));
    }

    // The record the scan would build for photo (a path under photos).
    DictionaryPtr record(const std::string& rel) const {
        return makeRecord({{cDictKeyLocalSourceUploadFolder, photos.string()},
                           {cDictKeyLocalMirrorFolder, (tmp / "Mirror").string()},
                           {cDictKeyCurItem, rel},
                           {cDictKeyUserEnteredEventName, "Prom 2026"},
                           {edUser, "photog"},
                           {edPasswd, "s3cr\"et pw"},
                           {edFileName, (photos / rel).string()},
                           {edClientName, "Smith"},
                           {edEventName, "Prom 2026"},
                           {edMetaData, ""},
                           {edCaptureTime, "2026-05-01 10:11:12"},
                           {edKivFuseAction, "upload.upload"}});
    }

    // Posts UploadStart with the record, as the controller does, and answers what followed.
    Posted upload(const DictionaryPtr& item) {
        posted_ = Posted{};
        center.post(kUploadStartNotification, this, item);
        return posted_;
    }

    RawHttpServer server;
    TempDir tmp;
    fs::path photos = tmp / "Upload", logs = tmp / "logs";
    std::shared_ptr<PreferencesStore> store =
        std::make_shared<PreferencesStore>((tmp / "prefs.plist").string());
    NotificationCenter center;
    RunLoop loop{RunLoop::Time::Virtual};  // the main thread, for the tests that arm the watchdog
    std::unique_ptr<HttpController> uploader;  // declared after what it uses: gone before it

  private:
    void seen(const Notification& n) {
        posted_.names.push_back(n.name);
        if (n.name == kUploadStartNotification) return;
        EXPECT_EQ(n.object, uploader.get());
        if (n.name == kUploadDoneNotification) {
            posted_.result = n.userInfo;
            if (n.userInfo) posted_.resultAtDone = *n.userInfo;
        } else {
            EXPECT_EQ(n.userInfo, posted_.result) << "the verdict passes the same record on";
        }
    }

    Posted posted_;
};

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
// The fields of the fixture's record, up to the optional ones.
std::string formHead(const std::string& password = kPassword) {
    return field("username", "photog") + field("password", password) + field("event", "Prom 2026") +
           field("client", "Smith") + field("capturetime", "2026-05-01 10:11:12");
}
// The form without optional parts, up to the photo's bytes.
std::string plainForm(const std::string& name, const std::string& type = "image/jpeg",
                      const std::string& password = kPassword) {
    return formHead(password) + field("metadata", "") + field("fuseaction", "upload.upload") +
           field("Submit", "Upload") + fileHead("imgfile", name, type);
}

// Photo bytes that hold what could confuse a careless sender: NUL, CR LF, a boundary line but
// for its last letter.
std::string photoBytes(std::size_t size, char seed) {
    std::string b = std::string("\xFF\xD8\xFF\xE0\0\r\n--0xKhTmLbOuNdAr\r\n", 24);
    for (std::size_t i = b.size(); i < size; ++i) b += static_cast<char>((i * 131 + seed) & 0xFF);
    return b;
}

TEST_F(UploadTest, AFixedRecordAndFixedFilesGiveExactlyTheseBytes) {
    const std::string small = photoBytes(5000, 1), movie = photoBytes(700 * 1024, 3);
    const std::string large = photoBytes(3 * 1024 * 1024 + 17, 2);  // many read calls

    struct Row {
        const char* what;
        std::string file, bytes;  // file: under photos/Smith
        bool uploadMovie, movieBeside;
        std::function<void(Dictionary&)> edit;
        std::string expected;
    };
    const std::vector<Row> rows = {
        {"no optional parts, a movie beside but not wanted", "IMG_0001.jpg", small, false, true,
         nullptr, plainForm("IMG_0001.jpg") + small + kClosing},
        {"no metadata key either", "IMG_0001.jpg", small, false, false,
         [](Dictionary& d) { d.erase(edMetaData); },
         formHead() + field("fuseaction", "upload.upload") + field("Submit", "Upload") +
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
         formHead() + field("metadata", "From the ball") + field("fuseaction", "upload.riri") +
             field("emails", "a@x.com,b@y.org") +
             field("localfilelocation", "/Volumes/Capture/Smith/IMG 0001.jpg") +
             field("email", "mum@x.com") + field("phone", "555 0101") +
             field("bglocation", "Blue") + field("firstname", "Ann") + field("lastname", "Smith") +
             field("zip", "02139") + field("age", "7") + field("email", "ann@x.com") +
             field("sittingid", "A12") + field("Submit", "Upload") +
             fileHead("imgfile", "IMG_0001.jpg", "image/jpeg") + large + kClosing},
        {"PNG, a movie wanted but none beside", "IMG_0001.PNG", small, true, false, nullptr,
         plainForm("IMG_0001.PNG", "image/png") + small + kClosing},
        // With its movie, their names escaped.
        {"quote, CR and LF escaped, UTF-8 kept", "Ann \"Bo\"\r\n\xC3\xA9t\xC3\xA9.jpg", small, true,
         true, nullptr,
         plainForm("Ann %22Bo%22%0D%0A\xC3\xA9t\xC3\xA9.jpg") + small +
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
        Posted posted = upload(item);

        auto requests = server.requests();
        ASSERT_EQ(requests.size(), ++received);
        const RawHttpServer::Request& req = requests.back();
        EXPECT_EQ(req.head.substr(0, req.head.find("\r\n")), "POST /vorn HTTP/1.1");
        EXPECT_EQ(req.header("Content-Type"), "multipart/form-data; boundary=0xKhTmLbOuNdArY");
        EXPECT_EQ(req.header("Content-Length"), std::to_string(row.expected.size()));
        EXPECT_EQ(req.header("Expect") + req.header("Transfer-Encoding"), "");
        EXPECT_TRUE(req.body == row.expected) << req.body.size() << " bytes";

        // The chain the controller relies on, and the records afterwards.
        EXPECT_EQ(posted.names,
                  (std::vector<std::string>{kUploadStartNotification, kUploadDoneNotification,
                                            kUploadSuccessNotification}));
        EXPECT_TRUE(item->empty()) << "the item record is emptied once UploadDone returns";
        for (const auto& [key, value] : itemCopy) EXPECT_EQ(posted.resultAtDone.at(key), value);
    }
}

// The controller's UploadStart and UploadDone handlers must run first, so an uploader that
// would register before them is refused, not left to run in the wrong order.
TEST(UploaderOrderTest, AnUploaderRegisteredBeforeTheControllersHandlersIsRefused) {
    struct Row {
        std::vector<const char*> observed;  // what the controller observes already
        bool accepted;
    };
    const std::vector<Row> rows = {
        {{kUploadStartNotification}, false},
        {{kUploadDoneNotification, kUploadSuccessNotification}, false},
        {{kUploadStartNotification, kUploadDoneNotification}, true},
    };
    for (const Row& row : rows) {
        NotificationCenter center;
        int controller = 0, other = 0;
        for (const char* name : row.observed) center.addObserver(&controller, name, [](auto&) {});
        center.addObserver(&other, kUploadStartNotification, [](auto&) {});
        center.addObserver(&other, kUploadDoneNotification, [](auto&) {});
        auto make = [&] { HttpController uploader(center, nullptr, {.runsAfter = &controller}); };
        if (row.accepted)
            EXPECT_NO_THROW(make()) << row.observed.size();
        else
            EXPECT_THROW(make(), std::logic_error) << row.observed.size();
    }
}

TEST_F(UploadTest, DebugCopiesAreMaskedOwnerOnlyCappedAndNeverStopNorSpoilAnUpload) {
    // Copies left by an older run, readable by all: they must not keep that mode.
    for (const char* copy : {"postBodyData.txt", "postBodyDataWithImage.txt"}) {
        writeFile(logs / copy, "old");
        fs::permissions(logs / copy, fs::perms(0644));
    }
    // A log folder that cannot be written: the upload goes on, the old copies stay.
    HttpController::Options options{.debugCopyFolder = (logs / "no such folder").string()};
    uploader = makeUploader(options);
    writeFile(photos / "Smith/IMG_0003.jpg", "photo");
    EXPECT_TRUE(upload(record("Smith/IMG_0003.jpg")).succeeded());
    uploader->waitForDebugCopies();
    EXPECT_EQ(readFile(logs / "postBodyData.txt"), "old");

    options.debugCopyFolder = logs.string();
    uploader = makeUploader(options);
    const std::string photo = photoBytes(200 * 1024, 4), movie = photoBytes(90 * 1024, 5);
    writeFile(photos / "Smith/IMG_0002.jpg", photo);
    writeFile(photos / "Smith/IMG_0002.mov", movie);
    store->setObject(sPrefUploadMovie, true);
    CapturedOutput err(2);
    ASSERT_TRUE(upload(record("Smith/IMG_0002.jpg")).succeeded());
    // The upload's lines are in the log file once its outcome is known.
    EXPECT_NE(err.written().find("Inside HttpController => handleNotification_UploadSuccess"),
              std::string::npos);
    fs::rename(photos / "Smith", tmp / "Filed");  // filed away while the copy is written
    uploader->waitForDebugCopies();

    const std::string masked = plainForm("IMG_0002.jpg", "image/jpeg", "********");
    const std::string tail = photo + fileHead("vidfile", "IMG_0002.mov", "video/quicktime") + movie;
    EXPECT_EQ(readFile(logs / "postBodyData.txt"), masked);
    EXPECT_TRUE(readFile(logs / "postBodyDataWithImage.txt") == masked + tail);
    for (const char* copy : {"postBodyData.txt", "postBodyDataWithImage.txt"})
        EXPECT_EQ(fs::status(logs / copy).permissions(), fs::perms(0600)) << copy;
    // The service itself got the real password; no temporary file stayed behind.
    EXPECT_TRUE(server.requests().back().body == plainForm("IMG_0002.jpg") + tail + kClosing);
    EXPECT_EQ(std::distance(fs::directory_iterator(logs), fs::directory_iterator()), 2);

    // Quitting during a copy leaves the old copy or the new one (the body without its closing
    // line, the password masked), and no temporary file.
    const std::uintmax_t oldSize = fs::file_size(logs / "postBodyDataWithImage.txt");
    writeFile(photos / "Smith/IMG_0004.jpg", "");
    fs::resize_file(photos / "Smith/IMG_0004.jpg", 48 * 1024 * 1024);
    EXPECT_TRUE(upload(record("Smith/IMG_0004.jpg")).succeeded());
    uploader.reset();  // as on quit, with the copy of the photo perhaps still under way
    const std::uintmax_t size = fs::file_size(logs / "postBodyDataWithImage.txt");
    EXPECT_TRUE(size == oldSize || size == server.requests().back().body.size() - kClosing.size() -
                                               kPassword.size() + 8)
        << size;
    EXPECT_EQ(std::distance(fs::directory_iterator(logs), fs::directory_iterator()), 2);

    // A copy over the cap keeps the text and marks the file bytes left out.
    const fs::path overCap = photos / "Smith/BIG.mov";
    writeFile(overCap, "");
    fs::resize_file(overCap, kDebugCopyFileBytesCap + 1);  // sparse: cheap to make
    MultipartBody body;
    body.addField("username", "photog");
    ASSERT_TRUE(body.addFile("vidfile", overCap.string(), "video/quicktime"));
    ASSERT_TRUE(body.writeDebugCopy((logs / "copy.txt").string()));
    EXPECT_EQ(readFile(logs / "copy.txt"), field("username", "photog") +
                                               fileHead("vidfile", "BIG.mov", "video/quicktime") +
                                               "[" + std::to_string(kDebugCopyFileBytesCap + 1) +
                                               " bytes of BIG.mov left out of this copy]");
}

TEST_F(UploadTest, UploadsShareOneConnectionAndOneIsSentAgainOnlyIfItsBodyWasCutShort) {
    struct Row {
        const char* what;
        RawHttpServer::Reply reply;
        int connections;
        int lost = -1;  // the upload whose connection drops once the service has it all: not resent
    };
    const std::vector<Row> rows = {
        {"kept open", {.keepOpen = true}, 1},
        {"closed silently", {.announceClose = false}, 3},
        {"closed as announced", {}, 3},
        // Only this one is sent again: with the service's small receive buffer, most of its
        // large body cannot have left before the reset.
        {"reset while the body is sent", {.keepOpen = true, .resetAtHead = 2}, 2},
        // curl opens a connection for its second copy before it asks for the body again.
        {"reset once the body is in", {.keepOpen = true, .resetAfterBody = 2}, 3, 1},
        {"closed once the body is in", {.keepOpen = true, .closeAfterBody = 2}, 3, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        RawHttpServer service(64 * 1024);
        service.setReply(row.reply);
        store->setObject(sPrefKivURL, service.url());
        ResendRecorder ui;
        uploader->setUserInterface(&ui);
        for (int i = 0; i < 3; ++i) {
            const std::string name = "K" + std::to_string(i) + ".jpg";
            const bool cutShort = row.reply.resetAtHead != 0;
            const std::string bytes =
                photoBytes(cutShort ? 12 * 1024 * 1024 : 300 * 1024, static_cast<char>(i));
            writeFile(photos / "Smith" / name, bytes);
            Posted posted = upload(record("Smith/" + name));
            EXPECT_EQ(posted.succeeded(), i != row.lost) << name;
            auto requests = service.requests();  // each taken once, whole
            ASSERT_EQ(requests.size(), static_cast<std::size_t>(i + 1));
            EXPECT_TRUE(requests.back().body == plainForm(name) + bytes + kClosing);
            // A connection the service closes after its reply is not reused (no race).
            if (!row.reply.keepOpen) {
                ASSERT_TRUE(service.waitUntilIdle());
            }
        }
        EXPECT_EQ(service.connections(), row.connections);
        EXPECT_EQ(ui.resent, row.reply.resetAtHead ? std::vector<std::string>{"K1.jpg"}
                                                   : std::vector<std::string>{});
        uploader->setUserInterface(nullptr);
    }
}

TEST_F(UploadTest, StatusWordMessageAndVerdictForEachKindOfReply) {
    writeFile(photos / "Smith/IMG_0001.jpg", "photo");
    struct Row {
        const char* what;
        int code;
        std::string body, status;
        std::optional<std::string> message;  // nullopt: any parser description (not empty)
        bool succeeds;
    };
    auto sized = [](std::size_t size) {
        return "<r><s>OK</s><m>" + std::string(size - 23, 'x') + "</m></r>";
    };
    const std::string kTooLong = "unreadable reply: larger than 1 MiB";
    const std::string okDoc =
        "<?xml version=\"1.0\"?><response><status>OK</status><message>Fine</message></response>";
    const std::vector<Row> rows = {
        {"OK", 200, okDoc, "OK", "Fine", true},
        {"children read by position, not name", 200, "<a><x>ok</x><y>Fine</y><z/></a>", "ok",
         "Fine", true},
        // The status words decide whatever their case.
        {"WARNING", 200, "<r><s>WARNING</s><m>Bad e-mail</m></r>", "WARNING", "Bad e-mail", false},
        {"fail", 200, "<r><s>fail</s><m>Busy</m></r>", "fail", "Busy", false},
        {"Error", 200, "<r><s>Error</s><m>Locked</m></r>", "Error", "Locked", false},
        {"unknown status word", 200, "<r><s>Queued</s><m>later</m></r>", "Queued", "later", true},
        {"not XML", 200, "<html><body>Service Unavailable</html>", "FAIL", std::nullopt, false},
        {"one child", 200, "<response><status>OK</status></response>", "FAIL",
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
        {"status 201 with an OK document", 201, okDoc, "OK", "Fine", false},
        // Longer than the reader takes: not read, a failure, the photo stays.
        {"1 MiB exactly is still read", 200, sized(1024 * 1024), "OK", std::nullopt, true},
        {"1 MiB and a byte", 200, sized(1024 * 1024 + 1), "FAIL", kTooLong, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        server.setReply({.status = row.code, .body = row.body});

        Posted posted = upload(record("Smith/IMG_0001.jpg"));
        const Dictionary& d = posted.resultAtDone;
        EXPECT_EQ(d.at(httpStatusCode).integerValue(), row.code);
        EXPECT_FALSE(hasKey(d, httpError)) << "the service did answer";
        const bool tooLong = row.body.size() > 1024 * 1024;
        ASSERT_EQ(hasKey(d, httpReturnData), !tooLong);
        if (tooLong)
            EXPECT_TRUE(d.at(httpReplyUnreadable).boolValue());
        else
            EXPECT_TRUE(d.at(httpReturnData) == Value(Data(row.body.begin(), row.body.end())));
        EXPECT_EQ(*stringForKey(d, httpOurCustomStatus), row.status);
        const std::string message = *stringForKey(d, httpOurCustomMessage);
        EXPECT_TRUE(row.message ? message == *row.message : !message.empty()) << message;
        EXPECT_EQ(posted.names.back(),
                  row.succeeds ? kUploadSuccessNotification : kUploadFailNotification);
    }

    // The service's headers go along for the cycle, which heeds its Retry-After.
    server.setReply({.status = 503, .headers = "Retry-After: 6\r\n"});
    const Dictionary result = upload(record("Smith/IMG_0001.jpg")).resultAtDone;
    const Dictionary* headers =
        result.at(httpResponse).asDictionary()->at("allHeaderFields").asDictionary();
    EXPECT_EQ(*stringForKey(*headers, "Retry-After"), "6");

    // Nested a million levels deep: read without recursion.
    std::string deep = "<r><s>";
    for (int i = 0; i < 1000000; ++i) deep += "<a>";
    deep += "OK";
    for (int i = 0; i < 1000000; ++i) deep += "</a>";
    ServiceReply parsed = readServiceReply(deep + "</s><m>deep</m></r>");
    EXPECT_EQ(parsed.status + parsed.message, "OKdeep");
}

// A failed exchange leaves the item where it is: an error holding this text, no reply keys.
void expectNotDelivered(const Posted& posted, const std::string& error) {
    const std::string text = errorDescription(posted.resultAtDone.at(httpError));
    EXPECT_NE(text.find(error), std::string::npos) << text;
    EXPECT_FALSE(hasKey(posted.resultAtDone, httpStatusCode));
    EXPECT_FALSE(hasKey(posted.resultAtDone, httpOurCustomStatus));
    EXPECT_FALSE(posted.succeeded());
    EXPECT_EQ(posted.names.back(), kUploadFailNotification);
}

// The bytes decide: a touch while the photo is sent changes nothing, other bytes (or none)
// mean the photo was not delivered.
TEST_F(UploadTest, AFileUnreadableOrChangedWhileSentOrAServiceGoneOrSilentMeansNotDelivered) {
    const fs::path photo = photos / "Smith/IMG_0001.jpg", movie = photos / "Smith/IMG_0001.mov";
    using Step = std::function<void()>;
    struct Row {
        const char* what;
        bool delivered;
        Step make;  // after a photo is written
        // On the service's side, once all or the head is in: the file changes while it is sent.
        Step beforeReply{}, afterHead{};
    };
    const Step aMovie = [&] { writeFile(movie, photoBytes(200 * 1024, 8)); };
    const auto earlier = [](const fs::path& p) {
        fs::last_write_time(p, fs::last_write_time(p) - std::chrono::hours(3));
    };
    const auto fifo = [](const fs::path& p) {
        fs::remove(p);
        ::mkfifo(p.c_str(), 0644);
    };
    // A link swapped in after the scan judged the file: only one leading inside is sent.
    const auto outside = [&](const fs::path& p) {
        fs::remove(p);
        writeFile(tmp / "outside/id_ed25519", "a key");
        fs::create_symlink(tmp / "outside/id_ed25519", p);
    };
    // The photo replaced by a new file renamed into its place.
    const auto replace = [&](const std::string& bytes, bool sameTime) {
        writeFile(photos / "Smith/new.tmp", bytes);
        if (sameTime) fs::last_write_time(photos / "Smith/new.tmp", fs::last_write_time(photo));
        fs::rename(photos / "Smith/new.tmp", photo);
    };
    const std::vector<Row> rows = {
        {"untouched", true, aMovie, [] {}},
        {"photo's date set from its capture date", true, aMovie, [&] { earlier(photo); }},
        {"movie's date set", true, aMovie, [&] { earlier(movie); }},
        {"photo saved anew with the same bytes", true, aMovie,
         [&] { replace(readFile(photo), false); }},
        {"photo gone", false, [&] { fs::remove(photo); }},
        {"photo is a FIFO", false, [&] { fifo(photo); }},
        {"movie is a FIFO", false, [&] { fifo(movie); }},
        {"photo is a link outside the source folder", false, [&] { outside(photo); }},
        {"movie is a link outside the source folder", false, [&] { outside(movie); }},
        {"one byte changed in place", false, aMovie,
         [&] {
             const auto time = fs::last_write_time(photo);
             std::fstream(photo, std::ios::in | std::ios::out | std::ios::binary).put('X');
             fs::last_write_time(photo, time + std::chrono::seconds(1));
         }},
        {"bytes appended", false, nullptr, [&] { std::ofstream(photo, std::ios::app) << "more"; }},
        {"replaced by another file of the same size and time", false, nullptr,
         [&] { replace(std::string(64 * 1024, 'z'), true); }},
        {"deleted", false, nullptr, [&] { fs::remove(photo); }},
        // Large enough that most of it is still unread when the service has only the head.
        {"cut short while read", false, [&] { fs::resize_file(photo, 64 * 1024 * 1024); }, nullptr,
         [&] { fs::resize_file(photo, 10); }},
    };
    store->setObject(sPrefUploadMovie, true);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        fs::remove_all(photos / "Smith");
        writeFile(photo, std::string(64 * 1024, 'p'));
        if (row.make) row.make();
        server.setReply({.afterHead = row.afterHead, .beforeReply = row.beforeReply});
        const std::size_t requests = server.requests().size();
        const int connections = server.connections();
        const Posted posted = upload(record("Smith/IMG_0001.jpg"));
        if (row.delivered) {
            EXPECT_TRUE(posted.succeeded());
            // What the filing step checks the photo against: the bytes sent, not the stamp.
            std::optional<SentVersion> sent = sentVersionOf(posted.resultAtDone);
            ASSERT_TRUE(sent && sent->checksum);
            EXPECT_EQ(*sent->checksum, *fileChecksum(photo.string()));
            continue;
        }
        const bool changed = row.afterHead || row.beforeReply;
        expectNotDelivered(posted, changed ? kFileChangedError : kCannotReadFileError);
        // The client may give up before the service's step has finished changing the file.
        ASSERT_TRUE(server.waitUntilIdle());
        // Nothing goes out for a file that cannot be read; a file cut short is never whole.
        EXPECT_TRUE(changed || server.connections() == connections);
        EXPECT_TRUE(!row.afterHead || server.requests().size() == requests);
    }

    server.setReply({});
    // A loopback port bound but not listening: connections are refused, no one else takes it.
    int refusing = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof addr;
    ASSERT_EQ(::bind(refusing, reinterpret_cast<sockaddr*>(&addr), len), 0);
    ::getsockname(refusing, reinterpret_cast<sockaddr*>(&addr), &len);
    store->setObject(sPrefKivURL, "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/");
    expectNotDelivered(upload(record("Smith/IMG_0001.jpg")), "onnect");
    ::close(refusing);
    store->setObject(sPrefKivURL, "");
    expectNotDelivered(upload(record("Smith/IMG_0001.jpg")), "unsupported URL");
    store->setObject(sPrefKivURL, "file:///etc/passwd");
    expectNotDelivered(upload(record("Smith/IMG_0001.jpg")), "");

    // A service that takes the request and then stays silent past the idle time.
    store->setObject(sPrefKivURL, server.url());
    uploader =
        makeUploader({.debugCopyFolder = logs.string(), .idleTimeout = std::chrono::seconds(1)});
    server.hold();
    expectNotDelivered(upload(record("Smith/IMG_0001.jpg")), "imeout");
    server.hold(false);
}

TEST_F(UploadTest, FileBytesHoldingTheBoundaryGoUnderAFreshOneWholeAndForgeNoField) {
    const std::string forged =
        "\r\n--0xKhTmLbOuNdArY\r\nContent-Disposition: form-data; "
        "name=\"event\"\r\n\r\nForged\r\n--0xKhTmLbOuNdArY--\r\n";
    std::string photo = photoBytes(200 * 1024, 9), movie = photoBytes(300 * 1024, 10);
    photo.insert(150 * 1024, forged);
    movie += forged;
    const fs::path jpg = photos / "Smith/IMG_0001.jpg";
    writeFile(jpg, photo);
    writeFile(photos / "Smith/IMG_0001.mov", movie);

    // Read in pieces of any size, no piece completes the boundary: the form is never ended
    // early, whether the boundary lies within one piece or across two.
    for (std::size_t piece : std::vector<std::size_t>{1, 7, 14, 65536}) {
        SCOPED_TRACE(piece);
        MultipartBody body;
        ASSERT_TRUE(body.addFile("imgfile", jpg.string(), "image/jpeg"));
        body.close();
        std::string out(piece, '\0'), handed;
        while (std::optional<std::size_t> n = body.read(out.data(), piece)) {
            if (*n == 0) break;
            handed.append(out, 0, *n);
        }
        EXPECT_EQ(body.readFailure(), MultipartBody::ReadFailure::BoundaryInFile);
        EXPECT_EQ(handed.find("0xKhTmLbOuNdArY", 20), std::string::npos) << "only the header's";
    }

    // The request goes under a fresh boundary, whole; the one cut short never reached the form.
    store->setObject(sPrefUploadMovie, true);
    ResendRecorder ui;
    uploader->setUserInterface(&ui);
    ASSERT_TRUE(upload(record("Smith/IMG_0001.jpg")).succeeded());
    uploader->setUserInterface(nullptr);
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    const std::string type = requests[0].header("Content-Type");
    const std::string fresh = type.substr(type.find("boundary=") + 9);
    EXPECT_NE(fresh, "0xKhTmLbOuNdArY");
    EXPECT_EQ(photo.find(fresh), std::string::npos);
    EXPECT_EQ(movie.find(fresh), std::string::npos);
    // The form under the fresh boundary; the file bytes keep theirs.
    const auto under = [&](std::string text) {
        for (std::size_t at; (at = text.find("0xKhTmLbOuNdArY")) != std::string::npos;)
            text.replace(at, 15, fresh);
        return text;
    };
    EXPECT_TRUE(requests[0].body ==
                under(plainForm("IMG_0001.jpg")) + photo +
                    under(fileHead("vidfile", "IMG_0001.mov", "video/quicktime")) + movie +
                    under(kClosing));
    EXPECT_EQ(ui.resent, std::vector<std::string>{"IMG_0001.jpg"});
}

// The watchdog's time is prefUploadTimeOut as the preferences read it (their test pins its
// bounds); here: armed before the request goes out, fired on the main thread once, disarmed.
TEST_F(UploadTest, TheWatchdogGuardsEachExchangeAndACancelAbortsOneInFlight) {
    uploader = makeUploader({.debugCopyFolder = logs.string()}, &loop);
    using namespace std::chrono_literals;
    writeFile(photos / "Smith/IMG_0001.jpg", "photo");
    int fired = 0;
    uploader->setOnWatchdogFired([&] {
        EXPECT_TRUE(loop.isMainThread());
        ++fired;
    });
    for (const bool hang : {false, true}) {
        SCOPED_TRACE(hang);
        store->setObject(sPrefUploadTimeOut, 30);
        const std::size_t before = server.requests().size();
        server.hold(hang);
        // The upload runs on its own thread, as on a scan thread.
        auto running =
            std::async(std::launch::async, [&] { return upload(record("Smith/IMG_0001.jpg")); });
        if (hang) {
            ASSERT_TRUE(server.waitForRequests(before + 1));
            EXPECT_EQ(loop.validTimerCount(), 1u) << "armed before the request went out";
            loop.advance(29s);
            EXPECT_EQ(fired, 0);
            loop.advance(2s);
            EXPECT_EQ(fired, 1);
            server.hold(false);
        }
        EXPECT_TRUE(running.get().succeeded());
        loop.advance(1000s);
        EXPECT_EQ(fired, hang ? 1 : 0);
        EXPECT_EQ(loop.validTimerCount(), 0u) << "disarmed after the exchange";
    }

    // A cancel aborts the upload in flight, and refuses new ones until reset: nothing goes out.
    const std::size_t before = server.requests().size();
    server.hold();
    auto inFlight =
        std::async(std::launch::async, [&] { return upload(record("Smith/IMG_0001.jpg")); });
    ASSERT_TRUE(server.waitForRequests(before + 1));
    uploader->cancel();
    expectNotDelivered(inFlight.get(), kUploadCancelledError);
    server.hold(false);
    EXPECT_EQ(loop.validTimerCount(), 0u);
    const int connections = server.connections();
    expectNotDelivered(upload(record("Smith/IMG_0001.jpg")), kUploadCancelledError);
    EXPECT_EQ(server.connections(), connections);
    uploader->resetCancel();
    EXPECT_TRUE(upload(record("Smith/IMG_0001.jpg")).succeeded());
}

}  // namespace
}  // namespace vorn
