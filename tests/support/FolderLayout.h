#pragma once
// Folder trees written and read as one line of text: "dir/,dir/file=content,..." in name order,
// folders with a trailing "/".

#include <filesystem>
#include <set>
#include <sstream>
#include <string>

#include "support/TempDir.h"

namespace vorn::test {

inline std::string folderContents(const std::filesystem::path& root) {
    std::set<std::string> entries;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
        const std::string rel = std::filesystem::relative(e.path(), root).string();
        entries.insert(e.is_directory() ? rel + "/" : rel + "=" + readFile(e.path()));
    }
    std::string out;
    for (const auto& entry : entries) out += (out.empty() ? "" : ",") + entry;
    return out;
}

inline void plant(const std::filesystem::path& root, const std::string& layout) {
    std::filesystem::create_directories(root);
    std::istringstream in(layout);
    for (std::string entry; std::getline(in, entry, ',');) {
        const auto eq = entry.find('=');
        if (eq == std::string::npos)
            std::filesystem::create_directories(root / entry);
        else
            writeFile(root / entry.substr(0, eq), entry.substr(eq + 1));
    }
}

}  // namespace vorn::test
