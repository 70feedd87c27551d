// The real vorn-uploader binary: start-up, log files, and the orderly stop on a signal.

#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>

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

const char* kQuietPrefs = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>prefAutoStartUploadAtStartup</key>
	<false/>
	<key>userLoginName</key>
	<string>photog</string>
</dict>
</plist>
)";

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
    for (int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(sig);
        writeFile(prefs, kQuietPrefs);
        ChildProcess app(kUploader, arguments(), environment());
        ASSERT_TRUE(app.waitForLine("started")) << "no start line";
        app.signal(sig);
        EXPECT_EQ(app.wait(), 0);

        std::string messages = readFile(logDir / "VornLog.txt");
        EXPECT_NE(messages.find("] ==> applicationWillFinishLaunching\n"), std::string::npos);
        ASSERT_GE(messages.size(), 2u);
        std::string lastLine = messages.substr(messages.rfind('\n', messages.size() - 2) + 1);
        EXPECT_NE(lastLine.find("] ==> applicationWillTerminate - DONE!"), std::string::npos)
            << lastLine;

        auto logs = filesIn(logDir / "logs");
        ASSERT_EQ(logs.size(), 1u);
        std::string name = logs[0].filename().string();
        EXPECT_EQ(name.rfind("vorn-uploader_", 0), 0u) << name;
        EXPECT_EQ(logs[0].extension(), ".log");
        std::string log = readFile(logs[0]);
        EXPECT_NE(log.find(std::string(59, '=') + "\n"), std::string::npos);
        EXPECT_NE(log.find("vorn-uploader => "), std::string::npos);
        EXPECT_NE(log.find("applicationWillTerminate - DONE!"), std::string::npos);
    }
    // Both runs of the day wrote into the same dated file, each with its own header.
    auto logs = filesIn(logDir / "logs");
    ASSERT_EQ(logs.size(), 1u);
    std::string log = readFile(logs[0]);
    size_t headers = 0;
    for (size_t at = log.find("vorn-uploader => "); at != std::string::npos;
         at = log.find("vorn-uploader => ", at + 1))
        ++headers;
    EXPECT_EQ(headers, 2u);
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
        if (name != "prefs.plist" && name.rfind("prefs.plist", 0) == 0) {
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

TEST_F(ApplicationTest, HelpVersionAndBadArguments) {
    struct Row {
        std::vector<std::string> args;
        int status;
        const char* says;
    };
    for (const Row& row :
         {Row{{"--help"}, 0, "Usage: vorn-uploader"}, Row{{"--version"}, 0, "vorn-uploader "},
          Row{{"--bogus"}, 2, nullptr}, Row{{"--prefs"}, 2, nullptr}}) {
        ChildProcess app(kUploader, row.args, environment());
        std::string out;
        while (auto line = app.readLine()) out += *line + "\n";
        EXPECT_EQ(app.wait(), row.status) << row.args[0];
        if (row.says) {
            EXPECT_NE(out.find(row.says), std::string::npos) << out;
        }
    }
}

}  // namespace
}  // namespace vorn
