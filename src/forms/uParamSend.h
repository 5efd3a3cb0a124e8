// The repeat dialog: how many times, and how many seconds apart.
#pragma once

#include <QDialog>
#include <QWidget>

class QLabel;
class QLineEdit;
class QPushButton;
class QToolButton;

// Arrows tied to an edit: the position goes into the edit as a whole number, and reading the
// position takes the edit's text back when it is a whole number within the range; otherwise
// the last valid position counts.
class TUpDown : public QWidget {
    Q_OBJECT
public:
    TUpDown(QLineEdit* associate, int position, QWidget* parent);
    int position();
    void step(int delta);

    static constexpr int kMin = 0;
    static constexpr int kMax = 100;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void setPosition(int position);

    QLineEdit* associate_;
    QToolButton* up_;
    QToolButton* down_;
    int position_;
};

class TParamSend : public QDialog {
    Q_OBJECT
public:
    explicit TParamSend(QWidget* owner);

    QLabel* Label1;
    QLineEdit* Edit1;
    TUpDown* UpDown1;
    QLabel* Label3;
    QLabel* Label2;
    QLineEdit* Edit2;
    TUpDown* UpDown2;
    QLabel* Label4;
    QPushButton* OKBtn;
    QPushButton* CancelBtn;
};
