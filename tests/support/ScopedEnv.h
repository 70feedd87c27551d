#pragma once
// Sets (or unsets) an environment variable for one test and puts the old value back afterwards.
// TZ changes also reset the C library's idea of the local time zone.

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

namespace vorn::test {

class ScopedEnv {
  public:
    ScopedEnv(std::string name, const std::string& value) : name_(std::move(name)) {
        if (const char* old = std::getenv(name_.c_str())) old_ = old;
        ::setenv(name_.c_str(), value.c_str(), 1);
        if (name_ == "TZ") ::tzset();
    }
    // Unsets it.
    explicit ScopedEnv(std::string name) : name_(std::move(name)) {
        if (const char* old = std::getenv(name_.c_str())) old_ = old;
        ::unsetenv(name_.c_str());
        if (name_ == "TZ") ::tzset();
    }
    ~ScopedEnv() {
        if (old_) {
            ::setenv(name_.c_str(), old_->c_str(), 1);
        } else {
            ::unsetenv(name_.c_str());
        }
        if (name_ == "TZ") ::tzset();
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::string name_;
    std::optional<std::string> old_;
};

}  // namespace vorn::test
