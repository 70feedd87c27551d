#include "platform/Clock.h"

namespace vorn {
namespace {
class SystemClock : public Clock {
  public:
    SystemTime now() const override { return std::chrono::system_clock::now(); }
};
}  // namespace

std::shared_ptr<Clock> Clock::system() {
    static std::shared_ptr<Clock> c = std::make_shared<SystemClock>();
    return c;
}

std::string formatLocalTime(SystemTime t, const char* pattern) {
    std::time_t tt = std::chrono::system_clock::to_time_t(t);
    std::tm tm{};
    localtime_r(&tt, &tm);
    std::string buf(64, '\0');
    for (;;) {
        size_t n = std::strftime(buf.data(), buf.size(), pattern, &tm);
        if (n > 0 || buf.size() > 4096) {
            buf.resize(n);
            return buf;
        }
        buf.resize(buf.size() * 2);
    }
}

}  // namespace vorn
