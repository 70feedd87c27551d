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
    ConsoleUserInterface ui(stdout);
    auto clock = std::make_shared<FixedClock>(SystemTime(std::chrono::hours(24 * 20000 + 12)));
    StatusBoard board(ui, clock);
    EXPECT_NE(board.json({}).find("\"state\":\"idle\""), std::string::npos);

    board.showCycleState(CycleState::Uploading, "");
    board.showTransferProgress({"Müller/B10_01.jpg", 1024, 4096, 2048.0, 1.5});
    std::string during = board.json({{"version", "1.0"}});
    for (const char* part :
         {"\"state\":\"uploading\"", "\"name\":\"Müller/B10_01.jpg\"", "\"bytesSent\":1024",
          "\"bytesTotal\":4096", "\"secondsLeft\":1.5", "\"version\":\"1.0\""})
        EXPECT_NE(during.find(part), std::string::npos) << part << " in " << during;
    board.showTransferEnded();
    board.showWaitingCount(7);

    struct Row {
        UploadOutcome outcome;
        const char* line;  // nullptr: nothing printed
    };
    const Row rows[] = {
        {{K::Uploaded, "Müller/B10_01.jpg", 4194304, 0.31, ""},
         "uploaded Müller/B10_01.jpg (4.0 MiB in 0.31 s)"},
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
    board.ibUpdateFTPCallbackStatusTextField("Server said ERROR", true);
    board.showCycleState(CycleState::Error, "Server said ERROR");

    std::string after = board.json({});
    for (const char* part :
         {"\"state\":\"stopped on error\"", "\"transfer\":null", "\"photosWaiting\":7",
          "\"uploadedToday\":1", "\"setAsideToday\":1", "\"resentToday\":1",
          "\"lastUploadName\":\"Müller/B10_01.jpg\"", "\"lastError\":\"Server said ERROR\""})
        EXPECT_NE(after.find(part), std::string::npos) << part << " in " << after;
    EXPECT_EQ(after.find("\"lastErrorTime\":null"), std::string::npos);
    EXPECT_NE(board.text({}).find("\nsent again today: 1\n"), std::string::npos) << board.text({});
    EXPECT_EQ(console.text(), "state: uploading\n" + expected +
                                  "error: Server said ERROR\n"
                                  "state: stopped on error (Server said ERROR)\n");

    // The counts are the day's.
    clock->advance(std::chrono::hours(24));
    EXPECT_NE(board.json({}).find("\"uploadedToday\":0,\"setAsideToday\":0,\"resentToday\":0"),
              std::string::npos);
}

}  // namespace
}  // namespace vorn
