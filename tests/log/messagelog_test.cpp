#include "log/MessageLog.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <regex>
#include <sstream>
#include <thread>

#include "platform/PlatformLog.h"
#include "support/CapturedOutput.h"
#include "support/TempDir.h"

namespace vorn {
namespace {
using test::readFile;
namespace fs = std::filesystem;

// The messages of the log text, one per line, without their "[Sat Dec  5 18:29:43 2026] ==> ".
std::vector<std::string> messages(const std::string& text) {
    static const std::regex stamp(
        R"(^\[(Sun|Mon|Tue|Wed|Thu|Fri|Sat) [A-Z][a-z]{2} [ 1-3]\d \d\d:\d\d:\d\d \d{4}\] ==> )");
    std::vector<std::string> out;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        out.push_back(std::regex_search(line, m, stamp) ? m.suffix().str() : "<no stamp> " + line);
    }
    return out;
}

size_t occurrences(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

class MessageLogTest : public ::testing::Test {
  protected:
    test::TempDir tmp;
    std::string path = (tmp / "VornLog.txt").string();
    void SetUp() override { MessageLog::setLogFilePath(path); }
    void TearDown() override { MessageLog::CloseLog(); }
};

TEST_F(MessageLogTest, WritesStampedLinesIntoAFileEmptiedAtLaunchAndReportsThoseAfterClosing) {
    const auto isPrivate = [&] {
        return fs::status(path).permissions() == (fs::perms::owner_read | fs::perms::owner_write);
    };
    test::writeFile(path, "a previous run\n");
    ::chmod(path.c_str(), 0644);
    test::CapturedOutput err(2);
    MessageLog::InitLog();
    EXPECT_TRUE(isPrivate());
    MessageLog::LogMessage("applicationWillFinishLaunching", false);
    MessageLog::LogMessage(std::string("100% done"));
    std::string big(100 * 1024, 'p');  // a long message is written whole
    big.back() = 'Z';
    MessageLog::LogMessage(big);
    MessageLog::LogMessage("halted", true);
    myNSLog("count %d", 5);
    myNSLog("ready %s\n", "now");
    // Flushed per line: readable while the log is open.
    EXPECT_EQ(
        messages(readFile(path)),
        (std::vector<std::string>{"applicationWillFinishLaunching", "100% done", big, "halted",
                                  "count 5", "<no stamp> ", "ready now", "<no stamp> "}));
    MessageLog::CloseLog();
    const std::string before = readFile(path);
    MessageLog::LogMessage("late line", true);
    EXPECT_EQ(readFile(path), before);
    // Without the "date time program[pid:tid] " prefix of each line.
    EXPECT_EQ(std::regex_replace(err.text(), std::regex(R"((^|\n)[^\n]*\] )"), "$1"),
              "NSLog = halted\ncount 5\nready now\nLogfile may be closed already?????\n"
              "NSLog = late line\n");
    fs::remove(path);
    MessageLog::InitLog();
    EXPECT_TRUE(isPrivate()) << "a new file is private from the start";
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

    const auto written = messages(readFile(path));
    for (const auto& m : written) EXPECT_EQ(m.size(), 8 + 500u) << m.substr(0, 60);
    // Every line either reached the file or was reported as lost (a report repeated at once
    // is counted in the line after it).
    flushLog();
    std::size_t lost = 0;
    const std::string text = err.text();
    const std::regex report(R"(Logfile may be closed already\?+(?: \(repeated (\d+) times?\))?)");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), report);
         it != std::sregex_iterator(); ++it)
        lost += (*it)[1].matched ? std::stoul((*it)[1]) : 1;
    EXPECT_EQ(written.size() + lost, size_t{kThreads * kLines});
}

