// The main window: address tree, recipient, sender and message, delivery log, the commands,
// their menus and toolbar, and the notification-area icon.
#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QLocale>
#include <QTreeView>
#include <memory>
#include <string>
#include <vector>

#include "addressbook/AddressTree.h"
#include "common/SenderList.h"
#include "platform/Services.h"
#include "send/SendServices.h"
#include "forms/Actions.h"
#include "forms/Formini.h"

class QComboBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QSplitter;
class QSystemTrayIcon;
class QToolBar;
class QTimer;
class QTreeWidget;
class QTreeWidgetItem;
class TAddressModel;
class TLogBridge;

// The tree view of the address book: a right click opens the popup without moving the
// selection (the popup's commands act on the clicked node instead), and no drag and drop.
class TTreeAddresses : public QTreeView {
    Q_OBJECT
public:
    using QTreeView::QTreeView;

    bool isEditing() const { return state() == EditingState; }

signals:
    // A left click anywhere in the tree, after it has moved the selection.
    void treeClicked();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
};

class TQuorvelForm : public TFormINI {
    Q_OBJECT
public:
    explicit TQuorvelForm(const std::string& exePath, QWidget* parent = nullptr);
    ~TQuorvelForm() override;

    // The recipient hand-off, from a later start or from this instance's own command line.
    void WMCopyData(const QByteArray& ansiText);
    // Shows the window from wherever it is (minimised, in the notification area) and raises it.
    void ShowMainWindow();

    // The node the commands act on: the right-clicked one while its popup is open, otherwise
    // the tree's selection.
    TAddressNode* SelectedNode() const;

    TAddressTree& addresses() { return addresses_; }
    TAddressModel* addressModel() const { return addressModel_; }

    // Controls and commands, named as in the layout.
    QMenuBar* ActionMainMenuBar1;
    QToolBar* ActionToolBar1;
    QStatusBar* StatusBar1;
    QTreeWidget* lvLog;
    QSplitter* Splitter1;
    QSplitter* Splitter2;
    QWidget* Panel2;
    TTreeAddresses* TreeAddresses;
    QWidget* Panel1;
    QFrame* Panel3;
    QLabel* Label1;
    QLineEdit* edRecipient;
    QLabel* Label3;
    QComboBox* edSender;
    QGroupBox* GroupBox1;
    QPlainTextEdit* mMessage;
    QMenu* PopupMenu1;
    QMenu* PopupActionBarExTray;
    QSystemTrayIcon* CoolTrayIcon1;
    TActionManager* ActionManager1;

    TAction* actNew;
    TAction* actSend;
    TAction* actSendTimer;
    TAction* actExit;
    TAction* actHelp;
    TAction* actFAQ;
    TAction* actHome;
    TAction* actMail;
    TAction* actAbout;
    TAction* actAddUser;
    TAction* actAddGroup;
    TAction* actRemoveGroup;
    TAction* actImportDunmarro;
    TAction* actImportNet;
    TAction* actImportGroupNet;
    TAction* actImportUserNet;
    TAction* actStartMessenger;
    TAction* actStopMessenger;
    TAction* actSortAddresses;

    // The scanner's install folder; the scanner import is enabled only when it is known.
    std::string ScannerDir;

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
signals:
    // The window has been closed; the program ends its message loop.
    void closed();

private:
    void CreateActions();
    void CreateControls();
    void CreateMenus();
    void CreateTrayIcon();
    void FormCreate();
    void FormDestroy();

