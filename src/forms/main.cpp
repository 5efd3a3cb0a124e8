#include "forms/main.h"

#include <QApplication>
#include <algorithm>
#include <cerrno>
#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QSplitter>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QDateTime>
#include <QTextBlock>
#include <QTextLayout>
#include <QTimer>
#include <QToolBar>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "addressbook/AddressFile.h"
#include "addressbook/AddressModel.h"
#include "addressbook/Collation.h"
#include "addressbook/Ordering.h"
#include "addressbook/Recipients.h"
#include "common/defaults.h"
#include "forms/ErrorReport.h"
#include "forms/Pictures.h"
#include "forms/LogBridge.h"
#include "forms/about.h"
#include "forms/uParamSend.h"
#include "platform/CodePage.h"
#include "platform/QtAnsi.h"
#include "platform/Shell.h"
#include "platform/SystemdServices.h"
#include "send/SendState.h"
#include "send/uMenageThread.h"

namespace {

QString U(std::string_view utf8) { return QString::fromUtf8(utf8.data(), qsizetype(utf8.size())); }

// The "XP Style" colours of the menu bar, the menus and the toolbar.
constexpr char kXpStyle[] =
    "QMenuBar::item:selected, QMenu::item:selected { background: rgb(226, 225, 219); color: black; }"
    "QToolBar QToolButton:hover { background: rgb(226, 225, 219); }"
    "QToolBar QToolButton:pressed { background: palette(button); }";

}  // namespace

void TTreeAddresses::mousePressEvent(QMouseEvent* event) {
    // Neither a right click nor a click on empty space moves the selection.
    if (event->button() == Qt::RightButton || !indexAt(event->position().toPoint()).isValid()) {
        event->accept();
        return;
    }
    QTreeView::mousePressEvent(event);
}

void TTreeAddresses::mouseReleaseEvent(QMouseEvent* event) {
    QTreeView::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton) emit treeClicked();
}

