#pragma once
// What the system says about itself: the operating-system version (from /etc/os-release), the
// machine model (DMI) and architecture (uname), and whether real-time folder watching works.

#include <optional>
#include <string>

namespace vorn {

// VERSION_ID of /etc/os-release (else VERSION, else PRETTY_NAME); nothing when unreadable.
std::optional<std::string> operatingSystemVersion(
    const std::string& osReleasePath = "/etc/os-release");
// PRETTY_NAME of /etc/os-release, for display.
std::optional<std::string> operatingSystemName(
    const std::string& osReleasePath = "/etc/os-release");
// /sys/class/dmi/id/product_name, trimmed; nothing when absent.
std::optional<std::string> hardwareModel();
// uname's machine field, e.g. x86_64.
std::string machineArchitecture();
// Whether an inotify instance can be made here.
bool realTimeWatchingAvailable();

}  // namespace vorn
