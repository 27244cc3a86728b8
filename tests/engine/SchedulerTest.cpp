// SPDX-License-Identifier: GPL-3.0-or-later
// Firing due steps, silencing sounding ones, and finding a step's held note.
// Most cases lay the queues out by hand so that each rule is seen alone.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
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

// Calls MaybeTrigger at `t` as the timer loop would read it from the host.
bool triggerAt(Rig& rig, std::int32_t t) {
    rig.host->clock = t;
    return rig.arp.MaybeTrigger(t);
}

TEST(MaybeTrigger, FiresAtItsExactTimeAndRequeuesFromTheScheduledTime) {
    Rig rig;
    EXPECT_FALSE(rig.arp.MaybeTrigger(0));  // empty queues
    EXPECT_TRUE(rig.take().empty());

    auto& arp = rig.arp;
    arp.period(125);
    arp.seqCount(4);
    arp.NoteAry()->Add(1, 0, 60, 100, 80);
    arp.NoteOnQ()->Add(1, 1, 10000);
    arp.NoteOffQ()->Add(1, 1, 10080);

    EXPECT_FALSE(triggerAt(rig, 9999));
    EXPECT_TRUE(rig.take().empty());
    EXPECT_TRUE(triggerAt(rig, 10007));  // seven ms late: the note moves by as much
    EXPECT_EQ(rig.take(), (Messages{on(10007, 0, 60, 100)}));
    EXPECT_EQ(rig.onTimes(), std::vector<std::int32_t>{10500});  // not 10507
    ASSERT_EQ(arp.PlayQ()->Count(), 1);
    EXPECT_EQ(arp.PlayQ()->Item(1)->Trigger, 10000);
    EXPECT_FALSE(triggerAt(rig, 10086));
    EXPECT_TRUE(triggerAt(rig, 10087));
    EXPECT_EQ(rig.take(), (Messages{off(10087, 0, 60)}));
    EXPECT_EQ(rig.offTimes(), std::vector<std::int32_t>{10580});  // back on its own time
    EXPECT_EQ(arp.PlayQ()->Count(), 0);
    EXPECT_FALSE(triggerAt(rig, 10087));
}

TEST(MaybeTrigger, OneOffThenOneOnPerCall) {
    Rig rig;
    auto& arp = rig.arp;
    arp.period(100);
    arp.seqCount(2);
    arp.NoteAry()->Add(1, 0, 60, 100, 80);
    arp.NoteAry()->Add(2, 0, 64, 90, 80);
    arp.PlayQ()->Add(1, 1, 1000);
    arp.NoteOffQ()->Add(1, 1, 1080);
    arp.NoteOffQ()->Add(2, 1, 1180);
    arp.NoteOnQ()->Add(2, 1, 1100);
    arp.NoteOnQ()->Add(1, 1, 1200);
    EXPECT_TRUE(triggerAt(rig, 1100));  // an off and an on due together: the off goes first
    EXPECT_EQ(rig.take(), (Messages{off(1100, 0, 60), on(1100, 0, 64, 90)}));

    Rig same;
    same.arp.period(100);
    same.arp.seqCount(2);
    same.arp.NoteAry()->Add(1, 0, 60, 100, 80);
    same.arp.NoteAry()->Add(2, 0, 64, 90, 80);
    same.arp.NoteOnQ()->Add(1, 1, 2000);
    same.arp.NoteOnQ()->Add(2, 1, 2000);
    EXPECT_TRUE(triggerAt(same, 2000));
    EXPECT_TRUE(triggerAt(same, 2000));
    EXPECT_FALSE(triggerAt(same, 2000));
    EXPECT_EQ(same.take(), (Messages{on(2000, 0, 60, 100), on(2000, 0, 64, 90)}));
    EXPECT_EQ(same.onTimes(), (std::vector<std::int32_t>{2200, 2200}));
}

