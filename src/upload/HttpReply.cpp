#include "upload/HttpReply.h"

#include <cerrno>
#include <pugixml.hpp>

#include "platform/PlatformLog.h"
#include "platform/Text.h"
#include "platform/Utf8.h"
#include "upload/Records.h"

namespace vorn {

namespace {

// The text of an element and all its descendants, in document order. A walk, not a recursion:
// a reply nested a million levels deep must not overflow the stack.
void appendText(const pugi::xml_node& node, std::string& out) {
    pugi::xml_node cur = node.first_child();
    while (cur) {
        if (cur.type() == pugi::node_pcdata || cur.type() == pugi::node_cdata) {
            out += cur.value();
        } else if (cur.type() == pugi::node_element && cur.first_child()) {
            cur = cur.first_child();
            continue;
        }
        while (cur != node && !cur.next_sibling()) cur = cur.parent();
        if (cur == node) break;
        cur = cur.next_sibling();
    }
}

std::string textOf(const pugi::xml_node& node) {
    std::string out;
    appendText(node, out);
    return out;
}

}  // namespace

std::optional<std::string> decodeMacRoman(std::string_view bytes) {
    return macRomanToUtf8(bytes);
}

std::optional<ServiceReply> readPositionalReply(const std::string& text, std::string* error) {
    if (error) error->clear();
    pugi::xml_document doc;
    // The text is already decoded: whatever encoding the declaration names is not applied again.
    pugi::xml_parse_result parsed =
        doc.load_buffer(text.data(), text.size(), pugi::parse_default, pugi::encoding_utf8);
    if (!parsed) {
        platformLog("Reply is not XML: %s (offset %lld)", parsed.description(),
                    static_cast<long long>(parsed.offset));
        if (error) *error = parsed.description();
        return std::nullopt;
    }
    std::vector<pugi::xml_node> children;
    for (pugi::xml_node child : doc.document_element().children())
        if (child.type() == pugi::node_element) children.push_back(child);
    for (std::size_t i = 0; i < children.size(); ++i) {
        const pugi::xml_node& child = children[i];
        platformLog("Reply child %zu: [%s] = [%s]", i, child.name(), textOf(child).c_str());
        if (pugi::xml_node imageId = child.child("imageid"))
            platformLog("Reply child %zu imageid: [%s]", i, textOf(imageId).c_str());
    }
    if (children.size() < 2) {
        platformLog("NOT GETTING Enough data back from Response??????");
        return std::nullopt;
    }
    return ServiceReply{trimmed(textOf(children[0])), trimmed(textOf(children[1]))};
}

ServiceReply readServiceReply(const std::string& text) {
    std::string error;
    if (std::optional<ServiceReply> reply = readPositionalReply(text, &error)) return *reply;
    if (!error.empty()) return {kStatusFail, error};
    return {kStatusFail, kNotEnoughDataMessage};
}

std::string elementStringValue(const pugi::xml_node& element) {
    return textOf(element);
}

}  // namespace vorn
