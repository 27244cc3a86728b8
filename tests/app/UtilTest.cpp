// SPDX-License-Identifier: GPL-3.0-or-later
// The per-user settings store: value types, the registry export format read
// and written back losslessly, hostile files and failed writes.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <functional>
#include <memory>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "app/Util.h"

namespace vlx {
namespace {

using Util::Value;

constexpr const char* kKey = "Software\\Veloxa\\VLXArp";

class UtilTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(config.isValid());
        qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
        file = config.path() + "/Veloxa/VLXArp.reg";
    }
    QByteArray bytes() const {
        QFile f(file);
        if (!f.open(QIODevice::ReadOnly)) return {};
        return f.readAll();
    }
    QString text() const { return QString::fromUtf8(bytes()); }
    void writeText(const QByteArray& bytes) const {
        QDir().mkpath(QFileInfo(file).absolutePath());
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
    }

    QTemporaryDir config;
    QString file;
};

TEST_F(UtilTest, KeyLivesUnderXdgConfigHomeOrHomeConfig) {
    EXPECT_EQ(Util::KeyFilePath(kKey), file);
    const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
    qunsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(Util::KeyFilePath(kKey), QDir::homePath() + "/.config/Veloxa/VLXArp.reg");
    qputenv("XDG_CONFIG_HOME", saved);
}

TEST_F(UtilTest, NoKeyAndNoValueAreNotFoundAndLeaveTheOutValue) {
    Value v = std::string("kept");
    EXPECT_EQ(Util::GetKeyValue(kKey, "Tempo", v), Util::NotFound);
    EXPECT_EQ(v, Value(std::string("kept")));

    ASSERT_EQ(Util::SetKeyValue(kKey, "Cycle", std::string("Up"), Util::TypeText), 0);
    EXPECT_EQ(Util::GetKeyValue(kKey, "Tempo", v), Util::NotFound);
    EXPECT_EQ(v, Value(std::string("kept")));
}

TEST_F(UtilTest, ValuesKeepTheirTypesInTheFileText) {
    ASSERT_EQ(Util::SetKeyValue(kKey, "Tempo", std::string("123"), Util::TypeDword), 0);
    ASSERT_EQ(Util::SetKeyValue(kKey, "Cycle", std::string("Up-Down"), Util::TypeText), 0);
    ASSERT_EQ(Util::SetKeyValue(kKey, "Divert", std::int32_t{-1}, Util::TypeDword), 0);
    ASSERT_EQ(Util::SetKeyValue(kKey, "Odd", std::string(R"(a "quoted" \path\)"), Util::TypeText), 0);
    // Writing a value again replaces it in place.
    ASSERT_EQ(Util::SetKeyValue(kKey, "Tempo", std::int32_t{120}, Util::TypeDword), 0);

    EXPECT_EQ(text(), "[HKEY_CURRENT_USER\\Software\\Veloxa\\VLXArp]\n"
                      "\"Tempo\"=dword:00000078\n"
                      "\"Cycle\"=\"Up-Down\"\n"
                      "\"Divert\"=dword:ffffffff\n"
                      "\"Odd\"=\"a \\\"quoted\\\" \\\\path\\\\\"\n");

    Value v;
    EXPECT_EQ(Util::GetKeyValue(kKey, "Tempo", v), 0);
    EXPECT_EQ(v, Value(std::int32_t{120}));
    EXPECT_EQ(Util::GetKeyValue(kKey, "Divert", v), 0);
    EXPECT_EQ(v, Value(std::int32_t{-1}));
    EXPECT_EQ(Util::GetKeyValue(kKey, "Odd", v), 0);
    EXPECT_EQ(v, Value(std::string(R"(a "quoted" \path\)")));
    EXPECT_EQ(Util::GetKeyValue(kKey, "cycle", v), 0) << "names are not case-sensitive";
    EXPECT_EQ(v, Value(std::string("Up-Down")));
}

