// Throughput of sending: 1,000 messages to a fast receiver on loopback through the dispatcher,
// through the main window, through plain threads (the machine's limit) and through
// `smbclient -M`; then a send with silent recipients, which must end within one timeout plus a
// second. Ratios are against figures measured in this run, so they hold across machines.
#include <QApplication>
#include <QComboBox>
#include <QEventLoop>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTimer>
#include <QTreeWidget>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_set>
#include <vector>

#include "TempDir.h"
#include "common/defaults.h"
#include "forms/ErrorReport.h"
#include "forms/main.h"
#include "platform/CodePage.h"
#include "platform/LmMsg.h"
#include "send/SendServices.h"
#include "send/SendState.h"
#include "send/uMenageThread.h"

extern char** environ;

namespace {

constexpr int kMessages = 1000;
constexpr int kThreads = 50;
constexpr int kRuns = 3;
constexpr int kSmbclientMessages = 100;
constexpr int kSilentRecipients = 100;
constexpr int kTimeoutMs = 3000;
// No run may take longer than this; a stuck run ends the benchmark instead of hanging it.
constexpr auto kRunBudget = std::chrono::seconds(120);

const char* const kMessageUtf8 = "Привет! Проверка связи.";
const char* const kSenderUtf8 = "Тест";
const char* const kFastAddress = "127.0.0.1";
const char* const kSilentAddress = "127.0.0.2";

using Clock = std::chrono::steady_clock;

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "bench_send: %s\n", what.c_str());
    std::fflush(stderr);
    // Threads of a failed run may still use the run's state: leave without unwinding.
    std::_Exit(1);
}

std::string Repeat(const std::string& item, int n) {
    std::string text;
    for (int i = 0; i < n; ++i) {
        if (i) text += ',';
        text += item;
    }
    return text;
}

// ---- sockets -----------------------------------------------------------------------------

int ListenOn(const char* address, std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) Fail(std::string("socket: ") + std::strerror(errno));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, address, &a.sin_addr);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 || listen(fd, 4096) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

struct Endpoints {
    std::uint16_t port = 0;
    int fast = -1;    // 127.0.0.1:port
    int silent = -1;  // 127.0.0.2:port
};

// One port number free on both addresses, below the ephemeral range so that no outgoing
// connection of the benchmark can hold it.
Endpoints OpenEndpoints() {
    std::mt19937 rng(static_cast<unsigned>(getpid()) ^
                     static_cast<unsigned>(Clock::now().time_since_epoch().count()));
    for (int attempt = 0; attempt < 200; ++attempt) {
        const auto port = static_cast<std::uint16_t>(20000 + rng() % 12000);
        const int fast = ListenOn(kFastAddress, port);
        if (fast < 0) continue;
        const int silent = ListenOn(kSilentAddress, port);
        if (silent < 0) {
            close(fast);
            continue;
        }
        return {port, fast, silent};
    }
    Fail("no port free on both 127.0.0.1 and 127.0.0.2");
}

// ---- the fast receiver -------------------------------------------------------------------

// Answers the session request and the three message commands at once, on a few epoll
// threads sharing one listening socket; it checks the text but keeps nothing.
class FastReceiver {
public:
    FastReceiver(int listenFd, int workers, std::string expectedText)
        : listen_(listenFd), stop_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
          expected_(std::move(expectedText)) {
        if (stop_ < 0) Fail("eventfd failed");
        for (int i = 0; i < workers; ++i) {
            const int ep = epoll_create1(EPOLL_CLOEXEC);
            if (ep < 0) Fail("epoll_create1 failed");
            // Exclusive: one worker wakes per new connection, not all of them.
            epoll_event ev{};
            ev.events = EPOLLIN | EPOLLEXCLUSIVE;
            ev.data.ptr = &listen_;
            epoll_ctl(ep, EPOLL_CTL_ADD, listen_, &ev);
            ev.events = EPOLLIN;
            ev.data.ptr = &stop_;
            epoll_ctl(ep, EPOLL_CTL_ADD, stop_, &ev);
            threads_.emplace_back([this, ep] { Work(ep); });
        }
    }
    ~FastReceiver() {
        const std::uint64_t one = 1;
        if (write(stop_, &one, sizeof one) != sizeof one) std::perror("eventfd write");
        for (std::thread& t : threads_) t.join();
        close(stop_);
        close(listen_);
    }
    FastReceiver(const FastReceiver&) = delete;
    FastReceiver& operator=(const FastReceiver&) = delete;

    // 0xD6 answered, and among those the ones whose text was the expected one.
    std::uint64_t completed() const { return completed_.load(); }
    std::uint64_t matching() const { return matching_.load(); }
    std::uint64_t dropped() const { return dropped_.load(); }
    // CPU time its threads have used so far, to show what share of a run is the receiver's.
    double cpuSeconds() const {
        double total = 0;
        for (const std::thread& t : threads_) {
            clockid_t id;
            timespec ts{};
            if (pthread_getcpuclockid(const_cast<std::thread&>(t).native_handle(), &id) == 0 &&
                clock_gettime(id, &ts) == 0) {
                total += double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
            }
        }
        return total;
    }
    // When the latest 0xD6 was answered.
    Clock::time_point lastCompletion() const {
        return Clock::time_point(Clock::duration(last_.load()));
    }

private:
    struct Conn {
        int fd = -1;
        bool writing = false;  // EPOLLOUT wanted
        std::string in, out, text;
    };

