#include "platform/PropertyList.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

namespace vorn {
namespace {

// Property-list dates count from 2001-01-01 00:00:00 UTC.
constexpr double kSecondsFrom1970To2001 = 978307200.0;
// libplist takes 32-bit lengths; nothing we read comes near this.
constexpr size_t kMaxInputSize = 256u * 1024 * 1024;
// A binary list can reference one object from many places; libplist copies it each time.
constexpr std::uint64_t kMaxBinaryNodes = 1u << 20;

bool fail(std::string* error, std::string reason) {
    if (error) *error = std::move(reason);
    return false;
}

// ---- XML shape check -------------------------------------------------------------------------
// Tokenises the document the way libplist does and checks that elements nest properly and not
// too deeply. Constructs where libplist's reading could differ from ours (quotes holding '>'
// or "?>", internal DTD subsets, unknown "<!" markup) are refused outright.

bool evenQuotes(std::string_view s, size_t from, size_t to) {
    return std::count(s.begin() + static_cast<std::ptrdiff_t>(from),
                      s.begin() + static_cast<std::ptrdiff_t>(to), '"') %
               2 ==
           0;
}

bool checkXmlShape(std::string_view xml, std::string* error) {
    std::vector<std::string_view> open;
    size_t i = 0;
    for (;;) {
        size_t lt = xml.find('<', i);
        if (lt == std::string_view::npos) break;
        std::string_view rest = xml.substr(lt);
        auto skipTo = [&](size_t bodyStart, std::string_view end, const char* what) -> bool {
            size_t e = xml.find(end, bodyStart);
            if (e == std::string_view::npos)
                return fail(error, std::string("unterminated ") + what);
            if (!evenQuotes(xml, bodyStart, e))
                return fail(error, std::string("unbalanced quotes in ") + what);
            i = e + end.size();
            return true;
        };
        if (rest.starts_with("<?")) {
            if (!skipTo(lt + 2, "?>", "processing instruction")) return false;
            continue;
        }
        if (rest.starts_with("<!--")) {
            if (!skipTo(lt + 4, "-->", "comment")) return false;
            continue;
        }
        if (rest.starts_with("<![CDATA[")) {
            if (!skipTo(lt + 9, "]]>", "CDATA section")) return false;
            continue;
        }
        if (rest.starts_with("<!DOCTYPE")) {
            size_t e = xml.find('>', lt + 9);
            if (e == std::string_view::npos) return fail(error, "unterminated DOCTYPE");
            if (xml.substr(lt + 9, e - lt - 9).find('[') != std::string_view::npos)
                return fail(error, "internal DTD subsets are not supported");
            if (!evenQuotes(xml, lt + 9, e)) return fail(error, "unbalanced quotes in DOCTYPE");
            i = e + 1;
            continue;
        }
        if (rest.starts_with("<!")) return fail(error, "unsupported markup");

        size_t nameStart = lt + 1;
        size_t nameEnd = xml.find_first_of(" \r\n\t<>", nameStart);
        if (nameEnd == std::string_view::npos) return fail(error, "unterminated tag");
        size_t gt = xml.find_first_of("<>", nameEnd);
        if (gt == std::string_view::npos || xml[gt] != '>') return fail(error, "unterminated tag");
        if (!evenQuotes(xml, nameEnd, gt)) return fail(error, "unbalanced quotes in tag");
        std::string_view name = xml.substr(nameStart, nameEnd - nameStart);
        bool selfClosing = xml[gt - 1] == '/';
        if (name.starts_with('/')) {
            name.remove_prefix(1);
            if (open.empty() || open.back() != name)
                return fail(error, "mismatched closing tag </" + std::string(name) + ">");
            open.pop_back();
        } else {
            if (selfClosing && name.ends_with('/')) name.remove_suffix(1);
            if (name.empty()) return fail(error, "empty tag name");
            if (!selfClosing) {
                open.push_back(name);
                // <plist> sits above the outermost container, a leaf below the innermost.
                if (open.size() > static_cast<size_t>(kPropertyListMaxDepth) + 2)
                    return fail(error, "nested too deeply");
            }
        }
        i = gt + 1;
    }
    if (!open.empty()) return fail(error, "unclosed <" + std::string(open.back()) + ">");
    return true;
}

// ---- binary shape check ----------------------------------------------------------------------
// Walks the object graph without recursion: references in range, no cycles, nesting and the
// number of nodes libplist would build within bounds, and no dictionary key holding a NUL
// (libplist cuts such keys short, so two keys could collide).

class BinaryShape {
  public:
    explicit BinaryShape(std::string_view b) : b_(b) {}

