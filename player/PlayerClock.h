// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The player's host milliseconds, counted in the frames of the clock that
// drives it (a JACK cycle's, a thread's, a plugin's): the engine sees only
// milliseconds, and a step due at millisecond m goes out at the frame where
// m begins. Following a MIDI clock, the millisecond grid is moved by less
// than half a millisecond so that one begins exactly at a tick's frame: the
// steps placed on that tick's millisecond then sound on the tick, not up to
// a millisecond after it. The grid never drifts from the frames (it is
// moved against a fixed base) and time never runs backwards.
#include <cstdint>

namespace vlx {

class PlayerClock {
public:
    explicit PlayerClock(std::uint32_t rate = 48000) : rate_(rate > 0 ? rate : 1) {}

    std::uint32_t rate() const noexcept { return rate_; }
    // From `frame` on, frames come at `rate` a second; the milliseconds
    // go on from where they stand at that frame.
    void SetRate(std::uint32_t rate, std::uint64_t frame) noexcept {
        if (rate == 0 || rate == rate_) return;
        anchorMs_ = countAt(frame);
        baseMilli_ = static_cast<std::int64_t>(frame) * 1000;
        phaseMilli_ = 0;
        rate_ = rate;
    }

    // The host millisecond a frame lies in (32 bits, wrapping).
    std::int32_t MsAt(std::uint64_t frame) const noexcept { return wrap(countAt(frame)); }
    // How far into that millisecond the frame lies, in 65536ths.
    std::uint16_t FracAt(std::uint64_t frame) const noexcept {
        const std::int64_t milli = static_cast<std::int64_t>(frame) * 1000 - baseMilli_ - phaseMilli_;
        const std::int64_t into = milli - floorDiv(milli, rate_) * rate_;
        return static_cast<std::uint16_t>(into * 65536 / rate_);
    }
    // The first frame of host millisecond `ms`, taking of the milliseconds
    // that wrap to it the one nearest `near`'s.
    std::uint64_t FrameOf(std::int32_t ms, std::uint64_t near) const noexcept {
        const std::int64_t nearCount = countAt(near);
        const auto ahead = static_cast<std::int32_t>(static_cast<std::uint32_t>(ms) - static_cast<std::uint32_t>(wrap(nearCount)));
        const std::int64_t milli = baseMilli_ + phaseMilli_ + (nearCount + ahead - anchorMs_) * static_cast<std::int64_t>(rate_);
        const std::int64_t frame = ceilDiv(milli, 1000);
        return frame < 0 ? 0 : static_cast<std::uint64_t>(frame);
    }
    // The first frame at or after `frac` 65536ths into millisecond `ms`.
    std::uint64_t FrameOf(std::int32_t ms, std::uint16_t frac, std::uint64_t near) const noexcept {
        const std::uint64_t first = FrameOf(ms, near);
        if (frac == 0) return first;
        // Thousandths of a frame from the millisecond's start to the first frame, then on to frac.
        const std::int64_t nearCount = countAt(near);
        const auto ahead = static_cast<std::int32_t>(static_cast<std::uint32_t>(ms) - static_cast<std::uint32_t>(wrap(nearCount)));
        const std::int64_t start = baseMilli_ + phaseMilli_ + (nearCount + ahead - anchorMs_) * static_cast<std::int64_t>(rate_);
        const std::int64_t into = static_cast<std::int64_t>(first) * 1000 - start;  // 0..999
        const std::int64_t wanted = static_cast<std::int64_t>(frac) * rate_;   // in 65536000ths of a frame
        const std::int64_t more = ceilDiv(wanted - into * 65536, 65536000);
        return first + static_cast<std::uint64_t>(std::max<std::int64_t>(0, more));
    }
    // Moves the grid so that the millisecond boundary nearest `frame` lies
    // on it; returns that millisecond.
    std::int32_t AlignTo(std::uint64_t frame) noexcept {
        const std::int64_t fromBase = static_cast<std::int64_t>(frame) * 1000 - baseMilli_;
        const std::int64_t nearest = floorDiv(2 * fromBase + rate_, 2 * static_cast<std::int64_t>(rate_));
        phaseMilli_ = fromBase - nearest * static_cast<std::int64_t>(rate_);
        return wrap(anchorMs_ + nearest);
    }

private:
    static std::int64_t floorDiv(std::int64_t a, std::int64_t b) noexcept {
        return a >= 0 ? a / b : -((-a + b - 1) / b);
    }
    static std::int64_t ceilDiv(std::int64_t a, std::int64_t b) noexcept { return -floorDiv(-a, b); }
    static std::int32_t wrap(std::int64_t count) noexcept {
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(count)));
    }
    // Milliseconds since the clock began, not wrapped.
    std::int64_t countAt(std::uint64_t frame) const noexcept {
        const std::int64_t milli = static_cast<std::int64_t>(frame) * 1000 - baseMilli_ - phaseMilli_;
        return anchorMs_ + floorDiv(milli, rate_);
    }

    std::uint32_t rate_;
    std::int64_t anchorMs_ = 0;    // the millisecond count at the base
    std::int64_t baseMilli_ = 0;   // thousandths of a frame where anchorMs_ began, before the phase
    std::int64_t phaseMilli_ = 0;  // how far the grid is moved from the base, within half a millisecond
};

}  // namespace vlx
