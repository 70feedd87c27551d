#pragma once
// Small text helpers shared by the core.

#include <string>
#include <string_view>

namespace vorn {

// The text without the white space (blanks, tabs, line and page ends) at either end.
inline std::string trimmed(std::string_view s) {
    constexpr std::string_view ws = " \t\r\n\v\f";
    std::size_t b = s.find_first_not_of(ws);
    if (b == std::string_view::npos) return "";
    return std::string(s.substr(b, s.find_last_not_of(ws) - b + 1));
}

}  // namespace vorn
