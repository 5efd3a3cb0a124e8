#include "forms/LogBridge.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <future>

#include "forms/main.h"

void TLogBridge::Detach() {
    std::lock_guard<std::mutex> lock(mutex_);
    attached_ = false;
    form_ = nullptr;
}

void TLogBridge::Log(const TLogEntry& entry) {
    // A call that is dropped unrun (the application ends first) destroys the promise, which
    // releases the wait as well.
    auto added = std::make_shared<std::promise<void>>();
    std::future<void> done = added->get_future();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!attached_) return;
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self = shared_from_this(), entry, added] {
                if (self->form_) self->form_->AddLogLine(entry);
                added->set_value();
            },
            Qt::QueuedConnection);
    }
    done.wait();
}

void TLogBridge::Finished() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!attached_) return;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [self = shared_from_this()] {
            if (!self->form_) return;
            self->form_->FlushLog();  // the last lines of a send show at once
            self->form_->ActionManager1->UpdateActions();
        },
        Qt::QueuedConnection);
}
