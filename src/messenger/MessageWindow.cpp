#include "messenger/MessageWindow.h"

#include <QDateTime>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <chrono>

namespace messenger {

namespace {

QString FromUtf8(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

}  // namespace

QString MessageWindow::HeaderText(const Message& message) {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(message.received.time_since_epoch())
            .count();
    const QString when =
        QDateTime::fromMSecsSinceEpoch(ms).toLocalTime().toString("dd.MM.yyyy HH:mm:ss");
    return QString("Сообщение от %1 для %2 от %3")
        .arg(FromUtf8(message.from), FromUtf8(message.to), when);
}

MessageWindow::MessageWindow(const Message& message, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowStaysOnTopHint) {
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle("Служба сообщений");
    setObjectName("MessageWindow");

    header_ = new QLabel(HeaderText(message), this);
    header_->setObjectName("lblHeader");
    // Names come from the network: never let them be read as markup.
    header_->setTextFormat(Qt::PlainText);
    header_->setWordWrap(true);
    header_->setTextInteractionFlags(Qt::TextSelectableByMouse);

    text_ = new QPlainTextEdit(this);
    text_->setObjectName("mText");
    text_->setReadOnly(true);
    text_->setPlainText(FromUtf8(message.text));

    auto* buttons = new QDialogButtonBox(this);
    ok_ = buttons->addButton("OK", QDialogButtonBox::AcceptRole);
    ok_->setObjectName("btnOk");
    ok_->setDefault(true);
    ok_->setAutoDefault(true);
    connect(ok_, &QPushButton::clicked, this, &QWidget::close);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(header_);
    layout->addWidget(text_, 1);
    layout->addWidget(buttons);
    resize(420, 220);
    ok_->setFocus();
}

MessageWindows::MessageWindows(int maxOpen, QObject* parent) : QObject(parent), maxOpen_(maxOpen) {}

bool MessageWindows::Show(const Message& message) {
    if (open_ >= maxOpen_) return false;
    auto* w = new MessageWindow(message);
    ++open_;
    connect(w, &QObject::destroyed, this, [this] { --open_; });
    w->show();
    w->raise();
    w->activateWindow();
    return true;
}

}  // namespace messenger
