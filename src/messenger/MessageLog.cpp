#include "messenger/MessageLog.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace messenger {

namespace {

// Creates every missing folder of dir, each 0700; existing ones are left as they are.
bool MakeFolders(const std::string& dir, std::string& error) {
    for (std::size_t at = 1; at <= dir.size(); ++at) {
        if (at != dir.size() && dir[at] != '/') continue;
        const std::string part = dir.substr(0, at);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            error = "cannot create " + part + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

}  // namespace

std::string DefaultLogPath() {
    const char* state = std::getenv("XDG_STATE_HOME");
    // Relative values are to be ignored, as the base directory rules say.
    if (state && state[0] == '/') return std::string(state) + "/quorvel/messages.log";
    std::string home;
    if (const char* h = std::getenv("HOME"); h && h[0] == '/') {
        home = h;
    } else if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) {
        home = pw->pw_dir;
    }
    if (home.empty()) return {};
    return home + "/.local/state/quorvel/messages.log";
}

MessageLog::MessageLog(const std::string& path) : path_(path) {
    if (path.empty()) {
        error_ = "no log file: neither XDG_STATE_HOME nor a home folder is known";
        return;
    }
    const auto slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0 && !MakeFolders(path.substr(0, slash), error_)) {
        return;
    }
    fd_ = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) error_ = "cannot open " + path + ": " + std::strerror(errno);
}

MessageLog::~MessageLog() {
    if (fd_ >= 0) close(fd_);
}

bool MessageLog::Append(const Message& message) {
    if (fd_ < 0) return false;
    const std::string record = FormatRecord(message);
    std::lock_guard lock(mutex_);
    // O_APPEND puts the whole of one write at the end. After a short write (a full disk) the
    // broken record gets its line end, so the next one does not run into it.
    ssize_t n;
    do {
        n = write(fd_, record.data(), record.size());
    } while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(record.size())) return true;
    if (n > 0 && write(fd_, "\n", 1) != 1) { /* nothing more to be done */
    }
    return false;
}

}  // namespace messenger
