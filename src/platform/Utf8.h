#pragma once
// UTF-8 checks shared by everything that takes text from files, processes or the network.

#include <string_view>

namespace vorn {

// Well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::string_view bytes);

}  // namespace vorn
