// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/Util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <map>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QLockFile>
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

// A file's text as read: its encoding and its lines.
struct Text {
    Encoding encoding = Encoding::Utf8;
    QByteArray bom;
    QString eol = QStringLiteral("\n");
    std::vector<Line> lines;
    // The line of each value of the key's own sections, by its case-folded
    // name: the last, which counts.
    QHash<QString, std::size_t> values;
};

// A value this process changed: what its line is to hold, or nothing for a
// value deleted.
struct Change {
    std::string name;
    std::optional<QString> data;
    bool reverted = false;  // set back to what the file held
    // The file did not hold the value: it is added, but a value another
    // process has written meanwhile stays.
    bool added = false;
};

}  // namespace

class Document {
public:
    QString path;
    QString section;  // e.g. HKEY_CURRENT_USER\Software\Veloxa\VLXArp
    std::int32_t loadError = Success;  // NotFound: no file yet
    QString problem;
    QByteArray loaded;  // the file as read or last written
    Text text;          // the same, parsed
    // What this process changed since, in the order of the first change of
    // each name. Only these reach the file: a commit applies them to the
    // file as it is then, so that another process's changes stay.
    std::vector<Change> changes;
    QHash<QString, std::size_t> changeOf;  // by case-folded name
    // The key itself is deleted: its sections go, with every line in them.
    bool dropped = false;

    bool refused() const { return loadError != Success && loadError != NotFound; }
};

namespace {

QString folded(const QString& name) { return name.toCaseFolded(); }

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

// Whether UTF-16 without a BOM is surely what the bytes are: whole code
// units, none of them NUL, surrogates in pairs.
bool plainUtf16(Encoding encoding, const QByteArray& bytes) {
    if (bytes.size() % 2 != 0) return false;
    const QString text = decode(encoding, bytes.constData(), bytes.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c.isNull()) return false;
        if (c.isHighSurrogate() && (i + 1 >= text.size() || !text[++i].isLowSurrogate())) return false;
        if (c.isLowSurrogate()) return false;
    }
    return true;
}

// The encoding of a file's bytes: by its BOM; without one, UTF-16 when its
// first character is ASCII in one of the two byte orders (a registry file
// begins with its header, a section or a comment), and UTF-8 when it holds
// no NUL byte at all. Empty when none of these is certain: such a file is
// not read, lest it be written back half in another encoding.
std::optional<Encoding> detectEncoding(const QByteArray& bytes, QByteArray& bom) {
    if (bytes.startsWith("\xEF\xBB\xBF")) {
        bom = bytes.left(3);
        return Encoding::Utf8;
    }
    if (bytes.startsWith("\xFF\xFE") || bytes.startsWith("\xFE\xFF")) {
        bom = bytes.left(2);
        return bytes[0] == '\xFF' ? Encoding::Utf16Le : Encoding::Utf16Be;
    }
    if (bytes.size() >= 2 && (bytes[0] == '\0') != (bytes[1] == '\0')) {
        const Encoding guess = bytes[1] == '\0' ? Encoding::Utf16Le : Encoding::Utf16Be;
        if (plainUtf16(guess, bytes)) return guess;
        return std::nullopt;
    }
    if (!bytes.contains('\0')) return Encoding::Utf8;
    return std::nullopt;
}

