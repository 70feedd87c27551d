#include "app/MetricsFile.h"

#include <unistd.h>

#include <cstdio>
#include <sstream>

#include "platform/AtomicFile.h"
#include "platform/PlatformLog.h"

namespace vorn {
namespace {

// Every state vorn_state reports, the current one at 1: a query can then select any of them,
// and a state that ended shows as 0 rather than vanishing.
constexpr CycleState kStates[] = {
    CycleState::Idle,   CycleState::Scanning, CycleState::Uploading,         CycleState::Pausing,
    CycleState::Paused, CycleState::Error,    CycleState::WaitingForSettings};
constexpr const char* kStarting = "starting";
constexpr const char* kStopped = "stopped";

// A label value: backslash, double quote and line feed escaped.
std::string labelValue(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

std::string seconds(const std::optional<SystemTime>& t) {
    if (!t) return "0";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f",
                  std::chrono::duration<double>(t->time_since_epoch()).count());
    return buf;
}

void metric(std::ostringstream& out, const char* name, const char* type, const char* help,
            const std::string& value) {
    out << "# HELP " << name << " " << help << "\n# TYPE " << name << " " << type << "\n"
        << name << " " << value << "\n";
}

}  // namespace

std::string prometheusText(const MetricsFacts& f) {
    const StatusSnapshot& s = f.status;
    std::ostringstream out;
    metric(out, "vorn_photos_uploaded_total", "counter",
           "Photos the service accepted since the uploader started.",
           std::to_string(s.uploadedSinceStart));
    metric(out, "vorn_photos_set_aside_total", "counter",
           "Photos set aside into the problem folder since the uploader started.",
           std::to_string(s.setAsideSinceStart));
    metric(out, "vorn_upload_bytes_total", "counter",
           "Bytes of the photos (and movies) the service accepted since the uploader started.",
           std::to_string(s.bytesSinceStart));
    metric(out, "vorn_upload_retries_total", "counter",
           "Failed uploads left in the source folder to be tried again, since the uploader "
           "started.",
           std::to_string(s.retriesSinceStart));
    metric(out, "vorn_upload_resends_total", "counter",
           "Uploads sent a second time after a kept connection failed, since the uploader started.",
           std::to_string(f.resends));
    metric(out, "vorn_photos_waiting", "gauge",
           "Photos waiting in the source folder, as the last pass counted them.",
           std::to_string(s.photosWaiting));
    metric(out, "vorn_photos_skipped", "gauge",
           "Photos passed over as they are: without upload metadata, or not in a client folder.",
           std::to_string(s.skipped.withoutMetadata + s.skipped.loose));

    const bool starting = !f.stopped && secondsUntilStart(s, f.now).has_value();
    out << "# HELP vorn_state The upload cycle's state: 1 for the current one.\n"
           "# TYPE vorn_state gauge\n";
    auto state = [&](const std::string& name, bool current) {
        out << "vorn_state{state=\"" << labelValue(name) << "\"} " << (current ? 1 : 0) << "\n";
    };
    state(kStarting, starting);
    for (CycleState c : kStates) state(cycleStateName(c), !f.stopped && !starting && c == s.state);
    state(kStopped, f.stopped);

    metric(out, "vorn_last_upload_timestamp_seconds", "gauge",
           "When the last photo was accepted (Unix time; 0: none since the start).",
           seconds(s.lastUpload));
    metric(out, "vorn_last_error_timestamp_seconds", "gauge",
           "When the last error was shown (Unix time; 0: none since the start).",
           seconds(s.lastErrorTime));
    out << "# HELP vorn_build_info The uploader's version.\n# TYPE vorn_build_info gauge\n"
        << "vorn_build_info{version=\"" << labelValue(f.version) << "\"} 1\n";
    return out.str();
}

MetricsFile::MetricsFile(const StatusBoard& board, Options options)
    : board_(board), options_(std::move(options)) {}

MetricsFile::~MetricsFile() {
    if (timer_) timer_->invalidate();
}

void MetricsFile::start(MainThread& mainThread) {
    write();
    timer_ = mainThread.scheduleTimer(options_.interval, true, [this] { write(); });
}

bool MetricsFile::write() {
    std::lock_guard lock(mutex_);
    return !stopped_ && writeLocked(false);
}

void MetricsFile::writeStopped() {
    std::lock_guard lock(mutex_);
    if (timer_) timer_->invalidate();
    stopped_ = true;  // an upload thread's late outcome must not take the last word back
    writeLocked(true);
}

bool MetricsFile::writeLocked(bool stopped) {
    const std::string path = options_.path ? options_.path() : std::string();
    if (path != lastPath_ && !lastPath_.empty()) {
        // Moved or turned off: a file left behind would go on reporting frozen numbers.
        ::unlink(lastPath_.c_str());
        lastPath_.clear();
    }
    if (path.empty()) return false;
    MetricsFacts facts;
    facts.status = board_.snapshot();
    facts.now = board_.clock().now();
    facts.resends = options_.resends ? options_.resends() : 0;
    facts.version = options_.version;
    facts.stopped = stopped;
    std::string error;
    // Readable by the exporter, which may run as a user of its own; it holds no secret.
    if (!writeFileAtomically(path, prometheusText(facts), 0644, &error, Sync::No)) {
        warnOncePerKey("metrics " + path, "The metrics file cannot be written: " + error);
        return false;
    }
    lastPath_ = path;
    return true;
}

}  // namespace vorn
