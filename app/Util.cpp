#include "app/Util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <map>
#include <set>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include "model/Checked.h"
#include "model/Errors.h"

namespace vlx::Util {

namespace {

enum class Encoding { Utf8, Utf16Le, Utf16Be };

// One line of the file as the registry editor reads it: a physical line, or
// a value continued over several with trailing backslashes.
struct Line {
    QByteArray raw;      // its bytes as they stand in the file, line ends included
    QString text;        // decoded, without the line end, continuations joined
    bool ownHeader = false;  // the header of a section of the key's own
    bool value = false;      // a value of the key's own section
    QString name;        // of such a value, unescaped
    QString data;        // of such a value: what follows '=', trimmed
};

}  // namespace

class Document {
public:
    QString path;
    QString section;  // e.g. HKEY_CURRENT_USER\Software\Veloxa\VLXArp
    std::int32_t loadError = Success;  // NotFound: no file yet
    QString problem;
    QByteArray loaded;  // the file as read or last written
    Encoding encoding = Encoding::Utf8;
    QByteArray bom;
    QString eol = QStringLiteral("\n");
    std::vector<Line> lines;
    // Names whose lines changed since the file was read or written, in order.
    std::vector<std::string> staged;

    bool refused() const { return loadError != Success && loadError != NotFound; }
};

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

QString errnoText(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

// ---- Encoding --------------------------------------------------------------

void detectEncoding(Document& d, const QByteArray& bytes) {
    if (bytes.startsWith("\xEF\xBB\xBF")) {
        d.bom = bytes.left(3);
    } else if (bytes.startsWith("\xFF\xFE")) {
        d.encoding = Encoding::Utf16Le;
        d.bom = bytes.left(2);
    } else if (bytes.startsWith("\xFE\xFF")) {
        d.encoding = Encoding::Utf16Be;
        d.bom = bytes.left(2);
    } else if (bytes.size() >= 2 && bytes[0] != '\0' && bytes[1] == '\0') {
        d.encoding = Encoding::Utf16Le;  // without BOM: its first character is ASCII
    }
}

QString decode(Encoding encoding, const char* p, qsizetype n) {
    if (encoding == Encoding::Utf8) return QString::fromUtf8(p, n);
    std::u16string units;
    units.reserve(static_cast<std::size_t>(n / 2));
    for (qsizetype i = 0; i + 1 < n; i += 2) {
        const auto a = static_cast<unsigned char>(p[i]), b = static_cast<unsigned char>(p[i + 1]);
        units.push_back(static_cast<char16_t>(encoding == Encoding::Utf16Le ? a | b << 8 : b | a << 8));
    }
    return QString::fromUtf16(units.data(), static_cast<qsizetype>(units.size()));
}

QByteArray encode(Encoding encoding, const QString& text) {
    if (encoding == Encoding::Utf8) return text.toUtf8();
    QByteArray out;
    out.reserve(text.size() * 2);
    for (QChar c : text) {
        const auto lo = static_cast<char>(c.unicode() & 0xFF), hi = static_cast<char>(c.unicode() >> 8);
        out += encoding == Encoding::Utf16Le ? lo : hi;
        out += encoding == Encoding::Utf16Le ? hi : lo;
    }
    return out;
}

// The line end a line's bytes close with, if any.
QByteArray lineEnd(const Document& d, const QByteArray& raw) {
    for (const char* end : {"\r\n", "\n"}) {
        const QByteArray e = encode(d.encoding, QString::fromLatin1(end));
        if (raw.endsWith(e)) return e;
    }
    return {};
}

// ---- Reading ---------------------------------------------------------------

// Reads a regular file of at most kMaxFileBytes. Opened without blocking, so
// that a FIFO at the path cannot hold the start up; checked on the open
// descriptor, so that what is read is what was checked.
std::int32_t readSettingsFile(const QString& path, QByteArray& bytes, QString& problem) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR) return NotFound;
        problem = QStringLiteral("it cannot be opened (%1)").arg(errnoText(error));
        return AccessDenied;
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        problem = QStringLiteral("it cannot be examined (%1)").arg(errnoText(errno));
        return AccessDenied;
    }
    if (!S_ISREG(st.st_mode)) {
        problem = QStringLiteral("it is not a regular file");
        return NotAFile;
    }
    const QString tooLarge = QStringLiteral("it is larger than 1 MiB");
    if (st.st_size > kMaxFileBytes) {
        problem = tooLarge;
        return TooLarge;
    }
    // A file may report one size and hold another (it grows, or is a
    // kernel file): read up to one byte past the bound to tell.
    bytes.resize(kMaxFileBytes + 1);
    qsizetype got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::read(fd, bytes.data() + got, static_cast<std::size_t>(bytes.size() - got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            problem = QStringLiteral("it cannot be read (%1)").arg(errnoText(errno));
            bytes.clear();
            return AccessDenied;
        }
        if (n == 0) break;
        got += n;
    }
    if (got > kMaxFileBytes) {
        problem = tooLarge;
        bytes.clear();
        return TooLarge;
    }
    bytes.resize(got);
    return Success;
}

