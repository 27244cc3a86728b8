// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The input path: every message received is routed at its own frame, to the
// output or the program or both; what reaches the program is stamped with
// the host time (vlx_MidiInput), waits in InQ while the engine is taken
// (lBusy), and is decoded (ProcessMidi) into presses, releases, the band's
// messages and what is forwarded while input is diverted.
#include <array>
#include <atomic>
#include <bitset>
#include <cstdint>
#include <memory>

#include "engine/Arpeggiator.h"
#include "host/api/MidiMessage.h"
#include "host/api/Routing.h"
#include "model/InputQ.h"
#include "player/Band.h"
#include "player/CycleHost.h"
#include "player/HeldKeys.h"

namespace vlx {

// Holds the engine for one handler while it runs; owns it when the count
// was free. Every increment is undone on every path, errors included.
class BusyGuard {
public:
    explicit BusyGuard(std::atomic<std::int32_t>& count) : count_(count), owns_(++count_ <= 0) {}
    BusyGuard(const BusyGuard&) = delete;
    BusyGuard& operator=(const BusyGuard&) = delete;
    ~BusyGuard() { --count_; }
    bool owns() const noexcept { return owns_; }

private:
    std::atomic<std::int32_t>& count_;
    bool owns_;
};

class InputPath {
public:
    InputPath(Arpeggiator& arp, CycleHost& host, CycleTime& time, HeldKeys& keys, Band& band,
              const PlayState& state);

    // A message arrived at the frame being played: counted, written to the
    // output when it passes, and the route it takes returned (the caller
    // hands it to the program when toProgram).
    host::InputRoute Arrive(const host::MidiMessage& m) noexcept;

    void vlx_MidiInput(std::int32_t nTimestamp, std::int32_t Port, std::int32_t Status, std::int32_t data1,
                       std::int32_t data2);
    void ProcessMidi(std::int32_t lTime, std::int32_t Status, std::int32_t data1, std::int32_t data2);
    // Replays what waited, oldest first.
    void DrainInQ();
    // Arpeggiate pressed over held keys, on a kept beat: they are played as
    // if pressed now.
    void PlayKeysDown();
    // The engine is empty: no press of it seen yet.
    void ForgetPresses() noexcept { divertedPress_.reset(); }
    // Whatever passed to the output and is still down (keys, the sustain
    // pedal) gets its release there: the connections are about to end, and
    // the synth would never hear it otherwise.
    void ReleasePassed();

    std::atomic<std::int32_t> lBusy{-1};
    std::shared_ptr<InputQ> InQ;

    std::uint64_t inputs() const noexcept { return inputs_; }
    // A message taken before routing (hands-free control): it arrived all the same.
    void Seen() noexcept { ++inputs_; }
    std::uint64_t received() const noexcept { return received_.load(std::memory_order_relaxed); }
    std::uint64_t refusedKeys() const noexcept { return refused_.load(std::memory_order_relaxed); }

private:
    bool arpeggiates(std::uint8_t chan, std::uint8_t note) const noexcept;
    bool passesBySplit(const host::MidiMessage& m) noexcept;

    Arpeggiator& Arp;
    CycleHost& vlx;
    CycleTime& time_;
    HeldKeys& keys_;
    Band& band_;
    const PlayState& state_;
    // Keys whose latest press the host held back (DivertInput 1), by
    // channel * 256 + note: their releases stay with the engine.
    std::bitset<16 * 256> divertedPress_;
    // Keys down, whatever the routing (velocity, 0 when up), by channel * 128 + note.
    std::array<std::uint8_t, 16 * 128> keysDown_{};
    // What the output has had pressed and not released: keys, by channel *
    // 128 + note, and the sustain pedal, by channel.
    std::bitset<16 * 128> passedDown_;
    std::bitset<16> passedPedal_;
    void passed(const std::uint8_t* bytes, std::uint32_t size) noexcept;
    // Keys whose latest press passed by the split, by channel * 128 + note.
    std::bitset<16 * 128> passedBySplit_;
    std::uint64_t inputs_ = 0;
    std::atomic<std::uint64_t> received_{0};
    std::atomic<std::uint64_t> refused_{0};
};

}  // namespace vlx
