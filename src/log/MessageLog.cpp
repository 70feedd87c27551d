#include "log/MessageLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <mutex>

#include "BuildInfo.h"
#include "log/KDLogFileManager.h"
#include "platform/FileDescriptor.h"
#include "platform/PlatformLog.h"

namespace vorn {

bool gDoShowDebug = true;

namespace MessageLog {
namespace {

// One lock for the stream and its state: the log may be closed by the quitting main thread
// while a worker thread is still writing, so "is it open" is decided under the same lock.
struct State {
    std::mutex lock;
    int fd = -1;
    bool open = false;
    std::string path;
};

State& state() {
    static State s;
    return s;
}

// asctime's rendering without its line end. Built by hand: asctime itself is not reentrant,
// and strftime's day and month names follow the locale while asctime's are always English.
std::string asctimeText(std::time_t now) {
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm tm{};
    localtime_r(&now, &tm);
    return stringWithFormat("%.3s %.3s%3d %.2d:%.2d:%.2d %d", kDays[tm.tm_wday % 7],
                            kMonths[tm.tm_mon % 12], tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                            1900 + tm.tm_year);
}

std::string defaultPath() {
    return KDLogFileManager::logDirectory() + "/" + build::kDisplayName + "Log.txt";
}

}  // namespace

void setLogFilePath(const std::string& path) {
    std::lock_guard lock(state().lock);
    state().path = path;
}

std::string logFilePath() {
    {
        std::lock_guard lock(state().lock);
        if (!state().path.empty()) return state().path;
    }
    return defaultPath();
}

void InitLog() {
    const std::string path = logFilePath();
    std::error_code ec;
    std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (!parent.empty()) std::filesystem::create_directories(parent, ec);
    bool opened;
    {
        std::lock_guard lock(state().lock);
        State& s = state();
        if (s.fd >= 0) ::close(s.fd);
        // Private like the rest of the state folder, a file of an older run included.
        s.fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (s.fd >= 0) ::fchmod(s.fd, 0600);
        s.open = true;  // even when the file failed to open: its writes are lost, not reported
        opened = s.fd >= 0;
    }
    if (!opened) platformLog("MessageLog => cannot open [%s]", path.c_str());
}

void LogMessage(const char* message, bool echo) {
    const char* text = message ? message : "";
    bool written = false;
    {
        std::lock_guard lock(state().lock);
        State& s = state();
        if (s.open) {
            std::string line = "[";  // appended: "[" + ... trips GCC 12's -Wrestrict at -O2
            line += asctimeText(std::time(nullptr)) + "] ==> " + redactedForLog(text) + "\n";
            if (s.fd >= 0) (void)writeAll(s.fd, line);  // a failed write is lost, as before
            written = true;
        }
    }
    if (!written) platformLog("Logfile may be closed already?????");
    if (echo) logMessageToCocoaView(nullptr, text, false);
}

void LogMessage(const std::string& message) {
    LogMessage(message.c_str(), false);
}

void CloseLog() {
    std::lock_guard lock(state().lock);
    State& s = state();
    if (s.fd >= 0) ::close(s.fd);
    s.fd = -1;
    s.open = false;
}

}  // namespace MessageLog

void logMessageToCocoaView(void* view, const std::string& message, bool /*flag*/) {
    // The message log's own wording: a trace; start and stop have lines of their own.
    if (!view) logAt(LogLevel::Debug, "NSLog = %s", message.c_str());
}

void myNSLog(const char* format, ...) {
    if (!format) return;
    va_list args;
    va_start(args, format);
    std::string message = stringWithFormatV(format, args);
    va_end(args);
    const size_t len = std::char_traits<char>::length(format);
    if (len == 0 || format[len - 1] != '\n') message += '\n';
    // Traces of the checks' own wording ("Checking for folder: ..."): what needs a person is
    // shown in red and logged as an error where it is decided.
    if (logLevel() < LogLevel::Debug) return;
    platformLogText(message);
    MessageLog::LogMessage(message);
}

// Debug traces: standard output is the operator's (or the journal's), so they go to the log.
void myPrintfInternal(const char* text, bool console, bool /*log*/) {
    if (!console || !text || logLevel() < LogLevel::Debug) return;
    writeToStandardError(redactedForLog(text));
}

void myPrintf(const char* text) {
    myPrintfInternal(text, true, true);
}

void myPrintfDebug(const char* text) {
    myPrintfInternal(text, gDoShowDebug, true);
}

}  // namespace vorn
