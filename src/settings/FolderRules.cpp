#include "settings/FolderRules.h"

#include <sys/stat.h>

#include <array>
#include <filesystem>
#include <mutex>
#include <utility>

#include "platform/PathUtilities.h"
#include "platform/PlatformLog.h"

namespace vorn {
namespace {

// The folder itself with every link and "." or ".." resolved; a part that does not exist yet
// is taken as written.
std::filesystem::path resolvedFolder(const std::string& path) {
    std::error_code ec;
    auto p = std::filesystem::weakly_canonical(std::filesystem::absolute(path, ec), ec);
    return ec ? std::filesystem::path(path).lexically_normal() : p;
}

bool isSameOrInside(const std::filesystem::path& inner, const std::filesystem::path& outer) {
    auto o = outer.begin();
    auto i = inner.begin();
    for (; o != outer.end(); ++o, ++i) {
        if (o->empty()) continue;  // a trailing separator
        if (i == inner.end() || *i != *o) return false;
    }
    return true;
}

}  // namespace

std::string problemFolderBeside(const std::string& mirror) {
    if (mirror.empty()) return {};
    return appendingPathComponent(deletingLastPathComponent(mirror), "Problem Folder");
}

namespace {

std::optional<std::string> overlapOfResolved(const std::string& source, const std::string& mirror,
                                             const std::string& problem) {
    const auto s = resolvedFolder(source);
    const std::pair<const char*, std::string> others[] = {{"mirror", mirror}, {"problem", problem}};
    for (const auto& [what, folder] : others) {
        if (folder.empty()) continue;
        const auto f = resolvedFolder(folder);
        std::string text;
        if (s == f)
            text = stringWithFormat("The source folder [%s] and the %s folder [%s] are the same",
                                    source.c_str(), what, folder.c_str());
        else if (isSameOrInside(f, s))
            text = stringWithFormat("The %s folder [%s] lies inside the source folder [%s]", what,
                                    folder.c_str(), source.c_str());
        else if (isSameOrInside(s, f))
            text = stringWithFormat("The source folder [%s] lies inside the %s folder [%s]",
                                    source.c_str(), what, folder.c_str());
        if (!text.empty()) return text + ": choose folders apart from each other.";
    }
    return std::nullopt;
}

// The folder a path leads to (device, inode); for one not there yet, the deepest folder of it
// that is (the rest is taken as written). Zeros for an empty path.
std::pair<dev_t, ino_t> folderIdentity(std::string path) {
    struct stat st {};
    while (!path.empty()) {
        if (::stat(path.c_str(), &st) == 0) return {st.st_dev, st.st_ino};
        const std::size_t slash = path.find_last_of('/');
        if (slash == std::string::npos || path == "/") break;
        path.resize(slash == 0 ? 1 : slash);
    }
    return {0, 0};
}

}  // namespace

// Asked before every pass: the links of the three paths are read again only when one of them
// leads to another folder than last time (a link pointed elsewhere, a folder made or replaced),
// three stat calls instead of a walk of every part of every path.
std::optional<std::string> folderOverlap(const std::string& source, const std::string& mirror,
                                         const std::string& problem) {
    if (source.empty()) return std::nullopt;
    struct Last {
        std::array<std::string, 3> paths;
        std::array<std::pair<dev_t, ino_t>, 3> folders;
        std::optional<std::string> answer;
        bool valid = false;
    };
    static std::mutex mutex;
    static Last last;
    const std::array<std::string, 3> paths{source, mirror, problem};
    std::array<std::pair<dev_t, ino_t>, 3> folders;
    for (std::size_t i = 0; i < paths.size(); ++i) folders[i] = folderIdentity(paths[i]);
    {
        std::lock_guard lock(mutex);
        if (last.valid && last.paths == paths && last.folders == folders) return last.answer;
    }
    std::optional<std::string> answer = overlapOfResolved(source, mirror, problem);
    std::lock_guard lock(mutex);
    last = {paths, folders, answer, true};
    return answer;
}

}  // namespace vorn
