// The logged-on user's name, as GetUserNameA gives it.
#pragma once

#include <cstdint>

namespace platform {

// Writes the effective user's login name (in Windows-1251) and a terminating zero into buffer.
// On entry *size is the buffer's size in characters; on success it becomes the number of
// characters written including the zero. Fails (returns false, buffer untouched) when the name
// cannot be found or does not fit; then *size is the size that would have been needed, or 0.
bool GetUserNameA(char* buffer, std::uint32_t* size);

}  // namespace platform
