#pragma once
// Where in a JACK cycle a sent message goes. A message stamped when it was
// sent is written at the frame of its stamp plus a constant latency, so the
// spacing of sends survives into the output instead of being bunched at the
// start of the next cycle.
#include <algorithm>
#include <cstdint>

namespace vlx::host {

// One cycle on the send clock (steady_clock microseconds).
struct CycleTimes {
    std::int64_t startUs = 0;  // when the cycle's first frame plays
    std::int64_t nextUs = 0;   // when the next cycle's first frame plays
    std::uint32_t nframes = 0;
};

// The constant latency of the output: one period, so that a message sent
// anywhere in one cycle fits in the next, plus a margin for the process
// callback running a little after the cycle's nominal start.
constexpr std::int64_t outputLatencyFrames(std::uint32_t nframes, std::int64_t marginFrames) noexcept {
    return static_cast<std::int64_t>(nframes) + marginFrames;
}

// Offset in this cycle, rounded to the nearest frame, for a message stamped
// at stampUs. Below 0: the frame has passed (the message is late); nframes or
// more: the message belongs to a later cycle.
constexpr std::int64_t targetOffset(const CycleTimes& c, std::int64_t stampUs, std::int64_t latencyFrames) noexcept {
    const std::int64_t span = std::max<std::int64_t>(1, c.nextUs - c.startUs);
    const std::int64_t scaled = 2 * (stampUs - c.startUs) * static_cast<std::int64_t>(c.nframes) + span;
    const std::int64_t twice = 2 * span;
    // Floor division, right for stamps before the cycle too.
    const std::int64_t frames = scaled >= 0 ? scaled / twice : -((-scaled + twice - 1) / twice);
    return frames + latencyFrames;
}

// The moment (send clock) at which a frame of the cycle plays.
constexpr std::int64_t frameMicros(const CycleTimes& c, std::uint32_t offset) noexcept {
    return c.startUs + (c.nextUs - c.startUs) * static_cast<std::int64_t>(offset) / std::max<std::int64_t>(1, c.nframes);
}

}  // namespace vlx::host
