#include "forms/ErrorReport.h"

#include <QMessageBox>

#include "common/defaults.h"

namespace {

QString& Title() {
    static QString title = QString::fromUtf8(msg::ApplicationTitle.data(),
                                             qsizetype(msg::ApplicationTitle.size()));
    return title;
}

std::function<void(const QString&)>& Handler() {
    static std::function<void(const QString&)> handler;
    return handler;
}

}  // namespace

QString ApplicationTitle() { return Title(); }
void SetApplicationTitle(const QString& title) { Title() = title; }

QString FormatErrorText(const QString& text) {
    if (!text.isEmpty() && text.back().unicode() > u'.') return text + u'.';
    return text;
}

void SetErrorReportHandler(std::function<void(const QString&)> handler) {
    Handler() = std::move(handler);
}

void ShowErrorReport(const QString& text, QWidget* parent) {
    const QString shown = FormatErrorText(text);
    if (Handler()) {
        Handler()(shown);
        return;
    }
    QMessageBox box(QMessageBox::Critical, ApplicationTitle(), shown, QMessageBox::Ok, parent);
    box.exec();
}

QString ErrorText(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
        return QStringLiteral("Unknown error");
    }
}

void RunReportingErrors(const std::function<void()>& fn, QWidget* parent) {
    try {
        fn();
    } catch (...) {
        ShowErrorReport(ErrorText(std::current_exception()), parent);
    }
}