TQuorvelForm::TQuorvelForm(const std::string& exePath, QWidget* parent) : TFormINI(exePath, parent) {
    FOpenServiceManager = [] { return platform::OpenServiceManager(); };
    setObjectName(QStringLiteral("TQuorvelForm"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setWindowIcon(ProgramIcon());
    logBridge_ = std::make_shared<TLogBridge>(this);
    // The layout's metrics are those of an 11-pixel font.
    QFont face = font();
    face.setPixelSize(11);
    setFont(face);
    CreateActions();
    CreateControls();
    CreateMenus();
    CreateTrayIcon();
    RunReportingErrors([this] { FormCreate(); });
    CreateParams();
    ActionManager1->UpdateActions();
    ActionManager1->UpdateWhenIdle();
}

TQuorvelForm::~TQuorvelForm() {
    // A send under way makes no further attempt and no longer reaches this window.
    SendShutdown = true;
    logBridge_->Detach();
    qDeleteAll(FPendingLog);
    hide();
    if (CoolTrayIcon1) CoolTrayIcon1->hide();
    FormDestroy();
}

void TQuorvelForm::CreateActions() {
    ActionManager1 = new TActionManager(this);
    auto add = [this](const char* name, const char* category, const char* caption,
                      const char* hint, int picture) {
        TAction* a = ActionManager1->Add(QString::fromLatin1(name), U(category), U(caption),
                                         U(hint), picture);
        a->setIcon(ToolbarPicture(picture));
        addAction(a);  // shortcuts work anywhere in the window
        return a;
    };
    actNew = add("actNew", "Message", "Новое", "Новое сообщение", 0);
    actSend = add("actSend", "Message", "Отправить сообщение", "Отправить сообщение", 1);
    actSendTimer = add("actSendTimer", "Message", "Отправить многократно", "Отправить многократно", 19);
    actExit = add("actExit", "Message", "Выход", "Выход из программы", -1);
    actHelp = add("actHelp", "Help", "Руководство пользователя", "Руководство пользователя", 7);
    actFAQ = add("actFAQ", "Help", "FAQ", "", 20);
    actHome = add("actHome", "Help", "Открыть Web страницу Quorvel", "Открыть Web страницу Quorvel", 5);
    actMail = add("actMail", "Help", "Написать письмо автору", "Написать письмо автору", 6);
    actAbout = add("actAbout", "Help", "О программе...", "О программе...", 3);
    actAddUser = add("actAddUser", "Address", "Добавить адрес", "Добавить адрес", 11);
    actAddGroup = add("actAddGroup", "Address", "Создать группу адресов", "Добавить группу", 9);
    actRemoveGroup = add("actRemoveGroup", "Address", "Удалить", "Удалить", 10);
    actImportDunmarro = add("actImportDunmarro", "Address", "из Dunmarro", "Импортировать из Dunmarro", 18);
    actImportNet = add("actImportNet", "Address", "компьютер из сети", "", 17);
    actImportGroupNet = add("actImportGroupNet", "Address", "группу компьютеров из сети", "", 15);
    actImportUserNet = add("actImportUserNet", "Address", "пользователей с сервера", "", 16);
    actStartMessenger = add("actStartMessenger", "Дополнительно", "Запустить службу сообщений", "", -1);
    actStopMessenger = add("actStopMessenger", "Дополнительно", "Остановить службу сообщений", "", -1);
    actSortAddresses = add("actSortAddresses", "Дополнительно", "Сортировать адреса", "", -1);

    actHelp->setShortcut(QKeySequence(Qt::Key_F1));
    actHelp->setShortcutContext(Qt::WindowShortcut);

    for (TAction* a : {actNew, actSend, actSendTimer})
        a->OnUpdate = [this](TAction* self) { actSendUpdate(self); };
    actAddUser->OnUpdate = [this](TAction* self) { actAddUserUpdate(self); };
    actRemoveGroup->OnUpdate = [this](TAction* self) { actRemoveGroupUpdate(self); };
    actImportDunmarro->OnUpdate = [this](TAction* self) { actImportDunmarroUpdate(self); };

    actNew->OnExecute = [this] { actNewExecute(); };
    actSend->OnExecute = [this] { actSendExecute(); };
    actSendTimer->OnExecute = [this] { actSendTimerExecute(); };
    actExit->OnExecute = [this] { actExitExecute(); };
    actHelp->OnExecute = [this] { actHelpExecute(); };
    actFAQ->OnExecute = [this] { actFAQExecute(); };
    actHome->OnExecute = [this] { actHomeExecute(); };
    actMail->OnExecute = [this] { actMailExecute(); };
    actAbout->OnExecute = [this] { actAboutExecute(); };
    actAddGroup->OnExecute = [this] { actAddGroupExecute(); };
    actAddUser->OnExecute = [this] { actAddUserExecute(); };
    actRemoveGroup->OnExecute = [this] { actRemoveGroupExecute(); };
    actSortAddresses->OnExecute = [this] { actSortAddressesExecute(); };
    actImportDunmarro->OnExecute = [this] { actImportDunmarroExecute(); };
    actImportNet->OnExecute = [this] { actImportNetExecute(); };
    actImportGroupNet->OnExecute = [this] { actImportGroupNetExecute(); };
    actImportUserNet->OnExecute = [this] { actImportUserNetExecute(); };
    // The service commands have no update handler: always enabled, also during a send.
    actStartMessenger->OnExecute = [this] { actStartMessengerExecute(); };
    actStopMessenger->OnExecute = [this] { actStopMessengerExecute(); };
}

void TQuorvelForm::CreateControls() {
    ActionMainMenuBar1 = menuBar();
    ActionMainMenuBar1->setObjectName(QStringLiteral("ActionMainMenuBar1"));
    ActionMainMenuBar1->setStyleSheet(kXpStyle);

    ActionToolBar1 = addToolBar(QStringLiteral("ActionToolBar1"));
    ActionToolBar1->setObjectName(QStringLiteral("ActionToolBar1"));
    ActionToolBar1->setMovable(false);
    ActionToolBar1->setFloatable(false);
    ActionToolBar1->setIconSize(QSize(16, 16));
    ActionToolBar1->setToolButtonStyle(Qt::ToolButtonIconOnly);
    ActionToolBar1->setContextMenuPolicy(Qt::PreventContextMenu);
    ActionToolBar1->setStyleSheet(kXpStyle);

    StatusBar1 = statusBar();
    StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
    for (int width : {20, 50}) {
        auto* panel = new QLabel(StatusBar1);
        panel->setFixedWidth(width);
        panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        StatusBar1->addWidget(panel);
    }

    Splitter1 = new QSplitter(Qt::Vertical, this);
    Splitter1->setObjectName(QStringLiteral("Splitter1"));
    Splitter1->setHandleWidth(3);
    Splitter1->setChildrenCollapsible(false);
    setCentralWidget(Splitter1);

    Splitter2 = new QSplitter(Qt::Horizontal, Splitter1);
    Splitter2->setObjectName(QStringLiteral("Splitter2"));
    Splitter2->setHandleWidth(3);
    Splitter2->setChildrenCollapsible(false);
    Panel2 = Splitter2;

    TreeAddresses = new TTreeAddresses(Splitter2);
    TreeAddresses->setObjectName(QStringLiteral("TreeAddresses"));
    TreeAddresses->setHeaderHidden(true);
    TreeAddresses->setIndentation(19);
    TreeAddresses->setSelectionMode(QAbstractItemView::SingleSelection);
    TreeAddresses->setDragDropMode(QAbstractItemView::NoDragDrop);
    TreeAddresses->setEditTriggers(QAbstractItemView::SelectedClicked |
                                   QAbstractItemView::EditKeyPressed);
    TreeAddresses->setMouseTracking(true);  // hot tracking
    TreeAddresses->setAttribute(Qt::WA_Hover);
    TreeAddresses->setIconSize(QSize(16, 16));
    TreeAddresses->setUniformRowHeights(true);  // a large book stays quick to expand
    TreeAddresses->setContextMenuPolicy(Qt::CustomContextMenu);
    addressModel_ = new TAddressModel(addresses_, this);
    addressModel_->setKindIcons(KindPictures());
    addressModel_->setEditable([this](const TAddressNode* node) { return TreeAddressesEditing(node); });
    TreeAddresses->setModel(addressModel_);
    connect(TreeAddresses, &QWidget::customContextMenuRequested, this,
            &TQuorvelForm::TreeAddressesContextPopup);
    connect(TreeAddresses, &TTreeAddresses::treeClicked, this, &TQuorvelForm::TreeAddressesClick);

    Panel1 = new QWidget(Splitter2);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    auto* panel1Layout = new QVBoxLayout(Panel1);
    panel1Layout->setContentsMargins(0, 0, 0, 0);
    panel1Layout->setSpacing(0);

    Panel3 = new QFrame(Panel1);
    Panel3->setObjectName(QStringLiteral("Panel3"));
    Panel3->setFrameStyle(QFrame::Panel | QFrame::Raised);
    Panel3->setFixedHeight(65);
    Label1 = new QLabel(U("Получатель"), Panel3);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->move(16, 10);
    edRecipient = new QLineEdit(Panel3);
    edRecipient->setObjectName(QStringLiteral("edRecipient"));
    edRecipient->setGeometry(80, 8, 137, 21);
    Label3 = new QLabel(U("Отправитель"), Panel3);
    Label3->setObjectName(QStringLiteral("Label3"));
    Label3->move(8, 36);
    edSender = new QComboBox(Panel3);
    edSender->setObjectName(QStringLiteral("edSender"));
    edSender->setEditable(true);
    edSender->setInsertPolicy(QComboBox::NoInsert);  // only a send adds a name
    edSender->setGeometry(80, 32, 137, 21);
    // The fields start where the layout puts them, or after their captions where this
    // system's font makes those wider.
    Label1->adjustSize();
    Label3->adjustSize();
    const int fieldLeft = std::max({80, Label1->geometry().right() + 6, Label3->geometry().right() + 6});
    edRecipient->move(fieldLeft, 8);
    edSender->move(fieldLeft, 32);
    Label1->setBuddy(edRecipient);
    Label3->setBuddy(edSender);
    panel1Layout->addWidget(Panel3);

    GroupBox1 = new QGroupBox(U("Текст сообщения"), Panel1);
    GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
    auto* groupLayout = new QVBoxLayout(GroupBox1);
    groupLayout->setContentsMargins(2, 2, 2, 2);
    mMessage = new QPlainTextEdit(GroupBox1);
    mMessage->setObjectName(QStringLiteral("mMessage"));
    mMessage->installEventFilter(this);
    groupLayout->addWidget(mMessage);
    panel1Layout->addWidget(GroupBox1, 1);

    lvLog = new QTreeWidget(Splitter1);
    lvLog->setObjectName(QStringLiteral("lvLog"));
    lvLog->setColumnCount(2);
    lvLog->setHeaderLabels({U("Дата"), U("Информация")});
    lvLog->setRootIsDecorated(false);
    lvLog->setUniformRowHeights(true);
    lvLog->setIconSize(QSize(16, 16));
    lvLog->header()->setStretchLastSection(true);
    lvLog->setColumnWidth(0, 150);
    FLogFlushTimer = new QTimer(this);
    FLogFlushTimer->setSingleShot(true);
    connect(FLogFlushTimer, &QTimer::timeout, this, &TQuorvelForm::FlushLog);

    Splitter2->setStretchFactor(0, 0);
    Splitter2->setStretchFactor(1, 1);
    Splitter2->setSizes({161, kLayoutWidth - 161});
    Splitter1->setStretchFactor(0, 1);
    Splitter1->setStretchFactor(1, 0);
    Splitter1->setSizes({kLayoutHeight - 93, 93});

    setTabOrder(lvLog, edRecipient);
    setTabOrder(edRecipient, edSender);
    setTabOrder(edSender, mMessage);
    setTabOrder(mMessage, TreeAddresses);
}

void TQuorvelForm::CreateMenus() {
    TActionManager* m = ActionManager1;

    QMenu* message = ActionMainMenuBar1->addMenu(U("&Сообщение"));
    message->setObjectName(QStringLiteral("MenuMessage"));
    m->AddItem(message, actNew);
    m->AddItem(message, actSend);
    m->AddItem(message, actSendTimer);
    QMenu* import = message->addMenu(U("Импортировать"));
    import->setObjectName(QStringLiteral("MenuImport"));
    m->AddItem(import, actImportDunmarro, U("из &Dunmarro"));
    m->AddItem(import, actImportNet);
    m->AddItem(import, actImportGroupNet);
    m->AddItem(import, actImportUserNet);
    message->addSeparator();
    m->AddItem(message, actExit);

    QMenu* extra = ActionMainMenuBar1->addMenu(U("Дополнительно"));
    extra->setObjectName(QStringLiteral("MenuExtra"));
    m->AddItem(extra, actStartMessenger);
    m->AddItem(extra, actStopMessenger);
    extra->addSeparator();
    m->AddItem(extra, actSortAddresses);

    QMenu* help = ActionMainMenuBar1->addMenu(U("&Помощь"));
    help->setObjectName(QStringLiteral("MenuHelp"));
    m->AddItem(help, actHelp);
    m->AddItem(help, actFAQ, U("&FAQ"));
    m->AddItem(help, actHome, U("Открыть &Web страницу Quorvel"));
    m->AddItem(help, actMail);
    help->addSeparator();
    m->AddItem(help, actAbout);

    ActionToolBar1->addAction(actNew);
    ActionToolBar1->addAction(actSend);
    ActionToolBar1->addAction(actSendTimer);
    ActionToolBar1->addSeparator();
    ActionToolBar1->addAction(actHelp);
    ActionToolBar1->addAction(actHome);
    ActionToolBar1->addAction(actMail);
    ActionToolBar1->addAction(actAbout);

    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    PopupMenu1->setStyleSheet(kXpStyle);
    m->AddItem(PopupMenu1, actAddUser);
    m->AddItem(PopupMenu1, actAddGroup);
    m->AddItem(PopupMenu1, actRemoveGroup);
    PopupMenu1->addSeparator();
    QMenu* importAddresses = PopupMenu1->addMenu(U("Импортировать адреса"));
    importAddresses->setObjectName(QStringLiteral("PopupImport"));
    m->AddItem(importAddresses, actImportDunmarro);
    m->AddItem(importAddresses, actImportNet);
    m->AddItem(importAddresses, actImportGroupNet);
    PopupMenu1->addSeparator();
    m->AddItem(PopupMenu1, actSortAddresses);

    PopupActionBarExTray = new QMenu(this);
    PopupActionBarExTray->setObjectName(QStringLiteral("PopupActionBarExTray"));
    PopupActionBarExTray->setStyleSheet(kXpStyle);
    m->AddItem(PopupActionBarExTray, actStopMessenger, {}, false);
    m->AddItem(PopupActionBarExTray, actStartMessenger, {}, false);
    PopupActionBarExTray->addSeparator();
    m->AddItem(PopupActionBarExTray, actAbout, {}, false);
    PopupActionBarExTray->addSeparator();
    m->AddItem(PopupActionBarExTray, actExit, {}, false);

    for (QMenu* menu : {message, import, extra, help, PopupMenu1, importAddresses, PopupActionBarExTray})
        menu->setFont(font());

    // Items without an access key get one of their own, menu by menu.
    TActionManager::AssignAccessKeys(ActionMainMenuBar1->actions());
    for (QMenu* menu : {message, import, extra, help, PopupMenu1, importAddresses, PopupActionBarExTray})
        TActionManager::AssignAccessKeys(menu->actions());
}

void TQuorvelForm::CreateTrayIcon() {
    CoolTrayIcon1 = new QSystemTrayIcon(ProgramIcon(), this);
    CoolTrayIcon1->setObjectName(QStringLiteral("CoolTrayIcon1"));
    CoolTrayIcon1->setToolTip(QStringLiteral("Quorvel"));
    CoolTrayIcon1->setContextMenu(PopupActionBarExTray);
    connect(CoolTrayIcon1, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger) CoolTrayIcon1Click();
            });
    CoolTrayIcon1->show();
}

