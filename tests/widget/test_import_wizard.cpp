// The server import wizard with a fake server: pages, the server name checks, the listing and
// its "$" rule, ticking, the group page and what finishing adds to the tree.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <memory>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "addressbook/AddressTree.h"
#include "forms/uImportServ.h"
#include "platform/CodePage.h"
#include "platform/LmUser.h"

namespace {

std::string A(const char* utf8) { return platform::Utf8ToCp1251(utf8); }

struct Account {
    std::string name, fullName;  // UTF-8 here, handed out in Windows-1251
};

// A server answering in pages of `page` records, then with `finalResult`.
struct FakeServer {
    std::map<std::u16string, std::vector<Account>> accounts;
    std::size_t page = 2;
    std::uint32_t finalResult = platform::kNerrSuccess;
    std::vector<std::u16string> paths;
    int outstanding = 0;  // buffers not released

    TUserEnumSource source() {
        TUserEnumSource s;
        s.enumerate = [this](const char16_t* server, std::uint32_t level, std::uint32_t,
                             std::uint8_t** buf, std::uint32_t, std::uint32_t* read,
                             std::uint32_t* total, std::uint32_t* resume) -> std::uint32_t {
            paths.emplace_back(server);
            *buf = nullptr;
            *read = 0;
            *total = 0;
            auto it = accounts.find(server);
            if (level != 2 || it == accounts.end()) return 53;  // network path not found
            const auto& list = it->second;
            const std::size_t from = *resume;
            if (from >= list.size()) return finalResult;
            const std::size_t n = std::min(page, list.size() - from);
            // A failing call hands out no buffer.
            if (from + n >= list.size() && finalResult != platform::kNerrSuccess) return finalResult;
            auto* records = static_cast<platform::USER_INFO_2*>(std::calloc(n, sizeof(platform::USER_INFO_2)));
            texts.emplace_back();
            for (std::size_t i = 0; i < n; ++i) {
                texts.back().push_back(A(list[from + i].name.c_str()));
                texts.back().push_back(A(list[from + i].fullName.c_str()));
            }
            for (std::size_t i = 0; i < n; ++i) {
                records[i].usri2_name = texts.back()[2 * i].c_str();
                records[i].usri2_full_name = texts.back()[2 * i + 1].c_str();
            }
            *buf = reinterpret_cast<std::uint8_t*>(records);
            *read = static_cast<std::uint32_t>(n);
            *resume = static_cast<std::uint32_t>(from + n);
            ++outstanding;
            return from + n < list.size() ? platform::kErrorMoreData : finalResult;
        };
        s.release = [this](void* buf) {
            std::free(buf);
            --outstanding;
            return 0u;
        };
        return s;
    }
    std::vector<std::vector<std::string>> texts;
};

class ImportWizardTest : public ::testing::Test {
protected:
    void SetUp() override {
        server.accounts[u"\\\\srv"] = {{"ivan", "Иван Петров"},
                                       {"PC1$", "machine"},
                                       {"anna", ""},
                                       {"petr", "Petr"}};
        SetUserEnumSource(server.source());
        SetImportservErrorHandler([this](const QString& t) { errors.append(t); });
    }
    void TearDown() override {
        dlg.reset();
        SetUserEnumSource({});
        SetImportservErrorHandler({});
        SetImportservBrowse({});
        EXPECT_EQ(server.outstanding, 0) << "every returned buffer is released";
    }
    TImportservDlg& open() {
        dlg = std::make_unique<TImportservDlg>(nullptr, tree);
        dlg->show();
        return *dlg;
    }
    int page() const { return dlg->PageControl1->currentIndex(); }
    QStringList items() const {
        QStringList out;
        for (int i = 0; i < dlg->chkUser->count(); ++i) out << dlg->chkUser->item(i)->text();
        return out;
    }
    std::vector<bool> ticks() const {
        std::vector<bool> out;
        for (int i = 0; i < dlg->chkUser->count(); ++i)
            out.push_back(dlg->chkUser->item(i)->checkState() == Qt::Checked);
        return out;
    }
    void list(const char* name) {
        dlg->edServer->setText(QString::fromUtf8(name));
        dlg->Button1->click();
    }
    std::vector<std::string> children(const TAddressNode* node) const {
        std::vector<std::string> out;
        for (int i = 0; i < node->childCount(); ++i) {
            EXPECT_EQ(node->child(i)->kind(), akUser);
            out.push_back(platform::Cp1251ToUtf8(node->child(i)->caption()));
        }
        return out;
    }

