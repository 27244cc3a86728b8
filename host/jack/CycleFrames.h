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
// one before, and one whose frame runs a cycle ahead is too: only when the
// next callback still runs ahead were cycles lost, and the count follows the
// server's frames from then on. A callback two or more cycles ahead comes
// after cycles truly lost (a client before it in the graph stalled): the
// count follows at once, so that a step due meanwhile passes in silence
// rather than sound for the part of its length left. Either way the count
// falls back onto the server's frames as soon as they agree again.
class FramePosition {
public:
    std::uint64_t begin(std::uint32_t reported, std::uint32_t nframes) noexcept {
        if (!started_) {
            started_ = true;
        } else {
            // Frame times wrap after 2^32 frames.
            reportedPos_ += static_cast<std::int32_t>(reported - lastReported_);
            const std::int64_t expected = position_ + frames_;
            if (reportedPos_ > expected && (ahead_ || reportedPos_ - expected >= 2 * frames_)) {
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

// How late a callback runs its cycle, from JACK's own clock: the time of
// the cycle's first frame that jack_get_cycle_times gives, against the time
// the callback began. A server that stood still and goes on from where it
// stopped (JACK 2) runs its cycles at the pace of real time again, though
// its estimate of their times needs a second or so to recover and reads
// every cycle late meanwhile. A server that replays the cycles it missed
// (PipeWire's dummy driver) runs them back to back, each with its own time.
// So a cycle counts as late only when it and the one before each came
// within half a period of the one before them; never while the server
// freewheels (it runs as fast as it can on purpose, and nothing is heard).
// A period of lateness is the driver's normal latency and jitter.
class CycleLateness {
public:
    std::uint64_t lateFrames(std::uint64_t nowUs, std::uint64_t cycleStartUs, std::uint32_t nframes,
                             std::uint32_t rate, bool freewheeling) noexcept {
        const std::uint64_t periodUs = rate > 0 ? 1'000'000ULL * nframes / rate : 0;
        quick_ = started_ && !freewheeling && nowUs - lastUs_ < periodUs / 2 ? quick_ + 1 : 0;
        started_ = true;
        lastUs_ = nowUs;
        if (quick_ < 2 || nowUs <= cycleStartUs) return 0;
        const std::uint64_t late = (nowUs - cycleStartUs) * rate / 1'000'000;
        return late > nframes ? late - nframes : 0;
    }

private:
    bool started_ = false;
    std::uint64_t lastUs_ = 0;
    int quick_ = 0;  // callbacks in a row that came within half a period
};

// What a JACK cycle's output may hold. PipeWire's JACK carries a cycle's
// MIDI only whole: once the events take more than 32752 bytes counted its
// way (16 bytes an event, and its bytes rounded up to 8), the port's buffer
// still takes them, but nothing of that cycle reaches anyone, its note-offs
// neither (1364 short messages, 240 SysEx of 120 bytes). JACK 2's buffer
// holds more of each, so the one measure serves both.
inline constexpr std::uint64_t kCycleBytes = 32752;
constexpr std::uint64_t cycleBytesOf(std::uint32_t size) noexcept { return 16 + ((std::uint64_t{size} + 7) & ~std::uint64_t{7}); }

// And the room kept in it for steps and note-offs, in that measure.
inline constexpr OutputLimits kJackOutputLimits{
    .maxEvents = static_cast<std::uint32_t>(kCycleBytes / cycleBytesOf(1)),
    .keptEvents = 256,
    .keptBytes = 8192,
    .noteOffEvents = 64,
    .noteOffBytes = 64 * cycleBytesOf(3),
};

}  // namespace vlx::host
