#include "send/uMenageThread.h"

#include <algorithm>
#include <chrono>
#include <system_error>
#include <thread>

#include "common/defaults.h"
#include "send/Recipients.h"
#include "send/SendState.h"
#include "send/uSenderThread.h"

namespace {

// Sleeps up to the given time, but wakes as soon as a thread that was running at `seen` has
// ended, so a freed slot is refilled at once.
void Pause(std::uint64_t seen, int milliseconds) {
    TThread::WaitForEnd(seen, std::chrono::milliseconds(milliseconds));
}

// A limit below 1 could never be met; it counts as 1.
std::int64_t ThreadLimit() { return std::max<std::int32_t>(MaxThreads, 1); }

}  // namespace

TMenageThread::TMenageThread(std::string sender, std::string recipients, std::string message,
                             std::int32_t count, std::int32_t interval, TSendServices services)
    : FRecipients(std::move(recipients)),
      FSender(std::move(sender)),
      FMessage(std::move(message)),
      FCount(count),
      FInterval(interval),
      services_(std::move(services)) {}

TMenageThread::~TMenageThread() = default;

void TMenageThread::Start(std::string sender, std::string recipients, std::string message,
                          std::int32_t count, std::int32_t interval, TSendServices services) {
    auto* dispatcher = new TMenageThread(std::move(sender), std::move(recipients),
                                         std::move(message), count, interval, std::move(services));
    try {
        dispatcher->TThread::Start(true);
    } catch (...) {
        delete dispatcher;
        SendInProgress = false;
        throw;
    }
}

void TMenageThread::RemoveFinished() {
    for (std::size_t i = 0; i < FThreads.size();) {
        if (FThreads[i]->ExitCode() == STILL_ACTIVE) {
            ++i;
        } else {
            FThreads.erase(FThreads.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
}

void TMenageThread::Execute() {
    SendInProgress = true;
    std::uint64_t seen = TThread::EndCount();
    try {
        for (const std::string& recipient : SplitRecipients(FRecipients)) {
            auto sender = std::make_unique<TSendThread>(FSender, recipient, FMessage, FCount,
                                                        FInterval, services_);
            sender->Start();
            FThreads.push_back(std::move(sender));
            while (static_cast<std::int64_t>(FThreads.size()) >= ThreadLimit()) {
                Pause(seen, 5);
                seen = TThread::EndCount();
                RemoveFinished();
            }
        }
    } catch (...) {
        // No further recipient is served; those already started still finish below.
    }
    while (!FThreads.empty()) {
        Pause(seen, 100);
        seen = TThread::EndCount();
        RemoveFinished();
    }
    SendInProgress = false;
    if (services_.finished) services_.finished();
}