void TQuorvelForm::FormCreate() {
    SendInProgress = false;
    SendShutdown = false;
    addresses_.clear();
    ScannerDir = ReadRegString(platform::HKEY_LOCAL_MACHINE, "SoftWare\\Ostrevanka", "Dunmarro");
    TreeLoadFromFile(RecipientFile);
    LoadSenders();
    SetApplicationTitle(platform::AnsiToQString(GetVersionString(false)));
    setWindowTitle(ApplicationTitle());
}

void TQuorvelForm::FormDestroy() {
    // Each step runs even when the one before it failed: above all the address book is saved.
    for (auto step : {&TQuorvelForm::SaveSenders, &TQuorvelForm::SaveAddressBookAtExit}) {
        try {
            (this->*step)();
        } catch (...) {
            ReportExitError(ErrorText(std::current_exception()));
        }
    }
}

void TQuorvelForm::SaveAddressBookAtExit() { TreeSaveToFile(RecipientFile); }

void TQuorvelForm::TreeLoadFromFile(const std::string& fileName) {
    try {
        LoadAddressBook(platform::Cp1251ToUtf8(fileName), addresses_);
    } catch (const EInOutError&) {
        bookLoadFailed_ = true;
        throw;
    }
}

void TQuorvelForm::TreeSaveToFile(const std::string& fileName) {
    const std::string path = platform::Cp1251ToUtf8(fileName);
    if (path.empty()) {
        // No book file is configured: only a book with addresses in it has something to lose.
        if (!addresses_.empty()) throw EInOutError(ENOENT, InOutErrorText(ENOENT));
        return;
    }
    if (!bookLoadFailed_) {
        SaveAddressBook(path, addresses_);
        return;
    }
    // The part of the file that was never read must survive: the tree goes beside it.
    const std::string beside = path + ".new";
    SaveAddressBook(beside, addresses_);
    ShowErrorReport(QString::fromStdString(FormatMessage(msg::BookKeptAfterFailedLoad, path, beside)));
}

