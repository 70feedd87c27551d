#pragma once
// The time source. Everything that compares ages or names files by date asks a Clock, so
// tests can fix the moment.

#include <chrono>
#include <ctime>
#include <functional>
#include <memory>
#include <string>

namespace vorn {

using SystemTime = std::chrono::system_clock::time_point;

class Clock {
  public:
    virtual ~Clock() = default;
    virtual SystemTime now() const = 0;

    static std::shared_ptr<Clock> system();
};

// A clock that stays where it is put.
class FixedClock : public Clock {
  public:
    explicit FixedClock(SystemTime t) : t_(t) {}
    SystemTime now() const override { return t_; }
    void set(SystemTime t) { t_ = t; }
    void advance(std::chrono::system_clock::duration d) { t_ += d; }

  private:
    SystemTime t_;
};

// strftime of t in the local time zone, with no limit on the length of the result.
std::string formatLocalTime(SystemTime t, const char* pattern);

}  // namespace vorn
