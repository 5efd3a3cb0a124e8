// Opening documents and addresses with the desktop's associated program, in place of
// ShellExecuteA. The result is never examined: if nothing can open it, nothing happens.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// What the desktop is asked to open for a target text (UTF-8): a text with a URL scheme
// ("http:", "mailto:", "file:", ...) as it stands; an absolute path as a file: URL; anything
// else, such as a bare host name, as an http:// address.
std::string ShellTargetUrl(std::string_view target);

// Opens the target (UTF-8) with the associated program; returns at once.
void ShellOpen(std::string_view target);

}  // namespace platform
