#include "send/Thread.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

// The parked system threads and the bodies handed to them.
class TThreadPool {
public:
    static TThreadPool& Instance() {
        // Never destroyed: parked threads may still wait on it while the process exits.
        static TThreadPool* pool = new TThreadPool;
        return *pool;
    }

    void Start(TThread* body) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (idle_ > pending_.size()) {
                pending_.push_back(body);
                work_.notify_one();
                return;
            }
        }
        std::thread([this, body] { Work(body); }).detach();
    }

    void Ended(TThread* body) {
        std::lock_guard<std::mutex> lock(mutex_);
        body->finished_.store(true);
        ++ends_;
        ended_.notify_all();
    }

    std::uint64_t EndCount() {
        std::lock_guard<std::mutex> lock(mutex_);
        return ends_;
    }

    void WaitForEnd(std::uint64_t seen, std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(mutex_);
        ended_.wait_for(lock, limit, [&] { return ends_ != seen; });
    }

private:
    // How long a finished thread waits for another body before it ends.
    static constexpr auto kKeepAlive = std::chrono::seconds(2);

    void Work(TThread* body) {
        while (body) {
            body->Run();
            body = nullptr;
            std::unique_lock<std::mutex> lock(mutex_);
            ++idle_;
            work_.wait_for(lock, kKeepAlive, [this] { return !pending_.empty(); });
            --idle_;
            if (!pending_.empty()) {
                body = pending_.front();
                pending_.pop_front();
            }
        }
    }

    std::mutex mutex_;
    std::condition_variable work_;
    std::condition_variable ended_;
    std::deque<TThread*> pending_;
    std::size_t idle_ = 0;
    std::uint64_t ends_ = 0;
};

TThread::~TThread() = default;

void TThread::Start(bool freeOnTerminate) {
    freeOnTerminate_ = freeOnTerminate;
    TThreadPool::Instance().Start(this);
}

void TThread::Run() {
    try {
        Execute();
    } catch (...) {
        // An error that escapes the body ends the thread quietly.
    }
    if (freeOnTerminate_) {
        delete this;
        return;
    }
    // The last touch of the object: its owner may free it once ExitCode() shows the end.
    TThreadPool::Instance().Ended(this);
}

std::uint64_t TThread::EndCount() { return TThreadPool::Instance().EndCount(); }

void TThread::WaitForEnd(std::uint64_t seen, std::chrono::milliseconds limit) {
    TThreadPool::Instance().WaitForEnd(seen, limit);
}
