#pragma once
// The two display transformers of the login name in the preferences panel.

#include <optional>
#include <string>

namespace vorn {

inline constexpr const char* kSiteUnknownText =
    "<Site Unknown - Please Fill In Your Login Name Below...>";

// "LoginNameToFtpName": the user's web address, "http://" + login + "." + domain.
std::string loginNameToFtpName(const std::optional<std::string>& login, const std::string& domain);
// "ShowSpacesTransformer": the name in square brackets, so edge blanks show.
std::string showSpaces(const std::optional<std::string>& text);

}  // namespace vorn
