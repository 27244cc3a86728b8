// SPDX-License-Identifier: GPL-3.0-or-later
// Parameters, the two timing calculations, and what stays stored when they fail.
#include <gtest/gtest.h>

#include <cstdint>

#include "EngineRig.h"
#include "model/Errors.h"

namespace vlx {
namespace {

using test::Rig;

struct TimingRow {
    std::int16_t tempo, resolution, period, staccato, normal, legato;
};

TEST(Timing, PeriodAndDurationTable) {
    const TimingRow rows[] = {
        {120, 8, 500, 165, 331, 498},     {120, 1, 62, 19, 39, 60},  // 62.5 rounds to even
        {60, 32, 4000, 1331, 2665, 3998}, {100, 2, 150, 48, 98, 148},
        {8, 32, 30000, 9998, 19998, 29998}, {8, 1, 938, 311, 623, 936},  // 937.5 rounds to even
        {240, 1, 31, 8, 19, 29},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(::testing::Message() << r.tempo << " bpm, resolution " << r.resolution);
        EXPECT_EQ(Arpeggiator::CalcPeriod(r.tempo, r.resolution), r.period);
        EXPECT_EQ(Arpeggiator::CalcDuration(r.period, Arpeggiator::Staccato), r.staccato);
        EXPECT_EQ(Arpeggiator::CalcDuration(r.period, Arpeggiator::Normal), r.normal);
        EXPECT_EQ(Arpeggiator::CalcDuration(r.period, Arpeggiator::Legatto), r.legato);
        // The engine derives the same values from its parameters.
        Rig rig(r.tempo, r.resolution, Arpeggiator::Legatto);
        EXPECT_EQ(rig.arp.period(), r.period);
        EXPECT_EQ(rig.arp.Duration(), r.legato);
    }
}

// Beyond the first page's lists: triplet and dotted steps, tenths of a bpm
// (rounded here; the grid keeps them exact), a gate instead of the Sustain
// code; the longest step stays 30 s.
TEST(Timing, TheTimingControlsGiveTheStepAndNoteLengths) {
    using T = Arpeggiator::Timing;
    const struct {
        std::int16_t tempo, resolution;
        T timing;
        std::int16_t period, duration;  // Normal sustain
    } rows[] = {
        {120, 8, T{}, 500, 331},                          // the plain step
        {120, 8, T{.feel = 2}, 333, 220},                 // 333.3
        {120, 8, T{.feel = 3}, 750, 498},
        {8, 32, T{.feel = 3}, 30000, 19998},              // 45 s held to 30
        {120, 1, T{.tenths = 1205}, 62, 39},              // 62.24
        {120, 8, T{.gate = 50}, 500, 250},
        {120, 8, T{.gate = 100}, 500, 498},               // ends 2 ms before the next, as Legatto
        {240, 1, T{.gate = 1}, 31, 1},
    };
    for (const auto& r : rows) {
        Rig rig(r.tempo, r.resolution, Arpeggiator::Normal);
        rig.arp.SetTiming(r.timing);
        EXPECT_EQ(rig.arp.period(), r.period) << r.tempo << " " << r.resolution << " " << r.timing.feel;
        EXPECT_EQ(rig.arp.Duration(), r.duration) << r.tempo << " " << r.resolution << " " << r.timing.gate;
    }
}

TEST(Timing, FailuresAreOverflowOrDivisionByZero) {
    EXPECT_THROW(Arpeggiator::CalcPeriod(0, 8), DivisionByZeroError);
    EXPECT_THROW(Arpeggiator::CalcPeriod(7, 32), OverflowError);  // 34286 ms
    EXPECT_EQ(Arpeggiator::CalcPeriod(-120, 8), -500);            // callers keep the range
    EXPECT_THROW(Arpeggiator::CalcDuration(30000, 4), OverflowError);   // 40000 before the subtraction
    EXPECT_THROW(Arpeggiator::CalcDuration(-32768, 3), OverflowError);  // -32768 - 2
    EXPECT_EQ(Arpeggiator::CalcDuration(0, 2), -2);
}

TEST(Parameters, CreationInitAndPlainAccessors) {
    Arpeggiator arp;
    EXPECT_EQ(arp.vlx(), nullptr);
    EXPECT_FALSE(arp.ShouldUpdate());
    ASSERT_NE(arp.NoteAry(), nullptr);
    ASSERT_NE(arp.NoteOnQ(), nullptr);
    ASSERT_NE(arp.NoteOffQ(), nullptr);
    ASSERT_NE(arp.PlayQ(), nullptr);
    EXPECT_TRUE(arp.IsEmpty());

    arp.ShouldUpdate(true);
    EXPECT_TRUE(arp.ShouldUpdate());
    arp.seqCount(9);
    arp.PlayQ()->Add(1, 1, 5);  // Init leaves the collections as they are
    arp.Init(777, 120, 8, 2, 3, 4);
    EXPECT_EQ(arp.now(), 777);
    EXPECT_EQ(arp.Tempo(), 120);
    EXPECT_EQ(arp.Resolution(), 8);
    EXPECT_EQ(arp.Sustain(), 2);
    EXPECT_EQ(arp.Octaves(), 3);
    EXPECT_EQ(arp.Cycle(), 4);
    EXPECT_EQ(arp.period(), 500);
    EXPECT_EQ(arp.Duration(), 331);
    EXPECT_EQ(arp.seqCount(), 0);
    EXPECT_EQ(arp.PlayQ()->Count(), 1);
    EXPECT_EQ(arp.NoteOnQ()->Count(), 0);

    // The collection sets replace what the engine holds.
    auto ary = std::make_shared<vlx::NoteAry>();
    arp.NoteAry(ary);
    EXPECT_EQ(arp.NoteAry(), ary);
}

TEST(Parameters, LetsRecalculateAndKeepWhatWasStoredWhenTheyFail) {
    Rig rig(120, 8, 2);
    auto& arp = rig.arp;
    arp.Sustain(Arpeggiator::Staccato);
    EXPECT_EQ(arp.Duration(), 165);
    arp.Resolution(1);
    EXPECT_EQ(arp.period(), 62);
    EXPECT_EQ(arp.Duration(), 19);
    arp.Tempo(240);
    EXPECT_EQ(arp.period(), 31);
    EXPECT_EQ(arp.Duration(), 8);
    arp.Octaves(3);  // stores only
    arp.Cycle(5);
    EXPECT_EQ(arp.period(), 31);
    EXPECT_EQ(arp.Duration(), 8);

    arp.Resolution(32);
    arp.Tempo(8);
    EXPECT_EQ(arp.period(), 30000);
    EXPECT_THROW(arp.Tempo(7), OverflowError);
    EXPECT_EQ(arp.Tempo(), 7);
    EXPECT_EQ(arp.period(), 30000);
    EXPECT_EQ(arp.Duration(), 9998);
    EXPECT_THROW(arp.Tempo(0), DivisionByZeroError);
    EXPECT_EQ(arp.Tempo(), 0);
    EXPECT_EQ(arp.period(), 30000);

    // UpdateParams stores all five before it calculates.
    EXPECT_THROW(arp.UpdateParams(0, 8, 2, 2, 3), DivisionByZeroError);
    EXPECT_EQ(arp.Resolution(), 8);
    EXPECT_EQ(arp.Octaves(), 2);
    EXPECT_EQ(arp.Cycle(), 3);
    EXPECT_EQ(arp.period(), 30000);
}

TEST(Parameters, FailingUpdatesAndInitKeepTheirOrder) {
    Rig rig(120, 8, 2);
    auto& arp = rig.arp;
    // A failing duration leaves the new period and the old duration.
    EXPECT_THROW(arp.UpdateParams(8, 32, 4, 1, 1), OverflowError);  // period 30000, duration 40000
    EXPECT_EQ(arp.Sustain(), 4);
    EXPECT_EQ(arp.period(), 30000);
    EXPECT_EQ(arp.Duration(), 331);

    arp.seqCount(6);
    EXPECT_THROW(arp.Init(4242, 0, 8, 2, 1, 1), DivisionByZeroError);
    EXPECT_EQ(arp.now(), 4242);    // stored first
    EXPECT_EQ(arp.seqCount(), 6);  // zeroed only after the timing succeeded
}

}  // namespace
}  // namespace vlx