bool parseValueLine(const QString& text, QString& name, QString& data) {
    qsizetype i = 0;
    while (i < text.size() && text[i].isSpace()) ++i;
    if (i >= text.size()) return false;
    if (text[i] == u'@') {  // the key's default value
        name.clear();
        ++i;
    } else if (text[i] == u'"') {
        i = unquote(text, i, name);
        if (i < 0) return false;
    } else {
        return false;
    }
    while (i < text.size() && text[i].isSpace()) ++i;
    if (i >= text.size() || text[i] != u'=') return false;
    data = text.mid(i + 1).trimmed();
    return true;
}

void parse(Document& d, const QByteArray& bytes) {
    detectEncoding(d, bytes);
    const int unit = d.encoding == Encoding::Utf8 ? 1 : 2;
    auto isLineFeed = [&](qsizetype i) {
        if (d.encoding == Encoding::Utf8) return bytes[i] == '\n';
        if (i + 1 >= bytes.size()) return false;
        return d.encoding == Encoding::Utf16Le ? bytes[i] == '\n' && bytes[i + 1] == '\0'
                                               : bytes[i] == '\0' && bytes[i + 1] == '\n';
    };
    bool eolKnown = false;
    bool inOwnSection = false;
    bool continuing = false;
    for (qsizetype start = d.bom.size(); start < bytes.size();) {
        qsizetype end = start;
        while (end < bytes.size() && !isLineFeed(end)) end += unit;
        const qsizetype next = std::min<qsizetype>(end + unit, bytes.size());
        const QByteArray raw = bytes.mid(start, next - start);
        QString text = decode(d.encoding, bytes.constData() + start, std::min(end, bytes.size()) - start);
        if (end < bytes.size()) {
            const bool crlf = text.endsWith(u'\r');
            if (crlf) text.chop(1);
            if (!eolKnown) d.eol = crlf ? QStringLiteral("\r\n") : QStringLiteral("\n");
            eolKnown = true;
        }
        start = next;

        if (continuing) {
            Line& line = d.lines.back();
            line.raw += raw;
            line.text += text.trimmed();
            line.data += text.trimmed();
        } else {
            Line line;
            line.raw = raw;
            line.text = text;
            const QString trimmed = text.trimmed();
            if (trimmed.startsWith(u'[')) {
                const qsizetype close = trimmed.lastIndexOf(u']');
                const QString section = trimmed.mid(1, close > 0 ? close - 1 : -1).trimmed();
                inOwnSection = section.compare(d.section, Qt::CaseInsensitive) == 0;
                line.ownHeader = inOwnSection;
            } else if (inOwnSection && !trimmed.startsWith(u';')) {
                line.value = parseValueLine(text, line.name, line.data);
            }
            d.lines.push_back(std::move(line));
        }
        // A long binary value goes on over several lines; a text value never does.
        Line& line = d.lines.back();
        continuing = line.value && !line.data.startsWith(u'"') && line.data.endsWith(u'\\');
        if (continuing) {
            line.data.chop(1);
            line.text = line.text.trimmed().chopped(1);
        }
    }
}

std::shared_ptr<Document> load(const std::string& keyPath) {
    auto d = std::make_shared<Document>();
    d->path = KeyFilePath(keyPath);
    d->section = QStringLiteral("HKEY_CURRENT_USER\\") + QString::fromStdString(keyPath);
    QByteArray bytes;
    d->loadError = readSettingsFile(d->path, bytes, d->problem);
    if (d->loadError == Success) {
        d->loaded = bytes;
        parse(*d, bytes);
    }
    return d;
}

// The value lines of a name in the key's own section, in file order.
std::vector<std::size_t> find(const Document& d, const QString& name) {
    std::vector<std::size_t> at;
    for (std::size_t i = 0; i < d.lines.size(); ++i)
        if (d.lines[i].value && d.lines[i].name.compare(name, Qt::CaseInsensitive) == 0) at.push_back(i);
    return at;
}

