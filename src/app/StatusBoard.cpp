#include "app/StatusBoard.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "platform/PlatformLog.h"

namespace vorn {
namespace {

std::string isoTime(SystemTime t) {
    return formatLocalTime(t, "%Y-%m-%dT%H:%M:%S%z");
}

std::string number(double value) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.1f", value);
    return buf;
}

std::string bytesText(double bytes) {
    char buf[64];
    if (bytes >= 1024.0 * 1024.0)
        std::snprintf(buf, sizeof buf, "%.1f MiB", bytes / (1024.0 * 1024.0));
    else if (bytes >= 1024.0)
        std::snprintf(buf, sizeof buf, "%.1f KiB", bytes / 1024.0);
    else
        std::snprintf(buf, sizeof buf, "%.0f B", bytes);
    return buf;
}

// A photo on a fast network takes a few milliseconds: shown as such, not as "0.00 s".
std::string durationText(double seconds) {
    char buf[32];
    const double ms = seconds * 1000.0;
    if (ms < 9.95)
        std::snprintf(buf, sizeof buf, "%.1f ms", ms);
    else if (ms < 999.5)
        std::snprintf(buf, sizeof buf, "%.0f ms", ms);
    else
        std::snprintf(buf, sizeof buf, "%.2f s", seconds);
    return buf;
}

}  // namespace

