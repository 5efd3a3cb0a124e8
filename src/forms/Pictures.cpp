#include "forms/Pictures.h"

#include <QString>
#include <array>

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
    // Every log line shares one icon per mark, so each mark is drawn once, not once per line.
    // Kept until the process ends: icons must not outlive the application's teardown order.
    static const auto* marks = new std::array<QIcon, 2>{QIcon(QStringLiteral(":/icons/log/0.svg")),
                                                        QIcon(QStringLiteral(":/icons/log/1.svg"))};
    if (index == 0 || index == 1) return (*marks)[static_cast<std::size_t>(index)];
    return {};
}

QIcon ProgramIcon() {
    InitPictures();
    QIcon icon(QStringLiteral(":/icons/quorvel.svg"));
    for (int size : {16, 32, 48, 64})
        icon.addFile(QStringLiteral(":/icons/quorvel-%1.png").arg(size), QSize(size, size));
    return icon;
}
