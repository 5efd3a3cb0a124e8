// Importing a computer or workgroup from the network: the group chooser, the two commands with
// a fake browse source, and the browser dialog. No network traffic here.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <functional>
#include <stdexcept>

#include <QProgressBar>

#include "ModalDriver.h"
#include "TempDir.h"
#include "addressbook/AddressModel.h"
#include "forms/ErrorReport.h"
#include "forms/NetBrowser.h"
#include "forms/main.h"
#include "forms/uselasdrrgrpDlg.h"
#include "platform/CodePage.h"

using testing_support::TModalDriver;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

namespace {

std::string A(const char* utf8) { return platform::Utf8ToCp1251(utf8); }
QString U(const char* utf8) { return QString::fromUtf8(utf8); }

// A tree from "level kind caption" lines (UTF-8 captions).
void Build(TAddressTree& tree, const std::vector<std::tuple<int, TAddressKind, const char*>>& rows) {
    std::vector<TAddressNode*> last;
    for (const auto& [level, kind, caption] : rows) {
        TAddressNode* parent = level == 0 ? nullptr : last[static_cast<std::size_t>(level - 1)];
        last.resize(static_cast<std::size_t>(level));
        last.push_back(tree.addChild(parent, A(caption), kind));
    }
}

QStringList Entries(const QComboBox* combo) {
    QStringList out;
    for (int i = 0; i < combo->count(); ++i) out << combo->itemText(i);
    return out;
}

// The tree as "level kind caption" lines (UTF-8), in tree order.
QStringList Dump(const TAddressTree& tree) {
    QStringList out;
    for (TAddressNode* n = tree.first(); n; n = n->next())
        out << QStringLiteral("%1 %2 %3").arg(n->level()).arg(n->kind()).arg(QString::fromStdString(platform::Cp1251ToUtf8(n->caption())));
    return out;
}

platform::TNetBrowseList FakeNetwork(bool withComputers) {
    platform::TNetBrowseList list;
    list.workgroups.push_back({"WORKGROUP", {}});
    list.workgroups.push_back({"ОТДЕЛ", {}});
    if (withComputers) {
        list.workgroups[0].computers = {"ALPHA", "BETA"};
        list.workgroups[1].computers = {"БУХГАЛТЕРИЯ"};
    }
    return list;
}

QTreeWidgetItem* FindItem(QTreeWidget* tree, const char* utf8) {
    const QList<QTreeWidgetItem*> found = tree->findItems(U(utf8), Qt::MatchExactly | Qt::MatchRecursive);
    return found.isEmpty() ? nullptr : found.first();
}

// A step picking the named item in a loaded browser and pressing OK (or Cancel when null).
std::function<bool(QWidget*)> PickInBrowser(const char* utf8) {
    return [utf8](QWidget* modal) {
        auto* dlg = qobject_cast<TNetBrowserDlg*>(modal);
        if (!dlg || !dlg->IsLoaded()) return false;
        if (!utf8) {
            dlg->CancelBtn->click();
            return true;
        }
        dlg->tvNetwork->setCurrentItem(FindItem(dlg->tvNetwork, utf8));
        dlg->OKBtn->click();
        return true;
    };
}

// A step setting up the chooser, then confirming it (or cancelling).
std::function<bool(QWidget*)> InChooser(std::function<void(TSelectAddrGroupDlg*)> setup, bool ok = true) {
    return [setup = std::move(setup), ok](QWidget* modal) {
        auto* dlg = qobject_cast<TSelectAddrGroupDlg*>(modal);
        if (!dlg) return false;
        if (setup) setup(dlg);
        (ok ? dlg->OKBtn : dlg->CancelBtn)->click();
        return true;
    };
}

}  // namespace

