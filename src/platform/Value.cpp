#include "platform/Value.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sstream>

namespace vorn {

Date Date::fromTimePoint(TimePoint t) {
    using namespace std::chrono;
    return Date{duration<double>(t.time_since_epoch()).count()};
}

TimePoint Date::toTimePoint() const {
    using namespace std::chrono;
    return TimePoint(duration_cast<system_clock::duration>(duration<double>(secondsSince1970)));
}

std::optional<std::int64_t> Value::asInteger() const {
    if (auto p = std::get_if<std::int64_t>(&v_)) return *p;
    return std::nullopt;
}

std::optional<double> Value::asReal() const {
    if (auto p = std::get_if<double>(&v_)) return *p;
    return std::nullopt;
}

std::optional<bool> Value::asBoolean() const {
    if (auto p = std::get_if<bool>(&v_)) return *p;
    return std::nullopt;
}

bool Value::boolValue() const {
    switch (type()) {
        case Type::Boolean:
            return *asBoolean();
        case Type::Integer:
            return *asInteger() != 0;
        case Type::Real:
            return *asReal() != 0.0;
        case Type::String: {
            const std::string& s = *asString();
            size_t i = s.find_first_not_of(" \t\r\n");
            if (i == std::string::npos) return false;
            char c = s[i];
            if (c == 'Y' || c == 'y' || c == 'T' || c == 't') return true;
            return std::strtoll(s.c_str() + i, nullptr, 10) != 0;
        }
        default:
            return false;
    }
}

std::int64_t Value::integerValue() const {
    switch (type()) {
        case Type::Boolean:
            return *asBoolean() ? 1 : 0;
        case Type::Integer:
            return *asInteger();
        case Type::Real: {
            double d = *asReal();
            if (std::isnan(d)) return 0;
            if (d >= 9.2e18) return INT64_MAX;
            if (d <= -9.2e18) return INT64_MIN;
            return static_cast<std::int64_t>(d);
        }
        case Type::String:
            return std::strtoll(asString()->c_str(), nullptr, 10);
        default:
            return 0;
    }
}

double Value::doubleValue() const {
    switch (type()) {
        case Type::Boolean:
            return *asBoolean() ? 1.0 : 0.0;
        case Type::Integer:
            return static_cast<double>(*asInteger());
        case Type::Real:
            return *asReal();
        case Type::String:
            return std::atof(asString()->c_str());
        default:
            return 0;
    }
}

std::string Value::stringValue() const {
    switch (type()) {
        case Type::String:
            return *asString();
        case Type::Integer:
            return std::to_string(*asInteger());
        case Type::Boolean:
            return *asBoolean() ? "1" : "0";
        case Type::Real: {
            std::ostringstream os;
            os.precision(17);
            os << *asReal();
            return os.str();
        }
        default:
            return {};
    }
}

namespace {
std::string pad(int indent) {
    return std::string(static_cast<size_t>(indent) * 4, ' ');
}

std::string quoteIfNeeded(const std::string& s) {
    bool plain = !s.empty();
    for (char c : s) {
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.' || c == '/')) {
            plain = false;
            break;
        }
    }
    if (plain) return s;
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}
}  // namespace

std::string Value::description(int indent) const {
    switch (type()) {
        case Type::None:
            return "(null)";
        case Type::String:
            return quoteIfNeeded(*asString());
        case Type::Integer:
        case Type::Real:
            return stringValue();
        case Type::Boolean:
            return *asBoolean() ? "1" : "0";
        case Type::Date: {
            std::time_t t = static_cast<std::time_t>(asDate()->secondsSince1970);
            std::tm tm{};
            gmtime_r(&t, &tm);
            char buf[64];
            std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S +0000", &tm);
            return buf;
        }
        case Type::Data: {
            std::string out = "<";  // appended: "<" + ... trips GCC 12's -Wrestrict at -O2
            out += std::to_string(asData()->size());
            return out + " bytes>";
        }
        case Type::Array: {
            std::string out = "(\n";
            const Array& a = *asArray();
            for (size_t i = 0; i < a.size(); ++i) {
                out += pad(indent + 1) + a[i].description(indent + 1);
                out += (i + 1 < a.size()) ? ",\n" : "\n";
            }
            return out + pad(indent) + ")";
        }
        case Type::Dictionary: {
            std::string out = "{\n";
            for (const auto& [k, v] : *asDictionary())
                out +=
                    pad(indent + 1) + quoteIfNeeded(k) + " = " + v.description(indent + 1) + ";\n";
            return out + pad(indent) + "}";
        }
    }
    return {};
}

DictionaryPtr makeRecord(Dictionary d) {
    return std::make_shared<Dictionary>(std::move(d));
}

const std::string* stringForKey(const Dictionary& d, const std::string& key) {
    auto it = d.find(key);
    return it == d.end() ? nullptr : it->second.asString();
}

bool hasKey(const Dictionary& d, const std::string& key) {
    return d.count(key) != 0;
}

}  // namespace vorn