TEST(MaybeTrigger, MessagesCarryChannelOctaveAndVelocity) {
    for (int chan : {0, 9}) {
        Rig rig;
        rig.arp.period(500);
        rig.arp.seqCount(1);
        rig.arp.NoteAry()->Add(1, static_cast<std::uint8_t>(chan), 60, 100, 50);
        rig.arp.NoteOnQ()->Add(1, 2, 0);
        rig.arp.NoteOffQ()->Add(1, 2, 50);
        triggerAt(rig, 0);
        triggerAt(rig, 50);
        EXPECT_EQ(rig.take(), (Messages{on(0, chan, 72, 100), off(50, chan, 72)}));
    }
    Rig rig;
    rig.arp.NoteOn(9, 72, 100);
    rig.arp.NoteOff(15, 200);  // pitches are sent as they are, not clamped
    EXPECT_EQ(rig.take(), (Messages{{0, -1, 0x99, 72, 100}, {0, -1, 0x8F, 200, 0}}));
}

TEST(MaybeTrigger, NoteOffSilencesEveryOctaveOfItsNote) {
    Rig rig;
    auto& arp = rig.arp;
    arp.period(100);
    arp.seqCount(1);
    arp.NoteAry()->Add(1, 0, 60, 100, 10);
    arp.NoteAry()->Add(2, 0, 64, 100, 10);
    arp.PlayQ()->Add(1, 1, 0);
    arp.PlayQ()->Add(2, 1, 0);
    arp.PlayQ()->Add(1, 2, 0);
    arp.PlayQ()->Add(1, 3, 0);
    arp.NoteOffQ()->Add(1, 1, 10);
    EXPECT_TRUE(triggerAt(rig, 10));
    EXPECT_EQ(rig.take(), (Messages{off(10, 0, 60)}));
    EXPECT_EQ(Rig::steps(*arp.PlayQ()), (std::vector<test::Step>{{2, 1}}));
}

TEST(MaybeTrigger, DueHeadWithoutAHeldNoteStaysAndTheOtherPhaseRuns) {
    Rig rig;
    auto& arp = rig.arp;
    arp.period(100);
    arp.seqCount(1);
    arp.NoteAry()->Add(1, 0, 60, 100, 10);
    arp.NoteOffQ()->Add(5, 1, 50);
    arp.NoteOnQ()->Add(5, 1, 40);
    EXPECT_FALSE(triggerAt(rig, 200));
    EXPECT_TRUE(rig.take().empty());
    EXPECT_EQ(rig.offTimes(), std::vector<std::int32_t>{50});
    EXPECT_EQ(rig.onTimes(), std::vector<std::int32_t>{40});

    arp.NoteOnQ()->Pull();
    arp.NoteOnQ()->Add(1, 1, 150);
    EXPECT_TRUE(triggerAt(rig, 200));
    EXPECT_EQ(rig.take(), (Messages{on(200, 0, 60, 100)}));
    EXPECT_EQ(rig.offTimes(), std::vector<std::int32_t>{50});
    EXPECT_EQ(rig.onTimes(), std::vector<std::int32_t>{250});
}

TEST(MaybeTrigger, AFailingPitchAbandonsTheCallAndKeepsTheStep) {
    Rig rig;
    auto& arp = rig.arp;
    arp.period(100);
    arp.seqCount(1);
    arp.NoteAry()->Add(1, 0, 250, 100, 10);
    arp.NoteOnQ()->Add(1, 2, 0);  // 262 is no byte
    EXPECT_THROW(triggerAt(rig, 0), OverflowError);
    EXPECT_TRUE(rig.take().empty());
    EXPECT_EQ(rig.onTimes(), std::vector<std::int32_t>{0});
    EXPECT_EQ(arp.PlayQ()->Count(), 0);
}

TEST(StopPlay, SilencesSoundingStepsOldestFirst) {
    Rig rig;
    auto& arp = rig.arp;
    rig.arp.StopPlay();
    EXPECT_TRUE(rig.take().empty());

    arp.NoteAry()->Add(1, 0, 60, 100, 10);
    arp.NoteAry()->Add(2, 3, 64, 100, 10);
    arp.PlayQ()->Add(2, 1, 100);
    arp.PlayQ()->Add(7, 1, 150);  // no held note: dropped without a message
    arp.PlayQ()->Add(1, 2, 200);
    arp.NoteOnQ()->Add(1, 1, 300);
    arp.NoteOffQ()->Add(2, 1, 110);
    arp.seqCount(2);
    rig.host->clock = 250;
    arp.StopPlay();
    EXPECT_EQ(rig.take(), (Messages{off(250, 3, 64), off(250, 0, 72)}));
    EXPECT_EQ(arp.PlayQ()->Count(), 0);
    EXPECT_EQ(arp.NoteOnQ()->Count(), 1);
    EXPECT_EQ(arp.NoteOffQ()->Count(), 1);
    EXPECT_EQ(arp.NoteAry()->Count(), 2);
    EXPECT_EQ(arp.seqCount(), 2);
}

