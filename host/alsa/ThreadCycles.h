// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Cycles for a processor that a host runs on a thread of its own (the ALSA
// sequencer's), by the monotonic clock: a frame is a microsecond since the
// host began. The thread sleeps until input comes or the processor's next
// frame falls due, then plays one cycle up to that moment.
#include <algorithm>
#include <cstdint>
#include <optional>

#include "host/api/CycleProcessor.h"

namespace vlx::host {

class ThreadCycles {
public:
    static constexpr std::uint32_t kRate = 1'000'000;
    // A thread held up longer than this plays on from where it woke: the
    // frames in between are counted as lost (the processor lets missed
    // steps pass), and a cycle's length stays within 32 bits.
    static constexpr std::int64_t kLongestCycle = 1'000'000;

    explicit ThreadCycles(std::int64_t startUs) : startUs_(startUs) {}

    // The cycle that ends with the moment nowUs (its last frame): it lies
    // wholly in the past, its first frame `frames` ago.
    Cycle next(std::int64_t nowUs) noexcept {
        const std::int64_t now = std::max<std::int64_t>(nowUs - startUs_, 0);
        std::int64_t first = static_cast<std::int64_t>(next_);
        if (now + 1 - first > kLongestCycle) first = now + 1 - kLongestCycle;
        const auto frames = static_cast<std::uint32_t>(std::max<std::int64_t>(now + 1 - first, 1));
        next_ = static_cast<std::uint64_t>(first) + frames;
        return {static_cast<std::uint64_t>(first), frames, kRate, frames};
    }
    // How long to sleep from nowUs until frame `due`, in microseconds; -1
    // when nothing waits for time.
    std::int64_t sleepMicros(std::optional<std::uint64_t> due, std::int64_t nowUs) const noexcept {
        if (!due) return -1;
        const std::int64_t at = startUs_ + static_cast<std::int64_t>(*due);
        return std::clamp<std::int64_t>(at - nowUs, 0, kLongestCycle);
    }

private:
    std::int64_t startUs_;
    std::uint64_t next_ = 0;
};

}  // namespace vlx::host
