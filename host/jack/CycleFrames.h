// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the process callback needs to know of its cycles: where each one
// stands on a count of frames that never goes backwards, and how much of the
// output buffer each kind of message may take.
#include <cstdint>

#include "host/api/OutputRoom.h"

namespace vlx::host {

// The first frame of each callback's cycle, counted from the first
// callback. Every callback is a new cycle with new input, and JACK 2 does
// not always report its frame right: under load it may report the previous
// cycle's first frame again, and after the server stood still it may report
// the next cycle's frame for one callback and that frame again for the one
// after. So a callback whose reported frame lags is placed right after the
// one before, and one whose frame runs ahead is too: only when the next
// callback still runs ahead were cycles lost, and the count follows the
// server's frames from then on. Either way the count falls back onto the
// server's frames as soon as they agree again.
class FramePosition {
public:
    std::uint64_t begin(std::uint32_t reported, std::uint32_t nframes) noexcept {
        if (!started_) {
            started_ = true;
        } else {
            // Frame times wrap after 2^32 frames.
            reportedPos_ += static_cast<std::int32_t>(reported - lastReported_);
            const std::int64_t expected = position_ + frames_;
            if (reportedPos_ > expected && ahead_) {
                missed_ += static_cast<std::uint64_t>((reportedPos_ - expected) / frames_);
                position_ = reportedPos_;
            } else {
                if (reportedPos_ < expected) ++behind_;
                position_ = expected;
            }
            ahead_ = reportedPos_ > position_;
        }
        lastReported_ = reported;
        frames_ = nframes > 0 ? nframes : 1;
        return static_cast<std::uint64_t>(position_);
    }
    // Cycles the server ran without calling us.
    std::uint64_t missed() const noexcept { return missed_; }
    // Callbacks whose reported frame did not move on by a whole cycle.
    std::uint64_t behind() const noexcept { return behind_; }

private:
    bool started_ = false;
    bool ahead_ = false;  // the last callback's reported frame ran ahead of the count
    std::uint32_t lastReported_ = 0;
    std::int64_t reportedPos_ = 0;  // the server's frames since the first callback
    std::int64_t position_ = 0;
    std::int64_t frames_ = 1;
    std::uint64_t missed_ = 0;
    std::uint64_t behind_ = 0;
};

// The room a JACK cycle's output keeps for steps and note-offs. PipeWire's
// JACK loses a cycle's MIDI whole when it holds more than about 1300 short
// messages, though the port's buffer still takes them; JACK 2's takes about
// 2700 in its 32 KB.
inline constexpr OutputLimits kJackOutputLimits{
    .maxEvents = 1200,
    .keptEvents = 400,
    .keptBytes = 8192,
    .noteOffEvents = 64,
    .noteOffBytes = 1024,
};

}  // namespace vlx::host