// The line end a line's bytes close with, if any.
QByteArray lineEnd(const Text& t, const QByteArray& raw) {
    for (const char* end : {"\r\n", "\n", "\r"}) {
        const QByteArray e = encode(t.encoding, QString::fromLatin1(end));
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

void indexValues(Text& t) {
    t.values.clear();
    for (std::size_t i = 0; i < t.lines.size(); ++i)
        if (t.lines[i].value) t.values.insert(folded(t.lines[i].name), i);
}

// The lines of `bytes`, whose encoding is known. A line ends with LF, CRLF
// or a CR alone (an old Mac's files); new lines take the first line's end.
void parse(Text& t, const QString& section, const QByteArray& bytes) {
    const int unit = t.encoding == Encoding::Utf8 ? 1 : 2;
    // The code unit at byte i, if a whole one is there.
    auto unitAt = [&](qsizetype i) -> char16_t {
        if (t.encoding == Encoding::Utf8) return static_cast<unsigned char>(bytes[i]);
        if (i + 1 >= bytes.size()) return 0;
        const auto a = static_cast<unsigned char>(bytes[i]), b = static_cast<unsigned char>(bytes[i + 1]);
        return static_cast<char16_t>(t.encoding == Encoding::Utf16Le ? a | b << 8 : b | a << 8);
    };
    bool eolKnown = false;
    bool inOwnSection = false;
    bool continuing = false;
    for (qsizetype start = t.bom.size(); start < bytes.size();) {
        qsizetype end = start;
        while (end < bytes.size() && unitAt(end) != u'\n' && unitAt(end) != u'\r') end += unit;
        qsizetype next = std::min(end, bytes.size());
        if (end < bytes.size()) {
            const bool crlf = unitAt(end) == u'\r' && end + unit < bytes.size() && unitAt(end + unit) == u'\n';
            const QString eol = crlf ? QStringLiteral("\r\n") : QString(QChar(unitAt(end)));
            next = std::min<qsizetype>(end + eol.size() * unit, bytes.size());
            if (!eolKnown) t.eol = eol;
            eolKnown = true;
        }
        const QByteArray raw = bytes.mid(start, next - start);
        const QString text = decode(t.encoding, bytes.constData() + start, std::min(end, bytes.size()) - start);
        start = next;

        if (continuing) {
            Line& line = t.lines.back();
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
                const QString name = trimmed.mid(1, close > 0 ? close - 1 : -1).trimmed();
                inOwnSection = name.compare(section, Qt::CaseInsensitive) == 0;
                line.ownHeader = inOwnSection;
            } else if (inOwnSection && !trimmed.startsWith(u';')) {
                line.value = parseValueLine(text, line.name, line.data);
            }
            t.lines.push_back(std::move(line));
        }
        // A long binary value goes on over several lines; a text value never does.
        Line& line = t.lines.back();
        continuing = line.value && !line.data.startsWith(u'"') && line.data.endsWith(u'\\');
        if (continuing) {
            line.data.chop(1);
            line.text = line.text.trimmed().chopped(1);
        }
    }
    indexValues(t);
}

// Reads the file at `path` into `t`; the error of a file that cannot be
// read (NotFound: there is none), with `problem` saying why.
std::int32_t readText(const QString& path, const QString& section, QByteArray& bytes, Text& t, QString& problem) {
    const std::int32_t error = readSettingsFile(path, bytes, problem);
    if (error != Success) return error;
    const auto encoding = detectEncoding(bytes, t.bom);
    if (!encoding) {
        problem = QStringLiteral("its text encoding cannot be told for certain (it holds NUL bytes, yet is no "
                                 "UTF-16 text)");
        bytes.clear();
        return UnknownEncoding;
    }
    t.encoding = *encoding;
    parse(t, section, bytes);
    return Success;
}

std::shared_ptr<Document> load(const std::string& keyPath) {
    auto d = std::make_shared<Document>();
    d->path = KeyFilePath(keyPath);
    d->section = QStringLiteral("HKEY_CURRENT_USER\\") + QString::fromStdString(keyPath);
    d->loadError = readText(d->path, d->section, d->loaded, d->text, d->problem);
    return d;
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

// The value as the file held it when read or last written.
std::int32_t fileValue(const Document& d, const QString& key, Value& value) {
    const auto at = d.text.values.constFind(key);
    if (at == d.text.values.cend()) return NotFound;
    return parseData(d.text.lines[*at].data, value);
}

// ---- Writing ---------------------------------------------------------------

QString valueText(const QString& name, const QString& data) {
    return u'"' + escaped(name) + QStringLiteral("\"=") + data;
}

// Gives a line that has none (the last of a file) its line end, so that a
// line can follow it.
void closeLine(const Text& t, Line& line) {
    if (lineEnd(t, line.raw).isEmpty()) line.raw += encode(t.encoding, t.eol);
}

Line newLine(const Text& t, const QString& text) {
    Line line;
    line.text = text;
    line.raw = encode(t.encoding, text + t.eol);
    return line;
}

// `changes` applied to the lines of `t`: a changed value's line takes its
// new data where it stands, a deleted one goes, a new one joins the end of
// the key's last section of its own (which is made when there is none).
// Earlier lines of a name given twice go as well: the registry editor lets
// the last one win, and so does the file from now on.
void apply(Text& t, const QString& section, const std::vector<Change>& changes) {
    QHash<QString, const Change*> byName;
    for (const Change& change : changes)
        if (!change.reverted) byName.insert(folded(QString::fromStdString(change.name)), &change);

    std::vector<Line> lines;
    lines.reserve(t.lines.size() + byName.size() + 2);
    std::optional<std::size_t> after;  // the last line of the key's last section of its own
    bool inOwnSection = false;
    for (std::size_t i = 0; i < t.lines.size(); ++i) {
        Line& line = t.lines[i];
        if (line.value) {
            const QString key = folded(line.name);
            if (t.values.value(key) != i) continue;  // shadowed by a later line
            if (const Change* change = byName.take(key); change && !change->added) {
                if (!change->data) continue;
                line.data = *change->data;
                line.text = valueText(line.name, line.data);
                line.raw = encode(t.encoding, line.text) + lineEnd(t, line.raw);
            }
        }
        if (line.text.trimmed().startsWith(u'[')) inOwnSection = line.ownHeader;
        if (line.ownHeader || (inOwnSection && line.value)) after = lines.size();
        lines.push_back(std::move(line));
    }

    std::vector<Line> added;
    for (const Change& change : changes) {
        const QString name = QString::fromStdString(change.name);
        if (change.reverted || !change.data || !byName.contains(folded(name))) continue;
        Line line = newLine(t, valueText(name, *change.data));
        line.value = true;
        line.name = name;
        line.data = *change.data;
        added.push_back(std::move(line));
    }
    if (!added.empty() && !after) {
        if (!lines.empty()) {
            closeLine(t, lines.back());
            if (!lines.back().text.trimmed().isEmpty()) lines.push_back(newLine(t, QString()));
        }
        Line header = newLine(t, u'[' + section + u']');
        header.ownHeader = true;
        lines.push_back(std::move(header));
        after = lines.size() - 1;
    }
    if (!added.empty()) {
        closeLine(t, lines[*after]);
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(*after + 1), std::make_move_iterator(added.begin()),
                     std::make_move_iterator(added.end()));
    }
    t.lines = std::move(lines);
    indexValues(t);
}

QByteArray serialize(const Text& t) {
    QByteArray out = t.bom;
    for (const Line& line : t.lines) out += line.raw;
    return out;
}

// How long a commit waits for another process's commit to the same file:
// one takes milliseconds, and a close must not hang on a lock left held.
constexpr int kLockWaitMs = 500;

bool anyChange(const Document& d) {
    return d.dropped || std::any_of(d.changes.begin(), d.changes.end(), [](const Change& c) { return !c.reverted; });
}

std::vector<Unsaved> commit(Document& d, const std::function<void()>& underLock) {
    if (d.refused() || (!underLock && !anyChange(d))) {  // nothing could be changed, or nothing was
        d.changes.clear();
        d.changeOf.clear();
        return {};
    }
    auto failed = [&d](std::int32_t error, const QString& reason) {
        std::vector<Unsaved> unsaved;
        for (const Change& change : d.changes) {
            if (change.reverted) continue;
            const QString line = change.data ? valueText(QString::fromStdString(change.name), *change.data) : QString();
            unsaved.push_back({change.name, error, line, reason});
        }
        return unsaved;
    };
    const QString folder = QFileInfo(d.path).absolutePath();
    if (!QDir().mkpath(folder)) return failed(AccessDenied, QStringLiteral("the folder %1 cannot be created").arg(folder));

    // Another instance may have written the file since it was read: its
    // values stay, and only what this one changed is applied to them. The
    // lock keeps two commits from crossing (a stale one is taken over); a
    // lock the folder refuses does not stop the save, but one another
    // process goes on holding does: the save is given up, not written over
    // what that process may be writing.
    QLockFile lock(d.path + QStringLiteral(".lock"));
    const bool held = !lock.tryLock(kLockWaitMs) && lock.error() == QLockFile::LockFailedError;
    QByteArray now;
    Text text;
    QString problem;
    const std::int32_t error = readText(d.path, d.section, now, text, problem);
    if (error != Success && error != NotFound)
        return failed(error, QStringLiteral("the file was replaced meanwhile and %1").arg(problem));
    if (error == Success && now == d.loaded) {
        text = d.text;  // as read: parsed already
    } else {  // what is staged under the lock sees the file as it is now
        d.loaded = now;
        d.text = text;
    }
    if (underLock) underLock();
    if (held)
        return failed(LockHeld, QStringLiteral("another process held its lock %1 for over %2 ms")
                                    .arg(lock.fileName())
                                    .arg(kLockWaitMs));
    if (!anyChange(d)) return {};
    if (d.dropped) {
        std::vector<Line> kept;
        bool own = false;
        for (Line& line : text.lines) {
            if (line.text.trimmed().startsWith(u'[')) own = line.ownHeader;
            if (!own) kept.push_back(std::move(line));
        }
        text.lines = std::move(kept);
        indexValues(text);
    }
    apply(text, d.section, d.changes);
    const QByteArray bytes = serialize(text);
    // What the next start would refuse is not written: the old file stays.
    if (bytes.size() > kMaxFileBytes) return failed(TooLarge, QStringLiteral("the file would grow larger than 1 MiB"));

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
    d.text = std::move(text);
    d.loadError = Success;
    d.changes.clear();
    d.changeOf.clear();
    d.dropped = false;
    return {};
}

// Records a change of the value `name`: to `data`, or deleted (nullopt).
// `same`: the file holds that already, and the change is taken back.
void change(Document& d, const std::string& name, std::optional<QString> data, bool same) {
    const QString key = folded(QString::fromStdString(name));
    const bool added = !d.text.values.contains(key);
    const auto at = d.changeOf.constFind(key);
    if (at == d.changeOf.cend()) {
        if (same) return;
        d.changeOf.insert(key, d.changes.size());
        d.changes.push_back({name, std::move(data), false, added});
        return;
    }
    Change& c = d.changes[*at];
    c.data = std::move(data);
    c.reverted = same;
    c.added = added;
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
    if (!parts.isEmpty() && parts.front().compare(QStringLiteral("Software"), Qt::CaseInsensitive) == 0) {
        parts.pop_front();
        // The keys below a program's own live in its file, as the registry
        // editor exports a key with its subkeys.
        while (parts.size() > 2) parts.pop_back();
    }
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
    case LockHeld: return QStringLiteral("another process holds it");
    case UnknownEncoding: return QStringLiteral("its text encoding cannot be told");
    case OtherType: return QStringLiteral("a value of another type");
    default: return QStringLiteral("error %1").arg(error);
    }
}

