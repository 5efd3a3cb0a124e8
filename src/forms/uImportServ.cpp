#include "forms/uImportServ.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTabBar>
#include <QTabWidget>
#include <string>

#include "addressbook/AddressTree.h"
#include "addressbook/TargetGroups.h"
#include "forms/Actions.h"
#include "forms/NetBrowser.h"
#include "forms/Pictures.h"
#include "forms/uselasdrrgrpDlg.h"
#include "platform/CodePage.h"
#include "platform/LmUser.h"
#include "platform/QtAnsi.h"

namespace {

TUserEnumSource gSource;
std::function<void(const QString&)> gErrorHandler;
std::function<QString(QWidget*)> gBrowse;

QString U(const char* utf8) { return QString::fromUtf8(utf8); }

// The server path fits 128 characters and the terminator.
constexpr int kMaxServerPath = 128;

void ShowError(QWidget* parent, const QString& text) {
    if (gErrorHandler) {
        gErrorHandler(text);
        return;
    }
    QMessageBox::critical(parent, QStringLiteral("Error"), text, QMessageBox::Ok);
}

}  // namespace

void SetUserEnumSource(TUserEnumSource source) { gSource = std::move(source); }
void SetImportservErrorHandler(std::function<void(const QString&)> handler) {
    gErrorHandler = std::move(handler);
}
void SetImportservBrowse(std::function<QString(QWidget*)> browse) { gBrowse = std::move(browse); }

