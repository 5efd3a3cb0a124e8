// A thread object with an execute body and an exit code, in the manner the dispatcher polls:
// STILL_ACTIVE while the body runs, 0 once it has ended.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

class TThread {
public:
    static constexpr std::uint32_t STILL_ACTIVE = 259;

    TThread() = default;
    virtual ~TThread();
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    // Starts the body on a new thread. Throws std::system_error when no thread can be made.
    // With freeOnTerminate the object deletes itself when the body has ended; nobody may
    // touch it after Start() then.
    void Start(bool freeOnTerminate = false);
    std::uint32_t ExitCode() const { return finished_.load() ? 0 : STILL_ACTIVE; }

protected:
    virtual void Execute() = 0;

private:
    void Run(bool freeOnTerminate);

    std::thread thread_;
    std::atomic<bool> finished_{false};
};