    void Work(int ep) {
        std::unordered_set<Conn*> conns;
        epoll_event events[64];
        bool running = true;
        while (running) {
            const int n = epoll_wait(ep, events, 64, 1000);
            for (int i = 0; i < n; ++i) {
                void* tag = events[i].data.ptr;
                if (tag == &stop_) {
                    running = false;
                } else if (tag == &listen_) {
                    Accept(ep, conns);
                } else {
                    auto* c = static_cast<Conn*>(tag);
                    if (!Serve(ep, *c, events[i].events)) {
                        // Explicitly: a child being spawned may hold a copy of the socket for
                        // a moment, which would keep it registered past close.
                        epoll_ctl(ep, EPOLL_CTL_DEL, c->fd, nullptr);
                        close(c->fd);
                        conns.erase(c);
                        delete c;
                    }
                }
            }
        }
        for (Conn* c : conns) {
            close(c->fd);
            delete c;
        }
        close(ep);
    }

    void Accept(int ep, std::unordered_set<Conn*>& conns) {
        for (;;) {
            const int fd = accept4(listen_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) return;  // EAGAIN: another worker took it, or none is left
            const int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            auto* c = new Conn;
            c->fd = fd;
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.ptr = c;
            if (epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev) != 0) {
                close(fd);
                delete c;
                continue;
            }
            conns.insert(c);
        }
    }

    // False: the connection is done with (closed by the client, or it sent nonsense).
    bool Serve(int ep, Conn& c, std::uint32_t events) {
        if (events & EPOLLIN) {
            char buf[4096];
            for (;;) {
                const ssize_t n = recv(c.fd, buf, sizeof buf, 0);
                if (n > 0) {
                    c.in.append(buf, static_cast<std::size_t>(n));
                    if (static_cast<std::size_t>(n) < sizeof buf) break;
                } else if (n == 0) {
                    return false;
                } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
                    break;
                } else if (errno != EINTR) {
                    return false;
                }
            }
            if (!Process(c)) {
                dropped_.fetch_add(1);
                return false;
            }
        } else if (events & (EPOLLERR | EPOLLHUP)) {
            return false;
        }
        return Flush(ep, c);
    }

    bool Flush(int ep, Conn& c) {
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
        const bool want = !c.out.empty();
        if (want != c.writing) {
            epoll_event ev{};
            ev.events = EPOLLIN | (want ? EPOLLOUT : 0u);
            ev.data.ptr = &c;
            epoll_ctl(ep, EPOLL_CTL_MOD, c.fd, &ev);
            c.writing = want;
        }
        return true;
    }

    // Answers every whole packet in c.in; false on anything a sender would not send.
    bool Process(Conn& c) {
        std::size_t at = 0;
        while (c.in.size() - at >= 4) {
            const auto* p = reinterpret_cast<const unsigned char*>(c.in.data() + at);
            const std::size_t len = (std::size_t(p[1] & 1) << 16) | (std::size_t(p[2]) << 8) | p[3];
            if (c.in.size() - at < 4 + len) break;
            switch (p[0]) {
                case 0x81:  // session request: any called name is welcome
                    c.out.append("\x82\0\0\0", 4);
                    break;
                case 0x85:  // keep-alive
                    break;
                case 0x00:
                    if (!Smb(c, p + 4, len)) return false;
                    break;
                default:
                    return false;
            }
            at += 4 + len;
        }
        c.in.erase(0, at);
        return true;
    }

    bool Smb(Conn& c, const unsigned char* smb, std::size_t len) {
        if (len < 35 || smb[0] != 0xFF || smb[1] != 'S' || smb[2] != 'M' || smb[3] != 'B') {
            return false;
        }
        const unsigned char cmd = smb[4];
        const std::size_t words = smb[32];
        const std::size_t dataAt = 32 + 1 + 2 * words + 2;
        if (len < dataAt) return false;
        switch (cmd) {
            case 0xD5:
                c.text.clear();
                break;
            case 0xD7: {
                // 01 <len16> <bytes>
                if (len < dataAt + 3 || smb[dataAt] != 0x01) return false;
                const std::size_t n = smb[dataAt + 1] | (std::size_t(smb[dataAt + 2]) << 8);
                if (len < dataAt + 3 + n) return false;
                c.text.append(reinterpret_cast<const char*>(smb + dataAt + 3), n);
                break;
            }
            case 0xD6:
                break;
            default:
                return false;
        }
        const std::size_t replyWords = cmd == 0xD5 ? 1 : 0;
        const std::size_t smbLen = 32 + 1 + 2 * replyWords + 2;
        const std::size_t base = c.out.size();
        c.out.resize(base + 4 + smbLen, '\0');
        auto* r = reinterpret_cast<unsigned char*>(c.out.data() + base);
        r[3] = static_cast<unsigned char>(smbLen);
        unsigned char* h = r + 4;
        std::memcpy(h, "\xFFSMB", 4);
        h[4] = cmd;
        h[9] = 0x80;                           // a reply; status stays zero
        std::memcpy(h + 12, smb + 12, 2);      // PID high
        std::memcpy(h + 24, smb + 24, 8);      // TID, PID, UID, MID
        h[32] = static_cast<unsigned char>(replyWords);
        if (replyWords) h[33] = 1;             // message group 1
        if (cmd == 0xD6) {
            last_.store(Clock::now().time_since_epoch().count());
            completed_.fetch_add(1);
            if (c.text == expected_) matching_.fetch_add(1);
        }
        return true;
    }

    int listen_;
    int stop_;
    const std::string expected_;
    std::atomic<std::uint64_t> completed_{0}, matching_{0}, dropped_{0};
    std::atomic<Clock::rep> last_{0};
    std::vector<std::thread> threads_;
};

