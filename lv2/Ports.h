// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The plugin's ports by index: MIDI in and out, then a control port for
// every control of the control table that has an LV2 symbol, at the index
// the table gives it (the Turtle is generated from the same table).
#include <array>
#include <cstdint>
#include <optional>

#include "player/Controls.h"

namespace vlx::lv2 {

using Port = std::uint32_t;
inline constexpr Port In = 0;
inline constexpr Port Out = 1;

// The ports a control has: one, a row of steps one a place.
constexpr Port PortsOf(const ControlInfo& info) noexcept {
    if (!info.lv2Symbol) return 0;
    return info.kind == ControlKind::Steps ? static_cast<Port>(info.steps) : 1;
}
inline constexpr Port kPortCount = [] {
    Port count = 2;
    for (const ControlInfo& info : Controls()) count += PortsOf(info);
    return count;
}();
static_assert([] {
    std::array<bool, kPortCount> taken{true, true};
    for (const ControlInfo& info : Controls()) {
        for (Port p = info.lv2Index; p < info.lv2Index + PortsOf(info); ++p) {
            if (p >= kPortCount || taken[p]) return false;
            taken[p] = true;
        }
    }
    return true;
}(), "every control port has an index of its own, with none missing");

constexpr Port PortOf(Control c) noexcept { return InfoOf(c).lv2Index; }
// The control on a port (a row of steps on each of its ports), none for
// the MIDI ports.
std::optional<Control> ControlOn(Port port) noexcept;

// What the control ports hold, each taken by its control's rules (a switch
// is on above 0.5, a list takes the code nearest, a value is rounded and
// refused out of range). A port unconnected, holding no number or a value
// refused keeps what `before` has; `refused` counts the refusals.
ControlValues ReadControls(const std::array<const float*, kPortCount>& ports, const ControlValues& before,
                           std::uint32_t& refused) noexcept;

}  // namespace vlx::lv2
