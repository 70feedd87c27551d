#pragma once
// The platform log call (what NSLog was): one line to standard error with date, time with
// milliseconds, program name, process id and thread id in front. Standard error is re-opened
// onto the dated log file at start-up, so every line of the process lands there.

#include <cstdarg>
#include <string>
#include <string_view>

namespace vorn {

void platformLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
void platformLogText(std::string_view text);

// printf-style formatting into a string of any length.
std::string stringWithFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string stringWithFormatV(const char* format, va_list args);

// Writes bytes to standard error exactly as given (no prefix).
void writeToStandardError(std::string_view bytes);

// The program name used in the prefix; defaults to the executable's name.
void setPlatformLogProgramName(std::string name);

// Trace line "Inside <class> => <method>..." that most methods begin with.
#define VORN_TRACE(cls, method) ::vorn::platformLog("Inside %s => %s...", cls, method)

}  // namespace vorn
