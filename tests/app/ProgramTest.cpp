// The program around the window, on the scripted host: SIGTERM closes it as
// two closes of the window would, and a host that cannot be opened ends it
// with a failure status.
#include <csignal>

#include <QApplication>
#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include "app/Program.h"
#include "app/Util.h"
#include "support/ScriptedHost.h"

namespace vlx::test {
namespace {

class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(config.isValid());
        qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    int run(const Form1::HostFactory& factory, const std::function<void(Form1&)>& started) {
        int argc = 1;
        char name[] = "vlxarp";
        char* argv[] = {name, nullptr};
        return RunProgram(argc, argv, factory, started);
    }
    QTemporaryDir config;
};

TEST_F(ProgramTest, SigtermSwitchesOffLetsTheNoteOffsOutSavesAndExitsZero) {
    auto host = std::make_shared<ScriptedHost>();
    bool wasEnabled = false;
    const int status = run([host] { return host; },
                           [&](Form1& form) {
                               QApplication::setActiveWindow(&form);
                               EXPECT_TRUE(QTest::qWaitForWindowActive(&form));
                               form.Tempo->setText("96");
                               QTest::keyClick(&form, Qt::Key_A, Qt::AltModifier);
                               EXPECT_TRUE(QTest::qWaitFor([&] { return form.Enable->isChecked(); }, 2000));
                               wasEnabled = form.Enable->isChecked();
                               host->Input(0x90, 60, 100);
                               host->clock = 10;  // the first step (at 5) is due
                               QTimer::singleShot(300, [] { std::raise(SIGTERM); });
                           });
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(wasEnabled);
    EXPECT_EQ(host->sent, (std::vector<SentMessage>{{10, -1, 0x90, 60, 100}, {10, -1, 0x80, 60, 0}}));
    EXPECT_EQ(host->raise, 0);
    EXPECT_EQ(host.use_count(), 1);
    QFile file(Util::KeyFilePath(Form1::kKeyPath));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_TRUE(file.readAll().contains("\"Tempo\"=dword:00000060"));
}

TEST_F(ProgramTest, SigtermEndsTheProgramEvenWithAnErrorMessageOpen) {
    auto host = std::make_shared<ScriptedHost>();
    bool boxShown = false;
    const int status = run([host] { return host; },
                           [&](Form1& form) {
                               form.Enable->setChecked(true);
                               QTimer::singleShot(200, [&] {
                                   boxShown = QApplication::activeModalWidget() != nullptr;
                                   std::raise(SIGTERM);
                               });
                               host->Input(0x90, 300, 100);  // not a byte: reported in a message box
                           });
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(boxShown);
    EXPECT_TRUE(QFile::exists(Util::KeyFilePath(Form1::kKeyPath)));
}

TEST_F(ProgramTest, AHostThatCannotBeOpenedEndsTheProgramWithAFailure) {
    bool started = false;
    const int status = run([]() -> std::shared_ptr<HostAutomation> { throw std::runtime_error("no server"); },
                           [&](Form1&) { started = true; });
    EXPECT_NE(status, 0);
    EXPECT_FALSE(started);
    EXPECT_FALSE(QFile::exists(Util::KeyFilePath(Form1::kKeyPath)));
}

}  // namespace
}  // namespace vlx::test
