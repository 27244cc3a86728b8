// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Holding the pattern with the sustain pedal, as the latch of a hardware
// arpeggiator: while the pedal (controller 64, down at 64 or more) is down
// on a channel, keys released on that channel stay in the pattern; the
// first key pressed once every key of the channel is up starts a new
// chord, replacing the one held; lifting the pedal lets go of every key
// that is no longer down. The latch is a pedal held on every channel. It tracks keys and pedals whether or not the hold
// is on, so that switching it on mid-song finds them as they are; it only
// holds while on. The caller takes the keys it names out of the engine.
#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>

namespace vlx {

class SustainLatch {
public:
    // Notes of one channel, as a set: handed back without allocating, since
    // the latch works in the audio thread.
    using Notes = std::bitset<256>;
    using PerChannel = std::array<Notes, 16>;

    // Calls f(note) for each note of the set, lowest first.
    template <class F>
    static void ForEach(const Notes& notes, F&& f) {
        for (std::size_t n = 0; n < notes.size(); ++n)
            if (notes.test(n)) f(static_cast<std::uint8_t>(n));
    }

    // A key pressed: the keys of its channel to release before it is added.
    // The whole held chord when every key of the channel was up; the key
    // itself when only the pedal held it, so that it is not held twice.
    Notes Press(std::uint8_t chan, std::uint8_t note);
    // A key released: true when it leaves the pattern now, false while the
    // pedal holds it.
    bool Release(std::uint8_t chan, std::uint8_t note);
    // Controller 64 (down from 64 on): lifting the pedal gives the keys it held.
    Notes Pedal(std::uint8_t chan, std::int32_t value);
    // Switches the hold on or off; off, every key the pedals held is let go,
    // by channel (unless the latch holds it).
    PerChannel Hold(bool on);
    bool holding() const noexcept { return holding_; }
    // Switches the latch on or off; off, every key it held is let go, by
    // channel (unless a pedal holds it).
    PerChannel Latch(bool on);
    bool latched() const noexcept { return latched_; }
    // Forgets every key (all notes off); the pedals stay as they are.
    void Forget() noexcept;
    // Forgets keys and pedals (no input is heard for a while).
    void ForgetAll() noexcept;

private:
    struct Channel {
        Notes down;  // keys the player holds
        Notes held;  // keys released while the pedal was down
        bool pedal = false;
    };
    static Notes take(Notes& keys) noexcept;

    bool holds(const Channel& c) const noexcept { return latched_ || (c.pedal && holding_); }
    PerChannel letGo();

    std::array<Channel, 16> channels_{};
    bool holding_ = false;
    bool latched_ = false;
};

}  // namespace vlx