// Accepts on 127.0.0.2 and never answers: a host that took the call and then fell silent.
class SilentListener {
public:
    explicit SilentListener(int listenFd)
        : listen_(listenFd), stop_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
        if (stop_ < 0) Fail("eventfd failed");
        thread_ = std::thread([this] { Work(); });
    }
    ~SilentListener() {
        const std::uint64_t one = 1;
        if (write(stop_, &one, sizeof one) != sizeof one) std::perror("eventfd write");
        thread_.join();
        close(stop_);
        close(listen_);
    }
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;

    std::uint64_t accepted() const { return accepted_.load(); }

private:
    void Work() {
        std::vector<int> held;
        for (;;) {
            pollfd p[2] = {{listen_, POLLIN, 0}, {stop_, POLLIN, 0}};
            if (poll(p, 2, 1000) < 0 && errno != EINTR) break;
            if (p[1].revents) break;
            if (p[0].revents & POLLIN) {
                for (int fd; (fd = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
                    held.push_back(fd);
                    accepted_.fetch_add(1);
                }
            }
        }
        for (int fd : held) close(fd);
    }

    int listen_;
    int stop_;
    std::atomic<std::uint64_t> accepted_{0};
    std::thread thread_;
};

// ---- what is sent ------------------------------------------------------------------------

// The message and sender as the send threads hand them to the messenger call.
struct Payload {
    std::string messageAnsi = platform::Utf8ToCp1251(kMessageUtf8);
    std::string senderAnsi = platform::Utf8ToCp1251(kSenderUtf8);
    std::u16string message, sender, recipient;
    std::uint32_t length = 0;

    Payload() {
        message = platform::Cp1251ToUtf16(messageAnsi);
        message.push_back(u'\0');
        length = static_cast<std::uint32_t>(2 * messageAnsi.size() + 1);
        sender = platform::Cp1251ToUtf16(senderAnsi);
        recipient = platform::Cp1251ToUtf16(kFastAddress);
    }
    const unsigned char* bytes() const {
        return reinterpret_cast<const unsigned char*>(message.data());
    }
};

void Configure() {
    // The window reads both from its settings file: set them again before every run.
    MaxThreads = kThreads;
    MaxLineLog = std::max(MaxLineLog, kMessages);
}

// User and system time of this process and of the children it has waited for.
double CpuSeconds() {
    double total = 0;
    for (const int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
        rusage ru{};
        getrusage(who, &ru);
        total += double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                 double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    }
    return total;
}

const FastReceiver* receiver = nullptr;  // set once it runs

double ReceiverCpuSeconds() { return receiver ? receiver->cpuSeconds() : 0; }

// One timed run: wall time and the CPU it took (to tell waiting from working).
struct Span {
    Clock::time_point start = Clock::now(), end;
    double cpuStart = CpuSeconds(), cpuEnd = 0;
    double rxStart = ReceiverCpuSeconds(), rxEnd = 0;
    void Stop() {
        end = Clock::now();
        cpuEnd = CpuSeconds();
        rxEnd = ReceiverCpuSeconds();
    }
    double seconds() const { return std::chrono::duration<double>(end - start).count(); }
};

struct RunResult {
    double seconds = 0;
    double rate = 0;  // messages per second
};

// The tail is the time from the receiver's last answered message to the end of the run; runs
// that bypass the receiver have none.
RunResult Report(const char* label, int run, int n, const Span& span, const FastReceiver& rx,
                 bool viaReceiver = true) {
    const double s = span.seconds();
    const double cpu = span.cpuEnd - span.cpuStart;
    const double rxCpu = span.rxEnd - span.rxStart;
    char tail[32] = "-";
    if (viaReceiver) {
        std::snprintf(tail, sizeof tail, "%.1f ms",
                      std::chrono::duration<double, std::milli>(span.end - rx.lastCompletion())
                          .count());
    }
    std::printf("  %-29s run %d: %4d in %7.1f ms = %7.1f msg/s  (CPU %.2f of %u cores, "
                "receiver %2.0f%% of it; tail %s)\n",
                label, run, n, s * 1000, n / s, cpu / s, std::thread::hardware_concurrency(),
                cpu > 0 ? 100 * rxCpu / cpu : 0.0, tail);
    std::fflush(stdout);
    return {s, n / s};
}

