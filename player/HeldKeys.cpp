// SPDX-License-Identifier: GPL-3.0-or-later
#include "player/HeldKeys.h"

#include "model/HostTime.h"

namespace vlx {

namespace {
std::size_t keyIndex(std::uint8_t chan, std::uint8_t note) { return chan * 256u + note; }
}  // namespace

// The rebuild of the pattern that a press asks for waits until the first
// step it would lay falls due, 5 ms on: the keys of a chord, and a flood of
// them, cost one rebuild, while the first step still falls 5 ms after the
// last key.
void HeldKeys::Press(std::int32_t lTime, std::uint8_t chan, std::uint8_t note, std::uint8_t velocity, bool joins) {
    ++presses_;
    releaseWaiting();  // this press's own rebuild would have dropped their places
    if (const auto key = keyIndex(chan, note); deferredKey_.test(key)) {
        deferredKey_.reset(key);
        Arp.Release(chan, note);  // else its late release would take this press too
    }
    auto& count = held_[keyIndex(chan, note)];
    count = static_cast<std::uint16_t>(count + 1);
    const bool keepBeat = state_.on(Control::KeepBeat);
    // On a kept beat a key joins the pattern that plays, at its next step;
    // with Retrigger checked it restarts it, as its label says.
    if (keepBeat && !state_.on(Control::Retrigger) && !rebuild_ && joins) {
        Arp.Hold(chan, note, velocity, false);
        RegridAtNextStep();
        return;
    }
    Arp.Hold(chan, note, velocity);
    regridDue_ = false;
    if (!rebuild_) rebuild_ = PendingRebuild{lTime, lTime, hosttime::after(lTime, 5), false};
    rebuild_->last = lTime;
    rebuild_->twice = rebuild_->twice || state_.on(Control::Retrigger);
    // A chord rolled on a kept beat starts one pattern: 5 ms after its last
    // key, up to kChordGatherMs after its first.
    if (keepBeat) {
        const std::int32_t latest = hosttime::after(rebuild_->first, kChordGatherMs + 5);
        const std::int32_t wanted = hosttime::after(lTime, 5);
        rebuild_->deadline = hosttime::isBefore(latest, wanted) ? latest : wanted;
        if (hosttime::isBefore(rebuild_->deadline, wanted)) rebuild_->last = hosttime::after(rebuild_->deadline, -5);
    }
}

// On a kept beat the pattern closes the gap at its next step. Else a key
// released while a press's rebuild waits is laid out with the others and
// leaves right after, so that its places stay silent until the next
// rebuild, as the press's own rebuild and the release would have left them.
void HeldKeys::Release(std::uint8_t chan, std::uint8_t note) {
    auto& count = held_[keyIndex(chan, note)];
    if (count == 0) return;
    count = 0;
    if (rebuild_ && !state_.on(Control::KeepBeat)) {
        waiting_[waitingCount_++] = static_cast<std::uint16_t>(keyIndex(chan, note));
        return;
    }
    releaseInEngine(static_cast<std::uint16_t>(keyIndex(chan, note)));
}

// Finding a key among thousands held and closing its places costs about a
// microsecond: a flood released at once would hold a short cycle past its end.
void HeldKeys::releaseInEngine(std::uint16_t key) {
    if (releases_ >= budget_ || deferredCount_ > 0) return defer(key);
    releaseNow(key);
}

void HeldKeys::releaseNow(std::uint16_t key) {
    ++releases_;
    Arp.Release(static_cast<std::uint8_t>(key / 256), static_cast<std::uint8_t>(key % 256));
    if (state_.on(Control::KeepBeat)) RegridAtNextStep();
}

void HeldKeys::defer(std::uint16_t key) {
    if (deferredCount_ == deferred_.size()) {  // only keys pressed and released again and again
        Arp.Release(static_cast<std::uint8_t>(key / 256), static_cast<std::uint8_t>(key % 256));
        return;
    }
    deferred_[(deferredHead_ + deferredCount_++) % deferred_.size()] = key;
    deferredKey_.set(key);
}

void HeldKeys::ReleaseDeferred() {
    while (deferredCount_ > 0 && releases_ < budget_) {
        const std::uint16_t key = deferred_[deferredHead_];
        deferredHead_ = (deferredHead_ + 1) % deferred_.size();
        --deferredCount_;
        if (!deferredKey_.test(key)) continue;  // released at its new press
        deferredKey_.reset(key);
        releaseNow(key);
    }
}

void HeldKeys::releaseWaiting() {
    for (std::size_t i = 0; i < waitingCount_; ++i) releaseInEngine(waiting_[i]);
    waitingCount_ = 0;
}

void HeldKeys::RemoveAll() {
    waitingCount_ = 0;
    deferredCount_ = 0;
    deferredKey_.reset();
    rebuild_.reset();
    regridDue_ = false;
    held_.fill(0);
    Arp.RemoveAll();
}

// Not the presses' own: the keys released meanwhile are gone first.
void HeldKeys::Rebuild(std::int32_t lTime) {
    releaseWaiting();
    rebuild_.reset();
    Arp.Retrigger(lTime);
}

bool HeldKeys::RebuildDue(std::int32_t lNow) const noexcept {
    return rebuild_ && !hosttime::isBefore(lNow, rebuild_->deadline);
}

// When the first press's own rebuild would have laid its first step: no
// step of the old pattern is played meanwhile, and the new one starts 5 ms
// after the last press, as each press's rebuild would have made it.
std::optional<std::int32_t> HeldKeys::RebuildDeadline() const noexcept {
    if (!rebuild_) return std::nullopt;
    return rebuild_->deadline;
}

// From the last press, as each press's own rebuild would have; with the
// Retrigger box checked, a second time, as its rule says. On a kept beat a
// chord begun after every key was up goes on the grid that ran. Keys
// released meanwhile leave after it.
void HeldKeys::FlushRebuild() {
    if (!rebuild_) return;
    const PendingRebuild pending = *rebuild_;
    rebuild_.reset();
    if (state_.on(Control::KeepBeat) && !pending.twice && !Arp.StepsHeld())
        Arp.Resume(pending.last);
    else
        Arp.Retrigger(pending.last);
    if (pending.twice) Arp.Retrigger(pending.last);
    releaseWaiting();
}

// Taken now: the sweep of released keys may empty the queue.
void HeldKeys::RegridAtNextStep() {
    if (regridDue_) return;
    regridDue_ = true;
    regridAt_ = Arp.NextStepPoint();
}

// The pattern laid out again from that step, going on in its order.
bool HeldKeys::RegridBy(std::int32_t lNow) {
    if (!regridDue_ || rebuild_ || Arp.StepsHeld()) return false;
    if (Arp.IsEmpty()) {
        regridDue_ = false;
        return false;
    }
    if (!regridAt_) {  // no grid to keep: a fresh start
        regridDue_ = false;
        Rebuild(lNow);
        return true;
    }
    if (hosttime::isBefore(lNow, regridAt_->at.ms)) return false;
    regridDue_ = false;
    Arp.SweepReleased();
    Arp.Regrid(*regridAt_);
    return true;
}

bool HeldKeys::TakeRegrid() noexcept {
    if (!regridDue_ || Arp.IsEmpty()) return false;
    regridDue_ = false;
    return true;
}

std::optional<std::int32_t> HeldKeys::RegridDeadline() const noexcept {
    if (!regridDue_ || !regridAt_) return std::nullopt;
    return regridAt_->at.ms;
}

}  // namespace vlx
