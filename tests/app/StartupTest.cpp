// SPDX-License-Identifier: GPL-3.0-or-later
// Start-up, switching arpeggiation on and off, and closing with its save.
#include <algorithm>

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>

#include "FormRig.h"

namespace vlx::test {
namespace {

using StartupTest = FormRig;

TEST_F(StartupTest, FirstStartTakesEveryDefault) {
    Form1& f = start();
    EXPECT_EQ(f.Tempo->text(), "120");
    EXPECT_EQ(f.VScrollTempo->value(), 1200);  // tenths of a bpm
    EXPECT_EQ(f.Octaves->currentText(), "1");
    EXPECT_EQ(f.Resolution->currentText(), "Quarter");
    EXPECT_EQ(f.Sustain->currentText(), "Normal");
    EXPECT_EQ(f.Cycle->currentText(), "Up-Down");
    EXPECT_FALSE(f.Divert->isChecked() || f.CloseOnExit->isChecked() || f.Retrigger->isChecked() ||
                 f.Enable->isChecked());
    EXPECT_EQ(f.Status->text(), "Veloxa:1 Ver: Scripted 1.0");

    // The player, driven by the host's cycles, initialised from the controls
    // at its own time 0; nothing plays yet.
    Player& player = *f.player();
    const Arpeggiator& arp = player.engine();
    EXPECT_EQ(arp.now(), 0);
    EXPECT_EQ((std::vector<int>{arp.Tempo(), arp.Resolution(), arp.Sustain(), arp.Octaves(), arp.Cycle()}),
              (std::vector<int>{120, 8, 2, 1, 3}));
    EXPECT_EQ(player.nextPoll(), 500);
    EXPECT_EQ(player.busyCount(), -1);
    EXPECT_TRUE(player.inputQueue().IsEmpty());
    EXPECT_FALSE(player.Arpeggiating());
    EXPECT_EQ(host->processor, &player);
    EXPECT_EQ(host->memberCalls(), (Calls{"InstanceNumber", "HostVersion", "Drive"}));
    EXPECT_EQ(host->calls.size(), 3u) << "the window reads no host time: the player keeps its own";
}

TEST_F(StartupTest, StoredSettingsAreRestoredWithTheHostCallsTheyCause) {
    store("Tempo", std::int32_t{90}, Util::TypeDword);
    store("Octaves", std::int32_t{3}, Util::TypeDword);  // an integer shown as its text
    store("Resolution", std::string("16th"), Util::TypeText);
    store("Sustain", std::string("Legatto"), Util::TypeText);
    store("Cycle", std::string("Random"), Util::TypeText);
    store("Divert", std::int32_t{1}, Util::TypeDword);
    store("CloseOnExit", std::int32_t{1}, Util::TypeDword);
    store("Retrigger", std::int32_t{1}, Util::TypeDword);
    host->raise = 1;  // a host that already raises input events gets the diversion at once

    Form1& f = start();
    EXPECT_EQ(f.Tempo->text(), "90");
    EXPECT_EQ(f.VScrollTempo->value(), 900);
    EXPECT_EQ(f.Octaves->currentText(), "3");
    EXPECT_EQ(f.Resolution->currentText(), "16th");
    EXPECT_EQ(f.Sustain->currentText(), "Legatto");
    EXPECT_EQ(f.Cycle->currentText(), "Random");
    EXPECT_TRUE(f.Divert->isChecked() && f.CloseOnExit->isChecked() && f.Retrigger->isChecked());
    const Arpeggiator& arp = f.player()->engine();
    EXPECT_EQ((std::vector<int>{arp.Tempo(), arp.Resolution(), arp.Sustain(), arp.Octaves(), arp.Cycle()}),
              (std::vector<int>{90, 2, 3, 3, 5}));
    EXPECT_EQ(host->memberCalls(), (Calls{"ExitWithClient=", "InstanceNumber", "HostVersion", "Drive"}));
    EXPECT_EQ(host->exitWithClient, 1);
}

// A stored Divert waits until arpeggiation is switched on: before, a key
// passes through; after, the player holds it back and arpeggiates it.
TEST_F(StartupTest, AStoredDivertTakesEffectWhenArpeggiationIsSwitchedOn) {
    store("Divert", std::int32_t{1}, Util::TypeDword);
    store("CloseOnExit", std::int32_t{0}, Util::TypeDword);
    Form1& f = start();
    EXPECT_EQ(host->memberCalls(), (Calls{"InstanceNumber", "HostVersion", "Drive"}));
    host->Play({0x90, 60, 100});
    host->Run(1);
    EXPECT_EQ(host->TakeWritten(), (std::vector<FramedMessage>{{0, {0x90, 60, 100}}}));
    EXPECT_TRUE(f.player()->engine().IsEmpty());
    f.Enable->setChecked(true);
    host->Play({0x90, 64, 100});
    host->Run(1);
    EXPECT_TRUE(host->TakeWritten().empty());
    EXPECT_EQ(f.player()->engine().NoteAry()->Count(), 1);
}

TEST_F(StartupTest, UnusableStoredValuesTakeTheirDefaults) {
    // Values there but unusable are said once, on stderr and in the status
    // line, each by name; the tempo among them when it is one.
    struct Row {
        const char* tempoLine;
        const char* shown;
        bool said;
    } const rows[] = {
        {"\"Tempo\"=\"300\"", "120", true},
        {"\"Tempo\"=\"7.9\"", "120", true},
        {"\"Tempo\"=\"fast\"", "120", true},
        {"\"Tempo\"=\"100.4\"", "100", false},  // rounded by the scroll bar
        {"\"Tempo\"=\"239.5\"", "240", false},
        {"\"Tempo\"=dword:00000008", "8", false},
        {"\"Tempo\"=dword:000003e8", "120", true},
        {"\"Tempo\"=dword:3e8", "120", true},
        {"\"Tempo\"=dword:00000000", "120", true},
        {"\"Tempo\"=dword:000000zz", "120", true},
        {"\"Tempo\"=hex(4):78,00,00,00", "120", true},
        {"", "120", false},  // none stored: the default, nothing to say
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.tempoLine);
        QFile file(Util::KeyFilePath(Form1::kKeyPath));
        ASSERT_TRUE(QDir().mkpath(QFileInfo(file).absolutePath()));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(QByteArray("[HKEY_CURRENT_USER\\Software\\Veloxa\\VLXArp]\n") + row.tempoLine + "\n");
        file.close();
        store("Cycle", std::string("Sideways"), Util::TypeText);
        store("Divert", std::string("yes"), Util::TypeText);
        store("Retrigger", std::int32_t{2}, Util::TypeDword);
        testing::internal::CaptureStderr();
        Form1& f = start();
        settle();
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_EQ(f.Tempo->text(), row.shown);
        EXPECT_EQ(f.player()->engine().Tempo(), QString(row.shown).toInt());
        EXPECT_EQ(f.Cycle->currentText(), "Up-Down");
        EXPECT_FALSE(f.Divert->isChecked());
        EXPECT_FALSE(f.Retrigger->isChecked());
        const std::string notice = "holds values VLXArp cannot use";
        EXPECT_NE(said.find(notice), std::string::npos) << said;
        EXPECT_EQ(said.find(notice), said.rfind(notice)) << "once";
        for (const char* named : {"Cycle (Sideways)", "Divert (yes)", "Retrigger (2)"})
            EXPECT_NE(said.find(named), std::string::npos) << named;
        EXPECT_EQ(said.find("Tempo (") != std::string::npos, row.said) << said;
        EXPECT_EQ(f.Status->text(), "Stored settings refused");
        EXPECT_TRUE(f.Status->toolTip().contains(QString::fromStdString(notice))) << f.Status->toolTip().toStdString();
        form.reset();
    }
    QFile file(Util::KeyFilePath(Form1::kKeyPath));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("\"Octaves\"=hex:02\n\x00\x01\x02 not a settings file");
    file.close();
    Form1& f = start();
    EXPECT_EQ(f.Octaves->currentText(), "1");
    EXPECT_EQ(f.Tempo->text(), "120");
}

// The window only hands the switch over; the player takes it in its next
// cycle, plays, and switched off silences what sounds and forgets what is
// held in the cycle after.
TEST_F(StartupTest, EnableSwitchesThePlayerOnAndOffInItsNextCycle) {
    store("Divert", std::int32_t{1}, Util::TypeDword);
    store("Cycle", std::string("Up"), Util::TypeText);
    Form1& f = start();
    host->clearLog();

    f.Enable->setChecked(true);
    EXPECT_EQ(host->memberCalls(), Calls{}) << "nothing of the host's is switched: the player routes the input";
    EXPECT_FALSE(f.player()->Arpeggiating());
    host->Play({0x90, 60, 100});
    host->Run(10);
    EXPECT_TRUE(f.player()->Arpeggiating());
    EXPECT_EQ(host->TakeWritten(), (std::vector<FramedMessage>{{5 * 48, {0x90, 60, 100}}}))
        << "held back, and played 5 ms later";

    f.Enable->setChecked(false);
    host->Run(1);
    EXPECT_FALSE(f.player()->Arpeggiating());
    EXPECT_EQ(host->TakeWritten(), (std::vector<FramedMessage>{{10 * 48, {0x80, 60, 0}}}));
    EXPECT_TRUE(f.player()->engine().IsEmpty());
    EXPECT_EQ(f.player()->engine().PlayQ()->Count(), 0);
    EXPECT_EQ(f.player()->engine().NoteOnQ()->Count(), 0);
}

TEST_F(StartupTest, DivertReachesThePlayerAndCloseOnExitTheHost) {
    Form1& f = start();
    auto passes = [&] {
        host->Play({0xB0, 7, 100});
        host->Run(1);
        return host->TakeWritten().size() == 1;
    };
    f.Divert->setChecked(true);  // not arpeggiating: remembered for later
    EXPECT_TRUE(passes());
    f.Enable->setChecked(true);
    host->Play({0x90, 60, 100});
    host->Run(1);
    EXPECT_TRUE(host->TakeWritten().empty()) << "diverted";
    f.Divert->setChecked(false);
    host->Play({0x80, 60, 100});
    host->Run(1);
    EXPECT_EQ(host->TakeWritten().size(), 1u) << "its release passes: the press was held back, not its release";
    f.CloseOnExit->setChecked(true);
    EXPECT_EQ(host->exitWithClient, 1);
    f.CloseOnExit->setChecked(false);
    EXPECT_EQ(host->exitWithClient, 0);
    // Closed with its connections ending, while a key and the pedal that
    // passed through are down: they are let go of at the synth first.
    f.CloseOnExit->setChecked(true);
    f.Enable->setChecked(false);
    for (const std::vector<std::uint8_t>& in : {std::vector<std::uint8_t>{0x90, 62, 90}, {0xB0, 64, 127}}) host->Play(in);
    host->Run(1);
    host->TakeWritten();
    f.endWithoutClose(false);
    host->Run(2);
    std::vector<std::vector<std::uint8_t>> last;
    for (const auto& m : host->TakeWritten()) last.push_back(m.bytes);
    EXPECT_EQ(last, (std::vector<std::vector<std::uint8_t>>{{0x80, 62, 0}, {0xB0, 64, 0}}));
}

TEST_F(StartupTest, TheFirstCloseOnlySwitchesOffAndTheSecondSavesAndReleases) {
    Form1& f = start();
    f.show();
    f.Enable->setChecked(true);
    host->clearLog();

    EXPECT_FALSE(f.close());
    EXPECT_TRUE(f.isVisible());
    EXPECT_FALSE(f.Enable->isChecked());
    host->Run(1);
    EXPECT_FALSE(f.player()->Arpeggiating());
    EXPECT_FALSE(QFile::exists(Util::KeyFilePath(Form1::kKeyPath))) << "nothing is saved yet";

    EXPECT_TRUE(f.close());
    EXPECT_FALSE(f.isVisible());
    EXPECT_TRUE(f.unloaded());
    EXPECT_EQ(f.player(), nullptr);
    EXPECT_EQ(host->processor, nullptr) << "no cycle runs the player it released";
    EXPECT_EQ(f.host(), nullptr);
    EXPECT_EQ(host.use_count(), 1) << "the window has let the host go";
    EXPECT_TRUE(settingsText().contains("\"Tempo\"=dword:00000078"));
    EXPECT_TRUE(messages.empty());
}

TEST_F(StartupTest, SavedSettingsComeBackAtTheNextStart) {
    Form1& f = start();
    f.Tempo->setText("75");
    f.Octaves->setCurrentText("2");
    f.Resolution->setCurrentText("32nd");
    f.Sustain->setCurrentText("Staccato");
    f.Cycle->setCurrentText("Down");
    f.Divert->setChecked(true);
    f.Retrigger->setChecked(true);
    ASSERT_TRUE(f.close());
    EXPECT_EQ(settingsText(), "[HKEY_CURRENT_USER\\Software\\Veloxa\\VLXArp]\n"
                              "\"Tempo\"=dword:0000004b\n"
                              "\"Octaves\"=\"2\"\n"
                              "\"Resolution\"=\"32nd\"\n"
                              "\"Sustain\"=\"Staccato\"\n"
                              "\"Cycle\"=\"Down\"\n"
                              "\"Divert\"=dword:00000001\n"
                              "\"CloseOnExit\"=dword:00000000\n"
                              "\"Retrigger\"=dword:00000001\n");

    form.reset();
    host = std::make_shared<ScriptedHost>();
    Form1& again = start();
    EXPECT_EQ(again.Tempo->text(), "75");
    EXPECT_EQ(again.Octaves->currentText(), "2");
    EXPECT_EQ(again.Resolution->currentText(), "32nd");
    EXPECT_EQ(again.Sustain->currentText(), "Staccato");
    EXPECT_EQ(again.Cycle->currentText(), "Down");
    EXPECT_TRUE(again.Divert->isChecked());
    EXPECT_FALSE(again.CloseOnExit->isChecked());
    EXPECT_TRUE(again.Retrigger->isChecked());
}

TEST_F(StartupTest, AFailedSaveIsShownPerValueAndTheCloseCompletes) {
    const std::vector<std::string> everyValue = {
        "SetKeyValue Tempo Failed",   "SetKeyValue Octaves Failed",     "SetKeyValue Resolution Failed",
        "SetKeyValue Sustain Failed", "SetKeyValue Cycle Failed",       "SetKeyValue Divert Failed",
        "SetKeyValue CloseOnExit Failed", "SetKeyValue Retrigger Failed"};
    // A link into a folder that does not exist: no file yet at the start,
    // but the new one cannot be put where the link points.
    const QString file = Util::KeyFilePath(Form1::kKeyPath);
    ASSERT_TRUE(QDir().mkpath(QFileInfo(file).absolutePath()));
    ASSERT_TRUE(QFile::link(config.path() + "/gone/VLXArp.reg", file));
    Form1& g = start();
    settle();
    EXPECT_TRUE(g.findChildren<QMessageBox*>("SettingsNotice").isEmpty());
    EXPECT_TRUE(g.close());
    EXPECT_TRUE(g.unloaded());
    EXPECT_EQ(messages, everyValue);
    EXPECT_EQ(g.exitStatus(), 0) << "the user has seen the messages";

    // Closed for its surroundings, it shows nothing: one line a value on
    // stderr, naming the file and the reason, and a failure status.
    form.reset();
    messages.clear();
    Form1& h = start();
    h.setUnattended();
    testing::internal::CaptureStderr();
    EXPECT_TRUE(h.close());
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(h.exitStatus(), 1);
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 8) << said;
    EXPECT_NE(said.find("\"Tempo\"=dword:00000078 was not saved to " + file.toStdString() + ": "), std::string::npos)
        << said;
}

