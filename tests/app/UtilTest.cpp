// The per-user settings store: value types, file text, damaged files and
// failed writes.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <QDir>
#include <QFile>
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
    QString text() const {
        QFile f(file);
        if (!f.open(QIODevice::ReadOnly)) return {};
        return QString::fromUtf8(f.readAll());
    }
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

    // Writing keeps the readable values and drops the garbage.
    ASSERT_EQ(Util::SetKeyValue(kKey, "Cycle", std::string("Up"), Util::TypeText), 0);
    EXPECT_TRUE(text().contains("\"Blob\"=hex:01,02\n"));
    EXPECT_FALSE(text().contains("garbage"));
    EXPECT_EQ(Util::GetKeyValue(kKey, "Tempo", v), 0);
    EXPECT_EQ(v, Value(std::string("96")));
}

TEST_F(UtilTest, AFileThatCannotBeReadOrWrittenGivesAnErrorCode) {
    // A folder where the file should be: neither readable as values nor
    // replaceable, whoever runs the test.
    ASSERT_TRUE(QDir().mkpath(file));
    Value v;
    EXPECT_NE(Util::GetKeyValue(kKey, "Tempo", v), 0);
    EXPECT_NE(Util::SetKeyValue(kKey, "Tempo", std::int32_t{100}, Util::TypeDword), 0);
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
