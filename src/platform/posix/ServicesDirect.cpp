// Direct control of quorvel-messenger through its pid file: the receiver writes its pid there
// once it listens and holds an flock() on the file for its whole life, so a held lock means
// "running" and a file nobody locks is left over from a crash.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/InstanceChannel.h"
#include "platform/Services.h"
#include "platform/Version.h"

extern char** environ;

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kStartTimeout = 3s;
constexpr auto kStopWait = 2s;
constexpr auto kPollInterval = 20ms;

std::string RuntimeDirectory() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    return runtime && *runtime ? std::string(runtime) : std::string();
}

bool IsExecutableFile(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

std::string FindMessengerExecutable() {
    const std::string exe = ExecutablePath();
    if (const auto slash = exe.rfind('/'); slash != std::string::npos) {
        const std::string beside = exe.substr(0, slash + 1) + kMessengerExecutable;
        if (IsExecutableFile(beside)) return beside;
    }
    const char* path = std::getenv("PATH");
    std::string_view rest = path ? path : "";
    while (!rest.empty()) {
        const auto colon = rest.find(':');
        const std::string_view dir = rest.substr(0, colon);
        rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
        // Only absolute entries: what the current folder holds is nobody's installed service.
        if (dir.empty() || dir.front() != '/') continue;
        const std::string candidate = std::string(dir) + "/" + kMessengerExecutable;
        if (IsExecutableFile(candidate)) return candidate;
    }
    return {};
}

// Decimal digits and an optional line feed, a value in 1..INT_MAX; 0 for anything else.
pid_t ParsePid(std::string_view text) {
    if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    if (text.empty() || text.size() > 10) return 0;
    long long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return 0;
        value = value * 10 + (c - '0');
    }
    return value > 0 && value <= INT_MAX ? static_cast<pid_t>(value) : 0;
}

struct PidFileState {
    bool running = false;
    pid_t pid = 0;  // 0 when the file does not hold a usable pid
};

PidFileState ReadPidFile(const std::string& path) {
    PidFileState state;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return state;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return state;
    }
    // Taking the shared lock succeeds only when no receiver holds its exclusive one; closing
    // the descriptor drops it again.
    if (flock(fd, LOCK_SH | LOCK_NB) == 0 || errno != EWOULDBLOCK) {
        close(fd);
        return state;
    }
    state.running = true;
    char buf[16];
    const ssize_t n = read(fd, buf, sizeof buf);
    close(fd);
    if (n > 0) state.pid = ParsePid(std::string_view(buf, std::size_t(n)));
    return state;
}

// Receivers this process started and has not reaped yet; they are reaped whenever control
// runs again, so an ended receiver does not stay a zombie for long.
std::mutex childrenMutex;
std::vector<pid_t> children;

void ReapChildren() {
    std::lock_guard lock(childrenMutex);
    std::erase_if(children, [](pid_t pid) { return waitpid(pid, nullptr, WNOHANG) != 0; });
}

// Waits until deadline for a receiver of ours to end, so that it is not left a zombie.
void ReapChild(pid_t pid, Clock::time_point deadline) {
    std::lock_guard lock(childrenMutex);
    const auto it = std::find(children.begin(), children.end(), pid);
    if (it == children.end()) return;
    while (waitpid(pid, nullptr, WNOHANG) == 0) {
        if (Clock::now() >= deadline) return;
        std::this_thread::sleep_for(kPollInterval);
    }
    children.erase(it);
}

void KeepChild(pid_t pid) {
    std::lock_guard lock(childrenMutex);
    children.push_back(pid);
}

