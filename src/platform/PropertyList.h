#pragma once
// Property lists (what CFPropertyList was): XML and binary ("bplist00") in, XML out.
// Parsing goes through libplist after a structural check of our own, because libplist frees
// and parses nested containers recursively and would run off the stack on hostile input.

#include <optional>
#include <string>
#include <string_view>

#include "platform/Value.h"

namespace vorn {

// XML or binary property list in, Value out. Nothing on failure, with a reason in *error.
std::optional<Value> parsePropertyList(std::string_view bytes, std::string* error = nullptr);
std::optional<Value> readPropertyListFile(const std::string& path, std::string* error = nullptr);

// XML out in Apple's layout: XML declaration, the Apple PLIST 1.0 DOCTYPE, <plist
// version="1.0">, tab indentation, dictionary keys sorted. Entries holding Value::None are left
// out (a None root writes an empty <plist> element).
std::string toXmlPropertyList(const Value& root);

// Deepest container nesting accepted when parsing.
inline constexpr int kPropertyListMaxDepth = 512;

}  // namespace vorn
