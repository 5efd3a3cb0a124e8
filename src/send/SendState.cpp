#include "send/SendState.h"

std::atomic<bool> SendInProgress{false};
std::mutex LogLock;
std::atomic<bool> SendShutdown{false};
