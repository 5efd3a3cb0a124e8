// A private Samba smbd on a free loopback port that receives messenger messages, for tests;
// with nmbd beside it, a master browser with a browse list. Everything it uses (configuration,
// state, the messages) lives in its own folder, removed with it; nothing listens beyond its one
// loopback address.
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
    std::string address = "127.0.0.1";  // the one address served
    // Also runs nmbd as the preferred local master browser of workgroup, announcing netbiosName
    // and the aliases (UTF-8) as its computers. nmbd leaves 127.0.0.1 alone: give the peer
    // another address of the loopback of a private network (see PrivateNetwork.h).
    bool browser = false;
    std::string workgroup = "WORKGROUP";
    std::string netbiosName{};  // empty: Samba's default, the host name
    std::vector<std::string> aliases{};
    // Serves RPC calls (account listings) through a samba-dcerpcd of the peer's own, whose logs
    // stay in the peer's folder; left to smbd, it would start one that logs below
    // /var/log/samba and outlives smbd.
    bool rpc = false;
};

// One message as smbd's message command saw it.
struct SambaMessage {
    std::string body;        // %s: the text in UTF-8, CR LF turned into LF
    std::string calledName;  // %L: the called name, lower-cased, unsafe bytes as '_'
    std::string from;        // %f: the sender, bytes outside [A-Za-z0-9] as '_'
};

// A TCP port on 127.0.0.1 that nothing listens on right now (outside the ephemeral range).
std::uint16_t FreeLoopbackPort();
// Six random lower-case letters: system account names no other run uses at the same time.
std::string RandomAccountSuffix();
// Standard input from /dev/null: libnetapi asks for a password on a terminal when it finds one,
// and a test has nobody to answer it.
void DetachStandardInput();

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

    // With browser: waits until nmbd has won the election and registered as the workgroup's
    // master browser (about 23 s after the start, fixed by nmbd's own timers). False when that
    // does not happen within timeoutMs or nmbd ended.
    bool WaitForMasterBrowser(int timeoutMs);
    std::string NmbdLog() const;

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
    pid_t nmbdPid_ = -1;
    pid_t rpcPid_ = -1;
    std::vector<std::string> accounts_;  // system accounts to delete
};

}  // namespace testing_support
