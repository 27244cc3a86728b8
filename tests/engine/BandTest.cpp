// SPDX-License-Identifier: GPL-3.0-or-later
// Playing with a band, engine side: the clock follower's count and
// measurement, and steps placed by an outside clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "EngineRig.h"
#include "engine/ClockFollower.h"

namespace vlx {
namespace {

using test::Rig;
using test::SentMessage;
using State = ClockFollower::State;

// The tick times of a clock at `bpm` from t0, rounded to host milliseconds.
std::int32_t tickAt(double bpm, int k, std::int32_t t0 = 1000) {
    return t0 + static_cast<std::int32_t>(std::lround(k * 2500.0 / bpm));
}

TEST(ClockFollower, StepsFallOnEveryThreeTicksPerThirtySecondFromTheSongsPosition) {
    // Two steps' worth of ticks after Start, at every resolution; then a
    // Song Position of 1 16th before Continue: the next tick stands at 6,
    // and steps fall where the song's tick count is a whole number of steps
    // (in 8ths, 6 ticks on). Start, Stop and Continue mid-song are seen in
    // the window's tests.
    for (std::int16_t resolution : {1, 2, 4, 8, 16, 32}) {
        const std::int32_t ticks = ClockFollower::TicksPerStep(resolution);
        EXPECT_EQ(ticks, 3 * resolution);
        ClockFollower clock;
        clock.Start(1000);
        std::vector<int> steps;
        for (int k = 0; k <= 2 * ticks; ++k)
            if (clock.Tick(tickAt(120, k), ticks)) steps.push_back(k);
        EXPECT_EQ(steps, (std::vector<int>{0, ticks, 2 * ticks})) << resolution;
        clock.Stop();
        EXPECT_FALSE(clock.Tick(tickAt(120, 2 * ticks + 1), ticks)) << "stopped: measured, not counted";
        clock.SongPosition(1);
        clock.Continue(tickAt(120, 2 * ticks + 2));
        std::vector<int> after, expected;
        for (int k = 0; k < 24; ++k) {
            if (clock.Tick(tickAt(120, 2 * ticks + 2 + k), ticks)) after.push_back(k);
            if ((6 + k) % ticks == 0) expected.push_back(k);
        }
        EXPECT_EQ(after, expected) << resolution;
    }
    // In pairs, each step on the tick nearest its place: dotted 32nds (4.5
    // ticks) alternate 4 and 5; a swing of 60 % puts a 16th's second step
    // 7 ticks into its pair of 12.
    EXPECT_EQ(ClockFollower::TicksPerPair(1, 3), 9);
    EXPECT_EQ(ClockFollower::TicksPerPair(2, 2), 8);
    for (const auto& [pair, swing, steps] : {std::tuple{9, 50, std::vector<int>{1, 0, 0, 0, 2, 0, 0, 0, 0, 1, 0, 0, 0, 2}},
                                             std::tuple{12, 60, std::vector<int>{1, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 1}}}) {
        ClockFollower clock;
        clock.Start(1000);
        std::vector<int> got;
        for (std::size_t k = 0; k < steps.size(); ++k)
            got.push_back(clock.TickPair(tickAt(120, static_cast<int>(k)), pair, ClockFollower::SecondTick(pair, swing)));
        EXPECT_EQ(got, steps) << pair << " ticks, swing " << swing;
    }
}

TEST(ClockFollower, MeasuresTheTempoThroughJitterALateTickAndATempoChangeAndNoticesItsLoss) {
    // The first ticks: the median of the slopes, the mean of the middle two
    // when their number is even.
    struct Row {
        std::vector<std::int32_t> ticks;
        double interval;
    } const rows[] = {
        {{0, 21}, 21.0},
        {{0, 21, 41}, 20.5},                // slopes 21, 20
        {{0, 21, 41, 62}, 21.0},            // 21, 20, 21
        {{0, 10, 30, 60, 100, 150}, 30.0},  // over two ticks: 15, 25, 35, 45
    };
    for (const Row& row : rows) {
        ClockFollower first;
        for (const std::int32_t t : row.ticks) first.Tick(1000 + t, 6);
        ASSERT_TRUE(first.TickInterval()) << row.ticks.size() << " ticks";
        EXPECT_DOUBLE_EQ(*first.TickInterval(), row.interval) << row.ticks.size() << " ticks";
    }

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

    // Lost once more than two steps pass without a tick; said once; back,
    // a step on its first tick, measured afresh. Stopped, nothing is lost.
    const std::int32_t last = tickAt(90, k - 1) + from;
    EXPECT_EQ(clock.LossDeadline(167), last + 335);
    EXPECT_FALSE(clock.CheckLost(last + 334, 167));
    EXPECT_TRUE(clock.CheckLost(last + 335, 167));
    EXPECT_EQ(clock.state(), State::Absent);
    EXPECT_FALSE(clock.CheckLost(last + 400, 167));
    EXPECT_TRUE(clock.Tick(last + 5000, ticks));
    EXPECT_EQ(clock.state(), State::Running);
    EXPECT_FALSE(clock.Tempo());
    clock.Stop();
    EXPECT_FALSE(clock.CheckLost(last + 60000, 167));
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
