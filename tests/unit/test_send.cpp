// The send core against fakes: recipient splitting, the sender's attempts, log lines and
// pauses, and the dispatcher's throttle and busy flag.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "common/defaults.h"
#include "platform/CodePage.h"
#include "send/Recipients.h"
#include "send/SendState.h"
#include "send/uMenageThread.h"
#include "send/uSenderThread.h"

using platform::NET_API_STATUS;

namespace {

std::string A(const char* utf8) { return platform::Utf8ToCp1251(utf8); }

std::u16string FromBuffer(const char16_t* text) { return text ? std::u16string(text) : u""; }

// Ticks advance only when told; sleeps are recorded and move the ticks on.
class TFakeClock : public TSendClock {
public:
    std::uint32_t TickCount() override { return ticks.load(); }
    TLocalTime LocalTime() override { return {2026, 12, 11, 0, 0, 0, 5}; }
    void Sleep(std::uint32_t ms) override {
        std::lock_guard<std::mutex> lock(mutex);
        sleeps.push_back(ms);
        ticks += ms;
    }
    std::atomic<std::uint32_t> ticks{0};
    std::mutex mutex;
    std::vector<std::uint32_t> sleeps;
};

struct TCall {
    std::u16string recipient, sender, message;
    std::uint32_t length;
};

// Records every call and line; the answer and the duration of a call are configurable.
class TFakeMessenger {
public:
    TSendServices services() {
        TSendServices s;
        s.send = [this](const char16_t* to, const char16_t* from, const unsigned char* buf,
                        std::uint32_t len) {
            const int now = ++active;
            int seen = maxActive.load();
            while (now > seen && !maxActive.compare_exchange_weak(seen, now)) {
            }
            if (callMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(callMs));
            clock.ticks += clockMsPerCall;
            {
                std::lock_guard<std::mutex> lock(mutex);
                TCall call{FromBuffer(to), FromBuffer(from), {}, len};
                call.message.assign(reinterpret_cast<const char16_t*>(buf), len / 2);
                calls.push_back(call);
            }
            --active;
            const std::string name = platform::Cp1251ToUtf8(platform::Utf16ToCp1251(FromBuffer(to)));
            return failing.count(name) ? NET_API_STATUS(2273) : NET_API_STATUS(0);
        };
        s.log = [this](const TLogEntry& entry) {
            // LogLock is held here; a second logger at once would be a fault.
            EXPECT_EQ(++logging, 1);
            std::lock_guard<std::mutex> lock(mutex);
            lines.push_back(entry);
            --logging;
        };
        s.finished = [this] {
            std::lock_guard<std::mutex> lock(mutex);
            ++finishedCalls;
            done.notify_all();
        };
        s.clock = &clock;
        return s;
    }

    // Runs a whole send and waits for the dispatcher to finish.
    void send(const std::string& recipients, const std::string& message, int count = 1,
              int interval = 0, const std::string& sender = "me") {
        SendInProgress = true;
        TMenageThread::Start(sender, recipients, message, count, interval, services());
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(done.wait_for(lock, std::chrono::seconds(20), [&] { return finishedCalls > 0; }));
        EXPECT_FALSE(SendInProgress.load());
    }

    TFakeClock clock;
    std::mutex mutex;
    std::condition_variable done;
    std::vector<TCall> calls;
    std::vector<TLogEntry> lines;
    std::map<std::string, int> failing;
    std::atomic<int> active{0}, maxActive{0}, logging{0};
    int finishedCalls = 0;
    int callMs = 0;
    std::uint32_t clockMsPerCall = 0;
};

class SendCoreTest : public ::testing::Test {
protected:
    void SetUp() override { MaxThreads = 50; }
    void TearDown() override { MaxThreads = 50; }
    TFakeMessenger fake;
};

}  // namespace

