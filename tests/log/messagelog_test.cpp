#include "log/MessageLog.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>
#include <thread>

#include "support/CapturedOutput.h"
#include "support/TempDir.h"

namespace vorn {
namespace {
using test::readFile;
using test::writeFile;

const std::regex kLine(
    R"(\[(Sun|Mon|Tue|Wed|Thu|Fri|Sat) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) )"
    R"([ 123]\d \d\d:\d\d:\d\d \d{4}\] ==> )");

class MessageLogTest : public ::testing::Test {
  protected:
    test::TempDir tmp;
    std::string path = (tmp / "VornLog.txt").string();
    void SetUp() override { MessageLog::setLogFilePath(path); }
    void TearDown() override { MessageLog::CloseLog(); }
};

TEST_F(MessageLogTest, WritesTimeStampedLinesIntoAFileEmptiedAtLaunch) {
    writeFile(path, "a previous run\n");
    MessageLog::InitLog();
    MessageLog::LogMessage("applicationWillFinishLaunching", false);
    MessageLog::LogMessage(std::string("100% done"));

    const std::string text = readFile(path);  // flushed per line: readable while open
    std::smatch m;
    ASSERT_TRUE(std::regex_search(text, m, kLine)) << text;
    EXPECT_EQ(m.position(0), 0);
    EXPECT_EQ(m.length(0), 1 + 24 + 6);  // "[" + asctime text + "] ==> "
    EXPECT_EQ(text.find("a previous run"), std::string::npos);
    std::istringstream lines(text);
    std::string line;
    std::vector<std::string> messages;
    while (std::getline(lines, line)) {
        ASSERT_TRUE(std::regex_search(line, m, kLine)) << line;
        messages.push_back(line.substr(static_cast<size_t>(m.length(0))));
    }
    EXPECT_EQ(messages, (std::vector<std::string>{"applicationWillFinishLaunching", "100% done"}));
}

TEST_F(MessageLogTest, WritesALongMessageWhole) {
    MessageLog::InitLog();
    std::string big(100 * 1024, 'p');
    big.back() = 'Z';
    MessageLog::LogMessage(big);
    const std::string text = readFile(path);
    EXPECT_EQ(text.size(), 31 + big.size() + 1);
    EXPECT_EQ(text.substr(31), big + "\n");
}

TEST_F(MessageLogTest, EchoesAndReportsLinesThatFindTheLogClosed) {
    test::CapturedOutput err(2);
    MessageLog::InitLog();
    MessageLog::LogMessage("halted", true);
    EXPECT_NE(err.text().find("NSLog = halted\n"), std::string::npos) << err.text();

    MessageLog::CloseLog();
    const std::string before = readFile(path);
    MessageLog::LogMessage("late line", true);
    EXPECT_EQ(readFile(path), before);
    const std::string stderrText = err.text();
    EXPECT_NE(stderrText.find("Logfile may be closed already?????\n"), std::string::npos);
    EXPECT_NE(stderrText.find("NSLog = late line\n"), std::string::npos);
}

TEST_F(MessageLogTest, MyNSLogEndsEveryMessageWithOneLineEnd) {
    test::CapturedOutput err(2);
    MessageLog::InitLog();
    myNSLog("count %d", 5);
    myNSLog("ready %s\n", "now");
    EXPECT_EQ(err.text(), "count 5\nready now\n");
    const std::string text = readFile(path);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(text, m, kLine));
    EXPECT_EQ(std::regex_replace(text, kLine, ""), "count 5\n\nready now\n\n");
}

TEST_F(MessageLogTest, MyPrintfPrintsThePercentSignLiterally) {
    test::CapturedOutput out(1);
    myPrintf("100% %s %d\n");
    myPrintfDebug("debug\n");
    myPrintfInternal("hidden\n", false, true);
    EXPECT_EQ(out.text(), "100% %s %d\ndebug\n");
}

TEST_F(MessageLogTest, LinesFromManyThreadsStayWholeWhileTheLogCloses) {
    MessageLog::InitLog();
    test::CapturedOutput err(2);
    constexpr int kThreads = 4, kLines = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            const std::string text = "thread " + std::to_string(t) + std::string(500, 'x');
            for (int i = 0; i < kLines; ++i) MessageLog::LogMessage(text);
        });
    }
    threads.emplace_back([] { MessageLog::CloseLog(); });
    for (auto& th : threads) th.join();

    std::istringstream lines(readFile(path));
    std::string line;
    size_t written = 0;
    while (std::getline(lines, line)) {
        std::smatch m;
        ASSERT_TRUE(std::regex_search(line, m, kLine)) << line;
        EXPECT_EQ(m.position(0), 0);
        EXPECT_EQ(line.size(), 31 + 8 + 500u);
        ++written;
    }
    // Every line either reached the file or was reported as lost.
    const std::string errText = err.text();
    size_t reported = 0;
    for (size_t p = 0; (p = errText.find("Logfile may be closed already", p)) != std::string::npos;
         ++p) {
        ++reported;
    }
    EXPECT_EQ(written + reported, size_t{kThreads * kLines});
}

}  // namespace
}  // namespace vorn
