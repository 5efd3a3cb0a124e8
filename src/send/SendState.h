// State shared between the send commands on the main thread and the sending threads.
#pragma once

#include <atomic>
#include <mutex>

// True from the moment a send command starts a dispatcher until that dispatcher has ended;
// the three send commands are disabled meanwhile.
extern std::atomic<bool> SendInProgress;

// Serialises the senders' log updates: held by one sender at a time, around its synchronous
// call onto the main thread. A plain process-wide mutex, usable for as long as any sender lives.
extern std::mutex LogLock;

// Raised when the program closes: senders make no further attempt and log nothing more.
extern std::atomic<bool> SendShutdown;
