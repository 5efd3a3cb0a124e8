// Our own network browser: a modal dialog with the workgroups and their computers, loaded in
// the background, and a field for typing a computer name or IPv4 address.
#pragma once

#include <QDialog>
#include <QString>
#include <functional>
#include <memory>

#include "platform/NetBrowse.h"

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

// Where the lists come from (argument: whether computers are wanted). Runs on a worker thread.
using TNetBrowseSource = std::function<platform::TNetBrowseList(bool withComputers)>;
// Tests put a fake here; an empty function restores the real network browse.
void SetNetBrowseSource(TNetBrowseSource source);

// Shows the browser modally; the display name of the picked item, empty on Cancel.
// computers: only a computer (or a typed name) can be picked; otherwise any shown item.
QString BrowseNetwork(QWidget* owner, bool computers);

class TNetBrowserDlg : public QDialog {
    Q_OBJECT
public:
    TNetBrowserDlg(QWidget* owner, bool computers);
    ~TNetBrowserDlg() override;

    // The name OK returns: the field's text, trimmed.
    QString SelectedName() const;
    // The background load has delivered its list.
    bool IsLoaded() const { return loaded_; }

    QLabel* lblStatus;
    QProgressBar* pbBusy;
    QTreeWidget* tvNetwork;
    QLabel* lblName;
    QLineEdit* edName;
    QPushButton* OKBtn;
    QPushButton* CancelBtn;

signals:
    void loadFinished();

private:
    struct TShared;
    void StartLoad();
    void ShowList(const platform::TNetBrowseList& list);
    void ItemChosen(QTreeWidgetItem* item);
    void UpdateOK();

    bool computers_;
    bool loaded_ = false;
    std::shared_ptr<TShared> shared_;
};
