// The MIDI input path: what each message does, buffering of input that finds
// the engine in use, and errors that must not stop the program.
#include <algorithm>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
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
        host->clearLog();
        return f;
    }
    std::vector<int> held() const {
        std::vector<int> notes;
        const auto& ary = *form->engine()->NoteAry();
        for (std::int32_t i = 1; i <= ary.Count(); ++i) notes.push_back(ary.Item(i)->chan * 1000 + ary.Item(i)->Note);
        return notes;
    }
};

TEST_F(InputTest, NotesReachTheEngineAndOtherMessagesPassOnlyWhenDiverted) {
    Form1& f = startEnabled();
    host->Input(0x93, 60, 100);
    EXPECT_EQ(held(), std::vector<int>{3060});
    EXPECT_EQ(f.engine()->NoteAry()->Item(1)->Velocity, 100);
    EXPECT_EQ(f.engine()->NoteOnQ()->Peek()->Trigger, 1005) << "the pattern starts 5 ms after HostTime";
    EXPECT_TRUE(host->sent.empty());

    host->Input(0x93, 64, 1);
    host->Input(0x83, 60, 64);  // note-off, velocity ignored
    EXPECT_EQ(held(), std::vector<int>{3064});
    host->Input(0x93, 64, 0);  // note-on with velocity 0 releases
    EXPECT_TRUE(held().empty());
    host->Input(0x82, 64, 0);  // releasing what is not held changes nothing
    EXPECT_TRUE(held().empty());
    EXPECT_TRUE(host->sent.empty());

    host->divert = 0;
    host->Input(0xB0, 7, 100);
    EXPECT_TRUE(host->sent.empty());
    host->divert = 1;
    for (auto [status, d1, d2] : {std::tuple{0xB0, 7, 100}, {0xA5, 60, 30}, {0xC1, 5, 0}, {0xE0, 0, 64},
                                  {0xF8, 0, 0}, {0xFF, 1, 2}})
        host->Input(status, d1, d2);
    EXPECT_EQ(host->sent, (std::vector<SentMessage>{{1000, -1, 0xB0, 7, 100},
                                                    {1000, -1, 0xA5, 60, 30},
                                                    {1000, -1, 0xC1, 5, 0},
                                                    {1000, -1, 0xE0, 0, 64},
                                                    {1000, -1, 0xF8, 0, 0},
                                                    {1000, -1, 0xFF, 1, 2}}));
    EXPECT_EQ(host->dues(), std::vector<std::optional<std::int32_t>>(6)) << "what passes through is due at once";
    EXPECT_EQ(f.busyCount(), -1);
}

// The host routes input itself unless arpeggiation is on with Divert Input
// checked. A press it routed sounds at the output, so its release must reach
// the output exactly once: from the host, or from the program once the host
// diverts; a press it held back gets no release forwarded.
TEST_F(InputTest, EveryPressThatPassedThroughGetsExactlyOneReleaseWhateverDivertDidMeanwhile) {
    Form1& f = start();
    enum Phase { Off, Through, Diverted };
    auto enter = [&](Phase phase) {
        f.Divert->setChecked(phase == Diverted);
        f.Enable->setChecked(phase != Off);
    };
    auto hostRoutes = [&] { return !(host->divert == 1 && host->raise == 1); };
    for (Phase pressed : {Off, Through, Diverted}) {
        for (Phase released : {Off, Through, Diverted}) {
            for (auto [status, velocity] : {std::pair{0x81, 64}, {0x91, 0}}) {
                const std::string when = "pressed in phase " + std::to_string(pressed) + ", released in " +
                                         std::to_string(released) + " by " + std::to_string(status);
                enter(Off);
                enter(pressed);
                host->Input(0x91, 62, 100);  // the program hears it only while arpeggiating
                const bool sounded = hostRoutes();
                enter(released);
                host->clearLog();
                host->Input(status, 62, velocity);
                const auto forwarded =
                    std::count(host->sent.begin(), host->sent.end(), SentMessage{1000, -1, status, 62, velocity});
                EXPECT_EQ(forwarded, sounded && !hostRoutes() ? 1 : 0) << when;
                EXPECT_TRUE(held().empty()) << when;
            }
        }
    }
}

TEST_F(InputTest, TheRetriggerBoxRebuildsThePatternASecondTime) {
    Form1& f = startEnabled();
    f.Cycle->setCurrentText("Random");
    f.engine()->Cycle(Arpeggiator::CycleRandom);
    int draws = 0;
    f.engine()->SeedSource([&] { return static_cast<std::uint32_t>(++draws); });
    host->Input(0x90, 60, 100);
    EXPECT_EQ(draws, 1);
    f.Retrigger->setChecked(true);
    host->Input(0x90, 64, 100);
    EXPECT_EQ(draws, 3);
    EXPECT_EQ(f.engine()->NoteOnQ()->Peek()->Trigger, 1005);
}

