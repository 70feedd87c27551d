// The whole cycle against the stand-in photo service over loopback: the real controller, a
// plain scan, the real uploader, real folders. One row per outcome of a reply.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>

#include "app/AppController.h"
#include "platform/RunLoop.h"
#include "settings/PreferenceKeys.h"
#include "settings/Preferences.h"
#include "settings/PreferencesStore.h"
#include "support/PhotoServiceProcess.h"
#include "support/RefusingPort.h"
#include "support/TempDir.h"
#include "support/cycle/CycleFixture.h"
#include "support/cycle/FirstFileScanner.h"
#include "support/cycle/RecordingUserInterface.h"
#include "upload/HttpController.h"
#include "upload/NotificationNames.h"
#include "upload/Records.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;
using test::PhotoServiceProcess;
using test::readFile;
using test::TempDir;
using test::writeFile;

enum class Place { Mirror, Problem, Source };

class ServiceCycleTest : public ::testing::Test {
  protected:
    explicit ServiceCycleTest(RunLoop::Time time = RunLoop::Time::Real) : loop(time) {}

    void start(const std::string& script, bool serviceUp) {
        source = tmp / "Upload";
        mirror = tmp / "Site" / "Mirror";
        problem = tmp / "Site" / "Problem Folder";
        data = tmp / "service";
        fs::create_directories(source);
        fs::create_directories(mirror);
        fs::create_directories(tmp / "logs");
        if (!script.empty()) writeFile(tmp / "script.txt", script);

        store = test::cyclePreferences(tmp / "prefs.plist", source, mirror);
        store->setObject(sPrefUploadMovie, true);
        if (serviceUp) {
            startService();
        } else {
            store->setObject(sPrefKivURL, refusing.url());
        }

        // Counts the attempts per item; registered first so it sees each one before it goes out.
        center.addObserver(this, kUploadStartNotification, [this](const Notification& n) {
            if (!n.userInfo) return;
            const std::string* item = stringForKey(*n.userInfo, cDictKeyCurItem);
            int attempt = ++attempts[item ? *item : ""];
            attemptTimes[item ? *item : ""].push_back(loop.now());
            // The service comes up for the retry.
            if (!service && attempt == 2 && serviceComesUp) startService();
        });

        AppController::Dependencies deps;
        deps.center = &center;
        deps.mainThread = &loop;
        deps.ui = &ui;
        deps.clock = std::make_shared<FixedClock>(SystemTime(std::chrono::seconds(1796558400)));
        deps.timings = timings;
        deps.monotonicNow = [this] { return loop.now(); };
        deps.filingJournalPath = (tmp / "state" / "FilingJournal.plist").string();
        controller = std::make_unique<AppController>(std::move(deps));
        controller->registerNotifications();
        HttpController::Options options;
        options.debugCopyFolder = (tmp / "logs").string();
        uploader = std::make_unique<HttpController>(center, &loop, options);
        scanner = std::make_shared<test::FirstFileScanner>();
        controller->setFolderScanner(scanner);
    }

    void startService() {
        std::optional<fs::path> script;
        if (fs::exists(tmp / "script.txt")) script = tmp / "script.txt";
        service.emplace(data, std::nullopt, script);
        store->setObject(sPrefKivURL, service->url());
    }

    void TearDown() override {
        if (controller) {
            EXPECT_TRUE(waitForRest());
        }
        uploader.reset();
        controller.reset();
        center.removeObserver(this);
    }

    bool waitForRest() {
        return loop.runUntil([&] { return controller->workerThreads().activeCount() == 0; },
                             std::chrono::seconds(60));
    }

    TempDir tmp;
    fs::path source, mirror, problem, data;
    test::RefusingPort refusing;
    std::optional<PhotoServiceProcess> service;
    std::shared_ptr<PreferencesStore> store;
    RunLoop loop;
    NotificationCenter center;
    test::RecordingUserInterface ui;
    std::map<std::string, int> attempts;
    std::map<std::string, std::vector<std::chrono::steady_clock::time_point>> attemptTimes;
    CycleTimings timings = test::quickCycleTimings();
    bool serviceComesUp = true;
    std::unique_ptr<AppController> controller;
    std::unique_ptr<HttpController> uploader;
    std::shared_ptr<test::FirstFileScanner> scanner;
};

