#pragma once
// Just enough JSON for the request log (writing) and the orders file (reading).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vorn::photoservice {

// Length of the valid UTF-8 sequence that starts at s[i] (i < s.size()), or 0.
std::size_t utf8SequenceLength(std::string_view s, std::size_t i);

// A JSON string literal for arbitrary bytes. Valid UTF-8 passes through; a byte that is not
// part of a valid UTF-8 sequence is written as \u00XX (its Latin-1 reading), so every line of
// the log stays valid JSON whatever a client sent.
std::string jsonQuote(std::string_view bytes);

// Builds one JSON text; commas are placed automatically.
class JsonWriter {
  public:
    JsonWriter& beginObject();
    JsonWriter& endObject();
    JsonWriter& beginArray();
    JsonWriter& endArray();
    JsonWriter& key(std::string_view name);
    JsonWriter& string(std::string_view bytes);
    JsonWriter& number(std::int64_t value);
    JsonWriter& number(double value);
    JsonWriter& boolean(bool value);
    JsonWriter& null();

    const std::string& str() const { return out_; }

  private:
    void separate();
    std::string out_;
    std::vector<bool> first_;  // per open container: nothing written yet
    bool afterKey_ = false;
};

struct JsonValue {
    enum class Type { Null, Bool, Number, String, Array, Object };
    Type type = Type::Null;
    bool boolean = false;
    double number = 0;
    std::string string;
    std::vector<JsonValue> array;
    std::vector<std::pair<std::string, JsonValue>> object;

    bool isString() const { return type == Type::String; }
    bool isObject() const { return type == Type::Object; }
    bool isArray() const { return type == Type::Array; }
    bool isNumber() const { return type == Type::Number; }
    // First member of that name, or null.
    const JsonValue* find(std::string_view name) const;
};

// Parses one JSON text (RFC 8259). On failure answers nothing and sets *error.
std::optional<JsonValue> parseJson(std::string_view text, std::string* error = nullptr);

}  // namespace vorn::photoservice
