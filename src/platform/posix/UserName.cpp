#include "platform/UserName.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/CodePage.h"

namespace platform {

namespace {

// The login name of the effective user, in UTF-8; empty (errno set) when there is none.
std::string LoginName() {
    const long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(hint > 0 ? static_cast<std::size_t>(hint) : 1024);
    for (;;) {
        passwd pw;
        passwd* found = nullptr;
        const int rc = getpwuid_r(geteuid(), &pw, buf.data(), buf.size(), &found);
        if (rc == ERANGE && buf.size() < (1u << 20)) {
            buf.resize(buf.size() * 2);
            continue;
        }
        if (rc != 0 || !found || !found->pw_name || !*found->pw_name) {
            errno = rc != 0 ? rc : ENOENT;
            return {};
        }
        return found->pw_name;
    }
}

}  // namespace

bool GetUserNameA(char* buffer, std::uint32_t* size) {
    if (!size) {
        errno = EINVAL;
        return false;
    }
    const std::string name = LoginName();
    if (name.empty()) {
        *size = 0;
        return false;
    }
    const std::string ansi = Utf8ToCp1251(name);
    const std::size_t needed = ansi.size() + 1;
    if (!buffer || needed > *size) {
        *size = static_cast<std::uint32_t>(needed);
        errno = ERANGE;
        return false;
    }
    std::memcpy(buffer, ansi.c_str(), needed);
    *size = static_cast<std::uint32_t>(needed);
    return true;
}

}  // namespace platform
