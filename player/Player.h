// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The player: the engine, its input path and the pump that plays it, run
// cycle by cycle in the thread of the clock that drives it (a JACK process
// callback, a thread of an ALSA host's own, an LV2 plugin's run()), so that
// neither the window nor anything else the machine does can hold a step up.
//
// It works by the rules of the window it replaces: vlx_MidiInput stamps a
// message with the host time, ProcessMidi decodes it into Add, Remove and
// Retrigger, forwards what is not a note while input is diverted, and takes
// the band's messages (clock, pedal, all notes off); a pass of Timer_Timer
// replays the input that waited (InQ, lBusy), lets the engine send what is
// due (MaybeTrigger) and every 500 ms hands changed settings to the engine
// (PollControls). Instead of spinning, the player runs a pass exactly at
// each frame where something falls due, so every step goes out on the
// frame where its millisecond begins (or on its tick, following a clock),
// and thru, forwarded messages and the note-offs of released keys on the
// frame they arrived at.
//
// Threads: one owner (the window, a plugin's control side) sets the
// switches and controls and takes the reports, through lock-free queues;
// one driver runs the cycles. The cycle members never allocate, lock or
// wait. While no driver runs it, the owner may also use the members under
// "While no cycle runs".
#include <array>
#include <atomic>
#include <bitset>
#include <cstdint>
#include <memory>
#include <optional>

#include <boost/lockfree/spsc_queue.hpp>

#include "engine/Arpeggiator.h"
#include "engine/ClockFollower.h"
#include "engine/SustainLatch.h"
#include "host/api/CycleProcessor.h"
#include "host/api/MidiMessage.h"
#include "model/InputQ.h"
#include "player/PlayerClock.h"
#include "player/Published.h"

namespace vlx {

// The values of the window's tempo box and lists as the engine takes them:
// the tempo in beats per minute (8..240, as the window accepted it) and the
// codes the lists carry.
struct PlayerControls {
    std::int16_t tempo = 120;
    std::int16_t resolution = 8;  // Quarter
    std::int16_t sustain = 2;     // Normal
    std::int16_t octaves = 1;
    std::int16_t cycle = 3;  // Up-Down
    // Counts the tempos the player typed and the window accepted (wrapping):
    // a tempo typed again, equal to the last, still takes over from a lost
    // clock's.
    std::uint8_t typed = 0;
    bool operator==(const PlayerControls&) const = default;
};

// What the window shows of the player, as the player last published it.
struct PlayerView {
    static constexpr std::size_t kShownHeld = 24;
    bool arpeggiating = false;
    // The held notes in pitch order, channel * 256 + note, the first kShownHeld.
    std::uint16_t heldCount = 0;
    std::array<std::uint16_t, kShownHeld> held{};
    // The note sounding now, channel * 256 + pitch; -1 when none.
    std::int32_t playing = -1;
    std::uint64_t inputs = 0;  // messages received so far, whatever became of them
    bool following = false;    // Follow MIDI clock, while arpeggiating
    ClockFollower::State clockState = ClockFollower::State::Absent;
    bool clockLost = false;
    double clockTempo = 0;  // beats per minute, measured or (lost) kept; 0 while unknown
};

// What the player tells its owner.
struct PlayerReport {
    enum class Kind : std::uint8_t {
        // An error stopped arpeggiation: `what` says which.
        Failed,
        // The followed clock: its state, whether it was lost, its tempo.
        Clock,
    };
    Kind kind = Kind::Clock;
    ClockFollower::State clockState = ClockFollower::State::Absent;
    bool clockLost = false;
    double clockTempo = 0;  // beats per minute; 0 while not measured
    char what[200] = {};
};

// Told, from the driver's thread, when a report waits; must not block.
class PlayerNotifier {
public:
    virtual void Notify() noexcept = 0;

protected:
    ~PlayerNotifier() = default;
};

class Player final : public CycleProcessor {
public:
    // The most notes held at once: every key of every channel. Further
    // presses are refused (and counted) rather than grow the lists in the
    // audio thread.
    static constexpr std::int32_t kMaxHeld = 16 * 128;
    static constexpr std::int16_t kMaxOctaves = 3;
    static constexpr std::int32_t kPollInterval = 500;

    // Form_Load's part: the engine initialised from the controls, nothing
    // playing. `notifier` may be null (the owner polls TakeReport).
    explicit Player(const PlayerControls& controls, PlayerNotifier* notifier = nullptr);
    ~Player() override;
    Player(const Player&) = delete;
    Player& operator=(const Player&) = delete;

