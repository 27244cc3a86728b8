// SPDX-License-Identifier: GPL-3.0-or-later
// The process callback's bookkeeping per JACK cycle, on scripted frame times,
// and what each kind of message may take of a cycle's output buffer.
#include <gtest/gtest.h>

#include <cstdint>

#include "host/alsa/ThreadCycles.h"
#include "host/jack/CycleFrames.h"

namespace {

using vlx::host::FramePosition;

TEST(FramePosition, EveryCallbackIsANewCycleThatNeverGoesBackAndLostCyclesAreCounted) {
    struct Step {
        std::uint32_t reported, nframes;
        std::uint64_t position, missed, behind;
    };
    const Step steps[] = {
        {1000, 256, 0, 0, 0},
        {1256, 256, 256, 0, 0},
        {1256, 256, 512, 0, 1},   // the previous frame again, with new input: placed after it
        {1768, 256, 768, 0, 1},   // the server's frames catch up: no cycle counted twice
        {1768, 256, 1024, 0, 2},  // once more
        {2024, 256, 1280, 0, 3},  // still behind by a cycle: the count goes on by whole cycles
        {2536, 256, 1536, 0, 3},  // level again
        {3048, 256, 1792, 0, 3},  // a cycle ahead: placed after the one before, for now
        {3304, 256, 2304, 1, 3},  // still ahead: one cycle was lost
        {4116, 256, 3116, 3, 3},  // two and a bit ahead: lost at once
        {4372, 256, 3372, 3, 3},  // level again
        {4312, 256, 3628, 3, 4},  // a step backwards is no gap
    };
    FramePosition p;
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        const Step& s = steps[i];
        EXPECT_EQ(p.begin(s.reported, s.nframes), s.position) << "step " << i;
        EXPECT_EQ(p.missed(), s.missed) << "step " << i;
        EXPECT_EQ(p.behind(), s.behind) << "step " << i;
    }

    // After the server stood still, JACK 2 may report the next cycle's frame
    // for one callback and that frame again for the next: nothing was lost,
    // and the count stays on the server's frames.
    FramePosition still;
    for (const std::uint32_t reported : {1000u, 1256u, 1768u, 1768u, 2024u}) still.begin(reported, 256);
    EXPECT_EQ(still.begin(2280, 256), 1280u);
    EXPECT_EQ(still.missed() + still.behind(), 0u);

