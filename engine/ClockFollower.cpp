// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/ClockFollower.h"

#include <algorithm>
#include <cmath>

#include "model/Checked.h"
#include "model/HostTime.h"

namespace vlx {

namespace {
// Ticks further apart than this are not one clock: measuring starts afresh.
constexpr double kGapIntervals = 4.0;
constexpr std::int32_t kFirstGapMs = 500;  // a tick every 312 ms is 8 bpm
constexpr std::int16_t kShortestStep = 8;
constexpr std::int16_t kLongestStep = 30000;
}  // namespace

std::int32_t ClockFollower::TicksPerStep(std::int16_t resolution) noexcept {
    return std::max<std::int32_t>(1, 3 * std::int32_t{resolution});
}

std::int32_t ClockFollower::TicksPerPair(std::int16_t resolution, std::int16_t feel) noexcept {
    const std::int32_t straight = 2 * TicksPerStep(resolution);
    if (feel == 2) return straight * 2 / 3;
    if (feel == 3) return straight * 3 / 2;
    return straight;
}

std::int32_t ClockFollower::SecondTick(std::int32_t pairTicks, std::int16_t swing) noexcept {
    const auto tick = static_cast<std::int32_t>(checked::roundHalfEven(pairTicks * swing / 100.0));
    return std::clamp(tick, 1, std::max(1, pairTicks - 1));
}

int ClockFollower::TickPair(std::int32_t lTime, std::int32_t pairTicks, std::int32_t secondTick) {
    keep(lTime);
    if (state_ == State::Stopped) return 0;  // measured, but the song stands still
    if (state_ == State::Absent) {
        state_ = State::Running;
        position_ = 0;
    }
    lastHeard_ = lTime;
    const std::int64_t inPair = position_ % std::max<std::int32_t>(1, pairTicks);
    ++position_;
    return inPair == 0 ? 1 : inPair == secondTick ? 2 : 0;
}

void ClockFollower::Start(std::int32_t lTime) {
    state_ = State::Running;
    position_ = 0;
    lastHeard_ = lTime;
}

void ClockFollower::Continue(std::int32_t lTime) {
    state_ = State::Running;
    lastHeard_ = lTime;
}

void ClockFollower::Stop() { state_ = State::Stopped; }

void ClockFollower::SongPosition(std::int32_t sixteenths) noexcept {
    position_ = std::int64_t{std::max(0, sixteenths)} * 6;
}

void ClockFollower::Reset() noexcept { *this = ClockFollower(); }

bool ClockFollower::CheckLost(std::int32_t lNow, std::int32_t stepMs) {
    const auto deadline = LossDeadline(stepMs);
    if (!deadline || hosttime::isBefore(lNow, *deadline)) return false;
    Reset();
    return true;
}

std::optional<std::int32_t> ClockFollower::LossDeadline(std::int32_t stepMs) const {
    if (state_ != State::Running || !lastHeard_) return std::nullopt;
    // Lost once more than two steps have passed without a tick.
    const std::int32_t span = checked::add<std::int32_t>(checked::mul<std::int32_t>(std::max(1, stepMs), 2), 1);
    return hosttime::after(*lastHeard_, span);
}

std::optional<double> ClockFollower::Tempo() const {
    if (!interval_) return std::nullopt;
    return 60000.0 / (*interval_ * kTicksPerQuarter);
}

std::optional<std::int16_t> ClockFollower::StepPeriod(std::int32_t ticksPerStep) const {
    if (!interval_) return std::nullopt;
    const double ms = std::clamp(*interval_ * std::max(1, ticksPerStep), double{kShortestStep}, double{kLongestStep});
    return checked::round<std::int16_t>(ms);
}

void ClockFollower::keep(std::int32_t lTime) {
    if (count_ > 0) {
        const std::int32_t last = times_[(next_ + kKept - 1) % kKept];
        const std::int32_t since = hosttime::distance(last, lTime);
        if (since <= 0) return;  // handled out of arrival order: counted, not measured
        const double gap = interval_ ? kGapIntervals * *interval_ : kFirstGapMs;
        if (since > gap) {
            count_ = 0;
            interval_.reset();
        }
    }
    times_[next_] = lTime;
    next_ = (next_ + 1) % kKept;
    count_ = std::min(count_ + 1, kKept);
    if (count_ < 2) return;

    // Slopes over a lag of half the ticks kept, oldest tick first.
    const std::size_t lag = std::max<std::size_t>(1, std::min<std::size_t>(kKept / 2, (count_ - 1) / 2));
    const std::size_t oldest = (next_ + kKept - count_) % kKept;
    // On the stack: ticks are counted in the audio thread.
    std::array<double, kKept> slopes{};
    std::size_t n = 0;
    for (std::size_t i = lag; i < count_; ++i) {
        const std::int32_t from = times_[(oldest + i - lag) % kKept], to = times_[(oldest + i) % kKept];
        slopes[n++] = static_cast<double>(hosttime::distance(from, to)) / static_cast<double>(lag);
    }
    std::sort(slopes.begin(), slopes.begin() + static_cast<std::ptrdiff_t>(n));
    const std::size_t mid = n / 2;
    interval_ = n % 2 == 1 ? slopes[mid] : (slopes[mid - 1] + slopes[mid]) / 2.0;
}

}  // namespace vlx