namespace {

// The value as it will read back once stored as that type; empty for a
// value that cannot be converted to it.
std::optional<Value> storedAs(const Value& value, std::int32_t valueType) {
    if (valueType == TypeText) return Value(ToText(value));
    std::int32_t number = 0;
    if (valueType == TypeDword && ToInt32(value, number)) return Value(number);
    return std::nullopt;
}

// The right-hand side of a stored value's line; empty for text that would
// break the line (one value a line).
std::optional<QString> dataOf(const Value& stored) {
    if (const auto* number = std::get_if<std::int32_t>(&stored))
        return QStringLiteral("dword:%1").arg(static_cast<std::uint32_t>(*number), 8, 16, QChar(u'0'));
    const QString text = QString::fromStdString(ToText(stored));
    if (text.contains(u'\n') || text.contains(u'\r') || text.contains(QChar(0))) return std::nullopt;
    return u'"' + escaped(text) + u'"';
}

}  // namespace

QString ValueLine(const std::string& valueName, const Value& value, std::int32_t valueType) {
    const auto stored = storedAs(value, valueType);
    const auto data = stored ? dataOf(*stored) : std::nullopt;
    return data ? valueText(QString::fromStdString(valueName), *data) : QString();
}

std::int32_t WriteTypedValue(Key& key, const std::string& valueName, std::int32_t valueType, const Value& value) {
    const auto stored = storedAs(value, valueType);
    if (!stored) return InvalidData;
    const QString name = QString::fromStdString(valueName);
    if (name.contains(u'\n') || name.contains(u'\r')) return InvalidData;
    Document& d = *key.doc;
    if (d.refused()) return d.loadError;  // what could not be read is not written over

    Value current;
    if (fileValue(d, folded(name), current) == Success && current == *stored) {
        change(d, valueName, std::nullopt, true);  // kept as it stands
        return Success;
    }
    const auto data = dataOf(*stored);
    if (!data) return InvalidData;
    change(d, valueName, data, false);
    return Success;
}

