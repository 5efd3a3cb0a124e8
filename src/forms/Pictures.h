// The picture lists: toolbar (21), node kinds (4), log marks (2) and the program icon.
#pragma once

#include <QIcon>
#include <vector>

inline constexpr int kToolbarPictureCount = 21;

QIcon ToolbarPicture(int index);   // null icon for index < 0
std::vector<QIcon> KindPictures(); // indices 0..3: group, user, computer, workgroup
QIcon LogPicture(int index);       // 0 not sent, 1 sent
QIcon ProgramIcon();
