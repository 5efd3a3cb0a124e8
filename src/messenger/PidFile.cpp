#include "messenger/PidFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace messenger {

PidFile::~PidFile() {
    if (fd_ >= 0) close(fd_);
}

PidFile::Lock PidFile::Acquire(const std::string& path, std::string& error) {
    const auto slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        const std::string dir = path.substr(0, slash);
        if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
            error = "cannot create " + dir + ": " + std::strerror(errno);
            return Lock::Failed;
        }
    }
    // A previous owner may unlink the file between our open and our lock: then the lock is on
    // a file nobody sees, and we try again with the one at the path.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) {
            error = "cannot open " + path + ": " + std::strerror(errno);
            return Lock::Failed;
        }
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int err = errno;
            close(fd);
            if (err == EWOULDBLOCK) return Lock::Busy;
            error = "cannot lock " + path + ": " + std::strerror(err);
            return Lock::Failed;
        }
        struct stat held {
        }, now{};
        if (fstat(fd, &held) == 0 && stat(path.c_str(), &now) == 0 && held.st_dev == now.st_dev &&
            held.st_ino == now.st_ino) {
            if (ftruncate(fd, 0) != 0) {
                error = "cannot write " + path + ": " + std::strerror(errno);
                close(fd);
                return Lock::Failed;
            }
            path_ = path;
            fd_ = fd;
            return Lock::Taken;
        }
        close(fd);
    }
    error = "cannot lock " + path + ": it keeps being replaced";
    return Lock::Failed;
}

bool PidFile::WritePid(std::string& error) {
    const std::string text = std::to_string(getpid()) + "\n";
    if (fd_ < 0 || ftruncate(fd_, 0) != 0 ||
        pwrite(fd_, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
        error = "cannot write " + path_ + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void PidFile::Remove() {
    if (fd_ < 0) return;
    // Unlinked while still locked, so nobody takes the old file for a running instance.
    unlink(path_.c_str());
    close(fd_);
    fd_ = -1;
}

bool PidFileHeld(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool held = flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);
    return held;
}

}  // namespace messenger
