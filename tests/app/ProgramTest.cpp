// SPDX-License-Identifier: GPL-3.0-or-later
// The program around the window, on the scripted host: SIGTERM and a quit
// close it as two closes of the window would, never waiting for a person; a
// host that cannot be opened ends it with a failure status.
#include <csignal>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include "XServer.h"
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
                               form.Divert->setChecked(true);
                               host->Play({0x90, 60, 100});
                               host->Run(10);  // the first step sounds from 5
                               QTimer::singleShot(300, [] { std::raise(SIGTERM); });
                           });
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(wasEnabled);
    // The close waits for the player's last cycle: the scripted host's time
    // goes on while it does.
    EXPECT_EQ(host->TakeWritten(), (std::vector<FramedMessage>{{5 * 48, {0x90, 60, 100}}, {10 * 48, {0x80, 60, 0}}}));
    EXPECT_EQ(host->processor, nullptr);
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
                               // A tempo no window would hand over fails the player's
                               // poll: reported in a message box.
                               form.player()->Set(Control::Tempo, 7);
                               form.player()->Set(Control::Resolution, 32);
                               host->Run(600);
                           });
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(boxShown);
    EXPECT_TRUE(QFile::exists(Util::KeyFilePath(Form1::kKeyPath)));
}

// 240 accepted, 500 typed and refused, and the program told to end
// while the refusal is still on screen: the accepted tempo is saved.
TEST_F(ProgramTest, SigtermDuringTheTempoMessageSavesTheLastAcceptedTempo) {
    auto host = std::make_shared<ScriptedHost>();
    QString boxText;
    const int status = run([host] { return host; },
                           [&](Form1& form) {
                               QApplication::setActiveWindow(&form);
                               EXPECT_TRUE(QTest::qWaitForWindowActive(&form));
                               form.Tempo->setFocus();
                               for (const char* typed : {"240", "500"}) {
                                   form.Tempo->selectAll();
                                   QTest::keyClicks(form.Tempo, typed);
                                   if (std::string(typed) == "500") {
                                       QTimer::singleShot(300, [&] {
                                           if (auto* box = QApplication::activeModalWidget())
                                               boxText = box->findChild<QLabel*>("qt_msgbox_label")->text();
                                           std::raise(SIGTERM);
                                       });
                                   }
                                   QTest::keyClick(form.Tempo, Qt::Key_Tab);  // opens the message for 500
                                   form.Tempo->setFocus();
                               }
                           });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(boxText, "Value must be between 8 and 240");
    QFile file(Util::KeyFilePath(Form1::kKeyPath));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_TRUE(file.readAll().contains("\"Tempo\"=dword:000000f0"));
}

// The session manager's "die" quits the application, which closes the
// window: arpeggiation off and the settings saved in one go, no waiting.
TEST_F(ProgramTest, AQuitOfTheApplicationClosesAsASignalDoes) {
    auto host = std::make_shared<ScriptedHost>();
    const int status = run([host] { return host; },
                           [&](Form1& form) {
                               form.Enable->setChecked(true);
                               form.Octaves->setCurrentText("2");
                               host->Play({0x90, 60, 100});
                               host->Run(10);
                               QTimer::singleShot(100, [] { QCoreApplication::quit(); });
                           });
    EXPECT_EQ(status, 0);
    const auto written = host->TakeWritten();
    ASSERT_FALSE(written.empty());
    EXPECT_EQ(written.back(), (FramedMessage{10 * 48, {0x80, 60, 0}}));
    EXPECT_EQ(host->processor, nullptr);
    QFile file(Util::KeyFilePath(Form1::kKeyPath));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_TRUE(file.readAll().contains("\"Octaves\"=\"2\""));
}

TEST_F(ProgramTest, AHostThatCannotBeOpenedEndsTheProgramWithAFailure) {
    bool started = false;
    const int status = run([]() -> std::shared_ptr<HostAutomation> { throw std::runtime_error("no server"); },
                           [&](Form1&) { started = true; });
    EXPECT_NE(status, 0);
    EXPECT_FALSE(started);
    EXPECT_FALSE(QFile::exists(Util::KeyFilePath(Form1::kKeyPath)));
}

// A signal while the program starts ends it cleanly: before the window
// shows, or in the box of a start that failed (on a real X server).
TEST_F(ProgramTest, ASignalWhileStartingEndsTheProgramCleanly) {
    XServer x;
    qputenv("QT_QPA_PLATFORM", "xcb");
    qputenv("DISPLAY", QByteArray::fromStdString(x.display()));
    auto host = std::make_shared<ScriptedHost>();
    bool shown = false;
    EXPECT_EQ(run([host] { std::raise(SIGTERM); return host; }, [&](Form1&) { shown = true; }), 0);
    EXPECT_FALSE(shown);
    EXPECT_EQ(host.use_count(), 1) << "released";
    EXPECT_EQ(run([&]() -> std::shared_ptr<HostAutomation> {
                      // Once the box is up (however long a loaded machine takes), or given up on.
                      auto* poll = new QTimer(qApp);
                      QObject::connect(poll, &QTimer::timeout, [&, poll, tries = 0]() mutable {
                          shown = QApplication::activeModalWidget() != nullptr;
                          if (!shown && ++tries < 250) return;
                          poll->stop();
                          std::raise(SIGTERM);
                      });
                      poll->start(20);
                      throw std::runtime_error("no server");
                  }, {}), 1);
    EXPECT_TRUE(shown) << "the box was up";
}

}  // namespace
}  // namespace vlx::test
