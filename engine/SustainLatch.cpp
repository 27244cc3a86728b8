#include "engine/SustainLatch.h"

namespace vlx {

std::vector<std::uint8_t> SustainLatch::take(std::bitset<256>& keys) {
    std::vector<std::uint8_t> out;
    for (std::size_t n = 0; n < keys.size(); ++n)
        if (keys.test(n)) out.push_back(static_cast<std::uint8_t>(n));
    keys.reset();
    return out;
}

std::vector<std::uint8_t> SustainLatch::Press(std::uint8_t chan, std::uint8_t note) {
    Channel& c = channels_[chan & 0x0F];
    std::vector<std::uint8_t> release;
    if (c.down.none()) {
        release = take(c.held);
    } else if (c.held.test(note)) {
        c.held.reset(note);
        release.push_back(note);
    }
    c.down.set(note);
    return release;
}

bool SustainLatch::Release(std::uint8_t chan, std::uint8_t note) {
    Channel& c = channels_[chan & 0x0F];
    c.down.reset(note);
    if (!c.pedal || !holding_) return true;
    c.held.set(note);
    return false;
}

std::vector<std::uint8_t> SustainLatch::Pedal(std::uint8_t chan, std::int32_t value) {
    Channel& c = channels_[chan & 0x0F];
    c.pedal = value >= 64;
    if (c.pedal) return {};
    return take(c.held);
}

std::vector<SustainLatch::Key> SustainLatch::Hold(bool on) {
    holding_ = on;
    std::vector<Key> out;
    if (on) return out;
    for (std::uint8_t chan = 0; chan < 16; ++chan)
        for (std::uint8_t note : take(channels_[chan].held)) out.emplace_back(chan, note);
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
