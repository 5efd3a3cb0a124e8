// The pid file that tells whether the receiver runs: locked (flock, exclusive) by the running
// instance for its whole life, the pid written once it listens, removed at a clean exit. A
// file nobody holds a lock on is stale.
#pragma once

#include <string>

namespace messenger {

class PidFile {
public:
    enum class Lock { Taken, Busy, Failed };

    PidFile() = default;
    ~PidFile();  // releases the lock; the file stays (Remove takes it away)
    PidFile(const PidFile&) = delete;
    PidFile& operator=(const PidFile&) = delete;

    // Creates path (and its folder, 0700) and takes the lock without waiting. Busy: another
    // live instance holds it. A stale file is taken over, its content cleared.
    Lock Acquire(const std::string& path, std::string& error);
    // The pid as decimal digits and a line feed.
    bool WritePid(std::string& error);
    // Unlinks the file, then lets the lock go.
    void Remove();

private:
    std::string path_;
    int fd_ = -1;
};

// True when path exists and some process holds its lock.
bool PidFileHeld(const std::string& path);

}  // namespace messenger
