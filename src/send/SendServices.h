// What the sending threads need from outside: the messenger call, the log update on the main
// thread, and time. Injected, so the core runs against fakes in tests and stays free of Qt.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/LmMsg.h"

struct TLocalTime {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
};

class TSendClock {
public:
    virtual ~TSendClock() = default;
    // Milliseconds, wrapping at 2^32.
    virtual std::uint32_t TickCount() = 0;
    virtual TLocalTime LocalTime() = 0;
    virtual void Sleep(std::uint32_t milliseconds) = 0;
};

// The real clock: the monotonic clock for ticks, the local time zone for time stamps.
TSendClock& SystemClock();

// One attempt's line of the delivery log.
struct TLogEntry {
    std::string text;  // Windows-1251
    TLocalTime time;
    int image = 0;  // 1 sent, 0 not sent
};

struct TSendServices {
    // NetMessageBufferSend with a null server name.
    std::function<platform::NET_API_STATUS(const char16_t* msgname, const char16_t* fromname,
                                           const unsigned char* buf, std::uint32_t buflen)>
        send;
    // Adds the line on the main thread and returns once it has been added (or can no longer
    // be, because the program is closing).
    std::function<void(const TLogEntry&)> log;
    // Called by the dispatcher once it has lowered SendInProgress; may be empty.
    std::function<void()> finished;
    TSendClock* clock = &SystemClock();
};

// The services for real use: platform::NetMessageBufferSend and the system clock; the log and
// finished functions are the caller's.
TSendServices RealSendServices(std::function<void(const TLogEntry&)> log,
                               std::function<void()> finished);