TEST_F(ServiceCycleTest, EachReplyOfTheServiceFilesPhotoAndMovieAndDecidesWhetherTheCycleGoesOn) {
    struct Row {
        const char* what;
        std::string script;  // rules of the service for the first photo
        bool serviceUp;      // else it comes up only for the second attempt
        Place first;         // where photo 1 and its movie end up
        int firstAttempts;
        bool cycleGoesOn;      // photo 2 is uploaded after photo 1
        std::size_t requests;  // that reached the service
    };
    const std::vector<Row> rows = {
        {"OK with a movie", "", true, Place::Mirror, 1, true, 2},
        {"Warning", "IMG_0001.jpg 1 warning \"Check the e-mail\"\n", true, Place::Problem, 1, true,
         2},
        {"code 500", "IMG_0001.jpg 1 http 500\n", true, Place::Problem, 1, true, 2},
        {"FAIL, No Email Addresses Sent", "IMG_0001.jpg 1 no-email\n", true, Place::Problem, 1,
         true, 2},
        {"ERROR", "IMG_0001.jpg 1 error \"Account locked\"\n", true, Place::Source, 1, false, 1},
        {"FAIL once, then OK", "IMG_0001.jpg 1 fail \"Server busy\"\n", true, Place::Mirror, 2,
         true, 3},
        {"service not listening", "", false, Place::Mirror, 2, true, 2},
    };
    const std::string photo1 =
        std::string("\xFF\xD8 photo one \0\r\n", 17) + std::string(300000, 'a');
    const std::string movie1 = "movie one " + std::string(500000, 'm');
    const std::string photo2 = "\xFF\xD8 photo two";
    const std::string movie2 = "movie two";

    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        TearDown();
        service.reset();
        attempts.clear();
        fs::remove_all(tmp.path());
        fs::create_directories(tmp.path());
        start(row.script, row.serviceUp);
        writeFile(source / "Smith/IMG_0001.jpg", photo1);
        writeFile(source / "Smith/IMG_0001.mov", movie1);
        writeFile(source / "Smith/IMG_0002.jpg", photo2);
        writeFile(source / "Smith/IMG_0002.mov", movie2);

        controller->ibUserClickedOnSynchronize();
        ASSERT_TRUE(waitForRest());

        // Photo 1 and its movie: in exactly one place, whole.
        fs::path base = row.first == Place::Mirror    ? mirror
                        : row.first == Place::Problem ? problem
                                                      : source;
        EXPECT_TRUE(readFile(base / "Smith/IMG_0001.jpg") == photo1);
        EXPECT_EQ(readFile(base / "Smith/IMG_0001.mov"), movie1);
        for (const fs::path& other : {source, mirror, problem}) {
            if (other == base) continue;
            EXPECT_FALSE(fs::exists(other / "Smith/IMG_0001.jpg")) << other;
            EXPECT_FALSE(fs::exists(other / "Smith/IMG_0001.mov")) << other;
        }
        EXPECT_EQ(attempts["Smith/IMG_0001.jpg"], row.firstAttempts);

        // Photo 2 shows whether the cycle went on.
        fs::path base2 = row.cycleGoesOn ? mirror : source;
        EXPECT_EQ(readFile(base2 / "Smith/IMG_0002.jpg"), photo2);
        EXPECT_EQ(readFile(base2 / "Smith/IMG_0002.mov"), movie2);
        EXPECT_EQ(attempts["Smith/IMG_0002.jpg"], row.cycleGoesOn ? 1 : 0);
        EXPECT_FALSE(controller->startedUploadProcess());

        // What the service got: each request once, photo and movie byte for byte.
        ASSERT_TRUE(service.has_value());
        EXPECT_EQ(service->requestLog().size(), row.requests);
        for (const std::string& line : service->requestLog()) {
            EXPECT_NE(line.find("\"kind\":\"photo\""), std::string::npos) << line;
            EXPECT_NE(line.find("\"name\":\"vidfile\""), std::string::npos) << line;
        }
        const fs::path stored = data / "photog" / "Prom 2026";
        EXPECT_TRUE(readFile(stored / "IMG_0001.jpg") == photo1);
        EXPECT_EQ(readFile(stored / "IMG_0001.mov"), movie1);
        EXPECT_EQ(fs::exists(stored / "IMG_0001-2.jpg"), row.requests == 3);
        EXPECT_EQ(fs::exists(stored / "IMG_0002.jpg"), row.cycleGoesOn);
        if (row.cycleGoesOn) {
            EXPECT_EQ(readFile(stored / "IMG_0002.mov"), movie2);
            // The last debug copy is whole, though its files were filed away meanwhile: the
            // second photo's, or the first one's when that was still being written.
            uploader->waitForDebugCopies();
            std::string copy = readFile(tmp / "logs" / kPostBodyDataWithImageFileName);
            auto endsWithBody = [&copy](const std::string& photo, const std::string& movie,
                                        const char* movieName) {
                std::string tail = photo +
                                   "\r\n--0xKhTmLbOuNdArY\r\nContent-Disposition: form-data; "
                                   "name=\"vidfile\"; filename=\"" +
                                   movieName + "\"\r\nContent-Type: video/quicktime\r\n\r\n" +
                                   movie;
                return copy.size() > tail.size() &&
                       copy.compare(copy.size() - tail.size(), tail.size(), tail) == 0;
            };
            EXPECT_TRUE(endsWithBody(photo2, movie2, "IMG_0002.mov") ||
                        endsWithBody(photo1, movie1, "IMG_0001.mov"));
        }
        EXPECT_FALSE(fs::exists(stored / "IMG_0002-2.jpg"));
        if (!row.cycleGoesOn) {
            EXPECT_EQ(ui.last("callback-error"), "Account locked");
        }
    }
}

