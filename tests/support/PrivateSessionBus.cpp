#include "support/PrivateSessionBus.h"

namespace vorn::test {

using namespace std::chrono_literals;

PrivateSessionBus::PrivateSessionBus()
    : daemon_("/usr/bin/dbus-daemon", {"--session", "--nofork", "--print-address"}) {
    if (auto line = daemon_.readLine(10s)) address_ = *line;
}

ToolResult runTool(const std::string& program, const std::vector<std::string>& args,
                   const std::vector<std::string>& extraEnvironment) {
    std::vector<std::string> shell{"-c", "exec \"$0\" \"$@\" 2>&1", program};
    shell.insert(shell.end(), args.begin(), args.end());
    ChildProcess tool("/bin/sh", shell, extraEnvironment);
    ToolResult result;
    while (auto line = tool.readLine(60s)) result.output += *line + "\n";
    result.status = tool.wait(60s).value_or(-1);
    return result;
}

}  // namespace vorn::test
