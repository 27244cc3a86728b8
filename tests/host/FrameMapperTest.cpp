// Where sent messages land, on scripted clocks: the stamp of a step, the
// clock offset, and placement in cycles as the process callback does it.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>

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