std::int32_t ReadTypedValue(const Key& key, const std::string& valueName, Value& value) {
    const Document& d = *key.doc;
    if (d.refused()) return d.loadError;
    const QString name = folded(QString::fromStdString(valueName));
    if (const auto at = d.changeOf.constFind(name); at != d.changeOf.cend()) {
        const Change& change = d.changes[*at];
        // As the commit will leave it: an added value another process has
        // written since the file was read again stays that process's.
        const bool applies = !change.reverted && !(change.added && d.text.values.contains(name));
        if (applies) return change.data ? parseData(*change.data, value) : NotFound;
    }
    return fileValue(d, name, value);
}

std::int32_t SetKeyValue(const std::string& keyPath, const std::string& valueName, const Value& value,
                         std::int32_t valueType) {
    bool held = false;
    Key key = openKey(keyPath, held);
    const std::int32_t result = WriteTypedValue(key, valueName, valueType, value);
    if (result != Success || held) return result;  // a holder writes the file once, at its commit
    const auto unsaved = commit(*key.doc, {});
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
    const bool inFile = d.text.values.contains(folded(QString::fromStdString(valueName)));
    change(d, valueName, std::nullopt, !inFile);
    if (held) return Success;
    const auto unsaved = commit(d, {});
    return unsaved.empty() ? Success : unsaved.front().error;
}

