#include "files/OriginalPathResolver.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "files/KDW_FileManager.h"
#include "platform/PathUtilities.h"
#include "platform/PlatformLog.h"
#include "platform/Utf8.h"
#include "settings/Preferences.h"

namespace vorn {
namespace {

// Only a regular file can be uploaded; a FIFO or a device would hang or leak the read.
bool isRegularFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string joined(const std::vector<std::string>& parts, std::size_t from, const char* sep) {
    std::string out;
    for (std::size_t i = from; i < parts.size(); ++i) {
        if (i > from) out += sep;
        out += parts[i];
    }
    return out;
}

// A tail holding ".." would lead the search out of its root.
bool tailStaysInside(const std::vector<std::string>& parts, std::size_t from) {
    for (std::size_t i = from; i < parts.size(); ++i) {
        if (parts[i] == ".." || parts[i] == ".") return false;
    }
    return true;
}

}  // namespace

std::optional<std::string> replacingPercentEscapes(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] != '%') {
            out += text[i++];
            continue;
        }
        std::string run;
        while (i < text.size() && text[i] == '%') {
            if (i + 2 >= text.size()) return std::nullopt;
            const int hi = hexValue(text[i + 1]);
            const int lo = hexValue(text[i + 2]);
            if (hi < 0 || lo < 0) return std::nullopt;
            const char byte = static_cast<char>(hi * 16 + lo);
            if (byte == '\0') return std::nullopt;  // would cut the path short
            run += byte;
            i += 3;
        }
        out += isValidUtf8(run) ? run : macRomanToUtf8(run);
    }
    return out;
}

std::vector<std::string> directoryContentsAtPath(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return names;
    while (struct dirent* e = ::readdir(dir)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        names.emplace_back(e->d_name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> pathComponents(const std::string& path) {
    std::vector<std::string> parts;
    if (!path.empty() && path[0] == '/') parts.emplace_back("/");
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        if (end > start) parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

bool isInvisibleFileAtPath2(const std::string& path) {
    static const char* const kSystemPaths[] = {"/Network", "/mach", "/mach.sym", "/dev"};
    for (const char* p : kSystemPaths) {
        if (path == p) return true;
    }
    const std::string name = lastPathComponent(path);
    return !name.empty() && name[0] == '.';
}

bool isRootVolume(const std::string& path) {
    if (path.empty() || !isFolderFollowingLinks(path)) return false;
    std::vector<std::string> parts =
        pathComponents(std::filesystem::path(path).lexically_normal().string());
    if (parts.empty() || parts[0] != "/") {
        platformLog(
            "isRootVolume => the first path component must always be a forward slash: "
            "[%s]",
            path.c_str());
        return false;
    }
    parts.erase(parts.begin());
    if (parts.empty()) {
        platformLog(" IS Root Path for Startup Volume!!!!");
        return true;
    }
    // How many components a mount folder's volume may have at most, counted from the top.
    std::size_t deepest = 0;
    if (::strcasecmp(parts[0].c_str(), "Volumes") == 0) {
        deepest = 2;
    } else if (parts[0] == "media") {
        deepest = 3;  // /media/<name> and /media/<user>/<name>
    } else if (parts[0] == "mnt") {
        deepest = 2;
    } else if (parts[0] == "run" && parts.size() >= 3 && parts[1] == "media") {
        deepest = 4;  // /run/media/<user>/<name>
    } else {
        return false;
    }
    if (parts.size() <= deepest) {
        platformLog("Probably is RootVolume???");
        return true;
    }
    platformLog("Probably NOT A RootVolume...");
    return false;
}

std::optional<std::string> KDW_FileManager::doResolveOriginalPathInPath(
    const std::optional<std::string>& originalPath, const std::optional<std::string>& inPath) {
    const char* method = "doResolveOriginalPath:inPath:";
    std::optional<std::string> original;
    if (originalPath) {
        original = replacingPercentEscapes(*originalPath);
        if (!original) {
            platformLog("Inside %s->[%s]... cannot decode the escapes of [%s]", kClass, method,
                        originalPath->c_str());
            return std::nullopt;
        }
    }

    if (original && Preferences::getPrefAlwaysSearchOriginalPath() &&
        existsFollowingLinks(*original)) {
        platformLog("Inside %s->[%s]... origItemPathString Exists AS IS...", kClass, method);
        return original;
    }
    if (!Preferences::getPrefDoUseKivHiResAlternatePath1()) {
        platformLog(
            "Inside %s->[%s]... origItemPathString is NIL???? and doSearchInAltPath = "
            "FALSE...",
            kClass, method);
        return std::nullopt;
    }
    if (!inPath) return std::nullopt;
    const std::string root = expandTildeInPath(*inPath);
    if (!isFolderFollowingLinks(root)) {
        if (!existsFollowingLinks(root)) {
            platformLog("inPath does NOT Exist = [%s] ???", root.c_str());
        }
        platformLog("NOT Valid Path to search into: [%s]", root.c_str());
        return std::nullopt;
    }
    if (!original) return std::nullopt;

    const std::vector<std::string> parts = pathComponents(*original);
    std::string candidate = *original;
    std::size_t first = 0;  // parts[first..] is the tail the candidate was built from
    while (true) {
        if (parts.size() - first < 2) {
            platformLog("doResolveOriginalPath FAILED to Find the item at Path: [%s]",
                        original->c_str());
            return std::nullopt;
        }
        if (candidate.empty()) {
            platformLog("Not searching outside [%s]", root.c_str());
        } else {
            platformLog("Searching: [%s]", candidate.c_str());
            if (isRegularFile(candidate)) {
                platformLog("FOUND ITEM at: [%s]", candidate.c_str());
                platformLog("doResolveOriginalPath FOUND the item at Path: [%s]",
                            candidate.c_str());
                return candidate;
            }
        }
        ++first;
        candidate = tailStaysInside(parts, first)
                        ? appendingPathComponent(root, joined(parts, first, "/"))
                        : std::string();
    }
}

std::optional<std::string> KDW_FileManager::doResolveOriginalPathInArrayOfPaths(
    const std::optional<std::string>& originalPath,
    const std::vector<std::string>* inArrayOfPaths) {
    const char* method = "doResolveOriginalPath:inArrayOfPaths:";
    if (!inArrayOfPaths) {
        platformLog("Inside %s->[%s] ...  inArrayOfPaths = NIL...", kClass, method);
        return doResolveOriginalPathInPath(originalPath, std::nullopt);
    }
    platformLog("Inside %s->[%s] ...  inArrayOfPaths = (%s)", kClass, method,
                joined(*inArrayOfPaths, 0, ", ").c_str());

    std::vector<std::string> searchList = *inArrayOfPaths;
    if (!inArrayOfPaths->empty()) {
        const std::string first = expandTildeInPath(inArrayOfPaths->front());
        for (const std::string& name : directoryContentsAtPath(first)) {
            const std::string folder = appendingPathComponent(first, name);
            if (isFolderFollowingLinks(folder) && !isInvisibleFileAtPath2(folder))
                searchList.push_back(folder);
        }
    }
    platformLog("The SubArrays we Need to Search Thru has [%i] items",
                static_cast<int>(searchList.size()));
    for (const std::string& folder : searchList) {
        if (auto found = doResolveOriginalPathInPath(originalPath, folder)) {
            platformLog("FOUND an ITEM... [%s]", found->c_str());
            return found;
        }
    }
    platformLog("Done with Loop...........");
    return std::nullopt;
}

}  // namespace vorn