    // ---- the owner's side: applied at the start of the next cycle, in order ----
    // Arpeggiate down (the host diverts input as `divert` says and raises
    // input events) or up (neither; what sounds stops and is forgotten).
    void Enable(bool on, bool divert);
    // Divert Input changed: takes effect while arpeggiating.
    void Divert(bool divert);
    void Retrigger(bool on);
    void FollowClock(bool on);
    void SustainHold(bool on);
    void AllNotesOff();
    // Keep the beat: the step clock runs on while keys are held; a key added
    // or released and a setting changed take effect at the next step, on
    // the same grid; a chord rolled over up to kChordGatherMs starts one
    // pattern; Arpeggiate pressed over held keys plays them.
    void KeepBeat(bool on);
    // Released keys stay in the pattern until the next chord, on every
    // channel, as with the pedal held.
    void Latch(bool on);
    // Random draws a new order every pass (else once per rebuild).
    void ShuffleEveryPass(bool on);
    // The values the next settings poll hands to the engine; the latest wins.
    void SetControls(const PlayerControls& controls) noexcept;
    // The next report, if any.
    bool TakeReport(PlayerReport& report) noexcept;
    // Whether the cycles have taken every change posted so far.
    bool Settled() const noexcept { return applied_.load(std::memory_order_acquire) >= posted_; }
    // The latest view the cycles published (one reader at a time).
    const PlayerView& View() noexcept { return view_.Latest(); }

    // Keys of a rolled chord that start one pattern with Keep the beat: each
    // within this long of the first.
    static constexpr std::int32_t kChordGatherMs = 30;

    // ---- While no cycle runs (no driver, or before the first) ----
    // Forgets what is held and sounding without a message: its host is
    // gone.
    void ForgetSilently();
    Arpeggiator& engine() noexcept { return *Arp; }
    // Whether the cycles have switched arpeggiation on (the timer loop runs).
    bool Arpeggiating() const noexcept { return looping_; }
    const InputQ& inputQueue() const noexcept { return *InQ; }
    std::int32_t busyCount() const noexcept { return lBusy.load(); }
    std::int32_t nextPoll() const noexcept { return lNextPoll; }
    std::int32_t hostTime() const noexcept { return time_.MsAt(cursor_); }
    const PlayerClock& clock() const noexcept { return time_; }

    // Counted in the cycles, readable from any thread.
    struct Counters {
        std::uint64_t received = 0;     // messages that reached the input path (MidiInput)
        std::uint64_t unsent = 0;       // messages the output refused
        std::uint64_t junkBytes = 0;    // received bytes that were no message
        std::uint64_t refusedKeys = 0;  // presses beyond kMaxHeld
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
    class CycleHost;
    struct Command {
        enum class Kind : std::uint8_t {
            Enable,
            Divert,
            Retrigger,
            FollowClock,
            SustainHold,
            AllNotesOff,
            KeepBeat,
            Latch,
            ShuffleEveryPass
        };
        Kind kind;
        bool on;
        bool divert;
    };

    void post(const Command& command);
    void apply(const Command& command);
    template <class Body>
    void guarded(Body&& body) noexcept;
    void failed(const char* what) noexcept;
    void report(const PlayerReport& r) noexcept;

    // The window's handlers, by the same rules.
    void Enable_Click(bool on, bool divert);
    void Divert_Click(bool divert);
    void vlx_MidiInput(std::int32_t nTimestamp, std::int32_t Port, std::int32_t status, std::int32_t data1,
                       std::int32_t data2);
    void ProcessMidi(std::int32_t lTime, std::int32_t status, std::int32_t data1, std::int32_t data2);
    // One pass of the timer loop; true when it sent a note.
    bool Timer_Timer();
    void PollControls();

    // Playing with a band: the MIDI clock, the sustain pedal, all notes off.
    bool bandInput(std::int32_t lTime, std::int32_t status, std::int32_t data1, std::int32_t data2);
    void clockTick(std::int32_t lTime);
    void followClockAt(std::int32_t lNow);
    std::optional<std::int32_t> clockDeadline() const;
    void stepsByTypedTempo(std::int32_t lNow);
    std::int16_t typedPeriod() const;
    std::int32_t ticksPerStep() const;
    void stopEverything();
    void resetBand();
    bool clockDrivesTempo() const noexcept;
    void showClock() noexcept;

