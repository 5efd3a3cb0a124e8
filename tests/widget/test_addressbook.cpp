// The address book in the main window: the item model, the editing commands with the
// entire-network protections, recipient text from a click, and the book file at start and exit.
#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QLineEdit>
#include <QMenu>
#include <QTest>
#include <QTimer>
#include <sys/stat.h>

#include "TempDir.h"
#include "addressbook/AddressFile.h"
#include "addressbook/AddressModel.h"
#include "forms/ErrorReport.h"
#include "forms/main.h"
#include "platform/CodePage.h"

using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

namespace {

std::string A(const char* utf8) { return platform::Utf8ToCp1251(utf8); }

void Spin(int ms = 20) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

class AddressBookTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetErrorReportHandler([this](const QString& text) { reports.append(text); });
    }
    void TearDown() override {
        form.reset();
        SetErrorReportHandler({});
    }
    TQuorvelForm& open(const std::string& book = {}) {
        if (!book.empty()) WriteFileBytes(bookPath(), book);
        form = std::make_unique<TQuorvelForm>(dir.file("Quorvel"));
        tester = std::make_unique<QAbstractItemModelTester>(
            form->addressModel(), QAbstractItemModelTester::FailureReportingMode::Warning);
        form->show();
        return *form;
    }
    void close() {
        tester.reset();
        form.reset();
    }
    std::string bookPath() const { return dir.file("Quorvel.dat"); }
    void select(TAddressNode* node) { form->TreeAddresses->setCurrentIndex(form->addressModel()->indexOf(node)); }
    void update() { form->ActionManager1->UpdateActions(); }
    QPoint centre(TAddressNode* node) {
        return form->TreeAddresses->visualRect(form->addressModel()->indexOf(node)).center();
    }

    TempDir dir;
    std::unique_ptr<TQuorvelForm> form;
    std::unique_ptr<QAbstractItemModelTester> tester;
    QStringList reports;
};

}  // namespace

TEST(AddressModel, PassesTheModelTesterThroughEveryChange) {
    TAddressTree tree;
    TAddressModel model(tree);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    TAddressNode* g = tree.addRoot("G", akGroup);
    tree.addChild(g, "b", akUser);
    tree.addChild(g, "a", akUser);
    QPersistentModelIndex b = model.index(0, 0, model.indexOf(g));
    TAddressTree more;
    AppendAddressRecords(more, ParseAddressRecords("0 0 H\r\n1 1 x\r\n0 0 I\r\n").records);
    tree.adoptRoots(more);
    EXPECT_EQ(model.rowCount(), 3);
    tree.sortBelowRoots([](const TAddressNode* l, const TAddressNode* r) { return l->caption() < r->caption(); });
    EXPECT_EQ(b.row(), 1);  // persistent indexes follow their node
    EXPECT_EQ(model.node(b)->caption(), "b");
    tree.setCaption(g->child(0), A("Вся сеть"));
    EXPECT_EQ(model.data(model.index(0, 0, model.indexOf(g)), Qt::DisplayRole).toString(), QString::fromUtf8("Вся сеть"));
    tree.remove(g);
    EXPECT_FALSE(b.isValid());
    tree.clear();
    EXPECT_EQ(model.rowCount(), 0);
}

TEST_F(AddressBookTest, CommandsWithNothingSelected) {
    TQuorvelForm& f = open();
    update();
    EXPECT_FALSE(f.actAddUser->isEnabled());
    EXPECT_FALSE(f.actRemoveGroup->isEnabled());
    EXPECT_TRUE(f.actAddGroup->isEnabled());
    f.addresses().addRoot("first", akGroup);
    f.actAddGroup->trigger();
    Spin();
    ASSERT_EQ(f.addresses().rootCount(), 2);
    TAddressNode* added = f.addresses().root(1);
    EXPECT_EQ(added->kind(), akGroup);
    EXPECT_EQ(added->caption(), "");
    EXPECT_EQ(f.SelectedNode(), added);
    EXPECT_TRUE(f.TreeAddresses->isEditing());
    // Cancelling the edit keeps the empty caption, and it is saved that way.
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    Spin();
    EXPECT_EQ(added->caption(), "");
    close();
    EXPECT_EQ(ReadFileBytes(bookPath()), "0 0 first\r\n0 0 \r\n");
}