std::int32_t parseData(const QString& data, Value& value) {
    if (data.startsWith(u'"')) {
        QString text;
        if (unquote(data, 0, text) != data.size()) return OtherType;
        value = text.toStdString();
        return Success;
    }
    static const QString dword = QStringLiteral("dword:");
    if (data.startsWith(dword) && data.size() == dword.size() + 8) {
        const QString digits = data.mid(dword.size());
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

// ---- Writing ---------------------------------------------------------------

// Gives a line that has none (the last of a file) its line end, so that a
// line can follow it.
void closeLine(const Document& d, Line& line) {
    if (lineEnd(d, line.raw).isEmpty()) line.raw += encode(d.encoding, d.eol);
}

Line newLine(const Document& d, const QString& text) {
    Line line;
    line.text = text;
    line.raw = encode(d.encoding, text + d.eol);
    return line;
}

void insertValue(Document& d, Line value) {
    // After the last value of the key's last section of its own, or its header.
    std::optional<std::size_t> after;
    bool inOwnSection = false;
    for (std::size_t i = 0; i < d.lines.size(); ++i) {
        const Line& line = d.lines[i];
        if (line.text.trimmed().startsWith(u'[')) inOwnSection = line.ownHeader;
        if (line.ownHeader || (inOwnSection && line.value)) after = i;
    }
    if (after) {
        closeLine(d, d.lines[*after]);
        d.lines.insert(d.lines.begin() + static_cast<std::ptrdiff_t>(*after + 1), std::move(value));
        return;
    }
    if (!d.lines.empty()) {
        closeLine(d, d.lines.back());
        if (!d.lines.back().text.trimmed().isEmpty()) d.lines.push_back(newLine(d, QString()));
    }
    Line header = newLine(d, u'[' + d.section + u']');
    header.ownHeader = true;
    d.lines.push_back(std::move(header));
    d.lines.push_back(std::move(value));
}

// Earlier lines of a name given twice in the key's section: the registry
// editor lets the last one win, and so does the file from now on.
void dropShadowed(Document& d) {
    std::set<QString> seen;
    for (std::size_t i = d.lines.size(); i-- > 0;) {
        if (!d.lines[i].value) continue;
        if (!seen.insert(d.lines[i].name.toCaseFolded()).second) d.lines.erase(d.lines.begin() + static_cast<std::ptrdiff_t>(i));
    }
}

QByteArray serialize(const Document& d) {
    QByteArray out = d.bom;
    for (const Line& line : d.lines) out += line.raw;
    return out;
}

std::vector<Unsaved> commit(Document& d) {
    if (d.refused()) return {};  // nothing could be staged
    dropShadowed(d);
    const QByteArray bytes = serialize(d);
    if (bytes == d.loaded && (d.loadError == Success || bytes.isEmpty())) {
        d.staged.clear();
        return {};
    }
    auto failed = [&d](std::int32_t error, const QString& reason) {
        std::vector<Unsaved> unsaved;
        for (const std::string& name : d.staged) {
            const auto at = find(d, QString::fromStdString(name));
            unsaved.push_back({name, error, at.empty() ? QString() : d.lines[at.back()].text.trimmed(), reason});
        }
        return unsaved;
    };
    const QString folder = QFileInfo(d.path).absolutePath();
    if (!QDir().mkpath(folder)) return failed(AccessDenied, QStringLiteral("the folder %1 cannot be created").arg(folder));
    // The old file is replaced only once the new one is complete on disk.
    // Unbuffered, so that a short write (a full disk) is seen here: a
    // buffered flush can lose it and let the truncated file through.
    QSaveFile file(d.path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) return failed(WriteFault, file.errorString());
    if (file.write(bytes) != bytes.size()) {
        const QString why = file.errorString();
        file.cancelWriting();
        return failed(WriteFault, why);
    }
    if (!file.commit()) return failed(WriteFault, file.errorString());
    d.loaded = bytes;
    d.loadError = Success;
    d.staged.clear();
    return {};
}

// The documents that HeldKeys keep, by key path.
std::map<std::string, std::weak_ptr<Document>>& heldDocuments() {
    static std::map<std::string, std::weak_ptr<Document>> documents;
    return documents;
}

Key openKey(const std::string& keyPath, bool& held) {
    const auto it = heldDocuments().find(keyPath);
    if (it != heldDocuments().end()) {
        if (auto doc = it->second.lock()) {
            held = true;
            return {std::move(doc)};
        }
    }
    held = false;
    return {load(keyPath)};
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

QString Describe(std::int32_t error) {
    switch (error) {
    case Success: return QStringLiteral("saved");
    case NotFound: return QStringLiteral("not found");
    case AccessDenied: return QStringLiteral("access denied");
    case InvalidData: return QStringLiteral("the value cannot be stored as its type");
    case WriteFault: return QStringLiteral("the file cannot be written");
    case NotAFile: return QStringLiteral("not a regular file");
    case TooLarge: return QStringLiteral("larger than 1 MiB");
    case OtherType: return QStringLiteral("a value of another type");
    default: return QStringLiteral("error %1").arg(error);
    }
}

namespace {

// The right-hand side of a value's line and the value as it will read back;
// false for a value that cannot be stored as that type.
bool dataOf(const Value& value, std::int32_t valueType, QString& data, Value& stored) {
    if (valueType == TypeText) {
        const QString text = QString::fromStdString(ToText(value));
        // One value a line: text that would break the line cannot be stored.
        if (text.contains(u'\n') || text.contains(u'\r') || text.contains(QChar(0))) return false;
        data = u'"' + escaped(text) + u'"';
        stored = text.toStdString();
        return true;
    }
    if (valueType == TypeDword) {
        std::int32_t number = 0;
        if (!ToInt32(value, number)) return false;
        data = QStringLiteral("dword:%1").arg(static_cast<std::uint32_t>(number), 8, 16, QChar(u'0'));
        stored = number;
        return true;
    }
    return false;
}

}  // namespace

QString ValueLine(const std::string& valueName, const Value& value, std::int32_t valueType) {
    QString data;
    Value stored;
    if (!dataOf(value, valueType, data, stored)) return {};
    return u'"' + escaped(QString::fromStdString(valueName)) + QStringLiteral("\"=") + data;
}

std::int32_t WriteTypedValue(Key& key, const std::string& valueName, std::int32_t valueType, const Value& value) {
    QString data;
    Value stored;
    if (!dataOf(value, valueType, data, stored)) return InvalidData;
    const QString name = QString::fromStdString(valueName);
    if (name.contains(u'\n') || name.contains(u'\r')) return InvalidData;
    Document& d = *key.doc;
    if (d.refused()) return d.loadError;  // what could not be read is not written over

    const auto at = find(d, name);
    if (!at.empty()) {
        Line& line = d.lines[at.back()];
        Value current;
        if (parseData(line.data, current) == Success && current == stored) return Success;  // kept as it stands
        line.data = data;
        line.text = u'"' + escaped(line.name) + QStringLiteral("\"=") + data;
        line.raw = encode(d.encoding, line.text) + lineEnd(d, line.raw);
    } else {
        Line line = newLine(d, u'"' + escaped(name) + QStringLiteral("\"=") + data);
        line.value = true;
        line.name = name;
        line.data = data;
        insertValue(d, std::move(line));
    }
    const bool listed = std::any_of(d.staged.begin(), d.staged.end(), [&](const std::string& staged) {
        return QString::fromStdString(staged).compare(name, Qt::CaseInsensitive) == 0;
    });
    if (!listed) d.staged.push_back(valueName);
    return Success;
}

std::int32_t ReadTypedValue(const Key& key, const std::string& valueName, Value& value) {
    const Document& d = *key.doc;
    if (d.refused()) return d.loadError;
    const auto at = find(d, QString::fromStdString(valueName));
    if (at.empty()) return NotFound;
    return parseData(d.lines[at.back()].data, value);
}

std::int32_t SetKeyValue(const std::string& keyPath, const std::string& valueName, const Value& value,
                         std::int32_t valueType) {
    bool held = false;
    Key key = openKey(keyPath, held);
    const std::int32_t result = WriteTypedValue(key, valueName, valueType, value);
    if (result != Success || held) return result;  // a holder writes the file once, at its commit
    const auto unsaved = commit(*key.doc);
    return unsaved.empty() ? Success : unsaved.front().error;
}

std::int32_t GetKeyValue(const std::string& keyPath, const std::string& valueName, Value& value) {
    bool held = false;
    const Key key = openKey(keyPath, held);
    return ReadTypedValue(key, valueName, value);
}

std::int32_t DeleteKeyValue(const std::string& keyPath, const std::string& valueName) {
    bool held = false;
    Key key = openKey(keyPath, held);
    Document& d = *key.doc;
    if (d.refused()) return d.loadError;
    const auto at = find(d, QString::fromStdString(valueName));
    if (at.empty()) return Success;
    for (auto i = at.rbegin(); i != at.rend(); ++i) d.lines.erase(d.lines.begin() + static_cast<std::ptrdiff_t>(*i));
    const bool listed = std::find(d.staged.begin(), d.staged.end(), valueName) != d.staged.end();
    if (!listed) d.staged.push_back(valueName);
    if (held) return Success;
    const auto unsaved = commit(d);
    return unsaved.empty() ? Success : unsaved.front().error;
}

HeldKey::HeldKey(const std::string& keyPath) : keyPath_(keyPath) {
    std::weak_ptr<Document>& slot = heldDocuments()[keyPath];
    key_.doc = slot.lock();
    if (!key_.doc) {
        key_.doc = load(keyPath);
        slot = key_.doc;
    }
}

HeldKey::~HeldKey() {
    key_.doc.reset();
    const auto it = heldDocuments().find(keyPath_);
    if (it != heldDocuments().end() && it->second.expired()) heldDocuments().erase(it);
}

QString HeldKey::FilePath() const { return key_.doc->path; }

QString HeldKey::Problem() const { return key_.doc->refused() ? key_.doc->problem : QString(); }

std::vector<Unsaved> HeldKey::Commit() { return commit(*key_.doc); }

}  // namespace vlx::Util
