// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The arpeggiator engine: turns the held notes into a timed, repeating
// sequence of note-on and note-off messages sent through the host.
//
// All times are 32-bit host milliseconds (HostTime); they wrap, and every
// comparison of two times is made on their signed difference. Step lengths and
// durations are 16-bit milliseconds. Every other sum, difference, product and
// narrowing is checked and raises OverflowError; no operation catches an
// error, and what was stored before the failure stays stored.
#include <bitset>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "host/api/HostAutomation.h"
#include "model/NoteAry.h"
#include "model/StepQueue.h"

namespace vlx {

class Arpeggiator {
public:
    // Codes as the window's lists carry them.
    enum CycleCode : std::int16_t {
        CycleUp = 1,
        CycleDown = 2,
        CycleUpDown = 3,
        CycleDownUp = 4,
        CycleRandom = 5,
        CycleAsPlayed = 6
    };
    enum SustainCode : std::int16_t { Staccato = 1, Normal = 2, Legatto = 3 };
    enum OctaveOrderCode : std::int16_t { OctavesUp = 1, OctavesDown = 2, OctavesBounce = 3 };
    enum VelocityCode : std::int16_t { VelocityAsPlayed = 0, VelocityFixed = 1, VelocityAccented = 2 };
    // A place of the rhythm, two bits each from the lowest: play (0, and 3),
    // rest (1) or tie (2).
    enum RhythmPlace : std::uint8_t { Play = 0, Rest = 1, Tie = 2 };

    // How a pass is laid out besides its cycle, taken at the next build.
    // The octaves: the order the Up order walks them (the other cycles are
    // made from it as ever; Down is its reverse). Each note of the order
    // plays `repeat` steps in a row. The grid's steps follow the rhythm's
    // first `rhythmLength` places over and over: a rest is a silent step
    // and the order waits for the next play; a tie is a silent step through
    // which the note before sounds on (after a rest, or with no note before,
    // it is a rest). A pass then lasts until the order and the rhythm end
    // together.
    struct Shape {
        std::int16_t octaveOrder = OctavesUp;
        std::int16_t repeat = 1;
        std::int32_t rhythm = 0;  // every place plays
        std::int16_t rhythmLength = 16;
        bool operator==(const Shape&) const = default;
    };
    // What a step sends: its velocity (its key's, `value`, or its key's
    // with `value` on every `accentEvery`th step of the grid from the
    // pattern's first), on its key's channel or on `outChannel` (1-16).
    struct Voice {
        std::int16_t velocity = VelocityAsPlayed;
        std::uint8_t value = 100;
        std::int16_t accentEvery = 4;
        std::int16_t outChannel = 0;
        bool operator==(const Voice&) const = default;
    };

    // One step of a pass: a held note's position and an octave from 1,
    // played `times` steps in a row.
    struct Step {
        std::int16_t position;
        std::int16_t octave;
        std::int16_t times = 1;
    };

    // How steps fall beyond the tempo and the lists; the defaults keep
    // whole-millisecond steps and the Sustain code's lengths.
    struct Timing {
        std::int16_t tenths = 0;  // steps laid exactly at this many tenths of a bpm; 0: Tempo's whole ms
        std::int16_t feel = 1;    // 1 straight, 2 triplet (2/3 of the resolution), 3 dotted (3/2)
        std::int16_t swing = 50;  // the second step of a pair starts at this share of the pair, in %
        std::int16_t gate = 0;    // a note sounds this % of its step; 0: the Sustain code decides
        bool operator==(const Timing&) const = default;
    };
    // A time to the 65536th of a millisecond.
    struct Moment {
        std::int32_t ms = 0;
        std::uint16_t frac = 0;
    };
    // A step's time and its place on the grid of steps (pairs for swing).
    struct GridPoint {
        Moment at;
        std::int32_t slot = 0;
    };
    // The longest a step is ever laid out: a dotted whole note at a slow
    // tempo is held to it.
    static constexpr std::int16_t kLongestStep = 30000;
    // How long after the last step a chord begun on a kept beat still finds
    // the grid (or two steps, when longer).
    static constexpr std::int32_t kGridKeptMs = 2000;

