#include "send/Thread.h"

TThread::~TThread() {
    if (thread_.joinable()) thread_.join();
}

void TThread::Start(bool freeOnTerminate) {
    if (freeOnTerminate) {
        // The object may be gone as soon as the thread runs: keep no handle in it.
        std::thread([this] { Run(true); }).detach();
        return;
    }
    thread_ = std::thread([this] { Run(false); });
}

void TThread::Run(bool freeOnTerminate) {
    try {
        Execute();
    } catch (...) {
        // An error that escapes the body ends the thread quietly.
    }
    if (freeOnTerminate) {
        delete this;
        return;
    }
    finished_.store(true);
}
