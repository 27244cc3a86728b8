// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Follows a MIDI clock: 24 ticks (0xF8) per quarter note, with Start (0xFA),
// Continue (0xFB), Stop (0xFC) and the Song Position Pointer (0xF2, in
// 16ths of 6 ticks). It counts the ticks of the song, says on which of them
// a step of the pattern falls, measures the tick interval and notices a
// clock that stopped arriving. It sends nothing and owns no engine: the
// window asks it and drives the Arpeggiator.
//
// Times are 32-bit host milliseconds that wrap (model/HostTime.h).
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace vlx {

class ClockFollower {
public:
    enum class State {
        Absent,   // no clock (never seen, or lost): the pattern keeps its own time
        Running,  // ticks arrive and steps fall on them
        Stopped,  // the clock's Stop: the pattern waits for Start or Continue
    };
    static constexpr std::int32_t kTicksPerQuarter = 24;

    // Ticks per step for a resolution in 32nd notes: 3 per 32nd, so a 16th
    // is 6 ticks, a quarter 24 and a whole note 96.
    static std::int32_t TicksPerStep(std::int16_t resolution) noexcept;
    // Ticks a pair of steps spans, for a feel (1 straight, 2 triplet, 3
    // dotted): a dotted 32nd is 4.5 ticks, a pair of them 9.
    static std::int32_t TicksPerPair(std::int16_t resolution, std::int16_t feel) noexcept;
    // The tick of a pair its second step falls on: the one nearest the
    // swing's share of the pair (half to even).
    static std::int32_t SecondTick(std::int32_t pairTicks, std::int16_t swing) noexcept;

    // A tick that arrived at host time lTime. True when a step falls on it:
    // the clock runs and the tick's place in the song is a whole number of
    // steps (ticksPerStep) from its start. The first tick of an absent
    // clock starts it running, with a step on that tick.
    bool Tick(std::int32_t lTime, std::int32_t ticksPerStep) { return TickPair(lTime, 2 * ticksPerStep, ticksPerStep) != 0; }
    // As Tick, for steps in pairs: 1 when the first step of a pair falls on
    // the tick, 2 when the second does, 0 when none.
    int TickPair(std::int32_t lTime, std::int32_t pairTicks, std::int32_t secondTick);
    // The next tick is the song's first.
    void Start(std::int32_t lTime);
    // The next tick goes on from the song position.
    void Continue(std::int32_t lTime);
    void Stop();
    // The next tick stands at this many 16ths into the song.
    void SongPosition(std::int32_t sixteenths) noexcept;
    // Forgets the clock: absent, nothing measured.
    void Reset() noexcept;

    // True, once, when a running clock has sent nothing for longer than two
    // steps of stepMs at lNow; the clock is absent from then on.
    bool CheckLost(std::int32_t lNow, std::int32_t stepMs);
    // The host time after which a running clock counts as lost.
    std::optional<std::int32_t> LossDeadline(std::int32_t stepMs) const;

    State state() const noexcept { return state_; }
    // Ticks into the song of the next tick.
    std::int64_t position() const noexcept { return position_; }
    // The tick interval in ms: the median of slopes over half the ticks
    // kept (a quarter note's worth), so jitter averages out and one tick
    // stamped late moves at most two of the slopes. Empty before two ticks.
    std::optional<double> TickInterval() const noexcept { return interval_; }
    std::optional<double> Tempo() const;
    // The length of a step of ticksPerStep ticks, in whole ms, kept within
    // 8..30000 so that a step always has a note length of at least 1 ms.
    std::optional<std::int16_t> StepPeriod(std::int32_t ticksPerStep) const;

private:
    void keep(std::int32_t lTime);

    static constexpr std::size_t kKept = kTicksPerQuarter + 1;
    State state_ = State::Absent;
    std::int64_t position_ = 0;
    std::array<std::int32_t, kKept> times_{};  // ring of the latest tick times
    std::size_t count_ = 0;                    // how many of them are kept
    std::size_t next_ = 0;                     // where the next goes
    std::optional<std::int32_t> lastHeard_;    // last tick, Start or Continue
    std::optional<double> interval_;           // measured when a tick is kept
};

}  // namespace vlx
