// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the player's owner (the window, a plugin) and the player's parts
// share: what the owner shows, what the player tells it, and the state of
// the owner's controls as the cycles have taken them.
#include <array>
#include <cstdint>

#include "engine/ClockFollower.h"
#include "player/Controls.h"

namespace vlx {

// What the window shows of the player, as the player last published it.
struct PlayerView {
    static constexpr std::size_t kShownHeld = 24;
    bool arpeggiating = false;
    // The held notes in pitch order, channel * 256 + note, the first kShownHeld.
    std::uint16_t heldCount = 0;
    std::array<std::uint16_t, kShownHeld> held{};
    // The note sounding now, channel * 256 + pitch; -1 when none.
    std::int32_t playing = -1;
    std::uint64_t inputs = 0;  // messages received so far, whatever became of them
    bool following = false;    // Follow MIDI clock, while arpeggiating
    ClockFollower::State clockState = ClockFollower::State::Absent;
    bool clockLost = false;
    double clockTempo = 0;  // beats per minute, measured or (lost) kept; 0 while unknown
    // The controls as the player has them.
    ControlValues controls;
    bool operator==(const PlayerView&) const = default;
};

// What the player tells its owner.
struct PlayerReport {
    enum class Kind : std::uint8_t {
        // An error stopped arpeggiation: `what` says which.
        Failed,
        // The followed clock: its state, whether it was lost, its tempo.
        Clock,
    };
    Kind kind = Kind::Clock;
    ClockFollower::State clockState = ClockFollower::State::Absent;
    bool clockLost = false;
    double clockTempo = 0;  // beats per minute; 0 while not measured
    char what[200] = {};
};

// Told, from the driver's thread, when a report waits; must not block.
class PlayerNotifier {
public:
    virtual void Notify() noexcept = 0;

protected:
    ~PlayerNotifier() = default;
};

// The owner's controls as the cycles have taken them, and whether the
// timer loop runs: what every part of the player reads.
struct PlayState {
    ControlValues controls;
    bool looping = false;  // Arpeggiate is down
    bool on(Control c) const noexcept { return controls.on(c); }
};

}  // namespace vlx
