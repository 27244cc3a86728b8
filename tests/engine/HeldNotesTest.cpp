// SPDX-License-Identifier: GPL-3.0-or-later
// Holding and releasing notes: pitch order, IDs, rebuilds, and what a release
// silences.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "EngineRig.h"
#include "model/Errors.h"

namespace vlx {
namespace {

using test::off;
using test::on;
using test::Rig;
using test::SentMessage;
using Messages = std::vector<SentMessage>;

std::vector<int> heldNotes(const Arpeggiator& arp) {
    std::vector<int> out;
    for (const auto& n : arp.NoteAry()->NewEnum()) out.push_back(n->Note);
    return out;
}
std::vector<int> heldIDs(const Arpeggiator& arp) {
    std::vector<int> out;
    for (const auto& n : arp.NoteAry()->NewEnum()) out.push_back(n->ID);
    return out;
}

TEST(HeldNotes, AddKeepsPitchOrderRenumbersAndRestartsThePattern) {
    Rig rig(120, 8, Arpeggiator::Normal, 1, Arpeggiator::CycleUp, 1000);
    auto& arp = rig.arp;
    arp.Add(1000, 2, 64, 90);
    EXPECT_EQ(rig.onTimes(), std::vector<std::int32_t>{1005});
    rig.playUntil(1200);
    arp.Add(1200, 0, 60, 100);  // 64 is sounding: the rebuild silences it
    EXPECT_EQ(rig.onTimes(), (std::vector<std::int32_t>{1205, 1705}));
    arp.Add(1300, 1, 67, 80);
    EXPECT_EQ(rig.onTimes(), (std::vector<std::int32_t>{1305, 1805, 2305}));
    EXPECT_EQ(rig.offTimes(), (std::vector<std::int32_t>{1636, 2136, 2636}));
    EXPECT_EQ(heldNotes(arp), (std::vector<int>{60, 64, 67}));
    EXPECT_EQ(heldIDs(arp), (std::vector<int>{1, 2, 3}));
    const auto& mid = arp.NoteAry()->Item(2);
    EXPECT_EQ(mid->chan, 2);
    EXPECT_EQ(mid->Velocity, 90);
    EXPECT_EQ(mid->Duration, 331);
    EXPECT_EQ(rig.take(), (Messages{on(1005, 2, 64, 90), off(1200, 2, 64)}));
    EXPECT_FALSE(arp.IsEmpty());
}

TEST(HeldNotes, ChannelsAndRepeatedNotes) {
    Rig rig(120, 8, 2, 1, Arpeggiator::CycleUp);
    auto& arp = rig.arp;
    arp.Add(0, 0, 60, 100);
    arp.Add(0, 1, 60, 100);
    ASSERT_EQ(arp.NoteAry()->Count(), 2);
    EXPECT_EQ(arp.NoteAry()->Item(1)->chan, 0);  // equal pitches keep their arrival order
    EXPECT_EQ(arp.NoteAry()->Item(2)->chan, 1);
    arp.Remove(1, 60);
    ASSERT_EQ(arp.NoteAry()->Count(), 1);
    EXPECT_EQ(arp.NoteAry()->Item(1)->chan, 0);
    EXPECT_EQ(Rig::steps(*arp.NoteOnQ()), (std::vector<test::Step>{{1, 1}}));

    arp.Add(0, 0, 60, 100);  // the same key again: held twice, twice the steps
    EXPECT_EQ(arp.NoteAry()->Count(), 2);
    EXPECT_EQ(arp.seqCount(), 2);
    const auto onBefore = rig.onSteps();
    arp.Remove(0, 61);  // not held: nothing changes
    arp.Remove(3, 60);
    EXPECT_EQ(arp.NoteAry()->Count(), 2);
    EXPECT_EQ(rig.onSteps(), onBefore);
    arp.Remove(0, 60);  // one note-off releases every copy
    EXPECT_TRUE(arp.IsEmpty());
    EXPECT_EQ(arp.NoteOnQ()->Count(), 0);
    EXPECT_EQ(arp.NoteOffQ()->Count(), 0);
    EXPECT_EQ(arp.seqCount(), 2);
    EXPECT_TRUE(rig.take().empty());
}

TEST(HeldNotes, AReleasedNotesPlacesFallSilent) {
    Rig rig(120, 8, Arpeggiator::Normal, 1, Arpeggiator::CycleUp, 10000);
    auto& arp = rig.arp;
    for (int note : {60, 64, 67}) arp.Add(10000, 0, static_cast<std::uint8_t>(note), 100);
    rig.playUntil(10600);
    arp.Remove(0, 64);  // while it sounds: silenced at once
    EXPECT_EQ(heldIDs(arp), (std::vector<int>{1, 3}));  // no renumbering
    rig.playUntil(13600);
    EXPECT_EQ(rig.take(), (Messages{
                              on(10005, 0, 60, 100), off(10336, 0, 60),
                              on(10505, 0, 64, 100), off(10600, 0, 64),
                              on(11005, 0, 67, 100), off(11336, 0, 67),
                              on(11505, 0, 60, 100), off(11836, 0, 60),
                              // 12005: 64's place, silent
                              on(12505, 0, 67, 100), off(12836, 0, 67),
                              on(13005, 0, 60, 100), off(13336, 0, 60),
                          }));
    EXPECT_EQ(arp.seqCount(), 3);
    EXPECT_EQ(arp.NoteOnQ()->Count(), 2);
    EXPECT_EQ(arp.PlayQ()->Count(), 0);

    arp.Retrigger(13600);  // the next rebuild closes the gap
    EXPECT_EQ(heldIDs(arp), (std::vector<int>{1, 2}));
    EXPECT_EQ(rig.onTimes(), (std::vector<std::int32_t>{13605, 14105}));
    EXPECT_EQ(arp.seqCount(), 2);
}

TEST(HeldNotes, ANewNoteAfterAReleaseNeverTakesASoundingNotesID) {
    Rig rig(120, 8, Arpeggiator::Normal, 1, Arpeggiator::CycleUp, 1000);
    auto& arp = rig.arp;
    for (int note : {60, 64, 67}) arp.Add(1000, 0, static_cast<std::uint8_t>(note), 100);
    rig.playUntil(1400);
    arp.Remove(0, 60);  // the first note, IDs 2 and 3 stay
    rig.playUntil(2100);  // the third note sounds from 2005
    ASSERT_EQ(arp.PlayQ()->Count(), 1);
    arp.Add(2100, 0, 72, 100);  // a new highest note
    rig.playUntil(3700);
    EXPECT_EQ(rig.take(), (Messages{
                              on(1005, 0, 60, 100), off(1336, 0, 60),
                              on(1505, 0, 64, 100), off(1836, 0, 64),
                              on(2005, 0, 67, 100),
                              off(2100, 0, 67),  // the pitch really sounding, not 72
                              on(2105, 0, 64, 100), off(2436, 0, 64),
                              on(2605, 0, 67, 100), off(2936, 0, 67),
                              on(3105, 0, 72, 100), off(3436, 0, 72),
                              on(3605, 0, 64, 100),
                          }));
    EXPECT_EQ(heldIDs(arp), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(heldNotes(arp), (std::vector<int>{64, 67, 72}));
}

TEST(HeldNotes, RemoveAllAndRetriggerWithNothingHeld) {
    Rig empty;
    empty.arp.RemoveAll();
    EXPECT_TRUE(empty.arp.IsEmpty());
    EXPECT_TRUE(empty.take().empty());

    Rig rig(120, 8, 2, 1, Arpeggiator::CycleUp);
    for (int note : {60, 64, 67}) rig.arp.Add(0, 0, static_cast<std::uint8_t>(note), 100);
    rig.playUntil(10);
    rig.take();
    rig.arp.RemoveAll();  // sends nothing; PlayQ and seqCount are the caller's to clear
    EXPECT_TRUE(rig.take().empty());
    EXPECT_TRUE(rig.arp.IsEmpty());
    EXPECT_EQ(rig.arp.NoteOnQ()->Count(), 0);
    EXPECT_EQ(rig.arp.NoteOffQ()->Count(), 0);
    EXPECT_EQ(rig.arp.PlayQ()->Count(), 1);
    EXPECT_EQ(rig.arp.seqCount(), 3);
    rig.arp.Remove(0, 60);  // a key forgotten by RemoveAll finds nothing
    EXPECT_TRUE(rig.take().empty());

    rig.arp.Retrigger(20);
    EXPECT_EQ(rig.arp.PlayQ()->Count(), 0);
    EXPECT_EQ(rig.arp.NoteOnQ()->Count(), 0);
    EXPECT_EQ(rig.arp.seqCount(), 0);
}

TEST(HeldNotes, ParameterLetsTakeEffectAtTheNextRetrigger) {
    Rig rig(120, 8, Arpeggiator::Normal, 1, Arpeggiator::CycleUp, 1000);
    auto& arp = rig.arp;
    arp.Add(1000, 0, 60, 100);
    arp.Sustain(Arpeggiator::Staccato);
    arp.Octaves(2);
    arp.Tempo(100);
    EXPECT_EQ(arp.period(), 600);
    EXPECT_EQ(arp.Duration(), 198);
    EXPECT_EQ(arp.NoteAry()->Item(1)->Duration, 331);  // the held note keeps its own
    EXPECT_EQ(rig.onTimes(), std::vector<std::int32_t>{1005});  // nothing rescheduled
    EXPECT_EQ(rig.offTimes(), std::vector<std::int32_t>{1336});

    arp.Retrigger(2000);
    EXPECT_EQ(arp.NoteAry()->Item(1)->Duration, 198);
    EXPECT_EQ(rig.onTimes(), (std::vector<std::int32_t>{2005, 2605}));
    EXPECT_EQ(rig.offTimes(), (std::vector<std::int32_t>{2203, 2803}));
    EXPECT_EQ(rig.passPitches(), (std::vector<int>{60, 72}));
}

TEST(HeldNotes, AFailingBuildKeepsTheNoteAndTheStepsAlreadyLaid) {
    // One note over 20000 octaves in Up-Down needs 39998 steps: the step
    // count overflows 16 bits part way through the build.
    Rig rig(120, 8, 2, 20000, Arpeggiator::CycleUpDown);
    EXPECT_THROW(rig.arp.Add(0, 0, 60, 100), OverflowError);
    EXPECT_EQ(rig.arp.NoteAry()->Count(), 1);
    EXPECT_EQ(rig.arp.NoteAry()->Item(1)->ID, 1);
    EXPECT_EQ(rig.arp.seqCount(), 32767);
    EXPECT_GE(rig.arp.NoteOnQ()->Count(), 32767);
    EXPECT_EQ(rig.arp.NoteOffQ()->Count(), rig.arp.NoteOnQ()->Count());
}

}  // namespace
}  // namespace vlx
