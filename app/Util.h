#pragma once
// The per-user settings store. A key such as "Software\Veloxa\VLXArp" under
// the current user is the text file $XDG_CONFIG_HOME/Veloxa/VLXArp.reg
// (~/.config when the variable is unset). The file keeps each value's type:
//
//   [HKEY_CURRENT_USER\Software\Veloxa\VLXArp]
//   "Octaves"="1"
//   "Tempo"=dword:00000078
//
// Every call opens the key, moves one value and closes it again. Results are
// 0 on success, otherwise an error code (the codes below), or -1 for a value
// of a type other than text or 32-bit integer.
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include <QString>
#include <QStringList>

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
    OtherType = -1,     // a value of a type other than text or integer
};

// An open key: the file behind it and its value lines, in file order.
struct Key {
    QString path;
    QString header;
    // Each entry is one line `"Name"=right-hand side`, name unescaped.
    QStringList names;
    QStringList rightSides;
};

// Where the file of a key path lives.
QString KeyFilePath(const std::string& keyPath);

std::int32_t SetKeyValue(const std::string& keyPath, const std::string& valueName, const Value& value,
                         std::int32_t valueType);
std::int32_t GetKeyValue(const std::string& keyPath, const std::string& valueName, Value& value);

// The transfers on an open key, used by the two above.
std::int32_t WriteTypedValue(Key& key, const std::string& valueName, std::int32_t valueType, const Value& value);
std::int32_t ReadTypedValue(const Key& key, const std::string& valueName, Value& value);

// Conversions with the rules of the loosely typed value: numeric text is
// rounded half to even; text that is not a number fails (empty result).
std::optional<double> NumberOf(const QString& text);
bool ToInt32(const Value& value, std::int32_t& out);
std::string ToText(const Value& value);

}  // namespace vlx::Util
