// State shared between the send commands on the main thread and the dispatcher thread.
#pragma once

#include <atomic>

// True from the moment a send command starts a dispatcher until that dispatcher has ended;
// the three send commands are disabled meanwhile.
extern std::atomic<bool> SendInProgress;