TEST(Chooser, HasTheLayoutOfTheDesign) {
    TAddressTree tree;
    TSelectAddrGroupDlg dlg(nullptr, tree);
    EXPECT_EQ(dlg.windowTitle(), U("Импорт"));
    EXPECT_EQ(dlg.size(), QSize(307, 150));
    EXPECT_EQ(dlg.Label1->text(),
              U("Выберите группу адресатов, в которую вы хотите  помеcтить импортированные адреса"));
    EXPECT_EQ(dlg.chkNewGroup->text(), U("Создать новую группу адресов"));
    const struct {
        QWidget* widget;
        QRect place;
    } places[] = {{dlg.Bevel1, {8, 8, 217, 137}},     {dlg.Label1, {24, 16, 157, 39}},
                  {dlg.cmbGroup, {24, 64, 145, 22}},  {dlg.chkNewGroup, {32, 88, 185, 17}},
                  {dlg.edNewGroup, {32, 112, 121, 21}}, {dlg.OKBtn, {228, 8, 75, 25}},
                  {dlg.CancelBtn, {228, 38, 75, 25}}};
    for (const auto& p : places) EXPECT_EQ(p.widget->geometry(), p.place) << p.widget->objectName().toStdString();
    EXPECT_TRUE(dlg.OKBtn->isDefault());
    EXPECT_FALSE(dlg.chkNewGroup->isChecked());
    EXPECT_FALSE(dlg.edNewGroup->isEnabled());
    EXPECT_TRUE(dlg.edNewGroup->text().isEmpty());
}

TEST(Chooser, ListsTheGroupsInTreeOrder) {
    const struct {
        const char* name;
        std::vector<std::tuple<int, TAddressKind, const char*>> rows;
        QStringList expected;
    } cases[] = {
        {"nested after parent",
         {{0, akGroup, "A"}, {1, akGroup, "A1"}, {2, akGroup, "A11"}, {1, akUser, "u"}, {1, akGroup, "A2"}, {0, akGroup, "B"}},
         {"A", "A1", "A11", "A2", "B"}},
        {"entire network left out, its groups kept",
         {{0, akGroup, "Вся сеть"}, {1, akGroup, "Внутри"}, {1, akWorkgroup, "WG"}, {0, akGroup, "Офис"}},
         {U("Внутри"), U("Офис")}},
        {"other case is another caption", {{0, akGroup, "вся сеть"}}, {U("вся сеть")}},
        {"only groups", {{0, akUser, "u"}, {0, akComputer, "pc"}, {0, akWorkgroup, "wg"}}, {}},
        {"duplicates kept", {{0, akGroup, "G"}, {0, akGroup, "G"}}, {"G", "G"}},
    };
    for (const auto& c : cases) {
        TAddressTree tree;
        Build(tree, c.rows);
        TSelectAddrGroupDlg dlg(nullptr, tree);
        EXPECT_EQ(Entries(dlg.cmbGroup), c.expected) << c.name;
        EXPECT_EQ(dlg.cmbGroup->currentIndex(), c.expected.isEmpty() ? -1 : 0) << c.name;
        EXPECT_EQ(dlg.OKBtn->isEnabled(), !c.expected.isEmpty()) << c.name;
    }
}

TEST(Chooser, TargetIsTheFirstNodeWithTheCaption) {
    const struct {
        const char* name;
        std::vector<std::tuple<int, TAddressKind, const char*>> rows;
        int entry;
        QStringList expected;  // after adding "new" (kind 2) under the target
    } cases[] = {
        {"second duplicate goes to the first", {{0, akGroup, "G"}, {0, akGroup, "G"}}, 1,
         {"0 0 G", "1 2 new", "0 0 G"}},
        {"earlier computer of that caption", {{0, akComputer, "G"}, {0, akGroup, "G"}}, 0,
         {"0 2 G", "1 2 new", "0 0 G"}},
        {"appended after the last child", {{0, akGroup, "G"}, {1, akUser, "u"}}, 0,
         {"0 0 G", "1 1 u", "1 2 new"}},
    };
    for (const auto& c : cases) {
        TAddressTree tree;
        Build(tree, c.rows);
        TSelectAddrGroupDlg dlg(nullptr, tree);
        dlg.cmbGroup->setCurrentIndex(c.entry);
        tree.addChild(dlg.TargetNode(tree), "new", akComputer);
        EXPECT_EQ(Dump(tree), c.expected) << c.name;
    }
}

