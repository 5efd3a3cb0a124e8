// The send dispatcher: one per send command. Splits the recipients, runs one sender per
// recipient with at most MaxThreads alive at once, and lowers SendInProgress when all have ended.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "send/SendServices.h"
#include "send/Thread.h"

class TSendThread;

class TMenageThread : public TThread {
public:
    // Creates the dispatcher and starts it; it frees itself when done. SendInProgress must
    // already be raised by the caller (the send command), so no second send slips in. Throws
    // std::system_error, with SendInProgress lowered again, when no thread can be made.
    static void Start(std::string sender, std::string recipients, std::string message,
                      std::int32_t count, std::int32_t interval, TSendServices services);

protected:
    void Execute() override;

private:
    TMenageThread(std::string sender, std::string recipients, std::string message,
                  std::int32_t count, std::int32_t interval, TSendServices services);
    ~TMenageThread() override;
    void RemoveFinished();

    std::string FRecipients;
    std::string FSender;
    std::string FMessage;
    std::int32_t FCount;
    std::int32_t FInterval;
    std::vector<std::unique_ptr<TSendThread>> FThreads;
    TSendServices services_;
};