TEST(FindEvt, SearchesDownwardFromOneAboveTheID) {
    Rig rig;
    auto& arp = rig.arp;
    for (std::int16_t id : {-1, 0, 1, 5}) EXPECT_EQ(arp.FindEvt(id), nullptr);  // empty list

    auto& ary = *arp.NoteAry();
    ary.Add(1, 0, 60, 100, 10);
    ary.Add(2, 0, 64, 100, 10);
    ary.Add(3, 0, 67, 100, 10);
    EXPECT_EQ(arp.FindEvt(1)->Note, 60);
    EXPECT_EQ(arp.FindEvt(2)->Note, 64);
    EXPECT_EQ(arp.FindEvt(3)->Note, 67);
    EXPECT_EQ(arp.FindEvt(2), ary.Item(2));  // the list's own record
    EXPECT_EQ(arp.FindEvt(4), nullptr);
    EXPECT_EQ(arp.FindEvt(0), nullptr);
    EXPECT_EQ(arp.FindEvt(-3), nullptr);
    EXPECT_THROW(arp.FindEvt(32767), OverflowError);

    ary.Remove(2);  // 64 released: 67 keeps ID 3 at position 2
    EXPECT_EQ(arp.FindEvt(3)->Note, 67);
    EXPECT_EQ(arp.FindEvt(2), nullptr);
    EXPECT_EQ(arp.FindEvt(1)->Note, 60);

    // Two notes with one ID: the higher position wins.
    ary.Add(3, 0, 72, 100, 10);
    EXPECT_EQ(arp.FindEvt(3), ary.Item(3));

    // Positions up to ID + 1 are searched first, downward.
    Rig far;
    far.arp.NoteAry()->Add(0, 0, 40, 1, 1);
    far.arp.NoteAry()->Add(1, 0, 41, 1, 1);
    far.arp.NoteAry()->Add(1, 0, 42, 1, 1);
    far.arp.NoteAry()->Add(1, 0, 43, 1, 1);
    EXPECT_EQ(far.arp.FindEvt(1)->Note, 41);
    EXPECT_EQ(far.arp.FindEvt(0)->Note, 40);

    // Keys that joined a playing pattern below a note move it up further
    // than one: its steps still find it, so its note-off still goes out.
    Rig joined;
    joined.arp.Hold(0, 67, 100);  // ID 1
    joined.arp.Hold(0, 60, 100, false);
    joined.arp.Hold(0, 62, 100, false);
    joined.arp.Hold(0, 64, 100, false);
    ASSERT_EQ(joined.arp.NoteAry()->Item(4)->Note, 67);
    EXPECT_EQ(joined.arp.FindEvt(joined.arp.NoteAry()->Item(4)->ID)->Note, 67);
    EXPECT_EQ(joined.arp.FindEvt(9), nullptr);
}

TEST(MaybeTrigger, ScheduledNotesGoOutAsStepsEvenWhenLateOthersNot) {
    // 120 bpm in 16ths: period 125, Duration 81. Steps 60, 64 from 1005.
    Rig rig(120, 2, Arpeggiator::Normal, 1, Arpeggiator::CycleUp, 1000);
    rig.arp.Add(1000, 0, 60, 100);
    rig.arp.Add(1000, 0, 64, 100);
    rig.host->clearLog();
    // An off 14 ms late; 64 of 1130 at 1250 would end after 1255's step:
    // it passes, with its off, which though due waited for it (sent first,
    // it would leave the note sounding a cycle); 60 of 1255 at 1260 moves by 5 ms.
    for (std::int32_t t : {1005, 1100, 1250, 1250, 1260}) triggerAt(rig, t);
    rig.host->clock = 1270;
    rig.arp.Remove(0, 60);  // sounding since 1260
    rig.arp.Add(1280, 0, 67, 100);
    triggerAt(rig, 1285);
    rig.host->clock = 1290;
    rig.arp.StopPlay();
    EXPECT_EQ(rig.take(), (Messages{on(1005, 0, 60, 100), off(1100, 0, 60), on(1260, 0, 60, 100), off(1270, 0, 60),
                                    on(1285, 0, 64, 100), off(1290, 0, 64)}));
    EXPECT_EQ(rig.host->steps(), (std::vector<bool>{true, true, true, false, true, false}));
}

