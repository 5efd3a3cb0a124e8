// Windows-1251 texts at the Qt boundary.
#pragma once

#include <QString>
#include <string>
#include <string_view>

namespace platform {

QString AnsiToQString(std::string_view ansi);
std::string QStringToAnsi(const QString& text);

}  // namespace platform
