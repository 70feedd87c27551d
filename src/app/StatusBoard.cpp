#include "app/StatusBoard.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

#include "log/MessageLog.h"
#include "platform/AtomicFile.h"
#include "platform/PlatformLog.h"
#include "platform/PropertyList.h"
#include "platform/Utf8.h"

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

constexpr const char* kLooseReason = "photos go in a client folder";
constexpr std::size_t kSkippedNamesKept = 5;

// The day's counts as kept in the state folder.
constexpr const char* kDayKey = "day";
constexpr const char* kUploadedKey = "uploadedToday";
constexpr const char* kSetAsideKey = "setAsideToday";

std::string jsonList(const std::vector<std::string>& items) {
    std::string out = "[";
    for (const std::string& item : items) {
        if (out.size() > 1) out += ",";
        out += jsonQuoted(item);
    }
    return out + "]";
}

std::string joined(const std::vector<std::string>& items) {
    std::string out;
    for (const std::string& item : items) out += (out.empty() ? "" : ", ") + item;
    return out;
}

// Newest first, each name once, the last few only.
void remember(std::vector<std::string>& names, const std::string& name) {
    std::erase(names, name);
    names.insert(names.begin(), name);
    if (names.size() > kSkippedNamesKept) names.resize(kSkippedNamesKept);
}

}  // namespace

std::optional<std::int64_t> secondsUntilStart(const StatusSnapshot& s, SystemTime now) {
    if (!s.startsAt || s.state != CycleState::Idle || *s.startsAt <= now) return std::nullopt;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*s.startsAt - now);
    return (left.count() + 999) / 1000;  // "starting in 1 s" until the very last moment
}

