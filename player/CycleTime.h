// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The cycle under way and the frame being played: the player's own count of
// frames, which goes on across drivers (a host reopened counts from its own
// start) and never runs backwards, and the host milliseconds the engine
// sees, counted in those frames.
#include <algorithm>
#include <cstdint>

#include "host/api/CycleProcessor.h"
#include "player/PlayerClock.h"

namespace vlx {

class CycleTime {
public:
    // A driver's cycle begins. Its frames go on from where the last cycle
    // ended; frames it lost (cycles not run) passed all the same.
    void Begin(const Cycle& cycle) noexcept {
        std::uint64_t first = cycle.firstFrame + frameOffset_;
        if (first < cursor_) {
            frameOffset_ += cursor_ - first;
            first = cursor_;
        }
        clock_.SetRate(cycle.rate, first);
        start_ = first;
        frames_ = cycle.frames;
        late_ = cycle.lateFrames;
        cursor_ = first;
        in_ = true;
    }
    void End() noexcept { in_ = false; }
    bool inCycle() const noexcept { return in_; }

    std::uint64_t cursor() const noexcept { return cursor_; }
    // Time only moves on.
    void MoveTo(std::uint64_t frame) noexcept { cursor_ = std::max(cursor_, frame); }
    std::uint64_t start() const noexcept { return start_; }
    std::uint32_t frames() const noexcept { return frames_; }
    std::uint64_t end() const noexcept { return start_ + frames_; }
    // The frame of an offset the driver gives, within the cycle.
    std::uint64_t FrameAt(std::uint32_t offset) const noexcept {
        return start_ + std::min<std::uint32_t>(offset, frames_ > 0 ? frames_ - 1 : 0);
    }
    // Where in the cycle's output a message for `frame` goes: a frame past
    // goes first, one beyond the cycle last.
    std::uint32_t OffsetOf(std::uint64_t frame) const noexcept {
        if (frames_ == 0 || frame <= start_) return 0;
        return static_cast<std::uint32_t>(std::min<std::uint64_t>(frame - start_, frames_ - 1));
    }

    // The host millisecond of the frame being played, and how far into it.
    std::int32_t Now() const noexcept { return clock_.MsAt(cursor_); }
    std::uint16_t NowFrac() const noexcept { return clock_.FracAt(cursor_); }
    // The millisecond in which what is written at the frame being played
    // will be heard: later than Now() in a cycle the driver runs behind real
    // time (a server replaying cycles it stalled over, a thread woken late).
    std::int32_t HeardNow() const noexcept {
        const std::uint64_t into = cursor_ - start_;
        return clock_.MsAt(cursor_ + (late_ > into ? late_ - into : 0));
    }
    // The first frame of host millisecond `ms` (the one nearest now).
    std::uint64_t FrameOfMs(std::int32_t ms) const noexcept { return clock_.FrameOf(ms, cursor_); }
    std::uint64_t FrameOfMs(std::int32_t ms, std::uint16_t frac) const noexcept { return clock_.FrameOf(ms, frac, cursor_); }
    // A clock's tick arrived on the frame being played: a millisecond
    // begins on it.
    void AlignToCursor() noexcept { clock_.AlignTo(cursor_); }
    // A frame of ours in the driver's count.
    std::uint64_t ToDriver(std::uint64_t frame) const noexcept { return frame - frameOffset_; }
    const PlayerClock& clock() const noexcept { return clock_; }

private:
    PlayerClock clock_;
    std::uint64_t cursor_ = 0;       // the frame being played
    std::uint64_t frameOffset_ = 0;  // from the driver's frames to ours
    std::uint64_t start_ = 0;
    std::uint32_t frames_ = 0;
    std::uint64_t late_ = 0;  // the cycle's lateFrames
    bool in_ = false;
};

}  // namespace vlx
