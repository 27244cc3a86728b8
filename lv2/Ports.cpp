// SPDX-License-Identifier: GPL-3.0-or-later
#include "lv2/Ports.h"

#include <cmath>
#include <cstdlib>
#include <initializer_list>

namespace vlx::lv2 {

namespace {

// Hosts may hand any float to a port (automation, a session edited by hand).
std::int16_t nearestCode(const float* port, std::int16_t fallback, std::initializer_list<std::int16_t> codes) {
    if (!port || !std::isfinite(*port)) return fallback;
    std::int16_t best = fallback;
    float bestDistance = INFINITY;
    for (const std::int16_t code : codes) {
        const float distance = std::fabs(*port - static_cast<float>(code));
        if (distance < bestDistance) {
            best = code;
            bestDistance = distance;
        }
    }
    return best;
}

bool isOn(const float* port) { return port && *port > 0.5F; }

}  // namespace

Settings ReadSettings(const std::array<const float*, kPortCount>& ports) noexcept {
    const PlayerControls defaults;
    Settings s;
    s.switches.arpeggiate = isOn(ports[Arpeggiate]);
    s.switches.divert = isOn(ports[Divert]);
    s.switches.retrigger = isOn(ports[Retrigger]);
    s.switches.sustainHold = isOn(ports[SustainHold]);
    s.switches.followHost = isOn(ports[FollowHost]);
    s.switches.keepBeat = isOn(ports[KeepBeat]);
    s.switches.latch = isOn(ports[Latch]);
    s.switches.shuffleEveryPass = isOn(ports[ShuffleEveryPass]);
    s.switches.playStopped = isOn(ports[PlayStopped]);
    if (const float* tempo = ports[Tempo]; tempo && std::isfinite(*tempo))
        s.controls.tempo = static_cast<std::int16_t>(std::lround(std::fmin(std::fmax(*tempo, 8.0F), 240.0F)));
    s.controls.resolution = nearestCode(ports[Resolution], defaults.resolution, {32, 16, 8, 4, 2, 1});
    s.controls.octaves = nearestCode(ports[Octaves], defaults.octaves, {1, 2, 3});
    s.controls.sustain = nearestCode(ports[Sustain], defaults.sustain, {1, 2, 3});
    s.controls.cycle = nearestCode(ports[Cycle], defaults.cycle, {1, 2, 3, 4, 5});
    return s;
}

}  // namespace vlx::lv2