void TQuorvelForm::WMCopyData(const QByteArray& ansiText) {
    // The text ends at the first zero byte, if there is one.
    const qsizetype zero = ansiText.indexOf('\0');
    const QByteArray text = zero < 0 ? ansiText : ansiText.left(zero);
    if (!text.isEmpty())
        edRecipient->setText(platform::AnsiToQString(std::string_view(text.constData(), size_t(text.size()))));
}

void TQuorvelForm::ShowMainWindow() {
    Qt::WindowStates state = FHiddenToTrayState.value_or(windowState());
    FHiddenToTrayState.reset();
    if (state & Qt::WindowMinimized) state &= ~Qt::WindowMinimized;
    setWindowState(state);
    show();
    raise();
    activateWindow();
}

void TQuorvelForm::closeEvent(QCloseEvent* event) {
    event->accept();
    emit closed();
}

void TQuorvelForm::changeEvent(QEvent* event) {
    TFormINI::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange || !isMinimized() || FHiddenToTrayState) return;
    // Without a notification area the window stays minimised, within reach of the taskbar.
    if (!QSystemTrayIcon::isSystemTrayAvailable() || !CoolTrayIcon1) return;
    const auto old = static_cast<QWindowStateChangeEvent*>(event)->oldState();
    FHiddenToTrayState = old & ~Qt::WindowMinimized;
    CoolTrayIcon1->show();
    QTimer::singleShot(0, this, [this] {
        if (FHiddenToTrayState) hide();
    });
}

