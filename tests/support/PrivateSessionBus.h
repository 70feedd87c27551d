#pragma once
// A D-Bus session bus of the test's own: tests run side by side, and every uploader takes the
// same well-known name. Children find it through DBUS_SESSION_BUS_ADDRESS.

#include <string>

#include "support/ChildProcess.h"

namespace vorn::test {

class PrivateSessionBus {
  public:
    PrivateSessionBus();
    // Empty when the daemon could not be started.
    const std::string& address() const { return address_; }
    std::string environmentEntry() const { return "DBUS_SESSION_BUS_ADDRESS=" + address_; }

  private:
    ChildProcess daemon_;
    std::string address_;
};

struct ToolResult {
    int status = -1;
    std::string output;  // standard output and error together
};

// Runs a command-line tool to its end, with extra environment entries.
ToolResult runTool(const std::string& program, const std::vector<std::string>& args,
                   const std::vector<std::string>& extraEnvironment = {});

}  // namespace vorn::test
