#pragma once
// UTF-8 checks shared by everything that takes text from files, processes or the network.

#include <string>
#include <string_view>

namespace vorn {

// Well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::string_view bytes);

// The bytes as well-formed UTF-8: each byte that does not begin a well-formed sequence becomes
// U+FFFD (a file name written on another system, say, shown or sent as text).
std::string utf8Replacing(std::string_view bytes);

// Mac OS Roman bytes as UTF-8 text, from a table of our own: every byte has its character, so
// this never fails, whatever converters the system has.
std::string macRomanToUtf8(std::string_view bytes);

}  // namespace vorn
