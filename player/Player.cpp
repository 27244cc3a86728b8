// SPDX-License-Identifier: GPL-3.0-or-later
#include "player/Player.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include "model/Checked.h"
#include "model/HostTime.h"
#include "player/ControlCodes.h"

namespace vlx {

namespace {

// Passes that sent a note run again at once; a schedule that would keep
// firing at one moment (it cannot, as long as every step moves a cycle on)
// is left for the next millisecond after this many.
constexpr int kMaxFiringPasses = 4096;

bool isClock(std::int32_t status) noexcept {
    return status == 0xF8 || (status >= 0xFA && status <= 0xFC) || status == 0xF2;
}

}  // namespace

using namespace codes;  // NOLINT: the few helpers that turn controls into settings

Player::Player(const ControlValues& controls, PlayerNotifier* notifier)
    : link_(notifier),
      vlx(std::make_shared<CycleHost>(time_)),
      Arp(std::make_shared<Arpeggiator>()),
      keys_(*Arp, state_),
      band_(*Arp, keys_, state_, link_),
      input_(*Arp, *vlx, time_, keys_, band_, state_) {
    state_.controls = controls;
    state_.controls[Control::Arpeggiate] = 0;  // switched on by Set alone
    lNextPoll = hosttime::after(vlx->HostTime(), kPollInterval);
    nLastOctaves = code(controls, Control::Octaves);
    nLastResolution = code(controls, Control::Resolution);
    nLastSustain = code(controls, Control::Sustain);
    nLastCycle = code(controls, Control::Cycle);
    nLastTempo = wholeTempo(controls);
    lastTiming_ = timingOf(controls);
    Arp->Reserve(kMaxHeld, kMaxOctaves);
    Arp->vlx(vlx);
    Arp->Init(vlx->HostTime(), nLastTempo, nLastResolution, nLastSustain, nLastOctaves, nLastCycle);
    Arp->SetTiming(lastTiming_);
    Arp->SetShape(shapeOf(controls));
    Arp->SetVoice(voiceOf(controls));
    Arp->ShuffleEveryPass(state_.on(Control::ShuffleEveryPass));
    band_.latch().Hold(state_.on(Control::SustainHold));
    band_.latch().Latch(state_.on(Control::Latch));
}

Player::~Player() {
    if (Arp) Arp->vlx(nullptr);
}

Player::Counters Player::counters() const noexcept {
    Counters c;
    c.received = input_.received();
    c.unsent = vlx->unsent();
    c.junkBytes = junkBytes_.load(std::memory_order_relaxed);
    c.refusedKeys = input_.refusedKeys();
    c.lostCommands = link_.lost();
    c.failures = failures_.load(std::memory_order_relaxed);
    return c;
}

void Player::ForgetSilently() {
    vlx->Detach();
    while (Arp->PlayQ()->Count() > 0) Arp->PlayQ()->Pull();
    keys_.RemoveAll();
    while (!input_.InQ->IsEmpty()) input_.InQ->Pull();
    input_.ForgetPresses();
    band_.Forget();
    ringing_.Forget();
}

// ---- errors ----

template <class Body>
void Player::guarded(Body&& body) noexcept {
    try {
        body();
    } catch (const std::exception& e) {
        failed(e.what());
    } catch (...) {
        failed("Unknown error");
    }
}

// An error switches arpeggiation off, silencing what sounds, and is said
// once; the player goes on routing input.
void Player::failed(const char* what) noexcept {
    failures_.fetch_add(1, std::memory_order_relaxed);
    if (failing_) return;  // a follow-on error of the switch-off itself
    failing_ = true;
    try {
        Enable_Click(false);
    } catch (...) {
    }
    // Whatever the switch-off got to, nothing may be left sounding.
    try {
        Arp->StopPlay();
        ringing_.EndAll(*Arp);
        keys_.RemoveAll();
    } catch (...) {
    }
    state_.looping = false;
    state_.controls[Control::Arpeggiate] = 0;
    vlx->RaiseInputEvents(0);
    vlx->DivertInput(0);
    PlayerReport r;
    r.kind = PlayerReport::Kind::Failed;
    std::strncpy(r.what, what ? what : "", sizeof r.what - 1);
    link_.Report(r);
    failing_ = false;
}

// ---- the window's handlers ----

void Player::Enable_Click(bool on) {
    Arp->ForgetGrid();  // a beat is kept while Arpeggiate stays down
    if (on) {
        input_.ForgetPresses();  // the engine is empty: no press seen yet
        band_.Reset();
        vlx->DivertInput(state_.on(Control::Divert) ? 1 : 0);
        vlx->RaiseInputEvents(1);
        state_.looping = true;
        band_.Enabled();
        if (state_.on(Control::KeepBeat)) input_.PlayKeysDown();
    } else {
        state_.looping = false;
        vlx->RaiseInputEvents(0);
        vlx->DivertInput(0);
        Arp->StopPlay();
        ringing_.EndAll(*Arp);
        keys_.RemoveAll();
        band_.Reset();
    }
}

void Player::Divert_Click() {
    if (vlx->RaiseInputEvents() == 1) vlx->DivertInput(state_.on(Control::Divert) ? 1 : 0);
}

bool Player::Timer_Timer() {
    bool fired = false;
    {
        BusyGuard busy(input_.lBusy);
        if (busy.owns()) {
            input_.DrainInQ();
            const std::int32_t lNow = vlx->HostTime();
            const std::uint16_t nowFrac = time_.NowFrac();
            if (keys_.RebuildDue(lNow)) keys_.FlushRebuild();
            // With the beat kept, settings reach the pattern at its next
            // step rather than at the next poll.
            if (state_.on(Control::KeepBeat) && state_.looping) PollControls();
            keys_.RegridBy(lNow);
            band_.FollowAt(lNow);
            ringing_.EndDue(*Arp, lNow);
            // A rebuild still to come replaces what the queues hold. Steps
            // a whole period late by the time they would be heard pass in
            // silence, whatever the driver: frames that jumped, cycles
            // replayed faster than real time, a thread woken late.
            if (!Arp->IsEmpty() && !keys_.RebuildPending()) {
                if (const std::int32_t heard = time_.HeardNow(); heard != lNow) Arp->PassMissed(heard);
                fired = Arp->MaybeTrigger(lNow, nowFrac);
            }
        }
    }
    if (state_.looping) {
        const std::int32_t t = vlx->HostTime();
        if (hosttime::isBefore(lNextPoll, t)) {
            lNextPoll = hosttime::after(t, kPollInterval);
            PollControls();
        }
    }
    return fired;
}

void Player::PollControls() {
    const ControlValues& c = state_.controls;
    bool changed = false;
    struct ListPoll {
        Control control;
        std::int16_t& last;
        void (Arpeggiator::*let)(std::int16_t);
    };
    for (const auto& [control, last, let] : {ListPoll{Control::Octaves, nLastOctaves, &Arpeggiator::Octaves},
                                             ListPoll{Control::Resolution, nLastResolution, &Arpeggiator::Resolution},
                                             ListPoll{Control::Sustain, nLastSustain, &Arpeggiator::Sustain},
                                             ListPoll{Control::Cycle, nLastCycle, &Arpeggiator::Cycle}}) {
        if (code(c, control) != last) {
            last = code(c, control);
            ((*Arp).*let)(last);
            changed = true;
        }
    }
    // The timing beyond the lists; its tenths of a bpm wait with the tempo.
    Arpeggiator::Timing timing = timingOf(c);
    if (band_.DrivesTempo()) timing.tenths = lastTiming_.tenths;
    if (timing != lastTiming_) {
        lastTiming_ = timing;
        Arp->SetTiming(timing);
        changed = true;
    }
    if (const Arpeggiator::Shape shape = shapeOf(c); shape != Arp->shape()) {
        Arp->SetShape(shape);
        changed = true;
    }
    // While a clock's tempo drives the steps, the typed one waits; a tempo
    // given takes over from a lost clock's, even one equal to the last.
    const bool givenAgain = std::exchange(tempoGiven_, false);
    const std::int16_t tempo = wholeTempo(c);
    if ((tempo != nLastTempo || (givenAgain && band_.KeepsLostTempo())) && !band_.DrivesTempo()) {
        nLastTempo = tempo;
        band_.ForgetLostTempo();
        Arp->Tempo(nLastTempo);
        changed = true;
    }
    if (state_.looping && changed) {
        if (state_.on(Control::KeepBeat) && !Arp->IsEmpty() && !keys_.RebuildPending())
            keys_.RegridAtNextStep();
        else
            keys_.Rebuild(vlx->HostTime());
    }
}

// ---- time ----

// The first host millisecond in which something can be due: the head of
// either step queue (as far as time decides), the clock's loss, or the next
// settings poll; never before the next millisecond, so that a step that
// cannot fire does not hold the cycle.
Arpeggiator::Moment Player::nextWake(std::int32_t lNow, std::uint16_t nowFrac) const {
    using Moment = Arpeggiator::Moment;
    const auto before = [](const Moment& a, const Moment& b) {
        const std::int32_t d = hosttime::distance(a.ms, b.ms);
        return d > 0 || (d == 0 && a.frac < b.frac);
    };
    Moment wake{hosttime::after(lNextPoll, 1), 0};
    const auto earlier = [&](std::optional<Moment> t) {
        if (t && before(*t, wake)) wake = *t;
    };
    const auto earlierMs = [&](std::optional<std::int32_t> t) {
        if (t) earlier(Moment{*t, 0});
    };
    if (const auto rebuild = keys_.RebuildDeadline()) {
        earlierMs(rebuild);
    } else if (!Arp->IsEmpty()) {
        earlier(Arp->NextDueMoment());
        earlierMs(keys_.RegridDeadline());
    }
    earlierMs(band_.LossDeadline());
    if (keys_.ReleasesDeferred()) earlierMs(hosttime::after(lNow, 1));  // a driver without cycles comes back for them
    earlierMs(ringing_.NextEnd());
    if (!before(Moment{lNow, nowFrac}, wake)) wake = Moment{hosttime::after(lNow, 1), 0};
    return wake;
}

std::uint64_t Player::frameOfNextWake() const {
    const auto wake = nextWake(time_.Now(), time_.NowFrac());
    return time_.FrameOfMs(wake.ms, wake.frac);
}

void Player::runPasses() noexcept {
    for (int i = 0; i < kMaxFiringPasses && state_.looping; ++i) {
        bool fired = false;
        guarded([&] { fired = Timer_Timer(); });
        if (!fired) return;
    }
}

void Player::advanceTo(std::uint64_t frame) noexcept {
    while (state_.looping && time_.cursor() < frame) {
        runPasses();
        if (!state_.looping) break;
        std::uint64_t next = frame;
        guarded([&] { next = frameOfNextWake(); });
        if (next >= frame || next <= time_.cursor()) break;
        time_.MoveTo(next);
    }
    time_.MoveTo(frame);
}

// In the driver's frames.
std::optional<std::uint64_t> Player::NextDueFrame() const noexcept {
    if (!state_.looping) return std::nullopt;
    std::uint64_t frame = time_.cursor() + 1;
    try {
        frame = frameOfNextWake();
    } catch (...) {
    }
    return time_.ToDriver(frame);
}

// ---- the driver's cycle ----

void Player::BeginCycle(const Cycle& cycle, CycleOutput& out) noexcept {
    time_.Begin(cycle);
    vlx->Attach(out);
    keys_.BeginCycle(cycle.frames);
    if (keys_.ReleasesDeferred()) guarded([&] { keys_.ReleaseDeferred(); });
    hands_.BeginCycle();
    link_.TakeCommands([this](const PlayerCommand& command) { guarded([&] { apply(command); }); });
}

void Player::Receive(std::uint32_t offset, const std::uint8_t* bytes, std::uint32_t size) noexcept {
    if (!time_.inCycle()) return;
    // What falls due on this very frame comes after the message: a key
    // released or a chord changed on the beat takes its step, which would
    // otherwise sound for no time at all.
    advanceTo(time_.FrameAt(offset));
    host::splitEvent(
        bytes, size, [&](const host::MidiMessage& m) { received(m); },
        [&](const std::uint8_t* sysex, std::size_t n) {
            // Whole, to the output: it cannot reach the program as one event.
            vlx->Write(sysex, static_cast<std::uint32_t>(n));
        },
        [&](std::size_t n) { junkBytes_.fetch_add(n, std::memory_order_relaxed); });
}

void Player::TransportClock(std::uint32_t offset, std::uint8_t status, std::uint8_t data1, std::uint8_t data2) noexcept {
    if (!time_.inCycle() || !state_.looping || !state_.on(Control::FollowClock)) return;
    advanceTo(time_.FrameAt(offset));
    if (status == 0xF8) time_.AlignToCursor();
    guarded([&] {
        BusyGuard busy(input_.lBusy);
        if (busy.owns()) band_.Input(vlx->HostTime(), status, data1, data2);
    });
}

void Player::received(const host::MidiMessage& m) noexcept {
    // What a binding or a preset takes goes no further.
    if (const HandsFreeAction action = hands_.Take(m, state_.controls); action.kind != HandsFreeAction::Kind::Pass) {
        input_.Seen();
        guarded([&] { handsFree(action); });
        return;
    }
    const host::InputRoute route = input_.Arrive(m);
    if (route.toProgram) {
        guarded([&] { input_.vlx_MidiInput(vlx->HostTime(), 0, m.status(), m.data1(), m.data2()); });
    } else if (isClock(m.status())) {
        // The song's count goes on while Arpeggiate is up.
        guarded([&] { band_.CountClock(vlx->HostTime(), m.status(), m.data1(), m.data2()); });
    }
}

void Player::EndCycle() noexcept {
    if (!time_.inCycle()) return;
    advanceTo(time_.end());
    vlx->Detach();
    time_.End();
    publishView();
}

// What the window shows, from the cycle's end.
void Player::publishView() noexcept {
    PlayerView& v = view_.Back();
    v.arpeggiating = state_.looping;
    const auto& held = *Arp->NoteAry();
    v.heldCount = static_cast<std::uint16_t>(held.Count());
    std::size_t n = 0;
    for (std::int32_t p = 1; p <= held.Count() && n < PlayerView::kShownHeld; ++p, ++n) {
        const auto& note = held.Item(p);
        v.held[n] = static_cast<std::uint16_t>(note->chan * 256 + note->Note);
    }
    if (const auto step = Arp->PlayQ()->Count() > 0 ? Arp->PlayQ()->Item(Arp->PlayQ()->Count()) : nullptr) {
        if (const auto note = Arp->FindEvt(step->Index)) {
            const int pitch = note->Note + 12 * (step->OctMult - 1);
            lastStruck_ = pitch <= 127 ? note->chan * 256 + pitch : -1;
        }
    }
    if (!state_.looping || Arp->IsEmpty()) lastStruck_ = -1;
    v.playing = lastStruck_;
    v.inputs = input_.inputs();
    v.following = band_.following();
    v.clockState = band_.clockState();
    v.clockLost = band_.clockLost();
    v.clockTempo = band_.clockTempo();
    v.controls = state_.controls;
    v.changedInCycle = changedInCycle_;
    v.commandsTaken = link_.applied();
    // The owner is woken only when it has something new to show: the
    // input light at most every 50 ms.
    const std::int32_t now = time_.Now();
    const bool input = v.inputs != shown_.inputs && !hosttime::isBefore(now, hosttime::after(inputShownAt_, 50));
    const bool changed = !v.ShowsAsBefore(shown_) || input;
    if (input) inputShownAt_ = now;
    if (changed) shown_ = v;
    view_.Publish();
    if (changed) link_.Notify();
}

}  // namespace vlx
