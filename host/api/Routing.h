// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Where one received MIDI message goes while the program runs in the host's
// cycle: to the output at its own frame, to the program, or both.
#include <cstdint>

namespace vlx::host {

struct InputCase {
    // The flags at that moment; only 1 counts as on.
    std::int32_t divert = 0;
    std::int32_t raise = 0;
    // Fits the three integers the program takes: one short message. SysEx
    // and events that decode to several messages do not.
    bool fitsEvent = true;
};

struct InputRoute {
    bool toOutput = false;
    bool toProgram = false;
};

// Input passes unless the program both diverts and receives it: while
// arpeggiation is switched on or off the two flags change one after the
// other, and input must not fall between them. What cannot reach the
// program as one message (SysEx, multi-message events) always passes, whole.
constexpr InputRoute routeInput(const InputCase& c) noexcept {
    const bool raising = c.raise == 1;
    InputRoute r;
    r.toOutput = !(c.divert == 1 && raising) || !c.fitsEvent;
    r.toProgram = raising && c.fitsEvent;
    return r;
}

}  // namespace vlx::host
