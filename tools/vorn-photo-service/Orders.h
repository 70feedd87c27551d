#pragma once
// The orders file (JSON) and the order query replies, version 3 (`order` entries) and
// version 4 (`image` entries).

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Replies.h"

namespace vorn::photoservice {

struct OrderEntry {
    std::optional<std::string> username;  // listed only for this account; all when missing
    std::optional<std::string> orderid;
    std::optional<std::string> imageid;
    std::optional<std::string> pictureid;
    std::optional<std::string> localfilelocation;  // the plain path
    bool escape = true;  // false: localfilelocation is sent exactly as written
};

struct OrdersFile {
    std::optional<std::string> status;
    std::optional<std::string> message;
    bool removeFulfilled = false;  // drop an order once its hi-res file has arrived
    std::vector<OrderEntry> orders;
};

std::optional<OrdersFile> parseOrders(std::string_view json, std::string* error);
std::optional<OrdersFile> loadOrders(const std::string& path, std::string* error);

// Percent escapes for a path: every byte outside A-Z a-z 0-9 - . _ ~ / becomes %XX.
std::string percentEscape(std::string_view path);

// "orders.v4check", ignoring case, asks for version 4; anything else for version 3.
bool isVersion4Query(std::string_view fuseaction);

// The reply document listing the orders of username; fulfilled(entry) hides an entry.
ReplyDocument orderReply(const OrdersFile& file, std::string_view username, bool version4,
                         const std::function<bool(const OrderEntry&)>& fulfilled);

}  // namespace vorn::photoservice
