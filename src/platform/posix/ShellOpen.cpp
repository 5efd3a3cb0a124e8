#include <QDesktopServices>
#include <QUrl>

#include "platform/Shell.h"

namespace platform {

void ShellOpen(std::string_view target) {
    const std::string url = ShellTargetUrl(target);
    if (url.empty()) return;
    // The desktop's launcher (xdg-open) decides; a failure is not reported.
    QDesktopServices::openUrl(QUrl(QString::fromUtf8(url.data(), qsizetype(url.size()))));
}

}  // namespace platform
