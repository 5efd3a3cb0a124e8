// Carries the senders' log lines onto the main thread. It outlives the main window: once the
// window has detached it, senders post nothing more, and a sender waiting on a line that will
// never be added (the program is closing) is let go.
#pragma once

#include <memory>
#include <mutex>

#include "send/SendServices.h"

class TQuorvelForm;

class TLogBridge : public std::enable_shared_from_this<TLogBridge> {
public:
    explicit TLogBridge(TQuorvelForm* form) : form_(form) {}

    // Main thread, when the window goes away.
    void Detach();

    // Sender threads: has AddLogLine run on the main thread and waits until it has run.
    void Log(const TLogEntry& entry);
    // Dispatcher thread: has the commands updated once the send has ended.
    void Finished();

private:
    std::mutex mutex_;
    bool attached_ = true;  // guarded by mutex_
    TQuorvelForm* form_;    // main thread only
};
