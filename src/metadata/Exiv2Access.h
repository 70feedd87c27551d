#pragma once
// Opening a photo with exiv2 for reading only: quiet, no exceptions, and only the bytes its
// header parsing asks for are read (with read calls, not a mapping the photo's writer could
// truncate under us). A photo whose metadata lies in its first bytes (a JPEG's does) is parsed
// from those, read at once; any other from the file.

#include <memory>
#include <string>
#include <vector>

#include <exiv2/exiv2.hpp>

namespace vorn::detail {

enum class ImageOpenStatus { Opened, Unreadable, NotAnImage };

struct OpenedImage {
    ImageOpenStatus status = ImageOpenStatus::Unreadable;
    std::shared_ptr<const std::vector<Exiv2::byte>> head;  // what image reads from, if not the file
    std::unique_ptr<Exiv2::Image> image;                   // metadata already read when Opened
};

// Unreadable: missing, not a regular file, or cannot be opened. NotAnImage: exiv2 does not
// know the format, or its header does not parse.
OpenedImage openImageForReading(const std::string& path);

// The raw bytes of an Exif value as stored in the file.
std::string rawExifBytes(const Exiv2::Exifdatum& datum, Exiv2::ByteOrder order);

}  // namespace vorn::detail
