// Answers the modal windows that a command opens one after another, for widget tests.
#pragma once

#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <vector>

namespace testing_support {

class TModalDriver {
public:
    // A step gets the active modal window and returns false to be asked again later (for
    // example while a dialog is still loading). Past timeoutMs every modal window still up is
    // rejected, so a command whose dialog never becomes ready ends and the test fails instead
    // of hanging.
    explicit TModalDriver(std::vector<std::function<bool(QWidget*)>> steps, int timeoutMs = 30000);
    bool done() const { return next_ == steps_.size(); }
    bool timedOut() const { return timedOut_; }

private:
    void Poll();

    std::vector<std::function<bool(QWidget*)>> steps_;
    std::size_t next_ = 0;
    QPointer<QWidget> handled_;
    QTimer timer_;
    QTimer deadline_;
    bool timedOut_ = false;
};

}  // namespace testing_support
