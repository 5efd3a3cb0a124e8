#include "messenger/Server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <list>
#include <vector>

namespace messenger {

namespace {

using Clock = std::chrono::steady_clock;

// A peer that does not read its replies is not read from beyond this much unsent output.
constexpr std::size_t kMaxUnsent = 64 * 1024;
constexpr std::size_t kReadChunk = 64 * 1024;
// After accept() fails for lack of descriptors, accepting pauses this long instead of spinning.
constexpr auto kAcceptPause = std::chrono::milliseconds(100);

std::uint64_t FileTimeNow() {
    // 100 ns units since 1601-01-01, the epoch of the negotiate reply's clock.
    constexpr std::uint64_t kUnixEpoch = 116444736000000000ULL;
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    return kUnixEpoch +
           static_cast<std::uint64_t>(
               std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100);
}

bool SetNonBlocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

}  // namespace

struct Server::Connection {
    int fd = -1;
    std::string peer;
    SessionParser parser;
    std::string out;
    bool closing = false;  // the parser ended it: send what is left, then close
    bool reading = true;   // EPOLLIN wanted
    bool writing = false;  // EPOLLOUT wanted
    Clock::time_point deadline;

    Connection(int f, std::string p, const Limits& limits)
        : fd(f), peer(std::move(p)), parser(limits) {}
};

Server::Server(int listenFd, ServerOptions options, MessageSink sink)
    : listenFd_(listenFd), options_(options), sink_(std::move(sink)) {}

Server::~Server() = default;

bool Server::Run(int stopFd, std::string& error) {
    const int ep = epoll_create1(EPOLL_CLOEXEC);
    if (ep < 0) {
        error = std::string("epoll_create1: ") + std::strerror(errno);
        return false;
    }
    std::list<Connection> conns;
    const auto timeout = std::chrono::milliseconds(options_.timeoutMs);
    // Tags: the listening socket and the stop descriptor by their own addresses.
    int listenTag = 0, stopTag = 0;
    auto add = [&](int fd, std::uint32_t events, void* tag) {
        epoll_event ev{};
        ev.events = events;
        ev.data.ptr = tag;
        return epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev) == 0;
    };
    if (!add(listenFd_, EPOLLIN, &listenTag) || !add(stopFd, EPOLLIN, &stopTag)) {
        error = std::string("epoll_ctl: ") + std::strerror(errno);
        close(ep);
        return false;
    }
    bool acceptPaused = false;
    Clock::time_point acceptResume;

