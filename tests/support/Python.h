#pragma once
// Runs a Python script (written to DIR/script.py) with python3 and gives its standard output;
// nothing when python3 is missing or the script failed. Tests skip on nothing.

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "support/TempDir.h"

namespace vorn::test {

inline std::optional<std::string> runPython(const TempDir& dir, const std::string& script,
                                            const std::string& args = "") {
    if (std::system("command -v python3 >/dev/null 2>&1") != 0) return std::nullopt;
    writeFile(dir / "script.py", script);
    std::string cmd = "python3 '" + (dir / "script.py").string() + "' " + args;
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return std::nullopt;
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    return ::pclose(p) == 0 ? std::optional<std::string>(out) : std::nullopt;
}

}  // namespace vorn::test
