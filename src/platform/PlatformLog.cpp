#include "platform/PlatformLog.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <sys/stat.h>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_set>
#include <vector>

#include "platform/FileDescriptor.h"

namespace vorn {
namespace {

std::atomic<int> gLevel{static_cast<int>(LogLevel::Debug)};

struct Guard {
    std::mutex mutex;
    std::vector<std::string> secrets;
    std::uint64_t cap = 0;
    std::uint64_t written = 0;
    bool capNoted = false;
    // The log's day, [dayStart, dayEnd) by this clock; looked at only while a cap or a
    // new-day handler wants it.
    std::shared_ptr<Clock> clock = Clock::system();
    SystemTime dayStart{}, dayEnd{};
    std::function<void()> onNewDay;
    std::unordered_set<std::string> warnedKeys;
};

Guard& guard() {
    static Guard g;
    return g;
}

constexpr std::size_t kMaxWarnedKeys = 4096;

// The log day that holds t: it begins at 03:00 local time, like the dated log's name.
std::pair<SystemTime, SystemTime> logDayAround(SystemTime t) {
    using std::chrono::system_clock;
    const std::time_t shifted = system_clock::to_time_t(t - std::chrono::hours(3));
    std::tm start{};
    localtime_r(&shifted, &start);
    start.tm_hour = 3;
    start.tm_min = 0;
    start.tm_sec = 0;
    start.tm_isdst = -1;
    std::tm end = start;
    end.tm_mday += 1;
    return {system_clock::from_time_t(std::mktime(&start)),
            system_clock::from_time_t(std::mktime(&end))};
}

// Whether t lies in another log day than the last line's; g.mutex held.
bool dayTurnedLocked(Guard& g, SystemTime t) {
    if (t >= g.dayStart && t < g.dayEnd) return false;
    const auto [start, end] = logDayAround(t);
    const bool turned = start != g.dayStart;
    g.dayStart = start;
    g.dayEnd = end;
    return turned;
}

// The value after a password key in a dump ("userLoginPassword = x;", "<key>...</key>
// <string>x</string>", "password=x"), whatever the password is.
std::string maskPasswordValues(std::string text) {
    for (const char* key : {"userLoginPassword", "edPasswd"}) {
        for (std::size_t at = text.find(key); at != std::string::npos;
             at = text.find(key, at + 1)) {
            std::size_t v = at + std::strlen(key);
            std::size_t tag = text.find("<string>", v);
            if (text.compare(v, 6, "</key>") == 0 && tag != std::string::npos && tag < v + 40) {
                v = tag + 8;
                std::size_t end = text.find('<', v);
                if (end != std::string::npos) text.replace(v, end - v, "********");
                continue;
            }
            while (v < text.size() && (text[v] == ' ' || text[v] == '=' || text[v] == ':' ||
                                       text[v] == '"' || text[v] == '['))
                ++v;
            if (v == at + std::strlen(key)) continue;
            std::size_t end = text.find_first_of("\";]\n", v);
            if (end == std::string::npos) end = text.size();
            if (end > v) text.replace(v, end - v, "********");
        }
    }
    return text;
}

bool emailChar(unsigned char c) {
    return std::isalnum(c) || c == '.' || c == '_' || c == '-' || c == '+' || c == '%' || c >= 0x80;
}

std::string maskEmails(std::string text) {
    std::size_t at = 0;
    while ((at = text.find('@', at)) != std::string::npos) {
        std::size_t b = at, e = at + 1;
        while (b > 0 && emailChar(static_cast<unsigned char>(text[b - 1]))) --b;
        while (e < text.size() && emailChar(static_cast<unsigned char>(text[e]))) ++e;
        const bool domain = text.find('.', at + 1) < e;
        if (b < at && domain) {
            text.replace(b, e - b, "<e-mail>");
            at = b + 8;
        } else {
            ++at;
        }
    }
    return text;
}

// A trace that reports a failure is a warning; every other platformLog line is a trace. Judged
// by the format alone: a value (a name or a note in a photo's metadata) never lifts a line.
LogLevel classify(std::string_view text) {
    static const char* const kWords[] = {
        "UNABLE",      "Unable",  "fail",     "FAIL",      "error",     "Error",
        "ERROR",       "cannot",  "Cannot",   "could not", "could NOT", "NOT be",
        "NOT started", "refused", "refusing", "Warning",   "WARNING"};
    for (const char* w : kWords)
        if (text.find(w) != std::string_view::npos) return LogLevel::Warn;
    return LogLevel::Debug;
}

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

namespace {

// Standard error's lines when it is a regular file (the dated log): gathered here and written
// in one go at the end of an upload, on quit, for a warning, when 64 KiB have gathered, or a
// moment after the first waiting line. Anything else (a terminal, a pipe) gets each line at
// once. The lock is held while writing, so lines reach the file whole and in order.
struct Sink {
    std::mutex mutex;
    std::string pending;
    int mode = -1;  // -1 not yet looked at, 0 written at once, 1 gathered
    bool flusherRunning = false;
    std::condition_variable wake;
};

// Never destroyed: the flusher thread waits on it until the process ends.
Sink& sink() {
    static Sink* s = new Sink;
    return *s;
}

constexpr std::size_t kGatherLimit = 64 * 1024;
constexpr auto kGatherDelay = std::chrono::milliseconds(200);

void writeGathered(std::string_view bytes) {
    std::fflush(stderr);
    (void)writeAll(fileno(stderr), bytes);  // nowhere to report a log that cannot be written
}

void writePending(Sink& s) {
    if (s.pending.empty()) return;
    writeGathered(s.pending);
    s.pending.clear();
}

[[noreturn]] void flusherLoop() {
    Sink& s = sink();
    std::unique_lock lock(s.mutex);
    for (;;) {
        s.wake.wait(lock, [&] { return !s.pending.empty(); });
        lock.unlock();
        std::this_thread::sleep_for(kGatherDelay);
        lock.lock();
        writePending(s);
    }
}

void emit(std::string_view bytes, bool urgent) {
    Sink& s = sink();
    std::lock_guard lock(s.mutex);
    if (s.mode < 0) {
        struct stat st {};
        s.mode = ::fstat(fileno(stderr), &st) == 0 && S_ISREG(st.st_mode) ? 1 : 0;
        if (s.mode == 1 && !s.flusherRunning) {
            try {
                std::thread(flusherLoop).detach();
                s.flusherRunning = true;
                std::atexit([] { flushLog(); });  // a return from main; a crash loses the rest
            } catch (const std::system_error&) {
                s.mode = 0;  // nothing would write a quiet log's last lines
            }
        }
    }
    if (s.mode == 0) {
        writeGathered(bytes);
        return;
    }
    if (s.pending.empty()) s.wake.notify_one();
    s.pending.append(bytes);
    if (urgent || s.pending.size() >= kGatherLimit) writePending(s);
}

// Before the first line of a new log day: the cap starts again and the handler (the dated
// log's turn to a new file) runs, outside the locks; its own lines belong to the new day.
void turnTheDayIfDue() {
    Guard& g = guard();
    std::function<void()> onNewDay;
    {
        std::lock_guard lock(g.mutex);
        if (g.cap == 0 && !g.onNewDay) return;
        if (!dayTurnedLocked(g, g.clock->now())) return;
        g.written = 0;
        g.capNoted = false;
        onNewDay = g.onNewDay;
    }
    if (onNewDay) onNewDay();
}

void writeRaw(std::string_view bytes, LogLevel level) {
    turnTheDayIfDue();
    bool noteTheCap = false;
    {
        Guard& g = guard();
        std::lock_guard lock(g.mutex);
        // Past the cap only info and debug lines go: a runaway log must not hide an error.
        if (g.cap != 0 && g.written + bytes.size() > g.cap && level > LogLevel::Warn) {
            if (g.capNoted) return;
            g.capNoted = true;
            noteTheCap = true;
        } else {
            g.written += bytes.size();
        }
    }
    if (noteTheCap) {
        emit(prefix() +
                 "The log reached its daily cap; info and debug lines are dropped until "
                 "tomorrow, warnings and errors are still written\n",
             true);
        return;
    }
    emit(bytes, level <= LogLevel::Warn);
}

// The last line written and how often it came again since: a line repeated at once is counted,
// not written, and the count follows when another line comes (or on a flush).
struct Repeats {
    std::mutex mutex;
    std::string text;
    LogLevel level = LogLevel::Debug;
    int again = 0;
};
Repeats& repeats() {
    static Repeats r;
    return r;
}
// Under the repeats' lock: the count of the line before, as a line of its own.
std::string repeatedLineLocked(Repeats& r) {
    if (r.again == 0) return {};
    std::string line = prefix() + r.text + " (repeated " + std::to_string(r.again) +
                       (r.again == 1 ? " time)\n" : " times)\n");
    r.again = 0;
    return line;
}

void logLine(LogLevel level, std::string_view text) {
    if (level > logLevel()) return;
    std::string body = redactedForLog(std::string(text));
    while (!body.empty() && body.back() == '\n') body.pop_back();
    std::string counted;
    LogLevel countedLevel = level;
    {
        Repeats& r = repeats();
        std::lock_guard lock(r.mutex);
        if (!body.empty() && body == r.text) {
            ++r.again;
            return;
        }
        countedLevel = r.level;
        counted = repeatedLineLocked(r);
        r.text = body;
        r.level = level;
    }
    if (!counted.empty()) writeRaw(counted, countedLevel);
    writeRaw(prefix() + body + "\n", level);
}

void writeRepeatCount() {
    std::string counted;
    LogLevel level;
    {
        Repeats& r = repeats();
        std::lock_guard lock(r.mutex);
        level = r.level;
        counted = repeatedLineLocked(r);
    }
    if (!counted.empty()) writeRaw(counted, level);
}

}  // namespace

void flushLog() {
    writeRepeatCount();
    Sink& s = sink();
    std::lock_guard lock(s.mutex);
    writePending(s);
    s.mode = -1;
}

void writeToStandardError(std::string_view bytes) {
    writeToStandardErrorAt(LogLevel::Debug, bytes);
}

void writeToStandardErrorAt(LogLevel level, std::string_view bytes) {
    if (level > logLevel()) return;
    writeRaw(redactedForLog(std::string(bytes)), level);
}

void platformLogText(std::string_view text) {
    logLine(classify(text), text);
}

void platformLog(const char* format, ...) {
    const LogLevel level = classify(format);
    if (level > logLevel()) return;
    va_list args;
    va_start(args, format);
    std::string s = stringWithFormatV(format, args);
    va_end(args);
    logLine(level, s);
}

void warnOncePerKey(const std::string& key, std::string_view text) {
    bool first;
    {
        Guard& g = guard();
        std::lock_guard lock(g.mutex);
        if (g.warnedKeys.size() >= kMaxWarnedKeys) g.warnedKeys.clear();
        first = g.warnedKeys.insert(key).second;
    }
    logLine(first ? LogLevel::Warn : LogLevel::Debug, text);
}

void setLogLevel(LogLevel level) {
    gLevel.store(static_cast<int>(level));
}

LogLevel logLevel() {
    return static_cast<LogLevel>(gLevel.load());
}

std::optional<LogLevel> parseLogLevel(std::string_view text) {
    for (LogLevel l : {LogLevel::Error, LogLevel::Warn, LogLevel::Info, LogLevel::Debug})
        if (text == logLevelName(l)) return l;
    if (text == "warning") return LogLevel::Warn;
    return std::nullopt;
}

const char* logLevelName(LogLevel level) {
    switch (level) {
        case LogLevel::Error:
            return "error";
        case LogLevel::Warn:
            return "warn";
        case LogLevel::Info:
            return "info";
        case LogLevel::Debug:
            return "debug";
    }
    return "info";
}

void logAt(LogLevel level, const char* format, ...) {
    if (level > logLevel()) return;
    va_list args;
    va_start(args, format);
    std::string s = stringWithFormatV(format, args);
    va_end(args);
    logLine(level, s);
}

void addLogSecret(const std::string& secret) {
    if (secret.size() < 4) return;  // "abc" masked everywhere would garble every line
    Guard& g = guard();
    std::lock_guard lock(g.mutex);
    if (std::find(g.secrets.begin(), g.secrets.end(), secret) == g.secrets.end())
        g.secrets.push_back(secret);
}

std::string redactedForLog(std::string text) {
    {
        Guard& g = guard();
        std::lock_guard lock(g.mutex);
        for (const std::string& secret : g.secrets) {
            for (std::size_t at = 0; (at = text.find(secret, at)) != std::string::npos; at += 8)
                text.replace(at, secret.size(), "********");
        }
    }
    text = maskPasswordValues(std::move(text));
    if (logLevel() < LogLevel::Debug) text = maskEmails(std::move(text));
    return text;
}

void setStandardErrorDailyCap(std::uint64_t bytes) {
    Guard& g = guard();
    std::lock_guard lock(g.mutex);
    g.cap = bytes;
    dayTurnedLocked(g, g.clock->now());
    g.capNoted = false;
    // What today's file already holds counts against the cap.
    struct stat st {};
    g.written = (::fstat(fileno(stderr), &st) == 0 && S_ISREG(st.st_mode))
                    ? static_cast<std::uint64_t>(st.st_size)
                    : 0;
}

void setLogDay(std::shared_ptr<Clock> clock, std::function<void()> onNewDay) {
    Guard& g = guard();
    std::lock_guard lock(g.mutex);
    g.clock = clock ? std::move(clock) : Clock::system();
    g.onNewDay = std::move(onNewDay);
    dayTurnedLocked(g, g.clock->now());  // today is no new day
}

void setPlatformLogProgramName(std::string name) {
    std::lock_guard lock(nameMutex());
    programName() = std::move(name);
}

}  // namespace vorn