    bool check(std::string* error) {
        if (b_.size() < 8 + 32) return fail(error, "truncated binary property list");
        size_t t = b_.size() - 32;
        offsetSize_ = byte(t + 6);
        refSize_ = byte(t + 7);
        std::uint64_t count = readBE(t + 8, 8);
        std::uint64_t top = readBE(t + 16, 8);
        tableStart_ = readBE(t + 24, 8);
        if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8)
            return fail(error, "bad binary property list trailer");
        if (count == 0 || top >= count || tableStart_ < 8 || tableStart_ > t ||
            count > (t - tableStart_) / offsetSize_)
            return fail(error, "bad binary property list trailer");
        count_ = count;
        return walk(top, error);
    }

  private:
    struct Container {
        std::uint64_t refsAt = 0;
        std::uint64_t refs = 0;  // number of object references that follow
        std::uint64_t keys = 0;  // the first `keys` references are dictionary keys
    };
    struct Frame {
        std::uint64_t object;
        Container c;
        std::uint64_t next = 0;
    };

    unsigned byte(std::uint64_t at) const { return static_cast<unsigned char>(b_[at]); }

    std::uint64_t readBE(std::uint64_t at, unsigned n) const {
        std::uint64_t v = 0;
        for (unsigned k = 0; k < n; ++k) v = (v << 8) | byte(at + k);
        return v;
    }

    bool offsetOf(std::uint64_t object, std::uint64_t* off, std::string* error) const {
        *off = readBE(tableStart_ + object * offsetSize_, offsetSize_);
        if (*off < 8 || *off >= tableStart_) return fail(error, "object offset out of range");
        return true;
    }

    // Reads the length that follows a marker whose low nibble is 0xF; pos is just past the
    // marker and ends past the length.
    bool readLength(unsigned low, std::uint64_t* pos, std::uint64_t* len,
                    std::string* error) const {
        if (low != 0xF) {
            *len = low;
            return true;
        }
        if (*pos >= tableStart_) return fail(error, "truncated object");
        unsigned marker = byte(*pos);
        unsigned n = 1u << (marker & 0xF);
        if ((marker >> 4) != 0x1 || n > 8 || *pos + 1 + n > tableStart_)
            return fail(error, "bad object length");
        *len = readBE(*pos + 1, n);
        *pos += 1 + n;
        return true;
    }

    bool containerAt(std::uint64_t object, bool* isContainer, Container* c,
                     std::string* error) const {
        std::uint64_t off;
        if (!offsetOf(object, &off, error)) return false;
        unsigned marker = byte(off);
        unsigned type = marker >> 4;
        *isContainer = type == 0xA || type == 0xC || type == 0xD;
        if (!*isContainer) return true;
        std::uint64_t pos = off + 1, n;
        if (!readLength(marker & 0xF, &pos, &n, error)) return false;
        std::uint64_t room = (tableStart_ - pos) / refSize_;
        if (n > room || (type == 0xD && n > room / 2))
            return fail(error, "container runs past the object table");
        c->refsAt = pos;
        c->keys = type == 0xD ? n : 0;
        c->refs = type == 0xD ? 2 * n : n;
        return true;
    }

    bool checkKey(std::uint64_t object, std::string* error) const {
        std::uint64_t off;
        if (!offsetOf(object, &off, error)) return false;
        unsigned marker = byte(off);
        unsigned type = marker >> 4;
        if (type != 0x5 && type != 0x6) return fail(error, "dictionary key is not text");
        std::uint64_t pos = off + 1, n;
        if (!readLength(marker & 0xF, &pos, &n, error)) return false;
        std::uint64_t unit = type == 0x5 ? 1 : 2;
        if (n > (tableStart_ - pos) / unit) return fail(error, "key runs past the object table");
        for (std::uint64_t k = 0; k < n; ++k) {
            bool nul = unit == 1 ? byte(pos + k) == 0
                                 : (byte(pos + 2 * k) == 0 && byte(pos + 2 * k + 1) == 0);
            if (nul) return fail(error, "dictionary key holds a NUL character");
        }
        return true;
    }

