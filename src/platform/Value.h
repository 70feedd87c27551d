#pragma once
// One property-list value type: what NSString, NSNumber, NSDate, NSData, NSArray and
// NSDictionary were. Records travelling through the upload cycle are shared dictionaries
// (DictionaryPtr), so that "empty the record" is seen by every holder.

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace vorn {

class Value;
using Array = std::vector<Value>;
using Dictionary = std::map<std::string, Value>;
using DictionaryPtr = std::shared_ptr<Dictionary>;
using Data = std::vector<std::uint8_t>;
using TimePoint = std::chrono::system_clock::time_point;

// A point in time, kept as seconds since 1970-01-01 00:00:00 UTC.
struct Date {
    double secondsSince1970 = 0;
    static Date fromTimePoint(TimePoint t);
    TimePoint toTimePoint() const;
    bool operator==(const Date&) const = default;
};

class Value {
  public:
    enum class Type { None, String, Integer, Real, Boolean, Date, Data, Array, Dictionary };

    Value() = default;
    Value(std::string s) : v_(std::move(s)) {}
    Value(const char* s) : v_(std::string(s)) {}
    Value(std::int64_t i) : v_(i) {}
    Value(int i) : v_(static_cast<std::int64_t>(i)) {}
    Value(double d) : v_(d) {}
    Value(bool b) : v_(b) {}
    Value(Date d) : v_(d) {}
    Value(Data d) : v_(std::move(d)) {}
    Value(Array a) : v_(std::move(a)) {}
    Value(Dictionary d) : v_(std::move(d)) {}

    Type type() const { return static_cast<Type>(v_.index()); }
    bool isNone() const { return type() == Type::None; }
    bool isString() const { return type() == Type::String; }
    bool isNumber() const {
        return type() == Type::Integer || type() == Type::Real || type() == Type::Boolean;
    }
    bool isArray() const { return type() == Type::Array; }
    bool isDictionary() const { return type() == Type::Dictionary; }

    // Exact accessors: nullptr when the value holds another type.
    const std::string* asString() const { return std::get_if<std::string>(&v_); }
    const Array* asArray() const { return std::get_if<Array>(&v_); }
    Array* asArray() { return std::get_if<Array>(&v_); }
    const Dictionary* asDictionary() const { return std::get_if<Dictionary>(&v_); }
    Dictionary* asDictionary() { return std::get_if<Dictionary>(&v_); }
    const Data* asData() const { return std::get_if<Data>(&v_); }
    const Date* asDate() const { return std::get_if<Date>(&v_); }
    std::optional<std::int64_t> asInteger() const;  // Integer only
    std::optional<double> asReal() const;           // Real only
    std::optional<bool> asBoolean() const;          // Boolean only

    // Cocoa-style conversions (NSNumber / NSString value methods).
    bool boolValue() const;  // numbers: non-zero; text: leading Y/y/T/t or a non-zero number
    std::int64_t integerValue() const;  // numbers truncated toward zero; text: leading integer
    double doubleValue() const;         // numbers; text: leading decimal number (as atof)
    std::string stringValue() const;    // text itself; numbers printed; otherwise empty

    // A readable rendering for log lines (like an NSDictionary description).
    std::string description(int indent = 0) const;

    bool operator==(const Value& other) const { return v_ == other.v_; }

  private:
    std::variant<std::monostate, std::string, std::int64_t, double, bool, Date, Data, Array,
                 Dictionary>
        v_;
};

// Record helpers.
DictionaryPtr makeRecord(Dictionary d = {});
// The text under key, or nullptr when absent or not text.
const std::string* stringForKey(const Dictionary& d, const std::string& key);
bool hasKey(const Dictionary& d, const std::string& key);

}  // namespace vorn
