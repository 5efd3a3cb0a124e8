// A thread object with an execute body and an exit code, in the manner the dispatcher polls:
// STILL_ACTIVE while the body runs, 0 once it has ended.
//
// Making a system thread costs far more than a short send, so a body runs on a parked system
// thread when one is idle; a thread that finds no work for a while ends.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

class TThread {
public:
    static constexpr std::uint32_t STILL_ACTIVE = 259;

    TThread() = default;
    // Only an object that was never started, or whose ExitCode() shows its end, may be
    // destroyed: its body runs on another thread until then.
    virtual ~TThread();
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    // Starts the body on another thread. Throws std::system_error when no thread can be made.
    // With freeOnTerminate the object deletes itself when the body has ended; nobody may
    // touch it after Start() then.
    void Start(bool freeOnTerminate = false);
    std::uint32_t ExitCode() const { return finished_.load() ? 0 : STILL_ACTIVE; }

    // How many bodies have ended so far, process-wide.
    static std::uint64_t EndCount();
    // Sleeps up to `limit`, waking early once EndCount() differs from `seen`: a poller that
    // waits for threads to end reacts at once instead of at its next tick.
    static void WaitForEnd(std::uint64_t seen, std::chrono::milliseconds limit);

protected:
    virtual void Execute() = 0;

private:
    friend class TThreadPool;
    void Run();

    bool freeOnTerminate_ = false;
    std::atomic<bool> finished_{false};
};
