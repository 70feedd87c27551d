#include "upload/SourceFolderScanner.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "files/KDW_FileManager.h"
#include "metadata/CaptureDate.h"
#include "metadata/EmbeddedMetadata.h"
#include "metadata/ImageFile.h"
#include "platform/PathUtilities.h"
#include "platform/PlatformLog.h"
#include "settings/PreferenceKeys.h"
#include "settings/Preferences.h"
#include "settings/PreferencesStore.h"
#include "upload/Records.h"

namespace vorn {

namespace {

constexpr const char* kDefaultFuseAction = "upload.upload";
constexpr const char* kFuseActionRurizururiz = "upload.rurizururiz";
constexpr const char* kAccountDererave = "dererave";
constexpr const char* kAccountRurizururiz = "rurizururiz";

// The event caption of a fuse action (case matters).
const char* eventCaption(const std::string& fuseAction) {
    static const std::pair<const char*, const char*> table[] = {
        {"upload.vivizozu", "From Vivizozu 2010 Event."},
        {"upload.riri", "From Riri Miami 2010 Event."},
        {"upload.zovidi", "From Zovidi 2010 Event."},
        {"upload.zarar", "From ZARAR 2010."},
        {"upload.vivadezeduza", "From VivAdeZeduza 2010 Event."},
    };
    for (const auto& [action, caption] : table)
        if (fuseAction == action) return caption;
    return nullptr;
}

struct Entry {
    std::string name;
    bool isDirectory = false;
    bool isLink = false;  // a link to a file: judged by its target
};

// The folder's entries in name order, typed from the directory read itself: a scan of a big
// tree must not stat every file it passes over. Symbolic links to folders are not descended into.
std::vector<Entry> listFolder(const std::string& path) {
    std::vector<Entry> entries;
    DIR* dir = ::opendir(path.c_str());
    if (!dir) return entries;
    const int fd = ::dirfd(dir);
    while (dirent* d = ::readdir(dir)) {
        std::string name = d->d_name;
        if (name == "." || name == "..") continue;
        unsigned char type = d->d_type;
        Entry e;
        e.name = std::move(name);
        if (type == DT_UNKNOWN || type == DT_LNK) {
            struct stat st {};
            if (::fstatat(fd, e.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
            if (S_ISLNK(st.st_mode)) {
                if (::fstatat(fd, e.name.c_str(), &st, 0) != 0 || S_ISDIR(st.st_mode)) continue;
                e.isLink = true;
            }
            type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
        }
        if (type == DT_DIR)
            e.isDirectory = true;
        else if (type != DT_REG)
            continue;  // sockets, fifos, devices: never photos
        entries.push_back(std::move(e));
    }
    ::closedir(dir);
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.name < b.name; });
    return entries;
}

std::optional<Value> readMetadata(const std::string& full) {
    if (auto png = getVornMetaDataFromPng(full)) return png;
    return getVornMetaDataFromJpeg(full);
}

std::int64_t mtimeNanoseconds(const struct stat& st) {
    return static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

}  // namespace

SourceFolderScanner::SourceFolderScanner(std::shared_ptr<Clock> clock,
                                         std::chrono::milliseconds settleInterval)
    : clock_(std::move(clock)), settleInterval_(settleInterval) {}

SourceFolderScanner::Verdict SourceFolderScanner::judgeFile(const PassSettings& settings,
                                                            const std::string& full,
                                                            const std::string& rel,
                                                            std::chrono::milliseconds& settleLeft) {
    // What the name alone decides comes first: most files met are passed over here, unstatted.
    const std::string name = lastPathComponent(rel);
    if (name.empty() || name[0] == '.') return Verdict::NotEligible;
    if (!settings.baseIdsFromFileNames && deletingLastPathComponent(rel).empty()) {
        platformLog("Root Item [%s] May NOT be Uploaded!!!!!", rel.c_str());
        return Verdict::NotEligible;
    }
    if (equalsIgnoringCase(pathExtension(name), "mov")) return Verdict::NotEligible;
    if (settings.isWaitingToRetry && *settings.isWaitingToRetry &&
        (*settings.isWaitingToRetry)(full))
        return Verdict::NotEligible;  // failed lately; tried again when its wait is over

    struct stat st {};
    if (::stat(full.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return Verdict::NotEligible;
    const Stamp stamp{static_cast<std::int64_t>(st.st_size), mtimeNanoseconds(st)};
    // A file still being written may lack its metadata for now: it is reported as skipped
    // only once it has rested for the settle interval.
    auto modifiedAt = SystemTime(
        std::chrono::duration_cast<SystemTime::duration>(std::chrono::nanoseconds(stamp.mtimeNs)));
    auto settled = [&] { return clock_->now() - modifiedAt >= settleInterval_; };
    {
        std::lock_guard lock(cacheMutex_);
        auto it = withoutMetadata_.find(full);
        if (it != withoutMetadata_.end()) {
            if (it->second.stamp == stamp) {  // unchanged since last look
                if (!it->second.reported && settled()) {
                    it->second.reported = true;
                    reportSkipped(rel);
                }
                return Verdict::NotEligible;
            }
            withoutMetadata_.erase(it);
        }
    }
    if (settings.baseIdsFromFileNames && !IsValidImageObject(full)) return Verdict::NotEligible;
    metadataReads_.fetch_add(1);
    if (!readMetadata(full)) {
        const bool report = settled();
        {
            std::lock_guard lock(cacheMutex_);
            withoutMetadata_[full] = Without{stamp, report};
        }
        if (report) reportSkipped(rel);
        return Verdict::NotEligible;
    }
    if (settings.uploadMovie) {
        struct stat movie {};
        std::string moviePath = deletingPathExtension(full) + ".mov";
        if (::stat(moviePath.c_str(), &movie) != 0) return Verdict::NotEligible;
    }

    // Readable metadata does not prove the photo is complete (a JPEG carries its EXIF first):
    // it must also have rested for the settle interval.
    auto modified = SystemTime(
        std::chrono::duration_cast<SystemTime::duration>(std::chrono::nanoseconds(stamp.mtimeNs)));
    auto age = std::chrono::duration_cast<std::chrono::milliseconds>(clock_->now() - modified);
    if (age < settleInterval_) {
        settleLeft = settleInterval_ - std::max(age, std::chrono::milliseconds(0));
        return Verdict::NotSettled;
    }
    return Verdict::Eligible;
}

void SourceFolderScanner::reportSkipped(const std::string& rel) {
    if (!ui_) return;
    UploadOutcome outcome;
    outcome.kind = UploadOutcome::Kind::Skipped;
    outcome.name = rel;
    outcome.reason = "no upload metadata";
    ui_->showUploadOutcome(outcome);
}

// Photos in the tree that a pass may still take: judged by name and the metadata cache only,
// so the count costs a directory walk and no file reads.
std::size_t SourceFolderScanner::countWaiting(const std::string& root, const std::string& rel) {
    std::size_t count = 0;
    for (const Entry& e : listFolder(appendingPathComponent(root, rel))) {
        if (e.name[0] == '.') continue;
        std::string childRel = rel.empty() ? e.name : rel + "/" + e.name;
        if (e.isDirectory) {
            count += countWaiting(root, childRel);
            continue;
        }
        if (rel.empty()) continue;
        const std::string ext = pathExtension(e.name);
        if (!equalsIgnoringCase(ext, "jpg") && !equalsIgnoringCase(ext, "jpeg") &&
            !equalsIgnoringCase(ext, "png"))
            continue;
        std::lock_guard lock(cacheMutex_);
        if (!withoutMetadata_.count(appendingPathComponent(root, childRel))) ++count;
    }
    return count;
}

std::optional<std::string> SourceFolderScanner::walk(
    const PassSettings& settings, const ScanInput& input, const std::string& rel,
    std::optional<std::chrono::milliseconds>& retryAfter) {
    const std::string folder = appendingPathComponent(input.rootFolder, rel);
    const std::vector<Entry> entries = listFolder(folder);
    std::unordered_map<std::string, int> stems;
    for (const Entry& e : entries) {
        std::string childRel = rel.empty() ? e.name : rel + "/" + e.name;
        std::string full = appendingPathComponent(input.rootFolder, childRel);
        if (e.isDirectory) {
            // What is filed must never be met again as something to upload.
            struct stat self {};
            if (!settings.filingFolders.empty() && ::stat(full.c_str(), &self) == 0 &&
                std::find(settings.filingFolders.begin(), settings.filingFolders.end(),
                          std::make_pair(self.st_dev, self.st_ino)) !=
                    settings.filingFolders.end()) {
                platformLog("[%s] is where photos are filed; not scanned", full.c_str());
                continue;
            }
            // Mirror the folder with the source folder's permissions; an existing one stays.
            std::string mirrored = appendingPathComponent(input.mirrorFolder, childRel);
            struct stat st {};
            if (::lstat(full.c_str(), &st) == 0 &&
                ::mkdir(mirrored.c_str(), st.st_mode & 07777) == 0)
                ::chmod(mirrored.c_str(), st.st_mode & 07777);
            if (auto found = walk(settings, input, childRel, retryAfter)) return found;
            continue;
        }
        if (input.awaitingFiling.count(childRel)) continue;  // sent already; only filing is left
        std::chrono::milliseconds settleLeft{0};
        switch (judgeFile(settings, full, childRel, settleLeft)) {
            case Verdict::Eligible:
                return childRel;
            case Verdict::NotSettled:
                platformLog("[%s] is still being written; passed over for now", childRel.c_str());
                retryAfter = retryAfter ? std::min(*retryAfter, settleLeft) : settleLeft;
                break;
            case Verdict::NotEligible:
                if (e.name[0] != '.' && equalsIgnoringCase(pathExtension(e.name), "mov")) {
                    // Files per stem, counted once per folder: the movie alone means its
                    // photo has gone.
                    if (stems.empty())
                        for (const Entry& other : entries)
                            if (!other.isDirectory) ++stems[deletingPathExtension(other.name)];
                    if (stems[deletingPathExtension(e.name)] == 1)
                        fileStrandedMovie(settings, input, childRel);
                }
                break;
        }
    }
    return std::nullopt;
}

ScanOutcome SourceFolderScanner::chooseNextItem(const ScanInput& input) {
    // The settings are read once per pass, not once per file.
    PassSettings settings{
        Preferences::getPrefFormBaseIdFromFileName(),
        Preferences::store().boolForKey(sPrefUploadMovie),
        {},
        expandTildeInPath(Preferences::getLocalProblemUploadFolder().value_or("")),
        &input.isWaitingToRetry};
    for (const std::string& folder : {input.mirrorFolder, settings.problemFolder}) {
        struct stat st {};
        if (!folder.empty() && ::stat(folder.c_str(), &st) == 0)
            settings.filingFolders.emplace_back(st.st_dev, st.st_ino);
    }
    std::optional<std::chrono::milliseconds> retryAfter;
    std::optional<std::string> rel = walk(settings, input, "", retryAfter);
    if (ui_) ui_->showWaitingCount(countWaiting(input.rootFolder, ""));
    if (!rel) {
        platformLog("No more images to upload...");
        ScanOutcome nothing;
        nothing.retryAfter = retryAfter;
        return nothing;
    }
    ScanOutcome outcome = prepareItem(input, *rel);
    if (outcome.kind == ScanOutcome::Kind::NothingToUpload) outcome.retryAfter = retryAfter;
    return outcome;
}

void SourceFolderScanner::fileStrandedMovie(const PassSettings& settings, const ScanInput& input,
                                            const std::string& rel) {
    const std::string full = appendingPathComponent(input.rootFolder, rel);
    struct stat st {};
    if (::stat(full.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
    // A movie still being written may be the first half of a new pair.
    auto modified = SystemTime(std::chrono::duration_cast<SystemTime::duration>(
        std::chrono::nanoseconds(mtimeNanoseconds(st))));
    if (clock_->now() - modified < settleInterval_) return;
    const std::string stemRel = deletingPathExtension(rel);
    static const char* const kPhotoTypes[] = {"jpg", "jpeg", "png", "JPG", "JPEG", "PNG"};
    const std::pair<const std::string*, bool> places[] = {{&input.mirrorFolder, true},
                                                          {&settings.problemFolder, false}};
    for (const auto& [folder, replace] : places) {
        if (folder->empty()) continue;
        for (const char* type : kPhotoTypes) {
            struct stat photo {};
            if (::stat(appendingPathComponent(*folder, stemRel + "." + type).c_str(), &photo) != 0)
                continue;
            platformLog("[%s] was left behind by its photo; filing it beside it", rel.c_str());
            KDW_FileManager::moveFileAtPath(full, appendingPathComponent(*folder, rel), replace);
            return;
        }
    }
}

ScanOutcome SourceFolderScanner::prepareItem(const ScanInput& input, const std::string& rel) {
    const std::string full = appendingPathComponent(input.rootFolder, rel);
    const std::string account = Preferences::getCurUserLoginName().value_or("");
    const bool dererave = equalsIgnoringCase(account, kAccountDererave);
    const bool rurizururiz = equalsIgnoringCase(account, kAccountRurizururiz);
    Dictionary& working = *input.workingCopy;

    // 1. A second read: a file whose metadata went missing is still being written.
    metadataReads_.fetch_add(1);
    std::optional<Value> metadata = readMetadata(full);
    if (!metadata && !dererave && !rurizururiz)
        return {ScanOutcome::Kind::NotYetWritten, nullptr, {}};

    // 2. Client name.
    const std::optional<std::string> fuseActionPref = Preferences::getKivFuseAction();
    if (fuseActionPref) useBaseFileName_ = !equalsIgnoringCase(*fuseActionPref, kDefaultFuseAction);
    const std::string fileName = lastPathComponent(rel);
    std::string clientName;
    if (Preferences::getPrefFormBaseIdFromFileName()) {
        size_t cut = fileName.find('_');
        if (cut == std::string::npos) cut = fileName.find(' ');
        clientName =
            cut == std::string::npos ? deletingPathExtension(fileName) : fileName.substr(0, cut);
    } else if (useBaseFileName_) {
        clientName = deletingPathExtension(fileName);
    } else {
        clientName = lastPathComponent(deletingLastPathComponent(rel));
    }
    working[cDictKeyUserEnteredClientName] = clientName;

    // 3. and 4. The file must still be there and have a date.
    struct stat st {};
    if (::stat(full.c_str(), &st) != 0) {
        platformLog("WHAT???? FILE is LOST or Missing????? [%s]\n\n", full.c_str());
        return {};
    }
    std::optional<SystemTime> date = GetAndUpdateFileCreationDate(full, true);
    if (!date) return {};
    std::string captureTime = formatLocalTime(*date, "%Y-%m-%d %H:%M:%S");

    // 5. Caption and fuse action.
    std::string caption;
    const std::optional<std::string> metaDataPref = Preferences::getPrefMetaData();
    if (metaDataPref) caption = *metaDataPref;
    const std::string fuseAction = fuseActionPref.value_or(kDefaultFuseAction);
    if (fuseActionPref && !metaDataPref)
        if (const char* c = eventCaption(*fuseActionPref)) caption = c;

    // 6. E-mails and contact details, from the photo's EXIF, for fuse actions that use them.
    std::optional<std::string> emails;
    std::optional<Value> contact;
    if (!equalsIgnoringCase(fuseAction, kDefaultFuseAction)) {
        metadataReads_.fetch_add(1);
        if (auto exif = getVornMetaDataFromJpeg(full); exif && exif->asDictionary()) {
            const Dictionary& d = *exif->asDictionary();
            if (auto it = d.find("KD_radudivInfo"); it != d.end() && it->second.isDictionary())
                contact = it->second;
            if (auto it = d.find("KD_emailsForUpload"); it != d.end() && it->second.isArray()) {
                const Array& list = *it->second.asArray();
                std::string joined;
                for (size_t i = 0; i < list.size() && i < 4; ++i) {
                    if (i) joined += ",";
                    joined += list[i].stringValue();
                }
                if (!list.empty()) emails = joined;
            }
        }
    }

    // 7. and 8. Original path and sitting details.
    std::optional<std::string> originalPath;
    std::optional<Value> sitting;
    if (metadata && metadata->asDictionary()) {
        const Dictionary& d = *metadata->asDictionary();
        if (const std::string* p = stringForKey(d, "OriginalPath")) originalPath = *p;
        if (auto it = d.find("SittingInfoDictionary"); it != d.end() && it->second.isDictionary()) {
            sitting = it->second;
            if (const std::string* t = stringForKey(*it->second.asDictionary(), "capturetime"))
                captureTime = *t;
        }
    }
    if (!sitting) {
        if (fuseActionPref && equalsIgnoringCase(*fuseActionPref, kFuseActionRurizururiz))
            platformLog("2010-09-02 - MISSING Sitting info. FuseAction = %s REQUIRES More INFO!!!!",
                        fuseActionPref->c_str());
        if (rurizururiz) sitting = Value(Dictionary{{"sittingid", getBaseIDFromFileName(full)}});
    }

    // 9. The upload item record.
    DictionaryPtr record = makeRecord(working);
    Dictionary& r = *record;
    r[cDictKeyLocalMirrorFolder] = expandTildeInPath(
        Preferences::getLocalMasterMirrorSiteFolder().value_or(input.mirrorFolder));
    r[cDictKeyLocalSourceUploadFolder] =
        expandTildeInPath(Preferences::getLocalSourceUploadFolder().value_or(input.rootFolder));
    r[cDictKeyCurItem] = rel;
    r[edUser] = input.userName;
    r[edPasswd] = input.password;
    r[edFileName] = full;
    r[edClientName] = clientName;
    r[edEventName] = input.eventName;
    r[edMetaData] = caption;
    r[edCaptureTime] = captureTime;
    r[edKivFuseAction] = fuseAction;
    if (sitting) r[edSittingInfoDictionary] = *sitting;
    if (emails) r[edEmails] = *emails;
    if (originalPath) r[edOriginalPath] = *originalPath;
    if (contact) r[edRadudivInfo] = *contact;
    return {ScanOutcome::Kind::Chosen, record, {}};
}

}  // namespace vorn
