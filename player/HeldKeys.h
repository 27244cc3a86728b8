// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The keys the engine holds, with bounded work per message: keys pressed
// together cost one rebuild of the pattern, when its first step falls due
// (5 ms after the last of them); a release of a key not held costs nothing;
// at most a cycle's frames of presses and of releases reach the engine in a
// cycle (the releases beyond wait for the next cycles, in order). With the
// beat kept, a key or a setting joins the running pattern at its next step.
#include <array>
#include <bitset>
#include <cstdint>
#include <optional>

#include "engine/Arpeggiator.h"
#include "player/PlayerTypes.h"

namespace vlx {

class HeldKeys {
public:
    // The most notes held at once: every key of every channel. Further
    // presses are refused rather than grow the lists in the audio thread.
    static constexpr std::int32_t kMaxHeld = 16 * 128;
    // Keys of a rolled chord that start one pattern with Keep the beat:
    // each within this long of the first.
    static constexpr std::int32_t kChordGatherMs = 30;

    HeldKeys(Arpeggiator& arp, const PlayState& state) : Arp(arp), state_(state) {}

    // At most one press a frame a cycle reaches the engine (and at least 64):
    // a flood of them, far beyond what any player or wire can send, must not
    // hold the audio thread past its cycle.
    void BeginCycle(std::uint32_t frames) noexcept {
        presses_ = 0;
        releases_ = 0;
        budget_ = frames > 64 ? frames : 64;
    }
    // The releases earlier cycles had no room for, as many as this one takes.
    void ReleaseDeferred();
    bool ReleasesDeferred() const noexcept { return deferredCount_ > 0; }
    bool MayPress() const noexcept { return Arp.NoteAry()->Count() < kMaxHeld && presses_ < budget_; }
    // `joins`: notes were held before it (a chord the latch or pedal let go
    // of for it counts).
    void Press(std::int32_t lTime, std::uint8_t chan, std::uint8_t note, std::uint8_t velocity, bool joins);
    void Release(std::uint8_t chan, std::uint8_t note);
    // Nothing held, nothing pending.
    void RemoveAll();

    // The pattern laid out anew from lTime.
    void Rebuild(std::int32_t lTime);
    bool RebuildPending() const noexcept { return rebuild_.has_value(); }
    bool RebuildDue(std::int32_t lNow) const noexcept;
    std::optional<std::int32_t> RebuildDeadline() const noexcept;
    // The rebuild the presses asked for, now.
    void FlushRebuild();

    // Keep the beat: a change reaches the pattern at the step its grid has
    // next; RegridBy lays it out there once that step is due (true when it
    // did).
    void RegridAtNextStep();
    bool RegridBy(std::int32_t lNow);
    // A step placed by a clock's tick takes the change that waits (true).
    bool TakeRegrid() noexcept;
    void CancelRegrid() noexcept { regridDue_ = false; }
    std::optional<std::int32_t> RegridDeadline() const noexcept;

private:
    void releaseWaiting();
    // The engine's part of a release, within the cycle's budget or deferred.
    void releaseInEngine(std::uint16_t key);
    void releaseNow(std::uint16_t key);  // counted against the cycle's budget
    void defer(std::uint16_t key);

    Arpeggiator& Arp;
    const PlayState& state_;
    struct PendingRebuild {
        std::int32_t first;     // the first press waiting for it
        std::int32_t last;      // and the last, from which it lays the pattern out
        std::int32_t deadline;  // when it is laid out (the first step falls due)
        bool twice;             // the Retrigger box asks for a second one
    };
    std::optional<PendingRebuild> rebuild_;
    bool regridDue_ = false;  // a change waits for the next step
    std::optional<Arpeggiator::GridPoint> regridAt_;  // that step; none: start afresh
    std::array<std::uint16_t, 16 * 256> held_{};  // how often each key is held, by channel * 256 + note
    // Keys released while a press's rebuild waits (each once: a press takes
    // them out of the engine before it is held).
    std::array<std::uint16_t, 16 * 256> waiting_{};
    std::size_t waitingCount_ = 0;
    // Releases beyond a cycle's budget, oldest first; a key pressed again
    // meanwhile is released at once instead, before its press.
    std::array<std::uint16_t, 16 * 256> deferred_{};
    std::bitset<16 * 256> deferredKey_;
    std::size_t deferredHead_ = 0;
    std::size_t deferredCount_ = 0;
    std::uint32_t presses_ = 0;
    std::uint32_t releases_ = 0;
    std::uint32_t budget_ = 64;
};

}  // namespace vlx