    FakeServer server;
    TAddressTree tree;
    QStringList errors;
    std::unique_ptr<TImportservDlg> dlg;
};

TEST_F(ImportWizardTest, StartsOnTheFirstPageWithHiddenTabs) {
    open();
    EXPECT_EQ(page(), 0);
    EXPECT_EQ(dlg->PageControl1->count(), 3);
    EXPECT_FALSE(dlg->PageControl1->tabBar()->isVisible());
    EXPECT_TRUE(dlg->edServer->text().isEmpty());
    EXPECT_FALSE(dlg->edNewGroup->isEnabled());
    EXPECT_TRUE(dlg->Button1->isDefault());
}

TEST_F(ImportWizardTest, ServerNameChecks) {
    struct Case {
        const char* what;
        QString name;
        bool listed;
    };
    const Case cases[] = {
        {"empty", QString(), false},
        {"126 characters fit", QString(126, QLatin1Char('s')), true},
        {"127 characters do not", QString(127, QLatin1Char('s')), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        open();
        errors.clear();
        server.paths.clear();
        dlg->edServer->setText(c.name);
        dlg->Button1->click();
        EXPECT_EQ(page(), c.listed ? 1 : 0);
        EXPECT_EQ(errors.size(), c.listed ? 0 : 1);
        EXPECT_EQ(server.paths.size(), c.listed ? 1u : 0u);
    }
    open();
    errors.clear();
    dlg->Button1->click();
    ASSERT_EQ(errors.size(), 1);
    EXPECT_EQ(errors[0], QString::fromUtf8("Укажите пожалуйста имя сервера"));
}

TEST_F(ImportWizardTest, ListsAcrossPagesSkippingTrustAccountsAllTicked) {
    open();
    list("srv");
    EXPECT_EQ(page(), 1);
    EXPECT_EQ(items(), QStringList({QString::fromUtf8("ivan (Иван Петров)"), "anna", "petr (Petr)"}));
    EXPECT_EQ(ticks(), std::vector<bool>({true, true, true}));
    EXPECT_EQ(server.paths.size(), 2u) << "234 asks for the next page";
    EXPECT_EQ(server.paths[0], u"\\\\srv");
}

TEST_F(ImportWizardTest, FailureKeepsWhatWasListedAndSaysNothing) {
    server.finalResult = 5;  // access denied after the first page
    server.page = 2;
    open();
    list("srv");
    EXPECT_EQ(items(), QStringList({QString::fromUtf8("ivan (Иван Петров)")}));
    EXPECT_TRUE(errors.isEmpty());
    dlg->Button9->click();
    list("nosuch");
    EXPECT_EQ(page(), 1);
    EXPECT_EQ(items().size(), 1);
}

TEST_F(ImportWizardTest, ListingAgainAppendsAndTicksEverything) {
    open();
    list("srv");
    dlg->chkUser->item(1)->setCheckState(Qt::Unchecked);
    dlg->Button9->click();
    EXPECT_EQ(page(), 0);
    EXPECT_EQ(dlg->edServer->text(), "srv");
    dlg->Button1->click();
    EXPECT_EQ(items().size(), 6);
    EXPECT_EQ(ticks(), std::vector<bool>(6, true));
}

TEST_F(ImportWizardTest, GroupPageAppendsItsEntriesEachTime) {
    tree.addRoot(A("Вся сеть"), akGroup);
    TAddressNode* work = tree.addRoot(A("Работа"), akGroup);
    tree.addChild(work, A("Отдел"), akGroup);
    tree.addRoot("pc", akComputer);
    open();
    list("srv");
    dlg->Button7->click();
    EXPECT_EQ(page(), 2);
    ASSERT_EQ(dlg->cmbGroup->count(), 2);
    EXPECT_EQ(dlg->cmbGroup->itemText(1), QString::fromUtf8("Отдел"));
    dlg->cmbGroup->setCurrentIndex(1);
    dlg->Button6->click();
    EXPECT_EQ(page(), 1);
    dlg->Button7->click();
    EXPECT_EQ(dlg->cmbGroup->count(), 4);
    EXPECT_EQ(dlg->cmbGroup->currentIndex(), 0);
}

TEST_F(ImportWizardTest, FinishAddsTickedUsersUnderTheChosenGroup) {
    TAddressNode* work = tree.addRoot(A("Работа"), akGroup);
    TAddressNode* dept = tree.addChild(work, A("Отдел"), akGroup);
    open();
    list("srv");
    dlg->chkUser->item(1)->setCheckState(Qt::Unchecked);
    dlg->Button7->click();
    dlg->cmbGroup->setCurrentIndex(1);
    dlg->Button4->click();
    EXPECT_EQ(dlg->result(), QDialog::Accepted);
    EXPECT_EQ(children(dept), std::vector<std::string>({"ivan (Иван Петров)", "petr (Petr)"}));
    EXPECT_EQ(work->childCount(), 1);
}

TEST_F(ImportWizardTest, NewGroupSwitchAndFinish) {
    struct Case {
        const char* what;
        const char* typed;  // null: leave what the switch puts there
        bool untickAll;
        std::vector<std::string> roots;
    };
    const Case cases[] = {
        {"default name", nullptr, false, {"Работа", "Новая группа"}},
        {"typed name", "Сервер", false, {"Работа", "Сервер"}},
        {"cleared name", "", false, {"Работа", "Новая группа"}},
        {"nothing ticked: the new group goes again", nullptr, true, {"Работа"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        tree.clear();
        tree.addRoot(A("Работа"), akGroup);
        open();
        list("srv");
        if (c.untickAll) {
            for (int i = 0; i < dlg->chkUser->count(); ++i)
                dlg->chkUser->item(i)->setCheckState(Qt::Unchecked);
        }
        dlg->Button7->click();
        dlg->chkNewGroup->click();
        EXPECT_TRUE(dlg->edNewGroup->isEnabled());
        EXPECT_FALSE(dlg->cmbGroup->isEnabled());
        EXPECT_EQ(dlg->edNewGroup->text(), QString::fromUtf8("Новая группа"));
        if (c.typed) dlg->edNewGroup->setText(QString::fromUtf8(c.typed));
        dlg->Button4->click();
        std::vector<std::string> roots;
        for (int i = 0; i < tree.rootCount(); ++i)
            roots.push_back(platform::Cp1251ToUtf8(tree.root(i)->caption()));
        EXPECT_EQ(roots, c.roots);
        if (!c.untickAll) {
            EXPECT_EQ(tree.root(1)->childCount(), 3);
        }
    }
}

TEST_F(ImportWizardTest, SwitchOffKeepsTheNameAndReenablesTheList) {
    open();
    list("srv");
    dlg->Button7->click();
    dlg->chkNewGroup->click();
    dlg->edNewGroup->setText("x");
    dlg->chkNewGroup->click();
    EXPECT_FALSE(dlg->edNewGroup->isEnabled());
    EXPECT_TRUE(dlg->cmbGroup->isEnabled());
    EXPECT_EQ(dlg->edNewGroup->text(), "x");
}

TEST_F(ImportWizardTest, FinishNeedsAGroupOrANewOne) {
    tree.addRoot("pc", akComputer);  // no group at all
    open();
    list("srv");
    dlg->Button7->click();
    EXPECT_EQ(dlg->cmbGroup->count(), 0);
    EXPECT_FALSE(dlg->Button4->isEnabled());
    dlg->chkNewGroup->click();
    EXPECT_TRUE(dlg->Button4->isEnabled());
}

TEST_F(ImportWizardTest, AnExistingNodeIsNeverRemoved) {
    tree.addRoot(A("Пустая"), akGroup);
    open();
    list("srv");
    for (int i = 0; i < dlg->chkUser->count(); ++i) dlg->chkUser->item(i)->setCheckState(Qt::Unchecked);
    dlg->Button7->click();
    dlg->Button4->click();
    ASSERT_EQ(tree.rootCount(), 1);
    EXPECT_EQ(tree.root(0)->caption(), A("Пустая"));
}

TEST_F(ImportWizardTest, CancelLeavesTheTreeAlone) {
    tree.addRoot(A("Работа"), akGroup);
    for (int cancelPage = 0; cancelPage < 3; ++cancelPage) {
        SCOPED_TRACE(cancelPage);
        open();
        list("srv");
        if (cancelPage == 0) dlg->Button9->click();
        if (cancelPage == 2) dlg->Button7->click();
        ASSERT_EQ(page(), cancelPage);
        if (cancelPage == 2) dlg->chkNewGroup->click();
        QPushButton* cancel[] = {dlg->Button2, dlg->Button8, dlg->Button5};
        cancel[cancelPage]->click();
        EXPECT_EQ(dlg->result(), QDialog::Rejected);
        EXPECT_EQ(tree.size(), 1u);
    }
}

TEST_F(ImportWizardTest, BrowsePutsAPickedNameIntoTheField) {
    QString answer = "picked";
    SetImportservBrowse([&answer](QWidget*) { return answer; });
    open();
    dlg->edServer->setText("typed");
    dlg->Button3->click();
    EXPECT_EQ(dlg->edServer->text(), "picked");
    answer.clear();
    dlg->Button3->click();
    EXPECT_EQ(dlg->edServer->text(), "picked");
}

}  // namespace