TEST(RecipientSplit, CommaText) {
    using L = std::vector<std::string>;
    struct Case {
        std::string text;
        L list;
    } cases[] = {
        {"a, b, WORKGROUP*", {"a", "b", "WORKGROUP*"}},
        {"", {}},
        {"   \t ", {}},
        {"a,,b", {"a", "", "b"}},
        {"a, ,b", {"a", "", "b"}},
        {"a,", {"a", ""}},
        {"a, ", {"a"}},
        {",a", {"", "a"}},
        {"a b", {"a", "b"}},
        {"a , b", {"a", "b"}},
        {"\"x y, z\"", {"x y, z"}},
        {"\"a\"\"b\"", {"a\"b"}},
        {"\"open ended", {"open ende"}},
        {"\"\"", {""}},
        {"a, \"", {"a", ""}},
        {"a,a", {"a", "a"}},
        {A("Вся сеть"), {A("Вся"), A("сеть")}},
        {std::string("a,b\0c", 5), {"a", "b"}},
    };
    for (const Case& c : cases) EXPECT_EQ(SplitRecipients(c.text), c.list) << c.text;
}

TEST(LogText, Literals) {
    // Latin C, then Cyrillic; the blanks belong to the literals.
    EXPECT_EQ(LogTextFor("PC1", true), "C" + A("ообщение PC1 отправлено"));
    EXPECT_EQ(LogTextFor("", false), "C" + A("ообщение  не отправлено"));
}

TEST_F(SendCoreTest, EveryRecipientGetsCountAttemptsEachLogged) {
    fake.failing["b"] = 1;
    fake.send("a, b, c", "hi", 2);
    ASSERT_EQ(fake.lines.size(), 6u);
    std::map<std::string, std::vector<int>> images;
    for (const TLogEntry& line : fake.lines) images[line.text].push_back(line.image);
    EXPECT_EQ(images[LogTextFor("a", true)], (std::vector<int>{1, 1}));
    EXPECT_EQ(images[LogTextFor("b", false)], (std::vector<int>{0, 0}));
    EXPECT_EQ(images[LogTextFor("c", true)], (std::vector<int>{1, 1}));
    EXPECT_EQ(fake.lines.front().time.millisecond, 5);
}

TEST_F(SendCoreTest, BuffersHandedToTheMessenger) {
    const std::string longName(129, 'x');
    fake.send(A("Иван") + ", " + longName + ", \"\"", A("Привет\r\nмир"), 1, 0, A("Пётр"));
    ASSERT_EQ(fake.calls.size(), 3u);
    std::sort(fake.calls.begin(), fake.calls.end(),
              [](const TCall& l, const TCall& r) { return l.recipient < r.recipient; });
    EXPECT_EQ(fake.calls[0].recipient, u"");  // the 129 characters go out as an empty name...
    EXPECT_EQ(fake.calls[1].recipient, u"");  // ...like the empty recipient
    EXPECT_EQ(fake.calls[2].recipient, u"Иван");
    for (const TCall& call : fake.calls) {
        EXPECT_EQ(call.sender, u"Пётр");
        EXPECT_EQ(call.message, u"Привет\r\nмир");
        EXPECT_EQ(call.length, 2u * 11 + 1);
    }
    // ...but the log shows the name in full.
    bool logged = false;
    for (const TLogEntry& line : fake.lines) logged = logged || line.text == LogTextFor(longName, true);
    EXPECT_TRUE(logged);
}

TEST_F(SendCoreTest, EmptyMessageHasLengthOneAndCountZeroSendsNothing) {
    fake.send("a", "");
    ASSERT_EQ(fake.calls.size(), 1u);
    EXPECT_EQ(fake.calls[0].length, 1u);
    TFakeMessenger none;
    none.send("a, b", "x", 0);
    EXPECT_TRUE(none.calls.empty());
    EXPECT_TRUE(none.lines.empty());
    TFakeMessenger blank;
    blank.send("   ", "x");
    EXPECT_TRUE(blank.calls.empty());
    EXPECT_EQ(blank.finishedCalls, 1);
}

