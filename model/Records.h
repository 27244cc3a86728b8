// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The three records that move between the input path, the engine and its
// schedules. Records are shared: a collection and everyone who obtained a
// record from it hold the same object, and a change made through one holder
// is seen by all. Fields store what they are given, without checks.
#include <cstdint>

namespace vlx {

// One note the player holds down.
struct NoteEvt {
    std::int16_t ID = 0;        // identity that pattern steps refer to
    std::uint8_t chan = 0;      // MIDI channel 0..15
    std::uint8_t Note = 0;      // note number as played
    std::uint8_t Velocity = 0;  // note-on velocity as played
    std::int16_t Duration = 0;  // ms each step of this note sounds
    std::uint32_t Arrival = 0;  // counts up with every note held: the order they came in
};

// One step of the pattern.
struct QEvt {
    std::int16_t Index = 0;    // ID of the held note this step plays
    std::int16_t OctMult = 0;  // octave of the step, 1 = the held pitch
    std::int32_t Trigger = 0;  // The time at which it expires (host ms)
    std::uint16_t Frac = 0;    // how far into that millisecond, in 65536ths (exact steps)
    std::int16_t Tied = 0;     // a note-off's: the steps after its own its note sounds through (ties)
    std::int32_t Slot = 0;     // its step on the grid the pattern was laid out on

    // The pitch the step sounds for a held note of pitch nNote:
    // (OctMult - 1) * 12 + nNote, failing with OverflowError outside 0..255.
    std::uint8_t CalcPitch(std::uint8_t nNote) const;
};

// One short MIDI input message with its host time of arrival.
struct InQEvt {
    std::int32_t Status = 0;
    std::int32_t data1 = 0;
    std::int32_t data2 = 0;
    std::int32_t lTime = 0;
};

}  // namespace vlx
