#include "Storage.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace vorn::photoservice {

namespace fs = std::filesystem;

std::string sanitizeComponent(std::string_view raw) {
    std::string out;
    out.reserve(raw.size());
    for (char c : raw) {
        unsigned char u = static_cast<unsigned char>(c);
        if (c == '/' || c == '\\' || u < 0x20 || u == 0x7F)
            out.push_back('_');
        else
            out.push_back(c);
    }
    // Keep within NAME_MAX, leaving room for a number; do not cut a UTF-8 sequence in two.
    if (out.size() > 200) {
        std::size_t cut = 200;
        while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
        out.resize(cut);
    }
    if (out.empty()) return "_";
    // ".", "..", hidden names and our own incoming folder all start with a dot.
    if (out[0] == '.') out[0] = '_';
    return out;
}

std::string sanitizeFileName(std::string_view raw) {
    std::size_t slash = raw.find_last_of("/\\");
    if (slash != std::string_view::npos) raw.remove_prefix(slash + 1);
    return sanitizeComponent(raw);
}

std::string numberedName(const std::string& name, int n) {
    std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return name + "-" + std::to_string(n);
    return name.substr(0, dot) + "-" + std::to_string(n) + name.substr(dot);
}

Storage::Storage(fs::path root) : root_(std::move(root)) {
    fs::create_directories(root_ / kIncoming);
    root_ = fs::canonical(root_);
}

std::optional<Storage::TempFile> Storage::createTemp(std::string* error) const {
    std::string pattern = (root_ / kIncoming / "part-XXXXXX").string();
    int fd = mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) {
        if (error) *error = std::string("cannot create a temporary file: ") + std::strerror(errno);
        return std::nullopt;
    }
    return TempFile{fd, fs::path(pattern)};
}

std::optional<fs::path> Storage::place(const fs::path& temp, const std::vector<std::string>& dirs,
                                       const std::string& name, std::string* error) const {
    fs::path relativeDir;
    for (const std::string& d : dirs) {
        // Belt and braces: callers pass sanitised components only.
        if (d.empty() || d == "." || d == ".." || d.find('/') != std::string::npos) {
            if (error) *error = "refused folder name \"" + d + "\"";
            return std::nullopt;
        }
        relativeDir /= d;
    }
    if (name.empty() || name[0] == '.' || name.find('/') != std::string::npos) {
        if (error) *error = "refused file name \"" + name + "\"";
        return std::nullopt;
    }
    fs::path dir = root_ / relativeDir;
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
        if (error) *error = "cannot create " + dir.string() + ": " + ec.message();
        return std::nullopt;
    }
    // A symbolic link planted inside the data folder must not lead the file out of it.
    fs::path real = fs::canonical(dir, ec);
    auto [rootEnd, realIt] = std::mismatch(root_.begin(), root_.end(), real.begin(), real.end());
    if (ec || rootEnd != root_.end()) {
        if (error) *error = "folder " + dir.string() + " lies outside the data folder";
        return std::nullopt;
    }
    for (int n = 1; n < 100000; ++n) {
        std::string candidate = n == 1 ? name : numberedName(name, n);
        fs::path target = dir / candidate;
        // link() fails on a taken name instead of replacing it, unlike rename().
        if (::link(temp.c_str(), target.c_str()) == 0) {
            ::unlink(temp.c_str());
            return relativeDir / candidate;
        }
        if (errno != EEXIST) {
            if (error) *error = "cannot store " + target.string() + ": " + std::strerror(errno);
            return std::nullopt;
        }
    }
    if (error) *error = "no free name for " + name;
    return std::nullopt;
}

void Storage::sweepIncoming() const {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(root_ / kIncoming, ec)) {
        std::error_code ignored;
        fs::remove(entry.path(), ignored);
    }
}

}  // namespace vorn::photoservice
