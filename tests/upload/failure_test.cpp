// Uploads that must not count as delivered: a photo or movie that cannot be read, a file that
// changes while it is sent, an upload cut off on quit, the service not there; and the watchdog
// armed around each exchange.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <future>
#include <thread>

#include "UploadFixture.h"
#include "platform/RunLoop.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;
using test::writeFile;

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