    bool walk(std::uint64_t top, std::string* error) {
        enum : std::uint8_t { kUnseen, kOnPath, kDone };
        std::vector<std::uint8_t> state(count_, kUnseen);
        std::vector<std::uint64_t> nodes(count_, 0);
        std::vector<Frame> path;
        auto enter = [&](std::uint64_t object) -> bool {
            bool isContainer = false;
            Container c;
            if (!containerAt(object, &isContainer, &c, error)) return false;
            if (!isContainer) {
                state[object] = kDone;
                nodes[object] = 1;
                return true;
            }
            if (path.size() >= static_cast<size_t>(kPropertyListMaxDepth))
                return fail(error, "nested too deeply");
            state[object] = kOnPath;
            nodes[object] = 1;
            path.push_back(Frame{object, c, 0});
            return true;
        };
        if (!enter(top)) return false;
        while (!path.empty()) {
            Frame& f = path.back();
            if (f.next == f.c.refs) {
                state[f.object] = kDone;
                std::uint64_t n = nodes[f.object];
                path.pop_back();
                if (!path.empty()) {
                    std::uint64_t& parent = nodes[path.back().object];
                    parent = std::min(parent + n, kMaxBinaryNodes + 1);
                }
                continue;
            }
            std::uint64_t index = f.next++;
            std::uint64_t child = readBE(f.c.refsAt + index * refSize_, refSize_);
            if (child >= count_) return fail(error, "object reference out of range");
            if (index < f.c.keys && !checkKey(child, error)) return false;
            if (state[child] == kOnPath) return fail(error, "object reference cycle");
            if (state[child] == kUnseen) {
                if (!enter(child)) return false;
                if (state[child] == kOnPath) continue;  // its nodes are added when it is done
            }
            std::uint64_t& parent = nodes[path.back().object];
            parent = std::min(parent + nodes[child], kMaxBinaryNodes + 1);
            if (parent > kMaxBinaryNodes) return fail(error, "too many objects");
        }
        if (nodes[top] > kMaxBinaryNodes) return fail(error, "too many objects");
        return true;
    }

    std::string_view b_;
    unsigned offsetSize_ = 0;
    unsigned refSize_ = 0;
    std::uint64_t count_ = 0;
    std::uint64_t tableStart_ = 0;
};

// ---- libplist nodes to Values ----------------------------------------------------------------

std::optional<Value> fromNode(plist_t node, int depth, std::string* error);

std::optional<Value> arrayFromNode(plist_t node, int depth, std::string* error) {
    Array a;
    a.reserve(plist_array_get_size(node));
    plist_array_iter it = nullptr;
    plist_array_new_iter(node, &it);
    for (;;) {
        plist_t item = nullptr;
        plist_array_next_item(node, it, &item);
        if (!item) break;
        auto v = fromNode(item, depth + 1, error);
        if (!v) {
            std::free(it);
            return std::nullopt;
        }
        a.push_back(std::move(*v));
    }
    std::free(it);
    return Value(std::move(a));
}

std::optional<Value> dictionaryFromNode(plist_t node, int depth, std::string* error) {
    Dictionary d;
    plist_dict_iter it = nullptr;
    plist_dict_new_iter(node, &it);
    for (;;) {
        char* key = nullptr;
        plist_t item = nullptr;
        plist_dict_next_item(node, it, &key, &item);
        if (!item) {
            std::free(key);
            break;
        }
        std::string k = key ? key : "";
        std::free(key);
        auto v = fromNode(item, depth + 1, error);
        if (!v) {
            std::free(it);
            return std::nullopt;
        }
        d.insert_or_assign(std::move(k), std::move(*v));
    }
    std::free(it);
    return Value(std::move(d));
}

std::optional<Value> fromNode(plist_t node, int depth, std::string* error) {
    if (depth > kPropertyListMaxDepth) {
        fail(error, "nested too deeply");
        return std::nullopt;
    }
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            std::uint8_t b = 0;
            plist_get_bool_val(node, &b);
            return Value(b != 0);
        }
        case PLIST_UINT: {
            // libplist keeps every integer unsigned; negative ones come back wrapped.
            std::uint64_t u = 0;
            plist_get_uint_val(node, &u);
            return Value(static_cast<std::int64_t>(u));
        }
        case PLIST_REAL: {
            double d = 0;
            plist_get_real_val(node, &d);
            return Value(d);
        }
        case PLIST_STRING: {
            // The pointer getter: the copying one asserts on text holding a NUL.
            std::uint64_t len = 0;
            const char* p = plist_get_string_ptr(node, &len);
            return Value(p ? std::string(p, static_cast<size_t>(len)) : std::string());
        }
        case PLIST_DATE: {
            std::int32_t sec = 0, usec = 0;
            plist_get_date_val(node, &sec, &usec);
            return Value(Date{static_cast<double>(sec) + usec / 1e6 + kSecondsFrom1970To2001});
        }
        case PLIST_DATA: {
            std::uint64_t len = 0;
            const char* p = plist_get_data_ptr(node, &len);
            Data d;
            if (p && len) d.assign(p, p + len);
            return Value(std::move(d));
        }
        case PLIST_UID: {
            std::uint64_t u = 0;
            plist_get_uid_val(node, &u);
            return Value(Dictionary{{"CF$UID", Value(static_cast<std::int64_t>(u))}});
        }
        case PLIST_ARRAY:
            return arrayFromNode(node, depth, error);
        case PLIST_DICT:
            return dictionaryFromNode(node, depth, error);
        default:
            fail(error, "unsupported value type");
            return std::nullopt;
    }
}

