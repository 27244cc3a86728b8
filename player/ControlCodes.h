// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// How the controls' values become the engine's settings.
#include <cstdint>

#include "engine/Arpeggiator.h"
#include "model/Checked.h"
#include "player/Controls.h"

namespace vlx::codes {

inline std::int16_t code(const ControlValues& c, Control which) { return checked::narrow<std::int16_t>(c[which]); }

// The Tempo control holds tenths of a bpm; the engine's Tempo is the whole
// bpm (half to even), and only exact steps take the tenths.
inline std::int16_t wholeTempo(const ControlValues& c) { return checked::round<std::int16_t>(c[Control::Tempo] / 10.0); }
inline Arpeggiator::Timing timingOf(const ControlValues& c) {
    return {c.on(Control::ExactSteps) ? code(c, Control::Tempo) : std::int16_t{0}, code(c, Control::StepFeel),
            code(c, Control::Swing), code(c, Control::Gate)};
}

inline Arpeggiator::Shape shapeOf(const ControlValues& c) {
    return {code(c, Control::OctaveOrder), code(c, Control::Repeat), c[Control::Rhythm], code(c, Control::RhythmLength)};
}

inline Arpeggiator::Voice voiceOf(const ControlValues& c) {
    return {code(c, Control::Velocity), checked::narrow<std::uint8_t>(c[Control::VelocityValue]),
            code(c, Control::AccentEvery), code(c, Control::OutChannel)};
}

}  // namespace vlx::codes
