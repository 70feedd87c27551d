#include "metadata/CaptureDate.h"

#include <cctype>
#include <ctime>

#include "metadata/Exiv2Access.h"
#include "platform/FileTimes.h"
#include "platform/PlatformLog.h"

namespace vorn {
namespace {

// The exiv2 group that holds a property dictionary of the image.
const char* exivGroupFor(const std::string& dictionaryKey) {
    if (dictionaryKey == kExifDictionary) return "Photo";
    if (dictionaryKey == kTiffDictionary) return "Image";
    if (dictionaryKey == "GPS") return "GPSInfo";
    return nullptr;
}

bool digits(std::string_view s, std::size_t pos, std::size_t n, int& out) {
    out = 0;
    for (std::size_t k = pos; k < pos + n; ++k) {
        if (!std::isdigit(static_cast<unsigned char>(s[k]))) return false;
        out = out * 10 + (s[k] - '0');
    }
    return true;
}

int daysInMonth(int year, int month) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

constexpr long long k1904 = -2082844800LL;  // 1904-01-01 00:00:00 UTC

long long wholeSeconds(SystemTime t) {
    return std::chrono::floor<std::chrono::seconds>(t.time_since_epoch()).count();
}

}  // namespace

std::optional<SystemTime> exifDateTimeToTime(std::string_view text) {
    auto blank = text.find(' ');
    if (blank == std::string_view::npos || blank == 0) return std::nullopt;
    std::string date(text.substr(0, blank));
    std::string_view time = text.substr(blank + 1);
    for (auto& c : date) {
        if (c == ':') c = '-';
    }
    int y, mo, d, h, mi, s;
    if (date.size() != 10 || date[4] != '-' || date[7] != '-' || !digits(date, 0, 4, y) ||
        !digits(date, 5, 2, mo) || !digits(date, 8, 2, d)) {
        return std::nullopt;
    }
    if (time.size() != 8 || time[2] != ':' || time[5] != ':' || !digits(time, 0, 2, h) ||
        !digits(time, 3, 2, mi) || !digits(time, 6, 2, s)) {
        return std::nullopt;
    }
    // Years outside 1900..2200 are no camera's; they would also overflow the clock's range.
    if (y < 1900 || y > 2200 || mo < 1 || mo > 12 || d < 1 || d > daysInMonth(y, mo) || h > 23 ||
        mi > 59 || s > 59) {
        return std::nullopt;
    }
    // The camera wrote local wall-clock time: read it with the zone rules of the capture date,
    // not the offset of today, or photos from the other side of a daylight-saving change
    // would be sent an hour off.
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    tm.tm_isdst = -1;
    tm.tm_wday = -1;
    std::time_t t = std::mktime(&tm);
    if (tm.tm_wday == -1) return std::nullopt;
    return std::chrono::system_clock::from_time_t(t);
}

std::optional<SystemTime> GetInternalPictureCaptureDate(const std::string& path,
                                                        const std::string& propertyDictionaryKey,
                                                        const std::string& dateKey) {
    if (path.empty()) return std::nullopt;
    const std::string label = stringWithFormat("GetInternalPictureCaptureDate for %s with {%s} =>",
                                               path.c_str(), propertyDictionaryKey.c_str());
    auto opened = detail::openImageForReading(path);
    if (opened.status == detail::ImageOpenStatus::Unreadable) {
        platformLog("%s GetInternalPictureCaptureDate => CGImageSourceCreateWithURL returned NIL",
                    label.c_str());
        return std::nullopt;
    }
    if (opened.status != detail::ImageOpenStatus::Opened) {
        platformLog("%s There is NO MetaData in this Image File...", label.c_str());
        return std::nullopt;
    }

    std::optional<std::string> text;
    bool haveDictionary = false;
    try {
        const Exiv2::ExifData& exif = opened.image->exifData();
        const char* group = exivGroupFor(propertyDictionaryKey);
        if (group) {
            for (const auto& datum : exif) {
                if (datum.groupName() == group) {
                    haveDictionary = true;
                    break;
                }
            }
        }
        if (haveDictionary) {
            auto it = exif.findKey(Exiv2::ExifKey(std::string("Exif.") + group + "." + dateKey));
            if (it != exif.end() && it->typeId() == Exiv2::asciiString) text = it->toString();
        }
    } catch (...) {
        text.reset();  // an unknown tag name
    }
    if (!haveDictionary) {
        platformLog("%s This Image File Does NOT have any %s Properties MetaData...", label.c_str(),
                    propertyDictionaryKey.c_str());
        return std::nullopt;
    }
    if (!text) {
        // A photo without this date is common (the file's date is used): a trace, no warning.
        logAt(LogLevel::Debug,
              "%s GetInternalPictureCaptureDate => kCGImagePropertyTIFFDateTime FAILED????",
              label.c_str());
        return std::nullopt;
    }
    if (!text->empty() && (*text)[0] == ' ') {
        platformLog("%s This File may NOT have a valid date/time field...", label.c_str());
        return std::nullopt;
    }
    return exifDateTimeToTime(*text);
}

std::optional<SystemTime> photoDateFromFileDates(std::optional<SystemTime> creation,
                                                 std::optional<SystemTime> modification) {
    if (!creation) {
        platformLog("GetAndUpdateFileCreationDate -> file may NOT exist anymore?????");
        return std::nullopt;
    }
    std::optional<SystemTime> result = creation;
    if (isZeroFileDate(*creation)) {
        if (wholeSeconds(*creation) == k1904) {
            platformLog("fileCreationDate isEqualToDate: Jan 1, 1904\n");
        } else {
            platformLog("fileCreationDate isEqualToDate: Jan 1, 1970\n");
        }
        result = modification;
    }
    if (!result) return std::nullopt;
    platformLog("Returning Creation Date of: [%s]",
                formatLocalTime(*result, "%Y-%m-%d %H:%M:%S %z").c_str());
    return result;
}

std::optional<SystemTime> GetAndUpdateFileCreationDate(const std::string& path,
                                                       bool useInternalDate) {
    platformLog("Inside GetAndUpdateFileCreationDate...");
    if (useInternalDate) {
        if (auto date =
                GetInternalPictureCaptureDate(path, kExifDictionary, kExifDateTimeOriginal)) {
            return date;
        }
    }
    platformLog(
        "GetAndUpdateFileCreationDate -> Image File did NOT contain MetaTag Data for Internal "
        "Creation Date...");
    // Birth time where the file system keeps one, else the modification time.
    return photoDateFromFileDates(fileBirthTime(path), fileModificationTime(path));
}

}  // namespace vorn
