// SPDX-License-Identifier: GPL-3.0-or-later
// The pass each cycle mode lays out, its timing, and Random passes of any size.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <map>
#include <set>
#include <vector>

#include "EngineRig.h"
#include "model/Errors.h"
#include "model/HostTime.h"

namespace vlx {
namespace {

using test::Rig;
using test::Step;

// Every step has its note-off entry at its own note's Duration after its
// note-on, note-ons are one period apart from `start`, and seqCount counts them.
void expectConsistentPass(const Rig& rig, std::int32_t start) {
    const auto& arp = rig.arp;
    const auto n = arp.NoteAry()->Count();
    ASSERT_EQ(arp.NoteOnQ()->Count(), arp.seqCount());
    ASSERT_EQ(arp.NoteOffQ()->Count(), arp.seqCount());
    for (std::int32_t i = 1; i <= arp.seqCount(); ++i) {
        const auto& on = arp.NoteOnQ()->Item(i);
        const auto& off = arp.NoteOffQ()->Item(i);
        SCOPED_TRACE(::testing::Message() << "step " << i);
        ASSERT_GE(on->Index, 1);
        ASSERT_LE(on->Index, n);
        ASSERT_GE(on->OctMult, 1);
        ASSERT_LE(on->OctMult, arp.Octaves());
        EXPECT_EQ(off->Index, on->Index);
        EXPECT_EQ(off->OctMult, on->OctMult);
        EXPECT_EQ(on->Trigger, hosttime::after(start, (i - 1) * arp.period()));
        EXPECT_EQ(off->Trigger, hosttime::after(on->Trigger, arp.NoteAry()->Item(on->Index)->Duration));
    }
}

std::vector<Step> sorted(std::vector<Step> v) {
    std::sort(v.begin(), v.end());
    return v;
}

// The Up-Down pass of n notes over k octaves as (position, octave) pairs.
std::vector<Step> upDown(int n, int k) {
    std::vector<Step> out;
    for (int o = 1; o <= k; ++o)
        for (int p = 1; p <= n; ++p) out.emplace_back(p, o);
    for (int o = k; o >= 1; --o)
        for (int p = n; p >= 1; --p)
            if (!(o == k && p == n) && !(o == 1 && p == 1)) out.emplace_back(p, o);
    return out;
}

void hold(Rig& rig, std::int32_t t, std::initializer_list<int> notes, int chan = 0) {
    for (int note : notes)
        rig.arp.Add(t, static_cast<std::uint8_t>(chan), static_cast<std::uint8_t>(note), 100);
}

TEST(Pattern, FivePassesOfCEGOverTwoOctaves) {
    struct Row {
        std::int16_t cycle;
        std::vector<int> pitches;
        Arpeggiator::Shape shape = {};
    };
    const Row rows[] = {
        {Arpeggiator::CycleUp, {60, 64, 67, 72, 76, 79}},
        {Arpeggiator::CycleDown, {79, 76, 72, 67, 64, 60}},
        {Arpeggiator::CycleUpDown, {60, 64, 67, 72, 76, 79, 76, 72, 67, 64}},
        {Arpeggiator::CycleDownUp, {79, 76, 72, 67, 64, 60, 64, 67, 72, 76}},
        // Down walks the octaves of the Up order the other way round too.
        {Arpeggiator::CycleDown, {67, 64, 60, 79, 76, 72}, {Arpeggiator::OctavesDown}},
        {Arpeggiator::CycleUpDown, {72, 76, 79, 60, 64, 67, 64, 60, 79, 76}, {Arpeggiator::OctavesDown}},
        {Arpeggiator::CycleAsPlayed, {67, 60, 64, 79, 72, 76}},
        {Arpeggiator::CycleDownUp, {79, 79, 76, 76, 72, 72, 67, 67, 64, 64, 60, 60, 64, 64, 67, 67, 72, 72, 76, 76},
         {Arpeggiator::OctavesUp, 2}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(::testing::Message() << "cycle " << row.cycle << ", octaves " << row.shape.octaveOrder);
        Rig rig(120, 8, 2, 2, row.cycle);
        rig.arp.SetShape(row.shape);
        hold(rig, 1000, {67, 60, 64});
        EXPECT_EQ(rig.passPitches(), row.pitches);
        EXPECT_EQ(rig.arp.seqCount(), static_cast<std::int16_t>(row.pitches.size()));
        expectConsistentPass(rig, 1005);
    }
    Rig upDownRig(120, 8, 2, 2, Arpeggiator::CycleUpDown);
    hold(upDownRig, 1000, {60, 64, 67});
    EXPECT_EQ(upDownRig.onSteps(), upDown(3, 2));
    EXPECT_EQ(upDownRig.onSteps(),
              (std::vector<Step>{{1, 1}, {2, 1}, {3, 1}, {1, 2}, {2, 2}, {3, 2}, {2, 2}, {1, 2}, {3, 1}, {2, 1}}));

    // Random plays the Up-Down steps in a shuffled order.
    Rig random(120, 8, 2, 2, Arpeggiator::CycleRandom);
    random.arp.SeedSource([] { return 12345u; });
    hold(random, 1000, {60, 64, 67});
    EXPECT_EQ(random.arp.seqCount(), 10);
    auto pitches = random.passPitches();
    std::sort(pitches.begin(), pitches.end());
    EXPECT_EQ(pitches, (std::vector<int>{60, 64, 64, 67, 67, 72, 72, 76, 76, 79}));
    expectConsistentPass(random, 1005);
    // Repeated, each drawn step plays its times in a row.
    random.arp.SetShape({Arpeggiator::OctavesUp, 3});
    random.arp.Retrigger(2000);
    pitches = random.passPitches();
    ASSERT_EQ(pitches.size(), 30u);
    for (std::size_t i = 0; i < 30; i += 3) EXPECT_TRUE(pitches[i] == pitches[i + 1] && pitches[i] == pitches[i + 2]) << i;
}

TEST(Pattern, TimingExampleAt10000) {
    Rig rig(120, 8, Arpeggiator::Normal, 1, Arpeggiator::CycleUp);
    hold(rig, 9000, {64, 67, 60});
    rig.arp.Retrigger(10000);
    EXPECT_EQ(rig.onSteps(), (std::vector<Step>{{1, 1}, {2, 1}, {3, 1}}));
    EXPECT_EQ(rig.offSteps(), (std::vector<Step>{{1, 1}, {2, 1}, {3, 1}}));
    EXPECT_EQ(rig.onTimes(), (std::vector<std::int32_t>{10005, 10505, 11005}));
    EXPECT_EQ(rig.offTimes(), (std::vector<std::int32_t>{10336, 10836, 11336}));
    EXPECT_EQ(rig.arp.seqCount(), 3);
}

TEST(Pattern, SmallAndDegeneratePasses) {
    const std::int16_t cycles[] = {1, 2, 3, 4, 5};
    for (auto cycle : cycles) {
        SCOPED_TRACE(::testing::Message() << "cycle " << cycle);
        Rig none(120, 8, 2, 3, cycle);
        none.arp.seqCount(7);
        none.arp.Retrigger(100);
        EXPECT_EQ(none.arp.NoteOnQ()->Count(), 0);
        EXPECT_EQ(none.arp.NoteOffQ()->Count(), 0);
        EXPECT_EQ(none.arp.seqCount(), 0);

        Rig one(120, 8, 2, 1, cycle);
        hold(one, 100, {60});
        EXPECT_EQ(one.passPitches(), std::vector<int>{60});
        expectConsistentPass(one, 105);

        Rig twoOctaves(120, 8, 2, 2, cycle);
        hold(twoOctaves, 100, {60});
        auto pitches = twoOctaves.passPitches();
        EXPECT_EQ(pitches.size(), 2u);  // the top and bottom steps once each
        if (cycle == Arpeggiator::CycleUp || cycle == Arpeggiator::CycleUpDown) {
            EXPECT_EQ(pitches, (std::vector<int>{60, 72}));
        } else if (cycle != Arpeggiator::CycleRandom) {
            EXPECT_EQ(pitches, (std::vector<int>{72, 60}));
        }
    }

    // The same pitch on two channels is two positions, played in arrival order.
    Rig channels(120, 8, 2, 1, Arpeggiator::CycleUp);
    hold(channels, 100, {60}, 1);
    hold(channels, 100, {60}, 0);
    EXPECT_EQ(channels.passPitches(), (std::vector<int>{60, 60}));
    EXPECT_EQ(channels.arp.NoteAry()->Item(1)->chan, 1);
    EXPECT_EQ(channels.arp.NoteAry()->Item(2)->chan, 0);

    // A cycle code no order has builds nothing and leaves seqCount alone.
    for (std::int16_t bad : {0, 7}) {
        Rig rig(120, 8, 2, 1, Arpeggiator::CycleUp);
        hold(rig, 100, {60, 64, 67});
        rig.arp.Cycle(bad);
        rig.arp.Retrigger(200);
        EXPECT_EQ(rig.arp.NoteOnQ()->Count(), 0);
        EXPECT_EQ(rig.arp.NoteOffQ()->Count(), 0);
        EXPECT_EQ(rig.arp.seqCount(), 3);
    }
}

TEST(Pattern, BuildersAndCreateRawEvtsCalledDirectly) {
    Rig rig(120, 8, 2);
    auto& arp = rig.arp;
    arp.NoteAry()->Add(1, 0, 60, 100, 100);
    arp.NoteAry()->Add(2, 0, 64, 100, 50);  // each note-off uses its own note's Duration
    arp.NoteAry()->Add(3, 0, 67, 100, 100);
    arp.FillDownUp(2000);
    EXPECT_EQ(rig.onSteps(), (std::vector<Step>{{3, 1}, {2, 1}, {1, 1}, {2, 1}}));
    EXPECT_EQ(rig.onTimes(), (std::vector<std::int32_t>{2000, 2500, 3000, 3500}));
    EXPECT_EQ(rig.offTimes(), (std::vector<std::int32_t>{2100, 2550, 3100, 3550}));
    EXPECT_EQ(arp.seqCount(), 4);

    // The next step's time comes from the engine's period; times wrap.
    constexpr std::int32_t max = std::numeric_limits<std::int32_t>::max();
    EXPECT_EQ(arp.CreateRawEvts(2, 2, max - 100), std::numeric_limits<std::int32_t>::min() + 399);
    EXPECT_EQ(arp.NoteOffQ()->Item(5)->Trigger, max - 50);
    EXPECT_EQ(arp.NoteOnQ()->Item(5)->OctMult, 2);

    // A position with no held note fails once the note-on entry is in.
    EXPECT_THROW(arp.CreateRawEvts(4, 1, 5000), OutOfRangeError);
    EXPECT_EQ(arp.NoteOnQ()->Count(), 6);
    EXPECT_EQ(arp.NoteOffQ()->Count(), 5);
}

TEST(Pattern, RandomPassesOfAnySizeAreCompleteAndConsistent) {
    struct Size {
        int notes, octaves, steps;
    };
    for (const auto& size : {Size{11, 3, 64}, Size{12, 3, 70}, Size{40, 2, 158}, Size{127, 3, 760}}) {
        SCOPED_TRACE(::testing::Message() << size.notes << " notes over " << size.octaves << " octaves");
        Rig rig(240, 1, 1, static_cast<std::int16_t>(size.octaves), Arpeggiator::CycleRandom);
        rig.arp.SeedSource([] { return 7u; });
        for (int i = 0; i < size.notes; ++i)
            rig.arp.Add(500, static_cast<std::uint8_t>(i % 16), static_cast<std::uint8_t>(i), 64);
        EXPECT_EQ(rig.arp.seqCount(), size.steps);
        expectConsistentPass(rig, 505);
        EXPECT_EQ(sorted(rig.onSteps()), sorted(upDown(size.notes, size.octaves)));
        EXPECT_NE(rig.onSteps(), upDown(size.notes, size.octaves));  // shuffled
    }
}

TEST(Pattern, RandomShuffleIsNewPerBuildAndFixedBySeed) {
    const auto passFor = [](std::uint32_t seed) {
        Rig rig(120, 8, 2, 3, Arpeggiator::CycleRandom);
        rig.arp.SeedSource([seed] { return seed; });
        hold(rig, 100, {60, 62, 64, 65, 67});
        return rig.onSteps();
    };
    EXPECT_EQ(passFor(1), passFor(1));
    std::set<std::vector<Step>> distinct;
    for (std::uint32_t seed = 1; seed <= 20; ++seed) distinct.insert(passFor(seed));
    EXPECT_GE(distinct.size(), 15u);

    // Every build reseeds: the same seed twice gives the same pass again,
    // and a different one gives another.
    Rig rig(120, 8, 2, 3, Arpeggiator::CycleRandom);
    std::uint32_t seed = 3;
    rig.arp.SeedSource([&seed] { return seed; });
    hold(rig, 100, {60, 62, 64, 65, 67});
    const auto first = rig.onSteps();
    rig.arp.Retrigger(200);
    EXPECT_EQ(rig.onSteps(), first);
    seed = 4;
    rig.arp.Retrigger(300);
    EXPECT_NE(rig.onSteps(), first);
    EXPECT_EQ(sorted(rig.onSteps()), sorted(first));
    expectConsistentPass(rig, 305);

    // Each swap's place is r * (m - 1) rounded, so the first and last come
    // up half as often. One note over 3 octaves, 60 72 84 72 shuffled: the
    // pass starts on 60 with probability 141/648 and on 84 with 173/648,
    // where places drawn alike would give 1/4 and 0.246, and places never
    // the last 0.222 and 0.198. 40,000 fixed seeds; 0.01 is over 4 sigma.
    Rig one(120, 8, 2, 3, Arpeggiator::CycleRandom);
    one.arp.SeedSource([&seed] { return seed; });
    hold(one, 100, {60});
    std::map<int, int> starts;
    for (seed = 1; seed <= 40000; ++seed) {
        one.arp.Retrigger(200);
        ++starts[one.passPitches().front()];
    }
    EXPECT_NEAR(starts[60] / 40000.0, 141.0 / 648, 0.01);
    EXPECT_NEAR(starts[84] / 40000.0, 173.0 / 648, 0.01);
}

}  // namespace
}  // namespace vlx