// What each level lets through, with addresses and passwords masked below debug, and the
// daily cap that stops a runaway log.
TEST(LogLevels, FilterMaskAndCapTheLog) {
    addLogSecret("hunter22");
    struct Row {
        LogLevel level;
        std::vector<const char*> present, absent;
    };
    const Row rows[] = {
        {LogLevel::Debug,
         {"trace ann@example.org", "cannot open", "photo done", "userLoginPassword = \"********\"",
          "Ann Smith"},
         {"hunter22", "secret-value"}},
        // A value with a word such as "failed" in it does not lift a dump of personal data.
        {LogLevel::Info, {"cannot open <e-mail>", "photo done"}, {"trace", "@", "hunter22", "Ann"}},
        {LogLevel::Error, {"boom"}, {"cannot open", "photo done", "Ann Smith"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(logLevelName(row.level));
        test::CapturedOutput err(2);
        setLogLevel(row.level);
        platformLog("trace %s with hunter22", "ann@example.org");
        platformLog("cannot open %s", "bob.smith@mail.example.com");
        platformLog("userLoginPassword = \"%s\";", "secret-value");
        logAt(LogLevel::Info, "photo done");
        logAt(LogLevel::Error, "boom");
        platformLog("%s",
                    "{ customer = \"Ann Smith\"; note = \"Error on retake, flash failed\"; }");
        const std::string text = err.text();
        for (const char* part : row.present) EXPECT_NE(text.find(part), std::string::npos) << part;
        for (const char* part : row.absent) EXPECT_EQ(text.find(part), std::string::npos) << part;
    }
    // Past the cap, info lines go and it is said once; warnings and errors are all kept.
    test::CapturedOutput err(2);
    setLogLevel(LogLevel::Info);
    setStandardErrorDailyCap(400);
    for (int i = 0; i < 20; ++i) {
        logAt(LogLevel::Info, "info %d of the day", i);
        logAt(i % 2 ? LogLevel::Warn : LogLevel::Error, "problem %d of the day", i);
    }
    setStandardErrorDailyCap(0);
    setLogLevel(LogLevel::Debug);
    const std::string text = err.text();
    EXPECT_NE(text.find("info 0 of the day"), std::string::npos);
    EXPECT_EQ(text.find("info 19 of the day"), std::string::npos);
    for (int i = 0; i < 20; ++i)
        EXPECT_NE(text.find("problem " + std::to_string(i) + " of"), std::string::npos) << i;
    EXPECT_EQ(occurrences(text, "daily cap"), 1u) << text;
}

// A warning that every pass would repeat about the same file is logged once per file (the
// repeats stay traces); the same line again at once is counted, the count following the next.
TEST(LogLevels, ARepeatedWarningIsLoggedOnce) {
    for (LogLevel level : {LogLevel::Info, LogLevel::Debug}) {
        SCOPED_TRACE(logLevelName(level));
        test::CapturedOutput err(2);
        setLogLevel(level);
        for (int pass = 0; pass < 3; ++pass)
            for (const std::string name : {"a.jpg", "b.jpg"})
                warnOncePerKey(logLevelName(level) + name,
                               "Root Item [" + name + "] May NOT be Uploaded!!!!!");
        setLogLevel(LogLevel::Debug);
        const size_t times = level == LogLevel::Info ? 1 : 3;
        EXPECT_EQ(occurrences(err.text(), "Root Item [a.jpg]"), times) << err.text();
        EXPECT_EQ(occurrences(err.text(), "Root Item [b.jpg]"), times) << err.text();
    }
    test::CapturedOutput err(2);
    setLogLevel(LogLevel::Info);
    for (int i = 0; i < 12; ++i) logAt(LogLevel::Warn, "Source folder is unreachable");
    logAt(LogLevel::Warn, "Source folder is back");
    logAt(LogLevel::Warn, "Source folder is back");
    flushLog();
    setLogLevel(LogLevel::Debug);
    EXPECT_EQ(occurrences(err.text(), "Source folder is unreachable\n"), 1u) << err.text();
    EXPECT_EQ(occurrences(err.text(), "Source folder is unreachable (repeated 11 times)\n"), 1u);
    EXPECT_EQ(occurrences(err.text(), "Source folder is back (repeated 1 time)\n"), 1u);
}

// Gathered before they are written, lines from several threads still come out whole and each
// thread's in order.
TEST(LogLevels, LinesFromSeveralThreadsStayWholeAndInOrder) {
    test::CapturedOutput err(2);
    constexpr int kThreads = 4, kLines = 500;
    const std::string tail(200, 'x');
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t, &tail] {
            for (int i = 0; i < kLines; ++i)
                logAt(LogLevel::Info, "thread %d line %d %s", t, i, tail.c_str());
        });
    for (auto& th : threads) th.join();
    std::istringstream lines(err.text());
    int next[kThreads] = {}, count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        const size_t at = line.find("] thread ");
        int t = -1, i = -1, n = 0;
        ASSERT_TRUE(at != std::string::npos &&
                    std::sscanf(line.c_str() + at, "] thread %d line %d %n", &t, &i, &n) == 2 &&
                    t >= 0 && t < kThreads)
            << line;
        EXPECT_EQ(i, next[t]++) << line;
        EXPECT_EQ(line.substr(at + static_cast<size_t>(n)), tail);
    }
    EXPECT_EQ(count, kThreads * kLines);
}

}  // namespace
}  // namespace vorn
