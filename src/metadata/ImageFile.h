#pragma once
// Cheap image checks used by the source-folder scan.

#include <string>

namespace vorn {

// True when the file at path is an image format exiv2 knows and its header reports pixel
// dimensions. The pixel data is not decoded.
bool IsValidImageObject(const std::string& path);

// The base id of a file name: the last path component without its extension, trimmed of white
// space; then the part before the first "_", else before the first space, else all of it.
// "A12_01.jpg", "A12 01.jpg" and "A12.jpg" all give "A12".
std::string getBaseIDFromFileName(const std::string& path);

}  // namespace vorn
