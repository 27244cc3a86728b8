// SPDX-License-Identifier: GPL-3.0-or-later
#include "model/Records.h"

#include "model/Checked.h"

namespace vlx {

std::uint8_t QEvt::CalcPitch(std::uint8_t nNote) const {
    using namespace checked;
    const auto octave = sub<std::int16_t>(OctMult, 1);
    const auto semis = mul<std::int16_t>(octave, 12);
    const auto pitch = add<std::int16_t>(semis, nNote);
    return narrow<std::uint8_t>(pitch);
}

}  // namespace vlx
