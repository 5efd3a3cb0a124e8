// Sending from the main window with a fake messenger: the message text, the send commands and
// the repeat dialog, the delivery log and the busy rule while a send runs.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <thread>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <atomic>
#include <mutex>

#include "TempDir.h"
#include "common/defaults.h"
#include "forms/ErrorReport.h"
#include "forms/main.h"
#include "forms/uParamSend.h"
#include "platform/CodePage.h"
#include "send/SendState.h"

using testing_support::TempDir;

namespace {

QString U(const char* utf8) { return QString::fromUtf8(utf8); }

bool WaitFor(const std::function<bool()>& done, int ms = 10000) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < ms) QTest::qWait(10);
    return done();
}

class SendingTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetErrorReportHandler([](const QString& text) { ADD_FAILURE() << text.toStdString(); });
        form = std::make_unique<TQuorvelForm>(dir.file("Quorvel"));
        form->FLogLocale = QLocale(QLocale::Russian, QLocale::Russia);
        form->FMessengerCall = [this](const char16_t* to, const char16_t*, const unsigned char* buf,
                                      std::uint32_t len) -> platform::NET_API_STATUS {
            while (hold.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
            std::lock_guard<std::mutex> lock(mutex);
            messages.push_back(std::u16string(reinterpret_cast<const char16_t*>(buf), len / 2));
            return std::u16string(to) == u"bad" ? 2273 : 0;
        };
        form->resize(404, 492);
        form->show();
    }
    void TearDown() override {
        hold = false;
        WaitFor([] { return !SendInProgress.load(); });
        form.reset();
        SetErrorReportHandler({});
        MaxLineLog = 300;
    }
    QStringList logTexts() const {
        QStringList texts;
        for (int i = 0; i < form->lvLog->topLevelItemCount(); ++i)
            texts << form->lvLog->topLevelItem(i)->text(1);
        return texts;
    }
    void typeMessage(const QString& text) { form->mMessage->setPlainText(text); }

    TempDir dir;
    std::unique_ptr<TQuorvelForm> form;
    std::atomic<bool> hold{false};
    std::mutex mutex;
    std::vector<std::u16string> messages;
};

}  // namespace

TEST_F(SendingTest, MessageTextIsTheMemosDisplayLinesJoinedByCrLf) {
    struct Case {
        const char* typed;
        const char* sent;
    } cases[] = {
        {"", ""},
        {"one line", "one line"},
        {"a\nb", "a\r\nb"},
        {"a\nb\n", "a\r\nb"},
        {"a\n\nb", "a\r\n\r\nb"},
        {"\n", ""},
    };
    for (const Case& c : cases) {
        typeMessage(U(c.typed));
        EXPECT_EQ(form->MessageText(), c.sent) << c.typed;
    }
    // A paragraph the memo wraps carries a line break at every wrap.
    typeMessage(QString(U("слово ")).repeated(60).trimmed());
    const std::string text = form->MessageText();
    EXPECT_NE(text.find("\r\n"), std::string::npos);
    std::string joined = text;
    for (std::size_t p; (p = joined.find("\r\n")) != std::string::npos;) joined.erase(p, 2);
    // Nothing but the line breaks is added or lost.
    EXPECT_EQ(QString::fromStdString(platform::Cp1251ToUtf8(joined)), QString(U("слово ")).repeated(60).trimmed());
}

TEST_F(SendingTest, CtrlEnterSendsToEveryRecipientAndLogsEachAttempt) {
    form->edRecipient->setText("good, bad");
    form->edSender->setEditText("Ivan");
    typeMessage(U("Привет"));
    hold = true;
    QTest::keyClick(form->mMessage, Qt::Key_Return, Qt::ControlModifier);
    // Busy while the send runs: the send commands are greyed and Ctrl+Enter does nothing more.
    QTest::qWait(30);
    EXPECT_TRUE(SendInProgress.load());
    EXPECT_FALSE(form->actSend->isEnabled());
    EXPECT_FALSE(form->actSendTimer->isEnabled());
    EXPECT_FALSE(form->actNew->isEnabled());
    QTest::keyClick(form->mMessage, Qt::Key_Return, Qt::ControlModifier);
    hold = false;
    ASSERT_TRUE(WaitFor([&] { return !SendInProgress.load() && form->actSend->isEnabled(); }));
    ASSERT_EQ(form->lvLog->topLevelItemCount(), 2);
    QStringList texts = logTexts();
    texts.sort();
    EXPECT_EQ(texts, (QStringList{U("Cообщение bad не отправлено"), U("Cообщение good отправлено")}));
    for (int i = 0; i < 2; ++i) {
        QTreeWidgetItem* item = form->lvLog->topLevelItem(i);
        EXPECT_FALSE(item->icon(0).isNull());
        EXPECT_FALSE(item->text(0).isEmpty());
    }
    EXPECT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], u"Привет");
    EXPECT_EQ(form->edSender->itemText(0), "Ivan");
}