struct PlistFree {
    void operator()(plist_t p) const { plist_free(p); }
};

// ---- XML writer ------------------------------------------------------------------------------

bool allowedInXml(std::uint32_t c) {
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
           (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// Escapes & < >; writes a carriage return as a reference so readers do not turn it into a line
// feed; replaces broken UTF-8 with U+FFFD and leaves out characters XML cannot carry.
void appendEscaped(std::string& out, std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            ++i;
            switch (c) {
                case '&':
                    out += "&amp;";
                    break;
                case '<':
                    out += "&lt;";
                    break;
                case '>':
                    out += "&gt;";
                    break;
                case '\r':
                    out += "&#13;";
                    break;
                default:
                    if (allowedInXml(c)) out += static_cast<char>(c);
                    break;
            }
            continue;
        }
        int len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
        std::uint32_t cp = len == 4 ? (c & 0x07u) : len == 3 ? (c & 0x0Fu) : (c & 0x1Fu);
        bool ok = len != 0 && i + static_cast<size_t>(len) <= s.size();
        for (int k = 1; ok && k < len; ++k) {
            unsigned char cc = static_cast<unsigned char>(s[i + static_cast<size_t>(k)]);
            if ((cc & 0xC0) != 0x80) ok = false;
            cp = (cp << 6) | (cc & 0x3Fu);
        }
        // Overlong forms and surrogates are not UTF-8.
        if (ok) {
            std::uint32_t min = len == 2 ? 0x80 : len == 3 ? 0x800 : 0x10000;
            if (cp < min || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) ok = false;
        }
        if (!ok) {
            out += "\xEF\xBF\xBD";
            ++i;
            continue;
        }
        if (allowedInXml(cp)) out.append(s.substr(i, static_cast<size_t>(len)));
        i += static_cast<size_t>(len);
    }
}

std::string formatReal(double d) {
    if (std::isnan(d)) return "nan";
    if (std::isinf(d)) return d > 0 ? "+infinity" : "-infinity";
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, d);
    return std::string(buf, r.ptr);
}