bool TQuorvelForm::eventFilter(QObject* watched, QEvent* event) {
    if (watched == mMessage && event->type() == QEvent::KeyPress)
        mMessageKeyDown(static_cast<QKeyEvent*>(event));
    return TFormINI::eventFilter(watched, event);  // the key is not consumed
}

void TQuorvelForm::mMessageKeyDown(QKeyEvent* event) {
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    const auto mods = event->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier |
                                            Qt::AltModifier | Qt::MetaModifier);
    if (enter && mods == Qt::ControlModifier) actSend->Execute();
}

void TQuorvelForm::CoolTrayIcon1Click() { ShowMainWindow(); }

TAddressNode* TQuorvelForm::SelectedNode() const {
    if (FRightClickNode) return FRightClickNode;
    const QModelIndexList selected = TreeAddresses->selectionModel()->selectedIndexes();
    return selected.isEmpty() ? nullptr : addressModel_->node(selected.first());
}

void TQuorvelForm::TreeAddressesContextPopup(const QPoint& pos) {
    FRightClickNode = addressModel_->node(TreeAddresses->indexAt(pos));
    ActionManager1->UpdateActions();
    PopupMenu1->exec(TreeAddresses->viewport()->mapToGlobal(pos));
    FRightClickNode = nullptr;
    ActionManager1->UpdateActions();
}

