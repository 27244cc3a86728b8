// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A driver for tests: runs a CycleProcessor cycle by cycle on frames the
// test decides, delivers input at the frames the test gives, and records
// every message the processor writes with its frame. Nothing depends on
// real time.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <ostream>
#include <vector>

#include "host/api/CycleProcessor.h"

namespace vlx::test {

using Bytes = std::vector<std::uint8_t>;

struct FramedMessage {
    std::uint64_t frame = 0;
    Bytes bytes;
    bool operator==(const FramedMessage&) const = default;
};

inline void PrintTo(const FramedMessage& m, std::ostream* os) {
    *os << "{@" << m.frame << std::hex;
    for (std::uint8_t b : m.bytes) *os << " " << int{b};
    *os << std::dec << "}";
}

class ScriptedCycles {
public:
    std::uint32_t rate = 48000;
    std::uint32_t period = 256;  // frames per cycle
    std::uint64_t frame = 0;     // the next cycle's first frame
    std::vector<FramedMessage> out;
    // Runs at the start of each cycle (after BeginCycle), with its first frame.
    std::function<void(std::uint64_t)> atCycle;
    // How late each cycle is run (Cycle::lateFrames), by its first frame.
    std::function<std::uint64_t(std::uint64_t)> lateness;
    // Refuses writes beyond this many per cycle, as a full buffer does.
    std::size_t roomPerCycle = 1 << 20;

    // Input arriving at `at` (an absolute frame, not before the next cycle).
    void At(std::uint64_t at, Bytes bytes) {
        const auto after = std::upper_bound(pending_.begin() + static_cast<std::ptrdiff_t>(next_), pending_.end(), at,
                                            [](std::uint64_t f, const FramedMessage& m) { return f < m.frame; });
        pending_.insert(after, {at, std::move(bytes)});
    }
    // Runs whole cycles until `end` is reached or passed.
    void RunUntil(CycleProcessor& p, std::uint64_t end) {
        while (frame < end) Cycle(p, period);
    }
    void Cycle(CycleProcessor& p, std::uint32_t frames) {
        Recorder rec(*this, frame, frames);
        p.BeginCycle({frame, frames, rate, lateness ? lateness(frame) : 0}, rec);
        if (atCycle) atCycle(frame);
        for (; next_ < pending_.size() && pending_[next_].frame < frame + frames; ++next_) {
            const FramedMessage& m = pending_[next_];
            const auto offset = static_cast<std::uint32_t>(m.frame > frame ? m.frame - frame : 0);
            p.Receive(offset, m.bytes.data(), static_cast<std::uint32_t>(m.bytes.size()));
        }
        if (next_ == pending_.size()) {
            pending_.clear();
            next_ = 0;
        }
        p.EndCycle();
        frame += frames;
    }

    // The first frame of host millisecond ms, on an unshifted grid.
    std::uint64_t FrameOfMs(std::int64_t ms) const { return (static_cast<std::uint64_t>(ms) * rate + 999) / 1000; }
    std::vector<FramedMessage> Take() { return std::exchange(out, {}); }

private:
    class Recorder final : public CycleOutput {
    public:
        Recorder(ScriptedCycles& owner, std::uint64_t start, std::uint32_t frames)
            : owner_(owner), start_(start), frames_(frames) {}
        bool Write(std::uint32_t offset, const std::uint8_t* bytes, std::uint32_t size) noexcept override {
            EXPECT_LT(offset, frames_);
            EXPECT_GE(offset, last_) << "written out of time order";
            if (written_ >= owner_.roomPerCycle) return false;
            last_ = offset;
            ++written_;
            owner_.out.push_back({start_ + offset, Bytes(bytes, bytes + size)});
            return true;
        }

    private:
        ScriptedCycles& owner_;
        std::uint64_t start_;
        std::uint32_t frames_;
        std::uint32_t last_ = 0;
        std::size_t written_ = 0;
    };

    std::vector<FramedMessage> pending_;  // in time order; those before next_ were delivered
    std::size_t next_ = 0;
};

}  // namespace vlx::test
