// The timer loop on the scripted clock: every wait of the loop jumps the
// clock to the millisecond the window asked to be woken at, so schedules are
// exact and nothing depends on real time.
#include <QComboBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <limits>

#include "FormRig.h"
#include "model/HostTime.h"

namespace vlx::test {
namespace {

class PumpTest : public FormRig {
protected:
    // Plays until the loop would sleep past `limit`, then switches off.
    // `at` runs at every wake-up with the new clock.
    void runUntil(std::int32_t limit, const std::function<void(std::int32_t)>& at = {}) {
        form->setIdleWait([this, limit, at](std::int32_t wakeAt) {
            wakes.push_back(wakeAt);
            if (wakeAt > limit) {
                form->Enable->setChecked(false);
                return;
            }
            host->clock = wakeAt;
            if (at) at(wakeAt);
        });
        form->Timer_Timer();
    }
    void hold(std::initializer_list<int> notes) {
        for (int n : notes) host->Input(0x90, n, 100);
    }
    static SentMessage on(std::int32_t t, int note) { return {t, -1, 0x90, note, 100}; }
    static SentMessage off(std::int32_t t, int note) { return {t, -1, 0x80, note, 0}; }

    std::vector<std::int32_t> wakes;
};

TEST_F(PumpTest, AHeldChordPlaysOnTheExactHostMilliseconds) {
    store("Tempo", std::int32_t{240}, Util::TypeDword);
    store("Resolution", std::string("16th"), Util::TypeText);  // 62 ms steps, notes sound 39 ms
    store("Cycle", std::string("Up"), Util::TypeText);
    Form1& f = start();
    f.Enable->setChecked(true);
    hold({67, 60, 64});

    // The timer's own tick starts the loop.
    bool ended = false;
    f.setIdleWait([&](std::int32_t wakeAt) {
        wakes.push_back(wakeAt);
        if (wakeAt > 1550) {
            f.Enable->setChecked(false);
            ended = true;
            return;
        }
        host->clock = wakeAt;
    });
    EXPECT_TRUE(f.Timer->isActive());
    ASSERT_TRUE(QTest::qWaitFor([&] { return ended; }, 5000));
    EXPECT_FALSE(f.Timer->isActive());

    std::vector<SentMessage> expected;
    std::vector<std::int32_t> expectedWakes;
    const int chord[] = {60, 64, 67};
    for (int k = 0; k < 9; ++k) {
        const std::int32_t t = 1005 + 62 * k;
        expected.push_back(on(t, chord[k % 3]));
        expected.push_back(off(t + 39, chord[k % 3]));
        expectedWakes.insert(expectedWakes.end(), {t, t + 39});
    }
    expectedWakes.push_back(1563);  // past the limit: switched off there
    EXPECT_EQ(host->sent, expected);
    // Woken exactly when a step falls due; the poll at 1501 coincides with one.
    EXPECT_EQ(wakes, expectedWakes);
    EXPECT_EQ(f.nextPoll(), 2001);
    EXPECT_EQ(f.busyCount(), -1);
}

TEST_F(PumpTest, OverdueStepsCatchUpOnePerPassWithoutPumpingAndMissedOnesPass) {
    store("Tempo", std::int32_t{240}, Util::TypeDword);
    store("Resolution", std::string("16th"), Util::TypeText);  // 62 ms steps from 1005, sounding 39 ms
    store("Cycle", std::string("Up"), Util::TypeText);
    struct Case {
        std::int32_t heldUpUntil;
        std::vector<std::string> log;
        std::vector<SentMessage> sent;
    };
    const Case cases[] = {
        // Under a period late: the step of 1005 goes out, then its note-off.
        {1060, {"wait 1005", "send", "send", "wait 1067"}, {on(1060, 60), off(1060, 60)}},
        // The steps of 1005, 1067 and 1129 were missed; 1191 is 9 ms late
        // (the switch-off at the next wait silences it).
        {1200, {"wait 1005", "send", "wait 1230", "send"}, {on(1200, 60), off(1200, 60)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.heldUpUntil);
        host = std::make_shared<ScriptedHost>();
        host->clock = 1000;
        Form1& f = start();
        f.Enable->setChecked(true);
        hold({60, 64, 67});

        std::vector<std::string> log;
        host->duringSend = [&] { log.push_back("send"); };
        f.setIdleWait([&](std::int32_t wakeAt) {
            log.push_back("wait " + std::to_string(wakeAt));
            if (host->clock == 1000)
                host->clock = c.heldUpUntil;
            else
                f.Enable->setChecked(false);
        });
        f.Timer_Timer();
        EXPECT_EQ(log, c.log);
        EXPECT_EQ(host->sent, c.sent);
    }
}

TEST_F(PumpTest, TheIdleWaitRingsWhereTheHostSaysItsMillisecondBeginsElseOnATimer) {
    struct Case {
        const char* what;
        std::int32_t clock;  // the next poll, at 1501, is this far ahead on the host clock
        bool hostTells;
    };
    for (const auto& c : {Case{"the host names a moment just past: at once, not in a minute", -59000, true},
                          Case{"the host cannot tell: a timer of 2 ms", 1499, false}}) {
        SCOPED_TRACE(c.what);
        host = std::make_shared<ScriptedHost>();
        host->clock = 1000;
        Form1& f = start();
        f.Enable->setChecked(true);
        host->clock = c.clock;
        std::vector<std::int32_t> asked;
        host->monotonicMicrosOf = [&](std::int32_t hostMs) -> std::optional<std::int64_t> {
            asked.push_back(hostMs);
            if (asked.size() == 3) f.Enable->setChecked(false);  // the loop ends after this wait
            if (!c.hostTells) return std::nullopt;
            return std::chrono::duration_cast<std::chrono::microseconds>(
                       std::chrono::steady_clock::now().time_since_epoch())
                .count();
        };
        bool guardFired = false;
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, [&] {
            guardFired = true;
            f.Enable->setChecked(false);
        });
        guard.start(5000);
        f.Timer_Timer();  // real waits: no scripted idle wait
        host->monotonicMicrosOf = nullptr;
        EXPECT_FALSE(guardFired);
        EXPECT_EQ(asked, (std::vector<std::int32_t>{1501, 1501, 1501}));
    }
}

TEST_F(PumpTest, SettingsReachThePlayingEngineAtThePollOnlyWhenChangedAndValid) {
    store("Cycle", std::string("Up"), Util::TypeText);
    Form1& f = start();  // 120 bpm quarters: 500 ms steps sounding 331 ms
    f.Enable->setChecked(true);
    hold({60});

    runUntil(4600, [&](std::int32_t t) {
        if (t >= 1336 && t < 1837) f.Cycle->setCurrentText("Down");  // applied at 1501, with a rebuild
        if (t >= 1837 && t < 2337) f.Tempo->setText("abc");          // being typed: left alone
        if (t >= 2337 && t < 3340) f.Tempo->setText("120.5");        // differs from 120 at every poll
        if (t >= 3340) {
            f.Tempo->setText("60");
            f.Octaves->setCurrentIndex(-1);  // no selection: skipped
        }
    });
    EXPECT_EQ(host->sent, (std::vector<SentMessage>{on(1005, 60), off(1336, 60), on(1506, 60), off(1837, 60),
                                                    on(2006, 60), off(2337, 60), on(2508, 60), off(2839, 60),
                                                    on(3009, 60), off(3340, 60), on(3510, 60), off(4175, 60),
                                                    on(4510, 60), off(4510, 60)}));
    const Arpeggiator& arp = *f.engine();
    EXPECT_EQ(arp.Cycle(), Arpeggiator::CycleDown);
    EXPECT_EQ(arp.Tempo(), 60);
    EXPECT_EQ(arp.period(), 1000);
    EXPECT_EQ(arp.Octaves(), 1);
    // Polls run one millisecond after each poll time, each setting the next.
    for (std::int32_t poll : {1501, 2002, 2503, 3004, 3505, 4006, 4507})
        EXPECT_NE(std::find(wakes.begin(), wakes.end(), poll), wakes.end()) << poll;
}

TEST_F(PumpTest, TimesWrapAroundLikeTheHostClock) {
    const std::int32_t t0 = std::numeric_limits<std::int32_t>::max() - 100;
    host->clock = t0;
    Form1& f = start();
    EXPECT_EQ(f.nextPoll(), hosttime::after(t0, 500));
    f.Enable->setChecked(true);
    hold({60});
    f.setIdleWait([&](std::int32_t wakeAt) {
        wakes.push_back(wakeAt);
        if (host->sent.size() >= 4)
            f.Enable->setChecked(false);
        else
            host->clock = wakeAt;
    });
    f.Timer_Timer();
    auto at = [t0](std::int32_t ms) { return hosttime::after(t0, ms); };
    EXPECT_EQ(host->sent, (std::vector<SentMessage>{on(at(5), 60), off(at(336), 60), on(at(505), 60),
                                                    off(at(836), 60)}));
    EXPECT_EQ(wakes, (std::vector<std::int32_t>{at(5), at(336), at(501), at(505), at(836), at(1002)}))
        << "the poll after the wrap runs at its time, not at once";
    EXPECT_EQ(f.nextPoll(), at(1001));
}

TEST_F(PumpTest, ChangesMadeWhileOffAreAppliedByTheFirstPollAfterSwitchingOn) {
    Form1& f = start();
    f.Resolution->setCurrentText("8th");
    f.Tempo->setText("60");
    EXPECT_EQ(f.engine()->Resolution(), 8);
    f.Enable->setChecked(true);
    runUntil(1501);
    EXPECT_EQ(f.engine()->Resolution(), 4);
    EXPECT_EQ(f.engine()->Tempo(), 60);
    EXPECT_EQ(f.engine()->period(), 500);
}

TEST_F(PumpTest, AnErrorInAPassSwitchesOffOnceAndGivesTheEngineBack) {
    Form1& f = start();
    f.Enable->setChecked(true);
    hold({60});
    host->duringSend = [] { throw std::runtime_error("output port gone"); };
    runUntil(2000);
    EXPECT_EQ(f.busyCount(), -1);
    EXPECT_FALSE(f.Enable->isChecked());
    EXPECT_FALSE(f.Timer->isActive());
    EXPECT_TRUE(f.engine()->IsEmpty());
    settle();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find("output port gone"), std::string::npos);

