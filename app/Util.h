// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The per-user settings store. A key such as "Software\Veloxa\VLXArp" under
// the current user is one section of the text file
// $XDG_CONFIG_HOME/Veloxa/VLXArp.reg (~/.config when the variable is unset),
// and its subkeys ("Software\Veloxa\VLXArp\Presets\Verse") are further sections of it,
// in the registry editor's export format, which keeps each value's type:
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_CURRENT_USER\Software\Veloxa\VLXArp]
//   "Octaves"="1"
//   "Tempo"=dword:00000078
//
// The file may be UTF-8 or UTF-16 (either byte order), with or without BOM,
// with LF, CRLF or CR line ends. Only the key's own section supplies its values;
// of a name given twice the last counts. Everything else (other sections,
// comments, names and value types the program does not know, lines it
// cannot read) is written back byte for byte where it stood; only earlier
// copies of a duplicated name are dropped. Only a regular file of at most
// 1 MiB whose encoding is certain is read; a file that could not be read is
// never written over, and none is written that would not be read.
//
// Only the values a process changes reach the file: a write applies them to
// the file as it is then, so that two processes sharing it (two instances
// of the program) keep each other's changes; of a value both change, the
// last write counts. A value the file did not hold when read is only added:
// one that another process wrote meanwhile stays.
//
// While a HeldKey for a key exists, the file has been read once into memory:
// GetKeyValue reads that copy, SetKeyValue stages a value in it, and
// HeldKey::Commit writes the file once. Without one, each call reads the
// file, moves one value and (a write) writes the file back.
//
// Results are 0 on success, otherwise an error code (the codes below), or -1
// for a value of a type other than text or 32-bit integer.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <QString>

#include "player/Controls.h"

namespace vlx::Util {

// A loosely typed value as it travels between the store and its callers.
using Value = std::variant<std::monostate, std::string, std::int32_t>;

enum ValueType : std::int32_t { TypeText = 1, TypeDword = 4 };

// Error codes, numbered as the platform registry numbers them.
enum Error : std::int32_t {
    Success = 0,
    NotFound = 2,       // no such key or value
    AccessDenied = 5,   // the file or its folder cannot be read or created
    InvalidData = 13,   // a value that cannot be stored as the asked type
    WriteFault = 29,    // the new file could not be written; the old one stays
    LockHeld = 33,      // another process held the file's lock too long; the old file stays
    NotAFile = 222,     // a folder, FIFO, device or socket where the file should be
    TooLarge = 223,     // larger than kMaxFileBytes, or would be once written
    UnknownEncoding = 1113,  // neither surely UTF-8 nor surely UTF-16
    OtherType = -1,     // a value of a type other than text or integer
};

// A settings file larger than this is not a settings file.
inline constexpr qint64 kMaxFileBytes = 1 << 20;

// A settings file as read, with the values staged on it.
class Document;

// An open key: the document of its file.
struct Key {
    std::shared_ptr<Document> doc;
};

// Where the file of a key path lives.
QString KeyFilePath(const std::string& keyPath);

std::int32_t SetKeyValue(const std::string& keyPath, const std::string& valueName, const Value& value,
                         std::int32_t valueType);
std::int32_t GetKeyValue(const std::string& keyPath, const std::string& valueName, Value& value);
// Removes the value from the key's section; Success also when it was not there.
std::int32_t DeleteKeyValue(const std::string& keyPath, const std::string& valueName);
// Deletes the key: its sections in the file, with every line in them.
std::int32_t DeleteKey(const std::string& keyPath);
// The names of the key's subkeys (sections below its own), in the order of the file.
std::vector<std::string> SubKeyNames(const std::string& keyPath);
// The names of the key's values, in the order of the file, then those
// staged since; none when the file could not be read.
std::vector<std::string> ValueNames(const std::string& keyPath);

// The transfers on an open key, used by the two above.
std::int32_t WriteTypedValue(Key& key, const std::string& valueName, std::int32_t valueType, const Value& value);
std::int32_t ReadTypedValue(const Key& key, const std::string& valueName, Value& value);

// A value staged but not saved, for a message: the value's line as the file
// would have held it, and why it is not there.
struct Unsaved {
    std::string name;
    std::int32_t error = Success;
    QString line;
    QString reason;
};

// The key's file read once into memory, for as long as this lives (holders
// of the same key share the one copy). Released without Commit, nothing is
// written.
class HeldKey {
public:
    explicit HeldKey(const std::string& keyPath);
    ~HeldKey();
    HeldKey(const HeldKey&) = delete;
    HeldKey& operator=(const HeldKey&) = delete;

    QString FilePath() const;
    // Why the file was not read, empty when it was (or does not exist yet).
    // Such a file is not written over: every SetKeyValue returns the error.
    QString Problem() const;
    // Reads the file again, as another process may have written it since
    // (false when it cannot be read now); what is staged stays staged.
    bool Refresh();
    // Writes every staged value in one replacement of the file (none when
    // nothing changed), applied to the file as it is now. `underLock` runs
    // once the file's lock is held and the file read again: what it stages
    // is worked out from the file as it is then, and no other process
    // writes the file before this commit has. Returns the staged values
    // that did not reach it.
    std::vector<Unsaved> Commit(const std::function<void()>& underLock = {});

private:
    std::string keyPath_;
    Key key_;
};

// A value's line as the file holds it ("Tempo"=dword:00000078); empty for a
// value that cannot be stored as that type.
QString ValueLine(const std::string& valueName, const Value& value, std::int32_t valueType);

// Why an error code of this store came about, in words.
QString Describe(std::int32_t error);

// Conversions with the rules of the loosely typed value: numeric text is
// rounded half to even; text that is not a number fails (empty result).
std::optional<double> NumberOf(const QString& text);
bool ToInt32(const Value& value, std::int32_t& out);
std::string ToText(const Value& value);

// A control's value as the settings keep it: a list or a row of steps by
// its text, the tempo whole as a dword (as older programs keep it) and a
// tenth as text, the others as numbers.
struct StoredControl {
    Value value;
    std::int32_t type;
};
StoredControl StoredForm(const vlx::ControlInfo& info, std::int32_t value);

}  // namespace vlx::Util
