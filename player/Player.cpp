// SPDX-License-Identifier: GPL-3.0-or-later
#include "player/Player.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <string>
#include <chrono>
#include <thread>
#include <utility>

#include "host/MidiMessage.h"
#include "host/Routing.h"
#include "model/Checked.h"
#include "model/HostTime.h"

namespace vlx {

namespace {

// Passes that sent a note run again at once; a schedule that would keep
// firing at one moment (it cannot, as long as every step moves a cycle on)
// is left for the next millisecond after this many.
constexpr int kMaxFiringPasses = 4096;
// Input that waits for the engine in the rare case a handler holds it.
constexpr std::size_t kInputReserve = 4096;

// Where a key's bit lives in divertedPress_.
std::size_t keyIndex(std::uint8_t chan, std::uint8_t note) { return chan * 256u + note; }

// Holds the engine for one handler while it runs; owns it when the count
// was free. Every increment is undone on every path, errors included.
class BusyGuard {
public:
    explicit BusyGuard(std::atomic<std::int32_t>& count) : count_(count), owns_(++count_ <= 0) {}
    BusyGuard(const BusyGuard&) = delete;
    BusyGuard& operator=(const BusyGuard&) = delete;
    ~BusyGuard() { --count_; }
    bool owns() const noexcept { return owns_; }

private:
    std::atomic<std::int32_t>& count_;
    bool owns_;
};

// The tempo in 16 bits, each code and the typed count in 8.
std::uint64_t pack(const PlayerControls& c) noexcept {
    auto byte = [](std::int16_t v, int shift) {
        return static_cast<std::uint64_t>(static_cast<std::uint8_t>(v)) << shift;
    };
    return static_cast<std::uint64_t>(static_cast<std::uint16_t>(c.tempo)) | byte(c.resolution, 16) |
           byte(c.sustain, 24) | byte(c.octaves, 32) | byte(c.cycle, 40) | (std::uint64_t{c.typed} << 48);
}

PlayerControls unpack(std::uint64_t v) noexcept {
    auto byte = [v](int shift) { return static_cast<std::int16_t>(static_cast<std::uint8_t>(v >> shift)); };
    PlayerControls c;
    c.tempo = static_cast<std::int16_t>(static_cast<std::uint16_t>(v));
    c.resolution = byte(16);
    c.sustain = byte(24);
    c.octaves = byte(32);
    c.cycle = byte(40);
    c.typed = static_cast<std::uint8_t>(v >> 48);
    return c;
}

bool isClock(std::int32_t status) noexcept { return status == 0xF8 || (status >= 0xFA && status <= 0xFC) || status == 0xF2; }

}  // namespace

// The host the engine and the input path see: its time is the frame being
// played, and what they send is written into the cycle's output at that
// frame, or at the frame where a step's millisecond begins.
class Player::CycleHost final : public HostAutomation {
public:
    explicit CycleHost(Player& player) : player_(player) {}

    std::string HostVersion() override { return "VLXArp player"; }
    std::int32_t ExitWithClient() override { return 0; }
    void ExitWithClient(std::int32_t) override {}
    std::int32_t InstanceNumber() override { return 1; }
    std::int32_t DivertInput() override { return divert; }
    void DivertInput(std::int32_t vData) override { divert = vData; }
    std::int32_t RaiseInputEvents() override { return raise; }
    void RaiseInputEvents(std::int32_t vData) override { raise = vData; }
    void SendMidiMessage(std::int32_t, std::int32_t Status, std::int32_t data1, std::int32_t data2) override {
        write(player_.cursor_, host::MidiMessage::fromInts(Status, data1, data2));
    }
    // Passes run on the frame where a step falls due, so it goes out there.
    // One placed in the past (a clock's tick ending the note before it)
    // goes out now: written back at its own frame it would land there only
    // when that frame is in the cycle, and the output would depend on the
    // cycle length.
    void SendMidiMessageAt(std::int32_t, std::int32_t, std::int32_t Status, std::int32_t data1,
                           std::int32_t data2) override {
        write(player_.cursor_, host::MidiMessage::fromInts(Status, data1, data2), true);
    }
    std::int32_t HostTime() override { return player_.time_.MsAt(player_.cursor_); }
    // A cycle never waits: a pass that finds the engine taken tries again
    // at the next frame where something is due.
    void SleepMs(std::int32_t) override {}

