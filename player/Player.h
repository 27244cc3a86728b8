// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The player: the engine, its input path and the pump that plays it, run
// cycle by cycle in the thread of the clock that drives it (a JACK process
// callback, a thread of an ALSA host's own, an LV2 plugin's run()), so that
// neither the window nor anything else the machine does can hold a step up.
//
// It works by the rules of the window it replaces: vlx_MidiInput stamps a
// message with the host time and ProcessMidi decodes it (InputPath); a pass
// of Timer_Timer replays the input that waited (InQ, lBusy), lets the
// engine send what is due (MaybeTrigger) and every 500 ms hands changed
// settings to the engine (PollControls). Instead of spinning, the player
// runs a pass exactly at each frame where something falls due (CycleTime),
// so every step goes out on the frame where its millisecond begins (or on
// its tick, following a clock), and thru, forwarded messages and the
// note-offs of released keys on the frame they arrived at. The band's
// features (Band) and the held keys' bounded work (HeldKeys) are parts of
// their own.
//
// Threads: one owner (the window, a plugin's control side) sets the
// controls and takes the reports, through lock-free queues (OwnerLink);
// one driver runs the cycles. The cycle members never allocate, lock or
// wait. While no driver runs it, the owner may also use the members under
// "While no cycle runs".
#include <cstdint>
#include <memory>
#include <optional>

#include "engine/Arpeggiator.h"
#include "host/api/CycleProcessor.h"
#include "host/api/MidiMessage.h"
#include "model/InputQ.h"
#include "player/Band.h"
#include "player/Controls.h"
#include "player/CycleHost.h"
#include "player/CycleTime.h"
#include "player/HandsFree.h"
#include "player/HeldKeys.h"
#include "player/InputPath.h"
#include "player/OwnerLink.h"
#include "player/PlayerClock.h"
#include "player/PlayerTypes.h"
#include "player/Published.h"
#include "player/Ringing.h"

namespace vlx {

class Player final : public CycleProcessor {
public:
    static constexpr std::int32_t kMaxHeld = HeldKeys::kMaxHeld;
    static constexpr std::int16_t kMaxOctaves = 3;
    static constexpr std::int32_t kPollInterval = 500;
    static constexpr std::int32_t kChordGatherMs = HeldKeys::kChordGatherMs;

    // Form_Load's part: the engine initialised from the controls, nothing
    // playing (Arpeggiate is switched on by Set alone). `notifier` may be
    // null (the owner polls TakeReport).
    explicit Player(const ControlValues& controls = {}, PlayerNotifier* notifier = nullptr);
    ~Player() override;
    Player(const Player&) = delete;
    Player& operator=(const Player&) = delete;

    // ---- the owner's side: applied at the start of the next cycle, in order ----
    // A control takes a value the control table's rules accepted. A tempo
    // set is a tempo given: even the same one takes over from a lost
    // clock's. The lists and the tempo reach the engine at its next
    // settings poll (at the next step, with the beat kept).
    void Set(Control control, std::int32_t value);
    void AllNotesOff();
    // Before the connections end: what passed through to the output and is
    // still down (keys, the sustain pedal) is released there.
    void ReleasePassed();
    // Hands-free control (HandsFree.h): the bindings and presets from the
    // next cycle on; a preset recalled as by its Program Change (at the
    // next step with the beat kept, at once otherwise); learning the next
    // controller or note pressed (reported as PlayerReport::Learnt).
    bool SetHandsFree(std::unique_ptr<HandsFreeTables> tables) { return hands_.Offer(std::move(tables)); }
    void Recall(std::uint8_t program);
    void Learn(bool on);
    bool TakeReport(PlayerReport& report) noexcept { return link_.TakeReport(report); }
    // Whether the cycles have taken every change posted so far.
    bool Settled() const noexcept { return link_.Settled(); }
    // How many changes the owner has posted (PlayerView::commandsTaken counts those taken).
    std::uint64_t Posted() const noexcept { return link_.posted(); }
    // The latest view the cycles published (one reader at a time).
    const PlayerView& View() noexcept { return view_.Latest(); }

