// The network browse lists and the import of a computer or workgroup from the network browser,
// against Samba's nmbd (the workgroup's master browser) and smbd in a private network whose
// loopback has 127.0.0.2: the only place broadcasts can be tried without reaching a real network.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ModalDriver.h"
#include "PrivateNetwork.h"
#include "SambaPeer.h"
#include "ScopedEnv.h"
#include "TempDir.h"
#include "forms/ErrorReport.h"
#include "forms/NetBrowser.h"
#include "forms/main.h"
#include "forms/uselasdrrgrpDlg.h"
#include "platform/CodePage.h"
#include "platform/NetBrowse.h"

using testing_support::SambaPeer;
using testing_support::ScopedEnv;
using testing_support::TempDir;
using testing_support::TModalDriver;

namespace {

using Clock = std::chrono::steady_clock;

QString U(const char* utf8) {
    return QString::fromUtf8(utf8);
}

constexpr const char* kWorkgroup = "QVWORK";
constexpr const char* kServer = "QVSERVER";
// NetBIOS names travel in the DOS code page (CP866 here); the browse layer hands out UTF-8.
const std::vector<std::string> kAliases = {"QVALPHA", "БУХГАЛТЕРИЯ"};

const platform::TNetWorkgroup* FindGroup(const platform::TNetBrowseList& list) {
    for (const auto& group : list.workgroups) {
        if (group.name == kWorkgroup) return &group;
    }
    return nullptr;
}

bool HasComputer(const platform::TNetWorkgroup& group, const std::string& name) {
    return std::find(group.computers.begin(), group.computers.end(), name) != group.computers.end();
}

bool Complete(const platform::TNetBrowseList& list) {
    const platform::TNetWorkgroup* group = FindGroup(list);
    if (!group || !HasComputer(*group, kServer)) return false;
    for (const auto& alias : kAliases) {
        if (!HasComputer(*group, alias)) return false;
    }
    return true;
}

std::string Describe(const platform::TNetBrowseList& list) {
    std::string out = list.error.empty() ? "" : "error: " + list.error + "; ";
    for (const auto& group : list.workgroups) {
        out += group.name + " [";
        for (const auto& c : group.computers) out += " " + c;
        out += " ] ";
    }
    return out;
}

// One master browser for the whole binary: nmbd takes some 23 s to win the election.
class NetBrowseSambaTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (geteuid() != 0) {
            skipReason = "a private network needs root";
            return;
        }
        if (std::string error = testing_support::EnterPrivateNetwork(); !error.empty()) {
            skipReason = "cannot make a private network: " + error;
            return;
        }
        // nmbd leaves 127.0.0.1 alone.
        if (std::string error = testing_support::AddLoopbackAddress("127.0.0.2"); !error.empty()) {
            skipReason = "cannot give the private network 127.0.0.2: " + error;
            return;
        }
        home = std::make_unique<TempDir>();
        // libsmbclient reads its settings from $HOME/.smb/smb.conf, once per process.
        homeEnv = std::make_unique<ScopedEnv>("HOME", home->path());
        try {
            testing_support::SambaOptions options;
            options.messaging = false;
            options.port = 445;
            options.address = "127.0.0.2";
            options.browser = true;
            options.workgroup = kWorkgroup;
            options.netbiosName = kServer;
            options.aliases = kAliases;
            peer = std::make_unique<SambaPeer>(options);
            std::filesystem::create_directory(home->file(".smb"));
            std::filesystem::create_symlink(peer->ConfigPath(), home->file(".smb/smb.conf"));
            const auto start = Clock::now();
            if (!peer->WaitForMasterBrowser(60000)) {
                setupError = "nmbd did not become the master browser:\n" + peer->NmbdLog();
                return;
            }
            // The list is served from what nmbd has written out; wait until it holds every
            // computer, within bounds.
            platform::TNetBrowseList list;
            const auto deadline = Clock::now() + std::chrono::seconds(20);
            while (!Complete(list = platform::BrowseNetworkList(true)) && Clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(500));
            }
            if (!Complete(list)) setupError = "the browse list never filled: " + Describe(list);
            std::fprintf(stderr, "browse list ready after %.1f s\n",
                         std::chrono::duration<double>(Clock::now() - start).count());
        } catch (const std::exception& e) {
            setupError = e.what();
        }
    }
    static void TearDownTestSuite() {
        peer.reset();
        homeEnv.reset();
        home.reset();
    }
    void SetUp() override {
        if (!skipReason.empty()) GTEST_SKIP() << skipReason;
        ASSERT_TRUE(setupError.empty()) << setupError;
    }

    static inline std::string skipReason, setupError;
    static inline std::unique_ptr<TempDir> home;
    static inline std::unique_ptr<ScopedEnv> homeEnv;
    static inline std::unique_ptr<SambaPeer> peer;
};