TEST_F(AddressBookTest, AddAddressGoesToTheEndOfTheTargetGroup) {
    TQuorvelForm& f = open("0 0 Sales\r\n1 1 JSMITH\r\n1 0 Sub\r\n2 1 deep\r\n1 2 PC12\r\n0 2 LONE\r\n");
    TAddressTree& t = f.addresses();
    TAddressNode* sales = t.root(0);
    TAddressNode* sub = sales->child(1);
    struct Case {
        const char* name;
        TAddressNode* selected;
        TAddressNode* target;  // null: the root level
    } cases[] = {
        {"group selected", sales, sales},
        {"address in a group", sales->child(0), sales},
        {"nested group", sub, sub},
        {"address at the root level", t.root(1), nullptr},
    };
    for (const Case& c : cases) {
        select(c.selected);
        f.actAddUser->Execute();
        Spin();
        const int count = c.target ? c.target->childCount() : t.rootCount();
        TAddressNode* added = c.target ? c.target->child(count - 1) : t.root(count - 1);
        EXPECT_EQ(added->kind(), akUser) << c.name;
        EXPECT_EQ(added->caption(), "") << c.name;
        EXPECT_EQ(f.SelectedNode(), added) << c.name;
        EXPECT_TRUE(f.TreeAddresses->isEditing()) << c.name;
        QTest::keyClicks(QApplication::focusWidget(), "NEW");
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        Spin();
        EXPECT_EQ(added->caption(), "NEW") << c.name;
    }
    // The target group was expanded with every group inside it.
    EXPECT_TRUE(f.TreeAddresses->isExpanded(f.addressModel()->indexOf(sales)));
    EXPECT_TRUE(f.TreeAddresses->isExpanded(f.addressModel()->indexOf(sub)));
}

TEST_F(AddressBookTest, EntireNetworkNodeIsProtected) {
    const std::string net = A("Вся сеть");
    TQuorvelForm& f = open("0 0 G\r\n1 3 " + net + "\r\n1 2 PC1\r\n0 0 " + net + "\r\n");
    TAddressTree& t = f.addresses();
    for (TAddressNode* node : {t.root(0)->child(0), t.root(1)}) {
        select(node);
        update();
        EXPECT_FALSE(f.actAddUser->isEnabled());
        EXPECT_FALSE(f.actRemoveGroup->isEnabled());
        EXPECT_TRUE(f.actAddGroup->isEnabled());
        f.TreeAddresses->edit(f.addressModel()->indexOf(node));
        EXPECT_FALSE(f.TreeAddresses->isEditing());
    }
    // A caption typed as the entire-network caption is protected from then on.
    TAddressNode* pc = t.root(0)->child(1);
    select(pc);
    update();
    EXPECT_TRUE(f.actRemoveGroup->isEnabled());
    f.addressModel()->setData(f.addressModel()->indexOf(pc), QString::fromUtf8("Вся сеть"), Qt::EditRole);
    update();
    EXPECT_FALSE(f.actRemoveGroup->isEnabled());
    // Removing the group takes the entire-network node inside it along.
    select(t.root(0));
    update();
    f.actRemoveGroup->trigger();
    EXPECT_EQ(t.rootCount(), 1);
    EXPECT_EQ(t.size(), 1u);
}

TEST_F(AddressBookTest, PopupCommandsActOnTheRightClickedNode) {
    TQuorvelForm& f = open("0 0 A\r\n0 0 B\r\n");
    TAddressTree& t = f.addresses();
    TAddressNode* a = t.root(0);
    select(a);
    QTimer::singleShot(0, [&] {
        QMenu* popup = f.PopupMenu1;
        ASSERT_EQ(QApplication::activePopupWidget(), popup);
        QAction* remove = popup->findChild<QAction*>("actRemoveGroupItem");
        ASSERT_TRUE(remove);
        popup->setActiveAction(remove);
        QTest::keyClick(popup, Qt::Key_Return);
    });
    QTest::mouseClick(f.windowHandle(), Qt::RightButton, {},
                      f.TreeAddresses->viewport()->mapTo(&f, centre(t.root(1))));
    Spin(50);
    ASSERT_EQ(t.rootCount(), 1);
    EXPECT_EQ(t.root(0), a);
    EXPECT_EQ(f.SelectedNode(), a);
}

TEST_F(AddressBookTest, OnlyAClickFillsTheRecipient) {
    TQuorvelForm& f = open("0 0 Sales\r\n1 1 JSMITH\r\n1 2 PC12 (room 5)\r\n1 3 WORKGROUP\r\n0 3 DOMAIN\r\n");
    TAddressTree& t = f.addresses();
    QWidget* viewport = f.TreeAddresses->viewport();
    QTest::mouseClick(viewport, Qt::LeftButton, {}, centre(t.root(0)));
    EXPECT_EQ(f.edRecipient->text(), "JSMITH, PC12, WORKGROUP*");
    // Moving the selection with the keyboard leaves the field alone.
    f.TreeAddresses->setFocus();
    QTest::keyClick(f.TreeAddresses, Qt::Key_Down);
    EXPECT_EQ(f.SelectedNode(), t.root(1));
    EXPECT_EQ(f.edRecipient->text(), "JSMITH, PC12, WORKGROUP*");
    // A click on empty space keeps the selection and recomputes the field from it.
    f.edRecipient->setText("typed");
    QTest::mouseClick(viewport, Qt::LeftButton, {}, QPoint(5, viewport->height() - 5));
    EXPECT_EQ(f.SelectedNode(), t.root(1));
    EXPECT_EQ(f.edRecipient->text(), "DOMAIN*");
}

