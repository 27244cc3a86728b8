#pragma once
// Where in a JACK cycle a sent message goes. A message stamped when it was
// sent is written at the frame of its stamp plus a constant latency, so the
// spacing of sends survives into the output instead of being bunched at the
// start of the next cycle.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "host/MidiMessage.h"

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

// How late a step may be sent and still land on its own frame: a pump that
// wakes up to 4 ms late stays exact (a window thread held up by 0-3 ms, as
// the playback benchmark injects, also wakes a fraction of a millisecond
// late of its own; at 3 ms one onset in a hundred still came late). And how far the process callback may run
// ahead of its cycle's nominal start (JACK's estimate) without a message sent
// just before it missing its frame: up to 45 us seen on a dummy server, 160 us
// while other real-time threads held its driver up.
inline constexpr std::int64_t kLateToleranceMicros = 4000;
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

// JACK's times of a cycle, unless they are far from when its callback runs:
// then a cycle that starts as the callback is entered. After the server
// stood still, its estimates can lag the clock by the whole stall for a
// second or more while they catch up (JACK 2), or name cycles run back to
// back to make up for the stall (PipeWire's dummy driver); placed by those,
// the steps sent meanwhile would come out crowded together. A callback runs
// from just before its cycle's start (kEarlyStartMicros) to within a period
// after it, and two periods after it still in an xrun.
constexpr CycleTimes trustedCycle(const CycleTimes& estimated, std::int64_t enteredUs,
                                  std::int64_t periodUs) noexcept {
    const bool near = estimated.startUs <= enteredUs + periodUs && estimated.startUs >= enteredUs - 2 * periodUs;
    if (near) return estimated;
    return {enteredUs, enteredUs + periodUs, estimated.nframes};
}

// Frames against the send clock over the last few cycles. A message goes
// out a latency after its stamp, more than a period: its stamp lies in an
// earlier cycle than the one being written, and is placed by that cycle's
// own times. Stretching the current cycle's times back over the latency
// instead would multiply JACK's wobble in the length of a cycle (tenths of a
// percent when other real-time threads delay the driver) by the latency,
// and neighbouring cycles would disagree by frames.
class FrameClock {
public:
    // At the start of each new cycle (not again for a repeated one).
    void begin(std::uint32_t firstFrame, const CycleTimes& times) noexcept {
        for (std::size_t i = kKept - 1; i > 0; --i) cycles_[i] = cycles_[i - 1];
        cycles_[0] = {firstFrame, times};
        if (kept_ < kKept) ++kept_;
    }
    // Frames from the current cycle's first frame to the stamp's, rounded;
    // add the latency for the offset to write at (below 0: passed; the
    // period or more: a later cycle's).
    std::int64_t framesFromStart(std::int64_t stampUs) const noexcept {
        std::size_t i = 0;
        while (i + 1 < kept_ && stampUs < cycles_[i].times.startUs) ++i;
        // After the end of its cycle but before the next one began: the
        // server stood still there, and no frames passed. Placed by the
        // cycle after the gap, it is as late as the time it waited.
        if (i > 0 && stampUs >= cycles_[i].times.nextUs) --i;
        const auto back = static_cast<std::int32_t>(cycles_[i].frame - cycles_[0].frame);  // frame times wrap
        return targetOffset(cycles_[i].times, stampUs, 0) + back;
    }

private:
    static constexpr std::size_t kKept = 4;  // a latency of up to three periods
    struct Cycle {
        std::uint32_t frame = 0;
        CycleTimes times;
    };
    std::array<Cycle, kKept> cycles_{};
    std::size_t kept_ = 0;
};

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

// The offset from JACK's clock (jack_get_time, the clock of its cycle times)
// to the send clock (steady_clock): they need not be the same clock, and
// drift apart by parts per million. Each reading brackets the JACK clock
// between two readings of the send clock. A wide bracket means the thread
// was preempted between them (by another server's real-time thread, say):
// its offset could be off by that long, and would shift a whole cycle of
// messages, so the last narrow reading stands instead.
class ClockOffset {
public:
    static constexpr std::int64_t kMaxBracketMicros = 8;

    std::int64_t update(std::int64_t sendBefore, std::int64_t jack, std::int64_t sendAfter) noexcept {
        const std::int64_t width = sendAfter - sendBefore;
        const bool narrow = width >= 0 && width <= kMaxBracketMicros;
        // Until a narrow reading comes, the narrowest so far.
        if (narrow || (!narrowSeen_ && width >= 0 && width < width_)) {
            offset_ = sendBefore + width / 2 - jack;
            width_ = width;
            narrowSeen_ = narrowSeen_ || narrow;
        }
        return offset_;
    }
    std::int64_t offset() const noexcept { return offset_; }

private:
    std::int64_t offset_ = 0;
    std::int64_t width_ = std::numeric_limits<std::int64_t>::max();
    bool narrowSeen_ = false;
};

// How far past its frame a step's note-on may still be written: three
// periods (an xrun costs one or two), and never less than 50 ms. Further
// back, the server stood still while the steps kept coming (a stopped or
// swapped-out server), and writing them all at once would burst a second of
// notes into one moment.
constexpr std::int64_t staleNoteOnFrames(std::uint32_t nframes, std::int64_t rate) noexcept {
    return std::max<std::int64_t>(3 * static_cast<std::int64_t>(nframes), rate * 50 / 1000);
}

// What the process callback does with the message at the head of its queue.
struct Placement {
    enum Kind { Write, Later, Drop };
    Kind kind = Write;
    std::int64_t offset = 0;  // where it is written (Write)
    bool late = false;        // its frame had passed (Write)
};

// The head of the queue, whose frame is `target` frames from this cycle's
// start (below 0: passed), given that the cycle takes events from `last` on
// (a MIDI buffer takes them in time order only). A message of a later cycle
// waits; one whose frame passed is written at the first free offset, except
// a step's note-on (`stepNoteOn`) more than `staleFrames` late, which is
// dropped. Its note-off still goes out: a note-off without its note-on is
// harmless, while a note-on without its note-off hangs.
constexpr Placement placeQueued(std::int64_t target, std::uint32_t last, std::uint32_t nframes, bool stepNoteOn,
                                std::int64_t staleFrames) noexcept {
    if (target >= static_cast<std::int64_t>(nframes)) return {Placement::Later, 0, false};
    if (stepNoteOn && target < -staleFrames) return {Placement::Drop, 0, true};
    return {Placement::Write, std::max<std::int64_t>(target, last), target < 0};
}

// Whether a message is a note-on that sounds (a note-on of velocity 0 is a
// note-off).
constexpr bool soundsNote(const MidiMessage& m) noexcept {
    return m.size == 3 && (m.bytes[0] & 0xF0) == 0x90 && m.bytes[2] > 0;
}

// The moment (send clock) at which a frame of the cycle plays.
constexpr std::int64_t frameMicros(const CycleTimes& c, std::uint32_t offset) noexcept {
    return c.startUs + (c.nextUs - c.startUs) * static_cast<std::int64_t>(offset) / std::max<std::int64_t>(1, c.nframes);
}

}  // namespace vlx::host