void ExpectDelivered(const FastReceiver& rx, std::uint64_t completedBefore,
                     std::uint64_t matchingBefore, int n, bool checkText, const char* what) {
    const std::uint64_t done = rx.completed() - completedBefore;
    const std::uint64_t good = rx.matching() - matchingBefore;
    if (done != static_cast<std::uint64_t>(n)) {
        Fail(std::string(what) + ": the receiver completed " + std::to_string(done) + " of " +
             std::to_string(n) + " messages");
    }
    if (checkText && good != done) {
        Fail(std::string(what) + ": " + std::to_string(done - good) +
             " messages arrived with another text");
    }
}

// (c) The same calls on 50 long-lived threads pulling the next index: no dispatcher, no log.
RunResult RunPlainThreads(const FastReceiver& rx, const Payload& p, int run) {
    const std::uint64_t c0 = rx.completed(), m0 = rx.matching();
    std::atomic<int> next{0}, failed{0};
    Span span;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            while (next.fetch_add(1) < kMessages) {
                if (platform::NetMessageBufferSend(nullptr, p.recipient.c_str(), p.sender.c_str(),
                                                   p.bytes(), p.length) != platform::NERR_Success) {
                    failed.fetch_add(1);
                }
            }
        });
    }
    for (std::thread& t : threads) t.join();
    span.Stop();
    if (failed.load()) Fail("plain threads: " + std::to_string(failed.load()) + " sends failed");
    ExpectDelivered(rx, c0, m0, kMessages, true, "plain threads");
    return Report("(c) 50 plain threads", run, kMessages, span, rx);
}

using SendCall = decltype(TSendServices::send);

// Runs the dispatcher with a log of the caller's and waits for its end; send, if given,
// replaces the messenger call.
Span RunDispatcher(const Payload& p, const std::string& recipients,
                   std::function<void(const TLogEntry&)> log, SendCall send = {}) {
    struct Done {
        std::mutex m;
        std::condition_variable cv;
        bool done = false;
    };
    // Shared: should a run overrun its budget, the dispatcher may still signal it.
    auto done = std::make_shared<Done>();
    TSendServices services = RealSendServices(std::move(log), [done] {
        std::lock_guard<std::mutex> lock(done->m);
        done->done = true;
        done->cv.notify_all();
    });
    if (send) services.send = std::move(send);
    Configure();
    SendInProgress = true;
    Span span;
    TMenageThread::Start(p.senderAnsi, recipients, p.messageAnsi, 1, 0, std::move(services));
    std::unique_lock<std::mutex> lock(done->m);
    if (!done->cv.wait_for(lock, kRunBudget, [&] { return done->done; })) {
        Fail("the dispatcher did not finish in time");
    }
    span.Stop();
    return span;
}

// (a) The dispatcher with a log that does nothing.
RunResult RunDispatcherNoLog(const FastReceiver& rx, const Payload& p, int run) {
    const std::uint64_t c0 = rx.completed(), m0 = rx.matching();
    const Span span = RunDispatcher(p, Repeat(kFastAddress, kMessages), [](const TLogEntry&) {});
    ExpectDelivered(rx, c0, m0, kMessages, true, "dispatcher");
    return Report("(a) dispatcher, no-op log", run, kMessages, span, rx);
}

// ---- breakdown: what the dispatcher costs besides the network ---------------------------

platform::NET_API_STATUS InstantSend(const char16_t*, const char16_t*, const unsigned char*,
                                     std::uint32_t) {
    return platform::NERR_Success;
}

// The dispatcher alone: a messenger call that succeeds at once.
RunResult RunDispatcherInstant(const FastReceiver& rx, const Payload& p, int run) {
    const Span span =
        RunDispatcher(p, Repeat(kFastAddress, kMessages), [](const TLogEntry&) {}, InstantSend);
    return Report("(a0) dispatcher, instant call", run, kMessages, span, rx, false);
}

