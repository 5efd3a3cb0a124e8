// The main window offscreen: commands, busy rule, Ctrl+Enter, popups, hand-off, placement and
// what it writes at exit.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QTreeView>
#include <sys/stat.h>

#include "TempDir.h"
#include "common/defaults.h"
#include "forms/ErrorReport.h"
#include "forms/main.h"
#include "platform/CodePage.h"
#include "send/SendState.h"

using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

namespace {

QString U(const char* utf8) { return QString::fromUtf8(utf8); }

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        SendInProgress = false;
        SetErrorReportHandler([this](const QString& text) { reports.append(text); });
    }
    void TearDown() override {
        form.reset();
        SetErrorReportHandler({});
        SendInProgress = false;
    }

    TQuorvelForm& open(const std::string& ini = {}) {
        if (!ini.empty()) WriteFileBytes(dir.file("Quorvel.ini"), ini);
        form = std::make_unique<TQuorvelForm>(dir.file("Quorvel"));
        return *form;
    }
    std::string iniText() const { return ReadFileBytes(dir.file("Quorvel.ini")); }

    TempDir dir;
    std::unique_ptr<TQuorvelForm> form;
    QStringList reports;
};

// Spins a real event loop, which waits between events and so runs the idle updates.
void RunEventLoop(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Runs check on the menu or box that opens next, then closes it.
void OnNextPopup(std::function<void(QWidget*)> check) {
    QTimer::singleShot(0, [check] {
        QWidget* w = QApplication::activePopupWidget();
        if (!w) w = QApplication::activeModalWidget();
        check(w);
        if (w) w->close();
    });
}

}  // namespace

TEST_F(MainWindowTest, CtrlEnterInTheMessageSendsOtherVariantsDoNot) {
    TQuorvelForm& f = open();
    f.show();
    struct Case {
        QWidget* target;
        Qt::Key key;
        Qt::KeyboardModifiers mods;
        int sends;
    } cases[] = {
        {f.mMessage, Qt::Key_Return, Qt::ControlModifier, 1},
        {f.mMessage, Qt::Key_Enter, Qt::ControlModifier | Qt::KeypadModifier, 1},
        {f.mMessage, Qt::Key_Return, Qt::ControlModifier | Qt::ShiftModifier, 0},
        {f.mMessage, Qt::Key_Return, Qt::ControlModifier | Qt::AltModifier, 0},
        {f.mMessage, Qt::Key_Return, Qt::NoModifier, 0},
        {f.edRecipient, Qt::Key_Return, Qt::ControlModifier, 0},
        {f.edSender, Qt::Key_Return, Qt::ControlModifier, 0},
    };
    for (const Case& c : cases) {
        QSignalSpy sent(f.actSend, &TAction::executed);
        QTest::keyClick(c.target, c.key, c.mods);
        // The recipient field is empty: a send ends at once, having sent nothing.
        while (SendInProgress.load()) QTest::qWait(5);
        f.ActionManager1->UpdateActions();
        EXPECT_EQ(sent.count(), c.sends) << c.target->objectName().toStdString() << " " << c.key
                                         << " " << c.mods.toInt();
    }
}

TEST_F(MainWindowTest, BusyRuleDisablesTheSendCommandsEverywhere) {
    TQuorvelForm& f = open();
    f.show();
    SendInProgress = true;
    f.ActionManager1->UpdateActions();
    for (TAction* a : {f.actNew, f.actSend, f.actSendTimer}) {
        EXPECT_FALSE(a->isEnabled()) << a->objectName().toStdString();
        EXPECT_FALSE(f.ActionToolBar1->widgetForAction(a)->isEnabled());
    }
    const QList<QAction*> menuItems = f.ActionMainMenuBar1->actions().first()->menu()->actions();
    EXPECT_FALSE(menuItems.at(1)->isEnabled());
    EXPECT_TRUE(f.actExit->isEnabled());
    QSignalSpy sent(f.actSend, &TAction::executed);
    QTest::keyClick(f.mMessage, Qt::Key_Return, Qt::ControlModifier);
    EXPECT_EQ(sent.count(), 0);

    SendInProgress = false;
    RunEventLoop(30);  // the idle update
    EXPECT_TRUE(f.actSend->isEnabled());
    EXPECT_TRUE(menuItems.at(1)->isEnabled());
}