TEST_F(SendingTest, NewestLineOnTopAndTheLogKeepsMaxLineLogLines) {
    MaxLineLog = 3;
    auto add = [this](int i) {
        form->AddLogLine({platform::Utf8ToCp1251("line " + std::to_string(i)), {2026, 12, 11, 9, 0, i, 0}, 1});
    };
    add(1);
    EXPECT_EQ(logTexts(), (QStringList{"line 1"}));  // after a quiet spell a line shows at once
    for (int i = 2; i <= 5; ++i) add(i);               // a burst comes with the next batch
    QTRY_COMPARE(logTexts(), (QStringList{"line 5", "line 4", "line 3"}));
    add(6);
    add(7);
    form->FlushLog();
    EXPECT_EQ(logTexts(), (QStringList{"line 7", "line 6", "line 5"}));
    MaxLineLog = 0;
    form->AddLogLine({"x", {2026, 12, 11, 9, 0, 0, 0}, 0});
    form->FlushLog();
    EXPECT_EQ(form->lvLog->topLevelItemCount(), 3);  // one line goes per new line
}

TEST_F(SendingTest, TimeStampTextsFollowTheLocaleAndTheMidnightRule) {
    const QLocale ru(QLocale::Russian, QLocale::Russia);
    EXPECT_EQ(TQuorvelForm::LogTimeText({2026, 12, 11, 14, 5, 9, 120}, ru), "11.12.2026 14:05:09");
    EXPECT_EQ(TQuorvelForm::LogTimeText({2026, 12, 11, 0, 0, 0, 999}, ru), "11.12.2026");
    EXPECT_EQ(TQuorvelForm::LogTimeText({2026, 1, 2, 0, 0, 1, 0}, ru), "02.01.2026 00:00:01");
}

TEST_F(SendingTest, RepeatDialogCancelSendsNothingAndKeepsTheSenders) {
    form->edRecipient->setText("a");
    form->edSender->setEditText("Other");
    const QString firstSender = form->edSender->itemText(0);
    QTimer::singleShot(0, [] { QTest::keyClick(QApplication::activeModalWidget(), Qt::Key_Escape); });
    form->actSendTimer->Execute();
    QTest::qWait(50);
    EXPECT_FALSE(SendInProgress.load());
    EXPECT_EQ(form->lvLog->topLevelItemCount(), 0);
    EXPECT_EQ(form->edSender->itemText(0), firstSender);
}

TEST_F(SendingTest, RepeatDialogCountsAndTheLastValidPosition) {
    struct Case {
        const char* count;
        int lines;  // per recipient
    } cases[] = {{nullptr, 10}, {"150", 10}, {"3", 3}, {"0", 0}};
    for (const Case& c : cases) {
        form->lvLog->clear();
        form->edRecipient->setText("a, b, c");
        QTimer::singleShot(0, [&] {
            auto* dialog = qobject_cast<TParamSend*>(QApplication::activeModalWidget());
            ASSERT_TRUE(dialog);
            // Every opening starts from the defaults.
            EXPECT_EQ(dialog->Edit1->text(), "10");
            EXPECT_EQ(dialog->Edit2->text(), "1");
            if (c.count) dialog->Edit1->setText(c.count);
            dialog->Edit2->setText("0");  // no pauses in the test
            dialog->OKBtn->click();
        });
        form->actSendTimer->Execute();
        ASSERT_TRUE(WaitFor([] { return !SendInProgress.load(); }));
        QTest::qWait(20);
        EXPECT_EQ(form->lvLog->topLevelItemCount(), 3 * c.lines) << (c.count ? c.count : "default");
    }
}

TEST(UpDown, ArrowsStayWithinTheRange) {
    QLineEdit edit;
    TUpDown upDown(&edit, 99, nullptr);
    upDown.step(1);
    upDown.step(1);
    EXPECT_EQ(edit.text(), "100");
    edit.setText("abc");
    EXPECT_EQ(upDown.position(), 100);
    edit.setText("0");
    upDown.step(-1);
    EXPECT_EQ(upDown.position(), 0);
    QTest::keyClick(&edit, Qt::Key_Up);
    EXPECT_EQ(edit.text(), "1");
}

TEST_F(SendingTest, ClosingTheWindowDuringASendNeitherCrashesNorHangs) {
    form->edRecipient->setText("a, b, c, d");
    typeMessage("x");
    hold = true;
    form->actSend->Execute();
    QTest::qWait(20);
    ASSERT_TRUE(SendInProgress.load());
    form.reset();  // the senders are still inside the messenger call
    hold = false;
    QElapsedTimer timer;
    timer.start();
    while (SendInProgress.load() && timer.elapsed() < 10000) QTest::qWait(10);
    EXPECT_FALSE(SendInProgress.load());
}