void TQuorvelForm::actSendUpdate(TAction* action) { action->setEnabled(!SendInProgress); }

void TQuorvelForm::actAddUserUpdate(TAction* action) {
    const TAddressNode* node = SelectedNode();
    action->setEnabled(node && !IsEntireNetwork(node->caption()));
}

void TQuorvelForm::actRemoveGroupUpdate(TAction* action) { actAddUserUpdate(action); }

void TQuorvelForm::actImportDunmarroUpdate(TAction* action) {
    action->setEnabled(!ScannerDir.empty());
}

void TQuorvelForm::actNewExecute() {
    edRecipient->clear();
    mMessage->clear();
}

void TQuorvelForm::actExitExecute() { close(); }

void TQuorvelForm::actHelpExecute() { platform::ShellOpen(HelpFile); }
void TQuorvelForm::actFAQExecute() { platform::ShellOpen(FAQFile); }
void TQuorvelForm::actHomeExecute() { platform::ShellOpen(msg::HomePage); }
void TQuorvelForm::actMailExecute() { platform::ShellOpen(msg::AuthorMail); }

void TQuorvelForm::actAboutExecute() {
    TAboutBox box(this);
    box.exec();
}

void TQuorvelForm::LoadSenders() {
    senders_ = LoadSenderNames(*FIniFile, MaxSender, GetUserFromWindows);
    edSender->clear();
    for (const std::string& name : senders_) edSender->addItem(platform::AnsiToQString(name));
    edSender->setCurrentIndex(0);
}

void TQuorvelForm::AddToSenderList() {
    const std::string typed = platform::QStringToAnsi(edSender->currentText());
    const std::string top = ::AddToSenderList(senders_, typed, MaxSender);
    edSender->clear();
    for (const std::string& name : senders_) edSender->addItem(platform::AnsiToQString(name));
    edSender->setCurrentIndex(senders_.empty() || senders_.front() != top ? -1 : 0);
    edSender->setEditText(platform::AnsiToQString(top));
}

