// The status board between the cycle and the console: what it records for a status request,
// and the one line per outcome the console prints.

#include <gtest/gtest.h>

#include <cstdio>

#include "app/StatusBoard.h"
#include "support/CapturedOutput.h"
#include "ui/ConsoleUserInterface.h"

namespace vorn {
namespace {

using namespace std::chrono_literals;

TEST(StatusBoard, RecordsTheFactsAndTheConsolePrintsOneLinePerOutcome) {
    using K = UploadOutcome::Kind;
    test::CapturedOutput console(1);
    test::CapturedOutput log(2);
    ConsoleUserInterface ui(stdout);
    auto clock = std::make_shared<FixedClock>(SystemTime(std::chrono::hours(24 * 20000 + 12)));
    StatusBoard board(ui, clock);
    EXPECT_NE(board.json({}).find("\"state\":\"idle\""), std::string::npos);

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
        EXPECT_NE(during.find(part), std::string::npos) << part << " in " << during;
    EXPECT_NE(board.text({}).find("all together:     4.0 KiB/s, 1.2 s left\n"), std::string::npos)
        << board.text({});
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
        {{K::Skipped, "A/D.jpg", 0, 0, "no upload metadata"}, "skipped A/D.jpg no upload metadata"},
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
        EXPECT_NE(logged.find(error), std::string::npos) << error << " in " << logged;
    EXPECT_EQ(logged.find("Server said ERROR"), logged.rfind("Server said ERROR"));

    std::string after = board.json({});
    for (const char* part :
         {"\"state\":\"stopped on error\"", "\"transfer\":null", "\"photosWaiting\":7",
          "\"uploadedToday\":1", "\"setAsideToday\":1", "\"resentToday\":1",
          "\"lastUploadName\":\"Müller/B10_01.jpg\"", "\"lastError\":\"Server said ERROR\""})
        EXPECT_NE(after.find(part), std::string::npos) << part << " in " << after;
    EXPECT_EQ(after.find("\"lastErrorTime\":null"), std::string::npos);
    EXPECT_NE(board.text({}).find("\nsent again today: 1\n"), std::string::npos) << board.text({});
    EXPECT_EQ(console.text(), "state: uploading\n" + expected +
                                  "error: could not file IMG_0004.jpg in the mirror folder: No "
                                  "space left on device\n"
                                  "error: Server said ERROR\n"
                                  "state: stopped on error (Server said ERROR)\n");

    // The counts are the day's.
    clock->advance(std::chrono::hours(24));
    EXPECT_NE(board.json({}).find("\"uploadedToday\":0,\"setAsideToday\":0,\"resentToday\":0"),
              std::string::npos);
}

}  // namespace
}  // namespace vorn
