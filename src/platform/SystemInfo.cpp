#include "platform/SystemInfo.h"

#include <sys/inotify.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <fstream>

namespace vorn {

namespace {
std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return "";
    return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

std::optional<std::string> osReleaseField(const std::string& path, const std::string& key) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(key + "=", 0) != 0) continue;
        std::string value = trim(line.substr(key.size() + 1));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        if (!value.empty()) return value;
    }
    return std::nullopt;
}
}  // namespace

std::optional<std::string> operatingSystemVersion(const std::string& osReleasePath) {
    for (const char* key : {"VERSION_ID", "VERSION", "PRETTY_NAME"})
        if (auto v = osReleaseField(osReleasePath, key)) return v;
    return std::nullopt;
}

std::optional<std::string> operatingSystemName(const std::string& osReleasePath) {
    return osReleaseField(osReleasePath, "PRETTY_NAME");
}

std::optional<std::string> hardwareModel() {
    std::ifstream in("/sys/class/dmi/id/product_name");
    std::string model;
    if (!std::getline(in, model)) return std::nullopt;
    model = trim(model);
    if (model.empty()) return std::nullopt;
    return model;
}

std::string machineArchitecture() {
    utsname u{};
    if (uname(&u) != 0) return "unknown";
    return u.machine;
}

bool realTimeWatchingAvailable() {
    int fd = inotify_init1(IN_CLOEXEC);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

}  // namespace vorn