TEST(Chooser, GroupGoneSinceTheSnapshotMeansRootLevel) {
    TAddressTree tree;
    Build(tree, {{0, akGroup, "G"}});
    TSelectAddrGroupDlg dlg(nullptr, tree);
    tree.remove(tree.root(0));
    EXPECT_EQ(dlg.TargetNode(tree), nullptr);
}

TEST(Chooser, NewGroupSwitch) {
    TAddressTree tree;
    Build(tree, {{0, akGroup, "G"}});
    TSelectAddrGroupDlg dlg(nullptr, tree);
    const QColor window = QPalette().color(QPalette::Base);
    const QColor buttonFace = QPalette().color(QPalette::Button);
    ASSERT_NE(window, buttonFace);
    EXPECT_EQ(dlg.edNewGroup->palette().color(QPalette::Base), buttonFace);

    dlg.chkNewGroup->click();
    EXPECT_TRUE(dlg.edNewGroup->isEnabled());
    EXPECT_EQ(dlg.edNewGroup->text(), U("Новая группа"));
    EXPECT_EQ(dlg.edNewGroup->palette().color(QPalette::Base), window);
    EXPECT_FALSE(dlg.cmbGroup->isEnabled());

    dlg.edNewGroup->setText(U("Свои"));
    dlg.chkNewGroup->click();
    EXPECT_FALSE(dlg.edNewGroup->isEnabled());
    EXPECT_EQ(dlg.edNewGroup->text(), U("Свои"));
    EXPECT_EQ(dlg.edNewGroup->palette().color(QPalette::Base), buttonFace);
    EXPECT_TRUE(dlg.cmbGroup->isEnabled());

    dlg.chkNewGroup->click();
    EXPECT_EQ(dlg.edNewGroup->text(), U("Свои"));
}

TEST(Chooser, NewGroupGoesLastAtRootAndAnEmptiedNameBecomesTheDefault) {
    TAddressTree tree;
    Build(tree, {{0, akGroup, "G"}, {1, akGroup, "Inner"}});
    TSelectAddrGroupDlg dlg(nullptr, tree);
    dlg.chkNewGroup->click();
    dlg.edNewGroup->clear();
    TAddressNode* target = dlg.TargetNode(tree);
    ASSERT_TRUE(target);
    EXPECT_EQ(target, tree.root(1));
    EXPECT_EQ(target->caption(), A("Новая группа"));
    EXPECT_EQ(target->kind(), akGroup);

    dlg.edNewGroup->setText(U(" G "));  // taken as typed: a separate group, not merged
    TAddressNode* second = dlg.TargetNode(tree);
    EXPECT_EQ(second, tree.root(2));
    EXPECT_EQ(second->caption(), " G ");
}

TEST(Chooser, WithoutGroupsOnlyANewGroupCanBeConfirmed) {
    TAddressTree tree;
    Build(tree, {{0, akUser, "u"}});
    TSelectAddrGroupDlg dlg(nullptr, tree);
    EXPECT_FALSE(dlg.OKBtn->isEnabled());
    dlg.chkNewGroup->click();
    EXPECT_TRUE(dlg.OKBtn->isEnabled());
    dlg.chkNewGroup->click();
    EXPECT_FALSE(dlg.OKBtn->isEnabled());
}

class ImportNetTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetNetBrowseSource(FakeNetwork);
        SetErrorReportHandler([this](const QString& text) { reports.append(text); });
    }
    void TearDown() override {
        form.reset();
        SetNetBrowseSource({});
        SetErrorReportHandler({});
    }
    TQuorvelForm& open(const std::string& book) {
        WriteFileBytes(dir.file("Quorvel.dat"), book);
        form = std::make_unique<TQuorvelForm>(dir.file("Quorvel"));
        form->show();
        return *form;
    }
    // Runs the command while the driver answers its windows.
    void run(TAction* action, std::vector<std::function<bool(QWidget*)>> steps) {
        TModalDriver driver(std::move(steps));
        action->Execute();
        EXPECT_TRUE(driver.done());
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    }

    TempDir dir;
    std::unique_ptr<TQuorvelForm> form;
    QStringList reports;
};

TEST_F(ImportNetTest, ComputerGoesUnderTheChosenGroup) {
    TQuorvelForm& f = open(A("0 0 A\r\n0 0 B\r\n1 1 u\r\n"));
    run(f.actImportNet, {PickInBrowser("БУХГАЛТЕРИЯ"), InChooser([](TSelectAddrGroupDlg* d) {
                             d->cmbGroup->setCurrentIndex(1);
                         })});
    EXPECT_EQ(Dump(f.addresses()), QStringList({"0 0 A", "0 0 B", "1 1 u", U("1 2 БУХГАЛТЕРИЯ")}));
    EXPECT_FALSE(f.TreeAddresses->isExpanded(f.addressModel()->indexOf(f.addresses().root(1))));
    EXPECT_TRUE(reports.isEmpty());
}

TEST_F(ImportNetTest, WorkgroupGoesIntoANewGroupAtTheEnd) {
    TQuorvelForm& f = open(A("0 0 A\r\n1 0 Sub\r\n"));
    f.TreeAddresses->setCurrentIndex(f.addressModel()->indexOf(f.addresses().root(0)->child(0)));
    TAddressNode* selected = f.SelectedNode();
    run(f.actImportGroupNet, {PickInBrowser("WORKGROUP"),
                              InChooser([](TSelectAddrGroupDlg* d) { d->chkNewGroup->click(); })});
    EXPECT_EQ(Dump(f.addresses()), QStringList({"0 0 A", "1 0 Sub", U("0 0 Новая группа"), "1 3 WORKGROUP"}));
    EXPECT_EQ(f.SelectedNode(), selected);
}

TEST_F(ImportNetTest, ComputerAlreadyInTheTreeIsAddedAgain) {
    TQuorvelForm& f = open(A("0 0 A\r\n1 2 ALPHA\r\n"));
    run(f.actImportNet, {PickInBrowser("ALPHA"), InChooser({})});
    EXPECT_EQ(Dump(f.addresses()), QStringList({"0 0 A", "1 2 ALPHA", "1 2 ALPHA"}));
}

TEST_F(ImportNetTest, CancelAddsNothing) {
    const struct {
        const char* name;
        bool viaGroups;
        std::vector<std::function<bool(QWidget*)>> steps;
    } cases[] = {
        {"browser cancelled", false, {PickInBrowser(nullptr)}},
        {"chooser cancelled", false, {PickInBrowser("ALPHA"), InChooser({}, false)}},
        {"chooser cancelled with a new group ticked", true,
         {PickInBrowser("WORKGROUP"), InChooser([](TSelectAddrGroupDlg* d) { d->chkNewGroup->click(); }, false)}},
    };
    TQuorvelForm& f = open(A("0 0 A\r\n"));
    for (const auto& c : cases) {
        run(c.viaGroups ? f.actImportGroupNet : f.actImportNet, c.steps);
        EXPECT_EQ(Dump(f.addresses()), QStringList({"0 0 A"})) << c.name;
    }
}