TEST_F(UtilTest, IntegerValuesRoundNumericTextHalfToEvenAndRefuseOtherText) {
    Value v;
    for (const auto& [written, read] : {std::pair{"239.5", 240}, {"8.5", 8}, {" 96 ", 96}, {"-2.5", -2}}) {
        ASSERT_EQ(Util::SetKeyValue(kKey, "Tempo", std::string(written), Util::TypeDword), 0) << written;
        ASSERT_EQ(Util::GetKeyValue(kKey, "Tempo", v), 0);
        EXPECT_EQ(v, Value(std::int32_t{read})) << written;
    }
    EXPECT_EQ(Util::SetKeyValue(kKey, "Tempo", std::string("fast"), Util::TypeDword), Util::InvalidData);
    EXPECT_EQ(Util::SetKeyValue(kKey, "Tempo", std::string("1e10"), Util::TypeDword), Util::InvalidData);
    EXPECT_EQ(Util::SetKeyValue(kKey, "Cycle", std::string("two\nlines"), Util::TypeText), Util::InvalidData);
    ASSERT_EQ(Util::GetKeyValue(kKey, "Tempo", v), 0);
    EXPECT_EQ(v, Value(std::int32_t{-2})) << "a refused write leaves the stored value";
}

TEST_F(UtilTest, OtherTypesAndDamagedLinesReadAsUnreadable) {
    writeText("[HKEY_CURRENT_USER\\Software\\Veloxa\\VLXArp]\n"
              "\"Blob\"=hex:01,02\n"
              "\"Short\"=dword:7b\n"
              "\"NotHex\"=dword:0000007z\n"
              "\"Signed\"=dword:+000007b\n"
              "\"Open\"=\"never closed\n"
              "\xff\xfe garbage \x01\n"
              "\"Tempo\"=\"96\"\r\n"
              "\"Octaves\"=dword:00000002\n");
    Value v = std::string("kept");
    for (const char* name : {"Blob", "Short", "NotHex", "Signed", "Open"}) {
        EXPECT_EQ(Util::GetKeyValue(kKey, name, v), Util::OtherType) << name;
        EXPECT_EQ(v, Value(std::string("kept"))) << name;
    }
    // A tempo stored as text is still read, as text.
    EXPECT_EQ(Util::GetKeyValue(kKey, "Tempo", v), 0);
    EXPECT_EQ(v, Value(std::string("96")));
    EXPECT_EQ(Util::GetKeyValue(kKey, "Octaves", v), 0);
    EXPECT_EQ(Util::ToText(v), "2");
}

