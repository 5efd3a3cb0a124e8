// The message log: every received message, one record a line (see FormatRecord), appended to
// a file that is never truncated.
#pragma once

#include <mutex>
#include <string>

#include "messenger/Message.h"

namespace messenger {

// $XDG_STATE_HOME/quorvel/messages.log, or ~/.local/state/quorvel/messages.log without it (the
// home folder from $HOME, else the password database). Empty when neither can be found.
std::string DefaultLogPath();

class MessageLog {
public:
    // Opens path for appending, creating it (0600) and any missing folders on the way (0700).
    // On failure the log is not open and error() says why.
    explicit MessageLog(const std::string& path);
    ~MessageLog();
    MessageLog(const MessageLog&) = delete;
    MessageLog& operator=(const MessageLog&) = delete;

    bool isOpen() const { return fd_ >= 0; }
    const std::string& error() const { return error_; }
    const std::string& path() const { return path_; }

    // Writes one record with a single append, so records of concurrent writers (another
    // process on the same file included) never interleave. False when it could not be written
    // whole. Safe to call from several threads.
    bool Append(const Message& message);

private:
    std::string path_;
    std::string error_;
    int fd_ = -1;
    std::mutex mutex_;
};

}  // namespace messenger
