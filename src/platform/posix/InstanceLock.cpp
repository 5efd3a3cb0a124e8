#include "platform/InstanceChannel.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

bool WriteAll(int fd, const char* data, std::size_t size, Clock::time_point deadline) {
    while (size > 0) {
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, RemainingMs(deadline)) <= 0) return false;
        ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

int ConnectOnce(const std::string& path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof(addr.sun_path)) {
        close(fd);
        return -1;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

std::string InstanceDirectory(std::string* error) {
    std::string dir;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
        dir = std::string(runtime) + "/quorvel";
    } else {
        const char* tmp = std::getenv("TMPDIR");
        dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/quorvel-" + std::to_string(getuid());
    }
    return PrivateDirectory(dir, error);
}

std::string PrivateDirectory(const std::string& dir, std::string* error) {
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        if (error) *error = dir + ": " + std::strerror(errno);
        return {};
    }
    struct stat st;
    if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid() ||
        (st.st_mode & 077) != 0) {
        // Someone else's folder, a link, or one others may enter: never trust it.
        if (error) *error = dir + ": not a private folder of this user";
        return {};
    }
    return dir;
}

std::string InstanceSocketPath(const std::string& dir) { return dir + "/instance.sock"; }

std::unique_ptr<InstanceLock> InstanceLock::TryAcquire(const std::string& dir) {
    const std::string path = dir + "/instance.lock";
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) throw std::runtime_error(path + ": " + std::strerror(errno));
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return nullptr;
    }
    return std::unique_ptr<InstanceLock>(new InstanceLock(fd));
}

InstanceLock::~InstanceLock() {
    if (fd_ >= 0) close(fd_);
}

bool HandOffToRunningInstance(const std::string& dir, std::string_view ansiText, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const std::string path = InstanceSocketPath(dir);
    int fd = -1;
    while ((fd = ConnectOnce(path)) < 0) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (ansiText.size() > kMaxHandOffBytes) ansiText = ansiText.substr(0, kMaxHandOffBytes);
    std::string frame(kHandOffMagic, sizeof kHandOffMagic);
    const auto n = static_cast<std::uint32_t>(ansiText.size());
    for (int shift = 24; shift >= 0; shift -= 8) frame.push_back(static_cast<char>(n >> shift));
    frame.append(ansiText);
    bool ok = WriteAll(fd, frame.data(), frame.size(), deadline);
    if (ok) {
        char answer = 0;
        pollfd p{fd, POLLIN, 0};
        ok = poll(&p, 1, RemainingMs(deadline)) > 0 && recv(fd, &answer, 1, 0) == 1 &&
             answer == 'K';
    }
    close(fd);
    return ok;
}

}  // namespace platform
