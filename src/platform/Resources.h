#pragma once
// Finds the application's resources: beside the executable in ../share/vorn (installed or in
// the build tree), else the build tree's share folder.

#include <optional>
#include <string>

namespace vorn {

// The folder holding the resources.
std::string resourceDirectory();
// Full path of a resource file, or nothing when it does not exist.
std::optional<std::string> pathForResource(const std::string& name);
// Full path of the running executable.
std::string executablePath();

}  // namespace vorn
