#pragma once
// Captures what the process writes to a descriptor (standard error or output) into a
// temporary file for the life of the object, then puts the descriptor back.

#include <string>

namespace vorn::test {

class CapturedOutput {
  public:
    explicit CapturedOutput(int fd);
    ~CapturedOutput();
    CapturedOutput(const CapturedOutput&) = delete;
    CapturedOutput& operator=(const CapturedOutput&) = delete;

    // Everything written so far.
    std::string text() const;
    // What reached the descriptor, without writing the log's gathered lines first.
    std::string written() const;

  private:
    int fd_;
    int saved_ = -1;
    int file_ = -1;
};

}  // namespace vorn::test
