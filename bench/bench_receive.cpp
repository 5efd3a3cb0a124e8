// Receiving throughput: 1,000 messages from 50 parallel senders on loopback, each its own
// connection, to quorvel-messenger and to Samba's smbd with a message command that does
// nothing but remove the message file. Both are measured in this run with the same senders
// (the program's own NetMessageBufferSend), so the ratio holds across machines. Times are
// printed, never judged.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Process.h"
#include "SambaPeer.h"
#include "TempDir.h"
#include "platform/CodePage.h"
#include "platform/LmMsg.h"

namespace {

constexpr int kMessages = 1000;
constexpr int kSenders = 50;
constexpr int kRuns = 3;
constexpr int kInARow = 100;  // a single sender, for the cost of one message alone
const char* const kProgram = QUORVEL_MESSENGER_PROGRAM;

using Clock = std::chrono::steady_clock;

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "bench_receive: %s\n", what.c_str());
    std::exit(1);
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// CPU seconds a process has used (user and system), from /proc.
double CpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto close = stat.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(stat.substr(close + 2));
    std::string f;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> f; ++i) {
        if (i == 14) utime = std::stoull(f);
        if (i == 15) stime = std::stoull(f);
    }
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

// Sends messages "<tag> <n>" from senders threads to 127.0.0.1:port; the seconds until the
// last was accepted. Every send must succeed.
double SendAll(std::uint16_t port, const std::string& tag, int messages = kMessages,
               int senders = kSenders) {
    setenv("QUORVEL_MESSENGER_PORT", std::to_string(port).c_str(), 1);
    setenv("QUORVEL_MESSENGER_TIMEOUT", "20000", 1);
    std::atomic<int> next{0}, failed{0};
    const auto t0 = Clock::now();
    std::vector<std::thread> threads;
    for (int s = 0; s < senders; ++s) {
        threads.emplace_back([&] {
            for (int n; (n = next.fetch_add(1)) < messages;) {
                const std::u16string text =
                    u"Проверка " +
                    platform::CodePageToUtf16(tag + " " + std::to_string(n), "UTF-8");
                const auto rc = platform::NetMessageBufferSend(
                    nullptr, u"127.0.0.1", u"Замер",
                    reinterpret_cast<const unsigned char*>(text.data()),
                    static_cast<std::uint32_t>(text.size() * 2));
                if (rc != platform::NERR_Success) failed.fetch_add(1);
            }
        });
    }
    for (auto& t : threads) t.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    if (failed.load() != 0) {
        Fail(std::to_string(failed.load()) + " of " + std::to_string(kMessages) +
             " sends to port " + std::to_string(port) + " failed");
    }
    return seconds;
}

// The log must hold each message of the run exactly once.
void CheckLog(const std::string& log, const std::string& tag, int messages = kMessages) {
    std::ifstream in(log);
    std::set<std::string> seen;
    int count = 0;
    for (std::string line; std::getline(in, line);) {
        const auto at = line.find("Проверка " + tag + " ");
        if (at == std::string::npos) continue;
        ++count;
        seen.insert(line.substr(at));
    }
    if (count != messages || int(seen.size()) != messages) {
        Fail("the log holds " + std::to_string(count) + " records (" + std::to_string(seen.size()) +
             " distinct) of run " + tag);
    }
}

}  // namespace

int main() {
    std::printf(
        "bench_receive: %d messages from %d parallel senders on loopback, a connection "
        "each; median of %d runs\n",
        kMessages, kSenders, kRuns);
    testing_support::TempDir dir;

    // quorvel-messenger, headless, on a free port.
    const std::uint16_t port = testing_support::FreeLoopbackPort();
    const std::string log = dir.file("messages.log");
    const std::string pidFile = dir.file("messenger.pid");
    const pid_t rx = testing_support::Spawn(
        kProgram, {"--no-window", "--listen", "127.0.0.1", "--port", std::to_string(port), "--log",
                   log, "--pid-file", pidFile});
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (testing_support::ReadFileBytes(pidFile) != std::to_string(rx) + "\n") {
        if (Clock::now() > deadline) Fail("quorvel-messenger did not start");
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::vector<double> ours;
    const double cpu0 = CpuSeconds(rx);
    for (int r = 0; r < kRuns; ++r) {
        const std::string tag = "q" + std::to_string(r);
        const double s = SendAll(port, tag);
        CheckLog(log, tag);
        ours.push_back(kMessages / s);
        std::printf("  quorvel-messenger run %d: %.3f s, %.0f messages/s\n", r + 1, s,
                    kMessages / s);
    }
    const double cpu = CpuSeconds(rx) - cpu0;
    const double oursInARow = kInARow / SendAll(port, "q-row", kInARow, 1);
    CheckLog(log, "q-row", kInARow);
    kill(rx, SIGTERM);
    if (testing_support::WaitExit(rx, 10000) != 0) Fail("quorvel-messenger did not end cleanly");

    // smbd with a message command that only removes the message file.
    std::vector<double> samba;
    double sambaInARow = 0;
    try {
        testing_support::SambaOptions options;
        options.messageCommand = "/bin/rm -f %s";
        testing_support::SambaPeer smbd(options);
        for (int r = 0; r < kRuns; ++r) {
            const double s = SendAll(smbd.port(), "s" + std::to_string(r));
            samba.push_back(kMessages / s);
            std::printf("  smbd run %d: %.3f s, %.0f messages/s\n", r + 1, s, kMessages / s);
        }
        sambaInARow = kInARow / SendAll(smbd.port(), "s-row", kInARow, 1);
    } catch (const std::exception& e) {
        Fail(std::string("smbd: ") + e.what());
    }

    const double a = Median(ours), b = Median(samba);
    std::printf("\n  quorvel-messenger  %9.0f messages/s  (receiver CPU %.2f s for %d messages)\n",
                a, cpu, kMessages * kRuns);
    std::printf("  smbd (rm -f %%s)    %9.0f messages/s\n", b);
    std::printf("  ratio quorvel-messenger / smbd: %.1f (aim >= 5)\n", a / b);
    std::printf(
        "\n  one sender, %d messages in a row: quorvel-messenger %.0f messages/s, "
        "smbd %.0f messages/s\n",
        kInARow, oursInARow, sambaInARow);
    return 0;
}
