// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/SustainLatch.h"

#include <utility>

namespace vlx {

SustainLatch::Notes SustainLatch::take(Notes& keys) noexcept { return std::exchange(keys, Notes{}); }

SustainLatch::Notes SustainLatch::Press(std::uint8_t chan, std::uint8_t note) {
    Channel& c = channels_[chan & 0x0F];
    Notes release;
    if (c.down.none()) {
        release = take(c.held);
    } else if (c.held.test(note)) {
        c.held.reset(note);
        release.set(note);
    }
    c.down.set(note);
    return release;
}

bool SustainLatch::Release(std::uint8_t chan, std::uint8_t note) {
    Channel& c = channels_[chan & 0x0F];
    c.down.reset(note);
    if (!holds(c)) return true;
    c.held.set(note);
    return false;
}

SustainLatch::Notes SustainLatch::Pedal(std::uint8_t chan, std::int32_t value) {
    Channel& c = channels_[chan & 0x0F];
    c.pedal = value >= 64;
    if (holds(c)) return {};
    return take(c.held);
}

SustainLatch::PerChannel SustainLatch::Hold(bool on) {
    holding_ = on;
    return letGo();
}

SustainLatch::PerChannel SustainLatch::Latch(bool on) {
    latched_ = on;
    return letGo();
}

// What nothing holds any more.
SustainLatch::PerChannel SustainLatch::letGo() {
    PerChannel out{};
    for (std::size_t chan = 0; chan < 16; ++chan)
        if (!holds(channels_[chan])) out[chan] = take(channels_[chan].held);
    return out;
}

void SustainLatch::Forget() noexcept {
    for (Channel& c : channels_) {
        c.down.reset();
        c.held.reset();
    }
}

void SustainLatch::ForgetAll() noexcept {
    Forget();
    for (Channel& c : channels_) c.pedal = false;
}

}  // namespace vlx
