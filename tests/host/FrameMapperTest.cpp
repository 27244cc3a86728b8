// Where sent messages land in a cycle, on simulated cycle times.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>

#include "host/jack/FrameMapper.h"

namespace {

using vlx::host::CycleTimes;
using vlx::host::outputLatencyFrames;
using vlx::host::stampForDue;
using vlx::host::targetOffset;

// Cycles of a 48 kHz server starting at 10 s: period frames each.
CycleTimes cycleAt(int index, std::uint32_t period) {
    const std::int64_t start = 10'000'000 + index * static_cast<std::int64_t>(period) * 1'000'000 / 48'000;
    const std::int64_t next = 10'000'000 + (index + 1) * static_cast<std::int64_t>(period) * 1'000'000 / 48'000;
    return {start, next, period};
}

TEST(FrameMapper, StampsOneMillisecondApartLandFortyEightFramesApartAcrossCycles) {
    for (const std::uint32_t period : {256u, 1024u}) {
        const std::int64_t latency = outputLatencyFrames(period, 48);
        // Every stamp is placed in the first cycle whose frames reach it, as the
        // process callback does; its absolute frame is cycle start + offset.
        std::int64_t previous = -1;
        int cycle = 1;
        for (int k = 0; k < 200; ++k) {
            const std::int64_t stamp = 10'000'000 + 1000LL * k + 3;  // sent during the run
            // The cycle that is current when the stamp is taken, at the earliest.
            while (cycleAt(cycle, period).nextUs <= stamp) ++cycle;
            int c = cycle;
            std::int64_t offset = targetOffset(cycleAt(c, period), stamp, latency);
            while (offset >= static_cast<std::int64_t>(period)) offset = targetOffset(cycleAt(++c, period), stamp, latency);
            ASSERT_GE(offset, 0) << "late: period " << period << " message " << k;
            const std::int64_t frame = static_cast<std::int64_t>(c) * period + offset;
            if (previous >= 0) {
                EXPECT_EQ(frame - previous, 48) << "period " << period << " message " << k;
            }
            previous = frame;
            // The latency is constant: the frame is the stamp's frame plus latency.
            EXPECT_EQ(frame, (stamp - 10'000'000) * 48 / 1000 + latency) << k;
        }
    }
}

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

// The whole chain on scripted clocks: steps due every millisecond, each sent
// late by up to the tolerance, taken by the first process callback after the
// send (callbacks run up to kEarlyStartMicros before their cycle's nominal
// start and up to most of a period after it) and written where the mapper
// puts them. Each lands on its own frame; one sent later still never lands
// before the cycle that took it.
TEST(FrameMapper, StepsSentUpToTheToleranceLateLandOnTheirOwnFrame) {
    using namespace vlx::host;
    std::mt19937 random(7);
    for (const std::uint32_t period : {256u, 1024u}) {
        const std::int64_t margin = marginFramesFor(kLateToleranceMicros, 48'000);
        const std::int64_t tolerance = lateToleranceFor(margin, 48'000);
        EXPECT_GE(tolerance, kLateToleranceMicros);
        const std::int64_t latency = outputLatencyFrames(period, margin);
        const std::int64_t periodUs = period * 1'000'000LL / 48'000;
        std::uniform_int_distribution<std::int64_t> jitter(-kEarlyStartMicros, periodUs * 9 / 10 - kEarlyStartMicros);
        std::vector<std::int64_t> callbackUs;
        for (int c = 0; c < 5'100'000 / periodUs + 10; ++c) callbackUs.push_back(cycleAt(c, period).startUs + jitter(random));

        const std::int64_t hostStart = 10'000'000 - 40'000 + 3;  // ms boundaries 3 us after frame boundaries
        std::uniform_int_distribution<std::int64_t> lateness(0, 5000);
        std::int64_t previousStamp = 0, previousFrame = -1, previousSent = 0;
        int exact = 0;
        for (std::int32_t due = 50; due < 5000; due += 3) {
            // Sends come one after the other: a step waits for the late one before it.
            const std::int64_t sentUs = std::max<std::int64_t>(previousSent, hostStart + due * 1000LL + lateness(random));
            const std::int64_t late = sentUs - (hostStart + due * 1000LL);
            previousSent = sentUs;
            const std::int64_t stamp = stampForDue(hostStart, due, sentUs, tolerance, previousStamp);
            previousStamp = stamp;
            std::size_t c = 0;
            while (callbackUs[c] <= sentUs) ++c;
            std::int64_t offset = targetOffset(cycleAt(static_cast<int>(c), period), stamp, latency);
            while (offset >= static_cast<std::int64_t>(period))
                offset = targetOffset(cycleAt(static_cast<int>(++c), period), stamp, latency);
            ASSERT_GE(offset, 0) << "period " << period << ", due " << due << ", sent " << late << " us late";
            const std::int64_t frame = static_cast<std::int64_t>(c) * period + offset;
            ASSERT_GE(frame, previousFrame);
            previousFrame = frame;
            // Every stamp lands on its frame plus the latency; a step sent
            // within the tolerance (and not held back by the one before) is
            // stamped where it was due.
            const double stampFrame = static_cast<double>(stamp - 10'000'000) * 0.048;
            // Half a frame of rounding, and the scripted cycles start on whole microseconds.
            EXPECT_NEAR(static_cast<double>(frame - latency), stampFrame, 0.6) << "period " << period << ", due " << due;
            if (late <= tolerance && stamp == hostStart + due * 1000LL) {
                EXPECT_EQ(frame, (hostStart + due * 1000LL - 10'000'000) * 48 / 1000 + latency) << due;
                ++exact;
            } else {
                EXPECT_GE(stamp, sentUs - tolerance) << due;
            }
        }
        EXPECT_GT(exact, 600);
    }
}

}  // namespace
