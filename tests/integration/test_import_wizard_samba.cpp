// The server import wizard against a real smbd: the accounts it lists (full names, Cyrillic,
// machine accounts left out), ticking, the group page and the nodes that finishing adds. The
// smbd serves port 445 in a private network, since libnetapi tries no other port.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "ModalDriver.h"
#include "PrivateNetwork.h"
#include "SambaPeer.h"
#include "ScopedEnv.h"
#include "TempDir.h"
#include "addressbook/AddressTree.h"
#include "forms/ErrorReport.h"
#include "forms/main.h"
#include "forms/uImportServ.h"
#include "platform/CodePage.h"

using testing_support::SambaPeer;
using testing_support::ScopedEnv;
using testing_support::TempDir;
using testing_support::TModalDriver;

namespace {

QString U(const std::string& utf8) {
    return QString::fromStdString(utf8);
}

QStringList Items(const TImportservDlg& dlg) {
    QStringList out;
    for (int i = 0; i < dlg.chkUser->count(); ++i) out << dlg.chkUser->item(i)->text();
    return out;
}

bool AllTicked(const TImportservDlg& dlg) {
    for (int i = 0; i < dlg.chkUser->count(); ++i) {
        if (dlg.chkUser->item(i)->checkState() != Qt::Checked) return false;
    }
    return true;
}

// Cyrillic cannot go through QTest::keyClicks (Qt's key mapping asserts): one event a letter.
void Type(QWidget* w, const QString& text) {
    for (const QChar ch : text)
        QTest::sendKeyEvent(QTest::Click, w, Qt::Key_unknown, QString(ch), Qt::NoModifier);
}

// The tree as "level kind caption" lines in tree order, captions in UTF-8.
std::vector<std::string> Dump(const TAddressTree& tree) {
    std::vector<std::string> out;
    for (TAddressNode* n = tree.first(); n; n = n->next()) {
        out.push_back(std::to_string(n->level()) + " " + std::to_string(n->kind()) + " " +
                      platform::Cp1251ToUtf8(n->caption()));
    }
    return out;
}

// One smbd with its accounts for the binary; each test runs in a process of its own anyway.
class ImportWizardSambaTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        testing_support::DetachStandardInput();
        if (geteuid() != 0) {
            skipReason = "test accounts and a private network need root";
            return;
        }
        if (std::string error = testing_support::EnterPrivateNetwork(); !error.empty()) {
            skipReason = "cannot make a private network: " + error;
            return;
        }
        const std::string s = testing_support::RandomAccountSuffix();
        names = {"qva" + s, "qvb" + s, "qvc" + s, "qvm" + s};
        try {
            testing_support::SambaOptions options;
            options.messaging = false;
            options.port = 445;
            options.rpc = true;
            peer = std::make_unique<SambaPeer>(options);
            peer->AddAccount(names[0], "Ivan Petrov", kPassword);
            peer->AddAccount(names[1], "Пётр Сидоров", kPassword);
            peer->AddAccount(names[2], "", kPassword);
            peer->AddAccount(names[3], "Workstation", kPassword, true);
            conf = std::make_unique<ScopedEnv>("QUORVEL_SMB_CONF", peer->ConfigPath());
        } catch (const std::exception& e) {
            setupError = e.what();
        }
    }
    static void TearDownTestSuite() {
        conf.reset();
        peer.reset();
        for (const std::string& name : names) {
            EXPECT_EQ(getpwnam(name.c_str()), nullptr) << name << " is left behind";
            EXPECT_EQ(getpwnam((name + "$").c_str()), nullptr) << name << "$ is left behind";
        }
    }
    void SetUp() override {
        if (!skipReason.empty()) GTEST_SKIP() << skipReason;
        ASSERT_TRUE(setupError.empty()) << setupError;
        SetImportservErrorHandler([this](const QString& text) { errors << text; });
    }
    void TearDown() override { SetImportservErrorHandler({}); }

    // What the server's three ordinary accounts look like in the list.
    static QStringList Expected() {
        return {U(names[0] + " (Ivan Petrov)"), U(names[1] + " (Пётр Сидоров)"), U(names[2])};
    }
    // Sorted and joined, so a failure shows readable text: the server's order is its own.
    static std::string Sorted(QStringList l) {
        l.sort();
        return l.join(QStringLiteral(" | ")).toStdString();
    }

    static constexpr const char* kPassword = "Qv-test-9x";
    static inline std::string skipReason, setupError;
    static inline std::vector<std::string> names;
    static inline std::unique_ptr<SambaPeer> peer;
    static inline std::unique_ptr<ScopedEnv> conf;
    QStringList errors;
};

