#include "platform/PathUtilities.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace vorn {

std::string homeDirectory() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return "/";
}

std::string expandTildeInPath(const std::string& path) {
    if (path == "~") return homeDirectory();
    if (path.rfind("~/", 0) == 0) return appendingPathComponent(homeDirectory(), path.substr(2));
    return path;
}

namespace {
std::string withoutTrailingSlashes(const std::string& path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    return p;
}
}  // namespace

std::string lastPathComponent(const std::string& path) {
    std::string p = withoutTrailingSlashes(path);
    if (p == "/") return p;
    size_t slash = p.rfind('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

std::string deletingLastPathComponent(const std::string& path) {
    std::string p = withoutTrailingSlashes(path);
    size_t slash = p.rfind('/');
    if (slash == std::string::npos) return "";
    if (slash == 0) return "/";
    return p.substr(0, slash);
}

std::string pathExtension(const std::string& path) {
    std::string name = lastPathComponent(path);
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return "";
    return name.substr(dot + 1);
}

std::string deletingPathExtension(const std::string& path) {
    std::string ext = pathExtension(path);
    std::string p = withoutTrailingSlashes(path);
    return ext.empty() ? p : p.substr(0, p.size() - ext.size() - 1);
}

std::string appendingPathComponent(const std::string& base, const std::string& component) {
    if (base.empty()) return component;
    if (component.empty()) return base;
    std::string b = base;
    while (b.size() > 1 && b.back() == '/') b.pop_back();
    size_t start = component.find_first_not_of('/');
    if (start == std::string::npos) return b;
    return (b == "/" ? b : b + "/") + component.substr(start);
}

bool existsAtPath(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

bool existsFollowingLinks(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

bool isFolderFollowingLinks(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace vorn
