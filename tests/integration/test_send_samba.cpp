// End to end: a message typed in the main window reaches a real smbd on loopback through the
// dispatcher, the senders and our messenger client, with one log line per attempt.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QTimer>
#include <set>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTest>
#include <QTreeWidget>

#include "SambaPeer.h"
#include "TempDir.h"
#include "forms/ErrorReport.h"
#include "forms/main.h"
#include "send/SendState.h"

using namespace testing_support;

namespace {

QString U(const char* utf8) { return QString::fromUtf8(utf8); }

class SendToSamba : public ::testing::Test {
protected:
    void SetUp() override {
        peer = std::make_unique<SambaPeer>();
        setenv("QUORVEL_MESSENGER_PORT", std::to_string(peer->port()).c_str(), 1);
        // smbd forks per connection: generous on a loaded machine.
        setenv("QUORVEL_MESSENGER_TIMEOUT", "30000", 1);
        SetErrorReportHandler([](const QString& text) { ADD_FAILURE() << text.toStdString(); });
        form = std::make_unique<TQuorvelForm>(dir.file("Quorvel"));
        form->resize(404, 492);
        form->show();
    }
    void TearDown() override {
        waitIdle();
        form.reset();
        SetErrorReportHandler({});
        unsetenv("QUORVEL_MESSENGER_PORT");
        unsetenv("QUORVEL_MESSENGER_TIMEOUT");
    }
    bool waitIdle() {
        QElapsedTimer timer;
        timer.start();
        while (SendInProgress.load() && timer.elapsed() < 60000) QTest::qWait(10);
        QTest::qWait(20);
        return !SendInProgress.load();
    }
    std::multiset<std::pair<QString, bool>> logLines() const {
        std::multiset<std::pair<QString, bool>> lines;
        for (int i = 0; i < form->lvLog->topLevelItemCount(); ++i) {
            QTreeWidgetItem* item = form->lvLog->topLevelItem(i);
            EXPECT_FALSE(item->icon(0).isNull());
            lines.insert({item->text(1), !item->text(1).contains(U(" не "))});
        }
        return lines;
    }

    TempDir dir;
    std::unique_ptr<SambaPeer> peer;
    std::unique_ptr<TQuorvelForm> form;
};

}  // namespace

TEST_F(SendToSamba, TypedMessageArrivesInRussianWithALineEachAttempt) {
    // 127.0.0.2 has nothing listening on the port: refused, not sent.
    form->edRecipient->setText("127.0.0.1, localhost, 127.0.0.2");
    form->edSender->setEditText(U("Пётр"));
    form->mMessage->setPlainText(U("Привет, коллеги!\nВторая строка."));
    form->mMessage->setFocus();
    QTest::keyClick(form->mMessage, Qt::Key_Return, Qt::ControlModifier);
    EXPECT_TRUE(SendInProgress.load());
    QTest::qWait(1);
    form->ActionManager1->UpdateActions();
    EXPECT_FALSE(form->actSend->isEnabled());
    ASSERT_TRUE(waitIdle());
    EXPECT_TRUE(form->actSend->isEnabled());

    const std::vector<SambaMessage> messages = peer->TakeMessages(2);
    for (const SambaMessage& m : messages) EXPECT_EQ(m.body, "Привет, коллеги!\nВторая строка.");
    EXPECT_EQ(logLines(), (std::multiset<std::pair<QString, bool>>{
                              {U("Cообщение 127.0.0.1 отправлено"), true},
                              {U("Cообщение localhost отправлено"), true},
                              {U("Cообщение 127.0.0.2 не отправлено"), false}}));
}

TEST_F(SendToSamba, RepeatedSendLogsCountTimesRecipientsLines) {
    form->edRecipient->setText("127.0.0.1, localhost");
    form->mMessage->setPlainText("again");
    QTimer::singleShot(0, [] {
        QWidget* dialog = QApplication::activeModalWidget();
        ASSERT_TRUE(dialog);
        dialog->findChild<QLineEdit*>("Edit1")->setText("3");
        dialog->findChild<QLineEdit*>("Edit2")->setText("0");
        QTest::keyClick(dialog, Qt::Key_Return);
    });
    form->actSendTimer->Execute();
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(peer->TakeMessages(6).size(), 6u);
    EXPECT_EQ(form->lvLog->topLevelItemCount(), 6);
}
