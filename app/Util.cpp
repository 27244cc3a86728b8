#include "app/Util.h"

#include <algorithm>
#include <cmath>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

#include "model/Checked.h"
#include "model/Errors.h"

namespace vlx::Util {

namespace {

QString configRoot() {
    const QByteArray xdg = qgetenv("XDG_CONFIG_HOME");
    if (!xdg.isEmpty()) return QString::fromLocal8Bit(xdg);
    return QDir::homePath() + QStringLiteral("/.config");
}

QString escaped(const QString& text) {
    QString out;
    out.reserve(text.size() + 2);
    for (QChar c : text) {
        if (c == u'\\' || c == u'"') out += u'\\';
        out += c;
    }
    return out;
}

// Reads a quoted, escaped string starting at `from` (on the opening quote).
// Returns the index just past the closing quote, or -1 when it is not closed.
qsizetype unquote(const QString& line, qsizetype from, QString& out) {
    out.clear();
    for (qsizetype i = from + 1; i < line.size(); ++i) {
        const QChar c = line[i];
        if (c == u'\\') {
            if (++i >= line.size()) return -1;
            out += line[i];
        } else if (c == u'"') {
            return i + 1;
        } else {
            out += c;
        }
    }
    return -1;
}

std::optional<Key> openKey(const std::string& keyPath, bool create, std::int32_t& error) {
    Key key;
    key.path = KeyFilePath(keyPath);
    key.header = QStringLiteral("[HKEY_CURRENT_USER\\%1]").arg(QString::fromStdString(keyPath));
    QFile file(key.path);
    if (!file.exists()) {
        if (!create) {
            error = NotFound;
            return std::nullopt;
        }
        if (!QDir().mkpath(QFileInfo(key.path).absolutePath())) {
            error = AccessDenied;
            return std::nullopt;
        }
        error = Success;
        return key;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        error = AccessDenied;
        return std::nullopt;
    }
    // A damaged file loses only the lines that cannot be read as values.
    const QString text = QString::fromUtf8(file.readAll());
    for (QString line : text.split(u'\n')) {
        if (line.endsWith(u'\r')) line.chop(1);
        if (!line.startsWith(u'"')) continue;
        QString name;
        const qsizetype end = unquote(line, 0, name);
        if (end < 0 || end >= line.size() || line[end] != u'=') continue;
        key.names << name;
        key.rightSides << line.mid(end + 1);
    }
    error = Success;
    return key;
}

qsizetype find(const Key& key, const QString& name) {
    for (qsizetype i = 0; i < key.names.size(); ++i)
        if (key.names[i].compare(name, Qt::CaseInsensitive) == 0) return i;
    return -1;
}

std::int32_t save(const Key& key) {
    QString text = key.header + u'\n';
    for (qsizetype i = 0; i < key.names.size(); ++i)
        text += u'"' + escaped(key.names[i]) + QStringLiteral("\"=") + key.rightSides[i] + u'\n';
    // The old file is replaced only once the new one is complete on disk.
    // Unbuffered, so that a short write (a full disk) is seen here: a
    // buffered flush can lose it and let the truncated file through.
    QSaveFile file(key.path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) return WriteFault;
    const QByteArray bytes = text.toUtf8();
    if (file.write(bytes) != bytes.size()) {
        file.cancelWriting();
        return WriteFault;
    }
    return file.commit() ? Success : WriteFault;
}

}  // namespace

QString KeyFilePath(const std::string& keyPath) {
    QStringList parts = QString::fromStdString(keyPath).split(u'\\', Qt::SkipEmptyParts);
    if (!parts.isEmpty() && parts.front().compare(QStringLiteral("Software"), Qt::CaseInsensitive) == 0)
        parts.pop_front();
    if (parts.isEmpty()) parts << QStringLiteral("default");
    return configRoot() + u'/' + parts.join(u'/') + QStringLiteral(".reg");
}

std::optional<double> NumberOf(const QString& text) {
    bool ok = false;
    const double d = text.trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(d)) return std::nullopt;
    return d;
}

bool ToInt32(const Value& value, std::int32_t& out) {
    if (const auto* i = std::get_if<std::int32_t>(&value)) {
        out = *i;
        return true;
    }
    if (std::holds_alternative<std::monostate>(value)) {
        out = 0;
        return true;
    }
    const auto number = NumberOf(QString::fromStdString(std::get<std::string>(value)));
    if (!number) return false;
    try {
        out = checked::round<std::int32_t>(*number);
    } catch (const VlxError&) {
        return false;
    }
    return true;
}

std::string ToText(const Value& value) {
    if (const auto* s = std::get_if<std::string>(&value)) return *s;
    if (const auto* i = std::get_if<std::int32_t>(&value)) return std::to_string(*i);
    return {};
}

std::int32_t WriteTypedValue(Key& key, const std::string& valueName, std::int32_t valueType, const Value& value) {
    QString rightSide;
    if (valueType == TypeText) {
        const QString text = QString::fromStdString(ToText(value));
        // One value a line: text that would break the line cannot be stored.
        if (text.contains(u'\n') || text.contains(u'\r') || text.contains(QChar(0))) return InvalidData;
        rightSide = u'"' + escaped(text) + u'"';
    } else if (valueType == TypeDword) {
        std::int32_t number = 0;
        if (!ToInt32(value, number)) return InvalidData;
        rightSide = QStringLiteral("dword:%1").arg(static_cast<std::uint32_t>(number), 8, 16, QChar(u'0'));
    } else {
        return InvalidData;
    }
    const QString name = QString::fromStdString(valueName);
    if (name.contains(u'\n') || name.contains(u'\r')) return InvalidData;
    Key updated = key;
    const qsizetype at = find(updated, name);
    if (at >= 0) {
        updated.rightSides[at] = rightSide;
    } else {
        updated.names << name;
        updated.rightSides << rightSide;
    }
    const std::int32_t result = save(updated);
    if (result == Success) key = std::move(updated);
    return result;
}

std::int32_t ReadTypedValue(const Key& key, const std::string& valueName, Value& value) {
    const qsizetype at = find(key, QString::fromStdString(valueName));
    if (at < 0) return NotFound;
    const QString& rightSide = key.rightSides[at];
    if (rightSide.startsWith(u'"')) {
        QString text;
        if (unquote(rightSide, 0, text) != rightSide.size()) return OtherType;
        value = text.toStdString();
        return Success;
    }
    static const QString dword = QStringLiteral("dword:");
    if (rightSide.startsWith(dword) && rightSide.size() == dword.size() + 8) {
        const QString digits = rightSide.mid(dword.size());
        const bool hex = std::all_of(digits.begin(), digits.end(), [](QChar c) {
            return c.isDigit() || (c.toLower() >= u'a' && c.toLower() <= u'f');
        });
        bool ok = false;
        const uint bits = digits.toUInt(&ok, 16);
        if (!hex || !ok) return OtherType;
        value = static_cast<std::int32_t>(bits);
        return Success;
    }
    return OtherType;
}

std::int32_t SetKeyValue(const std::string& keyPath, const std::string& valueName, const Value& value,
                         std::int32_t valueType) {
    std::int32_t error = Success;
    auto key = openKey(keyPath, true, error);
    if (!key) return error;
    return WriteTypedValue(*key, valueName, valueType, value);
}

std::int32_t GetKeyValue(const std::string& keyPath, const std::string& valueName, Value& value) {
    std::int32_t error = Success;
    const auto key = openKey(keyPath, false, error);
    if (!key) return error;
    return ReadTypedValue(*key, valueName, value);
}

}  // namespace vlx::Util
