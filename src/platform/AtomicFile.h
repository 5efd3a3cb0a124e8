// Files replaced whole, never half-written: the new content goes to a temporary file in the
// same folder, which is then renamed over the old one.
#pragma once

#include <string>
#include <string_view>
#include <sys/types.h>

namespace platform {

// The whole file; false with errno set when it cannot be read.
bool ReadFileContents(const std::string& path, std::string& bytes);

struct TFileForUpdate {
    std::string target;  // the file the path finally names (symlinks followed)
    std::string bytes;   // its content, when asked for
    mode_t mode = 0;     // kept for the new content; 0666 & ~umask for a new file
};

// Prepares to replace the file at path. A file that exists without any write permission bit
// counts as read-only (EACCES), even for root. False with errno set.
bool OpenForUpdate(const std::string& path, TFileForUpdate& file, bool readContents);
// Writes the new content beside the target, syncs it and renames it over the target. On
// failure the old file is untouched, no temporary file is left, and errno is set.
bool CommitUpdate(const TFileForUpdate& file, std::string_view bytes);
// Both steps.
bool ReplaceFileContents(const std::string& path, std::string_view bytes);

}  // namespace platform
