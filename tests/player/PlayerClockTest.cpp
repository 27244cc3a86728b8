// SPDX-License-Identifier: GPL-3.0-or-later
// The player's milliseconds on the frames of its driver.
#include <gtest/gtest.h>

#include <cstdint>

#include "player/PlayerClock.h"

namespace vlx {
namespace {

TEST(PlayerClock, MillisecondsFollowTheFramesAndATickMovesTheGridByLessThanHalfOneWithoutDrift) {
    struct Case {
        std::uint32_t rate;
        std::uint64_t frame;
        std::int32_t ms;           // MsAt(frame)
        std::uint64_t startOfMs;  // FrameOf(ms)
    };
    const Case cases[] = {
        {48000, 0, 0, 0},        {48000, 47, 0, 0},       {48000, 48, 1, 48},        {48000, 4800, 100, 4800},
        {44100, 44, 0, 0},       {44100, 45, 1, 45},      {44100, 441, 10, 441},     {44100, 440, 9, 397},
        {96000, 95, 0, 0},       {96000, 96, 1, 96},      {22050, 22049, 999, 22028},
    };
    for (const Case& c : cases) {
        const PlayerClock clock(c.rate);
        EXPECT_EQ(clock.MsAt(c.frame), c.ms) << c.rate << " " << c.frame;
        EXPECT_EQ(clock.FrameOf(c.ms, c.frame), c.startOfMs) << c.rate << " " << c.frame;
    }

    // Host milliseconds wrap after 2^32; the frames go on.
    const PlayerClock clock(48000);
    const std::uint64_t wrap = (std::uint64_t{1} << 32) * 48;
    EXPECT_EQ(clock.MsAt(wrap - 1), -1);
    EXPECT_EQ(clock.MsAt(wrap + 5 * 48), 5);
    EXPECT_EQ(clock.FrameOf(5, wrap), wrap + 5 * 48);
    EXPECT_EQ(clock.FrameOf(-3, wrap), wrap - 3 * 48);

    // A tick on frame 10007 (208.48 ms): 208 begins on it from now on.
    PlayerClock grid(48000);
    EXPECT_EQ(grid.AlignTo(10007), 208);
    EXPECT_EQ(grid.MsAt(10007), 208);
    EXPECT_EQ(grid.MsAt(10006), 207);
    EXPECT_EQ(grid.FrameOf(208, 10007), 10007u);
    EXPECT_EQ(grid.FrameOf(209, 10007), 10055u);
    // One on 10030 (208.96 ms, nearer 209): time moves on, never back.
    EXPECT_EQ(grid.AlignTo(10030), 209);
    EXPECT_EQ(grid.FrameOf(209, 10030), 10030u);

    // A tick every 1000 frames (120 bpm) for a long while: each tick starts
    // its millisecond, time never runs back, and the grid stays within half
    // a millisecond of the frames'.
    PlayerClock ticks(44100);
    std::int32_t previous = ticks.MsAt(0);
    for (std::uint64_t k = 1; k < 200000; ++k) {
        const std::uint64_t f = 919 * k;  // 44.1 kHz: 20.84 ms apart
        const std::int32_t before = ticks.MsAt(f);
        const std::int32_t ms = ticks.AlignTo(f);
        ASSERT_GE(ms, before) << k;
        ASSERT_GE(ms, previous) << k;
        ASSERT_EQ(ticks.FrameOf(ms, f), f) << k;
        const double exact = static_cast<double>(f) * 1000.0 / 44100.0;
        ASSERT_LE(std::abs(ms - exact), 0.5 + 1e-9) << k;
        previous = ms;
    }

    // A new rate from a frame on: the milliseconds go on from there.
    PlayerClock rates(48000);
    rates.SetRate(96000, 48000);
    EXPECT_EQ(rates.MsAt(48000), 1000);
    EXPECT_EQ(rates.MsAt(48000 + 96), 1001);
    EXPECT_EQ(rates.FrameOf(1002, 48000), 48000u + 192);
}

}  // namespace
}  // namespace vlx
