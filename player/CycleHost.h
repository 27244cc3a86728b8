// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The host the engine and the input path see: its time is the frame being
// played, its flags are the player's own, and what they send is written
// into the cycle's output at that frame.
#include <atomic>
#include <bitset>
#include <cstdint>
#include <string>

#include "host/api/CycleProcessor.h"
#include "host/api/HostAutomation.h"
#include "host/api/MidiMessage.h"
#include "player/CycleTime.h"

namespace vlx {

class CycleHost final : public HostAutomation {
public:
    explicit CycleHost(const CycleTime& time) : time_(time) {}

    std::string HostVersion() override { return "VLXArp player"; }
    std::int32_t ExitWithClient() override { return 0; }
    void ExitWithClient(std::int32_t) override {}
    std::int32_t InstanceNumber() override { return 1; }
    std::int32_t DivertInput() override { return divert_; }
    void DivertInput(std::int32_t vData) override { divert_ = vData; }
    std::int32_t RaiseInputEvents() override { return raise_; }
    void RaiseInputEvents(std::int32_t vData) override { raise_ = vData; }
    void SendMidiMessage(std::int32_t, std::int32_t Status, std::int32_t data1, std::int32_t data2) override {
        Write(host::MidiMessage::fromInts(Status, data1, data2));
    }
    // Passes run on the frame where a step falls due, so it goes out there.
    // One placed in the past (a clock's tick ending the note before it)
    // goes out now: written back at its own frame it would land there only
    // when that frame is in the cycle, and the output would depend on the
    // cycle length.
    void SendStep(std::int32_t, std::int32_t Status, std::int32_t data1, std::int32_t data2) override {
        const std::uint64_t before = unsent();
        Write(host::MidiMessage::fromInts(Status, data1, data2), true);
        stepRefused_ = unsent() != before;
    }
    bool StepRefused() const override { return stepRefused_; }
    std::int32_t HostTime() override { return time_.Now(); }
    // A cycle never waits: a pass that finds the engine taken tries again
    // at the next frame where something is due.
    void SleepMs(std::int32_t) override {}

    // The cycle's output, from its start to its end; none between cycles.
    void Attach(CycleOutput& out) noexcept {
        out_ = &out;
        last_ = 0;
        if (owedCount_ > 0) payOwed();
    }
    void Detach() noexcept { out_ = nullptr; }

    // At the frame being played. `step`: one of the arpeggio's steps, which
    // passing data gives way to.
    void Write(const host::MidiMessage& m, bool step = false) noexcept {
        if (m.size == 0) {
            unsent_.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        Write(m.bytes.data(), m.size, step);
    }
    void Write(const std::uint8_t* bytes, std::uint32_t size, bool step = false) noexcept {
        if (!out_ || time_.frames() == 0) {
            unsent_.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        const std::uint32_t offset = std::max(time_.OffsetOf(time_.cursor()), last_);
        const bool noteOff = host::isNoteOff(bytes, size);
        // A key whose note-off is still owed (the cycle is full) does not
        // sound again before it.
        if (!noteOff && size == 3 && (bytes[0] & 0xF0) == 0x90 && owed_.test(keyOf(bytes))) {
            unsent_.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        if (step ? out_->WriteStep(offset, bytes, size) : out_->Write(offset, bytes, size)) {
            last_ = offset;
        } else if (noteOff) {
            if (!owed_.test(keyOf(bytes))) ++owedCount_;
            owed_.set(keyOf(bytes));
        } else {
            unsent_.fetch_add(1, std::memory_order_relaxed);
        }
    }
    // Messages the output refused.
    std::uint64_t unsent() const noexcept { return unsent_.load(std::memory_order_relaxed); }

private:
    static std::size_t keyOf(const std::uint8_t* bytes) noexcept { return (bytes[0] & 0x0Fu) * 128u + (bytes[1] & 0x7Fu); }
    // A note-off a full cycle had no room for goes out first in the cycles
    // after, so that no flood of releases leaves a note on.
    void payOwed() noexcept {
        for (std::size_t key = 0; key < owed_.size() && owedCount_ > 0; ++key) {
            if (!owed_.test(key)) continue;
            const std::uint8_t off[3] = {static_cast<std::uint8_t>(0x80 | key / 128), static_cast<std::uint8_t>(key % 128), 0};
            if (!out_->Write(0, off, 3)) return;
            owed_.reset(key);
            --owedCount_;
        }
    }

    const CycleTime& time_;
    std::int32_t divert_ = 0;
    std::int32_t raise_ = 0;
    bool stepRefused_ = false;
    CycleOutput* out_ = nullptr;  // during a cycle
    std::uint32_t last_ = 0;      // the offset written last in this cycle
    std::atomic<std::uint64_t> unsent_{0};
    std::bitset<16 * 128> owed_;
    std::size_t owedCount_ = 0;
};

}  // namespace vlx
