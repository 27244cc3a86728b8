// SPDX-License-Identifier: GPL-3.0-or-later
#include "lv2/Ports.h"

#include <cmath>

namespace vlx::lv2 {

std::optional<Control> ControlOn(Port port) noexcept {
    for (const ControlInfo& info : Controls())
        if (port >= info.lv2Index && port < info.lv2Index + PortsOf(info)) return info.id;
    return std::nullopt;
}

ControlValues ReadControls(const std::array<const float*, kPortCount>& ports, const ControlValues& before,
                           std::uint32_t& refused) noexcept {
    ControlValues values = before;
    for (const ControlInfo& info : Controls()) {
        if (info.kind == ControlKind::Steps) {
            for (int place = 0; place < static_cast<int>(PortsOf(info)); ++place) {
                const float* port = ports[info.lv2Index + static_cast<Port>(place)];
                if (!port) continue;
                if (!std::isfinite(*port) || *port < -0.5F || *port > 2.5F) {
                    ++refused;
                    continue;
                }
                values[info.id] = WithStep(values[info.id], place, static_cast<StepState>(std::lround(*port)));
            }
            continue;
        }
        const float* port = info.lv2Symbol ? ports[info.lv2Index] : nullptr;
        if (!port) continue;
        if (const auto value = Accept(info.id, *port))
            values[info.id] = *value;
        else
            ++refused;
    }
    return values;
}

}  // namespace vlx::lv2
