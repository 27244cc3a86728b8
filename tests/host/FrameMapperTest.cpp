// Where sent messages land, on scripted clocks: the stamp of a step, the
// clock offset, and placement in cycles as the process callback does it.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <vector>

#include "host/jack/FrameMapper.h"

namespace {

using vlx::host::CycleTimes;
using vlx::host::outputLatencyFrames;
using vlx::host::stampForDue;
using vlx::host::targetOffset;

TEST(FrameMapper, StampsBeforeTheCycleRoundDownAndLateOnesAreNegative) {
    const CycleTimes c{1'000'000, 1'005'333, 256};
    // A stamp at the cycle's start lands one latency later.
    EXPECT_EQ(targetOffset(c, 1'000'000, 0), 0);
    EXPECT_EQ(targetOffset(c, 1'000'000, 300), 300);
    // Just under one frame before the start rounds to that frame, -1.
    EXPECT_EQ(targetOffset(c, 1'000'000 - 21, 0), -1);
    // Long ago: its frame has passed even with the latency.
    EXPECT_LT(targetOffset(c, 900'000, outputLatencyFrames(256, 48)), 0);
    // The next cycle's start maps to the period.
    EXPECT_EQ(targetOffset(c, 1'005'333, 0), 256);
    // Cycle times that make no span still give a finite answer.
    EXPECT_EQ(targetOffset({5, 5, 256}, 5, 7), 7);
}

TEST(FrameMapper, APreemptedClockReadingDoesNotMoveTheClockOffset) {
    vlx::host::ClockOffset offset;
    struct Reading {
        std::int64_t before, jack, after, offset;
    };
    const Reading readings[] = {
        {1'000'100, 100, 1'000'160, 1'000'030},  // wide, but the only one yet
        {1'005'100, 5'100, 1'005'140, 1'000'020},  // narrower: better
        {1'010'100, 10'100, 1'010'102, 1'000'001},  // narrow: taken
        {1'015'100, 15'140, 1'015'142, 1'000'001},  // preempted between the readings (40 us): ignored
        {1'020'100, 20'100, 1'020'200, 1'000'001},  // wide: ignored
        {1'025'101, 25'100, 1'025'103, 1'000'002},  // the clocks drift apart: followed
    };
    for (const Reading& r : readings) EXPECT_EQ(offset.update(r.before, r.jack, r.after), r.offset) << r.before;
}

TEST(FrameMapper, AStepIsStampedWhereItsMillisecondBeganWithinTheTolerance) {
    constexpr std::int64_t S = 1'000'000;  // host millisecond 0 began here
    constexpr std::int64_t kMs = 1000;
    constexpr std::int64_t kWrapMs = std::int64_t{1} << 32;
    struct Row {
        const char* what;
        std::int32_t due;
        std::int64_t nowUs, lateUs, previousUs, stamp;
    };
    const Row rows[] = {
        {"due in the current ms", 5000, S + 5000 * kMs + 400, 2000, 0, S + 5000 * kMs},
        {"one ms back", 4999, S + 5000 * kMs + 400, 2000, 0, S + 4999 * kMs},
        {"at the tolerance", 4998, S + 5000 * kMs, 2000, 0, S + 4998 * kMs},
        {"several ms back: the tolerance before the call", 4995, S + 5000 * kMs + 400, 2000, 0,
         S + 4998 * kMs + 400},
        {"before the last stamp: that stamp", 4999, S + 5000 * kMs + 400, 2000, S + 4999 * kMs + 700,
         S + 4999 * kMs + 700},
        {"in the future: the call", 5003, S + 5000 * kMs + 400, 2000, 0, S + 5000 * kMs + 400},
        {"no tolerance: the call", 4999, S + 5000 * kMs + 400, 0, 0, S + 5000 * kMs + 400},
        {"across 2^31 ms (host times turn negative)", 0x7FFFFFFF, S + (kWrapMs / 2) * kMs + 500, 2000, 0,
         S + (kWrapMs / 2 - 1) * kMs},
        {"across 2^32 ms (host times start again)", -1, S + (kWrapMs + 0) * kMs + 10, 2000, 0,
         S + (kWrapMs - 1) * kMs},
        {"after the wrap, due before it", 1, S + (kWrapMs + 2) * kMs + 999, 3000, 0, S + (kWrapMs + 1) * kMs},
    };
    for (const Row& r : rows) EXPECT_EQ(stampForDue(S, r.due, r.nowUs, r.lateUs, r.previousUs), r.stamp) << r.what;
}

// The whole chain on scripted clocks, as the process callback runs it: steps
// due every 3 ms, each sent late by up to 5 ms (in order), taken from the
// queue by the first callback after the send (callbacks run up to
// kEarlyStartMicros before their cycle's nominal start and up to most of a
// period after it) and placed by FrameClock. JACK's estimate of each cycle's
// length may wobble (continuously, cycle to cycle). Every step sent within
// the tolerance lands on its own frame, on the frame map JACK's times draw;
// one sent later lands as if sent the tolerance late, never before the cycle
// that took it; the output keeps the order of sends.
TEST(FrameMapper, StepsSentUpToTheToleranceLateLandOnTheirOwnFrame) {
    using namespace vlx::host;
    std::mt19937 random(7);
    for (const std::uint32_t period : {256u, 1024u}) {
        for (const std::int64_t wobbleUs : {0, 60}) {
            const std::int64_t margin = marginFramesFor(kLateToleranceMicros, 48'000);
            const std::int64_t tolerance = lateToleranceFor(margin, 48'000);
            EXPECT_GE(tolerance, kLateToleranceMicros);
            const std::int64_t latency = outputLatencyFrames(period, margin);
            const std::int64_t periodUs = period * 1'000'000LL / 48'000;
            // Cycle starts by JACK's estimate, and when each callback runs.
            std::uniform_int_distribution<std::int64_t> wobble(-wobbleUs, wobbleUs);
            std::uniform_int_distribution<std::int64_t> jitter(-kEarlyStartMicros, periodUs * 9 / 10 - kEarlyStartMicros);
            std::vector<std::int64_t> starts = {10'000'000};
            for (int c = 0; c < 5'100'000 / periodUs + 10; ++c)
                starts.push_back(wobbleUs ? starts.back() + periodUs + wobble(random)
                                          : 10'000'000 + (c + 1) * static_cast<std::int64_t>(period) * 1'000'000 / 48'000);
            // The frame JACK's times put at a moment (fractional).
            auto frameAt = [&](std::int64_t us) {
                std::size_t c = 0;
                while (starts[c + 1] <= us) ++c;
                return static_cast<double>(c * period) +
                       static_cast<double>(us - starts[c]) * period / static_cast<double>(starts[c + 1] - starts[c]);
            };

            // The steps, sent in order.
            const std::int64_t hostStart = 10'000'000 - 40'000 + 3;  // ms boundaries 3 us after frame boundaries
            std::uniform_int_distribution<std::int64_t> lateness(0, 5000);
            struct Step {
                std::int64_t dueUs, sentUs, stamp;
            };
            std::vector<Step> steps;
            std::int64_t previousStamp = 0, previousSent = 0;
            for (std::int32_t due = 50; due < 5000; due += 3) {
                const std::int64_t dueUs = hostStart + due * 1000LL;
                const std::int64_t sentUs = std::max<std::int64_t>(previousSent, dueUs + lateness(random));
                previousSent = sentUs;
                previousStamp = stampForDue(hostStart, due, sentUs, tolerance, previousStamp);
                steps.push_back({dueUs, sentUs, previousStamp});
            }

            FrameClock clock;
            std::size_t next = 0;
            std::int64_t previousFrame = -1;
            int exact = 0;
            for (std::size_t c = 0; c + 1 < starts.size() && next < steps.size(); ++c) {
                clock.begin(static_cast<std::uint32_t>(c * period), {starts[c], starts[c + 1], period});
                const std::int64_t callbackUs = starts[c] + jitter(random);
                for (; next < steps.size() && steps[next].sentUs < callbackUs; ++next) {
                    const Step& step = steps[next];
                    const std::int64_t offset = clock.framesFromStart(step.stamp) + latency;
                    if (offset >= static_cast<std::int64_t>(period)) break;  // a later cycle's
                    ASSERT_GE(offset, 0) << "period " << period << ", sent " << step.sentUs - step.dueUs << " us late";
                    const std::int64_t frame = static_cast<std::int64_t>(c * period) + offset;
                    ASSERT_GE(frame, previousFrame);
                    previousFrame = frame;
                    // Half a frame of rounding, and the scripted cycles start on whole microseconds.
                    EXPECT_NEAR(static_cast<double>(frame - latency), frameAt(step.stamp), 0.6)
                        << "period " << period << ", wobble " << wobbleUs;
                    if (step.stamp == step.dueUs) {
                        if (!wobbleUs) {
                            EXPECT_EQ(frame, (step.dueUs - 10'000'000) * 48 / 1000 + latency);
                        }
                        ++exact;
                    } else {
                        // Too late, or held back by the step before.
                        EXPECT_TRUE(step.sentUs - step.dueUs > tolerance || step.stamp == steps[next - 1].stamp);
                        EXPECT_GE(step.stamp, step.sentUs - tolerance);
                    }
                }
            }
            EXPECT_EQ(next, steps.size());
            EXPECT_GT(exact, 600);
        }
    }
}

}  // namespace

namespace {

using vlx::host::Placement;
using vlx::host::placeQueued;

TEST(FrameMapper, OnlyAStepsNoteOnLongPastItsFrameIsDropped) {
    using vlx::host::staleNoteOnFrames;
    // Three periods, and never less than 50 ms.
    EXPECT_EQ(staleNoteOnFrames(256, 48'000), 2400);
    EXPECT_EQ(staleNoteOnFrames(1024, 48'000), 3072);
    EXPECT_EQ(staleNoteOnFrames(64, 44'100), 2205);

    constexpr std::int64_t kStale = 2400;
    struct Row {
        const char* what;
        std::int64_t target;
        std::uint32_t last;
        bool stepNoteOn;
        Placement::Kind kind;
        std::int64_t offset;
        bool late;
    };
    const Row rows[] = {
        {"on its frame", 100, 0, true, Placement::Write, 100, false},
        {"behind what the cycle already holds", 100, 150, true, Placement::Write, 150, false},
        {"a later cycle's", 256, 0, true, Placement::Later, 0, false},
        {"passed", -10, 0, true, Placement::Write, 0, true},
        {"passed by the bound", -kStale, 30, true, Placement::Write, 30, true},
        {"a step's note-on past the bound", -kStale - 1, 0, true, Placement::Drop, 0, true},
        {"anything else past the bound", -kStale * 100, 7, false, Placement::Write, 7, true},
    };
    for (const Row& r : rows) {
        const Placement p = placeQueued(r.target, r.last, 256, r.stepNoteOn, kStale);
        EXPECT_EQ(p.kind, r.kind) << r.what;
        if (p.kind != Placement::Write) continue;
        EXPECT_EQ(p.offset, r.offset) << r.what;
        EXPECT_EQ(p.late, r.late) << r.what;
    }
    using vlx::host::MidiMessage;
    EXPECT_TRUE(vlx::host::soundsNote(MidiMessage::fromInts(0x93, 60, 1)));
    EXPECT_FALSE(vlx::host::soundsNote(MidiMessage::fromInts(0x93, 60, 0)));  // a note-off
    EXPECT_FALSE(vlx::host::soundsNote(MidiMessage::fromInts(0x83, 60, 64)));
    EXPECT_FALSE(vlx::host::soundsNote(MidiMessage::fromInts(0xB0, 60, 64)));
}

// The whole chain on scripted clocks: a pattern's steps (a note-on every
// 31 ms, its note-off 19 ms later) sent on time into the queue while the
// server runs 256-frame cycles, misses one (an xrun), and then stands still
// for a second or eight while the steps keep coming. Its frames stand still
// too, and when it resumes its times for the cycles are either the clock's
// (JACK 2 after a reset), or lag the clock by the stall and catch up four
// times as fast (JACK 2's estimate converging), or name the missed cycles,
// run back to back (PipeWire's dummy driver). Whichever: nothing is dropped
// before the stall; after it, the note-ons due during it are dropped but for
// those within the bound; every note-off goes out; nothing is left sounding,
// and no 100 ms of output frames holds more note-ons than 100 ms of the
// pattern and the two overdue ones.
TEST(FrameMapper, AfterAServerStallOnlyTheNoteOnsWithinTheBoundComeOutAndNothingBursts) {
    using namespace vlx::host;
    constexpr std::uint32_t kPeriod = 256;
    constexpr std::int64_t kRate = 48'000, kPeriodUs = kPeriod * 1'000'000 / kRate;
    const std::int64_t latency = outputLatencyFrames(kPeriod, marginFramesFor(kLateToleranceMicros, kRate));
    const std::int64_t stale = staleNoteOnFrames(kPeriod, kRate);
    enum Resume { Reset, Lagging, CatchUp };
    for (const Resume resume : {Reset, Lagging, CatchUp}) {
        for (const std::int64_t stallUs : {1'000'000, 8'000'000}) {
            SCOPED_TRACE(testing::Message() << "resume " << resume << ", stall " << stallUs);
            struct Sent {
                std::int64_t stampUs;
                bool on;
                int key;
            };
            std::vector<Sent> queue;
            const std::int64_t stallAt = 1'000'000, resumeAt = stallAt + stallUs, endAt = resumeAt + 2'000'000;
            for (std::int64_t due = 10'000, k = 0; due < endAt - 100'000; due += 31'000, ++k) {
                queue.push_back({due, true, static_cast<int>(60 + k % 3)});
                queue.push_back({due + 19'000, false, static_cast<int>(60 + k % 3)});
            }
            // Each callback: when it runs, and the cycle's start as the server tells it.
            struct Callback {
                std::int64_t atUs, startUs;
            };
            std::vector<Callback> callbacks;
            for (std::int64_t t = 0; t < stallAt; t += kPeriodUs)
                if (t / kPeriodUs != 500'000 / kPeriodUs) callbacks.push_back({t + 100, t});
            const std::int64_t told = callbacks.back().startUs + kPeriodUs;  // the cycle the stall held up
            if (resume == CatchUp)
                for (std::int64_t k = 0; told + k * kPeriodUs < resumeAt; ++k)
                    callbacks.push_back({resumeAt + 20 * k, told + k * kPeriodUs});
            std::int64_t lagging = told;
            for (std::int64_t t = resumeAt + 10'000; t < endAt; t += kPeriodUs) {
                lagging = std::min(t, lagging + 4 * kPeriodUs);
                callbacks.push_back({t + 100, resume == Lagging ? lagging : t});
            }

            FrameClock clock;
            std::size_t next = 0;
            std::map<int, int> sounding;
            std::vector<std::int64_t> onFrames;
            int droppedBefore = 0, dropped = 0, lateOns = 0, offs = 0;
            std::uint32_t frame = 0;
            int afterStall = -1;  // callbacks since the stall
            for (const Callback& cb : callbacks) {
                afterStall += afterStall >= 0 || cb.atUs >= resumeAt ? 1 : 0;
                const CycleTimes cycle = trustedCycle({cb.startUs, cb.startUs + kPeriodUs, kPeriod}, cb.atUs, kPeriodUs);
                clock.begin(frame, cycle);
                std::uint32_t last = 0;
                for (; next < queue.size() && queue[next].stampUs < cb.atUs; ++next) {
                    const Sent& m = queue[next];
                    const std::int64_t target = clock.framesFromStart(m.stampUs) + latency;
                    const Placement p = placeQueued(target, last, kPeriod, m.on, stale);
                    if (p.kind == Placement::Later) break;
                    if (p.kind == Placement::Drop) {
                        (cb.atUs < resumeAt ? droppedBefore : dropped) += 1;
                        // A step sent just before the stall is the cycle after
                        // it's, and those behind it wait for it.
                        EXPECT_LE(afterStall, 1) << "dropped as soon as the cycles after the stall reach it";
                        continue;
                    }
                    last = static_cast<std::uint32_t>(p.offset);
                    if (m.on) {
                        EXPECT_EQ(sounding[m.key], 0) << "a note-on while its key sounds";
                        sounding[m.key] = 1;
                        lateOns += p.late ? 1 : 0;
                        onFrames.push_back(frame + p.offset);
                    } else {
                        sounding[m.key] = 0;
                        ++offs;
                    }
                }
                frame += kPeriod;
            }
            EXPECT_EQ(droppedBefore, 0) << "an xrun costs no note";
            EXPECT_GE(dropped, static_cast<int>(stallUs / 31'000) - 2);
            EXPECT_LE(lateOns, 2) << "50 ms of steps 31 ms apart";
            EXPECT_EQ(offs, static_cast<int>(queue.size() / 2)) << "every note-off goes out";
            for (const auto& [key, on] : sounding) EXPECT_EQ(on, 0) << key;
            int densest = 0;
            for (std::size_t i = 0, j = 0; i < onFrames.size(); ++i) {
                while (onFrames[i] - onFrames[j] >= kRate / 10) ++j;
                densest = std::max(densest, static_cast<int>(i - j + 1));
            }
            EXPECT_LE(densest, 4 + 2) << "note-ons in 100 ms of output";
        }
    }
}

}  // namespace
