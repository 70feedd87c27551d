#pragma once
// Runs a check in a forked child that has dropped root for the "nobody" user (65534), since
// root ignores file permissions. The child's answer is its exit status.

#include <functional>
#include <optional>

namespace vorn::test {

// True when this process is root and can therefore drop to another user.
bool canRunAsNobody();

// The value body returned in the child (0..255), or nothing when the child could not be made,
// could not drop its privileges, or died.
std::optional<int> runAsNobody(const std::function<int()>& body);

}  // namespace vorn::test
