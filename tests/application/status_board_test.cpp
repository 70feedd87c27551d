// The status board between the cycle and the console: what it records for a status request,
// the one line per outcome the console prints, the day's counts it keeps, and the metrics file
// written from it.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "app/MetricsFile.h"
#include "app/StatusBoard.h"
#include "platform/Utf8.h"
#include "support/CapturedOutput.h"
#include "support/TempDir.h"
#include "ui/ConsoleUserInterface.h"

namespace vorn {
namespace {

using namespace std::chrono_literals;
using K = UploadOutcome::Kind;

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// A board over the console, which prints into console; its clock at noon.
class StatusBoardTest : public ::testing::Test {
  protected:
    test::CapturedOutput console{1};
    ConsoleUserInterface ui{stdout};
    std::shared_ptr<FixedClock> clock =
        std::make_shared<FixedClock>(SystemTime(std::chrono::hours(24 * 20000 + 12)));
    StatusBoard board{ui, clock};
};

TEST_F(StatusBoardTest, RecordsTheFactsAndTheConsolePrintsOneLinePerOutcome) {
    test::CapturedOutput log(2);
    EXPECT_TRUE(has(board.json({}), "\"state\":\"idle\""));

    board.showCycleState(CycleState::Uploading, "");
    board.showTransferProgress({"Müller/B10_01.jpg", 1024, 4096, 2048.0, 1.5});
    board.showTransferProgress({"Jones/A.jpg", 2048, 4096, 2048.0, 1.0});  // two at once
    board.showTransferProgress({"Müller/B10_01.jpg", 1024, 4096, 2048.0, 1.5});
    std::string during = board.json({{"version", "1.0"}});
    for (const char* part :
         {"\"state\":\"uploading\"", "\"transfer\":{\"name\":\"Müller/B10_01.jpg\"",
          "\"bytesSent\":1024", "\"bytesTotal\":4096", "\"secondsLeft\":1.5",
          "\"transfers\":[{\"name\":\"Müller/B10_01.jpg\"", "},{\"name\":\"Jones/A.jpg\"",
          "],\"bytesPerSecond\":4096.0,\"secondsLeft\":1.2", "\"version\":\"1.0\""})
        EXPECT_TRUE(has(during, part)) << part << " in " << during;
    EXPECT_TRUE(has(board.text({}), "all together:     4.0 KiB/s, 1.2 s left\n")) << board.text({});
    board.showTransferEnded("Jones/A.jpg");
    EXPECT_EQ(board.snapshot().transfers.size(), 1u);
    board.showTransferEnded("Müller/B10_01.jpg");
    board.showWaitingCount(7);

    struct Row {
        UploadOutcome outcome;
        const char* line;  // nullptr: nothing printed
    };
    const Row rows[] = {
        // A photo on a fast network takes a few milliseconds: shown, not rounded to 0.00 s.
        {{K::Uploaded, "Müller/B10_01.jpg", 4194304, 0.0043, ""},
         "uploaded Müller/B10_01.jpg (4.0 MiB in 4.3 ms)"},
        {{K::SetAside, "A/B.jpg", 0, 0, "Warning: duplicate"},
         "set aside A/B.jpg (Warning: duplicate)"},
        {{K::WillRetry, "A/C.jpg", 0, 0, "HTTP 503", 8s}, "will retry A/C.jpg in 8 s (HTTP 503)"},
        {{K::Skipped, "A/D.jpg", 0, 0, "no upload metadata"},
         "skipped A/D.jpg: no upload metadata"},
        {{K::Skipped, "A/D.jpg", 0, 0, "no upload metadata"}, nullptr},  // once per file
    };
    std::string expected;
    for (const Row& row : rows) {
        board.showUploadOutcome(row.outcome);
        if (row.line) expected += std::string(row.line) + "\n";
    }
    board.noteResend("A/C.jpg");  // in the log, not on the console
    board.ibUpdateFTPCallbackStatusTextField(
        "could not file IMG_0004.jpg in the mirror folder: No space left on device", true);
    board.ibUpdateFTPCallbackStatusTextField("Server said ERROR", true);
    board.ibUpdateFTPCallbackStatusTextField("Server said ERROR", true);
    board.showCycleState(CycleState::Error, "Server said ERROR");
    // Every error shown in red is in the dated log, once while it stays the same.
    const std::string logged = log.text();
    for (const char* error :
         {"] could not file IMG_0004.jpg in the mirror folder: No space", "] Server said ERROR"})
        EXPECT_TRUE(has(logged, error)) << error << " in " << logged;
    EXPECT_EQ(logged.find("Server said ERROR"), logged.rfind("Server said ERROR"));

    std::string after = board.json({});
    for (const char* part :
         {"\"state\":\"stopped on error\"", "\"transfer\":null", "\"photosWaiting\":7",
          "\"uploadedToday\":1", "\"setAsideToday\":1", "\"resentToday\":1",
          "\"lastUploadName\":\"Müller/B10_01.jpg\"", "\"lastError\":\"Server said ERROR\""})
        EXPECT_TRUE(has(after, part)) << part << " in " << after;
    EXPECT_EQ(after.find("\"lastErrorTime\":null"), std::string::npos);
    EXPECT_TRUE(has(board.text({}), "\nsent again today: 1\n")) << board.text({});
    EXPECT_EQ(console.text(), "state: uploading\n" + expected +
                                  "error: could not file IMG_0004.jpg in the mirror folder: No "
                                  "space left on device\n"
                                  "error: Server said ERROR\n"
                                  "state: stopped on error (Server said ERROR)\n");

    // The counts are the day's.
    clock->advance(std::chrono::hours(24));
    EXPECT_TRUE(has(board.json({}), "\"uploadedToday\":0,\"setAsideToday\":0,\"resentToday\":0"));
}

TEST_F(StatusBoardTest, SaysTheLaunchDelayTheWaitForAReplyAndWhatIsSkipped) {
    // The launch delay counts down until the pass begins, or something else does first.
    board.showStartingIn(10s);
    EXPECT_TRUE(
        has(board.json({}), "{\"state\":\"starting\",\"stateReason\":\"\",\"startsIn\":10,"));
    clock->advance(3500ms);
    EXPECT_TRUE(has(board.text({}), "state:            starting in 7 s\n")) << board.text({});
    clock->advance(7s);  // the time is up: the state as it is
    EXPECT_TRUE(has(board.text({}), "state:            idle\n")) << board.text({});
    board.showStartingIn(30s);
    board.showCycleState(CycleState::Paused, "");
    EXPECT_TRUE(has(board.json({}), "{\"state\":\"paused\",\"stateReason\":\"\",\"transfer\""));
    board.showCycleState(CycleState::Idle, "");
    EXPECT_TRUE(has(board.text({}), "state:            idle\n")) << "the wait ended with the pause";

    // All sent, the service thinking: no "0 s left".
    TransferProgress sent{"A/B.jpg", 4 << 20, 4 << 20, 1 << 20, 0.0};
    sent.secondsWaitingForReply = 4.6;
    board.showTransferProgress(sent);
    EXPECT_TRUE(has(board.text({}),
                    "sending:          A/B.jpg, 4.0 MiB of 4.0 MiB, waiting for the "
                    "service's reply (4 s)\n"))
        << board.text({});
    EXPECT_TRUE(has(board.json({}), "\"secondsLeft\":0.0,\"secondsWaitingForReply\":4.6}"));
    board.showTransferEnded("A/B.jpg");

    // Skipped photos: counted as the scan leaves them, the last few named, newest first.
    UploadOutcome loose{K::Skipped, "LOOSE.jpg", 0, 0, ""};
    loose.skip = UploadOutcome::Skip::Loose;
    for (const UploadOutcome& o : {UploadOutcome{K::Skipped, "A/1.jpg", 0, 0, ""},
                                   UploadOutcome{K::Skipped, "A/2.jpg", 0, 0, ""}, loose,
                                   UploadOutcome{K::Skipped, "A/1.jpg", 0, 0, ""}})
        board.showUploadOutcome(o);
    board.showSkippedCount({2, 1});
    EXPECT_TRUE(has(board.text({}),
                    "skipped:          2 without upload metadata (last: A/1.jpg, "
                    "A/2.jpg); 1 directly in the source folder (LOOSE.jpg): "
                    "photos go in a client folder\n"))
        << board.text({});
    EXPECT_TRUE(
        has(board.json({}),
            "\"photosSkipped\":3,\"skippedWithoutMetadata\":2,\"skippedWithoutMetadataNames\":"
            "[\"A/1.jpg\",\"A/2.jpg\"],\"skippedLoose\":1,\"skippedLooseNames\":[\"LOOSE.jpg\"]"));
    // One got its metadata and went; then none is left without.
    board.showUploadOutcome({K::Uploaded, "A/1.jpg", 10, 0.1, ""});
    EXPECT_TRUE(has(board.json({}), "\"skippedWithoutMetadataNames\":[\"A/2.jpg\"]"));
    board.showSkippedCount({0, 0});
    EXPECT_TRUE(has(board.text({}), "skipped:          none\n"));
    EXPECT_TRUE(has(console.text(), "state: starting in 10 s\n"));
    EXPECT_TRUE(has(console.text(), "skipped LOOSE.jpg: photos go in a client folder\n"));
    // A name that is not UTF-8 (a card named elsewhere) still makes JSON a reader can parse.
    board.showUploadOutcome({K::Uploaded,
                             "Caf\xE9/\x7F"
                             "1.jpg",
                             10, 0.1, ""});
    const std::string json = board.json({});
    EXPECT_TRUE(isValidUtf8(json));
    EXPECT_TRUE(has(json, "\"lastUploadName\":\"Caf\xEF\xBF\xBD/\\u007f1.jpg\"")) << json;
}

TEST_F(StatusBoardTest, TheDaysCountsOutliveARestartOfTheSameDayOnly) {
    test::TempDir tmp;
    const std::string kept = (tmp / "DayCounts.plist").string();
    {
        StatusBoard before(ui, clock);
        before.keepDayCountsIn(kept);
        for (K kind : {K::Uploaded, K::Uploaded, K::SetAside, K::WillRetry})
            before.showUploadOutcome({kind, "A/B.jpg", 100, 0.1, "why"});
    }
    EXPECT_EQ(std::filesystem::status(kept).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    struct Row {
        std::chrono::hours later;
        const char* counts;
    };
    for (const Row& row :
         {Row{std::chrono::hours(2), "\"uploadedToday\":2,\"setAsideToday\":1"},
          Row{std::chrono::hours(24), "\"uploadedToday\":0,\"setAsideToday\":0"}}) {
        auto restartedAt = std::make_shared<FixedClock>(clock->now() + row.later);
        StatusBoard after(ui, restartedAt);
        after.keepDayCountsIn(kept);
        EXPECT_TRUE(has(after.json({}), row.counts)) << row.later.count() << after.json({});
        // What metrics count begins again with the process.
        EXPECT_EQ(after.snapshot().uploadedSinceStart, 0u);
    }
    test::writeFile(kept, "<plist><dict><key>day</key><string>");  // cut off
    StatusBoard broken(ui, clock);
    broken.keepDayCountsIn(kept);
    EXPECT_TRUE(has(broken.json({}), "\"uploadedToday\":0,\"setAsideToday\":0"));
}

TEST_F(StatusBoardTest, TheMetricsFileIsReplacedWholeFollowsItsSettingAndEndsWithTheStop) {
    test::TempDir tmp;
    std::string path = (tmp / "a/vorn.prom").string();
    std::filesystem::create_directories(tmp / "a");
    MetricsFile metrics(board, {[&] { return path; }, "1.2\"3", [] { return 7u; }});
    board.showStartingIn(10s);
    board.showUploadOutcome({K::Uploaded, "A/B.jpg", 1000, 0.1, ""});
    board.showUploadOutcome({K::WillRetry, "A/C.jpg", 0, 0, "HTTP 503", 1s});
    ASSERT_TRUE(metrics.write());
    const std::string text = test::readFile(path);
    for (const char* line :
         {"vorn_photos_uploaded_total 1\n", "vorn_upload_bytes_total 1000\n",
          "vorn_upload_retries_total 1\n", "vorn_upload_resends_total 7\n",
          "vorn_state{state=\"starting\"} 1\n", "vorn_state{state=\"idle\"} 0\n",
          "vorn_build_info{version=\"1.2\\\"3\"} 1\n", "# TYPE vorn_photos_waiting gauge\n"})
        EXPECT_TRUE(has(text, line)) << line << " in " << text;
    // Only the file itself in its folder: the textfile collector never meets a part-written one.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(tmp / "a"),
                            std::filesystem::directory_iterator()),
              1);

    // Moved by the setting: the old file goes, so no frozen numbers stay behind.
    const std::string old = path;
    path = (tmp / "b.prom").string();
    ASSERT_TRUE(metrics.write());
    EXPECT_FALSE(std::filesystem::exists(old));
    metrics.writeStopped();
    EXPECT_TRUE(has(test::readFile(path), "vorn_state{state=\"stopped\"} 1\n"));
    EXPECT_TRUE(has(test::readFile(path), "vorn_state{state=\"starting\"} 0\n"));
    EXPECT_FALSE(metrics.write()) << "an outcome after the stop does not take its word back";
    EXPECT_TRUE(has(test::readFile(path), "vorn_state{state=\"stopped\"} 1\n"));
    path.clear();  // turned off: nothing is left
    metrics.writeStopped();
    EXPECT_FALSE(std::filesystem::exists(tmp / "b.prom"));
}

}  // namespace
}  // namespace vorn
