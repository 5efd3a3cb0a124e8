// The import of a scanner's address file into the address tree.
#include "forms/ImportScanner.h"

#include <QFileDialog>
#include <QStringList>

#include "addressbook/AddressFile.h"
#include "forms/main.h"
#include "platform/CodePage.h"

namespace {

TImportDialog& ImportDialog() {
    static TImportDialog dialog;
    return dialog;
}

QString RunFileDialog(QWidget* parent, const TImportDialogRequest& request) {
    QFileDialog dialog(parent, request.title, request.directory, request.filter);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setDefaultSuffix(request.defaultSuffix);
    if (dialog.exec() != QDialog::Accepted) return {};
    const QStringList files = dialog.selectedFiles();
    return files.isEmpty() ? QString() : files.first();
}

// The scanner's numbers: 0 and 8 are groups, everything else a computer.
TAddressKind ScannerKind(std::int32_t number) { return number == 0 || number == 8 ? akGroup : akComputer; }

}  // namespace

void SetImportScannerDialog(TImportDialog dialog) { ImportDialog() = std::move(dialog); }

void TQuorvelForm::actImportDunmarroExecute() {
    std::string folder = platform::Cp1251ToUtf8(ScannerDir);
    if (!folder.empty() && folder.back() != '/') folder += '/';
    folder += "IpAddresses";
    const TImportDialogRequest request{QString::fromUtf8("Импортировать из файла"),
                                       QString::fromUtf8("Файлs Dunmarro (*.cmp)"), QStringLiteral("cmp"),
                                       QString::fromStdString(folder)};
    const TImportDialog& dialog = ImportDialog();
    const QString chosen = dialog ? dialog(this, request) : RunFileDialog(this, request);
    if (chosen.isEmpty()) return;
    // A missing file imports nothing; a malformed number keeps the nodes before it and escapes
    // to the command's error report.
    try {
        LoadAddressBook(chosen.toStdString(), addresses(), ScannerKind);
    } catch (...) {
        TreeAddresses->viewport()->update();
        throw;
    }
    TreeAddresses->viewport()->update();
}
