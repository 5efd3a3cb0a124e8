#include "forms/Pictures.h"

#include <QString>

static void InitPictures() {
    static bool done = false;
    if (!done) {
        Q_INIT_RESOURCE(quorvel);
        done = true;
    }
}

QIcon ToolbarPicture(int index) {
    if (index < 0 || index >= kToolbarPictureCount) return {};
    InitPictures();
    return QIcon(QStringLiteral(":/icons/toolbar/%1.svg").arg(index, 2, 10, QLatin1Char('0')));
}

std::vector<QIcon> KindPictures() {
    InitPictures();
    std::vector<QIcon> icons;
    for (int kind = 0; kind < 4; ++kind)
        icons.emplace_back(QStringLiteral(":/icons/kinds/%1.svg").arg(kind));
    return icons;
}

QIcon LogPicture(int index) {
    InitPictures();
    return QIcon(QStringLiteral(":/icons/log/%1.svg").arg(index));
}

QIcon ProgramIcon() {
    InitPictures();
    QIcon icon(QStringLiteral(":/icons/quorvel.svg"));
    for (int size : {16, 32, 48, 64})
        icon.addFile(QStringLiteral(":/icons/quorvel-%1.png").arg(size), QSize(size, size));
    return icon;
}
