#include "metadata/EmbeddedMetadata.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <filesystem>

#include "metadata/Exiv2Access.h"
#include "metadata/TextCoding.h"
#include "platform/PlatformLog.h"
#include "platform/PropertyList.h"

namespace vorn {
namespace {

// The metadata must be an XML property list with a dictionary root. Text that is not XML
// (a binary or any other property-list form) is refused before it reaches the parser.
std::optional<Value> parseMetadataText(std::string_view text) {
    auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos || text[first] != '<') return std::nullopt;
    auto parsed = parsePropertyList(text);
    if (!parsed || !parsed->isDictionary()) return std::nullopt;
    return parsed;
}

void logFoundKeys(const Dictionary& d, bool withEmails) {
    auto describe = [&](const char* key) -> std::optional<std::string> {
        auto it = d.find(key);
        if (it == d.end()) return std::nullopt;
        return it->second.isString() ? *it->second.asString() : it->second.description();
    };
    if (withEmails) {
        if (auto v = describe(kMetaEmailsForUpload)) {
            platformLog("Found EmailArray = [%s]", v->c_str());
        } else {
            platformLog("Dictionary does NOT include KD_emailsForUpload");
        }
    }
    if (auto v = describe(kMetaVersion)) {
        platformLog("Found versionString = [%s]", v->c_str());
    } else {
        platformLog("Dictionary does NOT include versionString");
    }
    if (auto v = describe(kMetaOriginalPath)) {
        platformLog("Found pathString = [%s]", v->c_str());
    } else {
        platformLog("Dictionary does NOT include pathString");
    }
}

bool hasPngExtension(const std::string& path) {
    std::string ext = std::filesystem::path(path).extension().string();
    if (ext.size() != 4) return false;
    for (auto& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext == ".png";
}

// The block text without its trailing NUL filler; nothing when a NUL remains inside (the
// property-list parser must never see one) or the bytes are not UTF-8.
std::optional<std::string_view> pngBlockText(std::string_view block) {
    auto end = block.find_last_not_of('\0');
    std::string_view text =
        end == std::string_view::npos ? std::string_view{} : block.substr(0, end + 1);
    if (text.find('\0') != std::string_view::npos) return std::nullopt;
    if (!isValidUtf8(text)) return std::nullopt;
    return text;
}

}  // namespace

std::optional<Value> getVornMetaDataFromJpeg(const std::string& path) {
    auto opened = detail::openImageForReading(path);
    if (opened.status == detail::ImageOpenStatus::Unreadable) {
        platformLog("getVornMetaDataFromJpeg cannot open filename: [%s]", path.c_str());
        return std::nullopt;
    }
    if (opened.status != detail::ImageOpenStatus::Opened || opened.image->exifData().empty()) {
        platformLog("getVornMetaDataFromJpeg => could NOT Find EXIF Data jpgFile = [%s]",
                    path.c_str());
        return std::nullopt;
    }

    std::string raw;
    try {
        const Exiv2::ExifData& exif = opened.image->exifData();
        auto it = exif.findKey(Exiv2::ExifKey("Exif.Photo.UserComment"));
        if (it != exif.end()) raw = detail::rawExifBytes(*it, opened.image->byteOrder());
    } catch (...) {
        raw.clear();
    }
    auto decoded = decodeExifUserComment(raw, opened.image->byteOrder() == Exiv2::bigEndian);
    if (decoded.status == UserCommentStatus::Missing) {
        platformLog("getVornMetaDataFromJpeg => could FIND userComment in EXIF Data = [%s]",
                    path.c_str());
        return std::nullopt;
    }
    if (decoded.status != UserCommentStatus::Text) {
        platformLog(
            "getVornMetaDataFromJpeg => could NOT convert userComment to NSData with "
            "NSUTF8StringEncoding?????");
        return std::nullopt;
    }
    platformLog("userComment is:\n%s\n\n", decoded.text.c_str());

    auto result = parseMetadataText(decoded.text);
    if (!result) {
        platformLog("getVornMetaDataFromJpeg => CANNOT create userdata to plistObj???");
        return std::nullopt;
    }
    platformLog("%s", result->description().c_str());
    logFoundKeys(*result->asDictionary(), true);
    return result;
}

std::optional<Value> getVornMetaDataFromPng(const std::string& path) {
    if (!hasPngExtension(path)) {
        platformLog("getVornMetaDataFromPng found that [%s] is NOT a png file...", path.c_str());
        return std::nullopt;
    }
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0) ::close(fd);
        platformLog("getVornMetaDataFromPng cannot open filename: [%s]", path.c_str());
        return std::nullopt;
    }
    const auto length = static_cast<long long>(st.st_size);
    platformLog("getVornMetaDataFromPng -> length of [%s] = [%lld]", path.c_str(), length);
    if (length <= static_cast<long long>(kVornPngMetaDataLength)) {
        ::close(fd);
        platformLog(
            "getVornMetaDataFromPng => File Length is smaller than kVornPngMetaDataLength = "
            "[%i]?????",
            static_cast<int>(kVornPngMetaDataLength));
        return std::nullopt;
    }

    std::string block(kVornPngMetaDataLength, '\0');
    std::size_t got = 0;
    while (got < block.size()) {
        ssize_t n = ::pread(fd, block.data() + got, block.size() - got,
                            static_cast<off_t>(length - static_cast<long long>(block.size()) +
                                               static_cast<long long>(got)));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (got != block.size()) {
        // Shrunk while we read it: being rewritten, so not ready.
        platformLog("getVornMetaDataFromPng cannot open filename: [%s]", path.c_str());
        return std::nullopt;
    }

    auto text = pngBlockText(block);
    platformLog("vornMetaData as NSString is:\n%s", text ? std::string(*text).c_str() : "(null)");
    auto result = text ? parseMetadataText(*text) : std::nullopt;
    if (!result) {
        platformLog("getVornMetaDataFromPng => CANNOT create userdata to plistObj???");
        return std::nullopt;
    }
    logFoundKeys(*result->asDictionary(), false);
    return result;
}

}  // namespace vorn
