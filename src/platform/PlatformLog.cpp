#include "platform/PlatformLog.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace vorn {
namespace {

std::mutex& nameMutex() {
    static std::mutex m;
    return m;
}

std::string& programName() {
    static std::string name =
        program_invocation_short_name ? program_invocation_short_name : "vorn";
    return name;
}

std::string prefix() {
    using namespace std::chrono;
    auto now = system_clock::now();
    std::time_t t = system_clock::to_time_t(now);
    int ms = static_cast<int>(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
    std::tm tm{};
    localtime_r(&t, &tm);
    char date[32];
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &tm);
    std::string name;
    {
        std::lock_guard lock(nameMutex());
        name = programName();
    }
    return stringWithFormat("%s.%03d %s[%d:%ld] ", date, ms, name.c_str(),
                            static_cast<int>(getpid()), static_cast<long>(syscall(SYS_gettid)));
}

}  // namespace

std::string stringWithFormatV(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (n <= 0) return {};
    std::string out(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(out.data(), out.size(), format, args);
    out.resize(static_cast<size_t>(n));
    return out;
}

std::string stringWithFormat(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string s = stringWithFormatV(format, args);
    va_end(args);
    return s;
}

void writeToStandardError(std::string_view bytes) {
    std::fflush(stderr);
    int fd = fileno(stderr);
    const char* p = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
}

void platformLogText(std::string_view text) {
    std::string line = prefix();
    line.append(text);
    if (line.empty() || line.back() != '\n') line += '\n';
    writeToStandardError(line);
}

void platformLog(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string s = stringWithFormatV(format, args);
    va_end(args);
    platformLogText(s);
}

void setPlatformLogProgramName(std::string name) {
    std::lock_guard lock(nameMutex());
    programName() = std::move(name);
}

}  // namespace vorn
