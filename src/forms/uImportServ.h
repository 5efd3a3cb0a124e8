// The server import wizard: a server name, the server's accounts to tick, the target group.
#pragma once

#include <QDialog>
#include <QString>
#include <cstdint>
#include <functional>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QTabWidget;
class QWidget;
class TAction;
class TAddressTree;

// Shaped like platform::NetUserEnum and NetApiBufferFree, so tests can list a fake server.
struct TUserEnumSource {
    std::function<std::uint32_t(const char16_t* server, std::uint32_t level, std::uint32_t filter,
                                std::uint8_t** buf, std::uint32_t prefmaxlen,
                                std::uint32_t* read, std::uint32_t* total,
                                std::uint32_t* resume)>
        enumerate;
    std::function<std::uint32_t(void*)> release;
};
// An empty source restores the real one.
void SetUserEnumSource(TUserEnumSource source);
// Where the wizard's error boxes go (tests); an empty function restores the box.
void SetImportservErrorHandler(std::function<void(const QString&)> handler);
// The "..." browse (tests); an empty function restores the network browser.
void SetImportservBrowse(std::function<QString(QWidget* owner)> browse);

class TImportservDlg : public QDialog {
    Q_OBJECT
public:
    TImportservDlg(QWidget* owner, TAddressTree& tree);

    void FormCreate();
    void Button3Click();
    void Button1Click();
    void EnumUsers();
    void Button7Click();
    void Button9Click();
    void TabSheet3Show();
    void actNewNameExecute();
    void Button6Click();
    void Button4Click();

    QTabWidget* PageControl1;
    QWidget* TabSheet1;
    QWidget* TabSheet2;
    QWidget* TabSheet3;
    QLabel* Label1;
    QLineEdit* edServer;
    QPushButton* Button3;
    QPushButton* Button1;
    QPushButton* Button2;
    QLabel* Label3;
    QListWidget* chkUser;
    QPushButton* Button9;
    QPushButton* Button7;
    QPushButton* Button8;
    QLabel* Label2;
    QComboBox* cmbGroup;
    QCheckBox* chkNewGroup;
    QLineEdit* edNewGroup;
    QPushButton* Button6;
    QPushButton* Button4;
    QPushButton* Button5;
    TAction* actNewName;

private:
    void MovePage(int delta);
    void UpdateFinish();

    TAddressTree& tree_;
};
