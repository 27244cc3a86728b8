// SPDX-License-Identifier: GPL-3.0-or-later
#include "lv2/HostTransport.h"

#include <algorithm>
#include <cmath>

namespace vlx::lv2 {

namespace {

constexpr double kTicksPerQuarter = 24;
constexpr std::int64_t kTicksPerSixteenth = 6;
// Song Position counts 16ths in 14 bits; past that it starts again, on a
// whole number of bars of 16 16ths, so every step keeps its place in the bar.
constexpr std::int64_t kSongPositions = 1 << 14;
// A position further than this from where the ticks stand is a jump in the
// song, not the host's rounding.
constexpr double kJumpTicks = 1.0;
// Hosts give the bar's beat rounded down to 1/1920 of a beat (JACK's BBT
// ticks, Ardour's): a position as near as that to the count the ticks keep
// says nothing new, and the count goes on unmoved.
constexpr double kHostRoundingTicks = kTicksPerQuarter / 1920.0 * 1.01;

std::optional<double> finite(const std::optional<double>& v) {
    return v && std::isfinite(*v) ? v : std::nullopt;
}

}  // namespace

HostTransport::Refused HostTransport::Update(std::uint64_t at, const HostPosition& p) {
    at = std::max(at, last_);
    last_ = at;
    Refused refused;
    const bool hadTempo = bpm_.has_value();
    const bool wasRolling = rolling_;
    const double ticksBefore = ticksAt(at);

    if (p.beatsPerMinute) {
        const double bpm = *p.beatsPerMinute;
        if (std::isfinite(bpm) && bpm > 0 && bpm <= kMaxBeatsPerMinute) {
            bpm_ = bpm;
        } else {
            refused.tempo = true;
            refused.tempoValue = bpm;
        }
    }
    const auto take = [&refused](const std::optional<double>& v, double min, double& into) {
        if (!v) return;
        if (std::isfinite(*v) && *v >= min)
            into = *v;
        else
            refused.other = true;
    };
    take(p.speed, -INFINITY, speed_);
    take(p.beatsPerBar, 1.0 / 64, beatsPerBar_);
    take(p.beatUnit, 1, beatUnit_);
    if ((p.bar && !finite(p.bar)) || (p.barBeat && !finite(p.barBeat)) || (p.beat && !finite(p.beat)) ||
        (p.frame && !finite(p.frame)))
        refused.other = true;

    // Where the song stands, in ticks from its start, if the host said.
    std::optional<double> quarters;
    if (finite(p.bar) && finite(p.barBeat))
        quarters = (*p.bar * beatsPerBar_ + *p.barBeat) * 4 / beatUnit_;
    else if (finite(p.beat))
        quarters = *p.beat * 4 / beatUnit_;
    else if (finite(p.frame) && bpm_)
        quarters = *p.frame / rate_ * *bpm_ / 60 * 4 / beatUnit_;
    const double song = quarters ? *quarters * kTicksPerQuarter : (rolling_ ? ticksBefore : songStands_);

    const bool wasFree = free_;
    rolling_ = speed_ > 0 && bpm_.has_value();
    free_ = !rolling_ && playStopped_ && bpm_.has_value();
    anchorFrame_ = at;
    if (rolling_) {
        anchorTicks_ = wasRolling && std::fabs(song - ticksBefore) < kHostRoundingTicks ? ticksBefore : song;
        framesPerTick_ = framesPerTick(speed_);
    } else {
        songStands_ = song;
        // Free, the clock's own count goes on at the host's latest tempo.
        anchorTicks_ = free_ ? ticksBefore : song;
        framesPerTick_ = free_ ? framesPerTick(1) : 0;
    }

    if (!bpm_) return refused;
    if (!hadTempo) {
        Resume(at);  // a clock from now on: it learns where the song stands
    } else if (wasRolling && !rolling_) {
        if (!free_) stopAt(at);
    } else if (!wasRolling && rolling_) {
        continueFrom(song, !wasFree);
    } else if (rolling_ && std::fabs(song - ticksBefore) >= kJumpTicks) {
        stopAt(at);
        continueFrom(song, true);
    }
    return refused;
}

// Silent until the host gives a tempo: what the transport does is never guessed.
void HostTransport::Resume(std::uint64_t at) {
    at = std::max(at, last_);
    last_ = at;
    stopAt(at);
    if (rolling_)
        continueFrom(ticksAt(at), true);
    else if (free_)
        playFree(at);
}

void HostTransport::PlayWhileStopped(bool on, std::uint64_t at) {
    at = std::max(at, last_);
    last_ = at;
    playStopped_ = on;
    const bool wasFree = free_;
    free_ = !rolling_ && on && bpm_.has_value();
    if (free_ && !wasFree) {
        playFree(at);
    } else if (wasFree && !free_) {
        stopAt(at);
        anchorFrame_ = at;
        anchorTicks_ = songStands_;
        framesPerTick_ = 0;
    }
}

std::optional<ClockMessage> HostTransport::Next(std::uint64_t end) {
    if (queuedTaken_ < queuedCount_) {
        const ClockMessage m = queued_[queuedTaken_];
        if (m.frame >= end) return std::nullopt;
        if (++queuedTaken_ == queuedCount_) queuedTaken_ = queuedCount_ = 0;
        return m;
    }
    if (!rolling_ && !free_) return std::nullopt;
    const std::uint64_t frame = std::max(frameOfTick(nextTick_), last_);
    if (frame >= end) return std::nullopt;
    last_ = frame;
    if (resumeTick_ && *resumeTick_ == nextTick_) {
        const std::int64_t sixteenths = nextTick_ / kTicksPerSixteenth;
        if (resumeStage_ == 0 && sixteenths == 0 && mayStart_) {
            resumeStage_ = 2;
            return ClockMessage{frame, 0xFA};
        }
        if (resumeStage_ == 0) {
            resumeStage_ = 1;
            const auto position = static_cast<std::uint16_t>(sixteenths % kSongPositions);
            return ClockMessage{frame, 0xF2, static_cast<std::uint8_t>(position & 0x7F),
                                static_cast<std::uint8_t>(position >> 7)};
        }
        if (resumeStage_ == 1) {
            resumeStage_ = 2;
            return ClockMessage{frame, 0xFB};
        }
        resumeTick_.reset();
        resumeStage_ = 0;
    }
    ++nextTick_;
    return ClockMessage{frame, 0xF8};
}

double HostTransport::ticksAt(std::uint64_t frame) const noexcept {
    if (framesPerTick_ <= 0) return anchorTicks_;
    return anchorTicks_ + static_cast<double>(frame - anchorFrame_) / framesPerTick_;
}

std::uint64_t HostTransport::frameOfTick(std::int64_t tick) const noexcept {
    const double ahead = (static_cast<double>(tick) - anchorTicks_) * framesPerTick_;
    if (ahead <= 0) return anchorFrame_;
    return anchorFrame_ + static_cast<std::uint64_t>(std::llround(ahead));
}

void HostTransport::queue(std::uint64_t at, std::uint8_t status, std::uint8_t data1, std::uint8_t data2) noexcept {
    if (queuedCount_ == queued_.size()) return;  // drained after every event: never more than two wait
    queued_[queuedCount_++] = {at, status, data1, data2};
}

void HostTransport::stopAt(std::uint64_t at) noexcept {
    queue(at, 0xFC);
    resumeTick_.reset();
    resumeStage_ = 0;
}

// The clock goes on from the first 16th at or after `ticks` (the song's
// top for a position before it): Song Position and Continue go out on
// that 16th's first tick, so every tick the clock counts is on the song's
// grid and the first comes at once. At the top it says Start instead,
// unless `mayStart` is false (a pattern already playing goes on).
void HostTransport::continueFrom(double ticks, bool mayStart) noexcept {
    const auto sixteenths =
        std::max<std::int64_t>(0, static_cast<std::int64_t>(std::ceil(ticks / kTicksPerSixteenth - 1e-9)));
    nextTick_ = sixteenths * kTicksPerSixteenth;
    resumeTick_ = nextTick_;
    resumeStage_ = 0;
    mayStart_ = mayStart;
}

// The clock starts on a grid of its own at `at`: Start, and a tick at once.
void HostTransport::playFree(std::uint64_t at) noexcept {
    anchorFrame_ = at;
    anchorTicks_ = 0;
    framesPerTick_ = framesPerTick(1);
    continueFrom(0, true);
}

double HostTransport::framesPerTick(double speed) const noexcept {
    return rate_ * 60 / (bpm_.value_or(120) * 4 / beatUnit_) / kTicksPerQuarter / speed;
}

}  // namespace vlx::lv2
