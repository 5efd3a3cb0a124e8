// The application's general error report, and the application title it carries.
#pragma once

#include <QString>
#include <exception>
#include <functional>

class QWidget;

// The taskbar text of the program: "Quorvel" until the main window sets the product title.
QString ApplicationTitle();
void SetApplicationTitle(const QString& title);

// The text as the report shows it: a full stop is added when the last character's code is
// above that of the full stop.
QString FormatErrorText(const QString& text);

// A box titled with the application title, error icon, one OK button. Tests may replace what
// happens with SetErrorReportHandler (an empty function restores the box).
void ShowErrorReport(const QString& text, QWidget* parent = nullptr);
void SetErrorReportHandler(std::function<void(const QString&)> handler);

// The text of an exception escaping a handler (what() is UTF-8).
QString ErrorText(const std::exception_ptr& error);

// Runs fn; an exception escaping it is reported and the rest of fn is skipped.
void RunReportingErrors(const std::function<void()>& fn, QWidget* parent = nullptr);
