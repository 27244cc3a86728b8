// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Where one received MIDI message goes. Every backend asks this one rule,
// first on its MIDI thread when the message arrives and again on the owner's
// thread when it is delivered, so that JACK and ALSA pass the same input.
#include <cstdint>

namespace vlx::host {

struct InputCase {
    // false: the message has just arrived (MIDI thread); true: the owner's
    // thread delivers it after it was handed over.
    bool delivering = false;
    // The host's flags at that moment; only 1 counts as on.
    std::int32_t divert = 0;
    std::int32_t raise = 0;
    // Fits the three integers of MidiInput: one short message. SysEx and
    // events that decode to several messages do not.
    bool fitsEvent = true;
    // Arrival: the output has room for the message now.
    bool roomInOutput = true;
    // Delivery: the message was written to the output when it arrived.
    bool passedOnArrival = false;
};

struct InputRoute {
    // Arrival: write it to the output in this cycle at its own frame.
    // Delivery: send it now.
    bool toOutput = false;
    // Arrival: hand it to the owner's thread. Delivery: raise MidiInput.
    bool toProgram = false;
    // It should pass but the output has no room: count it.
    bool noRoom = false;
};

// The host passes input itself unless the program both diverts and receives
// it: while arpeggiation is switched on or off the two flags change one
// after the other, and input must not fall between them. What cannot reach
// the program in one event (SysEx, multi-message events) always passes,
// whole. Input handed over while raising but delivered after the program
// stopped raising goes out then, unless it already went out on arrival:
// nobody else would pass it, and nothing may pass twice.
constexpr InputRoute routeInput(const InputCase& c) noexcept {
    const bool raising = c.raise == 1;
    InputRoute r;
    if (c.delivering) {
        r.toProgram = raising;
        r.toOutput = !raising && !c.passedOnArrival;
        return r;
    }
    const bool pass = !(c.divert == 1 && raising) || !c.fitsEvent;
    r.toOutput = pass && c.roomInOutput;
    r.noRoom = pass && !c.roomInOutput;
    r.toProgram = raising && c.fitsEvent;
    return r;
}

}  // namespace vlx::host