// One row a file: its bytes, what reads give, the values written, and the
// bytes after the save. Every line a write does not change stays as it was.
TEST_F(UtilTest, RegistryExportFilesReadAndSaveLosslessly) {
    const QByteArray header = "[HKEY_CURRENT_USER\\Software\\Veloxa\\VLXArp]";
    enum Order { LE, BE };
    auto utf16 = [](const QByteArray& text, Order order = LE, bool bom = true) {
        QByteArray out = !bom ? QByteArray() : order == LE ? QByteArray("\xff\xfe", 2) : QByteArray("\xfe\xff", 2);
        for (char c : text) order == LE ? out.append(c).append('\0') : out.append('\0').append(c);
        return out;
    };
    const QByteArray exported = "Windows Registry Editor Version 5.00\r\n\r\n" + header +
                                "\r\n\"Tempo\"=dword:000000f0\r\n\"Cycle\"=\"Up\"\r\n";
    const QByteArray exportedAfter = "Windows Registry Editor Version 5.00\r\n\r\n" + header +
                                     "\r\n\"Tempo\"=dword:00000060\r\n\"Cycle\"=\"Up\"\r\n";
    struct Read {
        const char* name;
        std::int32_t result;
        Value value;
    };
    struct Write {
        const char* name;
        Value value;
        std::int32_t type;
    };
    const Read tempo240{"Tempo", 0, std::int32_t{240}};
    const std::vector<Write> tempo96{{"Tempo", std::int32_t{96}, Util::TypeDword}};
    struct Row {
        const char* what;
        QByteArray in;
        std::vector<Read> reads;
        std::vector<Write> writes;
        QByteArray out;
    } rows[] = {
        {"the registry editor's own export: UTF-16LE, BOM, CRLF, another section first",
         utf16("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\Other]\r\n"
               "\"Tempo\"=dword:00000050\r\n\r\n" + header + "\r\n\"Tempo\"=dword:000000f0\r\n\"Cycle\"=\"Up\"\r\n\r\n"),
         {tempo240, {"Cycle", 0, std::string("Up")}},
         {{"Tempo", std::int32_t{96}, Util::TypeDword}, {"Octaves", std::string("2"), Util::TypeText}},
         utf16("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\Other]\r\n"
               "\"Tempo\"=dword:00000050\r\n\r\n" + header + "\r\n\"Tempo\"=dword:00000060\r\n\"Cycle\"=\"Up\"\r\n"
               "\"Octaves\"=\"2\"\r\n\r\n")},
        {"UTF-16LE without BOM", utf16(exported, LE, false), {tempo240, {"Cycle", 0, std::string("Up")}}, tempo96,
         utf16(exportedAfter, LE, false)},
        {"UTF-16BE without BOM", utf16(exported, BE, false), {tempo240, {"Cycle", 0, std::string("Up")}}, tempo96,
         utf16(exportedAfter, BE, false)},
        {"UTF-16BE with BOM", utf16(exported, BE), {tempo240}, tempo96, utf16(exportedAfter, BE)},
        {"UTF-8 with BOM, REGEDIT4, comments and spaces around '=', written back unchanged",
         "\xef\xbb\xbfREGEDIT4\r\n; kept\r\n" + header + "\r\n  \"Tempo\" = dword:000000F0 \r\n; also kept\r\n",
         {tempo240},
         {{"Tempo", std::int32_t{240}, Util::TypeDword}},
         "\xef\xbb\xbfREGEDIT4\r\n; kept\r\n" + header + "\r\n  \"Tempo\" = dword:000000F0 \r\n; also kept\r\n"},
        {"a value of another section is not VLXArp's; the new one joins VLXArp's section",
         "[HKEY_CURRENT_USER\\Software\\Other]\n\"Tempo\"=dword:00000050\n",
         {{"Tempo", Util::NotFound, {}}},
         tempo96,
         "[HKEY_CURRENT_USER\\Software\\Other]\n\"Tempo\"=dword:00000050\n\n" + header + "\n\"Tempo\"=dword:00000060\n"},
        {"a long binary value over continued lines, and a file without a last line end",
         header + "\n\"Blob\"=hex:01,02,\\\n  \"Tempo\"=dword:00000001,\\\n  03\n\"Tempo\"=dword:000000f0",
         {tempo240, {"Blob", Util::OtherType, {}}},
         {{"Tempo", std::int32_t{96}, Util::TypeDword}, {"Cycle", std::string("Down"), Util::TypeText}},
         header + "\n\"Blob\"=hex:01,02,\\\n  \"Tempo\"=dword:00000001,\\\n  03\n\"Tempo\"=dword:00000060\n"
                  "\"Cycle\"=\"Down\"\n"},
        {"of a name given twice the last wins, and the other goes at the save",
         header + "\n\"Cycle\"=\"Up\"\n\"Odd\"=\"a\"\n\"cycle\"=\"Down\"\n\"Odd\"=\"b\"\n",
         {{"Cycle", 0, std::string("Down")}, {"Odd", 0, std::string("b")}},
         tempo96,
         header + "\n\"cycle\"=\"Down\"\n\"Odd\"=\"b\"\n\"Tempo\"=dword:00000060\n"},
        {"lines that are no registry text stay where they were",
         header + "\n\xff\xfe\x01 garbage\n\"Tempo\"=dword:000000f0\n[unclosed\n\"Tempo\"=dword:00000001\n",
         {tempo240},
         tempo96,
         header + "\n\xff\xfe\x01 garbage\n\"Tempo\"=dword:00000060\n[unclosed\n\"Tempo\"=dword:00000001\n"},
        {"no file yet", {}, {{"Tempo", Util::NotFound, {}}}, tempo96, header + "\n\"Tempo\"=dword:00000060\n"},
        {"an old Mac's CR line ends", header + "\r\"Tempo\"=dword:000000f0\r; kept\r", {tempo240},
         {{"Tempo", std::int32_t{96}, Util::TypeDword}, {"Octaves", std::string("2"), Util::TypeText}},
         header + "\r\"Tempo\"=dword:00000060\r\"Octaves\"=\"2\"\r; kept\r"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        QFile::remove(file);
        if (!row.in.isNull()) writeText(row.in);
        Util::HeldKey held(kKey);
        EXPECT_TRUE(held.Problem().isEmpty());
        for (const Read& read : row.reads) {
            Value v;
            EXPECT_EQ(Util::GetKeyValue(kKey, read.name, v), read.result) << read.name;
            EXPECT_EQ(v, read.value) << read.name;
        }
        for (const Write& write : row.writes)
            EXPECT_EQ(Util::SetKeyValue(kKey, write.name, write.value, write.type), 0) << write.name;
        EXPECT_EQ(bytes(), row.in) << "nothing is written before the commit";
        EXPECT_TRUE(held.Commit().empty());
        EXPECT_EQ(bytes().toHex(' ').toStdString(), row.out.toHex(' ').toStdString());
        Value v;
        for (const Write& write : row.writes) {
            EXPECT_EQ(Util::GetKeyValue(kKey, write.name, v), 0);
            EXPECT_EQ(Util::ToText(v), Util::ToText(write.value));
        }
    }
}

// A subkey (a preset) is a section of its program's file: listed, written
// in its own section, and deleted with every line of it, the rest as it was.
TEST_F(UtilTest, SubkeysAreSectionsOfTheProgramsFileDeletedWithTheirLines) {
    const std::string verse = std::string(kKey) + "\\Presets\\Verse";
    EXPECT_EQ(Util::KeyFilePath(verse), file);
    const QByteArray before = "; kept\n[HKEY_CURRENT_USER\\Software\\Veloxa\\VLXArp]\n\"Tempo\"=dword:00000078\n\n"
                              "[HKEY_CURRENT_USER\\Software\\Veloxa\\VLXArp\\Presets\\Chorus]\n\"Odd\"=hex:01\n";
    writeText(before);
    Util::HeldKey settings(kKey);  // held over the preset's own writes, as the window does
    EXPECT_EQ(Util::SetKeyValue(verse, "Tempo", std::int32_t{90}, Util::TypeDword), 0);
    EXPECT_EQ(Util::SubKeyNames(std::string(kKey) + "\\Presets"), (std::vector<std::string>{"Chorus", "Verse"}));
    EXPECT_EQ(text(), QString::fromUtf8(before + "\n[HKEY_CURRENT_USER\\Software\\Veloxa\\VLXArp\\Presets\\Verse]\n"
                                                 "\"Tempo\"=dword:0000005a\n"));
    EXPECT_EQ(Util::DeleteKey(std::string(kKey) + "\\Presets\\Chorus"), 0);
    EXPECT_EQ(Util::SetKeyValue(kKey, "Cycle", std::string("Up"), Util::TypeText), 0);
    EXPECT_TRUE(settings.Commit().empty());
    EXPECT_EQ(text(), "; kept\n[HKEY_CURRENT_USER\\Software\\Veloxa\\VLXArp]\n\"Tempo\"=dword:00000078\n\"Cycle\"=\"Up\"\n\n"
                      "[HKEY_CURRENT_USER\\Software\\Veloxa\\VLXArp\\Presets\\Verse]\n\"Tempo\"=dword:0000005a\n");
}

// Another instance that closes meanwhile has written its own changes: they
// stay, and only what this one changed is written over them.
TEST_F(UtilTest, AHeldKeyReadsTheFileOnceAndWritesOnlyItsOwnChangesOnce) {
    ASSERT_EQ(Util::SetKeyValue(kKey, "Tempo", std::int32_t{90}, Util::TypeDword), 0);
    ASSERT_EQ(Util::SetKeyValue(kKey, "Retrigger", std::int32_t{0}, Util::TypeDword), 0);
    ASSERT_EQ(Util::SetKeyValue(kKey, "Octaves", std::string("2"), Util::TypeText), 0);
    auto held = std::make_unique<Util::HeldKey>(kKey);
    writeText("[HKEY_CURRENT_USER\\Software\\Veloxa\\VLXArp]\n\"Tempo\"=dword:00000050\n\"Retrigger\"=dword:00000001\n"
              "\"Octaves\"=\"2\"\n\"Sustain\"=\"Legatto\"\n");
    Value v;
    EXPECT_EQ(Util::GetKeyValue(kKey, "Tempo", v), 0);
    EXPECT_EQ(v, Value(std::int32_t{90})) << "read from memory, not from the file again";
    // A close writes every value; those it did not change leave the other's.
    ASSERT_EQ(Util::SetKeyValue(kKey, "Tempo", std::int32_t{90}, Util::TypeDword), 0);
    ASSERT_EQ(Util::SetKeyValue(kKey, "Retrigger", std::int32_t{0}, Util::TypeDword), 0);
    ASSERT_EQ(Util::SetKeyValue(kKey, "Octaves", std::string("3"), Util::TypeText), 0);
    // Not there when this one read the file: only added, and the other's stays.
    ASSERT_EQ(Util::SetKeyValue(kKey, "Sustain", std::string("Normal"), Util::TypeText), 0);
    ASSERT_EQ(Util::SetKeyValue(kKey, "Cycle", std::string("Up"), Util::TypeText), 0);
    ASSERT_EQ(Util::SetKeyValue(kKey, "Cycle", std::string("Down"), Util::TypeText), 0);
    EXPECT_EQ(Util::GetKeyValue(kKey, "Cycle", v), 0);
    EXPECT_EQ(v, Value(std::string("Down")));
    EXPECT_FALSE(text().contains("Cycle"));
    // Read again, the file shows the other's values beside what is staged.
    EXPECT_TRUE(held->Refresh());
    EXPECT_EQ(Util::GetKeyValue(kKey, "Tempo", v), 0);
    EXPECT_EQ(v, Value(std::int32_t{80}));
    EXPECT_EQ(Util::GetKeyValue(kKey, "Cycle", v), 0);
    EXPECT_EQ(v, Value(std::string("Down")));
    EXPECT_EQ(Util::GetKeyValue(kKey, "Sustain", v), 0);
    EXPECT_EQ(v, Value(std::string("Legatto")));
    EXPECT_TRUE(held->Commit().empty());
    held.reset();
    EXPECT_EQ(text(), "[HKEY_CURRENT_USER\\Software\\Veloxa\\VLXArp]\n\"Tempo\"=dword:00000050\n\"Retrigger\"=dword:00000001\n"
                      "\"Octaves\"=\"3\"\n\"Sustain\"=\"Legatto\"\n\"Cycle\"=\"Down\"\n");
    EXPECT_EQ(QDir(QFileInfo(file).absolutePath()).entryList(QDir::Files), QStringList{"VLXArp.reg"});

    // Two closes at the same moment take turns: a child's close waits while
    // another instance writes, then applies its change to what that wrote.
    const QByteArray others = bytes() + "\"Resolution\"=\"8th\"\n";
    QLockFile otherClose(file + ".lock");
    ASSERT_TRUE(otherClose.tryLock(0));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(Util::SetKeyValue(kKey, "Divert", std::int32_t{1}, Util::TypeDword) == 0 ? 0 : 1);
    usleep(100'000);  // the child has read the file and waits for the lock by now, or reads it later
    writeText(others);
    otherClose.unlock();
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_TRUE(text().contains("\"Resolution\"=\"8th\"\n") && text().contains("\"Divert\"=dword:00000001\n"))
        << text().toStdString();
}

// What is no small regular file is not read, says why, and is never written
// over; nothing waits on it.
TEST_F(UtilTest, AFifoADeviceAFolderOrAHugeFileIsRefusedAndLeftAlone) {
    QDir().mkpath(QFileInfo(file).absolutePath());
    const QByteArray path = QFile::encodeName(file);
    struct Setup {
        const char* what;
        std::function<void()> make;
        std::int32_t error;
    } setups[] = {
        {"a FIFO", [&] { ASSERT_EQ(mkfifo(path.constData(), 0600), 0); }, Util::NotAFile},
        {"a link to /dev/zero", [&] { ASSERT_TRUE(QFile::link("/dev/zero", file)); }, Util::NotAFile},
        {"a folder", [&] { ASSERT_TRUE(QDir().mkpath(file)); }, Util::NotAFile},
        {"a file over 1 MiB", [&] { writeText(QByteArray(Util::kMaxFileBytes + 1, ';')); }, Util::TooLarge},
        // Text whose encoding is not certain: written back, it could end in two.
        {"NUL bytes in what starts as UTF-8", [&] { writeText(QByteArray("[HKEY\0\0]\n", 9)); },
         Util::UnknownEncoding},
        {"UTF-16 without BOM, a NUL character in it", [&] { writeText(QByteArray("[\0\0\0]\0", 6)); },
         Util::UnknownEncoding},
        {"UTF-16 without BOM, an odd byte at the end", [&] { writeText(QByteArray("[\0]\0\n", 5)); },
         Util::UnknownEncoding},
    };
    for (const Setup& setup : setups) {
        SCOPED_TRACE(setup.what);
        QDir(file).removeRecursively();
        QFile::remove(file);
        setup.make();
        const QFileInfo before(file);
        Util::HeldKey held(kKey);
        EXPECT_FALSE(held.Problem().isEmpty());
        Value v = std::string("kept");
        EXPECT_EQ(Util::GetKeyValue(kKey, "Tempo", v), setup.error);
        EXPECT_EQ(v, Value(std::string("kept")));
        EXPECT_EQ(Util::SetKeyValue(kKey, "Tempo", std::int32_t{96}, Util::TypeDword), setup.error);
        EXPECT_TRUE(held.Commit().empty());
        const QFileInfo after(file);
        EXPECT_EQ(after.isSymLink(), before.isSymLink());
        EXPECT_EQ(after.isDir(), before.isDir());
        EXPECT_EQ(after.size(), before.size());
    }
}

// A commit that cannot write, or would write what the next start refuses,
// keeps the old file and names every staged value and why.
TEST_F(UtilTest, ACommitThatCannotWriteNamesEveryStagedValueAndWhy) {
    const QByteArray header = "[HKEY_CURRENT_USER\\Software\\Veloxa\\VLXArp]\n";
    QLockFile otherClose(file + ".lock");
    struct Setup {
        const char* what;
        std::function<void()> make;
        std::int32_t error;
    } const setups[] = {
        // Read as no file yet, but the new file cannot be put where the link points.
        {"a link into a folder that does not exist",
         [&] { ASSERT_TRUE(QFile::link(config.path() + "/gone/VLXArp.reg", file)); }, Util::WriteFault},
        {"a file of exactly 1 MiB",
         [&] { writeText(header + QByteArray(Util::kMaxFileBytes - header.size() - 1, ';') + '\n'); }, Util::TooLarge},
        {"a lock another process holds", [&] { ASSERT_TRUE(otherClose.tryLock(0)); }, Util::LockHeld},
    };
    for (const Setup& setup : setups) {
        SCOPED_TRACE(setup.what);
        QFile::remove(file);
        QDir().mkpath(QFileInfo(file).absolutePath());
        setup.make();
        const QByteArray before = bytes();
        Util::HeldKey held(kKey);
        EXPECT_TRUE(held.Problem().isEmpty());
        ASSERT_EQ(Util::SetKeyValue(kKey, "Tempo", std::int32_t{96}, Util::TypeDword), 0);
        ASSERT_EQ(Util::SetKeyValue(kKey, "Cycle", std::string("Up"), Util::TypeText), 0);
        const auto unsaved = held.Commit();
        ASSERT_EQ(unsaved.size(), 2u);
        EXPECT_EQ(unsaved[0].name, "Tempo");
        EXPECT_EQ(unsaved[0].line, "\"Tempo\"=dword:00000060");
        EXPECT_EQ(unsaved[1].name, "Cycle");
        EXPECT_EQ(unsaved[1].error, setup.error);
        EXPECT_FALSE(unsaved[1].reason.isEmpty());
        EXPECT_EQ(bytes(), before) << "the old file stays";
    }
}

TEST_F(UtilTest, AWriteThatRunsOutOfSpaceLeavesThePreviousFileWhole) {
    ASSERT_EQ(Util::SetKeyValue(kKey, "Cycle", std::string("Up"), Util::TypeText), 0);
    const QString before = text();

    // A child whose files may not grow past 256 bytes: a full disk as far as
    // the write is concerned, even for root.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{256, 256};
        setrlimit(RLIMIT_FSIZE, &limit);
        const auto result = Util::SetKeyValue(kKey, "Cycle", std::string(4096, 'x'), Util::TypeText);
        _exit(result == Util::WriteFault ? 0 : 100 + result);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the failed write must report WriteFault";
    EXPECT_EQ(text().toStdString(), before.toStdString());
    EXPECT_EQ(QDir(QFileInfo(file).absolutePath()).entryList(QDir::Files), QStringList{"VLXArp.reg"})
        << "no temporary file is left behind";
}

}  // namespace
}  // namespace vlx
