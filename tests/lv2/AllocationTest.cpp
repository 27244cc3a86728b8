// SPDX-License-Identifier: GPL-3.0-or-later
// run() never asks the system for memory: every allocation in this test
// binary is counted while the host is inside run(), through a busy session
// with every feature and some bad input, from the first block.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <random>

#include "LilvHost.h"
#include "support/AllocationCounter.h"
#include "support/PlayerSettings.h"

using vlx::test::allocation::allocations;
using vlx::test::allocation::counting;

namespace vlx::test {
namespace {

TEST(Lv2PluginAllocation, RunAllocatesNothingThroughABusySession) {
    PluginRig rig({.controls = {{Control::Arpeggiate, 1}, {Control::Divert, 1}, {Control::Retrigger, 1}, {Control::Tempo, 240},
                                {Control::Resolution, 1}, {Control::Octaves, 3}, {Control::Cycle, 5}, {Control::SustainHold, 1},
                                {Control::FollowClock, 1}}});
    rig.aroundRun = [](bool running) { counting = running; };
    std::mt19937 random(5);
    long notes = 0;
    std::uint64_t sessionFrame = 0;
    for (int block = 0; block < 3000; ++block) {
        const std::uint32_t frames = block % 97 == 0 ? 0 : std::uniform_int_distribution<std::uint32_t>(1, 2048)(random);
        std::vector<HostInput> in;
        // The transport: rolling at 140, stopped for a while, at 100 again.
        TimePosition p;
        p.bpm = block < 1500 ? 140.0F : 100.0F;
        p.speed = block > 1000 && block < 1200 ? 0.0F : 1.0F;
        const double quarters = static_cast<double>(sessionFrame) / 48000 * *p.bpm / 60;
        p.bar = static_cast<std::int64_t>(quarters / 4);
        p.barBeat = static_cast<float>(quarters - 4.0 * static_cast<double>(p.bar));
        in.emplace_back(0, p);
        // Chords, releases, the pedal, all notes off, bad events.
        const int key = 36 + block % 48;
        if (block % 7 == 0) in.emplace_back(frames / 2, Bytes{0x90, static_cast<std::uint8_t>(key), 90});
        if (block % 11 == 0) in.emplace_back(frames / 2, Bytes{0x80, static_cast<std::uint8_t>(key - 5), 0});
        if (block % 50 == 0) in.emplace_back(frames, Bytes{0xB0, 64, static_cast<std::uint8_t>(block % 100 ? 127 : 0)});
        if (block % 400 == 399) in.emplace_back(0, Bytes{0xB0, 123, 0});
        if (block % 13 == 0) in.emplace_back(0, Bytes{0xF0, 1, 2, 3, 0xF7});
        if (block % 17 == 0) in.emplace_back(frames + 10, Bytes{0x90, 70, 80});
        // The settings change now and then.
        if (block % 300 == 0) rig.control(Control::Cycle) = static_cast<float>(1 + block / 300 % 5);
        if (block % 700 == 0) rig.control(Control::FollowClock) = block % 1400 ? 0.0F : 1.0F;
        if (block == 2500) rig.control(Control::Arpeggiate) = 0;
        if (block == 2600) rig.control(Control::Arpeggiate) = 1;
        for (const auto& m : rig.Run(frames, in)) notes += (m.bytes[0] & 0xF0) == 0x90;
        sessionFrame += frames;
    }
    counting = false;
    EXPECT_EQ(allocations.load(), 0);
    EXPECT_GT(notes, 1000) << "it did play";
    EXPECT_NE(rig.logText(), "") << "and the bad events were said";
}

}  // namespace
}  // namespace vlx::test
