// SPDX-License-Identifier: GPL-3.0-or-later
// The window around the player's input path: keys from the host reach the
// player, the Retrigger box, errors in the player's cycles, and a host that
// is lost and comes back.
#include <algorithm>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <stdexcept>

#include "FormRig.h"

namespace vlx::test {
namespace {

class InputTest : public FormRig {
protected:
    Form1& startEnabled() {
        Form1& f = start();
        f.Enable->setChecked(true);
        host->Run(1);
        host->clearLog();
        return f;
    }
    std::vector<int> held() const {
        std::vector<int> notes;
        for (const auto& n : form->player()->engine().NoteAry()->NewEnum()) notes.push_back(n->chan * 1000 + n->Note);
        return notes;
    }
};

// The host's input reaches the player in its cycles; the Retrigger box
// rebuilds the pattern a second time for each new key from then on.
TEST_F(InputTest, KeysReachThePlayerAndTheRetriggerBoxRebuildsThePatternASecondTime) {
    Form1& f = startEnabled();
    f.Cycle->setCurrentText("Random");
    f.player()->engine().Cycle(Arpeggiator::CycleRandom);
    int draws = 0;
    f.player()->engine().SeedSource([&] { return static_cast<std::uint32_t>(++draws); });
    // Each rebuild (5 ms after the key, when its first step falls due)
    // draws a new order.
    host->Play({0x93, 60, 100});
    host->Run(10);
    EXPECT_EQ(held(), std::vector<int>{3060});
    EXPECT_EQ(draws, 1);
    f.Retrigger->setChecked(true);
    host->Play({0x93, 64, 100});
    host->Run(10);
    EXPECT_EQ(held(), (std::vector<int>{3060, 3064}));
    EXPECT_EQ(draws, 3);
    f.Retrigger->setChecked(false);
    host->Play({0x93, 67, 100});
    host->Run(10);
    EXPECT_EQ(draws, 4);
}

// An error in the player's cycle (here a tempo no window would hand it)
// switches arpeggiation off there; the window lets the button up and says
// why, once, and arpeggiation can be switched on again.
TEST_F(InputTest, AnErrorInThePlayerSwitchesOffOnceIsSaidAndThePlayerGoesOn) {
    store("Cycle", std::string("Up"), Util::TypeText);
    Form1& f = startEnabled();
    host->Run(399);
    host->Play({0x90, 60, 100});
    host->Run(10);
    EXPECT_EQ(host->TakeWritten(), (std::vector<FramedMessage>{{400 * 48, {0x90, 60, 100}}, {405 * 48, {0x90, 60, 100}}}))
        << "the key passes (not diverted) and its step 5 ms later";
    f.player()->Set(Control::Tempo, 7);
    f.player()->Set(Control::Resolution, 32);
    host->Run(200);  // the poll at 501
    EXPECT_TRUE(QTest::qWaitFor([&] { return !f.Enable->isChecked(); }, 2000));
    settle();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find("switched off"), std::string::npos) << messages[0];
    EXPECT_EQ(host->TakeWritten(), (std::vector<FramedMessage>{{501 * 48, {0x80, 60, 0}}})) << "what sounded stops";
    EXPECT_EQ(f.player()->busyCount(), -1);

    for (Control c : {Control::Tempo, Control::Resolution}) f.player()->Set(c, f.values()[c]);
    f.Enable->setChecked(true);
    host->Play({0x90, 62, 100});
    host->Run(10);
    EXPECT_EQ(held(), std::vector<int>{62});
    settle();
    EXPECT_EQ(messages.size(), 1u);
}

// Said once, beside the window: the window stays free (Alt+A, a close)
// while the connection is lost, and the notice goes by itself once the host
// is back (below).
TEST_F(InputTest, ALostConnectionIsSaidOnceAndSwitchesOff) {
    Form1& f = startEnabled();
    f.show();
    host->LoseConnection("JACK server shut down");
    host->LoseConnection("JACK server shut down");
    settle();
    EXPECT_FALSE(f.Enable->isChecked());
    const auto notices = f.findChildren<QMessageBox*>("ConnectionNotice");
    ASSERT_EQ(notices.size(), 1);
    EXPECT_TRUE(notices[0]->isVisible());
    EXPECT_NE(notices[0]->text().toStdString().find("JACK server shut down"), std::string::npos);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr) << "nothing waits for OK";
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(f.Status->text(), "MIDI connection lost");
    QApplication::setActiveWindow(&f);
    QTest::keyClick(&f, Qt::Key_A, Qt::AltModifier);
    EXPECT_TRUE(QTest::qWaitFor([&] { return f.Enable->isChecked(); }, 2000)) << "Alt+A reaches the window";
}

// The host's MIDI system comes back after a loss: the window tries every
// second until the host reopens, then carries on with the new host alone,
// which gets the window's state; the old host is heard no more.
TEST_F(InputTest, ALostHostIsReopenedWhenItsSystemIsBackAndTheWindowGoesOnWithIt) {
    Form1& f = startEnabled();
    f.CloseOnExit->setChecked(true);
    f.Divert->setChecked(true);
    host->Play({0x90, 60, 100});
    host->Run(1);
    auto fresh = std::make_shared<ScriptedHost>();
    fresh->clock = 5000;
    fresh->instance = 3;
    fresh->version = "Scripted 2.0";
    int attempts = 0;
    host->reopen = [&]() -> std::shared_ptr<HostAutomation> {
        if (++attempts < 3) throw std::runtime_error("not back yet");
        return fresh;
    };
    auto* reconnect = f.findChild<QTimer*>(QStringLiteral("Reconnect"));
    ASSERT_NE(reconnect, nullptr);
    reconnect->setInterval(5);

    host->LoseConnection("JACK server shut down");
    settle();
    EXPECT_FALSE(f.Enable->isChecked());
    EXPECT_EQ(f.Status->text(), "MIDI connection lost");
    QPointer<QMessageBox> notice = f.findChild<QMessageBox*>("ConnectionNotice");
    ASSERT_TRUE(notice);
    f.Enable->setChecked(true);  // pressed again while nothing answers
    ASSERT_TRUE(QTest::qWaitFor([&] { return f.host() == fresh; }, 2000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !notice || !notice->isVisible(); }, 2000)) << "gone by itself";
    EXPECT_EQ(attempts, 3);
    EXPECT_EQ(host->processor, nullptr) << "the lost host drives the player no more";
    EXPECT_EQ(fresh->processor, f.player());
    EXPECT_EQ(f.Status->text(), "Veloxa:3 Ver: Scripted 2.0");
    EXPECT_EQ(fresh->exitWithClient, 1);
    QTest::qWait(30);
    EXPECT_EQ(attempts, 3) << "no attempt once reopened";
    EXPECT_TRUE(held().empty()) << "what was held on the lost host is forgotten";

    // The new host's first cycle takes the switches as the window has them.
    fresh->Play({0x90, 62, 100});
    fresh->Run(10);
    EXPECT_TRUE(f.player()->Arpeggiating());
    EXPECT_EQ(held(), std::vector<int>{62});
    EXPECT_EQ(fresh->TakeWritten(), (std::vector<FramedMessage>{{5 * 48, {0x90, 62, 100}}})) << "diverted, arpeggiated";

    // Lost again: said again.
    fresh->LoseConnection("again");
    settle();
    EXPECT_FALSE(f.Enable->isChecked());
    notice = f.findChild<QMessageBox*>("ConnectionNotice");
    ASSERT_TRUE(notice);
    EXPECT_NE(notice->text().toStdString().find("again"), std::string::npos);
}

}  // namespace
}  // namespace vlx::test
