#include "ModalDriver.h"

#include <QApplication>
#include <QDialog>

namespace testing_support {

TModalDriver::TModalDriver(std::vector<std::function<bool(QWidget*)>> steps, int timeoutMs)
    : steps_(std::move(steps)) {
    timer_.setInterval(5);
    QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
    timer_.start();
    deadline_.setSingleShot(true);
    QObject::connect(&deadline_, &QTimer::timeout, [this] { timedOut_ = true; });
    deadline_.start(timeoutMs);
}

void TModalDriver::Poll() {
    QWidget* modal = QApplication::activeModalWidget();
    if (timedOut_) {
        if (auto* dialog = qobject_cast<QDialog*>(modal))
            dialog->reject();
        else if (modal)
            modal->close();
        return;
    }
    if (!modal || modal == handled_ || done()) return;
    if (steps_[next_](modal)) {
        handled_ = modal;
        ++next_;
    }
}

}  // namespace testing_support
