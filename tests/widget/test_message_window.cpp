// The window of a received message, offscreen: who sent it to whom and when, the text with its
// line breaks, OK closing it, several at once up to a limit; the notification texts.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <cstdlib>
#include <ctime>

#include "messenger/MessageWindow.h"
#include "messenger/Notifier.h"

using namespace messenger;

namespace {

Message Sample(const std::string& from, const std::string& text) {
    Message m;
    m.received = std::chrono::system_clock::from_time_t(1'800'000'000);  // 2027-01-15 08:00 UTC
    m.peer = "127.0.0.1";
    m.from = from;
    m.to = "ПЕТРОВ";
    m.text = text;
    return m;
}

std::vector<MessageWindow*> OpenWindows() {
    std::vector<MessageWindow*> out;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (auto* m = qobject_cast<MessageWindow*>(w); m && m->isVisible()) out.push_back(m);
    }
    return out;
}

class MessageWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "Europe/Moscow", 1);
        tzset();
    }
    void TearDown() override {
        for (QWidget* w : QApplication::topLevelWidgets()) delete w;
        unsetenv("TZ");
        tzset();
    }
};

TEST_F(MessageWindowTest, ShowsSenderRecipientTimeAndText) {
    MessageWindows windows(8);
    ASSERT_TRUE(windows.Show(Sample("Вася <b>Пупкин</b>", "Первая строка\nвторая\n\nчетвёртая")));
    const auto open = OpenWindows();
    ASSERT_EQ(open.size(), 1u);
    MessageWindow* w = open[0];
    EXPECT_EQ(w->windowTitle(), "Служба сообщений");
    auto* header = w->findChild<QLabel*>("lblHeader");
    ASSERT_TRUE(header);
    // The names as they came, markup included, and local time.
    EXPECT_EQ(header->text(), "Сообщение от Вася <b>Пупкин</b> для ПЕТРОВ от 15.01.2027 11:00:00");
    EXPECT_EQ(header->textFormat(), Qt::PlainText);
    auto* text = w->findChild<QPlainTextEdit*>("mText");
    ASSERT_TRUE(text);
    EXPECT_EQ(text->toPlainText(), "Первая строка\nвторая\n\nчетвёртая");
    EXPECT_EQ(text->document()->blockCount(), 4);
    EXPECT_TRUE(text->isReadOnly());
    auto* ok = w->findChild<QPushButton*>("btnOk");
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->text(), "OK");

    QPointer<MessageWindow> guard(w);
    QTest::mouseClick(ok, Qt::LeftButton);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(guard.isNull()) << "OK closes and frees the window";
    EXPECT_EQ(windows.openCount(), 0);
}

TEST_F(MessageWindowTest, SeveralOpenUpToTheLimit) {
    MessageWindows windows(2);
    EXPECT_TRUE(windows.Show(Sample("a", "1")));
    EXPECT_TRUE(windows.Show(Sample("b", "2")));
    EXPECT_FALSE(windows.Show(Sample("c", "3"))) << "past the limit the log alone keeps it";
    const auto open = OpenWindows();
    ASSERT_EQ(open.size(), 2u);
    open[0]->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(windows.openCount(), 1);
    EXPECT_TRUE(windows.Show(Sample("d", "4")));
}

TEST_F(MessageWindowTest, NotificationTextsAreEscaped) {
    const Message m = Sample("Оля", "a <b>bold</b> & co\nnext");
    EXPECT_EQ(NotificationSummary(m), "Сообщение от Оля");
    EXPECT_EQ(NotificationBody(m), "a &lt;b&gt;bold&lt;/b&gt; &amp; co\nnext");
}

}  // namespace
