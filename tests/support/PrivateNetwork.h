// A network of the calling thread's own, for tests whose peers need the well-known ports (445,
// 137-139) or broadcasts: nothing else on the machine sees it, and it goes with the process.
// Needs root (CAP_SYS_ADMIN and CAP_NET_ADMIN).
#pragma once

#include <string>

namespace testing_support {

// Moves the calling thread (and the threads and processes it starts afterwards) into a new
// network namespace with only the loopback, brought up. Empty on success, otherwise why not.
std::string EnterPrivateNetwork();

// Adds ipv4 as a /32 address of the loopback of the current namespace. Empty on success,
// otherwise why not.
std::string AddLoopbackAddress(const std::string& ipv4);

}  // namespace testing_support
