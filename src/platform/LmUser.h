// Listing a server's user accounts in the manner of the LAN manager calls: level-2 records, a
// resume handle carried from call to call, the caller releasing each returned buffer.
//
// Credentials: the user's own from $XDG_CONFIG_HOME/Quorvel/credentials (default
// ~/.config/Quorvel/credentials; lines "username = ", "password = ", "domain = "), used only
// when nobody but its owner can read it; anonymous otherwise. The call never asks on the
// terminal. QUORVEL_SMB_CONF names an smb.conf to read instead of the system's (for example a
// private "smb ports" setting).
#pragma once

#include <cstdint>
#include <string>

namespace platform {

inline constexpr std::uint32_t kNerrSuccess = 0;
inline constexpr std::uint32_t kErrorMoreData = 234;
inline constexpr std::uint32_t kErrorInvalidLevel = 124;
inline constexpr std::uint32_t kErrorNotEnoughMemory = 8;
inline constexpr std::uint32_t kMaxPreferredLength = 0xFFFFFFFFu;

// Only the fields the program reads; both texts are Windows-1251 and live in the same buffer.
struct USER_INFO_2 {
    const char* usri2_name;
    const char* usri2_full_name;
};

// servername: UTF-16, terminated; a leading "\\" is dropped, the rest names the server (empty
// or null: this computer). Only level 2 is served. On 0 or 234 *bufptr holds *entriesread
// records, to be released with NetApiBufferFree; 234 means more follow on the next call with
// the same *resume_handle.
std::uint32_t NetUserEnum(const char16_t* servername, std::uint32_t level, std::uint32_t filter,
                          std::uint8_t** bufptr, std::uint32_t prefmaxlen,
                          std::uint32_t* entriesread, std::uint32_t* totalentries,
                          std::uint32_t* resume_handle);
std::uint32_t NetApiBufferFree(void* buffer);

struct TLmCredentials {
    bool found = false;  // false: anonymous
    std::string username, password, domain;
};
// The credentials file's path as described above.
std::string LmCredentialsPath();
// Reads the file; refused (found = false) when it is not a regular file of this user that only
// this user can read.
TLmCredentials ReadLmCredentials(const std::string& path);
// The server part of a path: a leading "\\" removed, once.
std::string LmServerName(const std::string& utf8Path);

}  // namespace platform
