// Single instance: who runs first, and how a later start hands its argument over.
//
// A per-user folder holds a lock file and a local socket. The first instance holds an flock()
// on the lock for its whole life (the kernel drops it when the process dies, so a crash never
// blocks the next start) and listens on the socket. A later start fails to take the lock,
// connects, sends one frame and ends.
//
// Frame: the 4 bytes "QVH1", the text's length as 32-bit big-endian, the text (Windows-1251,
// possibly empty). The receiver answers one byte 'K' once it has handled the frame.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace platform {

inline constexpr std::size_t kMaxHandOffBytes = 64 * 1024;
inline constexpr char kHandOffMagic[4] = {'Q', 'V', 'H', '1'};

// $XDG_RUNTIME_DIR/quorvel, or <TMPDIR or /tmp>/quorvel-<uid>; created with mode 0700. Empty
// (and *error set) when it cannot be made or belongs to someone else or others may enter it.
std::string InstanceDirectory(std::string* error = nullptr);
// The folder dir, created with mode 0700 when missing, provided it is a folder of this user's
// that nobody else may enter; empty (and *error set) otherwise.
std::string PrivateDirectory(const std::string& dir, std::string* error = nullptr);
std::string InstanceSocketPath(const std::string& dir);

class InstanceLock {
public:
    // The lock when this process is the first instance; nullptr when another one holds it.
    // Throws std::runtime_error when the lock file cannot be opened at all.
    static std::unique_ptr<InstanceLock> TryAcquire(const std::string& dir);
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

private:
    explicit InstanceLock(int fd) : fd_(fd) {}
    int fd_;
};

// Sends the text to the running instance and waits for its answer. Connecting is retried until
// timeoutMs has passed, because the first instance may still be starting. Texts longer than
// kMaxHandOffBytes are cut to that length.
bool HandOffToRunningInstance(const std::string& dir, std::string_view ansiText, int timeoutMs);

}  // namespace platform