    // ---- While no cycle runs (no driver, or before the first) ----
    // Forgets what is held and sounding without a message: its host is
    // gone.
    void ForgetSilently();
    Arpeggiator& engine() noexcept { return *Arp; }
    // Whether the cycles have switched arpeggiation on (the timer loop runs).
    bool Arpeggiating() const noexcept { return state_.looping; }
    const ControlValues& controls() const noexcept { return state_.controls; }
    const InputQ& inputQueue() const noexcept { return *input_.InQ; }
    std::int32_t busyCount() const noexcept { return input_.lBusy.load(); }
    std::int32_t nextPoll() const noexcept { return lNextPoll; }
    std::int32_t hostTime() const noexcept { return time_.Now(); }
    const PlayerClock& clock() const noexcept { return time_.clock(); }

    // Counted in the cycles, readable from any thread.
    struct Counters {
        std::uint64_t received = 0;     // messages that reached the input path (MidiInput)
        std::uint64_t unsent = 0;       // messages the output refused
        std::uint64_t junkBytes = 0;    // received bytes that were no message
        std::uint64_t refusedKeys = 0;  // presses beyond kMaxHeld or the cycle's budget
        std::uint64_t lostCommands = 0; // owner's changes that found the queue full
        std::uint64_t failures = 0;     // errors that switched arpeggiation off
    };
    Counters counters() const noexcept;

    // ---- CycleProcessor: the driver's thread ----
    void BeginCycle(const Cycle& cycle, CycleOutput& out) noexcept override;
    void Receive(std::uint32_t offset, const std::uint8_t* bytes, std::uint32_t size) noexcept override;
    void EndCycle() noexcept override;
    std::optional<std::uint64_t> NextDueFrame() const noexcept override;
    // A message of the driver's own transport, as a MIDI clock would send
    // it (F8 tick, FA Start, FB Continue, FC Stop, F2 Song Position with its
    // two data bytes), at `offset`, in time order with Receive: followed
    // like a clock at the input while FollowClock is on, never passed to the
    // output. A plugin turns its host's tempo and transport into these.
    void TransportClock(std::uint32_t offset, std::uint8_t status, std::uint8_t data1 = 0,
                        std::uint8_t data2 = 0) noexcept;

private:
    void apply(const PlayerCommand& command);
    template <class Body>
    void guarded(Body&& body) noexcept;
    void failed(const char* what) noexcept;

    // The window's handlers, by the same rules.
    void Enable_Click(bool on);
    void Divert_Click();
    // One pass of the timer loop; true when it sent a note.
    bool Timer_Timer();
    void PollControls();

    // Time: passes at every frame where something falls due.
    void advanceTo(std::uint64_t frame) noexcept;
    void runPasses() noexcept;
    Arpeggiator::Moment nextWake(std::int32_t lNow, std::uint16_t nowFrac) const;
    std::uint64_t frameOfNextWake() const;
    void received(const host::MidiMessage& m) noexcept;
    void publishView() noexcept;
    void handsFree(const HandsFreeAction& action);
    void recall(std::uint8_t program);

    // The parts, in the order they are made.
    CycleTime time_;
    PlayState state_;
    OwnerLink link_;
    std::shared_ptr<CycleHost> vlx;
    std::shared_ptr<Arpeggiator> Arp;
    HeldKeys keys_;
    Band band_;
    InputPath input_;
    HandsFree hands_;
    Ringing ringing_;
    std::uint32_t changedInCycle_ = 0;

    // As the window had them.
    std::int32_t lNextPoll = 0;
    std::int16_t nLastOctaves = 0;  // the codes last handed to the engine
    std::int16_t nLastResolution = 0;
    std::int16_t nLastSustain = 0;
    std::int16_t nLastCycle = 0;
    std::int16_t nLastTempo = 0;     // whole bpm, as the engine's Tempo takes it
    Arpeggiator::Timing lastTiming_;  // handed to the engine last
    bool tempoGiven_ = false;  // since the last poll
    bool failing_ = false;
    Published<PlayerView> view_;
    // What the owner was last told to show, and when input last lit it.
    PlayerView shown_;
    std::int32_t inputShownAt_ = 0;
    std::int32_t lastStruck_ = -1;  // the note of the step struck last
    std::atomic<std::uint64_t> junkBytes_{0};
    std::atomic<std::uint64_t> failures_{0};
};

}  // namespace vlx
