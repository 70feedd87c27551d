#include "metadata/ImageFile.h"

#include <filesystem>
#include <string_view>

#include "metadata/Exiv2Access.h"

namespace vorn {
namespace {

// Length of the white space (tab, or a Unicode space separator in UTF-8) at s[i], or 0.
std::size_t whiteSpaceAt(std::string_view s, std::size_t i) {
    static const std::string_view kSpaces[] = {" ",
                                               "\t",
                                               "\xc2\xa0",
                                               "\xe1\x9a\x80",
                                               "\xe2\x80\x80",
                                               "\xe2\x80\x81",
                                               "\xe2\x80\x82",
                                               "\xe2\x80\x83",
                                               "\xe2\x80\x84",
                                               "\xe2\x80\x85",
                                               "\xe2\x80\x86",
                                               "\xe2\x80\x87",
                                               "\xe2\x80\x88",
                                               "\xe2\x80\x89",
                                               "\xe2\x80\x8a",
                                               "\xe2\x80\xaf",
                                               "\xe2\x81\x9f",
                                               "\xe3\x80\x80"};
    for (auto sp : kSpaces) {
        if (s.substr(i, sp.size()) == sp) return sp.size();
    }
    return 0;
}

std::string_view trimWhiteSpace(std::string_view s) {
    std::size_t n;
    while (!s.empty() && (n = whiteSpaceAt(s, 0)) > 0) s.remove_prefix(n);
    for (bool trimmed = true; trimmed && !s.empty();) {
        trimmed = false;
        for (std::size_t len = 1; len <= 3 && len <= s.size(); ++len) {
            if (whiteSpaceAt(s, s.size() - len) == len) {
                s.remove_suffix(len);
                trimmed = true;
                break;
            }
        }
    }
    return s;
}

}  // namespace

bool IsValidImageObject(const std::string& path) {
    auto opened = detail::openImageForReading(path);
    if (opened.status != detail::ImageOpenStatus::Opened) return false;
    return opened.image->pixelWidth() > 0 && opened.image->pixelHeight() > 0;
}

std::string getBaseIDFromFileName(const std::string& path) {
    std::string_view p = path;
    while (p.size() > 1 && p.back() == '/') p.remove_suffix(1);
    std::filesystem::path name = std::filesystem::path(std::string(p)).filename();
    std::string stem = name.stem().string();
    std::string_view trimmed = trimWhiteSpace(stem);
    auto cut = trimmed.find('_');
    if (cut == std::string_view::npos) cut = trimmed.find(' ');
    return std::string(trimmed.substr(0, cut));
}

}  // namespace vorn