    // Imports, each defined in its own unit: ImportScanner.cpp, ImportNet.cpp, ImportServer.cpp.
    void actImportDunmarroExecute();
    void actImportNetExecute();
    void actImportGroupNetExecute();
    void actImportUserNetExecute();

public:
    // Asks for the target group and adds a node with the caption and kind under it.
    void AddNewNode(const std::string& caption, TAddressKind kind);

private:
    void actSendUpdate(TAction* action);
    void actSendExecute();
    void actSendTimerExecute();
    // Raises the busy flag and starts the dispatcher.
    void StartSend(std::int32_t count, std::int32_t interval);
    void actAddUserUpdate(TAction* action);
    void actRemoveGroupUpdate(TAction* action);
    void actImportDunmarroUpdate(TAction* action);
    void actNewExecute();
    void actExitExecute();
    void actHelpExecute();
    void actFAQExecute();
    void actHomeExecute();
    void actMailExecute();
    void actAboutExecute();
    void mMessageKeyDown(QKeyEvent* event);
    void actAddGroupExecute();
    void actAddUserExecute();
    void actRemoveGroupExecute();
    void actSortAddressesExecute();
    void actStartMessengerExecute();
    void actStopMessengerExecute();
    // The outcome of a service command, in a plain box centred on the screen; waits for OK.
    void ShowServiceMessage(std::string_view text);
    // Opens the messenger service for the command, makes its one request and reports the
    // outcome; nothing when the manager cannot be opened.
    void RunServiceCommand(platform::ServiceAccess access, std::string_view done,
                           std::string_view failed);
    bool TreeAddressesEditing(const TAddressNode* node) const;

public:
    // The order of two siblings for the sort command: -1 node1 first, 1 node2 first, 0 equal.
    int TreeAddressesCompare(const TAddressNode* node1, const TAddressNode* node2) const;

private:
    void TreeAddressesClick();
    // Starts editing the node's caption once the current event is done (a menu that has just
    // closed would otherwise take the focus back and end the edit at once).
    void EditCaption(TAddressNode* node);
    void SelectNode(TAddressNode* node);

    // The address book file: loaded into the emptied tree at start, saved at exit.
    void TreeLoadFromFile(const std::string& fileName);
    void TreeSaveToFile(const std::string& fileName);
    void CoolTrayIcon1Click();
    void TreeAddressesContextPopup(const QPoint& pos);

    // Sender names: loaded into edSender, moved to the top on every send, written at exit.
    void LoadSenders();
    void SaveSenders();
    void SaveAddressBookAtExit();

public:
    // Puts the sender field's text at the top of the remembered names; the send commands call
    // it first and read edSender afterwards.
    void AddToSenderList();

    // One line at the top of the delivery log; the oldest goes beyond MaxLineLog lines. Lines
    // in quick succession reach lvLog in batches; FlushLog shows the waiting ones at once.
    void AddLogLine(const TLogEntry& entry);
    void FlushLog();
    // The message as the memo shows it: its display lines joined by CR LF (Windows-1251).
    std::string MessageText() const;
    // The "Дата" column's text for a time stamp in the given locale.
    static QString LogTimeText(const TLocalTime& time, const QLocale& locale);
    // The locale of the log's time stamps (the user's, unless a test sets another).
    QLocale FLogLocale;
    // What the send commands hand to the dispatcher; tests may replace the messenger call.
    TSendServices SendServices();
    std::function<platform::NET_API_STATUS(const char16_t*, const char16_t*, const unsigned char*,
                                           std::uint32_t)>
        FMessengerCall;
    // Opens the service control manager for the messenger service commands (nullptr when it
    // cannot be opened); the real one unless a test replaces it.
    std::function<std::unique_ptr<platform::TServiceManager>()> FOpenServiceManager;

private:
    std::vector<QTreeWidgetItem*> FPendingLog;  // added, not yet in lvLog; oldest first
    QTimer* FLogFlushTimer = nullptr;
    QElapsedTimer FLogFlushed;  // since the last batch went into lvLog
    TAddressTree addresses_;
    TAddressModel* addressModel_;
    TAddressNode* FRightClickNode = nullptr;
    TSenderList senders_;
    std::shared_ptr<TLogBridge> logBridge_;
    // The book's file did not load completely: it is kept, and the tree is saved beside it.
    bool bookLoadFailed_ = false;
};