    // Held keys, with bounded work per message.
    struct PendingRebuild {
        std::int32_t first;     // the first press waiting for it
        std::int32_t last;      // and the last, from which it lays the pattern out
        std::int32_t deadline;  // when it is laid out (the first step falls due)
        bool twice;             // the Retrigger box asks for a second one
    };
    std::uint32_t pressBudget() const noexcept;
    // `joins`: notes were held before it (a chord the latch or pedal let go
    // of for it counts).
    void press(std::int32_t lTime, std::uint8_t chan, std::uint8_t note, std::uint8_t velocity, bool joins);
    void release(std::uint8_t chan, std::uint8_t note);
    void rebuild(std::int32_t lTime);
    bool rebuildDue(std::int32_t lNow) const noexcept;
    std::int32_t rebuildDeadline() const noexcept;
    void flushRebuild();
    void removeAll();
    // Keep the beat: the pattern laid out again at the next step.
    void regridAtNextStep();
    bool regridBy(std::int32_t lNow);
    void playKeysDown();
    void countClock(std::int32_t lTime, std::int32_t status, std::int32_t data1, std::int32_t data2);
    void publishView() noexcept;

    // Time: passes at every frame where something falls due.
    void advanceTo(std::uint64_t frame) noexcept;
    void runPasses() noexcept;
    std::int32_t nextWake(std::int32_t lNow) const;
    void received(const host::MidiMessage& m) noexcept;

    // As the window had them.
    std::atomic<std::int32_t> lBusy{-1};
    std::int32_t lNextPoll = 0;
    std::shared_ptr<Arpeggiator> Arp;
    std::shared_ptr<InputQ> InQ;
    std::int16_t nLastOctaves = 0;  // the codes last handed to the engine
    std::int16_t nLastResolution = 0;
    std::int16_t nLastSustain = 0;
    std::int16_t nLastCycle = 0;
    std::int16_t nLastTempo = 0;
    std::shared_ptr<CycleHost> vlx;

    // The owner's switches as the cycles have taken them.
    bool looping_ = false;  // Arpeggiate is down: the timer loop runs
    bool retrigger_ = false;
    bool followClock_ = false;
    bool failing_ = false;
    // Keys whose latest press the host held back (DivertInput 1), by
    // channel * 256 + note: their releases stay with the engine.
    std::bitset<16 * 256> divertedPress_;
    std::optional<PendingRebuild> rebuild_;
    bool keepBeat_ = false;
    bool regridDue_ = false;  // Keep the beat: a change waits for the next step
    std::optional<std::int32_t> regridAt_;  // that step's time; none: start afresh
    std::uint8_t lastTyped_ = 0;
    // A lost clock's step, kept until the clock is back or a tempo is typed.
    std::optional<std::int16_t> keptClockPeriod_;
    double keptClockTempo_ = 0;
    // Keys down, whatever the routing (velocity, 0 when up), by channel * 128 + note.
    std::array<std::uint8_t, 16 * 128> keysDown_{};
    std::uint64_t inputs_ = 0;
    Published<PlayerView> view_;
    std::array<std::uint16_t, 16 * 256> heldKeys_{};  // how often each key is held
    std::uint32_t pressesThisCycle_ = 0;
    ClockFollower midiClock_;
    SustainLatch latch_;
    bool clockLost_ = false;
    PlayerReport shownClock_;

    // The driver's clock and the cycle under way.
    PlayerClock time_;
    std::uint64_t cursor_ = 0;      // the frame being played, on the player's own count
    std::uint64_t frameOffset_ = 0;  // from the driver's frames to the player's
    std::uint64_t cycleStart_ = 0;
    std::uint32_t cycleFrames_ = 0;
    bool inCycle_ = false;

    boost::lockfree::spsc_queue<Command, boost::lockfree::capacity<256>> commands_;
    boost::lockfree::spsc_queue<PlayerReport, boost::lockfree::capacity<64>> reports_;
    std::atomic<std::uint64_t> controls_;
    std::uint64_t posted_ = 0;  // the owner's
    std::atomic<std::uint64_t> applied_{0};
    PlayerNotifier* notifier_;
    std::atomic<std::uint64_t> received_{0};
    std::atomic<std::uint64_t> unsent_{0};
    std::atomic<std::uint64_t> junkBytes_{0};
    std::atomic<std::uint64_t> refusedKeys_{0};
    std::atomic<std::uint64_t> lostCommands_{0};
    std::atomic<std::uint64_t> failures_{0};
};

}  // namespace vlx
