#include "settings/FolderRules.h"

#include <filesystem>
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

std::optional<std::string> folderOverlap(const std::string& source, const std::string& mirror,
                                         const std::string& problem) {
    if (source.empty()) return std::nullopt;
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

}  // namespace vorn
