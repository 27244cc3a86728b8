#pragma once
// What the process callback has done in the current JACK cycle.
//
// After a missed cycle JACK 2 can run the callback a second time for the same
// cycle (the same first frame). The output buffer then still holds what the
// first call wrote: clearing it would lose those messages (a lost note-off
// hangs a note). The second call keeps them, writes on from the last offset
// (a MIDI buffer takes events in time order only) and leaves the input alone,
// which the first call already passed on.
#include <cstdint>

namespace vlx::host {

class CycleLedger {
public:
    // At the start of every process callback, with the cycle's first frame
    // and its length. True: a new cycle (clear the output, read the input);
    // false: the cycle of the previous call again.
    bool begin(std::uint32_t firstFrame, std::uint32_t nframes) noexcept {
        if (started_ && firstFrame == frame_ && nframes == nframes_) {
            ++repeated_;
            return false;
        }
        if (started_) {
            // Frame times wrap after 2^32 frames; a step backwards is not a gap.
            const std::uint32_t gap = firstFrame - frame_;
            if (gap > nframes_ && gap < 0x80000000U) missed_ += (gap - 1) / nframes_;
        }
        started_ = true;
        frame_ = firstFrame;
        nframes_ = nframes;
        next_ = 0;
        return true;
    }
    // The earliest offset at which this cycle takes another event.
    std::uint32_t nextOffset() const noexcept { return next_; }
    void wrote(std::uint32_t offset) noexcept { next_ = offset; }

    // Cycles that passed without a callback, and callbacks for a cycle
    // already handled.
    std::uint64_t missed() const noexcept { return missed_; }
    std::uint64_t repeated() const noexcept { return repeated_; }

private:
    bool started_ = false;
    std::uint32_t frame_ = 0;
    std::uint32_t nframes_ = 1;
    std::uint32_t next_ = 0;
    std::uint64_t missed_ = 0;
    std::uint64_t repeated_ = 0;
};

}  // namespace vlx::host
