#pragma once
// A photo's date: the camera's EXIF DateTimeOriginal when wanted and present, otherwise the
// file's creation date, with the two zero dates replaced by the modification date.

#include <optional>
#include <string>
#include <string_view>

#include "platform/Clock.h"

namespace vorn {

// Property sub-dictionaries of an image and the date keys in them.
inline constexpr const char* kExifDictionary = "Exif";  // Exif sub-IFD
inline constexpr const char* kTiffDictionary = "TIFF";  // IFD0
inline constexpr const char* kExifDateTimeOriginal = "DateTimeOriginal";
inline constexpr const char* kTiffDateTime = "DateTime";

// The date under dateKey in the image's propertyDictionaryKey dictionary, read as local time
// of that date; nothing when the image, the dictionary or the key is missing or the text is
// not "YYYY:MM:DD HH:MM:SS".
std::optional<SystemTime> GetInternalPictureCaptureDate(const std::string& path,
                                                        const std::string& propertyDictionaryKey,
                                                        const std::string& dateKey);

// The photo date of the file at path (symbolic links followed); with useInternalDate the EXIF
// DateTimeOriginal is tried first. Nothing when the file cannot be examined. Never changes
// the file.
std::optional<SystemTime> GetAndUpdateFileCreationDate(const std::string& path,
                                                       bool useInternalDate);

// "YYYY:MM:DD HH:MM:SS" as local time in the zone rules in force at that date (so the time
// formatted back in this zone is the text again); nothing for any other form or an
// impossible date.
std::optional<SystemTime> exifDateTimeToTime(std::string_view text);

// The file-date rule with its log lines: the creation date unless it is one of the zero
// dates (1904-01-01 or 1970-01-01 00:00:00 UTC, to the second), then the modification date.
std::optional<SystemTime> photoDateFromFileDates(std::optional<SystemTime> creation,
                                                 std::optional<SystemTime> modification);

}  // namespace vorn