void TQuorvelForm::SaveSenders() { SaveSenderNames(*FIniFile, senders_); }

bool TQuorvelForm::TreeAddressesEditing(const TAddressNode* node) const {
    return !IsEntireNetwork(node->caption());
}

void TQuorvelForm::SelectNode(TAddressNode* node) {
    TreeAddresses->setCurrentIndex(addressModel_->indexOf(node));
}

void TQuorvelForm::EditCaption(TAddressNode* node) {
    QPersistentModelIndex index(addressModel_->indexOf(node));
    QTimer::singleShot(0, TreeAddresses, [this, index] {
        if (!index.isValid()) return;
        activateWindow();
        TreeAddresses->setFocus();
        TreeAddresses->edit(index);
    });
}

void TQuorvelForm::actAddGroupExecute() {
    TAddressNode* node = addresses_.addRoot(std::string(), akGroup);
    SelectNode(node);
    EditCaption(node);
}

void TQuorvelForm::actAddUserExecute() {
    TAddressNode* selected = SelectedNode();
    if (!selected) return;
    // A non-group at the root level has no group above it: the address goes to the root level.
    TAddressNode* target = selected->kind() == akGroup ? selected : selected->parent();
    if (target) TreeAddresses->expandRecursively(addressModel_->indexOf(target));
    TAddressNode* node = addresses_.addChild(target, std::string(), akUser);
    SelectNode(node);
    EditCaption(node);
}

void TQuorvelForm::actRemoveGroupExecute() {
    if (TAddressNode* node = SelectedNode()) {
        if (node == FRightClickNode) FRightClickNode = nullptr;
        addresses_.remove(node);
    }
}

void TQuorvelForm::TreeAddressesClick() {
    edRecipient->setText(platform::AnsiToQString(RecipientText(SelectedNode())));
}

void TQuorvelForm::actSortAddressesExecute() {
    const TCaptionCollator collator;  // the user's locale as it is now
    SortAddresses(addresses_, [&collator](const std::vector<std::string_view>& captions) {
        return collator.ranks(captions);
    });
}

int TQuorvelForm::TreeAddressesCompare(const TAddressNode* node1, const TAddressNode* node2) const {
    const TCaptionCollator collator;
    return CompareAddresses(node1->caption(), node2->caption(),
                            [&collator](const std::string& a, const std::string& b) {
                                return collator.compare(a, b);
                            });
}

