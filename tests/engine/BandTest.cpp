// Playing with a band, engine side: the clock follower's count and
// measurement, the sustain latch, and steps placed by an outside clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "EngineRig.h"
#include "engine/ClockFollower.h"
#include "engine/SustainLatch.h"

namespace vlx {
namespace {

using test::Rig;
using test::SentMessage;
using State = ClockFollower::State;

// The tick times of a clock at `bpm` from t0, rounded to host milliseconds.
std::int32_t tickAt(double bpm, int k, std::int32_t t0 = 1000) {
    return t0 + static_cast<std::int32_t>(std::lround(k * 2500.0 / bpm));
}

TEST(ClockFollower, StepsFallOnEveryThreeTicksPerThirtySecondFromTheSongsStart) {
    // A script of clock messages, one letter each: t tick, S Start, C
    // Continue, P Stop, digits a Song Position in 16ths before them; and the
    // ticks (counted from 0 over the whole script) that carry a step.
    struct Case {
        std::int16_t resolution;
        std::string script;
        std::vector<int> steps;
    };
    const std::string bar(96, 't');
    const Case cases[] = {
        {1, "S" + std::string(13, 't'), {0, 3, 6, 9, 12}},
        {2, "S" + std::string(13, 't'), {0, 6, 12}},
        {4, "S" + std::string(25, 't'), {0, 12, 24}},
        {8, "S" + std::string(49, 't'), {0, 24, 48}},
        {16, "S" + bar, {0, 48}},
        {32, "S" + bar + "t", {0, 96}},
        // Ticks without a Start: the first one starts the count.
        {2, std::string(7, 't'), {0, 6}},
        // Start again mid-bar: its next tick is the first.
        {2, "Sttttt" "Sttttttt", {0, 5, 11}},
        // Stop: ticks are measured, not counted; Continue goes on from there.
        {2, "Sttt" "Ptttt" "Ctttt", {0, 10}},
        // A Song Position of 1 16th (6 ticks) before Continue: in 8ths, the
        // next step is 6 ticks on, the one after 12 more.
        {4, "Stt" "P1C" + std::string(19, 't'), {0, 8, 20}},
        {4, "P1Cttttttt", {6}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.script + " at resolution " + std::to_string(c.resolution));
        ClockFollower clock;
        const std::int32_t ticks = ClockFollower::TicksPerStep(c.resolution);
        std::vector<int> steps;
        int tick = 0;
        std::int32_t t = 1000;
        std::string digits;
        for (char m : c.script) {
            if (std::isdigit(static_cast<unsigned char>(m))) {
                digits += m;
                continue;
            }
            if (!digits.empty()) clock.SongPosition(std::stoi(std::exchange(digits, {})));
            if (m == 'S') clock.Start(t);
            if (m == 'C') clock.Continue(t);
            if (m == 'P') clock.Stop();
            if (m != 't') continue;
            if (clock.Tick(t, ticks)) steps.push_back(tick);
            ++tick;
            t += 21;
        }
        EXPECT_EQ(steps, c.steps);
        EXPECT_EQ(ClockFollower::TicksPerStep(c.resolution), 3 * c.resolution);
    }
}

TEST(ClockFollower, MeasuresTheTempoThroughJitterALateTickAndATempoChange) {
    ClockFollower clock;
    EXPECT_FALSE(clock.Tempo());
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> jitter(-2, 2);
    const std::int32_t ticks = ClockFollower::TicksPerStep(2);
    int k = 0;
    for (; k < 48; ++k) {
        const std::int32_t late = k == 40 ? 9 : 0;  // one tick stamped 9 ms late
        clock.Tick(tickAt(120, k) + jitter(rng) + late, ticks);
        if (k >= 2) {
            ASSERT_TRUE(clock.Tempo());
            EXPECT_NEAR(*clock.Tempo(), 120.0, k < 12 ? 15.0 : k < 24 ? 4.0 : 1.5) << "tick " << k;
        }
    }
    EXPECT_EQ(clock.StepPeriod(ticks), 125);
    EXPECT_EQ(clock.StepPeriod(96), 2000);
    // 120 -> 90 bpm: within a quarter note the measure has moved over.
    const std::int32_t from = tickAt(120, k) - tickAt(90, k);
    for (int j = 0; j < 24; ++j, ++k) clock.Tick(tickAt(90, k) + from, ticks);
    EXPECT_NEAR(*clock.Tempo(), 90.0, 0.5);
    EXPECT_NEAR(*clock.StepPeriod(ticks), 167, 1) << "166.7, from tick times in whole ms";
    // A clock far beyond any tempo still gives a step that can sound.
    ClockFollower fast;
    for (int j = 0; j < 10; ++j) fast.Tick(1000 + j, 1);
    EXPECT_EQ(fast.StepPeriod(1), 8);
}

TEST(ClockFollower, ARunningClockIsLostAfterTwoStepsWithoutATickAndComesBack) {
    ClockFollower clock;
    EXPECT_FALSE(clock.LossDeadline(125)) << "no clock, nothing to lose";
    clock.Tick(1000, 6);
    clock.Tick(1021, 6);
    EXPECT_EQ(clock.state(), State::Running);
    EXPECT_EQ(clock.LossDeadline(125), 1021 + 251);
    EXPECT_FALSE(clock.CheckLost(1271, 125));
    EXPECT_TRUE(clock.CheckLost(1272, 125));
    EXPECT_EQ(clock.state(), State::Absent);
    EXPECT_FALSE(clock.CheckLost(1400, 125)) << "said once";
    EXPECT_TRUE(clock.Tick(5000, 6)) << "back: a step on its first tick";
    EXPECT_EQ(clock.state(), State::Running);
    EXPECT_FALSE(clock.Tempo()) << "measured afresh after the gap";
    // Stopped, nothing is lost: the song stands still.
    clock.Stop();
    EXPECT_FALSE(clock.CheckLost(60000, 125));
    EXPECT_EQ(clock.state(), State::Stopped);
}

TEST(SustainLatch, HoldsReleasedKeysPerChannelAndANewChordReplacesTheHeldOne) {
    SustainLatch latch;
    using Notes = std::vector<std::uint8_t>;
    // Off, the pedal holds nothing.
    latch.Pedal(0, 127);
    latch.Press(0, 60);
    EXPECT_TRUE(latch.Release(0, 60));
    EXPECT_TRUE(latch.Hold(true).empty());

    latch.Press(0, 60);
    latch.Press(0, 64);
    latch.Press(1, 48);  // channel 1's pedal is up
    EXPECT_FALSE(latch.Release(0, 60));
    EXPECT_FALSE(latch.Release(0, 64));
    EXPECT_TRUE(latch.Release(1, 48));
    EXPECT_EQ(latch.Press(0, 67), (Notes{60, 64})) << "every key was up: a new chord";
    EXPECT_EQ(latch.Press(0, 72), Notes{}) << "67 is down: the chord grows";
    EXPECT_FALSE(latch.Release(0, 72));
    EXPECT_EQ(latch.Press(0, 72), Notes{72}) << "held by the pedal alone: not held twice";
    EXPECT_EQ(latch.Pedal(0, 63), Notes{}) << "72 and 67 are down";
    EXPECT_TRUE(latch.Release(0, 67));
    latch.Pedal(0, 64);
    EXPECT_FALSE(latch.Release(0, 72));
    latch.Pedal(1, 100);
    latch.Press(1, 50);
    EXPECT_FALSE(latch.Release(1, 50));
    EXPECT_EQ(latch.Hold(false), (std::vector<SustainLatch::Key>{{0, 72}, {1, 50}}));
    EXPECT_TRUE(latch.Release(1, 52));
}

// A clock places every step: ons exactly at their ticks and never by the
// engine's own time, offs by time, nothing sounding on after a stop, and the
// queues one cycle in time order throughout, whatever the spacing of the
// steps, the released keys and the stops.
TEST(HeldSteps, StepsGoOutAtTheirPlacedTimesOnlyAndTheQueuesStayOneCycleInOrder) {
    std::mt19937 rng(20260503);
    for (int trial = 0; trial < 40; ++trial) {
        SCOPED_TRACE(trial);
        Rig rig(120, 2, static_cast<std::int16_t>(1 + trial % 3), 1 + trial % 2,
                static_cast<std::int16_t>(1 + trial % 4), 1000);
        auto& arp = rig.arp;
        for (int key : {60, 64, 67, 71}) arp.Add(1000, 0, static_cast<std::uint8_t>(key), 100);
        const std::int16_t cycleSteps = arp.seqCount();
        std::size_t of64 = 0;  // the steps of the second note, released below
        for (const auto& e : arp.NoteOnQ()->NewEnum()) of64 += e->Index == 2 ? 1 : 0;
        arp.HoldSteps(true);
        rig.playUntil(1400);
        EXPECT_TRUE(rig.take().empty()) << "nothing goes out before the clock places it";

        std::int32_t t = 1400;
        std::vector<std::int32_t> placed;
        for (int step = 0; step < 60; ++step) {
            const auto period = static_cast<std::int16_t>(std::uniform_int_distribution<int>(40, 300)(rng));
            t += std::uniform_int_distribution<int>(period - 15, period + 15)(rng);  // jitter, tempo changes
            rig.playUntil(t - 1);
            arp.PlaceNextStep(t, period, Arpeggiator::CalcDuration(period, arp.Sustain()));
            placed.push_back(t);
            if (step == 20) arp.Remove(0, 64);  // its slots fall silent
            if (step == 40) arp.StopPlay();
            rig.playUntil(t);
            const auto ons = rig.onTimes();
            EXPECT_EQ(ons.size(), static_cast<std::size_t>(cycleSteps) - (step < 20 ? 0 : of64));
            for (std::size_t i = 1; i < ons.size(); ++i) EXPECT_LT(ons[i - 1], ons[i]);
            const auto offs = rig.offTimes();
            for (std::size_t i = 1; i < offs.size(); ++i) EXPECT_LE(offs[i - 1], offs[i]);
        }
        rig.playUntil(t + 400);
        arp.StopPlay();
        std::map<int, int> sounding;
        std::int32_t lastOn = 0;
        for (const SentMessage& m : rig.take()) {
            if ((m.status & 0xF0) == 0x90) {
                EXPECT_NE(std::find(placed.begin(), placed.end(), m.time), placed.end()) << "an on at " << m.time;
                EXPECT_GT(m.time, lastOn) << "one step per placement";
                lastOn = m.time;
                EXPECT_EQ(++sounding[m.data1], 1) << "pitch " << m.data1 << " twice at " << m.time;
            } else {
                EXPECT_EQ(sounding[m.data1]--, 1) << "an off for " << m.data1 << ", not sounding, at " << m.time;
            }
        }
        for (const auto& [pitch, n] : sounding) EXPECT_EQ(n, 0) << "pitch " << pitch << " left sounding";
    }
}

}  // namespace
}  // namespace vlx
