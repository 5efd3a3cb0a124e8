// A read-only registry: values kept in a text file in the registry editor's export format,
// reached through calls shaped like the Windows registry functions (the "A" flavour: names and
// string data are Windows-1251).
//
// The file is /etc/quorvel/registry.reg, or the path in the environment variable
// QUORVEL_REGISTRY_FILE. Two forms are read:
//  - "REGEDIT4" files, Windows-1251 text; hex(2) data are Windows-1251 bytes;
//  - "Windows Registry Editor Version 5.00" files, UTF-16LE with a byte order mark (UTF-8 is
//    accepted too); hex(2) data are UTF-16LE bytes.
// Key paths and value names compare without regard to case; "@" is a key's default value.
// "name"="text" gives REG_SZ, dword: REG_DWORD, hex: REG_BINARY and hex(n): type n; a hex list
// may continue on the next line after a trailing backslash. Deletion entries are ignored.
//
// A query of a string type (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ) yields Windows-1251 bytes
// ending with a zero, whatever the file's form; other types yield their bytes as stored.
// Expandable strings are not expanded. The file is read when a key is opened: an open key is
// a snapshot, and edits to the file show at the next open.
#pragma once

#include <cstdint>

namespace platform {

using DWORD = std::uint32_t;
using LONG = std::int32_t;
using BYTE = unsigned char;
using REGSAM = DWORD;

enum class HKEY : std::uintptr_t {};
using PHKEY = HKEY*;

inline constexpr HKEY HKEY_CLASSES_ROOT{0x80000000u};
inline constexpr HKEY HKEY_CURRENT_USER{0x80000001u};
inline constexpr HKEY HKEY_LOCAL_MACHINE{0x80000002u};
inline constexpr HKEY HKEY_USERS{0x80000003u};
inline constexpr HKEY HKEY_CURRENT_CONFIG{0x80000005u};

// Result codes, apart from the messenger's status codes of the same names.
namespace reg {
inline constexpr LONG ERROR_SUCCESS = 0;
inline constexpr LONG ERROR_FILE_NOT_FOUND = 2;
inline constexpr LONG ERROR_INVALID_HANDLE = 6;
inline constexpr LONG ERROR_OUTOFMEMORY = 14;
inline constexpr LONG ERROR_INVALID_PARAMETER = 87;
inline constexpr LONG ERROR_MORE_DATA = 234;
}  // namespace reg

inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_EXPAND_SZ = 2;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;
inline constexpr DWORD REG_MULTI_SZ = 7;
inline constexpr DWORD REG_QWORD = 11;

// Access masks are accepted and not checked: nothing can be written.
inline constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
inline constexpr REGSAM KEY_READ = 0x20019;
inline constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

// The registry file's path: QUORVEL_REGISTRY_FILE when set and not empty, else the default.
const char* RegistryFilePath();

// Opens subKey below key (a root or an open key; null or "" opens key itself). Fails with
// ERROR_FILE_NOT_FOUND when the key, or the file, is missing.
LONG RegOpenKeyEx(HKEY key, const char* subKey, DWORD options, REGSAM samDesired, PHKEY result);

// The type and data of a value (null or "" name: the default value). With data null only the
// size is given; a buffer too small gives ERROR_MORE_DATA and the size needed.
LONG RegQueryValueEx(HKEY key, const char* valueName, DWORD* reserved, DWORD* type, BYTE* data,
                     DWORD* cbData);

LONG RegCloseKey(HKEY key);

}  // namespace platform
