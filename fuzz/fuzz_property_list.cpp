// Property-list parsing on arbitrary bytes (XML and binary), then writing what was parsed as
// XML and parsing that again: hostile nesting, NUL bytes or odd types must never crash.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/PropertyList.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::string error;
    auto value = vorn::parsePropertyList(bytes, &error);
    if (!value) return 0;
    (void)value->description();
    std::string xml = vorn::toXmlPropertyList(*value);
    (void)vorn::parsePropertyList(xml);
    return 0;
}