TEST_F(AddressBookTest, BookSurvivesExitAndRestart) {
    TQuorvelForm& f = open();
    TAddressTree& t = f.addresses();
    TAddressNode* g = t.addRoot(A("Отдел продаж"), akGroup);
    t.addChild(g, "PC12 (room 5)", akComputer);
    t.addChild(g, A("Иванов"), akUser);
    t.addRoot("WORKGROUP", akWorkgroup);
    const std::string text = FormatAddressBook(t);
    close();
    EXPECT_EQ(ReadFileBytes(bookPath()), text);
    TQuorvelForm& again = open();
    EXPECT_EQ(FormatAddressBook(again.addresses()), text);
    EXPECT_TRUE(reports.isEmpty());
}

TEST_F(AddressBookTest, BookThatFailedToLoadIsKeptAndTheTreeGoesBesideIt) {
    const std::string original = "0 0 A\r\n1 bad B\r\n1 1 C\r\n";
    TQuorvelForm& f = open(original);
    ASSERT_EQ(reports, QStringList{"Invalid numeric input."});
    EXPECT_EQ(f.addresses().size(), 1u);
    f.addresses().addRoot("added", akGroup);
    close();
    EXPECT_EQ(ReadFileBytes(bookPath()), original);
    EXPECT_EQ(ReadFileBytes(bookPath() + ".new"), "0 0 A\r\n0 0 added\r\n");
    ASSERT_EQ(reports.size(), 2);
    EXPECT_TRUE(reports[1].contains(QString::fromStdString(bookPath())));
    EXPECT_TRUE(reports[1].contains(QString::fromStdString(bookPath() + ".new")));
}

TEST_F(AddressBookTest, BookIsSavedEvenWhenTheSettingsCannotBeWritten) {
    WriteFileBytes(dir.file("Quorvel.ini"), "[Sender]\r\nSender1=Ivan\r\n");
    chmod(dir.file("Quorvel.ini").c_str(), 0444);
    TQuorvelForm& f = open();
    f.addresses().addRoot("kept", akGroup);
    close();
    EXPECT_EQ(ReadFileBytes(bookPath()), "0 0 kept\r\n");
    EXPECT_EQ(reports.size(), 1);  // "Unable to write to ..." once
}

TEST_F(AddressBookTest, UnwritableBookIsReportedAtExit) {
    TQuorvelForm& f = open("0 0 A\r\n");
    chmod(bookPath().c_str(), 0444);
    f.addresses().addRoot("B", akGroup);
    close();
    EXPECT_EQ(reports, QStringList{"File access denied."});
    EXPECT_EQ(ReadFileBytes(bookPath()), "0 0 A\r\n");
}

TEST_F(AddressBookTest, SortOrdersEveryGroupButNotTheRootLevel) {
    TQuorvelForm& f = open(
        "0 0 Z\r\n1 2 PC1\r\n1 2 192.168.0.1 (boss)\r\n1 2 10.0.0.10\r\n1 0 inner\r\n2 1 b\r\n2 1 a\r\n"
        "1 2 10.0.0.2\r\n1 3 WORKGROUP\r\n0 0 A\r\n");
    f.actSortAddresses->trigger();
    TAddressTree& t = f.addresses();
    ASSERT_EQ(t.root(0)->caption(), "Z");
    EXPECT_EQ(t.root(1)->caption(), "A");
    std::vector<std::string> order;
    for (int i = 0; i < t.root(0)->childCount(); ++i) order.push_back(t.root(0)->child(i)->caption());
    // This machine's locale is C: the names follow in code point order.
    EXPECT_EQ(order, (std::vector<std::string>{"10.0.0.2", "10.0.0.10", "192.168.0.1 (boss)", "PC1",
                                                "WORKGROUP", "inner"}));
    const TAddressNode* inner = t.root(0)->child(5);
    EXPECT_EQ(inner->child(0)->caption(), "a");
    // The compare handler agrees with the order the command made.
    for (int i = 0; i + 1 < t.root(0)->childCount(); ++i)
        EXPECT_LE(f.TreeAddressesCompare(t.root(0)->child(i), t.root(0)->child(i + 1)), 0);
}
