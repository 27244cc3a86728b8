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
    // The note of the step struck last, channel * 256 + pitch, while keys
    // are held; -1 when none.
    std::int32_t playing = -1;
    std::uint64_t inputs = 0;  // messages received so far, whatever became of them
    bool following = false;    // Follow MIDI clock, while arpeggiating
    ClockFollower::State clockState = ClockFollower::State::Absent;
    bool clockLost = false;
    double clockTempo = 0;  // beats per minute, measured or (lost) kept; 0 while unknown
    // The controls as the player has them.
    ControlValues controls;
    bool operator==(const PlayerView&) const = default;
    // Whether the owner would show anything else for `other` (the tempo to
    // the whole beat, input counted apart).
    bool ShowsAsBefore(const PlayerView& other) const noexcept;
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

inline bool PlayerView::ShowsAsBefore(const PlayerView& o) const noexcept {
    const auto whole = [](double bpm) { return static_cast<long>(bpm + 0.5); };
    return arpeggiating == o.arpeggiating && heldCount == o.heldCount && held == o.held && playing == o.playing &&
           following == o.following && clockState == o.clockState && clockLost == o.clockLost &&
           whole(clockTempo) == whole(o.clockTempo) && controls == o.controls;
}

// Told, from the driver's thread, when a report waits or what the owner
// shows changed; must not block.
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
