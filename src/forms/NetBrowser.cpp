#include "forms/NetBrowser.h"

#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMetaObject>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>
#include <exception>
#include <mutex>
#include <thread>

#include "forms/Pictures.h"

namespace {

TNetBrowseSource& SourceSlot() {
    static TNetBrowseSource source;
    return source;
}

constexpr int kIsComputerRole = Qt::UserRole + 1;

}  // namespace

void SetNetBrowseSource(TNetBrowseSource source) { SourceSlot() = std::move(source); }

// The worker and the dialog meet here; the dialog may go away before the worker ends.
struct TNetBrowserDlg::TShared {
    std::mutex mutex;
    TNetBrowserDlg* dialog = nullptr;
};

TNetBrowserDlg::TNetBrowserDlg(QWidget* owner, bool computers)
    : QDialog(owner), computers_(computers), shared_(std::make_shared<TShared>()) {
    setObjectName(QStringLiteral("TNetBrowserDlg"));
    setWindowTitle(QString::fromUtf8(computers ? "Выбeрите компьютер" : "Выбeрите группу"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(320, 360);

    lblStatus = new QLabel(this);
    lblStatus->setObjectName(QStringLiteral("lblStatus"));
    lblStatus->setGeometry(8, 8, 304, 17);
    pbBusy = new QProgressBar(this);
    pbBusy->setObjectName(QStringLiteral("pbBusy"));
    pbBusy->setGeometry(8, 28, 304, 12);
    pbBusy->setRange(0, 0);  // no known end: a moving bar
    pbBusy->setTextVisible(false);

    tvNetwork = new QTreeWidget(this);
    tvNetwork->setObjectName(QStringLiteral("tvNetwork"));
    tvNetwork->setGeometry(8, 46, 304, 218);
    tvNetwork->setHeaderHidden(true);
    tvNetwork->setRootIsDecorated(computers);
    connect(tvNetwork, &QTreeWidget::currentItemChanged, this,
            [this](QTreeWidgetItem* item) { ItemChosen(item); });
    connect(tvNetwork, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
        ItemChosen(item);
        if (OKBtn->isEnabled() && (!computers_ || item->data(0, kIsComputerRole).toBool())) accept();
    });

    lblName = new QLabel(QString::fromUtf8(computers ? "Имя компьютера или адрес IPv4:" : "Имя группы:"),
                         this);
    lblName->setObjectName(QStringLiteral("lblName"));
    lblName->setGeometry(8, 272, 304, 17);
    edName = new QLineEdit(this);
    edName->setObjectName(QStringLiteral("edName"));
    edName->setGeometry(8, 292, 304, 21);
    lblName->setBuddy(edName);
    connect(edName, &QLineEdit::textChanged, this, [this] { UpdateOK(); });

    OKBtn = new QPushButton(QStringLiteral("OK"), this);
    OKBtn->setObjectName(QStringLiteral("OKBtn"));
    OKBtn->setGeometry(156, 326, 75, 25);
    OKBtn->setDefault(true);
    connect(OKBtn, &QPushButton::clicked, this, &QDialog::accept);
    CancelBtn = new QPushButton(QStringLiteral("Cancel"), this);
    CancelBtn->setObjectName(QStringLiteral("CancelBtn"));
    CancelBtn->setGeometry(237, 326, 75, 25);
    connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);

    if (owner) move(owner->frameGeometry().center() - rect().center());
    UpdateOK();
    StartLoad();
}

TNetBrowserDlg::~TNetBrowserDlg() {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->dialog = nullptr;
}

QString TNetBrowserDlg::SelectedName() const { return edName->text().trimmed(); }

void TNetBrowserDlg::StartLoad() {
    lblStatus->setText(QString::fromUtf8("Поиск в сети..."));
    shared_->dialog = this;
    TNetBrowseSource source = SourceSlot();
    if (!source) source = platform::BrowseNetworkList;
    // Detached: a slow network must not hold up closing the dialog.
    std::thread([shared = shared_, source = std::move(source), withComputers = computers_] {
        platform::TNetBrowseList list;
        try {
            list = source(withComputers);
        } catch (const std::exception& e) {
            list.error = e.what();
        } catch (...) {
            list.error = "unknown error";
        }
        std::lock_guard<std::mutex> lock(shared->mutex);
        if (TNetBrowserDlg* dialog = shared->dialog)
            QMetaObject::invokeMethod(
                dialog, [dialog, list = std::move(list)] { dialog->ShowList(list); },
                Qt::QueuedConnection);
    }).detach();
}

void TNetBrowserDlg::ShowList(const platform::TNetBrowseList& list) {
    const std::vector<QIcon> pictures = KindPictures();
    tvNetwork->clear();
    int computerCount = 0;
    for (const platform::TNetWorkgroup& group : list.workgroups) {
        auto* groupItem = new QTreeWidgetItem(tvNetwork, {QString::fromStdString(group.name)});
        groupItem->setIcon(0, pictures[3]);
        groupItem->setData(0, kIsComputerRole, false);
        if (!computers_) continue;
        for (const std::string& computer : group.computers) {
            auto* item = new QTreeWidgetItem(groupItem, {QString::fromStdString(computer)});
            item->setIcon(0, pictures[2]);
            item->setData(0, kIsComputerRole, true);
            ++computerCount;
        }
        groupItem->setExpanded(true);
    }
    pbBusy->hide();
    if (!list.error.empty())
        lblStatus->setText(QString::fromUtf8("Сеть недоступна: ") + QString::fromStdString(list.error));
    else if (list.workgroups.empty() || (computers_ && computerCount == 0))
        lblStatus->setText(QString::fromUtf8("Ничего не найдено"));
    else
        lblStatus->setText(QString::fromUtf8(computers_ ? "Выберите компьютер:" : "Выберите группу:"));
    loaded_ = true;
    emit loadFinished();
}

void TNetBrowserDlg::ItemChosen(QTreeWidgetItem* item) {
    if (!item) return;
    if (computers_ && !item->data(0, kIsComputerRole).toBool()) return;
    edName->setText(item->text(0));
}

void TNetBrowserDlg::UpdateOK() { OKBtn->setEnabled(!SelectedName().isEmpty()); }

QString BrowseNetwork(QWidget* owner, bool computers) {
    TNetBrowserDlg dialog(owner, computers);
    if (dialog.exec() != QDialog::Accepted) return {};
    return dialog.SelectedName();
}