TEST_F(SendCoreTest, AttemptsAreSpacedByTheInterval) {
    struct Case {
        const char* name;
        std::uint32_t startTicks;
        std::uint32_t callMs;
        std::vector<std::uint32_t> sleeps;
    } cases[] = {
        {"quick attempts", 0, 300, {1700, 1700, 1700}},
        {"attempt longer than the interval", 0, 2500, {0, 0, 0}},
        {"tick counter wraps", 0xFFFFFF00u, 300, {1700, 1700, 1700}},
    };
    for (const Case& c : cases) {
        TFakeMessenger f;
        f.clock.ticks = c.startTicks;
        f.clockMsPerCall = c.callMs;
        f.send("a", "x", 3, 2);
        EXPECT_EQ(f.clock.sleeps, c.sleeps) << c.name;
    }
    TFakeMessenger noPause;
    noPause.send("a", "x", 3, 0);
    EXPECT_EQ(noPause.clock.sleeps, (std::vector<std::uint32_t>{0, 0, 0}));
}

TEST_F(SendCoreTest, ThrottleKeepsAtMostMaxThreadsAlive) {
    struct Case {
        std::int32_t maxThreads;
        int expectedMax;
    } cases[] = {{1, 1}, {0, 1}, {-5, 1}, {4, 4}};
    for (const Case& c : cases) {
        MaxThreads = c.maxThreads;
        TFakeMessenger f;
        f.callMs = 20;
        f.send("a, b, c, d, e, f, g, h", "x");
        EXPECT_EQ(f.calls.size(), 8u);
        EXPECT_EQ(f.maxActive.load(), c.expectedMax) << c.maxThreads;
        if (c.expectedMax == 1) {
            // One after another, in list order.
            std::string order;
            for (const TCall& call : f.calls) order += platform::Utf16ToCp1251(call.recipient);
            EXPECT_EQ(order, "abcdefgh");
        }
    }
}

TEST_F(SendCoreTest, BusyWhileRunning) {
    fake.callMs = 100;
    SendInProgress = true;
    TMenageThread::Start("me", "a", "x", 1, 0, fake.services());
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_TRUE(SendInProgress.load());
    std::unique_lock<std::mutex> lock(fake.mutex);
    ASSERT_TRUE(fake.done.wait_for(lock, std::chrono::seconds(10), [&] { return fake.finishedCalls > 0; }));
    EXPECT_FALSE(SendInProgress.load());
}

TEST_F(SendCoreTest, ShutdownStopsFurtherAttempts) {
    fake.callMs = 30;
    SendInProgress = true;
    TMenageThread::Start("me", "a", "x", 50, 0, fake.services());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    SendShutdown = true;
    {
        std::unique_lock<std::mutex> lock(fake.mutex);
        ASSERT_TRUE(fake.done.wait_for(lock, std::chrono::seconds(10), [&] { return fake.finishedCalls > 0; }));
    }
    SendShutdown = false;
    EXPECT_LT(fake.calls.size(), 10u);
}

// Bodies run on parked threads when there are some; whichever thread runs a body, its end
// shows in the exit code and wakes a waiting poller.
TEST(ThreadObject, EndsShowAndWakeWhicheverThreadRanTheBody) {
    static std::atomic<int> ended{0};
    struct TBody : TThread {
        void Execute() override {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            ++ended;
        }
    };
    for (int round = 0; round < 3; ++round) {  // later rounds run on the threads parked before
        ended = 0;
        std::vector<std::unique_ptr<TBody>> bodies;
        std::uint64_t seen = TThread::EndCount();
        for (int i = 0; i < 8; ++i) {
            bodies.push_back(std::make_unique<TBody>());
            bodies.back()->Start();
        }
        auto alive = [&] {
            return std::count_if(bodies.begin(), bodies.end(), [](const auto& b) {
                return b->ExitCode() == TThread::STILL_ACTIVE;
            });
        };
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (alive() > 0 && std::chrono::steady_clock::now() < deadline) {
            TThread::WaitForEnd(seen, std::chrono::seconds(1));
            seen = TThread::EndCount();
        }
        EXPECT_EQ(alive(), 0);
        EXPECT_EQ(ended.load(), 8);  // an exit code of 0 comes only after the body has run
    }
}