// 240 bpm in 32nds, normal sustain: period 31, Duration 19. Held 60 64 67
// from 0 in Up: step k plays chord[k % 3] from 5 + 31k to 24 + 31k.
struct Grid {
    static constexpr int chord[] = {60, 64, 67};
    static int pitch(int k) { return chord[k % 3]; }
    static std::int32_t onAt(int k) { return 5 + 31 * k; }
    static std::int32_t offAt(int k) { return 24 + 31 * k; }
    // The unbroken pattern's messages from `from` to `to`, both included.
    static Messages between(std::int32_t from, std::int32_t to) {
        Messages out;
        for (int k = 0; offAt(k) <= to + 31; ++k) {
            if (onAt(k) >= from && onAt(k) <= to) out.push_back(on(onAt(k), 0, pitch(k), 100));
            if (offAt(k) >= from && offAt(k) <= to) out.push_back(off(offAt(k), 0, pitch(k)));
        }
        return out;
    }
};

// Steps missed by a period or more pass in silence, not all at once at the
// resume: a burst would smear the beat it is meant to keep.
TEST(MaybeTrigger, AStallPassesInSilenceAndALateStepSoundsOnlyWithItsWholeLength) {
    struct Case {
        const char* what;
        std::int32_t stalledAt, resumedAt;
        Messages atResume;  // sent at the resume, before the pattern is back on its grid
        std::int32_t gridFrom;  // from here on, the unbroken pattern's messages
        std::optional<std::int32_t> heard = std::nullopt;  // PassMissed with it at the resume
    };
    const Case cases[] = {
        {"under a period: the step of 36 would sound into 67's, so it passes", 30, 66, {}, 66},
        {"a whole period: the step of 36 is missed, 67 is on time", 30, 67, {}, 67},
        {"1 s: 997's note ends, 1989's step goes out 11 ms late and keeps its length", 1000, 2000,
         {off(2000, 0, 67), on(2000, 0, 64, 100), off(2019, 0, 64)}, 2009},
        {"8 s: 997's note ends, 8995's step goes out 5 ms late and keeps its length", 1000, 9000,
         {off(9000, 0, 67), on(9000, 0, 67, 100), off(9019, 0, 67)}, 9015},
        {"1 s, landing on a step: only 997's note-off is late", 1000, 2020, {off(2020, 0, 67)}, 2020},
        {"1 s, heard at 2020: 1989's step is missed as well", 1000, 2000, {off(2000, 0, 67)}, 2009, 2020},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Rig rig(240, 1, Arpeggiator::Normal, 1, Arpeggiator::CycleUp, 0);
        for (std::uint8_t key : {60, 64, 67}) rig.arp.Add(0, 0, key, 100);
        rig.playUntil(c.stalledAt);
        rig.host->clock = c.resumedAt;
        if (c.heard) rig.arp.PassMissed(*c.heard);
        rig.playUntil(c.resumedAt + 100);
        Messages expected = Grid::between(0, c.stalledAt);
        expected.insert(expected.end(), c.atResume.begin(), c.atResume.end());
        const Messages after = Grid::between(c.gridFrom, c.resumedAt + 100);
        expected.insert(expected.end(), after.begin(), after.end());
        EXPECT_EQ(rig.take(), expected);
        // Every step kept its place in the cycle: the queues are the grid's.
        EXPECT_EQ(rig.onTimes().front() % 31, 5);
        EXPECT_EQ(rig.offTimes().front() % 31, 24);
    }
    // A step passed in silence counts as played: the pattern laid out again
    // on its beat goes on after it, not with it.
    Rig rig(240, 1, Arpeggiator::Normal, 1, Arpeggiator::CycleUp, 0);
    for (std::uint8_t key : {60, 64, 67}) rig.arp.Add(0, 0, key, 100);
    rig.playUntil(30);
    rig.host->clock = 66;
    rig.playUntil(66);  // 64 of 36 passes
    rig.arp.Regrid(67);
    EXPECT_EQ(rig.passPitches(), (std::vector<int>{67, 60, 64}));
}

}  // namespace
}  // namespace vlx
