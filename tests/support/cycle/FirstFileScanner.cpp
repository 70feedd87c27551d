#include "support/cycle/FirstFileScanner.h"

#include <filesystem>
#include <set>

#include "platform/PathUtilities.h"
#include "upload/Records.h"

namespace vorn::test {

namespace fs = std::filesystem;

namespace {
// Pre-order walk in name order, mirroring each folder; the first eligible relative path.
std::optional<std::string> walk(const ScanInput& in, const fs::path& rel) {
    std::set<fs::path> names;
    for (const auto& e : fs::directory_iterator(fs::path(in.rootFolder) / rel))
        names.insert(e.path().filename());
    for (const fs::path& name : names) {
        const fs::path r = rel / name, full = fs::path(in.rootFolder) / r;
        if (fs::is_directory(full)) {
            std::error_code ec;
            fs::create_directory(fs::path(in.mirrorFolder) / r, ec);
            if (auto found = walk(in, r)) return found;
        } else if (!rel.empty() && name.string()[0] != '.' &&
                   !equalsIgnoringCase(pathExtension(name.string()), "mov") &&
                   !in.awaitingFiling.count(r.string()) &&
                   !(in.isWaitingToRetry && in.isWaitingToRetry(full.string()))) {
            return r.string();
        }
    }
    return std::nullopt;
}
}  // namespace

ScanOutcome FirstFileScanner::chooseNextItem(const ScanInput& input) {
    passes_.fetch_add(1);
    {
        std::unique_lock lock(mutex_);
        waiting_ = gateClosed_;
        cv_.wait(lock, [this] { return !gateClosed_; });
        waiting_ = false;
    }
    auto rel = walk(input, "");
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

void FirstFileScanner::setGate(bool closed) {
    {
        std::lock_guard lock(mutex_);
        gateClosed_ = closed;
    }
    cv_.notify_all();
}

}  // namespace vorn::test