TEST_F(InputTest, InputNestedInAHandlerWaitsWithItsArrivalTimeAndIsReplayedByThePump) {
    Form1& f = startEnabled();
    host->Input(0x90, 60, 100);
    ASSERT_TRUE(f.engine()->MaybeTrigger(1005));  // 60 sounds

    // The next note-on silences 60 first; while that note-off is on its way
    // out, another message arrives.
    std::int32_t busyInside = 0;
    bool first = true;
    host->duringSend = [&] {
        if (!std::exchange(first, false)) return;
        host->clock = 1003;
        host->Input(0x90, 67, 90);
        busyInside = f.busyCount();
    };
    host->clock = 1001;
    host->Input(0x90, 64, 100);
    EXPECT_EQ(busyInside, 0) << "the nested handler gave its count back";
    EXPECT_EQ(f.busyCount(), -1);
    EXPECT_EQ(held(), (std::vector<int>{60, 64}));
    ASSERT_EQ(f.inputQueue()->Count(), 1);
    const auto waiting = f.inputQueue()->Item(1);
    EXPECT_EQ((std::vector<int>{waiting->lTime, waiting->Status, waiting->data1, waiting->data2}),
              (std::vector<int>{1003, 0x90, 67, 90}));

    // A message that finds the engine free is handled at once, before those
    // still waiting.
    host->clock = 1010;
    host->Input(0x80, 60, 0);
    EXPECT_EQ(held(), std::vector<int>{64});

    // The pump replays it as if it had been handled at 1003.
    std::vector<int> heldWhenIdle;
    f.setIdleWait([&](std::int32_t) {
        heldWhenIdle = held();
        f.Enable->setChecked(false);
    });
    f.Enable->setChecked(true);
    host->clearLog();
    f.Timer_Timer();
    EXPECT_TRUE(f.inputQueue()->IsEmpty());
    EXPECT_EQ(heldWhenIdle, (std::vector<int>{64, 67}));
    ASSERT_FALSE(host->sent.empty());
    EXPECT_EQ(host->sent.front(), (SentMessage{1010, -1, 0x90, 64, 100}))
        << "the replayed note-on of 1003 starts the pattern at 1008, due by 1010";
}

TEST_F(InputTest, AnErrorInTheInputPathSwitchesOffOnceAndKeepsRunning) {
    Form1& f = startEnabled();
    host->Input(0x90, 60, 100);
    ASSERT_TRUE(f.engine()->MaybeTrigger(1005));
    host->clearLog();

    host->Input(0x90, 300, 100);  // not a byte
    EXPECT_EQ(f.busyCount(), -1);
    EXPECT_FALSE(f.Enable->isChecked());
    EXPECT_EQ(host->sent, (std::vector<SentMessage>{{1000, -1, 0x80, 60, 0}})) << "what sounded was silenced";
    EXPECT_TRUE(f.engine()->IsEmpty());
    settle();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find("switched off"), std::string::npos);

    // The program goes on: arpeggiation can be switched on again and works.
    f.Enable->setChecked(true);
    host->Input(0x90, 62, 100);
    EXPECT_EQ(held(), std::vector<int>{62});
    settle();
    EXPECT_EQ(messages.size(), 1u);
}

TEST_F(InputTest, ALostConnectionIsSaidOnceAndSwitchesOff) {
    Form1& f = startEnabled();
    host->LoseConnection("JACK server shut down");
    host->LoseConnection("JACK server shut down");
    settle();
    EXPECT_FALSE(f.Enable->isChecked());
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find("JACK server shut down"), std::string::npos);
    EXPECT_EQ(f.Status->text(), "MIDI connection lost");
}

// The host's MIDI system comes back after a loss: the window tries every
// second until the host reopens, then carries on with the new host alone,
// which gets the window's state; the old host is heard no more.
TEST_F(InputTest, ALostHostIsReopenedWhenItsSystemIsBackAndTheWindowGoesOnWithIt) {
    Form1& f = startEnabled();
    f.CloseOnExit->setChecked(true);
    f.Divert->setChecked(true);
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
    f.Enable->setChecked(true);  // pressed again while nothing answers
    f.Timer->stop();             // (its pump loop is not run here)
    ASSERT_TRUE(QTest::qWaitFor([&] { return f.host() == fresh; }, 2000));
    EXPECT_EQ(attempts, 3);
    EXPECT_EQ(f.engine()->vlx(), fresh);
    EXPECT_EQ(f.Status->text(), "Veloxa:3 Ver: Scripted 2.0");
    EXPECT_EQ(fresh->exitWithClient, 1);
    EXPECT_EQ(fresh->raise, 1);
    EXPECT_EQ(fresh->divert, 1);
    QTest::qWait(30);
    EXPECT_EQ(attempts, 3) << "no attempt once reopened";

    host->ForceInput(0x90, 60, 100);
    EXPECT_TRUE(held().empty()) << "the old host is not heard";
    fresh->Input(0x90, 62, 100);
    EXPECT_EQ(held(), std::vector<int>{62});
    fresh->clock += 10;
    f.engine()->MaybeTrigger(fresh->clock);
    ASSERT_EQ(fresh->sent.size(), 1u);
    EXPECT_EQ(fresh->sent[0].data1, 62);
    EXPECT_TRUE(host->sent.empty() || host->sent.back().status != 0x90);

    // Lost again: said again.
    fresh->LoseConnection("again");
    settle();
    EXPECT_FALSE(f.Enable->isChecked());
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_NE(messages[1].find("again"), std::string::npos);
}

}  // namespace
}  // namespace vlx::test
