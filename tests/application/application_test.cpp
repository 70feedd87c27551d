// The real vorn-uploader binary: start-up, log files, and the orderly stop on a signal.

#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>

#include "platform/PropertyList.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;
using test::ChildProcess;
using test::readFile;
using test::TempDir;
using test::writeFile;

const std::string kUploader = std::string(VORN_BIN_DIR) + "/vorn-uploader";

const std::string kQuietPrefs = toXmlPropertyList(
    Value(Dictionary{{"prefAutoStartUploadAtStartup", false}, {"userLoginName", "photog"}}));

class ApplicationTest : public ::testing::Test {
  protected:
    // Keeps every file the program writes inside the test's folder.
    std::vector<std::string> environment() const {
        return {"HOME=" + (tmp / "home").string(), "XDG_CONFIG_HOME=" + (tmp / "config").string(),
                "XDG_STATE_HOME=" + (tmp / "state").string(),
                "XDG_DATA_HOME=" + (tmp / "data").string()};
    }
    std::vector<std::string> arguments() const {
        return {"--headless", "--prefs", prefs.string(), "--log-dir", logDir.string()};
    }

    TempDir tmp;
    fs::path prefs = tmp / "prefs.plist";
    fs::path logDir = tmp / "logs-here";
};

std::vector<fs::path> filesIn(const fs::path& dir) {
    std::vector<fs::path> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) out.push_back(e.path());
    return out;
}

TEST_F(ApplicationTest, StartsWritesItsLogsAndStopsInOrderOnTerminationSignals) {
    // The last row runs with its windows (offscreen): no window may hold the stop up.
    for (auto [sig, windowed] : {std::pair{SIGTERM, false}, {SIGINT, false}, {SIGTERM, true}}) {
        SCOPED_TRACE(testing::Message() << sig << (windowed ? " windowed" : ""));
        writeFile(prefs, kQuietPrefs);
        std::vector<std::string> args = arguments(), env = environment();
        if (windowed) {
            args.erase(args.begin());
            env.push_back("QT_QPA_PLATFORM=offscreen");
        }
        ChildProcess app(kUploader, args, env);
        ASSERT_TRUE(app.waitForLine("started")) << "no start line";
        app.signal(sig);
        EXPECT_EQ(app.wait(), 0);

        std::string messages = readFile(logDir / "VornLog.txt");
        EXPECT_NE(messages.find("] ==> applicationWillFinishLaunching\n"), std::string::npos);
        ASSERT_GE(messages.size(), 2u);
        std::string lastLine = messages.substr(messages.rfind('\n', messages.size() - 2) + 1);
        EXPECT_NE(lastLine.find("] ==> applicationWillTerminate - DONE!"), std::string::npos)
            << lastLine;

        EXPECT_NE(readFile(filesIn(logDir / "logs").at(0)).find("applicationWillTerminate - DONE!"),
                  std::string::npos);
    }
    // The runs of the day wrote into the same dated file, each with its own header.
    auto logs = filesIn(logDir / "logs");
    ASSERT_EQ(logs.size(), 1u);
    std::string log = readFile(logs[0]);
    size_t headers = 0;
    for (size_t at = log.find("vorn-uploader => "); at != std::string::npos;
         at = log.find("vorn-uploader => ", at + 1))
        ++headers;
    EXPECT_EQ(headers, 3u);
}

TEST_F(ApplicationTest, AStoreThatDoesNotParseIsKeptAsideAndTheProgramRunsOnDefaults) {
    const std::string garbage = "<plist><dict><key>userLoginPassword</key><string>se";
    writeFile(prefs, garbage);
    ChildProcess app(kUploader, arguments(), environment());
    ASSERT_TRUE(app.waitForLine("started"));
    app.signal(SIGTERM);
    EXPECT_EQ(app.wait(), 0);
    // Also on the status line, in red, so the user knows the settings are the factory's.
    bool shown = false;
    for (const std::string& line : app.output())
        shown |= line.rfind("error: ", 0) == 0 &&
                 line.find("The preferences file " + prefs.string() + " could not be read") !=
                     std::string::npos &&
                 line.find("factory settings are in use") != std::string::npos;
    EXPECT_TRUE(shown);

    int kept = 0;
    for (const auto& f : filesIn(tmp.path())) {
        std::string name = f.filename().string();
        if (name != "prefs.plist" && name != "prefs.plist.lock" &&
            name.rfind("prefs.plist", 0) == 0) {
            ++kept;
            EXPECT_EQ(readFile(f), garbage);
        }
    }
    EXPECT_EQ(kept, 1);
    auto logs = filesIn(logDir / "logs");
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_NE(readFile(logs[0]).find(prefs.string()), std::string::npos)
        << "the log names the unreadable store";
}

TEST_F(ApplicationTest, ASecondUploaderOnTheSameStoreRefusesToStartAndNamesTheFirst) {
    writeFile(prefs, kQuietPrefs);
    ChildProcess first(kUploader, arguments(), environment());
    ASSERT_TRUE(first.waitForLine("started"));
    EXPECT_EQ(readFile(fs::path(prefs.string() + ".lock")), std::to_string(first.pid()) + "\n");

    // Its standard error joins the output read here.
    std::vector<std::string> shellArgs = {"-c", "exec \"$0\" \"$@\" 2>&1", kUploader};
    for (const std::string& a : arguments()) shellArgs.push_back(a);
    ChildProcess second("/bin/sh", shellArgs, environment());
    EXPECT_TRUE(second.waitForLine("(process " + std::to_string(first.pid()) + ")"));
    std::optional<int> status = second.wait();
    ASSERT_TRUE(status);
    EXPECT_NE(*status, 0);
    for (const std::string& line : second.output())
        EXPECT_EQ(line.find("started"), std::string::npos) << line;

    // Once the first has gone, however it went, the next one starts.
    first.signal(SIGKILL);
    first.wait();
    ChildProcess third(kUploader, arguments(), environment());
    EXPECT_TRUE(third.waitForLine("started"));
    third.signal(SIGTERM);
    EXPECT_EQ(third.wait(), 0);
}

}  // namespace
}  // namespace vorn