TEST_F(ImportWizardSambaTest, TheCommandAddsTheTickedAccountsToANewGroup) {
    TempDir dir;
    testing_support::WriteFileBytes(dir.file("Quorvel.dat"),
                                    platform::Utf8ToCp1251("0 0 Офис\r\n"));
    QStringList reports;
    SetErrorReportHandler([&reports](const QString& text) { reports << text; });
    auto form = std::make_unique<TQuorvelForm>(dir.file("Quorvel"));
    form->show();

    int pageAfterListing = -1;
    QStringList listed, groups;
    bool ticked = false;
    TModalDriver driver({[&](QWidget* modal) {
        auto* w = qobject_cast<TImportservDlg*>(modal);
        if (!w) return false;
        QTest::keyClicks(w->edServer, QStringLiteral("127.0.0.1"));
        QTest::mouseClick(w->Button1, Qt::LeftButton);
        pageAfterListing = w->PageControl1->currentIndex();
        listed = Items(*w);
        ticked = AllTicked(*w);
        // The account without a full name stays out.
        for (int i = 0; i < w->chkUser->count(); ++i) {
            if (w->chkUser->item(i)->text() == U(names[2]))
                w->chkUser->item(i)->setCheckState(Qt::Unchecked);
        }
        QTest::mouseClick(w->Button7, Qt::LeftButton);
        for (int i = 0; i < w->cmbGroup->count(); ++i) groups << w->cmbGroup->itemText(i);
        QTest::mouseClick(w->chkNewGroup, Qt::LeftButton);
        w->edNewGroup->clear();
        Type(w->edNewGroup, QString::fromUtf8("Сервер"));
        QTest::mouseClick(w->Button4, Qt::LeftButton);
        return true;
    }});
    form->actImportUserNet->Execute();
    ASSERT_TRUE(driver.done()) << (driver.timedOut() ? "timed out" : "");

    EXPECT_EQ(pageAfterListing, 1);
    EXPECT_EQ(Sorted(listed), Sorted(Expected()));
    EXPECT_TRUE(ticked);
    EXPECT_EQ(groups, QStringList{QString::fromUtf8("Офис")});
    // Children in list order, the unticked one left out.
    std::vector<std::string> expected{"0 0 Офис", "0 0 Сервер"};
    for (const QString& item : listed) {
        if (item != U(names[2])) expected.push_back("1 1 " + item.toStdString());
    }
    EXPECT_EQ(Dump(form->addresses()), expected);
    EXPECT_TRUE(errors.isEmpty());
    EXPECT_TRUE(reports.isEmpty()) << reports.join(QStringLiteral("; ")).toStdString();
    form.reset();
    SetErrorReportHandler({});
}

TEST_F(ImportWizardSambaTest, AnUnreachableServerListsNothingSilentlyThenTheRightOneIsListed) {
    TAddressTree tree;
    TAddressNode* work = tree.addRoot(platform::Utf8ToCp1251("Работа"), akGroup);
    tree.addChild(work, platform::Utf8ToCp1251("Отдел"), akGroup);
    TImportservDlg dlg(nullptr, tree);
    dlg.show();

    // Nothing listens on 127.0.0.9 in this network: refused at once.
    dlg.edServer->setText(QStringLiteral("127.0.0.9"));
    const auto start = std::chrono::steady_clock::now();
    dlg.Button1->click();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(dlg.PageControl1->currentIndex(), 1);
    EXPECT_EQ(dlg.chkUser->count(), 0);
    EXPECT_TRUE(errors.isEmpty());

    dlg.Button9->click();
    dlg.edServer->setText(QStringLiteral("127.0.0.1"));
    dlg.Button1->click();
    const QStringList listed = Items(dlg);
    EXPECT_EQ(Sorted(listed), Sorted(Expected()));
    EXPECT_TRUE(AllTicked(dlg));

    dlg.Button7->click();
    ASSERT_EQ(dlg.cmbGroup->count(), 2);
    dlg.cmbGroup->setCurrentIndex(1);
    dlg.Button4->click();
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    std::vector<std::string> expected{"0 0 Работа", "1 0 Отдел"};
    for (const QString& item : listed) expected.push_back("2 1 " + item.toStdString());
    EXPECT_EQ(Dump(tree), expected);
    EXPECT_TRUE(errors.isEmpty());
}

}  // namespace
