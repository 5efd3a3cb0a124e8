// The About box: product title with the full version, the home page link, acknowledgements.
#pragma once

#include <QDialog>

class QLabel;
class QPlainTextEdit;
class QPushButton;

class TAboutBox : public QDialog {
    Q_OBJECT
public:
    explicit TAboutBox(QWidget* owner);

    QLabel* ProductName;
    QLabel* Notice;
    QLabel* Label1;
    QLabel* Label2;
    QPushButton* OKButton;
    QPlainTextEdit* Memo00;

private:
    void FormCreate();
    void Label1Click();
};