// A new thread per message, at most 50 alive, a slot handed on the moment a thread ends: what
// a thread per recipient costs without the dispatcher's polling.
RunResult RunThreadPerMessage(const FastReceiver& rx, const Payload& p, int run) {
    struct Pool {
        std::mutex m;
        std::condition_variable cv;
        int alive = 0;
        int failed = 0;
    };
    auto pool = std::make_shared<Pool>();  // detached threads may outlast any frame here
    const std::uint64_t c0 = rx.completed(), m0 = rx.matching();
    Span span;
    for (int i = 0; i < kMessages; ++i) {
        {
            std::unique_lock<std::mutex> lock(pool->m);
            pool->cv.wait(lock, [&] { return pool->alive < kThreads; });
            ++pool->alive;
        }
        std::thread([pool, &p] {
            const bool ok = platform::NetMessageBufferSend(nullptr, p.recipient.c_str(),
                                                           p.sender.c_str(), p.bytes(),
                                                           p.length) == platform::NERR_Success;
            std::lock_guard<std::mutex> lock(pool->m);
            --pool->alive;
            pool->failed += !ok;
            pool->cv.notify_all();
        }).detach();
    }
    {
        std::unique_lock<std::mutex> lock(pool->m);
        if (!pool->cv.wait_for(lock, kRunBudget, [&] { return pool->alive == 0; })) {
            Fail("thread per message: not done in time");
        }
        if (pool->failed) Fail("thread per message: sends failed");
    }
    span.Stop();
    ExpectDelivered(rx, c0, m0, kMessages, true, "thread per message");
    return Report("(c1) thread per message", run, kMessages, span, rx);
}

// The conversions a sender makes; a new thread opens its own converters for them.
void ConvertAsASenderDoes() {
    const std::u16string wide = platform::Cp1251ToUtf16("x");
    const std::string utf8 = platform::Utf16ToCodePage(wide, "UTF-8");
    const std::string oem = platform::Utf16ToCodePage(wide, "CP866");
    const std::u16string back = platform::CodePageToUtf16(utf8, "UTF-8");
    if (oem.empty() || back.empty()) Fail("conversion failed");
}

// What starting and joining one thread costs here, in microseconds: one at a time, or in
// waves of 50 alive at once (as many stacks as the dispatcher keeps), with or without the
// conversions.
double ThreadStartJoinMicros(int alive, bool convert) {
    Span span;
    for (int done = 0; done < kMessages; done += alive) {
        std::vector<std::thread> wave;
        for (int i = 0; i < alive; ++i) {
            wave.emplace_back([convert] {
                if (convert) ConvertAsASenderDoes();
            });
        }
        for (std::thread& t : wave) t.join();
    }
    span.Stop();
    return span.seconds() * 1e6 / kMessages;
}

// ---- the main window ---------------------------------------------------------------------

QString LogLine(const char* recipient, bool sent) {
    return QString::fromUtf8(std::string(msg::LogPrefix) + recipient +
                             std::string(sent ? msg::LogSent : msg::LogNotSent));
}

// Types the recipients and the message, runs the send command and the event loop until the
// send has ended and the log holds a line per recipient.
Span SendFromWindow(QApplication& app, TQuorvelForm& form, const std::string& recipients,
                    int lines) {
    form.FlushLog();
    form.lvLog->clear();
    form.edRecipient->setText(QString::fromLatin1(recipients.c_str()));
    form.edSender->setEditText(QString::fromUtf8(kSenderUtf8));
    form.mMessage->setPlainText(QString::fromUtf8(kMessageUtf8));
    app.processEvents();  // layouts settle outside the timing
    Configure();
    form.ActionManager1->UpdateActions();
    if (!form.actSend->isEnabled()) Fail("the send command is disabled");

    QEventLoop loop;
    QTimer check;
    check.setTimerType(Qt::PreciseTimer);
    bool finished = false;
    Span span;
    QObject::connect(&check, &QTimer::timeout, [&] {
        if (!SendInProgress.load() && form.lvLog->topLevelItemCount() >= lines) {
            span.Stop();
            finished = true;
            loop.quit();
        } else if (Clock::now() - span.start > kRunBudget) {
            loop.quit();
        }
    });
    check.start(1);
    if (!form.actSend->Execute()) Fail("the send command did not run");
    loop.exec();
    check.stop();
    if (!finished) Fail("the window's send did not finish in time");
    return span;
}

// Every line is there: n lines, each the recipient's with its picture.
void ExpectLogLines(TQuorvelForm& form, const std::multiset<QString>& expected) {
    std::multiset<QString> seen;
    for (int i = 0; i < form.lvLog->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = form.lvLog->topLevelItem(i);
        if (item->icon(0).isNull()) Fail("a log line has no picture");
        if (item->text(0).isEmpty()) Fail("a log line has no time");
        seen.insert(item->text(1));
    }
    if (seen != expected) {
        Fail("the log holds " + std::to_string(seen.size()) + " lines, not the " +
             std::to_string(expected.size()) + " expected ones");
    }
}

// (b) Through the real main window.
RunResult RunWindow(QApplication& app, TQuorvelForm& form, const FastReceiver& rx, int run) {
    const std::uint64_t c0 = rx.completed(), m0 = rx.matching();
    const Span span = SendFromWindow(app, form, Repeat(kFastAddress, kMessages), kMessages);
    ExpectDelivered(rx, c0, m0, kMessages, true, "main window");
    std::multiset<QString> expected;
    for (int i = 0; i < kMessages; ++i) expected.insert(LogLine(kFastAddress, true));
    ExpectLogLines(form, expected);
    return Report("(b) main window, offscreen", run, kMessages, span, rx);
}

