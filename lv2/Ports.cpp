// SPDX-License-Identifier: GPL-3.0-or-later
#include "lv2/Ports.h"

#include <cmath>

namespace vlx::lv2 {

std::optional<Control> ControlOn(Port port) noexcept {
    for (const ControlSpec& spec : Controls())
        if (port >= spec.lv2Index && port < spec.lv2Index + PortsOf(spec)) return spec.id;
    return std::nullopt;
}

ControlValues ReadControls(const std::array<const float*, kPortCount>& ports, const ControlValues& before,
                           std::uint32_t& refused) noexcept {
    ControlValues values = before;
    for (const ControlSpec& spec : Controls()) {
        if (spec.kind == ControlKind::Steps) {
            for (int place = 0; place < static_cast<int>(PortsOf(spec)); ++place) {
                const float* port = ports[spec.lv2Index + static_cast<Port>(place)];
                if (!port) continue;
                if (!std::isfinite(*port) || *port < -0.5F || *port > 2.5F) {
                    ++refused;
                    continue;
                }
                values[spec.id] = WithStep(values[spec.id], place, static_cast<StepState>(std::lround(*port)));
            }
            continue;
        }
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