TEST_F(MainWindowTest, ActionsAreRePolledJustBeforeTheyRun) {
    TQuorvelForm& f = open();
    ASSERT_TRUE(f.actSend->isEnabled());
    SendInProgress = true;  // no idle update yet
    QSignalSpy sent(f.actSend, &TAction::executed);
    f.actSend->trigger();
    EXPECT_EQ(sent.count(), 0);
    EXPECT_FALSE(f.actSend->isEnabled());
}

TEST_F(MainWindowTest, NewEmptiesRecipientAndMessageButKeepsTheSender) {
    TQuorvelForm& f = open();
    f.edRecipient->setText("PC7");
    f.mMessage->setPlainText("hello");
    f.edSender->setEditText("Ivan");
    f.actNew->trigger();
    EXPECT_EQ(f.edRecipient->text(), "");
    EXPECT_EQ(f.mMessage->toPlainText(), "");
    EXPECT_EQ(f.edSender->currentText(), "Ivan");
}

TEST_F(MainWindowTest, HandOffReplacesTheRecipientUnlessEmpty) {
    TQuorvelForm& f = open();
    f.edRecipient->setText(U("набрано"));
    f.WMCopyData(QByteArray());
    EXPECT_EQ(f.edRecipient->text(), U("набрано"));
    f.WMCopyData(QByteArray("PC7"));
    EXPECT_EQ(f.edRecipient->text(), "PC7");
    f.WMCopyData(QByteArray("\xCF\xCA" "1\0tail", 8));  // "ПК1", cut at the zero byte
    EXPECT_EQ(f.edRecipient->text(), U("ПК1"));
}

TEST_F(MainWindowTest, CaptionIsTheShortProductTitle) {
    TQuorvelForm& f = open();
    EXPECT_EQ(f.windowTitle(), "Quorvel 1.2");
    EXPECT_EQ(ApplicationTitle(), "Quorvel 1.2");
}

