// One recipient's sender: makes the attempts, logs each one, pauses between them.
#pragma once

#include <cstdint>
#include <string>

#include "send/SendServices.h"
#include "send/Thread.h"

// The log texts (Windows-1251); the first letter of the prefix is a Latin C.
std::string LogTextFor(const std::string& recipient, bool sent);

// A name converted for the messenger call: at most 128 characters, else empty.
inline constexpr std::size_t kMaxNameLength = 128;

class TSendThread : public TThread {
public:
    TSendThread(std::string sender, std::string recipient, std::string message, std::int32_t count,
                std::int32_t interval, const TSendServices& services);

protected:
    void Execute() override;

private:
    std::string FRecipient;
    std::string FSender;
    std::string FMessage;
    std::int32_t FCount;
    std::int32_t FInterval;
    TLogEntry FLog;  // the latest attempt: text, time and image
    const TSendServices& services_;
};
