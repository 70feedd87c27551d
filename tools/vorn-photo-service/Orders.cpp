#include "Orders.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>

#include "Json.h"

namespace vorn::photoservice {

namespace {

bool textOf(const JsonValue* v, std::optional<std::string>& out, const char* name,
            std::string* error) {
    if (!v || v->type == JsonValue::Type::Null) return true;
    if (v->isString()) {
        out = v->string;
        return true;
    }
    if (v->isNumber() && std::isfinite(v->number) && v->number == std::floor(v->number) &&
        std::fabs(v->number) < 1e15) {
        out = std::to_string(static_cast<long long>(v->number));
        return true;
    }
    if (error) *error = std::string("\"") + name + "\" must be a string or a whole number";
    return false;
}

}  // namespace

std::optional<OrdersFile> parseOrders(std::string_view json, std::string* error) {
    auto doc = parseJson(json, error);
    if (!doc) return std::nullopt;
    OrdersFile file;
    const JsonValue* list = nullptr;
    if (doc->isArray()) {
        list = &*doc;
    } else if (doc->isObject()) {
        if (!textOf(doc->find("status"), file.status, "status", error)) return std::nullopt;
        if (!textOf(doc->find("message"), file.message, "message", error)) return std::nullopt;
        if (const JsonValue* r = doc->find("remove_fulfilled"))
            file.removeFulfilled = r->type == JsonValue::Type::Bool && r->boolean;
        list = doc->find("orders");
        if (list && !list->isArray()) {
            if (error) *error = "\"orders\" must be an array";
            return std::nullopt;
        }
    } else {
        if (error) *error = "the orders file must hold an object or an array";
        return std::nullopt;
    }
    if (!list) return file;
    for (const JsonValue& item : list->array) {
        if (!item.isObject()) {
            if (error) *error = "every order must be an object";
            return std::nullopt;
        }
        OrderEntry e;
        if (!textOf(item.find("username"), e.username, "username", error) ||
            !textOf(item.find("orderid"), e.orderid, "orderid", error) ||
            !textOf(item.find("imageid"), e.imageid, "imageid", error) ||
            !textOf(item.find("pictureid"), e.pictureid, "pictureid", error) ||
            !textOf(item.find("localfilelocation"), e.localfilelocation, "localfilelocation",
                    error))
            return std::nullopt;
        if (const JsonValue* esc = item.find("escape"))
            e.escape = !(esc->type == JsonValue::Type::Bool && !esc->boolean);
        file.orders.push_back(std::move(e));
    }
    return file;
}

std::optional<OrdersFile> loadOrders(const std::string& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error) *error = "cannot read orders file " + path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    std::string problem;
    auto file = parseOrders(text.str(), &problem);
    if (!file && error) *error = "orders file " + path + ": " + problem;
    return file;
}

std::string percentEscape(std::string_view path) {
    static const char* digits = "0123456789ABCDEF";
    std::string out;
    for (char c : path) {
        unsigned char u = static_cast<unsigned char>(c);
        if ((u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') ||
            c == '-' || c == '.' || c == '_' || c == '~' || c == '/') {
            out.push_back(c);
        } else {
            out.push_back('%');
            out.push_back(digits[u >> 4]);
            out.push_back(digits[u & 0xF]);
        }
    }
    return out;
}

bool isVersion4Query(std::string_view fuseaction) {
    static constexpr std::string_view v4 = "orders.v4check";
    if (fuseaction.size() != v4.size()) return false;
    for (std::size_t i = 0; i < v4.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(fuseaction[i])) != v4[i]) return false;
    return true;
}

ReplyDocument orderReply(const OrdersFile& file, std::string_view username, bool version4,
                         const std::function<bool(const OrderEntry&)>& fulfilled) {
    ReplyDocument doc;
    doc.root = version4 ? "images" : "orders";
    const char* entryName = version4 ? "image" : "order";
    int count = 0;
    for (const OrderEntry& e : file.orders) {
        if (e.username && *e.username != username) continue;
        if (fulfilled && fulfilled(e)) continue;
        ++count;
        doc.extra += "  <";
        doc.extra += entryName;
        doc.extra += ">\n";
        auto child = [&](const char* name, const std::optional<std::string>& value) {
            if (value) doc.extra += "    " + xmlElement(name, *value) + "\n";
        };
        child("orderid", e.orderid);
        child("imageid", e.imageid);
        child("pictureid", e.pictureid);
        if (e.localfilelocation)
            child("localfilelocation",
                  e.escape ? percentEscape(*e.localfilelocation) : *e.localfilelocation);
        doc.extra += "  </";
        doc.extra += entryName;
        doc.extra += ">\n";
    }
    doc.status = file.status.value_or("OK");
    doc.message = file.message.value_or(std::to_string(count) +
                                        (count == 1 ? " order waiting" : " orders waiting"));
    return doc;
}

}  // namespace vorn::photoservice
