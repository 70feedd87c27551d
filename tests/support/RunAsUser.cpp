#include "support/RunAsUser.h"

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace vorn::test {

bool canRunAsNobody() {
    return ::geteuid() == 0;
}

std::optional<int> runAsNobody(const std::function<int()>& body) {
    if (!canRunAsNobody()) return std::nullopt;
    pid_t pid = ::fork();
    if (pid < 0) return std::nullopt;
    if (pid == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
            ::setresuid(65534, 65534, 65534) != 0) {
            ::_exit(255);
        }
        ::_exit(body() & 0xFF);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return std::nullopt;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) == 255) return std::nullopt;
    return WEXITSTATUS(status);
}

}  // namespace vorn::test
