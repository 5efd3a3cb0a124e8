// A private Samba smbd on a free loopback port that receives messenger messages, for tests.
// Everything it uses (configuration, state, the messages) lives in its own folder, removed with
// it; nothing listens beyond 127.0.0.1.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

struct SambaOptions {
    bool messaging = true;  // false: no message command, the receiver refuses messages
    bool smb2Only = false;  // server min protocol = SMB2
    std::uint16_t port = 0;  // 0: a free one; clients that only try 445 need a private network
    // Replaces the hook that keeps the messages (TakeMessages then sees none): a cheap
    // command such as "/bin/rm -f %s" measures smbd itself.
    std::string messageCommand = {};
};

// One message as smbd's message command saw it.
struct SambaMessage {
    std::string body;        // %s: the text in UTF-8, CR LF turned into LF
    std::string calledName;  // %L: the called name, lower-cased, unsafe bytes as '_'
    std::string from;        // %f: the sender, bytes outside [A-Za-z0-9] as '_'
};

// A TCP port on 127.0.0.1 that nothing listens on right now (outside the ephemeral range).
std::uint16_t FreeLoopbackPort();

class SambaPeer {
public:
    // Starts smbd and waits until it accepts connections; throws std::runtime_error saying why
    // when it cannot (smbd not installed, failed to start).
    explicit SambaPeer(SambaOptions options = {});
    ~SambaPeer();
    SambaPeer(const SambaPeer&) = delete;
    SambaPeer& operator=(const SambaPeer&) = delete;

    std::uint16_t port() const { return port_; }

    // Waits until n messages have arrived since the last call, then returns those n in the
    // order they arrived and forgets them. Throws std::runtime_error on timeout.
    std::vector<SambaMessage> TakeMessages(std::size_t n, int timeoutMs = 10000);
    // Messages that arrived and were not taken yet.
    std::size_t PendingMessages() const;
    // smbd's own output, for failure messages.
    std::string Log() const;
    // Its smb.conf, for clients that must read the same settings (the port).
    std::string ConfigPath() const { return root_ + "/smb.conf"; }

    // A system account (useradd, no home, no login shell) entered into this smbd's own passdb
    // with the password; machine: a workstation trust account "name$" instead. Needs root.
    // Removed again by RemoveAccounts and with the peer. Throws std::runtime_error with the
    // tools' output when a step fails.
    void AddAccount(const std::string& name, const std::string& fullName,
                    const std::string& password, bool machine = false);
    void RemoveAccounts();

private:
    void Stop();
    std::vector<std::string> MessageFiles() const;

    std::string root_;
    std::uint16_t port_ = 0;
    pid_t pid_ = -1;
    std::vector<std::string> accounts_;  // system accounts to delete
};

}  // namespace testing_support
