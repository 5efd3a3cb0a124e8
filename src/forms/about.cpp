#include "forms/about.h"

#include <QFrame>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include "common/defaults.h"
#include "platform/QtAnsi.h"
#include "platform/Shell.h"

namespace {

// Emits clicked() on a left click.
class TLinkLabel : public QLabel {
public:
    using QLabel::QLabel;
    std::function<void()> OnClick;

protected:
    void mouseReleaseEvent(QMouseEvent* event) override {
        QLabel::mouseReleaseEvent(event);
        if (OnClick) OnClick();
    }
};

constexpr char kAcknowledgements[] =
    "Сообществу Samba — за открытую реализацию протоколов сетей Windows.\n"
    "Разработчикам Qt — за библиотеку, на которой построены окна программы.\n"
    "Разработчикам GoogleTest — за средства проверки.\n"
    "Первым пользователям в локальных сетях — за отзывы и терпение.\n"
    "Всем, кто присылал описания ошибок и предложения.";

}  // namespace

TAboutBox::TAboutBox(QWidget* owner) : QDialog(owner) {
    setObjectName(QStringLiteral("TAboutBox"));
    setWindowTitle(QString::fromUtf8("О программе..."));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(405, 203);

    auto* Panel2 = new QFrame(this);
    Panel2->setObjectName(QStringLiteral("Panel2"));
    Panel2->setFrameStyle(QFrame::Panel | QFrame::Raised);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(Panel2);
    auto* layout = new QVBoxLayout(Panel2);
    layout->setContentsMargins(2, 2, 2, 2);
    layout->setSpacing(0);

    auto* Panel3 = new QWidget(Panel2);
    Panel3->setObjectName(QStringLiteral("Panel3"));
    Panel3->setFixedHeight(64);
    layout->addWidget(Panel3);

    ProductName = new QLabel(Panel3);
    ProductName->setObjectName(QStringLiteral("ProductName"));
    QFont heading = ProductName->font();
    heading.setBold(true);
    heading.setPixelSize(19);
    ProductName->setFont(heading);
    ProductName->move(6, 1);

    Notice = new QLabel(QString::fromUtf8("© 2026 Quorvel"), Panel3);
    Notice->setObjectName(QStringLiteral("Notice"));
    Notice->move(5, 28);

    auto* link = new TLinkLabel(QStringLiteral("https://%1/").arg(QString::fromUtf8(msg::HomePage.data(), qsizetype(msg::HomePage.size()))), Panel3);
    link->OnClick = [this] { Label1Click(); };
    Label1 = link;
    Label1->setObjectName(QStringLiteral("Label1"));
    QFont linkFont = Label1->font();
    linkFont.setUnderline(true);
    Label1->setFont(linkFont);
    Label1->setStyleSheet(QStringLiteral("color: blue;"));
    Label1->setCursor(Qt::PointingHandCursor);
    Label1->move(189, 28);

    Label2 = new QLabel(QString::fromUtf8("Благодарности:"), Panel3);
    Label2->setObjectName(QStringLiteral("Label2"));
    QFont bold = Label2->font();
    bold.setBold(true);
    Label2->setFont(bold);
    Label2->move(7, 47);

    OKButton = new QPushButton(QStringLiteral("OK"), Panel3);
    OKButton->setObjectName(QStringLiteral("OKButton"));
    OKButton->setGeometry(326, 4, 75, 25);
    OKButton->setDefault(true);
    connect(OKButton, &QPushButton::clicked, this, &QDialog::accept);

    Memo00 = new QPlainTextEdit(Panel2);
    Memo00->setObjectName(QStringLiteral("Memo00"));
    Memo00->setReadOnly(true);
    Memo00->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo00->setBackgroundRole(QPalette::Button);
    Memo00->setStyleSheet(QStringLiteral("QPlainTextEdit { background: palette(button); }"));
    Memo00->setPlainText(QString::fromUtf8(kAcknowledgements));
    layout->addWidget(Memo00, 1);

    for (QLabel* label : {ProductName, Notice, Label1, Label2}) label->adjustSize();

    if (QScreen* screen = owner ? owner->screen() : nullptr)
        move(screen->geometry().center() - rect().center());
    FormCreate();
}

void TAboutBox::FormCreate() {
    ProductName->setText(platform::AnsiToQString(GetVersionString(true)));
    ProductName->adjustSize();
}

void TAboutBox::Label1Click() { platform::ShellOpen(Label1->text().toStdString()); }
