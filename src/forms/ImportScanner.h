// The open dialog of the scanner import, replaceable for tests.
#pragma once

#include <QString>
#include <functional>

class QWidget;

struct TImportDialogRequest {
    QString title;
    QString filter;         // Qt form: "description (*.ext)"
    QString defaultSuffix;
    QString directory;      // native path
};

// Returns the chosen file's path, or an empty text when cancelled.
using TImportDialog = std::function<QString(QWidget* parent, const TImportDialogRequest& request)>;

// An empty function restores the file dialog.
void SetImportScannerDialog(TImportDialog dialog);
