#pragma once
// The upload metadata that the capture software embeds in every photo: an XML property list
// whose root is a dictionary, in the Exif UserComment of a JPEG or in the last 2048 bytes of a
// PNG. Both readers answer nothing on any failure (and log why); neither throws.

#include <optional>
#include <string>

#include "platform/Value.h"

namespace vorn {

inline constexpr std::size_t kVornPngMetaDataLength = 2048;

// Keys of the embedded dictionary.
inline constexpr const char* kMetaVersion = "Version";
inline constexpr const char* kMetaOriginalPath = "OriginalPath";
inline constexpr const char* kMetaSittingInfoDictionary = "SittingInfoDictionary";
inline constexpr const char* kMetaEmailsForUpload = "KD_emailsForUpload";
inline constexpr const char* kMetaRadudivInfo = "KD_radudivInfo";

// The dictionary in the Exif UserComment of the image at path (any extension), or nothing.
// Only the photo's header is read, never its pixel data.
std::optional<Value> getVornMetaDataFromJpeg(const std::string& path);

// The dictionary in the last 2048 bytes of the file at path, or nothing; nothing at once when
// the name does not end in ".png" (any case). Only those 2048 bytes are read.
std::optional<Value> getVornMetaDataFromPng(const std::string& path);

}  // namespace vorn
