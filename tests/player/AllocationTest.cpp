// SPDX-License-Identifier: GPL-3.0-or-later
// The player in the audio thread never asks the system for memory: every
// allocation in this test binary is counted while the player plays a busy
// session, from its first cycle.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "player/Player.h"
#include "support/PlayerSettings.h"
#include "support/AllocationCounter.h"

using vlx::test::allocation::allocations;
using vlx::test::allocation::counting;

namespace vlx {
namespace {

// Takes what the player writes without allocating.
class CountingOutput final : public CycleOutput {
public:
    bool Write(std::uint32_t, const std::uint8_t* bytes, std::uint32_t) noexcept override {
        ++messages;
        if ((bytes[0] & 0xF0) == 0x90) ++noteOns;
        return true;
    }
    long messages = 0;
    long noteOns = 0;
};

struct Event {
    std::uint64_t frame;
    std::uint8_t bytes[3];
    std::uint32_t size;
};

TEST(PlayerAllocation, APlayingSessionAllocatesNothingFromItsFirstCycle) {
    // Everything the session will play, made before counting starts.
    std::vector<Event> events;
    constexpr std::uint32_t kRate = 48000, kPeriod = 256;
    auto ms = [](std::uint64_t t) { return t * kRate / 1000; };
    auto note = [&](std::uint64_t t, std::uint8_t status, std::uint8_t d1, std::uint8_t d2) {
        events.push_back({ms(t), {status, d1, d2}, 3});
    };
    std::uint64_t t = 10;
    // An eleven-note chord over three octaves, Random: a pass of 64 steps.
    for (std::uint8_t n = 0; n < 11; ++n) note(t, 0x90, static_cast<std::uint8_t>(48 + 2 * n), 90);
    t += 700;
    for (std::uint8_t n = 0; n < 11; n += 2) note(t + n, 0x80, static_cast<std::uint8_t>(48 + 2 * n), 0);
    note(t + 50, 0xB0, 64, 127);  // the pedal holds the rest
    for (std::uint8_t n = 1; n < 11; n += 2) note(t + 60, 0x80, static_cast<std::uint8_t>(48 + 2 * n), 0);
    note(t + 200, 0xB0, 1, 100);  // a bound controller, then a preset recalled at once
    events.push_back({ms(t + 250), {0xC0, 2}, 2});
    note(t + 300, 0x90, 72, 100);  // a new chord replaces the held one
    note(t + 600, 0xB0, 64, 0);
    note(t + 700, 0xB0, 123, 0);  // all notes off
    t += 1000;
    // Every key of every channel, a channel every 6 ms (a cycle takes up to
    // 256 presses): the largest pattern the player allows.
    for (std::uint8_t chan = 0; chan < 16; ++chan)
        for (std::uint8_t key = 0; key < 128; ++key) note(t + 6 * chan, static_cast<std::uint8_t>(0x90 | chan), key, 64);
    note(t + 100, 0x90, 60, 64);  // one more is refused
    t += 1500;
    for (std::uint8_t chan = 0; chan < 16; ++chan)
        for (std::uint8_t key = 0; key < 128; ++key) note(t, static_cast<std::uint8_t>(0x80 | chan), key, 0);
    t += 100;
    // A MIDI clock with a chord.
    events.push_back({ms(t), {0xFA}, 1});
    note(t + 1, 0x90, 60, 100);
    note(t + 1, 0x90, 67, 100);
    for (int k = 0; k < 200; ++k) events.push_back({ms(t + 2) + 1000 * static_cast<std::uint64_t>(k), {0xF8}, 1});
    const std::uint64_t end = ms(t + 2) + 1000 * 200 + ms(1000);

    Player player(test::Musical{240, 1, 3, 3, Arpeggiator::CycleRandom});
    CountingOutput out;
    auto tables = std::make_unique<HandsFreeTables>();
    tables->Bind({Binding::Source::Controller, 0, 1, Control::Cycle});
    Preset preset{{}, test::Musical{120, 4, 1, 2, Arpeggiator::CycleUp}};
    for (const ControlInfo& info : Controls()) preset.sets.set(static_cast<std::size_t>(info.id), info.settingsName);
    tables->presets[2] = preset;
    tables->programChannel = HandsFreeTables::kAnyChannel;
    player.SetHandsFree(std::move(tables));
    counting = true;
    test::Enable(player, true, true);
    player.Set(Control::Retrigger, true);
    player.Set(Control::SustainHold, true);
    std::size_t next = 0;
    int cycle = 0;
    for (std::uint64_t frame = 0; frame < end; frame += kPeriod, ++cycle) {
        if (cycle == 900) test::SetControls(player, {200, 2, 2, 3, Arpeggiator::CycleUpDown});
        if (frame >= ms(t) && frame < ms(t) + kPeriod) player.Set(Control::FollowClock, true);
        player.BeginCycle({frame, kPeriod, kRate}, out);
        for (; next < events.size() && events[next].frame < frame + kPeriod; ++next)
            player.Receive(static_cast<std::uint32_t>(events[next].frame - frame), events[next].bytes, events[next].size);
        player.EndCycle();
    }
    test::Enable(player, false, false);
    player.BeginCycle({end, kPeriod, kRate}, out);
    player.EndCycle();
    counting = false;

    EXPECT_EQ(allocations.load(), 0);
    EXPECT_GT(out.noteOns, 100) << "it did play";
    EXPECT_EQ(player.counters().refusedKeys, 1u);
    EXPECT_EQ(player.counters().failures, 0u);
    EXPECT_TRUE(player.engine().IsEmpty());
}

}  // namespace
}  // namespace vlx
