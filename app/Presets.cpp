// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/Presets.h"

#include <algorithm>
#include <set>

#include <QDir>
#include <QFile>
#include <QSaveFile>

#include "lv2/PresetTurtle.h"

namespace vlx::presets {

namespace {

std::string keyOf(const std::string& name) { return std::string(kKeyPath) + "\\" + name; }

// A name as a file name and URI: letters, digits, '-' and '_' as they are,
// any other byte as _XX, so that two names never share a file.
QString fileOf(const std::string& name) {
    QString file;
    for (const unsigned char c : name) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-')
            file += QChar(c);
        else
            file += u'_' + QString::number(c, 16).rightJustified(2, u'0').toUpper();
    }
    return file + QStringLiteral(".ttl");
}

bool writeIfChanged(const QString& path, const QByteArray& bytes, QString& problem) {
    QFile old(path);
    if (old.open(QIODevice::ReadOnly) && old.readAll() == bytes) return true;
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit()) return true;
    problem = QStringLiteral("%1: %2").arg(path, file.errorString());
    return false;
}

}  // namespace

QString NameProblem(const QString& name) {
    if (name.trimmed().isEmpty()) return QStringLiteral("A preset needs a name");
    if (name != name.trimmed()) return QStringLiteral("A preset's name cannot begin or end with a space");
    if (name.size() > 64) return QStringLiteral("A preset's name has at most 64 characters");
    for (const QChar c : name)
        if (c == u'\\' || c == u'[' || c == u']' || c.category() == QChar::Other_Control)
            return QStringLiteral("A preset's name cannot hold \\, [, ] or control characters");
    return {};
}

std::vector<Stored> Load(QStringList& refused) {
    std::vector<Stored> presets;
    std::set<int> taken;
    for (const std::string& name : Util::SubKeyNames(kKeyPath)) {
        if (!NameProblem(QString::fromStdString(name)).isEmpty()) continue;
        const Util::HeldKey key(keyOf(name));  // one reading for all its values
        Stored s;
        s.name = name;
        Util::Value value;
        std::int32_t program = 0;
        if (Util::GetKeyValue(keyOf(name), kProgramName, value) != Util::Success || !Util::ToInt32(value, program) ||
            program < 1 || program > 128 || taken.contains(program)) {
            refused << QStringLiteral("%1 (program %2)").arg(QString::fromStdString(name),
                                                              QString::fromStdString(Util::ToText(value)));
            continue;
        }
        taken.insert(program);
        s.program = static_cast<std::uint8_t>(program - 1);
        for (const ControlInfo& info : Controls()) {
            if (!info.settingsName || Util::GetKeyValue(keyOf(name), info.settingsName, value) != Util::Success) continue;
            if (const auto v = FromText(info.id, Util::ToText(value))) {
                s.preset.values[info.id] = *v;
                s.preset.sets.set(static_cast<std::size_t>(info.id));
            }
        }
        presets.push_back(std::move(s));
    }
    std::sort(presets.begin(), presets.end(), [](const Stored& a, const Stored& b) { return a.program < b.program; });
    return presets;
}

// As the settings store each control.
std::vector<Util::Unsaved> Save(const Stored& s) {
    Util::HeldKey key(keyOf(s.name));
    std::vector<Util::Unsaved> unsaved;
    const auto save = [&](const char* name, const Util::Value& value, std::int32_t type) {
        if (const std::int32_t error = Util::SetKeyValue(keyOf(s.name), name, value, type); error != Util::Success)
            unsaved.push_back({name, error, Util::ValueLine(name, value, type), Util::Describe(error)});
    };
    save(kProgramName, std::int32_t{s.program + 1}, Util::TypeDword);
    for (const ControlInfo& info : Controls()) {
        if (!info.settingsName || !s.preset.sets.test(static_cast<std::size_t>(info.id))) continue;
        const auto stored = Util::StoredForm(info, s.preset.values[info.id]);
        save(info.settingsName, stored.value, stored.type);
    }
    if (!unsaved.empty()) return unsaved;
    return key.Commit();
}

std::int32_t Remove(const std::string& name) { return Util::DeleteKey(keyOf(name)); }

QString BundlePath() { return QDir::homePath() + QStringLiteral("/.lv2/vlxarp-presets.lv2"); }

QString WriteBundle(const std::vector<Stored>& presets) {
    const QDir dir(BundlePath());
    if (presets.empty() && !dir.exists()) return {};
    if (!QDir().mkpath(dir.path())) return QStringLiteral("%1 cannot be created").arg(dir.path());
    std::vector<lv2::NamedPreset> named;
    for (const Stored& s : presets) named.push_back({s.name, fileOf(s.name).toStdString(), s.preset});
    QString problem;
    QStringList files = {QStringLiteral("manifest.ttl")};
    for (const lv2::NamedPreset& p : named) {
        files << QString::fromStdString(p.file);
        writeIfChanged(dir.filePath(files.back()), QByteArray::fromStdString(lv2::PresetTurtle(p)), problem);
    }
    // The manifest last: a host never finds a preset whose file is not there.
    writeIfChanged(dir.filePath(files.front()), QByteArray::fromStdString(lv2::ManifestTurtle(named)), problem);
    // The folder is the program's own: a preset deleted leaves no file.
    for (const QString& old : dir.entryList({QStringLiteral("*.ttl")}, QDir::Files))
        if (!files.contains(old)) QFile::remove(dir.filePath(old));
    return problem;
}

}  // namespace vlx::presets