TImportservDlg::TImportservDlg(QWidget* owner, TAddressTree& tree) : QDialog(owner), tree_(tree) {
    setObjectName(QStringLiteral("ImportservDlg"));
    setWindowTitle(U("Импорт с сервера"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(302, 180);

    PageControl1 = new QTabWidget(this);
    PageControl1->setObjectName(QStringLiteral("PageControl1"));
    PageControl1->setGeometry(0, 0, 302, 180);
    PageControl1->tabBar()->hide();  // only the wizard's buttons move between pages
    PageControl1->setDocumentMode(true);

    auto page = [this](const char* name) {
        auto* w = new QWidget;
        w->setObjectName(QString::fromLatin1(name));
        PageControl1->addTab(w, QString());
        return w;
    };
    TabSheet1 = page("TabSheet1");
    TabSheet2 = page("TabSheet2");
    TabSheet3 = page("TabSheet3");
    // The content area above, the button row at the foot (y 140).
    constexpr int kFoot = 140;
    auto label = [](QWidget* p, const char* name, const char* text, QRect r) {
        auto* l = new QLabel(U(text), p);
        l->setObjectName(QString::fromLatin1(name));
        l->setWordWrap(true);
        l->setGeometry(r);
        return l;
    };
    auto button = [](QWidget* p, const char* name, const char* text, int x, int y, int w, int h) {
        auto* b = new QPushButton(U(text), p);
        b->setObjectName(QString::fromLatin1(name));
        b->setGeometry(x, y, w, h);
        return b;
    };
    Label1 = label(TabSheet1, "Label1",
                   "Укажите пожалуйста сервер с которго будет произведен импорт адресатов",
                   QRect(8, 8, 233, 26));
    edServer = new QLineEdit(TabSheet1);
    edServer->setObjectName(QStringLiteral("edServer"));
    edServer->setGeometry(24, 44, 121, 21);
    Button3 = button(TabSheet1, "Button3", "...", 144, 44, 22, 21);
    Button1 = button(TabSheet1, "Button1", "Далее >>", 120, kFoot + 8, 75, 25);
    Button2 = button(TabSheet1, "Button2", "Отмена", 198, kFoot + 8, 75, 25);

    Label3 = label(TabSheet2, "Label3", "Отметьте адресатов, которых вы хотите добавить",
                   QRect(8, 8, 256, 13));
    chkUser = new QListWidget(TabSheet2);
    chkUser->setObjectName(QStringLiteral("chkUser"));
    chkUser->setGeometry(8, 24, 281, 89);
    Button9 = button(TabSheet2, "Button9", "<< Назад", 40, kFoot + 8, 75, 25);
    Button7 = button(TabSheet2, "Button7", "Далее >>", 120, kFoot + 8, 75, 25);
    Button8 = button(TabSheet2, "Button8", "Отмена", 198, kFoot + 8, 75, 25);

    Label2 = label(TabSheet3, "Label2",
                   "Выберите группу адресатов, в которую вы хотите  помеcтить импортированные "
                   "адреса",
                   QRect(8, 8, 258, 26));
    cmbGroup = new QComboBox(TabSheet3);
    cmbGroup->setObjectName(QStringLiteral("cmbGroup"));
    cmbGroup->setGeometry(24, 40, 145, 22);
    cmbGroup->setMaxVisibleItems(8);
    actNewName = new TAction(QStringLiteral("actNewName"), QString(),
                             U("Создать новую группу адресов"), QString(), -1, this);
    actNewName->setCheckable(true);
    chkNewGroup = new QCheckBox(actNewName->text(), TabSheet3);
    chkNewGroup->setObjectName(QStringLiteral("chkNewGroup"));
    chkNewGroup->setGeometry(24, 72, 185, 17);
    edNewGroup = new QLineEdit(TabSheet3);
    edNewGroup->setObjectName(QStringLiteral("edNewGroup"));
    edNewGroup->setGeometry(40, 91, 121, 21);
    TSelectAddrGroupDlg::ApplyNewGroupSwitch(false, edNewGroup, cmbGroup);
    Button6 = button(TabSheet3, "Button6", "<< Назад", 40, kFoot + 8, 75, 25);
    Button4 = button(TabSheet3, "Button4", "Закончить", 120, kFoot + 8, 75, 25);
    Button5 = button(TabSheet3, "Button5", "Отмена", 198, kFoot + 8, 75, 25);

    actNewName->OnExecute = [this] { actNewNameExecute(); };
    connect(chkNewGroup, &QCheckBox::clicked, this, [this] { actNewName->Execute(); });
    connect(edNewGroup, &QLineEdit::textChanged, this, [this] { UpdateFinish(); });
    connect(Button3, &QPushButton::clicked, this, [this] { Button3Click(); });
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
    connect(Button7, &QPushButton::clicked, this, [this] { Button7Click(); });
    connect(Button9, &QPushButton::clicked, this, [this] { Button9Click(); });
    connect(Button6, &QPushButton::clicked, this, [this] { Button6Click(); });
    connect(Button4, &QPushButton::clicked, this, [this] { Button4Click(); });
    for (QPushButton* b : {Button2, Button8, Button5})
        connect(b, &QPushButton::clicked, this, &QDialog::reject);
    connect(PageControl1, &QTabWidget::currentChanged, this, [this](int index) {
        // Enter presses the current page's forward button.
        Button1->setDefault(index == 0);
        Button7->setDefault(index == 1);
        Button4->setDefault(index == 2);
        if (index == 2) TabSheet3Show();
    });

    if (QScreen* screen = owner ? owner->screen() : nullptr)
        move(screen->availableGeometry().center() - rect().center());
    FormCreate();
}

void TImportservDlg::FormCreate() {
    PageControl1->setCurrentIndex(0);
    Button1->setDefault(true);
    edServer->setFocus();
}

void TImportservDlg::MovePage(int delta) {
    PageControl1->setCurrentIndex(PageControl1->currentIndex() + delta);
}

void TImportservDlg::Button3Click() {
    const QString name = gBrowse ? gBrowse(this) : BrowseNetwork(this, true);
    if (!name.isEmpty()) edServer->setText(name);
}

void TImportservDlg::Button1Click() {
    if (edServer->text().isEmpty()) {
        ShowError(this, U("Укажите пожалуйста имя сервера"));
        return;
    }
    // An over-long path would otherwise become empty and list this computer's accounts.
    const std::u16string path = u"\\\\" + platform::Cp1251ToUtf16(platform::QStringToAnsi(edServer->text()));
    if (path.size() > kMaxServerPath) {
        ShowError(this, U("Слишком длинное имя сервера (не более %1 символов)")
                            .arg(kMaxServerPath - 2));
        return;
    }
    MovePage(1);
    EnumUsers();
}

void TImportservDlg::EnumUsers() {
    TUserEnumSource source = gSource;
    if (!source.enumerate) source.enumerate = platform::NetUserEnum;
    if (!source.release) source.release = platform::NetApiBufferFree;
    std::uint32_t resume = 0, read = 0, total = 0, rc = 0;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    do {
        const std::u16string path =
            u"\\\\" + platform::Cp1251ToUtf16(platform::QStringToAnsi(edServer->text()));
        std::uint8_t* buf = nullptr;
        rc = source.enumerate(path.c_str(), 2, 0, &buf, platform::kMaxPreferredLength, &read,
                              &total, &resume);
        if (rc != platform::kNerrSuccess && rc != platform::kErrorMoreData) break;
        const auto* records = reinterpret_cast<const platform::USER_INFO_2*>(buf);
        for (std::uint32_t i = 0; i < read; ++i) {
            const std::string name = records[i].usri2_name ? records[i].usri2_name : "";
            const std::string fullName = records[i].usri2_full_name ? records[i].usri2_full_name : "";
            if (!name.empty() && name.back() == '$') continue;  // machine and trust accounts
            const std::string text = fullName.empty() ? name : name + " (" + fullName + ")";
            auto* item = new QListWidgetItem(platform::AnsiToQString(text), chkUser);
            item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
            item->setCheckState(Qt::Unchecked);
        }
        source.release(buf);
    } while (rc == platform::kErrorMoreData);
    QApplication::restoreOverrideCursor();
    for (int i = 0; i < chkUser->count(); ++i) chkUser->item(i)->setCheckState(Qt::Checked);
}

void TImportservDlg::Button7Click() { MovePage(1); }
void TImportservDlg::Button9Click() { MovePage(-1); }
void TImportservDlg::Button6Click() { MovePage(-1); }

void TImportservDlg::TabSheet3Show() {
    const QIcon groupIcon = KindPictures()[0];
    for (const std::string& caption : TargetGroupCaptions(tree_))
        cmbGroup->addItem(groupIcon, platform::AnsiToQString(caption));
    cmbGroup->setCurrentIndex(cmbGroup->count() > 0 ? 0 : -1);
    UpdateFinish();
}

void TImportservDlg::actNewNameExecute() {
    // The same switch as the group chooser's.
    TSelectAddrGroupDlg::ApplyNewGroupSwitch(chkNewGroup->isChecked(), edNewGroup, cmbGroup);
    UpdateFinish();
}

// With no group to choose and no new one asked for there is no target to finish with.
void TImportservDlg::UpdateFinish() {
    Button4->setEnabled(chkNewGroup->isChecked() || cmbGroup->currentIndex() >= 0);
}

void TImportservDlg::Button4Click() {
    if (!chkNewGroup->isChecked() && cmbGroup->currentIndex() < 0) return;
    TAddressNode* target = nullptr;
    bool made = false;
    if (chkNewGroup->isChecked()) {
        const std::string name = edNewGroup->text().isEmpty()
                                     ? platform::Utf8ToCp1251("Новая группа")
                                     : platform::QStringToAnsi(edNewGroup->text());
        target = tree_.addRoot(name, akGroup);
        made = true;
    } else {
        target = FindNodeByCaption(tree_, platform::QStringToAnsi(cmbGroup->currentText()));
    }
    int added = 0;
    for (int i = 0; i < chkUser->count(); ++i) {
        if (chkUser->item(i)->checkState() != Qt::Checked) continue;
        tree_.addChild(target, platform::QStringToAnsi(chkUser->item(i)->text()), akUser);
        ++added;
    }
    // Only a group made here for the import goes again; a node that was there stays.
    if (made && added == 0) tree_.remove(target);
    accept();
}
