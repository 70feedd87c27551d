#include "platform/Trash.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "platform/FileDescriptor.h"
#include "platform/PathUtilities.h"
#include "platform/PlatformLog.h"
#include "platform/SafeMove.h"

namespace vorn {
namespace fs = std::filesystem;

namespace {

constexpr size_t kNameMax = 255;

bool makeFolder0700(const fs::path& dir) {
    std::error_code ec;
    if (fs::is_directory(dir, ec)) return true;
    if (!dir.has_parent_path() || dir.parent_path() == dir) return false;
    if (!makeFolder0700(dir.parent_path())) return false;
    if (::mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST) return fs::is_directory(dir, ec);
    return false;
}

std::string percentEncodePath(const std::string& path) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : path) {
        bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '_' || c == '.' || c == '~' || c == '/';
        if (keep) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0xF];
        }
    }
    return out;
}

// Shortens name so that name + suffix + ".trashinfo" fits in one directory entry, without
// cutting a UTF-8 sequence in two.
std::string fitName(const std::string& name, const std::string& suffix) {
    const size_t budget = kNameMax - std::string(".trashinfo").size();
    if (name.size() + suffix.size() <= budget) return name + suffix;
    size_t keep = suffix.size() < budget ? budget - suffix.size() : 0;
    while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) --keep;
    return name.substr(0, keep) + suffix;
}

}  // namespace

std::optional<std::string> userTrashFilesDirectory() {
    fs::path dataHome;
    if (const char* x = std::getenv("XDG_DATA_HOME"); x && *x == '/') {
        dataHome = x;
    } else {
        std::string home = homeDirectory();
        if (home.empty()) return std::nullopt;
        dataHome = fs::path(home) / ".local" / "share";
    }
    fs::path trash = dataHome / "Trash";
    if (!makeFolder0700(trash / "files") || !makeFolder0700(trash / "info")) return std::nullopt;
    return (trash / "files").string();
}

bool moveToTrash(const std::string& path, const Clock& clock, std::string* trashedPath) {
    if (path.empty()) return false;
    std::error_code ec;
    fs::path item = fs::absolute(path, ec).lexically_normal();
    if (ec) return false;
    if (!item.has_filename()) item = item.parent_path();  // "dir/" names dir
    const std::string name = item.filename().string();
    if (name.empty() || name == "." || name == "..") return false;
    if (!existsAtPath(item.string())) return false;

    auto files = userTrashFilesDirectory();
    if (!files) return false;
    const fs::path infoDir = fs::path(*files).parent_path() / "info";

    const SystemTime now = clock.now();
    const std::string stamp = formatLocalTime(now, " %Y%m%d_%H%M%S");
    const std::string info = "[Trash Info]\nPath=" + percentEncodePath(item.string()) +
                             "\nDeletionDate=" + formatLocalTime(now, "%Y-%m-%dT%H:%M:%S") + "\n";

    for (int attempt = 0; attempt < 10000; ++attempt) {
        std::string candidate;
        if (attempt == 0) {
            candidate = fitName(name, "");
        } else if (attempt == 1) {
            candidate = fitName(name, stamp);
        } else {
            candidate = fitName(name, stamp + " " + std::to_string(attempt));
        }
        // Claiming the .trashinfo name first with O_EXCL is what keeps two trashers (or two
        // threads) from picking the same name.
        const std::string infoPath = (infoDir / (candidate + ".trashinfo")).string();
        Fd fd(::open(infoPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (!fd.valid()) {
            if (errno == EEXIST) continue;
            return false;
        }
        if (writeAll(fd.get(), info) != 0 || !fd.close()) {
            ::unlink(infoPath.c_str());
            return false;
        }
        const std::string target = *files + "/" + candidate;
        std::string error;
        const SafeMoveResult moved = moveItemSafely(item.string(), target, &error);
        if (moved && !moved.sourceLeft()) {
            if (trashedPath) *trashedPath = target;
            return true;
        }
        ::unlink(infoPath.c_str());
        if (moved.sourceLeft()) {
            // Not trashed after all: the copy made for the trash goes, the item stays.
            ::unlink(target.c_str());
            platformLog("moveToTrash => cannot move [%s]: %s", item.c_str(), error.c_str());
            return false;
        }
        if (existsAtPath(target)) continue;  // an item without its .trashinfo holds the name
        platformLog("moveToTrash => cannot move [%s]: %s", item.c_str(), error.c_str());
        return false;
    }
    return false;
}

}  // namespace vorn