// What adding one log line costs the main thread, in microseconds, with no thread involved;
// eachTurn: the event loop runs after every line (the view's layout and paint), as it does
// when the lines come from the senders one at a time.
double AddLogLineMicros(QApplication& app, TQuorvelForm& form, bool eachTurn) {
    form.FlushLog();
    form.lvLog->clear();
    Configure();
    TLogEntry entry;
    entry.text = platform::Utf8ToCp1251(LogLine(kFastAddress, true).toStdString());
    entry.image = 1;
    entry.time = SystemClock().LocalTime();
    Span span;
    for (int i = 0; i < kMessages; ++i) {
        form.AddLogLine(entry);
        if (eachTurn) app.processEvents();
    }
    form.FlushLog();
    app.processEvents();  // the view's deferred layout and paint
    span.Stop();
    form.lvLog->clear();
    return span.seconds() * 1e6 / kMessages;
}

// The log bridge's hand-off with nothing to do on the main thread: 50 threads, each holding
// LogLock around a queued call it waits for, as the senders do. Microseconds per hand-off.
double BareHandOffMicros(QApplication& app) {
    std::atomic<int> next{0}, done{0};
    Span span;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            while (next.fetch_add(1) < kMessages) {
                std::lock_guard<std::mutex> hold(LogLock);
                auto ran = std::make_shared<std::promise<void>>();
                std::future<void> wait = ran->get_future();
                QMetaObject::invokeMethod(
                    &app, [ran] { ran->set_value(); }, Qt::QueuedConnection);
                wait.wait();
            }
            done.fetch_add(1);
        });
    }
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, [&] {
        if (Clock::now() - span.start > kRunBudget) Fail("the log hand-offs did not end in time");
        if (done.load() == kThreads) loop.quit();
    });
    check.start(1);
    loop.exec();
    for (std::thread& t : threads) t.join();
    span.Stop();
    return span.seconds() * 1e6 / kMessages;
}

// What one update of all commands costs; the window runs it each time its loop goes idle.
double UpdateActionsMicros(TQuorvelForm& form) {
    Span span;
    for (int i = 0; i < kMessages; ++i) form.ActionManager1->UpdateActions();
    span.Stop();
    return span.seconds() * 1e6 / kMessages;
}