// Ends a receiver that did not come up in time.
void AbandonChild(pid_t pid) {
    kill(pid, SIGTERM);
    const auto deadline = Clock::now() + 1s;
    while (waitpid(pid, nullptr, WNOHANG) == 0) {
        if (Clock::now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            return;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
}

// Started in a session of its own, with no terminal, stdio on /dev/null, no descriptor of ours
// and the default signal dispositions (this process may ignore SIGPIPE, which exec keeps).
pid_t SpawnDetached(const std::string& program, const std::string& pidFile) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    std::string arg0 = program, flag = "--pid-file", file = pidFile;
    char* argv[] = {arg0.data(), flag.data(), file.data(), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, program.c_str(), &actions, &attr, argv, environ) != 0) pid = -1;
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// SIGTERM to the pid, through a pidfd when the kernel has them: the lock is checked again
// after the pidfd is taken, so a pid that was freed and reused in between is never signalled.
bool Terminate(pid_t pid, const std::string& pidFile) {
    // Through syscall(): glibc's own wrappers are not declared for C++ here.
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0u));
    if (pidfd < 0) {
        if (errno != ENOSYS) return false;
        return kill(pid, SIGTERM) == 0;
    }
    const PidFileState again = ReadPidFile(pidFile);
    const bool sent = again.running && again.pid == pid &&
                      syscall(SYS_pidfd_send_signal, pidfd, SIGTERM, nullptr, 0u) == 0;
    close(pidfd);
    return sent;
}

class TDirectService : public TServiceHandle {
public:
    TDirectService(ServiceAccess access, std::string program, std::string pidFile)
        : TServiceHandle(access), program_(std::move(program)), pidFile_(std::move(pidFile)) {}

protected:
    bool DoStop() override {
        ReapChildren();
        const PidFileState state = ReadPidFile(pidFile_);
        // Never init, never ourselves, whatever the file says.
        if (!state.running || state.pid <= 1 || state.pid == getpid()) return false;
        if (!Terminate(state.pid, pidFile_)) return false;
        const auto deadline = Clock::now() + kStopWait;
        while (ReadPidFile(pidFile_).running && Clock::now() < deadline)
            std::this_thread::sleep_for(kPollInterval);
        ReapChild(state.pid, deadline);
        return true;
    }

    bool DoStart() override {
        ReapChildren();
        if (ReadPidFile(pidFile_).running) return false;
        const pid_t child = SpawnDetached(program_, pidFile_);
        if (child <= 0) return false;
        const auto deadline = Clock::now() + kStartTimeout;
        for (;;) {
            // Ended before it listened: the port is taken, or another receiver came first.
            if (waitpid(child, nullptr, WNOHANG) != 0) return false;
            if (ReadPidFile(pidFile_).pid == child) {
                KeepChild(child);
                return true;
            }
            if (Clock::now() >= deadline) {
                AbandonChild(child);
                return false;
            }
            std::this_thread::sleep_for(kPollInterval);
        }
    }

private:
    std::string program_;
    std::string pidFile_;
};

class TDirectServiceManager : public TServiceManager {
public:
    explicit TDirectServiceManager(std::string runtimeDir) : runtimeDir_(std::move(runtimeDir)) {}

    std::unique_ptr<TServiceHandle> OpenService(const std::string& name,
                                                ServiceAccess access) override {
        if (name != kMessengerServiceName) return nullptr;
        std::string program = FindMessengerExecutable();
        if (program.empty()) return nullptr;
        // The pid file's folder decides who may control the receiver: its owner, alone.
        const std::string dir = PrivateDirectory(runtimeDir_ + "/quorvel");
        if (dir.empty()) return nullptr;
        return std::make_unique<TDirectService>(access, std::move(program), dir + "/messenger.pid");
    }

private:
    std::string runtimeDir_;
};

}  // namespace

std::string MessengerPidFile() {
    const std::string runtime = RuntimeDirectory();
    return runtime.empty() ? std::string() : runtime + "/quorvel/messenger.pid";
}

std::unique_ptr<TServiceManager> OpenDirectServiceManager() {
    const std::string runtime = RuntimeDirectory();
    if (runtime.empty()) return nullptr;
    struct stat st;
    if (stat(runtime.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid())
        return nullptr;
    return std::make_unique<TDirectServiceManager>(runtime);
}

}  // namespace platform
