#pragma once
// The dated log files: at start-up standard error is re-opened onto
// <log directory>/logs/<app>_<yyyy_MM_dd>.log (the day changing at 03:00 local time), so every
// log line of the process lands there. A run that goes on past 03:00 turns to the new day's
// file with its first line of that day, and cleans old files then as it did at launch.

#include <memory>
#include <optional>
#include <string>

#include "platform/Clock.h"
#include "platform/Value.h"

namespace vorn {

class KDLogFileManager {
  public:
    KDLogFileManager() = delete;

    // logDir empty: $XDG_STATE_HOME/vorn (XDG_STATE_HOME defaults to ~/.local/state).
    // clock null: the system clock. Call before anything else of this class.
    static void configure(const std::string& logDir, std::shared_ptr<Clock> clock);
    // The folder holding logs/ and the message log.
    static std::string logDirectory();
    // The folder of the dated log files, and the default folder of the clean-up.
    static std::string logFolder();
    // The dated log file for a launch at time t.
    static std::string logFilePathFor(SystemTime t);
    // The file standard error was re-opened onto, or nothing.
    static std::optional<std::string> currentLogFilePath();

    // Creates the folder, re-opens standard error onto today's file (appending) and writes
    // the header. When the folder or the file cannot be had, standard error stays as it was.
    // From then on each new day does the same (startNewDay), on the clock of configure.
    static bool setupLogFile();
    // Turns to the file of the day begun and repeats the last clean-up (deleteOldLogs).
    static void startNewDay();

    static std::string getApplicationName();
    static std::string getCopyrightInfo();
    // "model (architecture)".
    static std::optional<std::string> hostModelAndArch();

    // Cleans one folder. Options: "sourcePath" (string, may begin with ~; default logFolder()),
    // "baseName" (default the application name; compared ignoring case, anchored at the
    // start), "beforeDate" (date; default now minus 3 days), "deleteSubDirectory" (walk every
    // depth; default false), "deleteImmediately" (delete rather than trash; default false).
    // Folders themselves are never removed.
    static void deleteOldLogsWithOptions(const Dictionary& options);
    static void deleteItem(const std::string& path, SystemTime beforeDate,
                           const std::string& basename, bool deleteImmediately);
    // Old dated logs (any depth) to the trash; old ~/Documents/myConsole* files deleted. The
    // file being written stays, however old. Repeated with the same days as each day begins.
    static void deleteOldLogs(int daysToSave);

  private:
    static void writeHeader();
};

}  // namespace vorn
