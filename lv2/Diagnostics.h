// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What went wrong in run(), counted there without a word, and said later
// in the host's log from a thread that may wait: the host's worker after
// the block, or deactivate. Each message says how often since the last.
#include <lv2/log/logger.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>

#include "player/Player.h"

namespace vlx::lv2 {

class Diagnostics {
public:
    enum Kind : std::uint8_t {
        Malformed,       // an event or property cut short, or running past what holds it
        OutOfOrder,      // an event before the one ahead of it
        PastEnd,         // an event at or past the end of its block
        HostTempo,       // a tempo of 0, below, not a number or too fast
        HostPosition,    // a speed, meter or position that is no finite number
        DroppedInEmpty,  // MIDI in a block of 0 frames beyond what is kept for the next
        BeatTime,        // an input sequence stamped in beats
        RefusedControl,  // a control port's value its control refuses (a tempo out of range)
        kKinds
    };

    // ---- run() ----
    void Count(Kind kind) noexcept { counts_[kind].fetch_add(1, std::memory_order_relaxed); }
    void RefusedTempo(double bpm) noexcept {
        lastTempo_.store(bpm, std::memory_order_relaxed);
        Count(HostTempo);
    }
    // Grows with every problem counted here or by the player: a change
    // means there is something to say.
    std::uint64_t Total(const Player& player) const noexcept;

    // ---- not from run(): says what happened since it last did ----
    void Say(LV2_Log_Logger& log, Player& player);
    // The player was replaced: its counters start again.
    void NewPlayer();

private:
    std::array<std::atomic<std::uint64_t>, kKinds> counts_{};
    std::atomic<double> lastTempo_{0};

    std::mutex saying_;  // the host's worker and deactivate
    std::array<std::uint64_t, kKinds> said_{};
    Player::Counters playerSaid_{};
};

}  // namespace vlx::lv2