std::string jsonQuoted(const std::string& text) {
    // A name from another system's disk may not be UTF-8, which JSON must be.
    const std::string valid = isValidUtf8(text) ? text : utf8Replacing(text);
    std::string out = "\"";
    for (unsigned char c : valid) {
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
                if (c < 0x20 || c == 0x7f) {  // nothing that moves a terminal's cursor
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
            return "skipped " + outcome.name + ": " +
                   (!outcome.reason.empty()                      ? outcome.reason
                    : outcome.skip == UploadOutcome::Skip::Loose ? kLooseReason
                                                                 : "no upload metadata");
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
    facts_.resentToday = 0;
}

StatusSnapshot StatusBoard::snapshot() const {
    std::lock_guard lock(mutex_);
    StatusSnapshot copy = facts_;
    if (formatLocalTime(clock_->now(), "%Y-%m-%d") != day_) {
        copy.uploadedToday = 0;
        copy.setAsideToday = 0;
        copy.resentToday = 0;
    }
    return copy;
}

std::string StatusBoard::json(const std::vector<std::pair<std::string, std::string>>& extra) const {
    const StatusSnapshot s = snapshot();
    const std::optional<std::int64_t> startsIn = secondsUntilStart(s, clock_->now());
    std::ostringstream out;
    auto transferJson = [&out](const TransferProgress& t) {
        out << "{\"name\":" << jsonQuoted(t.name) << ",\"bytesSent\":" << t.bytesSent
            << ",\"bytesTotal\":" << t.bytesTotal
            << ",\"bytesPerSecond\":" << number(t.bytesPerSecond)
            << ",\"secondsLeft\":" << (t.secondsLeft ? number(*t.secondsLeft) : "null")
            << ",\"secondsWaitingForReply\":"
            << (t.secondsWaitingForReply ? number(*t.secondsWaitingForReply) : "null") << "}";
    };
    out << "{\"state\":" << jsonQuoted(startsIn ? "starting" : cycleStateName(s.state))
        << ",\"stateReason\":" << jsonQuoted(s.stateReason);
    if (startsIn) out << ",\"startsIn\":" << *startsIn;
    out << ",\"transfer\":";
    // "transfer": the first photo on its way, as before parallel uploads; "transfers": all.
    if (s.transfers.empty())
        out << "null";
    else
        transferJson(s.transfers.front());
    out << ",\"transfers\":[";
    for (std::size_t i = 0; i < s.transfers.size(); ++i) {
        if (i) out << ",";
        transferJson(s.transfers[i]);
    }
    out << "],\"bytesPerSecond\":" << number(s.bytesPerSecond)
        << ",\"secondsLeft\":" << (s.secondsLeft ? number(*s.secondsLeft) : "null");
    out << ",\"photosWaiting\":" << s.photosWaiting << ",\"uploadedToday\":" << s.uploadedToday
        << ",\"setAsideToday\":" << s.setAsideToday << ",\"resentToday\":" << s.resentToday
        << ",\"lastUpload\":" << (s.lastUpload ? jsonQuoted(isoTime(*s.lastUpload)) : "null")
        << ",\"lastUploadName\":" << jsonQuoted(s.lastUploadName)
        << ",\"lastError\":" << jsonQuoted(s.lastError) << ",\"lastErrorTime\":"
        << (s.lastErrorTime ? jsonQuoted(isoTime(*s.lastErrorTime)) : "null")
        << ",\"photosSkipped\":" << s.skipped.withoutMetadata + s.skipped.loose
        << ",\"skippedWithoutMetadata\":" << s.skipped.withoutMetadata
        << ",\"skippedWithoutMetadataNames\":" << jsonList(s.skippedWithoutMetadata)
        << ",\"skippedLoose\":" << s.skipped.loose
        << ",\"skippedLooseNames\":" << jsonList(s.skippedLoose);
    for (const auto& [key, value] : extra)
        out << "," << jsonQuoted(key) << ":" << jsonQuoted(value);
    out << "}";
    return out.str();
}

namespace {

// "waiting for the service's reply (4 s)" once the last byte is out, else the bytes and rate.
std::string transferText(const TransferProgress& t) {
    std::string out = t.name + ", " + bytesText(static_cast<double>(t.bytesSent));
    if (t.bytesTotal) out += " of " + bytesText(static_cast<double>(t.bytesTotal));
    if (t.secondsWaitingForReply) {
        char buf[64];
        std::snprintf(buf, sizeof buf, ", waiting for the service's reply (%.0f s)",
                      std::floor(*t.secondsWaitingForReply));
        return out + buf;
    }
    out += " at " + bytesText(t.bytesPerSecond) + "/s";
    if (t.secondsLeft) out += ", " + number(*t.secondsLeft) + " s left";
    return out;
}

std::string skippedText(const StatusSnapshot& s) {
    if (s.skipped.withoutMetadata == 0 && s.skipped.loose == 0) return "none";
    std::string out;
    if (s.skipped.withoutMetadata) {
        out = std::to_string(s.skipped.withoutMetadata) + " without upload metadata";
        if (!s.skippedWithoutMetadata.empty())
            out += " (last: " + joined(s.skippedWithoutMetadata) + ")";
    }
    if (s.skipped.loose) {
        if (!out.empty()) out += "; ";
        out += std::to_string(s.skipped.loose) + " directly in the source folder";
        if (!s.skippedLoose.empty()) out += " (" + joined(s.skippedLoose) + ")";
        out += std::string(": ") + kLooseReason;
    }
    return out;
}

}  // namespace

std::string StatusBoard::text(const std::vector<std::pair<std::string, std::string>>& extra) const {
    const StatusSnapshot s = snapshot();
    std::ostringstream out;
    if (auto startsIn = secondsUntilStart(s, clock_->now())) {
        out << "state:            starting in " << *startsIn << " s\n";
    } else {
        out << "state:            " << cycleStateName(s.state);
        if (!s.stateReason.empty()) out << " (" << s.stateReason << ")";
        out << "\n";
    }
    for (const TransferProgress& t : s.transfers)
        out << "sending:          " << transferText(t) << "\n";
    if (s.transfers.size() > 1) {
        out << "all together:     " << bytesText(s.bytesPerSecond) << "/s";
        if (s.secondsLeft) out << ", " << number(*s.secondsLeft) << " s left";
        out << "\n";
    }
    out << "photos waiting:   " << s.photosWaiting << "\n"
        << "uploaded today:   " << s.uploadedToday << "\n"
        << "set aside today:  " << s.setAsideToday << "\n"
        << "sent again today: " << s.resentToday << "\n"
        << "skipped:          " << skippedText(s) << "\n"
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
        // Whatever begins first (the user's start, a pause, a settings problem) ends the wait.
        if (state != CycleState::Idle) facts_.startsAt.reset();
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
        auto it = std::find_if(facts_.transfers.begin(), facts_.transfers.end(),
                               [&](const TransferProgress& t) { return t.name == progress.name; });
        if (it == facts_.transfers.end())
            facts_.transfers.push_back(progress);
        else
            *it = progress;
        totalsLocked();
    }
    inner_.showTransferProgress(progress);
}

void StatusBoard::showTransferEnded(const std::string& name) {
    {
        std::lock_guard lock(mutex_);
        std::erase_if(facts_.transfers, [&](const TransferProgress& t) { return t.name == name; });
        totalsLocked();
    }
    inner_.showTransferEnded(name);
}

// The rate of all photos on their way together, and the time until the last is sent at it.
void StatusBoard::totalsLocked() {
    double rate = 0, left = 0;
    bool known = !facts_.transfers.empty();
    for (const TransferProgress& t : facts_.transfers) {
        rate += t.bytesPerSecond;
        if (t.bytesTotal >= t.bytesSent) left += static_cast<double>(t.bytesTotal - t.bytesSent);
        known = known && t.bytesTotal != 0;
    }
    facts_.bytesPerSecond = rate;
    facts_.secondsLeft.reset();
    if (known && rate > 0) facts_.secondsLeft = left / rate;
}

void StatusBoard::showWaitingCount(std::size_t photosWaiting) {
    {
        std::lock_guard lock(mutex_);
        facts_.photosWaiting = photosWaiting;
    }
    inner_.showWaitingCount(photosWaiting);
}

void StatusBoard::recordOutcomeLocked(const UploadOutcome& outcome, SystemTime now) {
    rollDayLocked(now);
    switch (outcome.kind) {
        case UploadOutcome::Kind::Uploaded:
            ++facts_.uploadedToday;
            ++facts_.uploadedSinceStart;
            facts_.bytesSinceStart += outcome.bytes;
            facts_.lastUpload = now;
            facts_.lastUploadName = outcome.name;
            // A photo once skipped that went after all (its metadata came late).
            std::erase(facts_.skippedWithoutMetadata, outcome.name);
            std::erase(facts_.skippedLoose, outcome.name);
            saveDayCountsLocked();
            break;
        case UploadOutcome::Kind::SetAside:
            ++facts_.setAsideToday;
            ++facts_.setAsideSinceStart;
            saveDayCountsLocked();
            break;
        case UploadOutcome::Kind::WillRetry:
            ++facts_.retriesSinceStart;
            facts_.lastError = outcome.name + ": " + outcome.reason;
            facts_.lastErrorTime = now;
            break;
        case UploadOutcome::Kind::Skipped:
            remember(outcome.skip == UploadOutcome::Skip::Loose ? facts_.skippedLoose
                                                                : facts_.skippedWithoutMetadata,
                     outcome.name);
            break;
    }
}

void StatusBoard::showUploadOutcome(const UploadOutcome& outcome) {
    {
        std::lock_guard lock(mutex_);
        recordOutcomeLocked(outcome, clock_->now());
    }
    const std::string line = outcomeLine(outcome);
    logAt(LogLevel::Info, "%s", line.c_str());  // the photo's line in the dated log
    MessageLog::LogMessage(line);               // and in the message log of the run
    inner_.showUploadOutcome(outcome);
    if (onOutcome_) onOutcome_();
}

void StatusBoard::showStartingIn(std::chrono::milliseconds delay) {
    {
        std::lock_guard lock(mutex_);
        facts_.startsAt = clock_->now() + delay;
    }
    inner_.showStartingIn(delay);
}

void StatusBoard::showSkippedCount(const SkippedCount& skipped) {
    {
        std::lock_guard lock(mutex_);
        facts_.skipped = skipped;
        // None left of a kind: the names shown for it are history.
        if (skipped.withoutMetadata == 0) facts_.skippedWithoutMetadata.clear();
        if (skipped.loose == 0) facts_.skippedLoose.clear();
    }
    inner_.showSkippedCount(skipped);
}

void StatusBoard::setOnOutcome(std::function<void()> onOutcome) {
    onOutcome_ = std::move(onOutcome);
}

void StatusBoard::keepDayCountsIn(const std::string& path) {
    std::lock_guard lock(mutex_);
    dayCountsPath_ = path;
    std::string error;
    std::optional<Value> kept = readPropertyListFile(path, &error);
    if (!kept || !kept->asDictionary()) return;  // none yet, or unreadable: the day starts at 0
    const Dictionary& d = *kept->asDictionary();
    const std::string* day = stringForKey(d, kDayKey);
    if (!day || *day != day_) return;  // another day's counts
    auto count = [&](const char* key) -> std::uint64_t {
        auto it = d.find(key);
        if (it == d.end()) return 0;
        const std::int64_t n = it->second.integerValue();
        return n > 0 ? static_cast<std::uint64_t>(n) : 0;
    };
    facts_.uploadedToday = count(kUploadedKey);
    facts_.setAsideToday = count(kSetAsideKey);
}

void StatusBoard::saveDayCountsLocked() {
    if (dayCountsPath_.empty()) return;
    const Dictionary d{{kDayKey, Value(day_)},
                       {kUploadedKey, Value(static_cast<std::int64_t>(facts_.uploadedToday))},
                       {kSetAsideKey, Value(static_cast<std::int64_t>(facts_.setAsideToday))}};
    std::string error;
    // A count for the eyes: a power cut may cost the last few, never the photos.
    if (!writeFileAtomically(dayCountsPath_, toXmlPropertyList(Value(d)), 0600, &error, Sync::No))
        warnOncePerKey(dayCountsPath_, "The day's counts cannot be kept: " + error);
}

void StatusBoard::noteResend(const std::string& name) {
    {
        std::lock_guard lock(mutex_);
        rollDayLocked(clock_->now());
        ++facts_.resentToday;
        ++facts_.resentSinceStart;
    }
    inner_.noteResend(name);
}

}  // namespace vorn