std::string formatDate(const Date& date) {
    double s = std::floor(date.secondsSince1970);
    if (!(s > -62135596800.0 && s < 253402300800.0)) s = 0;  // years 1..9999 only
    std::time_t t = static_cast<std::time_t>(s);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

std::string base64(const Data& d) {
    static const char* kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((d.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 2 < d.size(); i += 3) {
        std::uint32_t v = (d[i] << 16) | (d[i + 1] << 8) | d[i + 2];
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    if (i < d.size()) {
        std::uint32_t v = d[i] << 16;
        if (i + 1 < d.size()) v |= d[i + 1] << 8;
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += i + 1 < d.size() ? kAlphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

void writeValue(std::string& out, const Value& v, int indent) {
    const std::string tabs(static_cast<size_t>(indent), '\t');
    switch (v.type()) {
        case Value::Type::None:
            return;
        case Value::Type::String:
            out += tabs + "<string>";
            appendEscaped(out, *v.asString());
            out += "</string>\n";
            return;
        case Value::Type::Integer:
            out += tabs + "<integer>" + std::to_string(*v.asInteger()) + "</integer>\n";
            return;
        case Value::Type::Real:
            out += tabs + "<real>" + formatReal(*v.asReal()) + "</real>\n";
            return;
        case Value::Type::Boolean:
            out += tabs + (*v.asBoolean() ? "<true/>\n" : "<false/>\n");
            return;
        case Value::Type::Date:
            out += tabs + "<date>" + formatDate(*v.asDate()) + "</date>\n";
            return;
        case Value::Type::Data: {
            out += tabs + "<data>\n";
            std::string b64 = base64(*v.asData());
            for (size_t i = 0; i < b64.size(); i += 76) out += tabs + b64.substr(i, 76) + "\n";
            out += tabs + "</data>\n";
            return;
        }
        case Value::Type::Array: {
            const Array& a = *v.asArray();
            bool any = std::any_of(a.begin(), a.end(), [](const Value& e) { return !e.isNone(); });
            if (!any) {
                out += tabs + "<array/>\n";
                return;
            }
            out += tabs + "<array>\n";
            for (const Value& e : a) writeValue(out, e, indent + 1);
            out += tabs + "</array>\n";
            return;
        }
        case Value::Type::Dictionary: {
            const Dictionary& d = *v.asDictionary();
            bool any =
                std::any_of(d.begin(), d.end(), [](const auto& e) { return !e.second.isNone(); });
            if (!any) {
                out += tabs + "<dict/>\n";
                return;
            }
            out += tabs + "<dict>\n";
            for (const auto& [key, value] : d) {  // std::map: already sorted
                if (value.isNone()) continue;
                out += tabs + "\t<key>";
                appendEscaped(out, key);
                out += "</key>\n";
                writeValue(out, value, indent + 1);
            }
            out += tabs + "</dict>\n";
            return;
        }
    }
}

}  // namespace

std::optional<Value> parsePropertyList(std::string_view bytes, std::string* error) {
    if (bytes.size() > kMaxInputSize) {
        fail(error, "property list too large");
        return std::nullopt;
    }
    plist_t root = nullptr;
    if (bytes.size() >= 8 && bytes.substr(0, 8) == "bplist00") {
        if (!BinaryShape(bytes).check(error)) return std::nullopt;
        plist_from_bin(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &root);
    } else {
        // libplist aborts the process on text holding a NUL; XML cannot carry one anyway.
        size_t nul = bytes.find('\0');
        if (nul != std::string_view::npos) bytes = bytes.substr(0, nul);
        if (bytes.starts_with("\xEF\xBB\xBF")) bytes.remove_prefix(3);
        if (bytes.find_first_not_of(" \t\r\n") == std::string_view::npos) {
            fail(error, "empty property list");
            return std::nullopt;
        }
        if (!checkXmlShape(bytes, error)) return std::nullopt;
        plist_from_xml(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &root);
    }
    if (!root) {
        fail(error, "not a property list");
        return std::nullopt;
    }
    std::unique_ptr<void, PlistFree> owner(root);
    return fromNode(root, 0, error);
}

std::optional<Value> readPropertyListFile(const std::string& path, std::string* error) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        fail(error, path + ": " + std::strerror(errno));
        return std::nullopt;
    }
    std::string bytes;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        fail(error, path + ": is a folder");
        return std::nullopt;
    }
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            std::string reason = path + ": " + std::strerror(errno);
            ::close(fd);
            fail(error, reason);
            return std::nullopt;
        }
        if (n == 0) break;
        bytes.append(buf, static_cast<size_t>(n));
        if (bytes.size() > kMaxInputSize) {
            ::close(fd);
            fail(error, path + ": property list too large");
            return std::nullopt;
        }
    }
    ::close(fd);
    return parsePropertyList(bytes, error);
}

std::string toXmlPropertyList(const Value& root) {
    std::string out =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
        "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
        "<plist version=\"1.0\">\n";
    writeValue(out, root, 0);
    out += "</plist>\n";
    return out;
}

}  // namespace vorn
