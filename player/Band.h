// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Playing with a band: the MIDI clock the steps may follow (counted from
// the song's start even while not followed), the sustain pedal and the
// latch that hold released keys, and all notes off.
#include <cstdint>
#include <optional>

#include "engine/Arpeggiator.h"
#include "engine/ClockFollower.h"
#include "engine/SustainLatch.h"
#include "player/HeldKeys.h"
#include "player/OwnerLink.h"
#include "player/PlayerTypes.h"

namespace vlx {

class Band {
public:
    Band(Arpeggiator& arp, HeldKeys& keys, const PlayState& state, OwnerLink& owner)
        : Arp(arp), keys_(keys), state_(state), owner_(owner) {}

    // A message of the band's (the pedal, all notes off, the clock) while
    // the program receives input; true when it must not pass on.
    bool Input(std::int32_t lTime, std::int32_t status, std::int32_t data1, std::int32_t data2);
    // The song's position counted while nothing follows it.
    void CountClock(std::int32_t lTime, std::int32_t status, std::int32_t data1, std::int32_t data2);
    // Every pass: a running clock that stopped arriving leaves the pattern
    // playing on at its last tempo.
    void FollowAt(std::int32_t lNow);
    // When the clock is next judged lost.
    std::optional<std::int32_t> LossDeadline() const;

    // The switches, as the cycles take them.
    void FollowSwitched(std::int32_t lNow);
    void HoldSwitched(Control which, bool on);
    void Enabled();  // Arpeggiate down: a running song's grid is joined
    // Arpeggiate up or down: what the pattern held and followed starts
    // afresh; the clock's count of the song goes on.
    void Reset();
    // Nothing the pattern started sounds on, nothing is held or pending;
    // arpeggiation stays on.
    void StopEverything();
    // Forgets the song and the keys held, without a message.
    void Forget();

    // The pattern goes on from its next step, 5 ms from lNow, at the typed tempo.
    void StepsByTypedTempo(std::int32_t lNow);
    // A clock's tempo drives the steps: a typed one waits.
    bool DrivesTempo() const noexcept;
    // A lost clock's tempo is kept until the clock is back or a tempo is given.
    bool KeepsLostTempo() const noexcept { return keptPeriod_.has_value(); }
    void ForgetLostTempo() noexcept {
        keptPeriod_.reset();
        show();
    }

    SustainLatch& latch() noexcept { return latch_; }
    // What the live view shows of the clock.
    ClockFollower::State clockState() const noexcept { return clock_.state(); }
    bool clockLost() const noexcept { return lost_; }
    double clockTempo() const noexcept;
    bool following() const noexcept { return state_.on(Control::FollowClock) && state_.looping; }

private:
    void tick(std::int32_t lTime);
    // Steps in pairs of the clock's ticks: how many a pair spans, and the
    // tick the second step falls on (a swing, a dotted 32nd).
    std::int32_t pairTicks() const;
    std::int32_t secondTick() const;
    // What the clock measures over so many ticks, kept within a step's range.
    std::optional<std::int16_t> measured(double ticks) const;
    std::optional<std::int16_t> measuredStep() const { return measured(pairTicks() / 2.0); }
    // Tells the owner when what it shows of the clock changes.
    void show() noexcept;

    Arpeggiator& Arp;
    HeldKeys& keys_;
    const PlayState& state_;
    OwnerLink& owner_;
    ClockFollower clock_;
    SustainLatch latch_;
    bool lost_ = false;
    // A lost clock's step, kept until the clock is back or a tempo is given.
    std::optional<std::int16_t> keptPeriod_;
    double keptTempo_ = 0;
    PlayerReport shown_;
};

}  // namespace vlx
