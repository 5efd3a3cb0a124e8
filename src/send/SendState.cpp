#include "send/SendState.h"

std::atomic<bool> SendInProgress{false};
