#pragma once
// Reading the service's reply to an upload: the body decoded as Mac OS Roman text, parsed as
// XML, the root element's first two element children read by position as the status word and
// the message.

#include <optional>
#include <string>
#include <string_view>

namespace pugi {
class xml_node;
}

namespace vorn {

inline constexpr const char* kNotEnoughDataMessage = "Not enough data returned...";
// The message recorded with "FAIL" for a reply longer than the exchange reads.
inline constexpr const char* kReplyTooLargeMessage = "unreadable reply: larger than 1 MiB";

// Mac OS Roman bytes as UTF-8 text, from a built-in table: never nothing, so a system without
// a converter for it still reads "FAIL" as FAIL.
std::optional<std::string> decodeMacRoman(std::string_view bytes);

struct ServiceReply {
    std::string status;   // httpOurCustomStatus
    std::string message;  // httpOurCustomMessage
};

// Parses the decoded text. Not XML: "FAIL" with the parser's description. Fewer than two
// element children under the root: "FAIL", "Not enough data returned...". Otherwise the text
// of the first and second child, with surrounding white space trimmed (a status word on its own
// indented line is still that word). Each child's name, text and "imageid" child are logged.
ServiceReply readServiceReply(const std::string& text);

// The same positional reading without fallback values: nothing when the text is not XML (the
// parser's description in *error) or the root has fewer than two element children (error left
// empty). Logged as above.
std::optional<ServiceReply> readPositionalReply(const std::string& text,
                                                std::string* error = nullptr);

// The text of an element and all its descendants, in document order (its string value).
std::string elementStringValue(const pugi::xml_node& element);

}  // namespace vorn
