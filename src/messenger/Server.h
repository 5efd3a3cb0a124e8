// Serving the messenger protocol on a listening socket: one thread, epoll, a SessionParser per
// connection. Bounded: at most maxConnections at once (further ones are closed at once), every
// connection has timeoutMs to send its next whole frame (only whole frames count, so a peer
// that trickles bytes is dropped as one that sends nothing), and a peer that does not read
// its replies stops being read from.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "messenger/Receiver.h"

namespace messenger {

inline constexpr int kDefaultTimeoutMs = 10000;
inline constexpr std::size_t kDefaultMaxConnections = 64;

struct ServerOptions {
    Limits limits;
    int timeoutMs = kDefaultTimeoutMs;
    std::size_t maxConnections = kDefaultMaxConnections;
};

// Called on the serving thread for every completed message with the peer's address; returns
// whether the message was stored, which decides the answer the sender gets.
using MessageSink = std::function<bool(const WireText& message, const std::string& peer)>;

struct ServerCounters {
    std::atomic<std::uint64_t> accepted{0};
    std::atomic<std::uint64_t> overLimit{0};  // closed at once: too many connections
    std::atomic<std::uint64_t> timedOut{0};
    std::atomic<std::uint64_t> refused{0};  // ended by the parser: a malformed frame
    std::atomic<std::uint64_t> messages{0};
};

class Server {
public:
    // listenFd: a listening TCP socket, which stays the caller's.
    Server(int listenFd, ServerOptions options, MessageSink sink);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Serves until stopFd becomes readable; then closes every connection (messages not yet
    // complete are dropped) and returns. False with a reason in error when epoll fails.
    bool Run(int stopFd, std::string& error);

    const ServerCounters& counters() const { return counters_; }

private:
    struct Connection;

    int listenFd_;
    ServerOptions options_;
    MessageSink sink_;
    ServerCounters counters_;
};

// A socket listening on address:port (IPv4, dotted), non-blocking; -1 with error set when it
// cannot be made, the reason said plainly.
int ListenTcp(const std::string& address, std::uint16_t port, std::string& error);

// The socket a service manager handed over (LISTEN_PID is this process and LISTEN_FDS at
// least 1: descriptor 3), made non-blocking; -1 when there is none. The variables are removed
// so that children do not take the socket for theirs. A descriptor 3 that is no listening
// stream socket gives -2 with error set.
int ActivatedSocket(std::string& error);

}  // namespace messenger
