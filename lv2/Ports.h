// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The plugin's ports by index, as vlxarp.ttl describes them, and the
// settings its control ports hold, read as the window's controls would give
// them to the player.
#include <array>
#include <cstdint>
#include <string_view>

#include "player/Player.h"

namespace vlx::lv2 {

enum Port : std::uint32_t {
    In,
    Out,
    Arpeggiate,
    Divert,
    Retrigger,
    Tempo,
    Resolution,
    Octaves,
    Sustain,
    Cycle,
    SustainHold,
    FollowHost,
    KeepBeat,
    Latch,
    ShuffleEveryPass,
    PlayStopped,
    kPortCount
};

// The symbols of vlxarp.ttl, by index.
inline constexpr std::array<std::string_view, kPortCount> kPortSymbols = {
    "in",         "out",     "arpeggiate", "divert", "retrigger",    "tempo",
    "resolution", "octaves", "sustain",    "cycle",  "sustain_hold", "follow_host",
    "keep_beat",  "latch",   "shuffle_every_pass", "play_stopped"};

// The switches of the window and its band menu.
struct Switches {
    bool arpeggiate = false;
    bool divert = false;
    bool retrigger = false;
    bool sustainHold = false;
    bool followHost = false;
    bool keepBeat = false;
    bool latch = false;
    bool shuffleEveryPass = false;
    bool playStopped = false;  // following the host: play on while its transport stands
    bool operator==(const Switches&) const = default;
};

struct Settings {
    Switches switches;
    PlayerControls controls;
    bool operator==(const Settings&) const = default;
};

// What the control ports hold, each value taken as the window would have
// it: a switch is on above 0.5, the tempo is rounded into 8..240, a list
// takes the code nearest the value. An unconnected port, or one holding
// no number, keeps the window's default.
Settings ReadSettings(const std::array<const float*, kPortCount>& ports) noexcept;

}  // namespace vlx::lv2
