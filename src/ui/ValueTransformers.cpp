#include "ui/ValueTransformers.h"

namespace vorn {

std::string loginNameToFtpName(const std::optional<std::string>& login, const std::string& domain) {
    if (!login) return kSiteUnknownText;
    if (login->empty()) return "Please Enter Your Login Name...";
    return "http://" + *login + "." + domain;
}

std::string showSpaces(const std::optional<std::string>& text) {
    if (!text) return kSiteUnknownText;
    if (text->empty()) return "";
    return "[" + *text + "]";
}

}  // namespace vorn