// How long Pause(5) really sleeps here, in milliseconds.
double FiveMsSleepMs() {
    Span span;
    for (int i = 0; i < 20; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    span.Stop();
    return span.seconds() * 1000 / 20;
}

// The window, log bridge and dispatcher alone: a messenger call that succeeds at once.
RunResult RunWindowInstant(QApplication& app, TQuorvelForm& form, const FastReceiver& rx,
                           int run) {
    form.FMessengerCall = InstantSend;
    const Span span = SendFromWindow(app, form, Repeat(kFastAddress, kMessages), kMessages);
    form.FMessengerCall = {};
    std::multiset<QString> expected;
    for (int i = 0; i < kMessages; ++i) expected.insert(LogLine(kFastAddress, true));
    ExpectLogLines(form, expected);
    return Report("(b0) window, instant call", run, kMessages, span, rx, false);
}

// ---- smbclient ---------------------------------------------------------------------------

// (d) `smbclient -M` once per message, one after the other, the message on its stdin.
RunResult RunSmbclient(const FastReceiver& rx, std::uint16_t port, const std::string& messageFile,
                       int run) {
    const std::uint64_t c0 = rx.completed(), m0 = rx.matching();
    const std::string portText = std::to_string(port);
    std::vector<std::string> args = {"smbclient", "-M", kFastAddress, "-p", portText,
                                     "-I", kFastAddress, "-U", "sender", "-N"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    Span span;
    for (int i = 0; i < kSmbclientMessages; ++i) {
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addopen(&files, 0, messageFile.c_str(), O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&files, 2, "/dev/null", O_WRONLY, 0);
        pid_t pid = -1;
        const int rc = posix_spawnp(&pid, "smbclient", &files, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&files);
        if (rc != 0) Fail(std::string("cannot start smbclient: ") + std::strerror(rc));
        // Bounded: a smbclient that hangs is stopped, and the run fails.
        const auto deadline = Clock::now() + std::chrono::seconds(20);
        int status = 0;
        for (;;) {
            const pid_t w = waitpid(pid, &status, WNOHANG);
            if (w == pid) break;
            if (w < 0 && errno != EINTR) Fail("waitpid failed");
            if (Clock::now() > deadline) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                Fail("smbclient did not end in time");
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            Fail("smbclient failed (status " + std::to_string(status) + ")");
        }
    }
    span.Stop();
    // smbclient converts the text its own way: only the count is checked.
    ExpectDelivered(rx, c0, m0, kSmbclientMessages, false, "smbclient");
    return Report("(d) smbclient -M, in a row", run, kSmbclientMessages, span, rx);
}

// ---- silent recipients -------------------------------------------------------------------

std::string SilentRecipients(int& silentCount) {
    std::vector<std::string> list;
    silentCount = 0;
    for (int i = 0; i < kSilentRecipients; ++i) {
        const bool silent = i % 5 == 2;  // every fifth, spread through the list
        silentCount += silent;
        list.push_back(silent ? kSilentAddress : kFastAddress);
    }
    std::string text;
    for (const std::string& r : list) text += (text.empty() ? "" : ",") + r;
    return text;
}

bool ReportSilent(const char* label, double seconds, int sent, int notSent, int silentCount) {
    const double limitMs = kTimeoutMs + 1000;
    const bool met = seconds * 1000 <= limitMs;
    std::printf("  %-28s %d recipients (%d silent): %d sent, %d not sent, elapsed %.0f ms, "
                "limit %.0f ms: %s\n",
                label, kSilentRecipients, silentCount, sent, notSent, seconds * 1000, limitMs,
                met ? "met" : "MISSED");
    std::fflush(stdout);
    return met;
}

bool RunSilentDispatcher(const FastReceiver& rx, const Payload& p) {
    int silentCount = 0;
    const std::string recipients = SilentRecipients(silentCount);
    std::atomic<int> sent{0}, notSent{0};
    const std::uint64_t c0 = rx.completed(), m0 = rx.matching();
    const double s = RunDispatcher(p, recipients, [&](const TLogEntry& e) {
        (e.image == 1 ? sent : notSent).fetch_add(1);
    }).seconds();
    if (sent.load() != kSilentRecipients - silentCount || notSent.load() != silentCount) {
        Fail("silent recipients: unexpected log results");
    }
    ExpectDelivered(rx, c0, m0, kSilentRecipients - silentCount, true, "silent, dispatcher");
    return ReportSilent("dispatcher, counting log", s, sent.load(), notSent.load(), silentCount);
}

bool RunSilentWindow(QApplication& app, TQuorvelForm& form, const FastReceiver& rx) {
    int silentCount = 0;
    const std::string recipients = SilentRecipients(silentCount);
    const std::uint64_t c0 = rx.completed(), m0 = rx.matching();
    const double s = SendFromWindow(app, form, recipients, kSilentRecipients).seconds();
    ExpectDelivered(rx, c0, m0, kSilentRecipients - silentCount, true, "silent, window");
    std::multiset<QString> expected;
    for (int i = 0; i < kSilentRecipients - silentCount; ++i)
        expected.insert(LogLine(kFastAddress, true));
    for (int i = 0; i < silentCount; ++i) expected.insert(LogLine(kSilentAddress, false));
    ExpectLogLines(form, expected);
    return ReportSilent("main window, offscreen", s, kSilentRecipients - silentCount, silentCount,
                        silentCount);
}

void PrintRatio(const char* what, double value, double aim, const char* aimText) {
    std::printf("  %-12s = %9.2f  (aim %s): %s\n", what, value, aimText,
                value >= aim ? "met" : "MISSED");
}

}  // namespace

// Optional arguments name the parts to run (a b c d e, x for the breakdown); all by default.
int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    std::set<std::string> parts;
    for (int i = 1; i < argc; ++i) parts.insert(argv[i]);
    const auto wanted = [&](const char* part) { return parts.empty() || parts.count(part); };

    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const testing_support::TempDir scratch;  // removed with everything in it
    const std::string dir = scratch.path();
    const std::string runtime = dir + "/runtime";
    if (mkdir(runtime.c_str(), 0700) != 0) Fail("cannot make the runtime folder");
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (dir + "/config").c_str(), 1);

    const Endpoints ep = OpenEndpoints();
    setenv("QUORVEL_MESSENGER_PORT", std::to_string(ep.port).c_str(), 1);
    setenv("QUORVEL_MESSENGER_TIMEOUT", std::to_string(kTimeoutMs).c_str(), 1);
    unsetenv("QUORVEL_MESSENGER_CODEPAGE");  // the default, CP866, is what the receiver expects

    const Payload payload;
    const int workers =
        static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 4u));
    const std::string wireText =
        platform::Utf16ToCodePage(platform::Cp1251ToUtf16(payload.messageAnsi), "CP866");
    FastReceiver rx(ep.fast, workers, wireText);
    receiver = &rx;
    SilentListener silent(ep.silent);

    const std::string messageFile = dir + "/message.txt";
    {
        std::ofstream out(messageFile, std::ios::binary);
        out << kMessageUtf8;
        if (!out.flush()) Fail("cannot write " + messageFile);
    }

    QApplication app(argc, argv);
    SetErrorReportHandler([](const QString& text) { Fail("error report: " + text.toStdString()); });
    std::unique_ptr<TQuorvelForm> form;
    if (wanted("b") || wanted("e") || wanted("x")) {
        form = std::make_unique<TQuorvelForm>(dir + "/Quorvel");
        form->resize(TFormINI::kLayoutWidth, TFormINI::kLayoutHeight);
        form->show();
        app.processEvents();
    }

    std::printf("receiver 127.0.0.1:%u (%d epoll threads), silent listener 127.0.0.2:%u; "
                "%d cores, MaxThreads %d\n",
                ep.port, workers, ep.port, static_cast<int>(std::thread::hardware_concurrency()),
                kThreads);
    std::printf("%d recipients x 1 message \"%s\" from \"%s\", %d runs each\n", kMessages,
                kMessageUtf8, kSenderUtf8, kRuns);

    // Untimed: threads, converters and the receiver warm up.
    if (wanted("a") || wanted("b") || wanted("c") || wanted("x")) {
        Configure();
        std::printf("warm-up:\n");
        RunPlainThreads(rx, payload, 0);
    }

    std::vector<double> a, b, c, d;
    for (int run = 1; run <= kRuns; ++run) {
        if (wanted("c")) c.push_back(RunPlainThreads(rx, payload, run).rate);
        if (wanted("a")) a.push_back(RunDispatcherNoLog(rx, payload, run).rate);
        if (wanted("b")) b.push_back(RunWindow(app, *form, rx, run).rate);
        if (wanted("d")) d.push_back(RunSmbclient(rx, ep.port, messageFile, run).rate);
    }
    // Not part of the ratios: where the time of (a) and (b) goes.
    std::vector<double> a0, b0, c1;
    if (wanted("x")) {
        std::printf("breakdown:\n");
        for (int run = 1; run <= kRuns; ++run) {
            c1.push_back(RunThreadPerMessage(rx, payload, run).rate);
            a0.push_back(RunDispatcherInstant(rx, payload, run).rate);
            if (form) b0.push_back(RunWindowInstant(app, *form, rx, run).rate);
        }
        std::vector<double> startJoin, startJoin50, startJoinConvert, addLine, addLineTurn,
            handOff, update, sleep5;
        for (int run = 1; run <= kRuns; ++run) {
            startJoin.push_back(ThreadStartJoinMicros(1, false));
            startJoin50.push_back(ThreadStartJoinMicros(kThreads, false));
            startJoinConvert.push_back(ThreadStartJoinMicros(1, true));
            sleep5.push_back(FiveMsSleepMs());
            handOff.push_back(BareHandOffMicros(app));
            if (form) {
                addLine.push_back(AddLogLineMicros(app, *form, false));
                addLineTurn.push_back(AddLogLineMicros(app, *form, true));
                update.push_back(UpdateActionsMicros(*form));
            }
        }
        std::printf("  one thread started and joined:            %8.1f us\n", Median(startJoin));
        std::printf("  the same, 50 alive at once:               %8.1f us\n", Median(startJoin50));
        std::printf("  one alone, making a sender's conversions: %8.1f us\n",
                    Median(startJoinConvert));
        std::printf("  a 5 ms sleep lasts:                       %8.2f ms\n", Median(sleep5));
        std::printf("  one log hand-off, empty, 50 threads:      %8.1f us\n", Median(handOff));
        if (form) {
            std::printf("  one AddLogLine, main thread, in a row:    %8.1f us\n", Median(addLine));
            std::printf("  the same with an event loop turn after each: %5.1f us\n",
                        Median(addLineTurn));
            std::printf("  one UpdateActions (each idle moment):     %8.1f us\n", Median(update));
        }
    }

    std::printf("medians (msg/s):\n");
    if (!a.empty()) std::printf("  (a) dispatcher, no-op log     %9.1f\n", Median(a));
    if (!b.empty()) std::printf("  (b) main window, offscreen    %9.1f\n", Median(b));
    if (!c.empty()) std::printf("  (c) 50 plain threads (limit)  %9.1f\n", Median(c));
    if (!d.empty()) std::printf("  (d) smbclient -M, in a row    %9.1f\n", Median(d));
    if (!c1.empty()) std::printf("  (c1) thread per message       %9.1f\n", Median(c1));
    if (!a0.empty()) std::printf("  (a0) dispatcher, instant call %9.1f\n", Median(a0));
    if (!b0.empty()) std::printf("  (b0) window, instant call     %9.1f\n", Median(b0));
    std::printf("ratios (of the medians):\n");
    if (!a.empty() && !c.empty()) PrintRatio("(a)/(c)", Median(a) / Median(c), 0.8, ">= 0.8");
    if (!b.empty() && !c.empty()) PrintRatio("(b)/(c)", Median(b) / Median(c), 0.5, ">= 0.5");
    if (!a.empty() && !d.empty()) PrintRatio("(a)/(d)", Median(a) / Median(d), 100, ">= 100");

    if (wanted("e")) {
        std::printf("silent recipients, timeout %d ms:\n", kTimeoutMs);
        RunSilentDispatcher(rx, payload);
        RunSilentWindow(app, *form, rx);
        std::printf("  silent listener accepted %llu connections\n",
                    static_cast<unsigned long long>(silent.accepted()));
    }
    if (rx.dropped()) {
        std::printf("receiver dropped %llu connections it could not understand\n",
                    static_cast<unsigned long long>(rx.dropped()));
    }
    std::fflush(stdout);
    form.reset();
    receiver = nullptr;
    return 0;
}
