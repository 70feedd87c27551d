#pragma once
// The platform log call (what NSLog was): one line to standard error with date, time with
// milliseconds, program name, process id and thread id in front. Standard error is re-opened
// onto the dated log file at start-up, so every line of the process lands there. Lines bound for
// a regular file are gathered and written a few at a time; see flushLog.

#include <cstdarg>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Clock.h"

namespace vorn {

// How much the log holds. Debug keeps every trace; info holds start and stop, one line per
// photo, warnings and errors; below debug, e-mail addresses are masked. The default is debug;
// the uploader sets its own.
enum class LogLevel { Error = 0, Warn = 1, Info = 2, Debug = 3 };
void setLogLevel(LogLevel level);
LogLevel logLevel();
std::optional<LogLevel> parseLogLevel(std::string_view text);
const char* logLevelName(LogLevel level);

// A line at the given level (platformLog lines are debug traces, or warnings when they report
// a failure).
void logAt(LogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Text that no log line ever shows (passwords); replaced by stars wherever it appears.
void addLogSecret(const std::string& secret);
// Secrets replaced and, below debug, e-mail addresses masked.
std::string redactedForLog(std::string text);

// Caps what standard error takes per day (the day turning at 03:00 local time, like the dated
// log's name): past the cap one line says so and later info and debug lines are dropped until
// the next day; warnings and errors are always written. 0: no cap.
void setStandardErrorDailyCap(std::uint64_t bytes);

// The clock the log's day follows (the system's when null), and what runs before the first
// line of each new day (the dated log turning to the day's file), outside the log's locks on
// the thread that logs that line; its own lines belong to the new day. Null: nothing.
void setLogDay(std::shared_ptr<Clock> clock, std::function<void()> onNewDay);

void platformLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
void platformLogText(std::string_view text);

// A warning that every pass would repeat about one thing (a stray file in the source folder,
// keyed by its path): a warning the first time for each key, a trace after that.
void warnOncePerKey(const std::string& key, std::string_view text);

// printf-style formatting into a string of any length.
std::string stringWithFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string stringWithFormatV(const char* format, va_list args);

// Writes bytes to standard error as given (no prefix): a debug trace, dropped below debug.
void writeToStandardError(std::string_view bytes);
// The same at a chosen level.
void writeToStandardErrorAt(LogLevel level, std::string_view bytes);

// Writes the lines still gathered for standard error (see PlatformLog.cpp): at the end of every
// upload and on quit. Call it also before and after putting another file on descriptor 2.
void flushLog();

// The program name used in the prefix; defaults to the executable's name.
void setPlatformLogProgramName(std::string name);

// Trace line "Inside <class> => <method>..." that most methods begin with.
#define VORN_TRACE(cls, method) ::vorn::platformLog("Inside %s => %s...", cls, method)

}  // namespace vorn
