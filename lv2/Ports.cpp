// SPDX-License-Identifier: GPL-3.0-or-later
#include "lv2/Ports.h"

namespace vlx::lv2 {

std::optional<Control> ControlOn(Port port) noexcept {
    for (const ControlSpec& spec : Controls())
        if (spec.lv2Symbol && spec.lv2Index == port) return spec.id;
    return std::nullopt;
}

ControlValues ReadControls(const std::array<const float*, kPortCount>& ports, const ControlValues& before,
                           std::uint32_t& refused) noexcept {
    ControlValues values = before;
    for (const ControlSpec& spec : Controls()) {
        const float* port = spec.lv2Symbol ? ports[spec.lv2Index] : nullptr;
        if (!port) continue;
        if (const auto value = Accept(spec.id, *port))
            values[spec.id] = *value;
        else
            ++refused;
    }
    return values;
}

}  // namespace vlx::lv2
