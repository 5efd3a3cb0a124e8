// The scanner import: the folder from the registry, the open dialog, and the nodes it appends.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "TempDir.h"
#include "addressbook/AddressFile.h"
#include "forms/ErrorReport.h"
#include "forms/ImportScanner.h"
#include "forms/main.h"
#include "platform/CodePage.h"

using testing_support::TempDir;
using testing_support::WriteFileBytes;

namespace {

std::string A(const char* utf8) { return platform::Utf8ToCp1251(utf8); }
std::string Fixture(const char* name) { return std::string(QUORVEL_FIXTURE_DIR) + "/" + name; }

// Each node in tree order as "level kind caption" (captions in UTF-8).
std::string Dump(const TAddressTree& tree) {
    return platform::Cp1251ToUtf8(FormatAddressBook(tree));
}

class ImportScannerTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetErrorReportHandler([this](const QString& text) { reports.append(text); });
        SetImportScannerDialog([this](QWidget*, const TImportDialogRequest& r) {
            requests.push_back(r);
            return answer;
        });
    }
    void TearDown() override {
        form.reset();
        SetImportScannerDialog({});
        SetErrorReportHandler({});
        unsetenv("QUORVEL_REGISTRY_FILE");
    }
    TQuorvelForm& open(const std::string& registry, const std::string& book = {}) {
        setenv("QUORVEL_REGISTRY_FILE", registry.c_str(), 1);
        if (!book.empty()) WriteFileBytes(dir.file("Quorvel.dat"), book);
        form = std::make_unique<TQuorvelForm>(dir.file("Quorvel"));
        form->ActionManager1->UpdateActions();
        return *form;
    }

    TempDir dir;
    std::unique_ptr<TQuorvelForm> form;
    QStringList reports;
    std::vector<TImportDialogRequest> requests;
    QString answer;
};

}  // namespace

TEST_F(ImportScannerTest, FolderFromTheRegistryEnablesTheCommand) {
    struct Case {
        std::string registry;
        std::string scannerDir;
    } cases[] = {
        {Fixture("scanner.reg"), A("/opt/Сканер")},
        {Fixture("scanner_dword.reg"), ""},        // a value of another type
        {Fixture("registry5.reg"), ""},            // the key without the value
        {dir.file("missing.reg"), ""},
    };
    for (const Case& c : cases) {
        TQuorvelForm& f = open(c.registry);
        EXPECT_EQ(f.ScannerDir, c.scannerDir) << c.registry;
        EXPECT_EQ(f.actImportDunmarro->isEnabled(), !c.scannerDir.empty()) << c.registry;
        EXPECT_EQ(f.actImportDunmarro->Execute(), !c.scannerDir.empty()) << c.registry;
        form.reset();
    }
    EXPECT_TRUE(reports.isEmpty());
}

TEST_F(ImportScannerTest, AppendsAfterExistingRootsWithTheScannerKinds) {
    TQuorvelForm& f = open(Fixture("scanner.reg"), "0 0 Old\r\n1 1 USER\r\n");
    answer = QString::fromStdString(Fixture("scanner.cmp"));
    ASSERT_TRUE(f.actImportDunmarro->Execute());
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].title, QString::fromUtf8("Импортировать из файла"));
    EXPECT_EQ(requests[0].filter, QString::fromUtf8("Файлs Dunmarro (*.cmp)"));
    EXPECT_EQ(requests[0].defaultSuffix, "cmp");
    EXPECT_EQ(requests[0].directory, QString::fromUtf8("/opt/Сканер/IpAddresses"));
    const std::string imported =
        "0 0 Бухгалтерия\r\n1 2 BUH-01\r\n1 0 Склад\r\n2 2 SKLAD-PC\r\n0 2 Сервер\r\n1 2 Дочерний\r\n";
    EXPECT_EQ(Dump(f.addresses()), "0 0 Old\r\n1 1 USER\r\n" + imported);
    // A second import is a second copy; a cancelled dialog changes nothing.
    ASSERT_TRUE(f.actImportDunmarro->Execute());
    answer.clear();
    ASSERT_TRUE(f.actImportDunmarro->Execute());
    EXPECT_EQ(Dump(f.addresses()), "0 0 Old\r\n1 1 USER\r\n" + imported + imported);
    EXPECT_TRUE(reports.isEmpty());
}

TEST_F(ImportScannerTest, BadNumberReportsAndKeepsTheNodesBeforeIt) {
    TQuorvelForm& f = open(Fixture("scanner.reg"), "0 2 PC\r\n");
    answer = QString::fromStdString(Fixture("scanner_bad.cmp"));
    f.actImportDunmarro->Execute();
    EXPECT_EQ(reports, QStringList{"Invalid numeric input."});
    EXPECT_EQ(Dump(f.addresses()), "0 2 PC\r\n0 0 Отдел\r\n1 2 PC1\r\n");
    // A chosen file that has gone meanwhile imports nothing, silently.
    answer = QString::fromStdString(dir.file("gone.cmp"));
    f.actImportDunmarro->Execute();
    EXPECT_EQ(reports.size(), 1);
    EXPECT_EQ(f.addresses().rootCount(), 2);
}