std::string jsonQuoted(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

std::string outcomeLine(const UploadOutcome& outcome) {
    char buf[96];
    switch (outcome.kind) {
        case UploadOutcome::Kind::Uploaded: {
            const std::string size = bytesText(static_cast<double>(outcome.bytes));
            return "uploaded " + outcome.name + " (" + size + " in " +
                   durationText(outcome.seconds) + ")";
        }
        case UploadOutcome::Kind::SetAside:
            return "set aside " + outcome.name + " (" + outcome.reason + ")";
        case UploadOutcome::Kind::WillRetry: {
            auto ms = outcome.retryIn.count();
            if (ms % 1000 == 0)
                std::snprintf(buf, sizeof buf, "%lld s", static_cast<long long>(ms / 1000));
            else
                std::snprintf(buf, sizeof buf, "%.1f s", static_cast<double>(ms) / 1000.0);
            return "will retry " + outcome.name + " in " + buf + " (" + outcome.reason + ")";
        }
        case UploadOutcome::Kind::Skipped:
            return "skipped " + outcome.name + " " +
                   (outcome.reason.empty() ? std::string("no upload metadata") : outcome.reason);
    }
    return outcome.name;
}

StatusBoard::StatusBoard(UserInterface& inner, std::shared_ptr<Clock> clock)
    : inner_(inner), clock_(clock ? std::move(clock) : Clock::system()) {
    day_ = formatLocalTime(clock_->now(), "%Y-%m-%d");
}

void StatusBoard::rollDayLocked(SystemTime now) {
    std::string day = formatLocalTime(now, "%Y-%m-%d");
    if (day == day_) return;
    day_ = day;
    facts_.uploadedToday = 0;
    facts_.setAsideToday = 0;
}

StatusSnapshot StatusBoard::snapshot() const {
    std::lock_guard lock(mutex_);
    StatusSnapshot copy = facts_;
    if (formatLocalTime(clock_->now(), "%Y-%m-%d") != day_) {
        copy.uploadedToday = 0;
        copy.setAsideToday = 0;
    }
    return copy;
}

std::string StatusBoard::json(const std::vector<std::pair<std::string, std::string>>& extra) const {
    const StatusSnapshot s = snapshot();
    std::ostringstream out;
    out << "{\"state\":" << jsonQuoted(cycleStateName(s.state))
        << ",\"stateReason\":" << jsonQuoted(s.stateReason) << ",\"transfer\":";
    if (s.transfer) {
        out << "{\"name\":" << jsonQuoted(s.transfer->name)
            << ",\"bytesSent\":" << s.transfer->bytesSent
            << ",\"bytesTotal\":" << s.transfer->bytesTotal
            << ",\"bytesPerSecond\":" << number(s.transfer->bytesPerSecond) << ",\"secondsLeft\":"
            << (s.transfer->secondsLeft ? number(*s.transfer->secondsLeft) : "null") << "}";
    } else {
        out << "null";
    }
    out << ",\"photosWaiting\":" << s.photosWaiting << ",\"uploadedToday\":" << s.uploadedToday
        << ",\"setAsideToday\":" << s.setAsideToday
        << ",\"lastUpload\":" << (s.lastUpload ? jsonQuoted(isoTime(*s.lastUpload)) : "null")
        << ",\"lastUploadName\":" << jsonQuoted(s.lastUploadName)
        << ",\"lastError\":" << jsonQuoted(s.lastError) << ",\"lastErrorTime\":"
        << (s.lastErrorTime ? jsonQuoted(isoTime(*s.lastErrorTime)) : "null");
    for (const auto& [key, value] : extra)
        out << "," << jsonQuoted(key) << ":" << jsonQuoted(value);
    out << "}";
    return out.str();
}

std::string StatusBoard::text(const std::vector<std::pair<std::string, std::string>>& extra) const {
    const StatusSnapshot s = snapshot();
    std::ostringstream out;
    out << "state:            " << cycleStateName(s.state);
    if (!s.stateReason.empty()) out << " (" << s.stateReason << ")";
    out << "\n";
    if (s.transfer) {
        out << "sending:          " << s.transfer->name << ", " << bytesText(s.transfer->bytesSent);
        if (s.transfer->bytesTotal) out << " of " << bytesText(s.transfer->bytesTotal);
        out << " at " << bytesText(s.transfer->bytesPerSecond) << "/s";
        if (s.transfer->secondsLeft) out << ", " << number(*s.transfer->secondsLeft) << " s left";
        out << "\n";
    }
    out << "photos waiting:   " << s.photosWaiting << "\n"
        << "uploaded today:   " << s.uploadedToday << "\n"
        << "set aside today:  " << s.setAsideToday << "\n"
        << "last upload:      "
        << (s.lastUpload ? isoTime(*s.lastUpload) + " " + s.lastUploadName : "none") << "\n"
        << "last error:       "
        << (s.lastErrorTime ? isoTime(*s.lastErrorTime) + " " + s.lastError : "none") << "\n";
    for (const auto& [key, value] : extra) {
        std::string label = key + ":";
        label.resize(std::max<std::size_t>(label.size() + 1, 18), ' ');
        out << label << value << "\n";
    }
    return out.str();
}

void StatusBoard::ibUpdateFTPCallbackStatusTextField(const std::string& text, bool isError) {
    if (isError && !text.empty()) {
        bool again = false;
        {
            std::lock_guard lock(mutex_);
            again = facts_.lastError == text;
            facts_.lastError = text;
            facts_.lastErrorTime = clock_->now();
        }
        // Whatever is shown in red is in the dated log too, once while it stays the same.
        if (!again) logAt(LogLevel::Error, "%s", text.c_str());
    }
    inner_.ibUpdateFTPCallbackStatusTextField(text, isError);
}

void StatusBoard::ibUpdateUploadStatusTextField(const std::string& text) {
    inner_.ibUpdateUploadStatusTextField(text);
}
void StatusBoard::ibUpdateFileNameField(const std::string& text) {
    inner_.ibUpdateFileNameField(text);
}
void StatusBoard::ibUpdateProgressBar(bool animate) {
    inner_.ibUpdateProgressBar(animate);
}
void StatusBoard::showPreviewImage(const std::string& path) {
    inner_.showPreviewImage(path);
}
void StatusBoard::setPauseResumeButton(const std::string& title, bool enabled) {
    inner_.setPauseResumeButton(title, enabled);
}
void StatusBoard::ibUpdateLoginName(const std::string& text) {
    inner_.ibUpdateLoginName(text);
}
void StatusBoard::ibUpdateUploadMainPath(const std::string& text) {
    inner_.ibUpdateUploadMainPath(text);
}
void StatusBoard::ibUpdateSourceFolderPath(const std::string& text) {
    inner_.ibUpdateSourceFolderPath(text);
}
void StatusBoard::beep() {
    inner_.beep();
}
bool StatusBoard::hasImageView() const {
    return inner_.hasImageView();
}
std::unique_ptr<MaintenanceWindow> StatusBoard::newMaintenanceWindow() {
    return inner_.newMaintenanceWindow();
}
void StatusBoard::doHandleOpenPrefPanel(DictionaryPtr sender) {
    inner_.doHandleOpenPrefPanel(std::move(sender));
}

bool StatusBoard::mainWindowShown() const {
    return inner_.mainWindowShown();
}
void StatusBoard::bringMainWindowForward() {
    inner_.bringMainWindowForward();
}
void StatusBoard::preferencesSaved() {
    inner_.preferencesSaved();
}

void StatusBoard::showCycleState(CycleState state, const std::string& reason) {
    {
        std::lock_guard lock(mutex_);
        facts_.state = state;
        facts_.stateReason = reason;
        if (state == CycleState::Error || state == CycleState::WaitingForSettings) {
            if (!reason.empty()) {
                facts_.lastError = reason;
                facts_.lastErrorTime = clock_->now();
            }
        }
    }
    inner_.showCycleState(state, reason);
}

void StatusBoard::showTransferProgress(const TransferProgress& progress) {
    {
        std::lock_guard lock(mutex_);
        facts_.transfer = progress;
    }
    inner_.showTransferProgress(progress);
}

void StatusBoard::showTransferEnded() {
    {
        std::lock_guard lock(mutex_);
        facts_.transfer.reset();
    }
    inner_.showTransferEnded();
}

void StatusBoard::showWaitingCount(std::size_t photosWaiting) {
    {
        std::lock_guard lock(mutex_);
        facts_.photosWaiting = photosWaiting;
    }
    inner_.showWaitingCount(photosWaiting);
}

void StatusBoard::showUploadOutcome(const UploadOutcome& outcome) {
    {
        std::lock_guard lock(mutex_);
        const SystemTime now = clock_->now();
        rollDayLocked(now);
        switch (outcome.kind) {
            case UploadOutcome::Kind::Uploaded:
                ++facts_.uploadedToday;
                facts_.lastUpload = now;
                facts_.lastUploadName = outcome.name;
                break;
            case UploadOutcome::Kind::SetAside:
                ++facts_.setAsideToday;
                break;
            case UploadOutcome::Kind::WillRetry:
                facts_.lastError = outcome.name + ": " + outcome.reason;
                facts_.lastErrorTime = now;
                break;
            case UploadOutcome::Kind::Skipped:
                break;
        }
    }
    logAt(LogLevel::Info, "%s", outcomeLine(outcome).c_str());  // the photo's line in the log
    inner_.showUploadOutcome(outcome);
}

}  // namespace vorn