// A file that is not read is said once, at the start, and never written
// over: the close shows nothing more. Closed for its surroundings, it tells
// its log what each value lost, and fails.
TEST_F(StartupTest, ASettingsFileRefusedAtTheStartIsSaidOnceAndLeftAlone) {
    ASSERT_TRUE(QDir().mkpath(Util::KeyFilePath(Form1::kKeyPath)));  // a folder in its place
    for (const bool unattended : {false, true}) {
        SCOPED_TRACE(unattended ? "closed by a signal" : "closed by the user");
        testing::internal::CaptureStderr();
        Form1& f = start();
        f.Tempo->setText("96");
        settle();
        const auto notices = f.findChildren<QMessageBox*>("SettingsNotice");
        ASSERT_EQ(notices.size(), 1) << "said once, at the start";
        EXPECT_TRUE(notices[0]->text().contains("was not read: it is not a regular file"))
            << notices[0]->text().toStdString();
        EXPECT_FALSE(notices[0]->isModal()) << "the window goes on working with its defaults";
        if (unattended) f.setUnattended();
        EXPECT_TRUE(f.close());
        const std::string said = testing::internal::GetCapturedStderr();
        const std::string notice = "The settings file " + Util::KeyFilePath(Form1::kKeyPath).toStdString();
        EXPECT_NE(said.find(notice), std::string::npos) << said;
        EXPECT_EQ(said.find(notice), said.rfind(notice)) << "once: " << said;
        const std::string lost = "\"Tempo\"=dword:00000060 was not saved to " +
                                 Util::KeyFilePath(Form1::kKeyPath).toStdString() +
                                 ": the file was not read: it is not a regular file\n";
        EXPECT_EQ(said.find(lost) != std::string::npos, unattended) << said;
        EXPECT_TRUE(messages.empty());
        EXPECT_EQ(f.exitStatus(), unattended ? 1 : 0);
        EXPECT_TRUE(QFileInfo(Util::KeyFilePath(Form1::kKeyPath)).isDir());
        form.reset();
    }
}

TEST_F(StartupTest, AHostThatCannotBeCreatedFailsTheStart) {
    EXPECT_THROW(Form1([]() -> std::shared_ptr<HostAutomation> { throw std::runtime_error("no JACK, no ALSA"); }),
                 std::runtime_error);
}

}  // namespace
}  // namespace vlx::test
