#include "send/SendServices.h"

#include <chrono>
#include <ctime>
#include <thread>

namespace {

class TSystemClock : public TSendClock {
public:
    std::uint32_t TickCount() override {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now().time_since_epoch());
        return static_cast<std::uint32_t>(ms.count());
    }
    TLocalTime LocalTime() override {
        const auto now = std::chrono::system_clock::now();
        const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
        std::tm tm{};
        localtime_r(&seconds, &tm);
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            now.time_since_epoch()) % 1000;
        return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                static_cast<int>(ms.count())};
    }
    void Sleep(std::uint32_t milliseconds) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
};

}  // namespace

TSendClock& SystemClock() {
    static TSystemClock clock;
    return clock;
}