    Arpeggiator();
    // Sets aside room for maxHeld held notes over up to maxOctaves octaves,
    // so that holding, building and playing that many never asks the system
    // for memory (for a caller in an audio thread). Beyond it, the lists grow.
    void Reserve(std::int32_t maxHeld, std::int16_t maxOctaves);
    // The most steps a pass of maxHeld notes over maxOctaves octaves has.
    static std::int32_t MaxSteps(std::int32_t maxHeld, std::int16_t maxOctaves) noexcept;

    Arpeggiator(const Arpeggiator&) = delete;
    Arpeggiator& operator=(const Arpeggiator&) = delete;
    ~Arpeggiator();

    // The host the notes go out through. No operation that sends may run
    // before it is set.
    const std::shared_ptr<HostAutomation>& vlx() const noexcept { return vlx_; }
    void vlx(std::shared_ptr<HostAutomation> host) { vlx_ = std::move(host); }

    void ShouldUpdate(bool vData) noexcept { shouldUpdate_ = vData; }
    bool ShouldUpdate() const noexcept { return shouldUpdate_; }

    // The four collections; the sets replace them.
    const std::shared_ptr<vlx::PlayQ>& PlayQ() const noexcept { return playQ_; }
    void PlayQ(std::shared_ptr<vlx::PlayQ> q) { playQ_ = std::move(q); }
    const std::shared_ptr<vlx::NoteOffQ>& NoteOffQ() const noexcept { return noteOffQ_; }
    void NoteOffQ(std::shared_ptr<vlx::NoteOffQ> q) { noteOffQ_ = std::move(q); }
    const std::shared_ptr<vlx::NoteOnQ>& NoteOnQ() const noexcept { return noteOnQ_; }
    void NoteOnQ(std::shared_ptr<vlx::NoteOnQ> q) { noteOnQ_ = std::move(q); }
    const std::shared_ptr<vlx::NoteAry>& NoteAry() const noexcept { return noteAry_; }
    void NoteAry(std::shared_ptr<vlx::NoteAry> a) { noteAry_ = std::move(a); }

    // Sets parameters and timing and zeroes seqCount; builds nothing.
    void Init(std::int32_t lNow, std::int16_t nTempo, std::int16_t nResolution, std::int16_t nSustain,
              std::int16_t nOctaves, std::int16_t nCycle);

    // Sends the note-off and then the note-on that are due at lNow, at most
    // one of each, and queues each fired step one cycle later. Steps overdue by a whole period or more were missed (the loop was
    // stopped): they pass without a note-on, and what sounded gets its
    // note-off, so the pattern resumes on its grid instead of bursting. A
    // step less late sounds only if its note, moved by its lateness, still
    // ends before the next step; its note-off moves with it. True when it
    // sent anything.
    // nowFrac: how far into lNow, for steps laid on exact times.
    bool MaybeTrigger(std::int32_t lNow, std::uint16_t nowFrac = 0xFFFF);
    // As MaybeTrigger treats its own lNow: the steps due a whole period or
    // more before lHeard (when what is sent now will be heard, after a
    // stall) pass in silence, and what sounds among them gets its note-off.
    void PassMissed(std::int32_t lHeard);

    // ---- steps placed by an outside clock (a MIDI clock) ----
    // While steps are held, MaybeTrigger sends a note-on only once
    // PlaceNextStep has placed its step; note-offs still go out by time,
    // and those of steps no longer sounding (StopPlay, a released key) pass
    // without a message. Holding starts with the next step still to come.
    void HoldSteps(bool held);
    bool StepsHeld() const noexcept { return held_; }
    // The slot of the pattern that comes next falls at lTime, and the ones
    // after it nPeriod ms apart, their notes sounding nDuration ms: the rest
    // of the pass is laid out again from lTime, in order and one cycle long
    // as ever, and the step of that slot (if any: a released key's slot
    // stays silent) may go out once lTime is due. A note still sounding
    // that would end at lTime or later ends 1 ms before it. period and
    // Duration take the values given. `second`: whether that step is the
    // second of a pair of the clock's (0 or 1; -1: as it stands), so that a
    // pattern let go of goes on swinging in the clock's pairs.
    void PlaceNextStep(std::int32_t lTime, std::int16_t nPeriod, std::int16_t nDuration, int second = -1);
    // The earliest time at which MaybeTrigger will send something, as far
    // as time alone decides; empty when nothing is waiting for time.
    std::optional<std::int32_t> NextDue() const;
    std::optional<Moment> NextDueMoment() const;
    // Where the step to come lies, on its grid; empty when none is queued.
    std::optional<GridPoint> NextStepPoint() const;