    // Input is handled again at once, not buffered behind a lost count.
    host->duringSend = nullptr;
    f.Enable->setChecked(true);
    hold({62});
    EXPECT_TRUE(f.inputQueue()->IsEmpty());
    EXPECT_FALSE(f.engine()->IsEmpty());
}

TEST_F(PumpTest, ALoopStartedWhileAHandlerHoldsTheEngineOnlyBuffersAndSleeps) {
    Form1& f = start();
    f.Enable->setChecked(true);
    host->divert = 1;
    int sleeps = 0;
    host->duringSleep = [&](std::int32_t n) {
        host->clock += n;
        if (++sleeps == 1) host->Input(0x90, 60, 100);
        if (sleeps == 2) f.Enable->setChecked(false);
    };
    bool first = true;
    host->duringSend = [&] {
        if (std::exchange(first, false)) f.Timer_Timer();  // the tick dispatched from inside the handler
    };
    host->Input(0xB0, 1, 2);  // forwarded: the send runs the nested loop
    EXPECT_EQ(sleeps, 2);
    EXPECT_EQ(f.busyCount(), -1);
    ASSERT_EQ(f.inputQueue()->Count(), 1);
    EXPECT_EQ(f.inputQueue()->Item(1)->lTime, 1005);
    EXPECT_TRUE(f.engine()->IsEmpty());
}

}  // namespace
}  // namespace vlx::test
