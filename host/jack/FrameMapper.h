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
// anywhere in one cycle fits in the next, plus a margin: how late a step may
// be sent and still land on its own frame (see stampForDue), and how far the
// process callback may run ahead of its cycle's nominal start.
constexpr std::int64_t outputLatencyFrames(std::uint32_t nframes, std::int64_t marginFrames) noexcept {
    return static_cast<std::int64_t>(nframes) + marginFrames;
}

// How late a step may be sent and still land on its own frame, and how far
// the process callback may run ahead of its cycle's nominal start (JACK's
// estimate) without a message sent just before it missing its frame.
inline constexpr std::int64_t kLateToleranceMicros = 2000;
inline constexpr std::int64_t kEarlyStartMicros = 250;

// The margin for a late tolerance, in whole frames (rounded up).
constexpr std::int64_t marginFramesFor(std::int64_t lateToleranceUs, std::int64_t rate) noexcept {
    return ((lateToleranceUs + kEarlyStartMicros) * rate + 999'999) / 1'000'000;
}
// How late a step may be sent, given the margin.
constexpr std::int64_t lateToleranceFor(std::int64_t marginFrames, std::int64_t rate) noexcept {
    return std::max<std::int64_t>(0, marginFrames * 1'000'000 / std::max<std::int64_t>(1, rate) - kEarlyStartMicros);
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

// The stamp of a message due at host millisecond `due`, sent at nowUs: where
// that millisecond began (host millisecond 0 began at hostStartUs; host times
// wrap after 2^32 ms, so `due` is taken as the one nearest the call). A step
// sent more than lateUs after that is stamped lateUs before the call: its own
// frame has passed, and an older stamp would only crowd it against the start
// of the next cycle. A step sent early is stamped with the call. No stamp
// falls before previousUs, the stamp of the message queued before it, since
// the output keeps the order of sends.
constexpr std::int64_t stampForDue(std::int64_t hostStartUs, std::int32_t due, std::int64_t nowUs, std::int64_t lateUs,
                                   std::int64_t previousUs) noexcept {
    const std::int64_t sinceStart = nowUs - hostStartUs;
    const std::int64_t nowMs = sinceStart >= 0 ? sinceStart / 1000 : -((-sinceStart + 999) / 1000);
    const auto ahead = static_cast<std::int32_t>(static_cast<std::uint32_t>(due) - static_cast<std::uint32_t>(nowMs));
    const std::int64_t dueUs = hostStartUs + (nowMs + ahead) * 1000;
    const std::int64_t stamp = std::max(std::min(dueUs, nowUs), nowUs - lateUs);
    return std::max(stamp, previousUs);
}

// The moment (send clock) at which a frame of the cycle plays.
constexpr std::int64_t frameMicros(const CycleTimes& c, std::uint32_t offset) noexcept {
    return c.startUs + (c.nextUs - c.startUs) * static_cast<std::int64_t>(offset) / std::max<std::int64_t>(1, c.nframes);
}

}  // namespace vlx::host
