#pragma once
// Runs a program and collects its standard output (what NSTask with an NSPipe was).

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

}  // namespace vorn
