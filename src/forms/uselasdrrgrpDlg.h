// The group chooser of the imports: which group of the address tree gets the imported
// addresses, or a new group made on the spot.
#pragma once

#include <QDialog>
#include <string>

#include "addressbook/AddressTree.h"

class QCheckBox;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;

class TSelectAddrGroupDlg : public QDialog {
    Q_OBJECT
public:
    // The list is a snapshot of tree, taken here.
    TSelectAddrGroupDlg(QWidget* owner, const TAddressTree& tree);

    QFrame* Bevel1;
    QLabel* Label1;
    QComboBox* cmbGroup;
    QCheckBox* chkNewGroup;
    QLineEdit* edNewGroup;
    QPushButton* OKBtn;
    QPushButton* CancelBtn;

    // Helpers for other pages that show the same controls.
    // Fills combo with the target groups of tree (Windows-1251 captions kept as item data)
    // and selects entry 0.
    static void FillGroups(QComboBox* combo, const TAddressTree& tree);
    // The new-group switch for the box's state after a click.
    static void ApplyNewGroupSwitch(bool ticked, QLineEdit* edit, QComboBox* combo);
    // Whether the choice can be confirmed: a new group, or a listed group selected.
    static bool CanConfirm(bool newGroup, const QComboBox* combo);
    // The node to add under after confirming: a new root group (made here), the first node
    // captioned as the selected entry, or null for the root level.
    static TAddressNode* ResolveTarget(TAddressTree& tree, bool newGroup, const QString& newName,
                                       const QComboBox* combo);

    // ResolveTarget with this dialog's controls.
    TAddressNode* TargetNode(TAddressTree& tree) const;

private:
    void FormCreate(const TAddressTree& tree);
    void actNewNameExecute();
    void UpdateOK();
};