std::int32_t DeleteKey(const std::string& keyPath) {
    bool held = false;
    Key key = openKey(keyPath, held);
    Document& d = *key.doc;
    if (d.refused()) return d.loadError;
    d.changes.clear();
    d.changeOf.clear();
    d.dropped = true;
    if (held) return Success;
    const auto unsaved = commit(d, {});
    return unsaved.empty() ? Success : unsaved.front().error;
}

std::vector<std::string> SubKeyNames(const std::string& keyPath) {
    bool held = false;
    const Key open = openKey(keyPath, held);
    const Document& d = *open.doc;
    std::vector<std::string> names;
    if (d.refused()) return names;
    const QString prefix = d.section + u'\\';
    for (const Line& line : d.text.lines) {
        const QString trimmed = line.text.trimmed();
        if (!trimmed.startsWith(u'[')) continue;
        const qsizetype close = trimmed.lastIndexOf(u']');
        const QString name = trimmed.mid(1, close > 0 ? close - 1 : -1).trimmed();
        if (!name.startsWith(prefix, Qt::CaseInsensitive)) continue;
        const QString below = name.mid(prefix.size());
        if (below.isEmpty() || below.contains(u'\\')) continue;
        const std::string sub = below.toStdString();
        if (std::find(names.begin(), names.end(), sub) == names.end()) names.push_back(sub);
    }
    return names;
}

std::vector<std::string> ValueNames(const std::string& keyPath) {
    bool held = false;
    const Key open = openKey(keyPath, held);
    const Document& d = *open.doc;
    std::vector<std::string> names;
    if (d.refused()) return names;
    for (std::size_t i = 0; i < d.text.lines.size(); ++i) {
        const Line& line = d.text.lines[i];
        if (!line.value) continue;
        const QString key = folded(line.name);
        if (d.text.values.value(key) != i) continue;  // a later line of the name counts
        const auto at = d.changeOf.constFind(key);
        if (at != d.changeOf.cend() && !d.changes[*at].reverted && !d.changes[*at].data) continue;
        names.push_back(line.name.toStdString());
    }
    for (const Change& change : d.changes)
        if (!change.reverted && change.data && !d.text.values.contains(folded(QString::fromStdString(change.name))))
            names.push_back(change.name);
    return names;
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

bool HeldKey::Refresh() {
    Document& d = *key_.doc;
    if (d.refused()) return false;
    QByteArray now;
    Text text;
    QString problem;
    const std::int32_t error = readText(d.path, d.section, now, text, problem);
    if (error != Success && error != NotFound) return false;
    d.loaded = now;
    d.text = std::move(text);
    return true;
}

std::vector<Unsaved> HeldKey::Commit(const std::function<void()>& underLock) { return commit(*key_.doc, underLock); }

StoredControl StoredForm(const vlx::ControlInfo& info, std::int32_t value) {
    if (info.id == vlx::Control::Tempo && value % 10 != 0) return {vlx::ToText(info.id, value), TypeText};
    if (info.id == vlx::Control::Tempo) return {value / 10, TypeDword};
    if (info.kind == vlx::ControlKind::List || info.kind == vlx::ControlKind::Steps)
        return {vlx::ToText(info.id, value), TypeText};
    return {value, TypeDword};
}

}  // namespace vlx::Util