    // How late a callback runs its cycle (48 kHz, 256 frames: 5333 us), by
    // JACK's times: late only when it and the one before came within half a
    // period, less a period of normal latency; never while freewheeling.
    struct Late {
        std::uint64_t nowUs, cycleStartUs;
        bool freewheeling;
        std::uint64_t late;
    };
    const Late lates[] = {
        {1'000'000, 999'900, false, 0},
        {1'005'333, 1'005'233, false, 0},
        {2'005'333, 1'010'566, false, 0},  // after a second's stop: not late yet
        {2'005'363, 1'015'899, false, 0},  // one quick cycle may be jitter
        {2'005'393, 1'021'232, false, 46'983},  // the second: the cycles missed are replayed, each with its time
        {2'005'423, 1'026'565, false, 46'729},
        {2'010'756, 2'005'323, false, 0},  // at the pace of real time again
        {2'010'786, 1'015'000, false, 0},  // JACK 2's estimate, a second behind after a stop: one quick cycle
        {2'016'119, 1'020'000, false, 0},  // then real pace
        {2'016'149, 2'016'000, false, 0},  // quick but on time
        {2'016'179, 2'010'000, false, 40},  // quick and a period and 40 frames late
        {2'016'209, 1'000'000, true, 0},   // freewheeling
        {2'016'239, 1'000'000, false, 0},  // and just after it
    };
    vlx::host::CycleLateness lateness;
    for (const Late& l : lates)
        EXPECT_EQ(lateness.lateFrames(l.nowUs, l.cycleStartUs, 256, 48000, l.freewheeling), l.late) << l.nowUs;

    // Across the wrap of the 32-bit frame counter the count goes on; a new
    // period length takes effect from the cycle that has it.
    FramePosition wrap;
    EXPECT_EQ(wrap.begin(0xFFFFFF00u, 256), 0u);
    EXPECT_EQ(wrap.begin(0x00000000u, 256), 256u);
    EXPECT_EQ(wrap.begin(0x00000100u, 1024), 512u);
    EXPECT_EQ(wrap.begin(0x00000500u, 1024), 1536u);
    EXPECT_EQ(wrap.missed() + wrap.behind(), 0u);
}

// A host's own thread plays cycles of microseconds up to each moment it
// wakes: they follow on from each other, a thread held up more than a
// second goes on from where it woke, and it sleeps until the next due frame.
TEST(ThreadCycles, EachCycleEndsWhenTheThreadWokeAndTheNextBeginsThere) {
    using vlx::host::ThreadCycles;
    ThreadCycles cycles(5'000'000);
    struct Row {
        std::int64_t nowUs;
        std::uint64_t first;
        std::uint32_t frames;
    };
    const Row rows[] = {
        {5'000'000, 0, 1},
        {5'000'999, 1, 999},
        {5'000'999, 1000, 1},  // woken twice in a microsecond: one more frame, never none
        {5'010'000, 1001, 9000},
        {9'000'000, 3'000'001, 1'000'000},  // held up for four seconds
        {9'000'500, 4'000'001, 500},
    };
    for (const Row& r : rows) {
        const vlx::Cycle c = cycles.next(r.nowUs);
        EXPECT_EQ(c.firstFrame, r.first) << r.nowUs;
        EXPECT_EQ(c.frames, r.frames) << r.nowUs;
        EXPECT_EQ(c.rate, 1'000'000u);
        EXPECT_EQ(c.lateFrames, r.frames) << "it ends now: its first frame is its length ago";
    }
    EXPECT_EQ(cycles.sleepMicros(std::nullopt, 9'000'600), -1);
    EXPECT_EQ(cycles.sleepMicros(4'000'601, 9'000'500), 101);
    EXPECT_EQ(cycles.sleepMicros(4'000'000, 9'000'500), 0) << "overdue: at once";
    EXPECT_EQ(cycles.sleepMicros(20'000'000, 9'000'500), 1'000'000) << "at most a second";
}

// Passing data gives way to steps and note-offs, by count and by bytes; a
// step gives way to note-offs, which take the last of the buffer.
TEST(OutputRoom, PassingDataGivesWayToStepsAndStepsToNoteOffs) {
    using vlx::host::OutputRoom;
    using P = vlx::host::Priority;
    constexpr auto limits = vlx::host::kJackOutputLimits;
    constexpr std::uint32_t passing = limits.maxEvents - limits.keptEvents, steps = limits.maxEvents - limits.noteOffEvents;
    struct Case {
        P priority;
        std::uint32_t written;
        std::uint64_t room, size;
        bool may;
    };
    const Case cases[] = {
        {P::Passing, 0, 32768, 3, true},
        {P::Passing, 0, limits.keptBytes + 3, 3, true},
        {P::Passing, 0, limits.keptBytes + 2, 3, false},  // the kept bytes
        {P::Step, 0, limits.keptBytes + 2, 3, true},
        {P::Step, 0, limits.noteOffBytes + 2, 3, false},  // the note-offs' bytes
        {P::NoteOff, 0, limits.noteOffBytes + 2, 3, true},
        {P::NoteOff, 0, 3, 3, true},
        {P::NoteOff, 0, 2, 3, false},  // no room at all
        {P::Passing, passing - 1, 32768, 3, true},
        {P::Passing, passing, 32768, 3, false},  // the kept count
        {P::Step, passing, 32768, 3, true},
        {P::Step, steps - 1, 32768, 3, true},
        {P::Step, steps, 32768, 3, false},  // the note-offs' count
        {P::NoteOff, steps, 32768, 3, true},
        {P::NoteOff, limits.maxEvents - 1, 32768, 3, true},
        {P::NoteOff, limits.maxEvents, 32768, 3, false},
        {P::Passing, 0, 32768, 30000, false},  // a long SysEx leaves the kept bytes alone
    };
    for (const Case& c : cases) {
        OutputRoom room(limits);
        for (std::uint32_t i = 0; i < c.written; ++i) room.took();
        EXPECT_EQ(room.allows(c.priority, c.room, c.size), c.may)
            << static_cast<int>(c.priority) << " " << c.written << " " << c.room << " " << c.size;
    }

    // What PipeWire's JACK was seen to carry in one cycle, and not one more.
    using vlx::host::cycleBytesOf;
    using vlx::host::kCycleBytes;
    EXPECT_EQ(kCycleBytes / cycleBytesOf(3), 1364u);
    EXPECT_EQ(kCycleBytes / cycleBytesOf(9), 1023u);
    EXPECT_EQ(kCycleBytes / cycleBytesOf(24), 818u);
    EXPECT_EQ(kCycleBytes / cycleBytesOf(120), 240u);

    using vlx::host::isNoteOff;
    using vlx::host::priorityOf;
    const std::uint8_t off[] = {0x83, 60, 64}, onZero[] = {0x93, 60, 0}, on[] = {0x93, 60, 1}, cc[] = {0xB3, 64, 0};
    EXPECT_TRUE(isNoteOff(off, 3));
    EXPECT_TRUE(isNoteOff(onZero, 3));
    EXPECT_FALSE(isNoteOff(on, 3));
    EXPECT_FALSE(isNoteOff(cc, 3));
    EXPECT_FALSE(isNoteOff(off, 2));
    EXPECT_EQ(priorityOf(false, onZero, 3), P::NoteOff);
    EXPECT_EQ(priorityOf(true, off, 3), P::NoteOff);
    EXPECT_EQ(priorityOf(true, on, 3), P::Step);
    EXPECT_EQ(priorityOf(false, on, 3), P::Passing);
}

}  // namespace
