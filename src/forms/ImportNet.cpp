// The imports of one computer or one workgroup from the network browser.
#include <memory>

#include "forms/NetBrowser.h"
#include "forms/main.h"
#include "forms/uselasdrrgrpDlg.h"
#include "platform/QtAnsi.h"

namespace {

void ImportFromNetwork(TQuorvelForm* form, bool computers, TAddressKind kind) {
    const QString name = BrowseNetwork(form, computers);
    if (name.isEmpty()) return;
    form->AddNewNode(platform::QStringToAnsi(name), kind);
}

}  // namespace

void TQuorvelForm::actImportNetExecute() { ImportFromNetwork(this, true, akComputer); }

void TQuorvelForm::actImportGroupNetExecute() { ImportFromNetwork(this, false, akWorkgroup); }

void TQuorvelForm::AddNewNode(const std::string& caption, TAddressKind kind) {
    // Owned here so that it goes away on every path, an escaping error included.
    auto chooser = std::make_unique<TSelectAddrGroupDlg>(this, addresses_);
    if (chooser->exec() != QDialog::Accepted) return;
    TAddressNode* target = chooser->TargetNode(addresses_);
    addresses_.addChild(target, caption, kind);
}