TEST_F(NetBrowseSambaTest, ListsTheWorkgroupWithItsComputersOrAlone) {
    const platform::TNetBrowseList full = platform::BrowseNetworkList(true);
    EXPECT_TRUE(full.error.empty()) << full.error;
    EXPECT_TRUE(Complete(full)) << Describe(full);

    const platform::TNetBrowseList groups = platform::BrowseNetworkList(false);
    EXPECT_TRUE(groups.error.empty()) << groups.error;
    ASSERT_TRUE(FindGroup(groups)) << Describe(groups);
    for (const auto& group : groups.workgroups) EXPECT_TRUE(group.computers.empty()) << group.name;
}

// The browser dialog with the real lists, picking an item; then the chooser.
std::function<bool(QWidget*)> Pick(const char* utf8, QStringList* shown) {
    return [utf8, shown](QWidget* modal) {
        auto* dlg = qobject_cast<TNetBrowserDlg*>(modal);
        if (!dlg || !dlg->IsLoaded()) return false;
        *shown << dlg->lblStatus->text();
        for (QTreeWidgetItemIterator it(dlg->tvNetwork); *it; ++it) *shown << (*it)->text(0);
        const QList<QTreeWidgetItem*> found =
            dlg->tvNetwork->findItems(U(utf8), Qt::MatchExactly | Qt::MatchRecursive);
        if (!found.isEmpty()) dlg->tvNetwork->setCurrentItem(found.first());
        *shown << QStringLiteral("picked:") + dlg->SelectedName();
        if (dlg->OKBtn->isEnabled())
            dlg->OKBtn->click();
        else
            dlg->CancelBtn->click();
        return true;
    };
}

std::function<bool(QWidget*)> Choose(bool newGroup) {
    return [newGroup](QWidget* modal) {
        auto* dlg = qobject_cast<TSelectAddrGroupDlg*>(modal);
        if (!dlg) return false;
        if (newGroup)
            dlg->chkNewGroup->click();
        else
            dlg->cmbGroup->setCurrentIndex(0);
        dlg->OKBtn->click();
        return true;
    };
}

TEST_F(NetBrowseSambaTest, CommandsAddWhatIsPickedInTheBrowser) {
    TempDir dir;
    testing_support::WriteFileBytes(dir.file("Quorvel.dat"),
                                    platform::Utf8ToCp1251("0 0 Офис\r\n"));
    QStringList reports;
    SetErrorReportHandler([&reports](const QString& text) { reports << text; });
    auto form = std::make_unique<TQuorvelForm>(dir.file("Quorvel"));
    form->show();

    const struct {
        TAction* action;
        const char* pick;
        bool newGroup;
        const char* status;
        bool computersShown;
    } cases[] = {
        {form->actImportNet, "БУХГАЛТЕРИЯ", false, "Выберите компьютер:", true},
        {form->actImportGroupNet, kWorkgroup, true, "Выберите группу:", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pick);
        QStringList shown;
        TModalDriver driver({Pick(c.pick, &shown), Choose(c.newGroup)});
        c.action->Execute();
        EXPECT_TRUE(driver.done()) << (driver.timedOut() ? "timed out; " : "")
                                   << shown.join(QStringLiteral(" | ")).toStdString();
        ASSERT_FALSE(shown.isEmpty());
        EXPECT_EQ(shown.first(), U(c.status));
        EXPECT_EQ(shown.contains(QString::fromLatin1(kWorkgroup)), true);
        EXPECT_EQ(shown.contains(QStringLiteral("QVALPHA")), c.computersShown);
        EXPECT_EQ(shown.last(), QStringLiteral("picked:") + U(c.pick));
    }

    std::vector<std::string> tree;
    for (TAddressNode* n = form->addresses().first(); n; n = n->next()) {
        tree.push_back(std::to_string(n->level()) + " " + std::to_string(n->kind()) + " " +
                       platform::Cp1251ToUtf8(n->caption()));
    }
    EXPECT_EQ(tree, (std::vector<std::string>{"0 0 Офис", "1 2 БУХГАЛТЕРИЯ", "0 0 Новая группа",
                                              "1 3 QVWORK"}));
    EXPECT_TRUE(reports.isEmpty()) << reports.join(QStringLiteral("; ")).toStdString();
    form.reset();
    SetErrorReportHandler({});
}

}  // namespace