TEST(NetBrowse, ComputerModeOffersOnlyComputersOrATypedName) {
    SetNetBrowseSource(FakeNetwork);
    TNetBrowserDlg dlg(nullptr, true);
    EXPECT_EQ(dlg.windowTitle(), U("Выбeрите компьютер"));
    EXPECT_TRUE(dlg.pbBusy->isVisibleTo(&dlg));
    EXPECT_FALSE(dlg.OKBtn->isEnabled());
    ASSERT_TRUE(QTest::qWaitFor([&] { return dlg.IsLoaded(); }, 5000));
    EXPECT_FALSE(dlg.pbBusy->isVisibleTo(&dlg));
    ASSERT_TRUE(FindItem(dlg.tvNetwork, "ALPHA"));

    dlg.tvNetwork->setCurrentItem(FindItem(dlg.tvNetwork, "WORKGROUP"));
    EXPECT_FALSE(dlg.OKBtn->isEnabled());
    dlg.tvNetwork->setCurrentItem(FindItem(dlg.tvNetwork, "BETA"));
    EXPECT_TRUE(dlg.OKBtn->isEnabled());
    EXPECT_EQ(dlg.SelectedName(), QStringLiteral("BETA"));
    dlg.tvNetwork->setCurrentItem(FindItem(dlg.tvNetwork, "ОТДЕЛ"));
    EXPECT_EQ(dlg.SelectedName(), QStringLiteral("BETA"));

    dlg.edName->setText(QStringLiteral("  192.168.0.7 "));
    EXPECT_EQ(dlg.SelectedName(), QStringLiteral("192.168.0.7"));
    dlg.edName->setText(QStringLiteral("   "));
    EXPECT_FALSE(dlg.OKBtn->isEnabled());
    SetNetBrowseSource({});
}

TEST(NetBrowse, GroupModeShowsWorkgroupsAndAcceptsAny) {
    bool askedForComputers = true;
    SetNetBrowseSource([&](bool withComputers) {
        askedForComputers = withComputers;
        return FakeNetwork(withComputers);
    });
    TNetBrowserDlg dlg(nullptr, false);
    EXPECT_EQ(dlg.windowTitle(), U("Выбeрите группу"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return dlg.IsLoaded(); }, 5000));
    EXPECT_FALSE(askedForComputers);
    EXPECT_EQ(dlg.tvNetwork->topLevelItemCount(), 2);
    EXPECT_EQ(FindItem(dlg.tvNetwork, "ALPHA"), nullptr);
    dlg.tvNetwork->setCurrentItem(FindItem(dlg.tvNetwork, "ОТДЕЛ"));
    EXPECT_EQ(dlg.SelectedName(), U("ОТДЕЛ"));
    EXPECT_TRUE(dlg.OKBtn->isEnabled());
    SetNetBrowseSource({});
}

TEST(NetBrowse, FailingSourceStillLetsTheUserTypeAName) {
    SetNetBrowseSource([](bool) -> platform::TNetBrowseList { throw std::runtime_error("no master browser"); });
    QString result;
    QTimer::singleShot(0, [] {
        auto* dlg = qobject_cast<TNetBrowserDlg*>(QApplication::activeModalWidget());
        ASSERT_TRUE(dlg);
        ASSERT_TRUE(QTest::qWaitFor([&] { return dlg->IsLoaded(); }, 5000));
        EXPECT_TRUE(dlg->lblStatus->text().contains(QStringLiteral("no master browser")));
        EXPECT_EQ(dlg->tvNetwork->topLevelItemCount(), 0);
        dlg->edName->setText(QStringLiteral("PRINTSRV"));
        dlg->OKBtn->click();
    });
    EXPECT_EQ(BrowseNetwork(nullptr, true), QStringLiteral("PRINTSRV"));
    SetNetBrowseSource({});
}

TEST(NetBrowse, CancelGivesAnEmptyName) {
    SetNetBrowseSource(FakeNetwork);
    QTimer::singleShot(0, [] {
        auto* dlg = qobject_cast<TNetBrowserDlg*>(QApplication::activeModalWidget());
        ASSERT_TRUE(dlg);
        dlg->edName->setText(QStringLiteral("TYPED"));
        dlg->CancelBtn->click();
    });
    EXPECT_TRUE(BrowseNetwork(nullptr, false).isEmpty());
    SetNetBrowseSource({});
}
