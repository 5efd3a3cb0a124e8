// The address book file: one line per node in tree order, "level kind caption" with CR LF,
// Windows-1251 bytes. The reader is more lenient than the writer; the scanner's address files
// share its grammar with a kind mapping of their own.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "addressbook/AddressTree.h"

struct TAddressRecord {
    std::int32_t level = 0;
    std::int32_t kind = 0;
    std::string caption;
};

struct TAddressParse {
    std::vector<TAddressRecord> records;  // those read before an error, if any
    bool malformed = false;               // a number that is not a 32-bit integer stopped it
};

// Reads records until the text ends or a number is malformed.
TAddressParse ParseAddressRecords(std::string_view bytes);

// A number of the grammar: optional sign, decimal within the signed 32-bit range, or hex after
// "$", "x", "X", "0x", "0X" up to FFFFFFFF taken as a 32-bit pattern.
bool ParseAddressNumber(std::string_view token, std::int32_t& value);

using TKindMapping = std::function<TAddressKind(std::int32_t)>;

// Builds the records' nodes by the reconstruction rules and appends them after the tree's
// existing root nodes, in one insertion. A record more than one level deeper than the node
// before it becomes that node's child; a negative level makes a root.
void AppendAddressRecords(TAddressTree& tree, const std::vector<TAddressRecord>& records,
                          const TKindMapping& mapKind = {});

// The canonical text of the whole tree.
std::string FormatAddressBook(const TAddressTree& tree);

// Loading and saving a book file. Errors are raised as EInOutError with the texts the
// general error report shows ("Invalid numeric input", "File access denied", "I/O error 5").
class EInOutError : public std::runtime_error {
public:
    EInOutError(int code, const std::string& text) : std::runtime_error(text), code_(code) {}
    int code() const { return code_; }

private:
    int code_;
};

// The text for an errno value.
std::string InOutErrorText(int error);

// Appends the file's nodes to the tree; false when no file exists at the path. On a malformed
// number or a read error, the nodes read so far are appended and EInOutError is raised.
bool LoadAddressBook(const std::string& path, TAddressTree& tree,
                             const TKindMapping& mapKind = {});

// Replaces the file with the tree's canonical text, atomically. Raises EInOutError.
void SaveAddressBook(const std::string& path, const TAddressTree& tree);
