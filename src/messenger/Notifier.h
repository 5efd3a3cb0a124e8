// Desktop notifications of received messages: the session bus's notification service, or
// notify-send where there is no bus. Failing to notify is never an error: the message is in the
// log and, with a display, in its window.
#pragma once

#include <QString>

#include "messenger/Message.h"

namespace messenger {

// The summary and body of a notification; the body is escaped, since notification servers
// may read it as markup.
QString NotificationSummary(const Message& message);
QString NotificationBody(const Message& message);

void Notify(const Message& message);

}  // namespace messenger
