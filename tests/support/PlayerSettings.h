// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The player's settings as the tests write them: the tempo and the four
// lists' codes, and the owner's switches set the way the window sets them.
#include <cstdint>

#include "player/Player.h"

namespace vlx::test {

struct Musical {
    std::int32_t tempo = 120;  // whole bpm; the control holds tenths
    std::int32_t resolution = 8;
    std::int32_t sustain = 2;
    std::int32_t octaves = 1;
    std::int32_t cycle = 3;
    // Set: the tempo is given again even when it is the same (Return in the
    // Tempo box).
    bool given = false;
    operator ControlValues() const {  // NOLINT: a Musical stands for the values it sets
        return {{Control::Tempo, tempo * 10}, {Control::Resolution, resolution}, {Control::Sustain, sustain},
                {Control::Octaves, octaves}, {Control::Cycle, cycle}};
    }
};

// As the window hands them over: the lists, and the tempo when it changed
// or is given again.
inline void SetControls(Player& player, const Musical& m) {
    player.Set(Control::Octaves, m.octaves);
    player.Set(Control::Resolution, m.resolution);
    player.Set(Control::Sustain, m.sustain);
    player.Set(Control::Cycle, m.cycle);
    if (m.given || player.controls()[Control::Tempo] != m.tempo * 10) player.Set(Control::Tempo, m.tempo * 10);
}

// Arpeggiate as the window switches it, with Divert Input as given.
inline void Enable(Player& player, bool on, bool divert) {
    player.Set(Control::Divert, divert ? 1 : 0);
    player.Set(Control::Arpeggiate, on ? 1 : 0);
}

}  // namespace vlx::test