// The service's time runs under the test's control: 15 s of failures pass in a moment.
class FailingServiceTest : public ServiceCycleTest {
  protected:
    FailingServiceTest() : ServiceCycleTest(RunLoop::Time::Virtual) {
        timings.firstRetryWait = std::chrono::seconds(1);
    }
};

TEST_F(FailingServiceTest, APhotoThatFailsWaitsBeforeEachTryWhileTheOthersGo) {
    using namespace std::chrono_literals;
    struct Row {
        const char* what;
        std::string script;  // for IMG_0001.jpg
        bool serviceUp;
        std::string shown;  // in red, at the start
        int minAttempts, maxAttempts;
        std::chrono::seconds minGap;  // between two tries of IMG_0001
        Place first;                  // where IMG_0001 ends
    };
    const std::vector<Row> rows = {
        // 1 s doubling: tries at 0, 1, 3, 7 and 15 s.
        {"FAIL for good", "IMG_0001.jpg always fail \"Server busy\"\n", true,
         "service answered FAIL: Server busy", 4, 5, 1s, Place::Source},
        {"unreadable reply for good", "IMG_0001.jpg always malformed\n", true, "unreadable reply",
         4, 5, 1s, Place::Source},
        {"503 for good", "IMG_0001.jpg always http 503\n", true,
         "HTTP Server Returned Status Code: 503", 4, 5, 1s, Place::Source},
        {"503 twice with Retry-After 6", "IMG_0001.jpg 2 http 503 6\n", true,
         "HTTP Server Returned Status Code: 503", 3, 3, 6s, Place::Mirror},
        {"429 once", "IMG_0001.jpg 1 http 429\n", true, "HTTP Server Returned Status Code: 429", 2,
         2, 1s, Place::Mirror},
        {"service down", "", false, "no reply from 127.0.0.1: ", 4, 5, 1s, Place::Source},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        TearDown();
        service.reset();
        attempts.clear();
        attemptTimes.clear();
        ui.clear();
        fs::remove_all(tmp.path());
        fs::create_directories(tmp.path());
        serviceComesUp = false;
        start(row.script, row.serviceUp);
        for (const char* name : {"IMG_0001.jpg", "IMG_0002.jpg", "IMG_0003.jpg"})
            writeFile(source / "Smith" / name, std::string("photo ") + name);

        controller->ibUserClickedOnSynchronize();
        ASSERT_TRUE(waitForRest());
        for (auto t = 0ms; t < 15s; t += 250ms) {
            loop.advance(250ms);
            ASSERT_TRUE(waitForRest());
        }

        const std::vector<std::chrono::steady_clock::time_point>& tries =
            attemptTimes["Smith/IMG_0001.jpg"];
        EXPECT_GE(static_cast<int>(tries.size()), row.minAttempts);
        EXPECT_LE(static_cast<int>(tries.size()), row.maxAttempts);
        for (std::size_t i = 1; i < tries.size(); ++i)
            EXPECT_GE(tries[i] - tries[i - 1], row.minGap);
        fs::path base = row.first == Place::Mirror ? mirror : source;
        EXPECT_EQ(readFile(base / "Smith/IMG_0001.jpg"), "photo IMG_0001.jpg");
        // The photos after it were not held up (unless nothing gets through at all).
        for (const char* later : {"Smith/IMG_0002.jpg", "Smith/IMG_0003.jpg"}) {
            EXPECT_TRUE(fs::exists((row.serviceUp ? mirror : source) / later)) << later;
            EXPECT_LE(attempts[later], row.serviceUp ? 1 : row.maxAttempts) << later;
        }
        // Each failure shown once, in red with its reason; a failed exchange is never shown
        // as a success.
        bool shown = false;
        for (const auto& line : ui.lines())
            shown |= line.field == "callback-error" && line.text.rfind(row.shown, 0) == 0;
        EXPECT_TRUE(shown) << ui.last("callback-error");
        EXPECT_EQ(ui.count("callback", "Upload successful"), 0);
        int failures = 0;
        for (const auto& [item, n] : attempts) failures += n;
        failures -= row.serviceUp ? 3 - (row.first == Place::Source ? 1 : 0) : 0;
        EXPECT_EQ(ui.count("outcome", "will retry"), failures);
    }
}

}  // namespace
}  // namespace vorn
