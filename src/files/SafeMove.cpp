#include "files/SafeMove.h"

namespace vorn {

// The mechanism lives beside the trash in the platform layer, which needs it too.
bool moveItemSafely(const std::string& from, const std::string& to, std::string* error) {
    return moveItemWithoutReplacing(from, to, error, nullptr);
}

bool moveItemSafely(const std::string& from, const std::string& to, std::string* error,
                    const SafeMoveHook& hook) {
    return moveItemWithoutReplacing(from, to, error, &hook);
}

}  // namespace vorn
