// The window that shows one received message: who sent it to which name and when, the text,
// and an OK button that closes it. Not modal; several can be open at once.
#pragma once

#include <QWidget>

#include "messenger/Message.h"

class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace messenger {

class MessageWindow : public QWidget {
    Q_OBJECT
public:
    explicit MessageWindow(const Message& message, QWidget* parent = nullptr);

    // "Сообщение от FROM для TO от DD.MM.YYYY HH:MM:SS", local time.
    static QString HeaderText(const Message& message);

private:
    QLabel* header_;
    QPlainTextEdit* text_;
    QPushButton* ok_;
};

// Shows the windows of arriving messages, at most maxOpen at a time: past that a message stays
// in the log alone, so a flood of messages cannot bury the desktop.
class MessageWindows : public QObject {
    Q_OBJECT
public:
    explicit MessageWindows(int maxOpen, QObject* parent = nullptr);
    // False when the message was not shown because too many windows are open.
    bool Show(const Message& message);
    int openCount() const { return open_; }

private:
    int maxOpen_;
    int open_ = 0;
};

}  // namespace messenger
