#include "platform/Resources.h"

#include <filesystem>

#include "BuildInfo.h"

namespace vorn {

std::string executablePath() {
    std::error_code ec;
    auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : p.string();
}

std::string resourceDirectory() {
    namespace fs = std::filesystem;
    std::error_code ec;
    std::string exe = executablePath();
    if (!exe.empty()) {
        fs::path beside = fs::path(exe).parent_path().parent_path() / "share" / "vorn";
        if (fs::is_directory(beside, ec)) return beside.string();
    }
    return build::kShareDir;
}

std::optional<std::string> pathForResource(const std::string& name) {
    std::error_code ec;
    std::filesystem::path p = std::filesystem::path(resourceDirectory()) / name;
    if (std::filesystem::exists(p, ec)) return p.string();
    return std::nullopt;
}

}  // namespace vorn
