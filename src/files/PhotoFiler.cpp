#include "files/PhotoFiler.h"

#include "platform/PathUtilities.h"
#include "platform/PlatformLog.h"

namespace vorn {

namespace {
std::string failureText(const FilingEntry& entry, const std::string& error) {
    return "could not file " + lastPathComponent(entry.item) + " in the " +
           (entry.setAside ? "problem folder" : "mirror folder") + ": " + error;
}
}  // namespace

PhotoFiler::PhotoFiler(Dependencies deps) : deps_(std::move(deps)) {
    if (!deps_.clock) deps_.clock = Clock::system();
    journal_ = std::make_unique<FilingJournal>(deps_.journalPath, deps_.clock);
}

PhotoFiler::Result PhotoFiler::fileAccepted(const Photo& photo, const Folders& folders) {
    platformLog("Preparing to Move [%s]/[%s]...", photo.root.c_str(), photo.item.c_str());
    if (folders.mirror.empty()) {
        platformLog("moveFileToPath2 => no mirror folder set, [%s] not moved???",
                    photo.item.c_str());
        return {Result::Kind::NoFolder, ""};
    }
    FilingEntry entry;
    entry.root = photo.root;
    entry.item = photo.item;
    entry.destRoot = folders.mirror;
    return file(std::move(entry), photo.sentAs, folders);
}

PhotoFiler::Result PhotoFiler::fileSetAside(const Photo& photo, const Folders& folders) {
    if (folders.problem.empty()) {
        platformLog("No Problem Folder (no mirror folder set): [%s] stays in [%s]",
                    photo.item.c_str(), photo.root.c_str());
        return {Result::Kind::NoFolder, ""};
    }
    FilingEntry entry;
    entry.root = photo.root;
    entry.item = photo.item;
    entry.destRoot = folders.problem;
    entry.setAside = true;
    return file(std::move(entry), photo.sentAs, folders);
}

PhotoFiler::Result PhotoFiler::file(FilingEntry entry, const std::optional<FileStamp>& sentAs,
                                    const Folders& folders) {
    sweepAtStart(folders);
    const std::string photo = appendingPathComponent(entry.root, entry.item);
    auto now = FileStamp::of(photo);
    if (!now) {
        platformLog("[%s] is gone; nothing to file", photo.c_str());
        return {Result::Kind::Gone, ""};
    }
    if (sentAs && !(*sentAs == *now)) {
        platformLog("[%s] was saved anew while it was sent; it stays and goes out again",
                    photo.c_str());
        return {Result::Kind::ChangedSinceSent, ""};
    }
    entry.stamp = *now;
    std::string error;
    if (!journal_->record(entry, &error))
        logAt(LogLevel::Warn, "Filing journal not written (%s); filing [%s] anyway", error.c_str(),
              photo.c_str());
    FileMoveResult r = journal_->file(entry, *deps_.clock);
    // Filed, but its source copy stays (a source folder that cannot be written): said once.
    if (r && r.sourceLeft)
        return {Result::Kind::FiledSourceLeft,
                lastPathComponent(entry.item) + " is filed; " + r.error};
    if (r) return {};
    return {Result::Kind::Failed, failureText(entry, r.error)};
}

void PhotoFiler::sweepAtStart(const Folders& folders) {
    // Once per process, before its own first move; the first caller names the folders.
    std::call_once(swept_, [&] {
        for (const std::string& folder : {folders.mirror, folders.problem})
            if (!folder.empty()) removeStaleMoveTemporaries(folder, deps_.startedAt);
    });
}

PhotoFiler::Pending PhotoFiler::retryPending(const std::string& root, const Folders& folders) {
    sweepAtStart(folders);
    Pending pending;
    for (const auto& failure : journal_->retryAll(*deps_.clock))
        pending.errors.push_back(failureText(failure.entry, failure.error));
    pending.waiting = journal_->waitingItems(root);
    return pending;
}

}  // namespace vorn
