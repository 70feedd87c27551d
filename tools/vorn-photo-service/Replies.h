#pragma once
// The service's XML replies: root element, status word first, message second (the client
// reads them by position), then any further children.

#include <optional>
#include <string>
#include <string_view>

#include "Script.h"

namespace vorn::photoservice {

struct ReplyDocument {
    std::string root = "response";
    std::string status = "OK";
    std::string message;
    std::string extra;  // further children, already rendered XML (indented by two blanks)
};

struct HttpReply {
    int status = 200;
    std::string contentType = "text/xml; charset=UTF-8";
    std::string body;
    std::optional<std::string> retryAfter;  // the Retry-After header, when set
};

// Escapes text for XML; bytes that are not valid UTF-8 and characters XML 1.0 forbids
// become '?', so a reply echoing a hostile value stays well-formed.
std::string xmlEscape(std::string_view text);

// `<name>text</name>` with the text escaped.
std::string xmlElement(std::string_view name, std::string_view text);

std::string renderXml(const ReplyDocument& doc, std::string_view encoding = "UTF-8");

// Text converted from UTF-8 to the named iconv character set; nothing when the set is unknown
// or cannot hold the text.
std::optional<std::string> convertFromUtf8(std::string_view text, const std::string& encoding);

// The reply for doc as a scripted action changes it (no action: the normal reply). A status of
// Warning, ERROR or FAIL drops the further children (no image id, no order entries).
HttpReply makeReply(ReplyDocument doc, const ScriptAction* action);

}  // namespace vorn::photoservice
