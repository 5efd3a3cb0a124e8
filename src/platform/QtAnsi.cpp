#include "platform/QtAnsi.h"

#include "platform/CodePage.h"

namespace platform {

QString AnsiToQString(std::string_view ansi) {
    return QString::fromStdU16String(Cp1251ToUtf16(ansi));
}

std::string QStringToAnsi(const QString& text) {
    return Utf16ToCp1251(std::u16string_view(reinterpret_cast<const char16_t*>(text.utf16()),
                                             static_cast<std::size_t>(text.size())));
}

}  // namespace platform