    auto drop = [&](std::list<Connection>::iterator it) {
        epoll_ctl(ep, EPOLL_CTL_DEL, it->fd, nullptr);
        close(it->fd);
        return conns.erase(it);
    };
    auto updateInterest = [&](Connection& c) {
        const bool wantRead = !c.closing && c.out.size() < kMaxUnsent;
        const bool wantWrite = !c.out.empty();
        if (wantRead == c.reading && wantWrite == c.writing) return;
        epoll_event ev{};
        ev.events = (wantRead ? EPOLLIN : 0u) | (wantWrite ? EPOLLOUT : 0u) | EPOLLRDHUP;
        ev.data.ptr = &c;
        epoll_ctl(ep, EPOLL_CTL_MOD, c.fd, &ev);
        c.reading = wantRead;
        c.writing = wantWrite;
    };
    // False: the connection is finished with.
    auto flush = [&](Connection& c) {
        while (!c.out.empty()) {
            const ssize_t n = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
            if (n > 0) {
                c.out.erase(0, static_cast<std::size_t>(n));
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                break;
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                return false;
            }
        }
        if (c.closing && c.out.empty()) return false;
        updateInterest(c);
        return true;
    };
    std::vector<Event> events;
    auto serveInput = [&](Connection& c) {
        char buf[kReadChunk];
        const ssize_t n = recv(c.fd, buf, sizeof buf, 0);
        if (n == 0) return false;
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        events.clear();
        c.parser.SetFileTime(FileTimeNow());
        c.parser.Feed(
            std::span(reinterpret_cast<const unsigned char*>(buf), static_cast<std::size_t>(n)),
            events);
        // Only whole frames earn more time.
        if (!events.empty()) c.deadline = Clock::now() + timeout;
        for (Event& e : events) {
            switch (e.kind) {
                case Event::Kind::Reply:
                    c.out += e.bytes;
                    break;
                case Event::Kind::Message: {
                    const bool stored = sink_ ? sink_(e.message, c.peer) : true;
                    if (stored) counters_.messages.fetch_add(1, std::memory_order_relaxed);
                    c.out += stored ? e.bytes : e.failure;
                    break;
                }
                case Event::Kind::Close:
                    c.closing = true;
                    counters_.refused.fetch_add(1, std::memory_order_relaxed);
                    break;
            }
        }
        return flush(c);
    };
    // Peers that closed after their last answer may not have been noticed yet when many
    // connect at once; at the limit they are looked for before a new one is turned away.
    auto reapClosed = [&] {
        std::vector<pollfd> fds;
        fds.reserve(conns.size());
        for (const Connection& c : conns) fds.push_back({c.fd, POLLRDHUP, 0});
        if (poll(fds.data(), fds.size(), 0) <= 0) return;
        std::size_t i = 0;
        for (auto it = conns.begin(); it != conns.end(); ++i) {
            int unread = 0;
            const bool gone = (fds[i].revents & (POLLRDHUP | POLLHUP | POLLERR)) &&
                              ioctl(it->fd, FIONREAD, &unread) == 0 && unread == 0;
            it = gone ? drop(it) : std::next(it);
        }
    };
    auto acceptAll = [&] {
        for (;;) {
            sockaddr_in addr{};
            socklen_t len = sizeof addr;
            const int fd = accept4(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len,
                                   SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EINTR || errno == ECONNABORTED) continue;
                if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                    epoll_ctl(ep, EPOLL_CTL_DEL, listenFd_, nullptr);
                    acceptPaused = true;
                    acceptResume = Clock::now() + kAcceptPause;
                }
                return;
            }
            if (conns.size() >= options_.maxConnections) reapClosed();
            if (conns.size() >= options_.maxConnections) {
                counters_.overLimit.fetch_add(1, std::memory_order_relaxed);
                close(fd);
                continue;
            }
            counters_.accepted.fetch_add(1, std::memory_order_relaxed);
            const int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            char text[INET_ADDRSTRLEN] = "?";
            inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
            Connection& c = conns.emplace_back(fd, text, options_.limits);
            c.deadline = Clock::now() + timeout;
            if (!add(fd, EPOLLIN | EPOLLRDHUP, &c)) {
                close(fd);
                conns.pop_back();
            }
        }
    };

    bool running = true;
    std::vector<epoll_event> ready(64);
    while (running) {
        // Wake for the nearest deadline, or when accepting may resume.
        auto next = Clock::time_point::max();
        for (const Connection& c : conns) next = std::min(next, c.deadline);
        if (acceptPaused) next = std::min(next, acceptResume);
        int waitMs = -1;
        if (next != Clock::time_point::max()) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now());
            waitMs = static_cast<int>(std::clamp<long long>(left.count(), 0, 60'000));
        }
        const int n = epoll_wait(ep, ready.data(), static_cast<int>(ready.size()), waitMs);
        if (n < 0 && errno != EINTR) {
            error = std::string("epoll_wait: ") + std::strerror(errno);
            running = false;
            break;
        }
        bool acceptNow = false;
        for (int i = 0; i < n; ++i) {
            void* tag = ready[i].data.ptr;
            if (tag == &stopTag) {
                running = false;
            } else if (tag == &listenTag) {
                acceptNow = true;  // after the connections: their closes free places first
            } else {
                auto* c = static_cast<Connection*>(tag);
                const std::uint32_t ev = ready[i].events;
                bool keep = true;
                if (ev & EPOLLIN) keep = serveInput(*c);
                if (keep && (ev & EPOLLOUT)) keep = flush(*c);
                // A hang-up with nothing more to read: done (a half-closed peer that still
                // had data was served above and reports the end on the next read).
                if (keep && (ev & (EPOLLERR | EPOLLHUP))) keep = false;
                if (keep && (ev & EPOLLRDHUP) && !(ev & EPOLLIN) && c->out.empty()) keep = false;
                if (!keep) {
                    for (auto it = conns.begin(); it != conns.end(); ++it) {
                        if (&*it == c) {
                            drop(it);
                            break;
                        }
                    }
                }
            }
        }
        if (acceptNow && running) acceptAll();
        const auto now = Clock::now();
        for (auto it = conns.begin(); it != conns.end();) {
            if (it->deadline <= now) {
                counters_.timedOut.fetch_add(1, std::memory_order_relaxed);
                it = drop(it);
            } else {
                ++it;
            }
        }
        if (acceptPaused && now >= acceptResume) {
            acceptPaused = false;
            add(listenFd_, EPOLLIN, &listenTag);
            acceptAll();
        }
    }
    for (auto it = conns.begin(); it != conns.end();) it = drop(it);
    epoll_ctl(ep, EPOLL_CTL_DEL, listenFd_, nullptr);
    close(ep);
    return error.empty();
}

int ListenTcp(const std::string& address, std::uint16_t port, std::string& error) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &a.sin_addr) != 1) {
        error = "not an IPv4 address: " + address;
        return -1;
    }
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const std::string where = address + ":" + std::to_string(port);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        const int err = errno;
        error = "cannot listen on " + where + ": " + std::strerror(err);
        if (err == EACCES && port < 1024) {
            error +=
                " (ports below 1024 need the capability CAP_NET_BIND_SERVICE: "
                "setcap cap_net_bind_service=+ep on the program, or start it from its "
                "socket unit)";
        }
        close(fd);
        return -1;
    }
    if (listen(fd, SOMAXCONN) != 0) {
        error = "cannot listen on " + where + ": " + std::strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

int ActivatedSocket(std::string& error) {
    const char* pidText = std::getenv("LISTEN_PID");
    const char* fdsText = std::getenv("LISTEN_FDS");
    auto number = [](const char* text, long& out) {
        if (!text || !*text) return false;
        const char* end = text + std::strlen(text);
        const auto [p, ec] = std::from_chars(text, end, out);
        return ec == std::errc() && p == end;
    };
    long pid = 0, fds = 0;
    const bool ours = number(pidText, pid) && pid == getpid() && number(fdsText, fds) && fds >= 1;
    unsetenv("LISTEN_PID");
    unsetenv("LISTEN_FDS");
    unsetenv("LISTEN_FDNAMES");
    if (!ours) return -1;
    constexpr int kFirst = 3;
    int listening = 0, type = 0;
    socklen_t len = sizeof listening;
    socklen_t typeLen = sizeof type;
    if (getsockopt(kFirst, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) != 0 || !listening ||
        getsockopt(kFirst, SOL_SOCKET, SO_TYPE, &type, &typeLen) != 0 || type != SOCK_STREAM ||
        !SetNonBlocking(kFirst)) {
        error = "the socket handed over (descriptor 3) is not a listening stream socket";
        return -2;
    }
    fcntl(kFirst, F_SETFD, FD_CLOEXEC);
    return kFirst;
}

}  // namespace messenger
