// Where sent messages land in a cycle, on simulated cycle times.
#include <gtest/gtest.h>

#include "host/jack/FrameMapper.h"

namespace {

using vlx::host::CycleTimes;
using vlx::host::outputLatencyFrames;
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

}  // namespace
