#include "forms/uParamSend.h"

#include <QEvent>
#include <algorithm>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

TUpDown::TUpDown(QLineEdit* associate, int position, QWidget* parent)
    : QWidget(parent), associate_(associate), position_(position) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    up_ = new QToolButton(this);
    up_->setArrowType(Qt::UpArrow);
    down_ = new QToolButton(this);
    down_->setArrowType(Qt::DownArrow);
    for (QToolButton* b : {up_, down_}) {
        b->setAutoRepeat(true);
        b->setFocusPolicy(Qt::NoFocus);
        b->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
        b->setIconSize(QSize(7, 7));
        layout->addWidget(b);
    }
    connect(up_, &QToolButton::clicked, this, [this] { step(1); });
    connect(down_, &QToolButton::clicked, this, [this] { step(-1); });
    setFocusPolicy(Qt::TabFocus);
    installEventFilter(this);
    associate_->installEventFilter(this);  // the arrow keys in the edit move the position
    setPosition(position);
}

int TUpDown::position() {
    bool ok = false;
    const int typed = associate_->text().trimmed().toInt(&ok);
    if (ok && typed >= kMin && typed <= kMax) position_ = typed;
    return position_;
}

void TUpDown::step(int delta) { setPosition(std::clamp(position() + delta, kMin, kMax)); }

void TUpDown::setPosition(int position) {
    position_ = position;
    associate_->setText(QString::number(position));
}

bool TUpDown::eventFilter(QObject* watched, QEvent* event) {
    if ((watched == associate_ || watched == this) && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Up || key == Qt::Key_Down) {
            step(key == Qt::Key_Up ? 1 : -1);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

TParamSend::TParamSend(QWidget* owner) : QDialog(owner) {
    setObjectName(QStringLiteral("TParamSend"));
    setWindowTitle(QString::fromUtf8("Парметры отправки"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(258, 165);

    auto* Bevel1 = new QFrame(this);
    Bevel1->setObjectName(QStringLiteral("Bevel1"));
    Bevel1->setFrameStyle(QFrame::Box | QFrame::Sunken);
    Bevel1->setGeometry(8, 8, 241, 121);

    auto label = [this](const char* name, const char* text, int x, int y) {
        auto* l = new QLabel(QString::fromUtf8(text), this);
        l->setObjectName(QString::fromLatin1(name));
        l->move(x, y);
        l->adjustSize();
        return l;
    };
    auto edit = [this](const char* name, int y) {
        auto* e = new QLineEdit(this);
        e->setObjectName(QString::fromLatin1(name));
        e->setGeometry(48, y, 121, 21);
        return e;
    };
    Label1 = label("Label1", "Отправить сообщение", 32, 24);
    Edit1 = edit("Edit1", 40);
    UpDown1 = new TUpDown(Edit1, 10, this);
    UpDown1->setObjectName(QStringLiteral("UpDown1"));
    UpDown1->setGeometry(169, 40, 15, 21);
    Label3 = label("Label3", "раз", 192, 44);
    Label2 = label("Label2", "отправлять через", 32, 72);
    Edit2 = edit("Edit2", 92);
    UpDown2 = new TUpDown(Edit2, 1, this);
    UpDown2->setObjectName(QStringLiteral("UpDown2"));
    UpDown2->setGeometry(169, 92, 15, 21);
    Label4 = label("Label4", "сек", 192, 96);

    OKBtn = new QPushButton(QStringLiteral("OK"), this);
    OKBtn->setObjectName(QStringLiteral("OKBtn"));
    OKBtn->setGeometry(47, 132, 75, 25);
    OKBtn->setDefault(true);
    connect(OKBtn, &QPushButton::clicked, this, &QDialog::accept);
    CancelBtn = new QPushButton(QStringLiteral("Cancel"), this);
    CancelBtn->setObjectName(QStringLiteral("CancelBtn"));
    CancelBtn->setGeometry(127, 132, 75, 25);
    connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);

    setTabOrder(OKBtn, CancelBtn);
    setTabOrder(CancelBtn, Edit1);
    setTabOrder(Edit1, Edit2);
    setTabOrder(Edit2, UpDown1);
    setTabOrder(UpDown1, UpDown2);
    OKBtn->setFocus();

    if (owner) move(owner->frameGeometry().center() - rect().center());
}