    // Pattern builders: one pass in their order, first step at lNow.
    void FillRandom(std::int32_t lNow);
    void FillDownUp(std::int32_t lNow);
    void FillUpDown(std::int32_t lNow);
    void FillDown(std::int32_t lNow);
    void FillUp(std::int32_t lNow);
    // The notes in the order their keys were pressed.
    void FillAsPlayed(std::int32_t lNow);
    // Schedules one step (note-on at lTrigTime, note-off its note's Duration
    // later) and returns the time of the following step.
    std::int32_t CreateRawEvts(std::int16_t nIndex, std::int16_t nOctave, std::int32_t lTrigTime);

    // The held note whose ID is nIndex, searched from position nIndex + 1
    // down; empty when none.
    std::shared_ptr<NoteEvt> FindEvt(std::int16_t nIndex) const;

    // The only builders of note messages. A scheduled step's (`step`) goes
    // through SendStep.
    void NoteOn(std::uint8_t nChan, std::uint8_t nNote, std::uint8_t nVeloc, bool step = false);
    void NoteOff(std::uint8_t nChan, std::uint8_t nNote, bool step = false);
    // Sends a note-off for every sounding step and empties PlayQ.
    void StopPlay();

    // Forgets all held notes and pending steps; sends nothing.
    void RemoveAll();
    // Releases every held copy of nNote on nChan and drops its steps.
    void Remove(std::uint8_t nChan, std::uint8_t nNote);
    // Silences, renumbers and rebuilds the pattern to start at lNow + 5.
    void Retrigger(std::int32_t lNow);
    // Holds a new note in pitch order and restarts the pattern from lNow.
    void Add(std::int32_t lNow, std::uint8_t nChan, std::uint8_t nNote, std::uint8_t nVeloc);

    // ---- for a caller that bounds its work per message (an audio thread) ----
    // Add without its rebuild: silences what sounds (the rebuild's first
    // step) and holds the note in pitch order. The caller rebuilds
    // (Retrigger) before it next asks for steps; many notes pressed together
    // then cost one rebuild instead of one each.
    // `silence` false: what sounds plays on to its note-off (a key joining
    // a pattern on a kept beat, Regrid to follow).
    void Hold(std::uint8_t nChan, std::uint8_t nNote, std::uint8_t nVeloc, bool silence = true);
    // Remove without taking the steps out of the step queues one by one: the
    // note's sounding steps get their note-offs and the note leaves the held
    // list at once; its pending steps go in one sweep of the queues, which
    // MaybeTrigger and PlaceNextStep make first (or SweepReleased now).
    void Release(std::uint8_t nChan, std::uint8_t nNote);
    void SweepReleased();

    // ---- playing on a kept beat ----
    // Rebuilds the pattern as Retrigger does, but from lStart itself (the
    // next step's time on the running grid) instead of 5 ms after a moment,
    // going on in the pattern's order after the step played last instead of
    // from its top: a key added or released, or a setting changed, takes
    // effect without a step struck twice or the beat moved.
    void Regrid(std::int32_t lStart);
    // From the step to come at `from`, keeping its grid's pairs and the
    // rhythm's and the accents' places, which its slot gives.
    void Regrid(const GridPoint& from);
    // Retrigger for a chord begun on a kept beat after every key was up: its
    // first step 5 ms after lNow as ever, the steps after it on the grid the
    // last pattern ran on, from its first point at least half a step later.
    // A grid whose last step lies more than kGridKeptMs (or two steps) back,
    // or none, is not kept: a plain Retrigger.
    void Resume(std::int32_t lNow);
    // Arpeggiate switched: no grid runs on.
    void ForgetGrid() noexcept { grid_.valid = false; }
    // Random: a fresh order for every pass, never the same note twice in a
    // row (nor across passes) while more than one is held. Off: the order
    // drawn at each rebuild repeats.
    void ShuffleEveryPass(bool on) noexcept;
    void SetShape(const Shape& shape) noexcept { shape_ = shape; }
    const Shape& shape() const noexcept { return shape_; }
    // At once; a new channel silences what sounds first, on the old one.
    void SetVoice(const Voice& voice);
    const Voice& voice() const noexcept { return voice_; }

