#include "support/CapturedOutput.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <stdexcept>

#include "platform/PlatformLog.h"
#include "support/TempDir.h"

namespace vorn::test {

CapturedOutput::CapturedOutput(int fd) : fd_(fd) {
    std::fflush(stdout);
    std::fflush(stderr);
    std::string dir = std::filesystem::temp_directory_path().string();
    file_ = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (file_ < 0) throw std::runtime_error("cannot make a capture file");
    vorn::flushLog();
    saved_ = ::fcntl(fd_, F_DUPFD_CLOEXEC, 3);
    ::dup2(file_, fd_);
    vorn::flushLog();
}

CapturedOutput::~CapturedOutput() {
    std::fflush(stdout);
    std::fflush(stderr);
    vorn::flushLog();
    if (saved_ >= 0) {
        ::dup2(saved_, fd_);
        ::close(saved_);
    }
    vorn::flushLog();
    if (file_ >= 0) ::close(file_);
}

std::string CapturedOutput::text() const {
    std::fflush(stdout);
    std::fflush(stderr);
    vorn::flushLog();
    return written();
}

std::string CapturedOutput::written() const {
    // A fresh open of the capture file reads it from its start.
    return readFile("/proc/self/fd/" + std::to_string(file_));
}

}  // namespace vorn::test
