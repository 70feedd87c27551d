#include "support/cycle/FirstFileScanner.h"

#include <algorithm>
#include <filesystem>
#include <set>
#include <vector>

#include "platform/PathUtilities.h"
#include "upload/Records.h"

namespace vorn::test {

namespace fs = std::filesystem;

namespace {
// Pre-order walk in name order; returns the first eligible relative path.
std::optional<std::string> walk(const fs::path& root, const fs::path& mirror, const fs::path& rel,
                                const ScanInput& input) {
    std::vector<fs::directory_entry> entries;
    for (const auto& e : fs::directory_iterator(root / rel)) entries.push_back(e);
    std::sort(entries.begin(), entries.end(),
              [](auto& a, auto& b) { return a.path().filename() < b.path().filename(); });
    for (const auto& e : entries) {
        fs::path r = rel / e.path().filename();
        std::string name = e.path().filename().string();
        if (e.is_directory()) {
            std::error_code ec;
            fs::create_directory(mirror / r, ec);
            if (auto found = walk(root, mirror, r, input)) return found;
            continue;
        }
        if (name[0] == '.' || rel.empty()) continue;
        std::string ext = pathExtension(name);
        if (equalsIgnoringCase(ext, "mov") || input.awaitingFiling.count(r.string())) continue;
        if (input.isWaitingToRetry && input.isWaitingToRetry((root / r).string())) continue;
        return r.string();
    }
    return std::nullopt;
}
}  // namespace

ScanOutcome FirstFileScanner::chooseNextItem(const ScanInput& input) {
    passes_.fetch_add(1);
    {
        std::unique_lock lock(mutex_);
        if (gateClosed_) {
            waiting_ = true;
            cv_.wait(lock, [this] { return !gateClosed_; });
            waiting_ = false;
        }
    }
    auto rel = walk(input.rootFolder, input.mirrorFolder, "", input);
    if (!rel) return {ScanOutcome::Kind::NothingToUpload, nullptr, {}};

    DictionaryPtr record = makeRecord(*input.workingCopy);
    Dictionary& r = *record;
    r[cDictKeyLocalMirrorFolder] = input.mirrorFolder;
    r[cDictKeyLocalSourceUploadFolder] = input.rootFolder;
    r[cDictKeyCurItem] = *rel;
    r[edUser] = input.userName;
    r[edPasswd] = input.password;
    r[edFileName] = appendingPathComponent(input.rootFolder, *rel);
    r[edClientName] = lastPathComponent(deletingLastPathComponent(*rel));
    r[edEventName] = input.eventName;
    r[edMetaData] = "";
    r[edCaptureTime] = "2026-12-06 12:00:00";
    r[edKivFuseAction] = "upload.upload";
    return {ScanOutcome::Kind::Chosen, record, {}};
}

void FirstFileScanner::closeGate() {
    std::lock_guard lock(mutex_);
    gateClosed_ = true;
}

void FirstFileScanner::openGate() {
    {
        std::lock_guard lock(mutex_);
        gateClosed_ = false;
    }
    cv_.notify_all();
}

}  // namespace vorn::test
