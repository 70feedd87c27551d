#pragma once
// Path text operations in the manner of NSString's path methods.

#include <string>

namespace vorn {

// "~" or "~/..." becomes the home folder ($HOME, else the password database).
std::string expandTildeInPath(const std::string& path);
std::string homeDirectory();
// "a/b/c.jpg" -> "c.jpg"; trailing slashes ignored.
std::string lastPathComponent(const std::string& path);
// "a/b/c.jpg" -> "a/b"; "c.jpg" -> "".
std::string deletingLastPathComponent(const std::string& path);
// "c.jpg" -> "jpg"; no extension (or a leading-dot name) -> "".
std::string pathExtension(const std::string& path);
// "a/b/c.jpg" -> "a/b/c".
std::string deletingPathExtension(const std::string& path);
// Joins with exactly one "/" between the parts; an empty part leaves the other unchanged.
std::string appendingPathComponent(const std::string& base, const std::string& component);

// Whether something is at the path; a link counts, even one that leads nowhere.
bool existsAtPath(const std::string& path);
// Whether the path, links followed, leads to something (to a folder).
bool existsFollowingLinks(const std::string& path);
bool isFolderFollowingLinks(const std::string& path);

}  // namespace vorn