TEST(ErrorReport, FullStopRule) {
    struct Case {
        const char* text;
        const char* shown;
    } cases[] = {
        {"Disk full", "Disk full."},
        {"Invalid numeric input", "Invalid numeric input."},
        {"Ends with a stop.", "Ends with a stop."},
        {"Ends with !", "Ends with !"},
        {"Ends with -", "Ends with -"},
        {"I/O error 5", "I/O error 5."},
        {"Нет доступа", "Нет доступа."},
        {"", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(FormatErrorText(U(c.text)), U(c.shown)) << c.text;
}

TEST(ErrorReport, BoxHasTheTitleTheErrorIconAndOneOkButton) {
    SetApplicationTitle("Quorvel 1.2");
    bool seen = false;
    OnNextPopup([&](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        ASSERT_TRUE(box);
        seen = true;
        EXPECT_EQ(box->windowTitle(), "Quorvel 1.2");
        EXPECT_EQ(box->icon(), QMessageBox::Critical);
        EXPECT_EQ(box->text(), "Disk full.");
        ASSERT_EQ(box->buttons().size(), 1);
        EXPECT_EQ(box->standardButton(box->buttons().first()), QMessageBox::Ok);
    });
    ShowErrorReport("Disk full");
    EXPECT_TRUE(seen);
}

TEST_F(MainWindowTest, ExitWritesEveryKeyInSectionOrder) {
    TQuorvelForm& f = open();
    f.show();
    f.move(30, 40);
    QTest::qWait(10);
    const QRect frame = f.frameGeometry();
    form.reset();
    const std::string user = GetUserFromWindows();
    EXPECT_EQ(iniText(),
              "[Sender]\r\nSender1=" + user + "\r\n\r\n"
              "[Defaults]\r\nDeltaClear=5\r\nMaxSender=5\r\nMaxLineLog=300\r\nMaxThreads=50\r\n"
              "RecipientFile=" + dir.file("Quorvel.dat") + "\r\n\r\n"
              "[Window Position]\r\nTop=" + std::to_string(frame.top()) +
              "\r\nLeft=" + std::to_string(frame.left()) +
              "\r\nWidth=" + std::to_string(frame.width()) +
              "\r\nHeight=" + std::to_string(frame.height()) + "\r\n\r\n"
              "[Window State]\r\nWindowState=0\r\n");
    EXPECT_EQ(frame.topLeft(), QPoint(30, 40));
    EXPECT_TRUE(reports.isEmpty());
}

TEST_F(MainWindowTest, FirstRunPlacesTheWindowAtTheTopLeftWithTheLayoutSize) {
    TQuorvelForm& f = open();
    f.show();
    QTest::qWait(10);
    EXPECT_EQ(f.frameGeometry(), QRect(0, 0, 404, 492));
    EXPECT_EQ(f.windowState(), Qt::WindowNoState);
}

TEST_F(MainWindowTest, PositionOffEveryScreenMovesToThePrimaryScreen) {
    TQuorvelForm& f = open("[Window Position]\r\nTop=-5000\r\nLeft=9000\r\nWidth=450\r\nHeight=520\r\n");
    f.show();
    QTest::qWait(10);
    EXPECT_EQ(f.frameGeometry().topLeft(),
              QGuiApplication::primaryScreen()->availableGeometry().topLeft());
    EXPECT_EQ(f.frameGeometry().size(), QSize(450, 520));
}

TEST_F(MainWindowTest, StoredWindowStateIsAppliedOnEveryShow) {
    TQuorvelForm& f = open("[Window State]\r\nWindowState=2\r\n");
    f.show();
    EXPECT_TRUE(f.isMaximized());
    form.reset();
    // 7 is no state: the window keeps the one it has.
    TQuorvelForm& g = open("[Window State]\r\nWindowState=7\r\n");
    g.setWindowState(Qt::WindowMaximized);
    g.show();
    EXPECT_TRUE(g.isMaximized());
    g.hide();
    g.setWindowState(Qt::WindowNoState);
    g.show();
    EXPECT_FALSE(g.isMaximized());
}

TEST_F(MainWindowTest, MinimiseWithoutANotificationAreaLeavesTheWindowMinimised) {
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());  // offscreen has none
    TQuorvelForm& f = open();
    f.show();
    f.showMinimized();
    QTest::qWait(20);
    EXPECT_TRUE(f.isVisible());
    EXPECT_TRUE(f.isMinimized());
    form.reset();
    EXPECT_NE(iniText().find("WindowState=1\r\n"), std::string::npos);
}

TEST_F(MainWindowTest, FailedSettingsWriteIsReportedOnceAndEveryStepStillRuns) {
    TQuorvelForm& f = open("[Defaults]\r\nMaxSender=5\r\n");
    (void)f;
    const std::string path = dir.file("Quorvel.ini");
    chmod(path.c_str(), 0444);
    form.reset();
    ASSERT_EQ(reports.size(), 1);
    EXPECT_EQ(reports.first(), QString::fromStdString("Unable to write to " + path + "."));
    EXPECT_EQ(iniText(), "[Defaults]\r\nMaxSender=5\r\n");
}

TEST_F(MainWindowTest, SenderBoxOffersTheStoredNamesAndTheStoredFormWins) {
    TQuorvelForm& f = open("[Sender]\r\nSender1=Ivan\r\nSender2=Petr\r\n");
    EXPECT_EQ(f.edSender->count(), 2);
    EXPECT_EQ(f.edSender->currentText(), "Ivan");
    f.edSender->setEditText("PETR");
    f.AddToSenderList();
    EXPECT_EQ(f.edSender->currentText(), "Petr");
    EXPECT_EQ(f.edSender->itemText(0), "Petr");
    EXPECT_EQ(f.edSender->itemText(1), "Ivan");
    form.reset();
    EXPECT_EQ(iniText().rfind("[Sender]\r\nSender1=Petr\r\nSender2=Ivan\r\n", 0), 0u);
}

TEST_F(MainWindowTest, EveryMenuItemHasItsOwnAccessKey) {
    TQuorvelForm& f = open();
    std::vector<QMenu*> menus{f.PopupMenu1, f.PopupActionBarExTray};
    for (QAction* top : f.ActionMainMenuBar1->actions()) menus.push_back(top->menu());
    auto keyOf = [](const QString& text) {
        const qsizetype amp = text.indexOf(u'&');
        return amp < 0 ? QChar() : text[amp + 1].toLower();
    };
    QList<QAction*> tops = f.ActionMainMenuBar1->actions();
    EXPECT_EQ(keyOf(tops[0]->text()), U("с")[0]);
    EXPECT_EQ(keyOf(tops[2]->text()), U("п")[0]);
    EXPECT_FALSE(keyOf(tops[1]->text()).isNull());
    for (std::size_t i = 0; i < menus.size(); ++i) {
        QMenu* menu = menus[i];
        for (QAction* item : menu->actions())
            if (item->menu()) menus.push_back(item->menu());
        QSet<QChar> keys;
        for (QAction* item : menu->actions()) {
            if (item->isSeparator()) continue;
            const QChar key = keyOf(item->text());
            EXPECT_FALSE(key.isNull()) << item->text().toStdString();
            EXPECT_FALSE(keys.contains(key)) << item->text().toStdString();
            keys.insert(key);
        }
    }
    // Items with a caption of their own keep its access key.
    QMenu* import = f.ActionMainMenuBar1->actions()[0]->menu()->actions()[3]->menu();
    EXPECT_EQ(import->actions()[0]->text(), U("из &Dunmarro"));
}

TEST_F(MainWindowTest, TrayPopupShowsServiceCommandsAboutAndExitWithoutPictures) {
    TQuorvelForm& f = open();
    QStringList texts;
    for (QAction* item : f.PopupActionBarExTray->actions()) {
        texts << (item->isSeparator() ? QString("-") : item->text().remove(u'&'));
        EXPECT_TRUE(item->icon().isNull());
    }
    EXPECT_EQ(texts, (QStringList{U("Остановить службу сообщений"), U("Запустить службу сообщений"),
                                  "-", U("О программе..."), "-", U("Выход")}));
}

TEST_F(MainWindowTest, TrayExitClosesTheHiddenWindow) {
    TQuorvelForm& f = open();
    QSignalSpy closed(&f, &TQuorvelForm::closed);
    f.hide();
    f.PopupActionBarExTray->actions().last()->trigger();
    EXPECT_EQ(closed.count(), 1);
}

TEST_F(MainWindowTest, ShowMainWindowBringsBackAHiddenMinimisedWindow) {
    TQuorvelForm& f = open();
    f.show();
    f.showMinimized();
    f.hide();
    f.ShowMainWindow();
    EXPECT_TRUE(f.isVisible());
    EXPECT_FALSE(f.isMinimized());
}

TEST_F(MainWindowTest, RightClickActsOnTheClickedNodeWithoutMovingTheSelection) {
    TQuorvelForm& f = open();
    f.show();
    TAddressNode* a = f.addresses().addRoot("A", akGroup);
    TAddressNode* net = f.addresses().addRoot(platform::Utf8ToCp1251("Вся сеть"), akWorkgroup);
    QTreeView* tree = f.TreeAddresses;
    tree->setCurrentIndex(tree->model()->index(0, 0));
    ASSERT_EQ(f.SelectedNode(), a);
    const QRect netRect = tree->visualRect(tree->model()->index(1, 0));

    TAddressNode* duringPopup = nullptr;
    bool removeEnabled = true;
    OnNextPopup([&](QWidget* w) {
        EXPECT_EQ(w, f.PopupMenu1);
        duringPopup = f.SelectedNode();
        removeEnabled = f.actRemoveGroup->isEnabled();
    });
    QTest::mouseClick(f.windowHandle(), Qt::RightButton, {},
                      tree->viewport()->mapTo(&f, netRect.center()));
    QTest::qWait(50);
    EXPECT_EQ(duringPopup, net);
    EXPECT_FALSE(removeEnabled);  // the entire-network node is protected
    EXPECT_EQ(f.SelectedNode(), a);
    EXPECT_EQ(tree->currentIndex().row(), 0);
    EXPECT_TRUE(f.actRemoveGroup->isEnabled());
}