void TQuorvelForm::ShowServiceMessage(std::string_view text) {
    // No owner: the box stands centred on the screen, not on the window.
    QMessageBox box(QMessageBox::NoIcon, ApplicationTitle(), U(text), QMessageBox::Ok);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

// The handles stay open while the box is shown and are closed, service first, once it is gone.
void TQuorvelForm::RunServiceCommand(platform::ServiceAccess access, std::string_view done,
                                     std::string_view failed) {
    std::unique_ptr<platform::TServiceManager> manager = FOpenServiceManager();
    if (!manager) return;
    std::unique_ptr<platform::TServiceHandle> service =
        manager->OpenService(platform::kMessengerServiceName, access);
    if (!service) {
        ShowServiceMessage(failed);
    } else {
        const bool accepted =
            access == platform::ServiceAccess::Start ? service->Start() : service->Stop();
        ShowServiceMessage(accepted ? done : failed);
        service.reset();
    }
    manager.reset();
}

void TQuorvelForm::actStopMessengerExecute() {
    RunServiceCommand(platform::ServiceAccess::Stop, msg::MessengerStopped,
                      msg::MessengerNotStopped);
}

void TQuorvelForm::actStartMessengerExecute() {
    RunServiceCommand(platform::ServiceAccess::Start, msg::MessengerStarted,
                      msg::MessengerNotStarted);
}

TSendServices TQuorvelForm::SendServices() {
    TSendServices services = RealSendServices(
        [bridge = logBridge_](const TLogEntry& entry) { bridge->Log(entry); },
        [bridge = logBridge_] { bridge->Finished(); });
    if (FMessengerCall) services.send = FMessengerCall;
    return services;
}

void TQuorvelForm::StartSend(std::int32_t count, std::int32_t interval) {
    const std::string message = MessageText();
    const std::string recipients = platform::QStringToAnsi(edRecipient->text());
    const std::string sender = platform::QStringToAnsi(edSender->currentText());
    // Raised here, before the dispatcher exists, so that no second send slips in between.
    SendInProgress = true;
    ActionManager1->UpdateActions();
    TMenageThread::Start(sender, recipients, message, count, interval, SendServices());
}

void TQuorvelForm::actSendExecute() {
    AddToSenderList();
    StartSend(1, 0);
}

void TQuorvelForm::actSendTimerExecute() {
    TParamSend dialog(this);
    if (dialog.exec() != QDialog::Accepted) return;
    AddToSenderList();
    StartSend(dialog.UpDown1->position(), dialog.UpDown2->position());
}

std::string TQuorvelForm::MessageText() const {
    // The lines as the memo wraps them for display; a last empty line does not count.
    QStringList lines;
    for (QTextBlock block = mMessage->document()->begin(); block.isValid(); block = block.next()) {
        const QString text = block.text();
        const QTextLayout* layout = block.layout();
        if (!layout || layout->lineCount() == 0) {
            lines << text.left(4096);
            continue;
        }
        for (int i = 0; i < layout->lineCount(); ++i) {
            const QTextLine line = layout->lineAt(i);
            lines << text.mid(line.textStart(), line.textLength()).left(4096);
        }
    }
    if (!lines.isEmpty() && lines.last().isEmpty()) lines.removeLast();
    return platform::QStringToAnsi(lines.join(QStringLiteral("\r\n")));
}

namespace {
// Log lines that come closer together than this are shown together; short enough to look
// immediate.
constexpr qint64 kLogBatchMs = 40;
}  // namespace

QString TQuorvelForm::LogTimeText(const TLocalTime& t, const QLocale& locale) {
    const QDate date(t.year, t.month, t.day);
    QString text = locale.toString(date, QLocale::ShortFormat);
    if (t.hour == 0 && t.minute == 0 && t.second == 0) return text;
    // The long time format without its time zone.
    QString format = locale.timeFormat(QLocale::LongFormat);
    format.remove(u't');
    return text + u' ' + locale.toString(QTime(t.hour, t.minute, t.second, t.millisecond),
                                          format.trimmed());
}

void TQuorvelForm::AddLogLine(const TLogEntry& entry) {
    auto* item = new QTreeWidgetItem;
    item->setIcon(0, LogPicture(entry.image));
    item->setText(0, LogTimeText(entry.time, FLogLocale));
    item->setText(1, platform::AnsiToQString(entry.text));
    FPendingLog.push_back(item);
    // Lines can come thousands a second, and every insertion makes the view lay out all its
    // lines again: a line shows at once after a quiet spell, otherwise with the next batch.
    if (FLogFlushTimer->isActive()) return;
    const qint64 since = FLogFlushed.isValid() ? FLogFlushed.elapsed() : kLogBatchMs;
    if (since >= kLogBatchMs)
        FlushLog();
    else
        FLogFlushTimer->start(static_cast<int>(kLogBatchMs - since));
}

void TQuorvelForm::FlushLog() {
    FLogFlushTimer->stop();
    FLogFlushed.start();
    if (FPendingLog.empty()) return;
    // As if each line went in on its own: every line that takes the log beyond MaxLineLog
    // removes one line, the oldest there is.
    int count = lvLog->topLevelItemCount();
    std::size_t removals = 0;
    for (std::size_t i = 0; i < FPendingLog.size(); ++i) {
        if (++count > MaxLineLog) {
            --count;
            ++removals;
        }
    }
    for (; removals > 0 && lvLog->topLevelItemCount() > 0; --removals)
        delete lvLog->takeTopLevelItem(lvLog->topLevelItemCount() - 1);
    QList<QTreeWidgetItem*> batch;  // newest first
    for (std::size_t i = FPendingLog.size(); i > removals; --i) batch.append(FPendingLog[i - 1]);
    for (std::size_t i = 0; i < removals; ++i) delete FPendingLog[i];
    FPendingLog.clear();
    lvLog->insertTopLevelItems(0, batch);
}
