#pragma once
// Runs a program and collects its standard output (what NSTask with an NSPipe was).

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace vorn {

struct ProcessResult {
    bool started = false;         // the program could be started at all
    bool exitedNormally = false;  // it ended by exit(), not by a signal
    int exitStatus = -1;          // its exit status when it exited normally
    std::string standardOutput;   // everything it wrote to standard output
};

// Starts the executable at path (no PATH search) with args as argv[1..], standard output to a
// pipe, standard error and the environment inherited. Blocks until the program has ended and
// its output has been read to the end.
ProcessResult runProcess(const std::string& path, const std::vector<std::string>& args);

// Starts argv[0] with argv in a new session, standard input from /dev/null, standard output
// and error inherited, other descriptors closed, signals at their defaults. Not waited for.
// The child's pid, or nothing (error text in *error) when it could not be started.
std::optional<pid_t> startDetached(const std::vector<std::string>& argv,
                                   std::string* error = nullptr);

}  // namespace vorn
