#pragma once
// The message log: a small text file of milestones, emptied at every launch, one time-stamped
// line per message ("[Sat Dec  5 18:29:43 2026] ==> text"). Beside it, myNSLog writes to both
// standard error and this file, and myPrintf / myPrintfDebug write to standard output.

#include <string>

namespace vorn {

namespace MessageLog {

// Opens the file (truncating it). Lines logged before this are reported as lost.
void InitLog();
// Where InitLog opens; default <log directory>/VornLog.txt beside the dated logs folder.
void setLogFilePath(const std::string& path);
std::string logFilePath();
// Writes one line; with echo also "NSLog = <text>" through the platform log.
void LogMessage(const char* message, bool echo);
void LogMessage(const std::string& message);
// Closes the file; later lines are reported through the platform log instead.
void CloseLog();

}  // namespace MessageLog

// With no view, writes "NSLog = <message>" through the platform log; the flag has no effect.
void logMessageToCocoaView(void* view, const std::string& message, bool flag);
// Formats, ensures a final line end, writes to standard error and to the message log.
void myNSLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Writes text unchanged to standard output when console is set; log has no effect.
void myPrintfInternal(const char* text, bool console, bool log);
void myPrintf(const char* text);
void myPrintfDebug(const char* text);

extern bool gDoShowDebug;

}  // namespace vorn
