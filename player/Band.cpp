// SPDX-License-Identifier: GPL-3.0-or-later
#include "player/Band.h"

#include <algorithm>

#include "model/Checked.h"
#include "model/HostTime.h"

namespace vlx {

namespace {
bool isClock(std::int32_t status) noexcept {
    return status == 0xF8 || (status >= 0xFA && status <= 0xFC) || status == 0xF2;
}
}  // namespace

bool Band::Input(std::int32_t lTime, std::int32_t status, std::int32_t data1, std::int32_t data2) {
    const auto chan = static_cast<std::uint8_t>(status & 0x0F);
    if ((status & 0xF0) == 0xB0) {
        if (data1 == 64) {
            SustainLatch::ForEach(latch_.Pedal(chan, data2), [&](std::uint8_t note) { keys_.Release(chan, note); });
            // Passed on, the pedal would sustain the arpeggio's own notes.
            return latch_.holding();
        }
        if (data1 == 120 || data1 == 123) StopEverything();  // All Sound Off, All Notes Off
        return false;
    }
    if (!state_.on(Control::FollowClock)) {
        if (isClock(status)) CountClock(lTime, status, data1, data2);
        return false;
    }
    switch (status) {
    case 0xF8: tick(lTime); break;
    case 0xFA:
        clock_.Start(lTime);
        lost_ = false;
        Arp.HoldSteps(true);
        keys_.Rebuild(lTime);  // the first step falls on the next tick
        break;
    case 0xFB:
        clock_.Continue(lTime);
        lost_ = false;
        Arp.HoldSteps(true);
        break;
    case 0xFC:
        clock_.Stop();
        Arp.HoldSteps(true);
        Arp.StopPlay();
        break;
    case 0xF2: CountClock(lTime, status, data1, data2); break;  // its two bytes read in one place
    default: return false;
    }
    show();
    return false;
}

void Band::CountClock(std::int32_t lTime, std::int32_t status, std::int32_t data1, std::int32_t data2) {
    switch (status) {
    case 0xF8: clock_.TickPair(lTime, pairTicks(), secondTick()); break;
    case 0xFA: clock_.Start(lTime); break;
    case 0xFB: clock_.Continue(lTime); break;
    case 0xFC: clock_.Stop(); break;
    case 0xF2: clock_.SongPosition((data2 & 0x7F) << 7 | (data1 & 0x7F)); break;
    default: break;
    }
}

std::int32_t Band::pairTicks() const {
    return ClockFollower::TicksPerPair(Arp.Resolution(), Arp.timing().feel);
}
std::int32_t Band::secondTick() const { return ClockFollower::SecondTick(pairTicks(), Arp.timing().swing); }

std::optional<std::int16_t> Band::measured(double ticks) const {
    const auto interval = clock_.TickInterval();
    if (!interval) return std::nullopt;
    return checked::round<std::int16_t>(std::clamp(*interval * ticks, 8.0, double{Arpeggiator::kLongestStep}));
}

// Each step on its tick, as long as its ticks (the halves of a swung pair
// differ); the engine's tempo stays the one typed.
void Band::tick(std::int32_t lTime) {
    const std::int32_t pair = pairTicks(), second = secondTick();
    const int step = clock_.TickPair(lTime, pair, second);
    lost_ = false;
    keptPeriod_.reset();
    if (!Arp.StepsHeld()) Arp.HoldSteps(true);
    if (step == 0) return;
    // Until two ticks have been measured, a step is as long as the typed tempo makes it.
    const std::int16_t period = measured(step == 1 ? second : pair - second).value_or(Arp.TypedPeriod());
    if (keys_.TakeRegrid()) Arp.Regrid(lTime);
    Arp.PlaceNextStep(lTime, period, Arp.DurationFor(period), step - 1);
}

void Band::FollowAt(std::int32_t lNow) {
    if (!state_.on(Control::FollowClock)) return;
    const std::optional<std::int16_t> step = measuredStep();
    const std::optional<double> bpm = clock_.Tempo();
    if (!clock_.CheckLost(lNow, step.value_or(Arp.TypedPeriod()))) return;
    lost_ = true;
    if (step && Arp.StepsHeld()) {
        keptPeriod_ = *step;
        keptTempo_ = bpm.value_or(0);
        Arp.PlaceNextStep(hosttime::after(lNow, 5), *step, Arp.DurationFor(*step));
        Arp.HoldSteps(false);
    } else {
        StepsByTypedTempo(lNow);
    }
    show();
}

std::optional<std::int32_t> Band::LossDeadline() const {
    if (!state_.on(Control::FollowClock)) return std::nullopt;
    return clock_.LossDeadline(measuredStep().value_or(Arp.TypedPeriod()));
}

// The clock's count goes on whatever the switch: a clock already running
// puts the steps on the song's grid at once.
void Band::FollowSwitched(std::int32_t lNow) {
    lost_ = false;
    keptPeriod_.reset();
    if (state_.on(Control::FollowClock) && state_.looping && clock_.state() != ClockFollower::State::Absent)
        Arp.HoldSteps(true);
    else
        StepsByTypedTempo(lNow);
    show();
}

void Band::HoldSwitched(Control which, bool on) {
    const SustainLatch::PerChannel released = which == Control::Latch ? latch_.Latch(on) : latch_.Hold(on);
    for (std::size_t chan = 0; chan < released.size(); ++chan)
        SustainLatch::ForEach(released[chan], [&](std::uint8_t note) { keys_.Release(static_cast<std::uint8_t>(chan), note); });
}

// Joining a running song: the next step waits for the song's grid.
void Band::Enabled() {
    if (state_.on(Control::FollowClock) && clock_.state() != ClockFollower::State::Absent) Arp.HoldSteps(true);
}

void Band::Reset() {
    lost_ = false;
    keptPeriod_.reset();
    keys_.CancelRegrid();
    latch_.ForgetAll();
    Arp.HoldSteps(false);
    show();
}

void Band::StopEverything() {
    Arp.StopPlay();
    keys_.RemoveAll();
    latch_.Forget();
}

void Band::Forget() {
    latch_.ForgetAll();
    clock_.Reset();
    lost_ = false;
    Arp.HoldSteps(false);
}

void Band::StepsByTypedTempo(std::int32_t lNow) {
    if (!Arp.StepsHeld()) return;
    Arp.Tempo(Arp.Tempo());
    Arp.PlaceNextStep(hosttime::after(lNow, 5), Arp.period(), Arp.Duration());
    Arp.HoldSteps(false);
}

bool Band::DrivesTempo() const noexcept {
    return following() && clock_.state() != ClockFollower::State::Absent;
}

double Band::clockTempo() const noexcept { return clock_.Tempo().value_or(keptPeriod_ ? keptTempo_ : 0.0); }

// Its state, whether it was lost, its tempo to the whole beat.
void Band::show() noexcept {
    PlayerReport r;
    r.kind = PlayerReport::Kind::Clock;
    if (following()) {
        r.clockState = clock_.state();
        r.clockLost = lost_;
        if (const auto bpm = clock_.Tempo())
            r.clockTempo = *bpm;
        else if (keptPeriod_)
            r.clockTempo = keptTempo_;
    }
    const auto whole = [](double bpm) { return static_cast<long>(bpm + 0.5); };
    if (r.clockState == shown_.clockState && r.clockLost == shown_.clockLost &&
        whole(r.clockTempo) == whole(shown_.clockTempo))
        return;
    shown_ = r;
    owner_.Report(r);
}

}  // namespace vlx
