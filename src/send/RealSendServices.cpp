#include "send/SendServices.h"

TSendServices RealSendServices(std::function<void(const TLogEntry&)> log,
                               std::function<void()> finished) {
    TSendServices services;
    services.send = [](const char16_t* msgname, const char16_t* fromname, const unsigned char* buf,
                       std::uint32_t buflen) {
        return platform::NetMessageBufferSend(nullptr, msgname, fromname, buf, buflen);
    };
    services.log = std::move(log);
    services.finished = std::move(finished);
    return services;
}
