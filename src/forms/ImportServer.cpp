// The server import command of the main window.
#include <memory>

#include "forms/main.h"
#include "forms/uImportServ.h"

void TQuorvelForm::actImportUserNetExecute() {
    // Owned here, so it goes also when an error escapes the modal loop.
    auto dlg = std::make_unique<TImportservDlg>(this, addresses());
    dlg->exec();
}