    void UpdateParams(std::int16_t nTempo, std::int16_t nResolution, std::int16_t nSustain, std::int16_t nOctaves,
                      std::int16_t nCycle);
    bool IsEmpty() const noexcept;

    // Sounding length of a step of `length` ms for a sustain code.
    static std::int16_t CalcDuration(std::int16_t length, std::int16_t susCode);
    // Sounding length of a step of `length` ms by the gate, or else the
    // Sustain code.
    std::int16_t DurationFor(std::int16_t length) const;
    // Timing beyond the tempo: takes effect as a Tempo let does.
    void SetTiming(const Timing& timing);
    const Timing& timing() const noexcept { return timing_; }
    // The step length the tempo and the timing give (period, unless an
    // outside clock set that).
    std::int16_t TypedPeriod() const;
    // Length of nBeats 32nd notes at bpm.
    static std::int16_t CalcPeriod(std::int16_t bpm, std::int16_t nBeats);

    // Value properties: the lets of Tempo, Resolution and Sustain recompute
    // period and Duration; the others only store.
    void seqCount(std::int16_t vData) noexcept { seqCount_ = vData; }
    std::int16_t seqCount() const noexcept { return seqCount_; }
    void Duration(std::int16_t vData) noexcept { duration_ = vData; }
    std::int16_t Duration() const noexcept { return duration_; }
    void period(std::int16_t vData) noexcept { period_ = vData; }
    std::int16_t period() const noexcept { return period_; }
    void Cycle(std::int16_t vData) noexcept { cycle_ = vData; }
    std::int16_t Cycle() const noexcept { return cycle_; }
    void Octaves(std::int16_t vData) noexcept { octaves_ = vData; }
    std::int16_t Octaves() const noexcept { return octaves_; }
    void Sustain(std::int16_t vData);
    std::int16_t Sustain() const noexcept { return sustain_; }
    void Resolution(std::int16_t vData);
    std::int16_t Resolution() const noexcept { return resolution_; }
    void Tempo(std::int16_t vData);
    std::int16_t Tempo() const noexcept { return tempo_; }
    void now(std::int32_t vData) noexcept { now_ = vData; }
    std::int32_t now() const noexcept { return now_; }