    // `step`: one of the arpeggio's steps, which passing data gives way to.
    void write(std::uint64_t frame, const host::MidiMessage& m, bool step = false) noexcept {
        if (m.size == 0 || !out) {
            player_.unsent_.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        write(frame, m.bytes.data(), m.size, step);
    }
    void write(std::uint64_t frame, const std::uint8_t* bytes, std::uint32_t size, bool step = false) noexcept {
        if (!out || player_.cycleFrames_ == 0) {
            player_.unsent_.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        const std::uint64_t from = player_.cycleStart_;
        auto offset = static_cast<std::uint32_t>(
            frame <= from ? 0 : std::min<std::uint64_t>(frame - from, player_.cycleFrames_ - 1));
        offset = std::max(offset, last);
        if (step ? out->WriteStep(offset, bytes, size) : out->Write(offset, bytes, size))
            last = offset;
        else
            player_.unsent_.fetch_add(1, std::memory_order_relaxed);
    }

    std::int32_t divert = 0;
    std::int32_t raise = 0;
    CycleOutput* out = nullptr;  // during a cycle
    std::uint32_t last = 0;      // the offset written last in this cycle

private:
    Player& player_;
};

Player::Player(const PlayerControls& controls, PlayerNotifier* notifier)
    : controls_(pack(controls)), notifier_(notifier) {
    vlx = std::make_shared<CycleHost>(*this);
    lBusy = -1;
    lNextPoll = hosttime::after(vlx->HostTime(), kPollInterval);
    nLastOctaves = controls.octaves;
    nLastResolution = controls.resolution;
    nLastSustain = controls.sustain;
    nLastCycle = controls.cycle;
    nLastTempo = controls.tempo;
    lastTyped_ = controls.typed;
    InQ = std::make_shared<InputQ>();
    InQ->Reserve(kInputReserve);
    Arp = std::make_shared<Arpeggiator>();
    Arp->Reserve(kMaxHeld, kMaxOctaves);
    Arp->vlx(vlx);
    Arp->Init(vlx->HostTime(), controls.tempo, controls.resolution, controls.sustain, controls.octaves,
              controls.cycle);
}

Player::~Player() {
    if (Arp) Arp->vlx(nullptr);
}

// ---- the owner's side ----

void Player::post(const Command& command) {
    // The queue holds far more than a person can click in one cycle; while
    // the driver stands still, give it a moment, then count the change lost.
    for (int tries = 0; !commands_.push(command); ++tries) {
        if (tries == 100) {
            lostCommands_.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ++posted_;
}

void Player::Enable(bool on, bool divert) { post({Command::Kind::Enable, on, divert}); }
void Player::Divert(bool divert) { post({Command::Kind::Divert, divert, divert}); }
void Player::Retrigger(bool on) { post({Command::Kind::Retrigger, on, false}); }
void Player::FollowClock(bool on) { post({Command::Kind::FollowClock, on, false}); }
void Player::SustainHold(bool on) { post({Command::Kind::SustainHold, on, false}); }
void Player::AllNotesOff() { post({Command::Kind::AllNotesOff, true, false}); }
void Player::KeepBeat(bool on) { post({Command::Kind::KeepBeat, on, false}); }
void Player::Latch(bool on) { post({Command::Kind::Latch, on, false}); }
void Player::ShuffleEveryPass(bool on) { post({Command::Kind::ShuffleEveryPass, on, false}); }

void Player::SetControls(const PlayerControls& controls) noexcept {
    controls_.store(pack(controls), std::memory_order_release);
}

bool Player::TakeReport(PlayerReport& report) noexcept { return reports_.pop(report); }

Player::Counters Player::counters() const noexcept {
    Counters c;
    c.received = received_.load(std::memory_order_relaxed);
    c.unsent = unsent_.load(std::memory_order_relaxed);
    c.junkBytes = junkBytes_.load(std::memory_order_relaxed);
    c.refusedKeys = refusedKeys_.load(std::memory_order_relaxed);
    c.lostCommands = lostCommands_.load(std::memory_order_relaxed);
    c.failures = failures_.load(std::memory_order_relaxed);
    return c;
}

void Player::ForgetSilently() {
    vlx->out = nullptr;
    while (Arp->PlayQ()->Count() > 0) Arp->PlayQ()->Pull();
    removeAll();
    while (!InQ->IsEmpty()) InQ->Pull();
    divertedPress_.reset();
    latch_.ForgetAll();
    midiClock_.Reset();
    clockLost_ = false;
    Arp->HoldSteps(false);
}

void Player::apply(const Command& command) {
    switch (command.kind) {
    case Command::Kind::Enable: Enable_Click(command.on, command.divert); break;
    case Command::Kind::Divert: Divert_Click(command.divert); break;
    case Command::Kind::Retrigger: retrigger_ = command.on; break;
    case Command::Kind::FollowClock:
        // The clock's count goes on whatever the switch: a clock already
        // running puts the steps on the song's grid at once.
        followClock_ = command.on;
        clockLost_ = false;
        keptClockPeriod_.reset();
        if (followClock_ && looping_ && midiClock_.state() != ClockFollower::State::Absent)
            Arp->HoldSteps(true);
        else
            stepsByTypedTempo(vlx->HostTime());
        showClock();
        break;
    case Command::Kind::SustainHold:
    case Command::Kind::Latch: {
        const SustainLatch::PerChannel released =
            command.kind == Command::Kind::Latch ? latch_.Latch(command.on) : latch_.Hold(command.on);
        for (std::size_t chan = 0; chan < released.size(); ++chan)
            SustainLatch::ForEach(released[chan], [&](std::uint8_t note) { release(static_cast<std::uint8_t>(chan), note); });
        break;
    }
    case Command::Kind::AllNotesOff: stopEverything(); break;
    case Command::Kind::KeepBeat: keepBeat_ = command.on; break;
    case Command::Kind::ShuffleEveryPass: Arp->ShuffleEveryPass(command.on); break;
    }
}

// ---- errors and reports ----

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
        Enable_Click(false, false);
    } catch (...) {
    }
    // Whatever the switch-off got to, nothing may be left sounding.
    try {
        Arp->StopPlay();
        removeAll();
    } catch (...) {
    }
    looping_ = false;
    vlx->raise = 0;
    vlx->divert = 0;
    PlayerReport r;
    r.kind = PlayerReport::Kind::Failed;
    std::strncpy(r.what, what ? what : "", sizeof r.what - 1);
    report(r);
    failing_ = false;
}

void Player::report(const PlayerReport& r) noexcept {
    reports_.push(r);  // a full queue means nobody reads: the newest goes
    if (notifier_) notifier_->Notify();
}

// ---- the window's handlers ----

void Player::Enable_Click(bool on, bool divert) {
    if (on) {
        divertedPress_.reset();  // the engine is empty: no press seen yet
        resetBand();
        vlx->DivertInput(divert ? 1 : 0);
        vlx->RaiseInputEvents(1);
        looping_ = true;
        // Joining a running song: the next step waits for the song's grid.
        if (followClock_ && midiClock_.state() != ClockFollower::State::Absent) Arp->HoldSteps(true);
        if (keepBeat_) playKeysDown();
    } else {
        looping_ = false;
        vlx->RaiseInputEvents(0);
        vlx->DivertInput(0);
        Arp->StopPlay();
        removeAll();
        resetBand();
    }
}

void Player::Divert_Click(bool divert) {
    if (vlx->RaiseInputEvents() == 1) vlx->DivertInput(divert ? 1 : 0);
}

void Player::vlx_MidiInput(std::int32_t /*nTimestamp*/, std::int32_t /*Port*/, std::int32_t status,
                           std::int32_t data1, std::int32_t data2) {
    BusyGuard busy(lBusy);
    const std::int32_t t = vlx->HostTime();
    if (busy.owns())
        ProcessMidi(t, status, data1, data2);
    else
        InQ->Add(t, status, data1, data2);
}

void Player::ProcessMidi(std::int32_t lTime, std::int32_t status, std::int32_t data1, std::int32_t data2) {
    auto kind = static_cast<std::uint8_t>(status & 0xF0);
    const auto chan = static_cast<std::uint8_t>(status & 0x0F);
    if (kind == 0x90) {
        if (data2 < 1) {
            kind = 0x80;
        } else {
            const auto note = checked::narrow<std::uint8_t>(data1);
            if (Arp->NoteAry()->Count() >= kMaxHeld || pressesThisCycle_ >= pressBudget()) {
                refusedKeys_.fetch_add(1, std::memory_order_relaxed);
                return;
            }
            divertedPress_.set(keyIndex(chan, note), vlx->DivertInput() == 1);
            // A chord the pedal or latch held and the next one replaces
            // goes on on the same beat.
            const bool joins = !Arp->IsEmpty();
            SustainLatch::ForEach(latch_.Press(chan, note), [&](std::uint8_t held) { release(chan, held); });
            press(lTime, chan, note, checked::narrow<std::uint8_t>(data2), joins);
        }
    }
    if (kind == 0x80) {
        const auto note = checked::narrow<std::uint8_t>(data1);
        // A press the host passed through (before arpeggiation or diversion
        // was switched on) sounds at the output, so its release must reach
        // it too: from the host while it routes input, from here once it
        // diverts. A diverted press never sounded; its release is the engine's.
        const bool diverted = divertedPress_.test(keyIndex(chan, note));
        divertedPress_.reset(keyIndex(chan, note));
        if (latch_.Release(chan, note)) release(chan, note);
        if (!diverted && vlx->DivertInput() == 1) vlx->SendMidiMessage(-1, status, data1, data2);
    } else if (kind != 0x90) {
        // The clock places the next step, and all notes off clears: the
        // pattern must be laid out first.
        flushRebuild();
        if (bandInput(lTime, status, data1, data2)) return;
        if (vlx->DivertInput() == 1) vlx->SendMidiMessage(-1, status, data1, data2);
    }
}

bool Player::Timer_Timer() {
    bool fired = false;
    {
        BusyGuard busy(lBusy);
        if (busy.owns()) {
            while (!InQ->IsEmpty()) {
                const auto message = InQ->Pull();
                if (message) ProcessMidi(message->lTime, message->Status, message->data1, message->data2);
            }
            const std::int32_t lNow = vlx->HostTime();
            if (rebuildDue(lNow)) flushRebuild();
            // With the beat kept, settings reach the pattern at its next
            // step rather than at the next poll.
            if (keepBeat_ && looping_) PollControls();
            regridBy(lNow);
            followClockAt(lNow);
            // A rebuild still to come replaces what the queues hold.
            if (!Arp->IsEmpty() && !rebuild_) fired = Arp->MaybeTrigger(lNow);
        }
    }
    if (looping_) {
        const std::int32_t t = vlx->HostTime();
        if (hosttime::isBefore(lNextPoll, t)) {
            lNextPoll = hosttime::after(t, kPollInterval);
            PollControls();
        }
    }
    return fired;
}

void Player::PollControls() {
    const PlayerControls c = unpack(controls_.load(std::memory_order_acquire));
    bool changed = false;
    struct ListPoll {
        std::int16_t value;
        std::int16_t& last;
        void (Arpeggiator::*let)(std::int16_t);
    };
    for (const auto& [value, last, let] : {ListPoll{c.octaves, nLastOctaves, &Arpeggiator::Octaves},
                                           ListPoll{c.resolution, nLastResolution, &Arpeggiator::Resolution},
                                           ListPoll{c.sustain, nLastSustain, &Arpeggiator::Sustain},
                                           ListPoll{c.cycle, nLastCycle, &Arpeggiator::Cycle}}) {
        if (value != last) {
            last = value;
            ((*Arp).*let)(value);
            changed = true;
        }
    }
    // While a clock's tempo drives the steps, the typed one waits; a tempo
    // typed takes over from a lost clock's, even one equal to the last.
    const bool typedAgain = c.typed != lastTyped_;
    lastTyped_ = c.typed;
    if ((c.tempo != nLastTempo || (typedAgain && keptClockPeriod_)) && !clockDrivesTempo()) {
        nLastTempo = c.tempo;
        keptClockPeriod_.reset();
        Arp->Tempo(nLastTempo);
        changed = true;
    }
    if (looping_ && changed) {
        if (keepBeat_ && !Arp->IsEmpty() && !rebuild_)
            regridAtNextStep();
        else
            rebuild(vlx->HostTime());
    }
}

// ---- playing with a band ----

bool Player::bandInput(std::int32_t lTime, std::int32_t status, std::int32_t data1, std::int32_t data2) {
    const auto chan = static_cast<std::uint8_t>(status & 0x0F);
    if ((status & 0xF0) == 0xB0) {
        if (data1 == 64) {
            SustainLatch::ForEach(latch_.Pedal(chan, data2), [&](std::uint8_t note) { release(chan, note); });
            // Passed on, the pedal would sustain the arpeggio's own notes.
            return latch_.holding();
        }
        if (data1 == 120 || data1 == 123) stopEverything();  // All Sound Off, All Notes Off
        return false;
    }
    if (!followClock_) {
        if (isClock(status)) countClock(lTime, status, data1, data2);
        return false;
    }
    switch (status) {
    case 0xF8: clockTick(lTime); break;
    case 0xFA:
        midiClock_.Start(lTime);
        clockLost_ = false;
        Arp->HoldSteps(true);
        rebuild(lTime);  // the first step falls on the next tick
        break;
    case 0xFB:
        midiClock_.Continue(lTime);
        clockLost_ = false;
        Arp->HoldSteps(true);
        break;
    case 0xFC:
        midiClock_.Stop();
        Arp->HoldSteps(true);
        Arp->StopPlay();
        break;
    case 0xF2: countClock(lTime, status, data1, data2); break;  // its two bytes read in one place
    default: return false;
    }
    showClock();
    return false;
}

std::int32_t Player::ticksPerStep() const { return ClockFollower::TicksPerStep(Arp->Resolution()); }

std::int16_t Player::typedPeriod() const { return Arpeggiator::CalcPeriod(nLastTempo, Arp->Resolution()); }

void Player::clockTick(std::int32_t lTime) {
    const std::int32_t ticks = ticksPerStep();
    const bool step = midiClock_.Tick(lTime, ticks);
    clockLost_ = false;
    keptClockPeriod_.reset();
    if (!Arp->StepsHeld()) Arp->HoldSteps(true);
    if (!step) return;
    // Until two ticks have been measured, a step is as long as the typed tempo makes it.
    const std::int16_t period = midiClock_.StepPeriod(ticks).value_or(typedPeriod());
    if (regridDue_ && !Arp->IsEmpty()) {
        regridDue_ = false;
        Arp->Regrid(lTime);
    }
    Arp->PlaceNextStep(lTime, period, Arpeggiator::CalcDuration(period, Arp->Sustain()));
}

// The song's position counted while nothing follows it (Arpeggiate up, or
// Follow MIDI clock off), so that following starts on the song's grid.
void Player::countClock(std::int32_t lTime, std::int32_t status, std::int32_t data1, std::int32_t data2) {
    switch (status) {
    case 0xF8: midiClock_.Tick(lTime, ticksPerStep()); break;
    case 0xFA: midiClock_.Start(lTime); break;
    case 0xFB: midiClock_.Continue(lTime); break;
    case 0xFC: midiClock_.Stop(); break;
    case 0xF2: midiClock_.SongPosition((data2 & 0x7F) << 7 | (data1 & 0x7F)); break;
    default: break;
    }
}

// Every pass: a running clock that has stopped arriving leaves the pattern
// playing on at its last tempo, until the clock is back or a tempo is typed.
void Player::followClockAt(std::int32_t lNow) {
    if (!followClock_) return;
    const std::optional<std::int16_t> measured = midiClock_.StepPeriod(ticksPerStep());
    const std::optional<double> bpm = midiClock_.Tempo();
    if (!midiClock_.CheckLost(lNow, measured.value_or(typedPeriod()))) return;
    clockLost_ = true;
    if (measured && Arp->StepsHeld()) {
        keptClockPeriod_ = *measured;
        keptClockTempo_ = bpm.value_or(0);
        Arp->PlaceNextStep(hosttime::after(lNow, 5), *measured, Arpeggiator::CalcDuration(*measured, Arp->Sustain()));
        Arp->HoldSteps(false);
    } else {
        stepsByTypedTempo(lNow);
    }
    showClock();
}

std::optional<std::int32_t> Player::clockDeadline() const {
    if (!followClock_) return std::nullopt;
    return midiClock_.LossDeadline(midiClock_.StepPeriod(ticksPerStep()).value_or(typedPeriod()));
}

// The pattern goes on from its next step, 5 ms from now, at the typed tempo.
void Player::stepsByTypedTempo(std::int32_t lNow) {
    if (!Arp->StepsHeld()) return;
    Arp->Tempo(nLastTempo);
    Arp->PlaceNextStep(hosttime::after(lNow, 5), Arp->period(), Arp->Duration());
    Arp->HoldSteps(false);
}

// Nothing the pattern started sounds on, nothing is held, nothing is
// pending; arpeggiation stays on for the next chord.
void Player::stopEverything() {
    Arp->StopPlay();
    removeAll();
    latch_.Forget();
}

// ---- held keys, with bounded work per message ----

// At most one press a frame a cycle reaches the engine (and at least 64): a
// flood of them, far beyond what any player or wire can send, must not
// hold the audio thread past its cycle.
std::uint32_t Player::pressBudget() const noexcept { return std::max<std::uint32_t>(64, cycleFrames_); }

// The rebuild of the pattern that a press asks for waits until the first
// step it would lay falls due, 5 ms on: the keys of a chord, and a flood of
// them, cost one rebuild, while the first step still falls 5 ms after the
// last key.
void Player::press(std::int32_t lTime, std::uint8_t chan, std::uint8_t note, std::uint8_t velocity, bool joins) {
    ++pressesThisCycle_;
    auto& count = heldKeys_[keyIndex(chan, note)];
    count = static_cast<std::uint16_t>(count + 1);
    // On a kept beat a key joins the pattern that plays, at its next step;
    // with Retrigger checked it restarts it, as its label says.
    if (keepBeat_ && !retrigger_ && !rebuild_ && joins) {
        Arp->Hold(chan, note, velocity, false);
        regridAtNextStep();
        return;
    }
    Arp->Hold(chan, note, velocity);
    regridDue_ = false;
    if (!rebuild_) rebuild_ = PendingRebuild{lTime, lTime, hosttime::after(lTime, 5), false};
    rebuild_->last = lTime;
    rebuild_->twice = rebuild_->twice || retrigger_;
    // A chord rolled on a kept beat starts one pattern: 5 ms after its last
    // key, up to kChordGatherMs after its first.
    if (keepBeat_) {
        const std::int32_t latest = hosttime::after(rebuild_->first, kChordGatherMs + 5);
        const std::int32_t wanted = hosttime::after(lTime, 5);
        rebuild_->deadline = hosttime::isBefore(latest, wanted) ? latest : wanted;
        if (hosttime::isBefore(rebuild_->deadline, hosttime::after(lTime, 5))) rebuild_->last = hosttime::after(rebuild_->deadline, -5);
    }
}

// A key not held costs nothing: a flood of releases stays cheap. On a kept
// beat the pattern closes the gap at its next step.
void Player::release(std::uint8_t chan, std::uint8_t note) {
    auto& count = heldKeys_[keyIndex(chan, note)];
    if (count == 0) return;
    count = 0;
    Arp->Release(chan, note);
    if (keepBeat_) regridAtNextStep();
}

// Keep the beat: a change reaches the pattern at the step the grid has
// next, taken now (the sweep of released keys may empty the queue).
void Player::regridAtNextStep() {
    if (regridDue_) return;
    regridDue_ = true;
    const auto head = Arp->NoteOnQ()->Peek();
    regridAt_ = head ? std::optional<std::int32_t>(head->Trigger) : std::nullopt;
}

// Keep the beat: at the next step of the running grid, the pattern is laid
// out again from that step, going on in its order.
bool Player::regridBy(std::int32_t lNow) {
    if (!regridDue_ || rebuild_ || Arp->StepsHeld()) return false;
    if (Arp->IsEmpty()) {
        regridDue_ = false;
        return false;
    }
    if (!regridAt_) {  // no grid to keep: a fresh start
        regridDue_ = false;
        rebuild(lNow);
        return true;
    }
    if (hosttime::isBefore(lNow, *regridAt_)) return false;
    regridDue_ = false;
    Arp->SweepReleased();
    Arp->Regrid(*regridAt_);
    return true;
}

// Arpeggiate pressed over held keys, on a kept beat: they are played as if
// pressed now. What passed through to the synth while they were held ends
// there first, so that nothing sounds twice.
void Player::playKeysDown() {
    const std::int32_t now = vlx->HostTime();
    for (std::size_t k = 0; k < keysDown_.size(); ++k) {
        const std::uint8_t velocity = keysDown_[k];
        if (velocity == 0) continue;
        const auto chan = static_cast<std::uint8_t>(k / 128);
        const auto note = static_cast<std::uint8_t>(k % 128);
        if (vlx->DivertInput() == 1) {
            vlx->SendMidiMessage(-1, 0x80 | chan, note, 0);
            divertedPress_.set(keyIndex(chan, note));  // its release is the engine's now
        }
        const bool joins = !Arp->IsEmpty();
        SustainLatch::ForEach(latch_.Press(chan, note), [&](std::uint8_t held) { release(chan, held); });
        press(now, chan, note, velocity, joins);
    }
}

void Player::rebuild(std::int32_t lTime) {
    rebuild_.reset();
    Arp->Retrigger(lTime);
}

bool Player::rebuildDue(std::int32_t lNow) const noexcept {
    return rebuild_ && !hosttime::isBefore(lNow, rebuildDeadline());
}

// When the first press's own rebuild would have laid its first step: no
// step of the old pattern is played meanwhile, and the new one starts 5 ms
// after the last press, as each press's rebuild would have made it.
std::int32_t Player::rebuildDeadline() const noexcept { return rebuild_->deadline; }

// From the last press, as each press's own rebuild would have; with the
// Retrigger box checked, a second time, as its rule says.
void Player::flushRebuild() {
    if (!rebuild_) return;
    const PendingRebuild pending = *rebuild_;
    rebuild(pending.last);
    if (pending.twice) Arp->Retrigger(pending.last);
}

void Player::removeAll() {
    rebuild_.reset();
    regridDue_ = false;
    heldKeys_.fill(0);
    Arp->RemoveAll();
}

// The clock's count of the song goes on (Arpeggiate may be pressed in the
// middle of one); what the pattern held and followed starts afresh.
void Player::resetBand() {
    clockLost_ = false;
    keptClockPeriod_.reset();
    regridDue_ = false;
    latch_.ForgetAll();
    if (Arp) Arp->HoldSteps(false);
    showClock();
}

bool Player::clockDrivesTempo() const noexcept {
    return followClock_ && looping_ && midiClock_.state() != ClockFollower::State::Absent;
}

// Tells the owner when what it shows of the clock changes: its state,
// whether it was lost, its tempo to the whole beat.
void Player::showClock() noexcept {
    PlayerReport r;
    r.kind = PlayerReport::Kind::Clock;
    if (followClock_ && looping_) {
        r.clockState = midiClock_.state();
        r.clockLost = clockLost_;
        if (const auto bpm = midiClock_.Tempo())
            r.clockTempo = *bpm;
        else if (keptClockPeriod_)
            r.clockTempo = keptClockTempo_;
    }
    const auto whole = [](double bpm) { return static_cast<long>(bpm + 0.5); };
    if (r.clockState == shownClock_.clockState && r.clockLost == shownClock_.clockLost &&
        whole(r.clockTempo) == whole(shownClock_.clockTempo))
        return;
    shownClock_ = r;
    report(r);
}

// ---- time ----

// The first host millisecond in which something can be due: the head of
// either step queue (as far as time decides), the clock's loss, or the next
// settings poll; never before the next millisecond, so that a step that
// cannot fire does not hold the cycle.
std::int32_t Player::nextWake(std::int32_t lNow) const {
    std::int32_t wake = hosttime::after(lNextPoll, 1);
    if (rebuild_) {
        if (hosttime::isBefore(rebuildDeadline(), wake)) wake = rebuildDeadline();
    } else if (!Arp->IsEmpty()) {
        if (const auto due = Arp->NextDue(); due && hosttime::isBefore(*due, wake)) wake = *due;
        if (regridDue_ && regridAt_ && hosttime::isBefore(*regridAt_, wake)) wake = *regridAt_;
    }
    if (const auto lost = clockDeadline(); lost && hosttime::isBefore(*lost, wake)) wake = *lost;
    if (!hosttime::isBefore(lNow, wake)) wake = hosttime::after(lNow, 1);
    return wake;
}

void Player::runPasses() noexcept {
    for (int i = 0; i < kMaxFiringPasses && looping_; ++i) {
        bool fired = false;
        guarded([&] { fired = Timer_Timer(); });
        if (!fired) return;
    }
}

void Player::advanceTo(std::uint64_t frame) noexcept {
    while (looping_ && cursor_ < frame) {
        runPasses();
        if (!looping_) break;
        std::uint64_t next = frame;
        guarded([&] { next = time_.FrameOf(nextWake(time_.MsAt(cursor_)), cursor_); });
        if (next >= frame || next <= cursor_) break;
        cursor_ = next;
    }
    cursor_ = std::max(cursor_, frame);
}

// In the driver's frames.
std::optional<std::uint64_t> Player::NextDueFrame() const noexcept {
    if (!looping_) return std::nullopt;
    std::uint64_t frame = cursor_ + 1;
    try {
        frame = time_.FrameOf(nextWake(time_.MsAt(cursor_)), cursor_);
    } catch (...) {
    }
    return frame - frameOffset_;
}

// ---- the driver's cycle ----

void Player::BeginCycle(const Cycle& cycle, CycleOutput& out) noexcept {
    // A driver's frames go on from where the last cycle ended; frames it
    // lost (cycles not run) passed all the same. Another driver (a host
    // reopened) counts from its own start: the player's time goes on.
    std::uint64_t first = cycle.firstFrame + frameOffset_;
    if (first < cursor_) {
        frameOffset_ += cursor_ - first;
        first = cursor_;
    }
    time_.SetRate(cycle.rate, first);
    cycleStart_ = first;
    cycleFrames_ = cycle.frames;
    cursor_ = first;
    vlx->out = &out;
    vlx->last = 0;
    inCycle_ = true;
    pressesThisCycle_ = 0;
    Command command{};
    while (commands_.pop(command)) {
        guarded([&] { apply(command); });
        applied_.fetch_add(1, std::memory_order_release);
    }
}

void Player::Receive(std::uint32_t offset, const std::uint8_t* bytes, std::uint32_t size) noexcept {
    if (!inCycle_) return;
    const std::uint64_t at = cycleStart_ + std::min<std::uint32_t>(offset, cycleFrames_ > 0 ? cycleFrames_ - 1 : 0);
    advanceTo(at);
    runPasses();  // what falls due on this very frame goes first
    host::splitEvent(
        bytes, size, [&](const host::MidiMessage& m) { received(m); },
        [&](const std::uint8_t* sysex, std::size_t n) {
            // Whole, to the output: it cannot reach the program as one event.
            vlx->write(cursor_, sysex, static_cast<std::uint32_t>(n));
        },
        [&](std::size_t n) { junkBytes_.fetch_add(n, std::memory_order_relaxed); });
}

void Player::TransportClock(std::uint32_t offset, std::uint8_t status, std::uint8_t data1, std::uint8_t data2) noexcept {
    if (!inCycle_ || !looping_ || !followClock_) return;
    const std::uint64_t at = cycleStart_ + std::min<std::uint32_t>(offset, cycleFrames_ > 0 ? cycleFrames_ - 1 : 0);
    advanceTo(at);
    runPasses();
    if (status == 0xF8) time_.AlignTo(cursor_);
    guarded([&] {
        BusyGuard busy(lBusy);
        if (busy.owns()) bandInput(vlx->HostTime(), status, data1, data2);
    });
}

void Player::received(const host::MidiMessage& m) noexcept {
    ++inputs_;
    // Which keys are down, whatever the routing: Arpeggiate may be pressed
    // over them.
    const auto kind = m.bytes[0] & 0xF0;
    if ((kind == 0x90 || kind == 0x80) && m.size == 3) {
        const std::size_t key = (m.bytes[0] & 0x0Fu) * 128u + m.bytes[1];
        keysDown_[key] = kind == 0x90 ? m.bytes[2] : std::uint8_t{0};
    }
    // A tick's millisecond begins on its frame, so that the steps it
    // places sound on it.
    if (followClock_ && vlx->raise == 1 && m.bytes[0] == 0xF8) time_.AlignTo(cursor_);
    host::InputCase arrival;
    arrival.divert = vlx->divert;
    arrival.raise = vlx->raise;
    const host::InputRoute route = host::routeInput(arrival);
    if (route.toOutput) vlx->write(cursor_, m);
    if (route.toProgram) {
        received_.fetch_add(1, std::memory_order_relaxed);
        guarded([&] { vlx_MidiInput(vlx->HostTime(), 0, m.status(), m.data1(), m.data2()); });
    } else if (isClock(m.status())) {
        // The song's count goes on while Arpeggiate is up.
        guarded([&] { countClock(vlx->HostTime(), m.status(), m.data1(), m.data2()); });
    }
}

void Player::EndCycle() noexcept {
    if (!inCycle_) return;
    advanceTo(cycleStart_ + cycleFrames_);
    vlx->out = nullptr;
    inCycle_ = false;
    publishView();
}

// What the window shows, from the cycle's end.
void Player::publishView() noexcept {
    PlayerView& v = view_.Back();
    v.arpeggiating = looping_;
    const auto& held = *Arp->NoteAry();
    v.heldCount = static_cast<std::uint16_t>(held.Count());
    std::size_t n = 0;
    for (std::int32_t p = 1; p <= held.Count() && n < PlayerView::kShownHeld; ++p, ++n) {
        const auto& note = held.Item(p);
        v.held[n] = static_cast<std::uint16_t>(note->chan * 256 + note->Note);
    }
    v.playing = -1;
    if (const auto step = Arp->PlayQ()->Count() > 0 ? Arp->PlayQ()->Item(Arp->PlayQ()->Count()) : nullptr) {
        if (const auto note = Arp->FindEvt(step->Index)) {
            const int pitch = note->Note + 12 * (step->OctMult - 1);
            if (pitch <= 127) v.playing = note->chan * 256 + pitch;
        }
    }
    v.inputs = inputs_;
    v.following = followClock_ && looping_;
    v.clockState = midiClock_.state();
    v.clockLost = clockLost_;
    v.clockTempo = midiClock_.Tempo().value_or(keptClockPeriod_ ? keptClockTempo_ : 0.0);
    view_.Publish();
}

}  // namespace vlx
