#pragma once
// Helpers of the search for an order's original file (KDW_FileManager::doResolveOriginalPath...)
// and the folder tests that go with it.

#include <optional>
#include <string>
#include <vector>

namespace vorn {

// The original path as stored in a photo's metadata, with its percent escapes decoded. Each run
// of escapes is taken as UTF-8 when it is well-formed UTF-8 (what file URLs carry), else as
// Mac OS Roman. Nothing for a malformed escape ("%", "%4", "%zz") or an escaped NUL.
std::optional<std::string> replacingPercentEscapes(const std::string& text);

// Path components in the manner of pathComponents: "/" first for an absolute path, empty
// components (doubled or trailing slashes) dropped. "/a//b/" -> {"/", "a", "b"}.
std::vector<std::string> pathComponents(const std::string& path);

// The names in a folder, one level, without "." and "..", sorted so that every run walks in the
// same order; empty for a folder that cannot be read.
std::vector<std::string> directoryContentsAtPath(const std::string& folder);

// True when the item must not be searched: its name begins with "." (how Linux marks hidden
// items), or its path is exactly "/Network", "/mach", "/mach.sym" or "/dev".
bool isInvisibleFileAtPath2(const std::string& path);

// True when the existing folder at path is the startup volume ("/") or a mount folder or the
// top folder of a volume mounted in it: "/Volumes" (any case) and "/Volumes/<name>"; "/media",
// "/media/<name>", "/media/<user>/<name>"; "/run/media/<user>" and "/run/media/<user>/<name>";
// "/mnt" and "/mnt/<name>". An empty path, a missing one or a file: false.
bool isRootVolume(const std::string& path);

}  // namespace vorn