    // Where FillRandom takes its seed; the clock unless a test fixes it.
    void SeedSource(std::function<std::uint32_t()> source);

private:
    // A step by what it sounds, which survives renumbering.
    struct Sounded {
        std::uint8_t chan;
        std::uint8_t note;
        std::int16_t octave;
        bool operator==(const Sounded&) const = default;
    };
    std::int16_t positionOf(std::int16_t id) const;
    std::int32_t firstAbove(std::uint8_t nNote) const;
    template <class Visit>
    void forEachCopy(std::uint8_t nChan, std::uint8_t nNote, Visit&& visit);
    void hold(std::uint8_t nChan, std::uint8_t nNote, std::uint8_t nVeloc);
    void silenceSounding(std::int16_t id, std::uint8_t nChan, std::uint8_t nNote);
    void orderOf(std::int16_t cycle);
    void renumberAndClear(std::int32_t slot);
    std::optional<Sounded> soundOf(const QEvt& step) const;
    Sounded soundOf(const Step& step) const;
    void keepFromRepeating(std::vector<Step>& steps) const;
    void reshuffleQueued();
    void recalcTiming();
    bool onHasGoneOut(const QEvt& off) const;
    void sendOff(const QEvt& off, const NoteEvt& note);
    bool skipMissed(std::int32_t lNow, std::int32_t cycle);
    bool passOffsBefore(std::int32_t lTime, std::int32_t cycle, bool maySend, bool& sent);
    bool isSounding(const QEvt& off) const;
    bool mayPlayLate(const QEvt& on, std::int32_t late, std::int32_t cycle);
    void stepTaken(const QEvt& on, const NoteEvt& note, std::int32_t cycle);
    void requeueOff(const QEvt& off, std::int32_t cycle);
    bool mayStart(const QEvt& on) const;
    void passSilencedOffs(std::int32_t lNow, std::uint16_t nowFrac, std::int32_t cycle);
    void shiftSchedule(std::int32_t ms, std::int64_t wholeCycles);
    // The grid a layout runs on: where slot `slot` falls, and a pair of
    // steps and the second's start within it, in 1/den ms. A slot's number
    // counts from the pattern's first step (the rhythm's places and the
    // accents follow it); its pair, from a slot whose number and `flip`
    // add up to an even number (an outside clock decides which).
    struct Grid {
        Moment at;
        std::int32_t slot = 0;
        std::int64_t pair = 0, second = 0, den = 1;
        std::int32_t flip = 0;
        bool timed = false;  // steps come again by the grid, not a cycle on
        bool valid = false;
    };
    Grid gridFrom(const GridPoint& from, bool wholeMs) const;
    Moment gridAt(std::int32_t slot) const;
    Moment endOf(std::int32_t slot, std::int16_t tied) const;
    std::int32_t slotAt(const Moment& t) const;
    std::int16_t lengthAt(std::int32_t slot) const;
    std::int16_t durationAt(std::int32_t slot, const NoteEvt& note) const;
    bool byGrid() const noexcept { return grid_.timed && !held_; }
    bool due(const QEvt& e, std::int32_t lNow, std::uint16_t nowFrac) const;
    void layStep(std::int16_t nIndex, std::int16_t nOctave, Moment on, std::int16_t d, std::int32_t slot);
    void scheduleFrom(const std::vector<Step>& steps, const GridPoint& from, std::optional<std::int32_t> firstAt);
    std::int16_t heldCount() const;
    std::int16_t nextProvisionalID() const;
    void schedule(const std::vector<Step>& steps, std::int32_t lNow);
    void extendLastOff(std::int16_t ties);
    std::int32_t rhythmPlaces() const noexcept;
    RhythmPlace placeAt(std::int64_t slot) const noexcept;
    void rebaseSlots(std::int32_t slot);
    std::uint8_t velocityFor(const NoteEvt& note, std::int32_t slot) const;
    std::uint8_t channelFor(std::uint8_t nChan) const noexcept;
    template <class Queue>
    static void removeSteps(Queue& q, std::int16_t id);
    template <class Queue>
    static void clear(Queue& q);

    std::shared_ptr<HostAutomation> vlx_;
    std::int32_t now_ = 0;
    std::int16_t tempo_ = 0;
    std::int16_t resolution_ = 0;
    std::int16_t sustain_ = 0;
    std::int16_t octaves_ = 0;
    std::int16_t cycle_ = 0;
    std::int16_t period_ = 0;
    std::int16_t duration_ = 0;
    std::int16_t seqCount_ = 0;
    std::shared_ptr<vlx::NoteAry> noteAry_;
    std::shared_ptr<vlx::NoteOnQ> noteOnQ_;
    std::shared_ptr<vlx::NoteOffQ> noteOffQ_;
    std::shared_ptr<vlx::PlayQ> playQ_;
    bool shouldUpdate_ = false;
    std::function<std::uint32_t()> seedSource_;
    std::vector<Step> order_;  // the pass being built
    std::vector<std::int16_t> byArrival_;  // positions in the order the notes came
    std::uint32_t arrivals_ = 0;
    std::int32_t maxPass_ = 32767;  // the most steps a pass lays out
    Shape shape_;
    Voice voice_;
    // IDs of notes released whose steps are still queued (Release).
    std::bitset<32768> releasedIds_;
    bool sweepPending_ = false;
    std::optional<Sounded> lastPlayed_;  // the step taken last, sounded or passed
    std::int32_t stepsIntoPass_ = 0;     // steps taken since the pass began
    // The note-off moved with a late note-on, until it comes round again.
    struct MovedOff {
        std::int16_t index;
        std::int16_t octave;
        std::int32_t trigger;
        std::int32_t by;
    };
    std::optional<MovedOff> movedOff_;
    bool shuffleEveryPass_ = false;
    // Steps placed by an outside clock: whether held, the latest time
    // placed, and the grid slot it places next.
    bool held_ = false;
    std::optional<std::int32_t> placedUntil_;
    std::int32_t nextSlot_ = 0;
    Timing timing_;
    Grid grid_;
    std::int32_t layingSlot_ = 0;   // the slot CreateRawEvts lays next
    std::int32_t lastStepAt_ = 0;   // the time of the step taken last
};

}  // namespace vlx
