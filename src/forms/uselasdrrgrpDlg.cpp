#include "forms/uselasdrrgrpDlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>

#include "addressbook/TargetGroups.h"
#include "forms/Pictures.h"
#include "platform/QtAnsi.h"

namespace {

constexpr char kNewGroupName[] = "Новая группа";

void SetEditBackground(QLineEdit* edit, QPalette::ColorRole role) {
    QPalette palette = edit->palette();
    const QColor colour = QPalette().color(QPalette::Active, role);
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        palette.setColor(group, QPalette::Base, colour);
    edit->setPalette(palette);
}

}  // namespace

TSelectAddrGroupDlg::TSelectAddrGroupDlg(QWidget* owner, const TAddressTree& tree) : QDialog(owner) {
    setObjectName(QStringLiteral("TSelectAddrGroupDlg"));
    setWindowTitle(QString::fromUtf8("Импорт"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(307, 150);

    Bevel1 = new QFrame(this);
    Bevel1->setObjectName(QStringLiteral("Bevel1"));
    Bevel1->setFrameStyle(QFrame::Box | QFrame::Sunken);
    Bevel1->setGeometry(8, 8, 217, 137);

    Label1 = new QLabel(
        QString::fromUtf8("Выберите группу адресатов, в которую вы хотите  помеcтить импортированные адреса"),
        this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setWordWrap(true);
    Label1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Label1->setGeometry(24, 16, 157, 39);

    cmbGroup = new QComboBox(this);
    cmbGroup->setObjectName(QStringLiteral("cmbGroup"));
    cmbGroup->setEditable(false);
    cmbGroup->setMaxVisibleItems(8);
    cmbGroup->setIconSize(QSize(16, 16));
    cmbGroup->setGeometry(24, 64, 145, 22);

    chkNewGroup = new QCheckBox(QString::fromUtf8("Создать новую группу адресов"), this);
    chkNewGroup->setObjectName(QStringLiteral("chkNewGroup"));
    chkNewGroup->setGeometry(32, 88, 185, 17);
    connect(chkNewGroup, &QCheckBox::clicked, this, [this] { actNewNameExecute(); });

    edNewGroup = new QLineEdit(this);
    edNewGroup->setObjectName(QStringLiteral("edNewGroup"));
    edNewGroup->setGeometry(32, 112, 121, 21);
    ApplyNewGroupSwitch(false, edNewGroup, cmbGroup);

    OKBtn = new QPushButton(QStringLiteral("OK"), this);
    OKBtn->setObjectName(QStringLiteral("OKBtn"));
    OKBtn->setGeometry(228, 8, 75, 25);
    OKBtn->setDefault(true);
    connect(OKBtn, &QPushButton::clicked, this, &QDialog::accept);
    CancelBtn = new QPushButton(QStringLiteral("Cancel"), this);
    CancelBtn->setObjectName(QStringLiteral("CancelBtn"));
    CancelBtn->setGeometry(228, 38, 75, 25);
    connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);

    if (QScreen* screen = owner ? owner->screen() : this->screen())
        move(screen->geometry().center() - rect().center());
    FormCreate(tree);
}

void TSelectAddrGroupDlg::FillGroups(QComboBox* combo, const TAddressTree& tree) {
    const QIcon groupIcon = KindPictures()[0];
    combo->clear();
    for (const std::string& caption : TargetGroupCaptions(tree))
        combo->addItem(groupIcon, platform::AnsiToQString(caption),
                       QByteArray(caption.data(), qsizetype(caption.size())));
    combo->setCurrentIndex(combo->count() > 0 ? 0 : -1);
}

void TSelectAddrGroupDlg::ApplyNewGroupSwitch(bool ticked, QLineEdit* edit, QComboBox* combo) {
    if (ticked) {
        edit->setEnabled(true);
        SetEditBackground(edit, QPalette::Base);
        if (edit->text().isEmpty()) edit->setText(QString::fromUtf8(kNewGroupName));
        combo->setEnabled(false);
    } else {
        edit->setEnabled(false);
        SetEditBackground(edit, QPalette::Button);
        combo->setEnabled(true);
    }
}

bool TSelectAddrGroupDlg::CanConfirm(bool newGroup, const QComboBox* combo) {
    return newGroup || combo->currentIndex() >= 0;
}

TAddressNode* TSelectAddrGroupDlg::ResolveTarget(TAddressTree& tree, bool newGroup,
                                                 const QString& newName, const QComboBox* combo) {
    if (newGroup) {
        const QString name = newName.isEmpty() ? QString::fromUtf8(kNewGroupName) : newName;
        return tree.addRoot(platform::QStringToAnsi(name), akGroup);
    }
    const int index = combo->currentIndex();
    if (index < 0) return nullptr;
    const QByteArray caption = combo->itemData(index).toByteArray();
    return FindNodeByCaption(tree, caption.toStdString());
}

TAddressNode* TSelectAddrGroupDlg::TargetNode(TAddressTree& tree) const {
    return ResolveTarget(tree, chkNewGroup->isChecked(), edNewGroup->text(), cmbGroup);
}

void TSelectAddrGroupDlg::FormCreate(const TAddressTree& tree) {
    FillGroups(cmbGroup, tree);
    UpdateOK();
}

void TSelectAddrGroupDlg::actNewNameExecute() {
    ApplyNewGroupSwitch(chkNewGroup->isChecked(), edNewGroup, cmbGroup);
    UpdateOK();
}

void TSelectAddrGroupDlg::UpdateOK() { OKBtn->setEnabled(CanConfirm(chkNewGroup->isChecked(), cmbGroup)); }
