// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A host that runs the program's MIDI processing in its own audio thread,
// cycle by cycle, as a plugin host runs a plugin: the processor sees each
// cycle's input at its frames and writes its output at frames of the same
// cycle, so nothing waits for another thread and every message keeps its
// place in time.
//
// Threads: the driver calls the processor's cycle members from one thread
// (a JACK process callback, a thread of the host's own, a plugin's run()),
// with nothing else of the processor's running meanwhile; they must not
// allocate, lock or wait. Drive() is the owner's.
#include <cstdint>
#include <optional>

#include "host/api/HostAutomation.h"

namespace vlx {

// One cycle of the driver's clock.
struct Cycle {
    // Frames since the driver began: never goes backwards, and grows by at
    // least `frames` from one cycle to the next (more when cycles were lost).
    std::uint64_t firstFrame = 0;
    std::uint32_t frames = 0;
    // Frames per second.
    std::uint32_t rate = 0;
    // How far real time has already run past the cycle's first frame when
    // the driver runs it, beyond the driver's normal latency: a message
    // written at offset o is heard about (lateFrames - o) frames after its
    // frame when that is positive. 0 for a cycle on time; more for a driver
    // that runs cycles it fell behind with faster than real time, or plays
    // a stretch of time that has passed already.
    std::uint64_t lateFrames = 0;
};

// Where a processor writes during a cycle.
class CycleOutput {
public:
    // Writes one message at `offset` (0 .. frames - 1) into the cycle's
    // output; offsets must not decrease from one write to the next. False
    // when the output refused it (no room). A note-off finds room where
    // other messages no longer would: it keeps a note from hanging.
    virtual bool Write(std::uint32_t offset, const std::uint8_t* bytes, std::uint32_t size) noexcept = 0;
    // A step of the arpeggio: an output that keeps room for the note-offs
    // keeps it for these too, so that passing data gives way first.
    virtual bool WriteStep(std::uint32_t offset, const std::uint8_t* bytes, std::uint32_t size) noexcept {
        return Write(offset, bytes, size);
    }

protected:
    ~CycleOutput() = default;
};

class CycleProcessor {
public:
    virtual ~CycleProcessor() = default;
    // A cycle begins; `out` stays valid until EndCycle.
    virtual void BeginCycle(const Cycle& cycle, CycleOutput& out) noexcept = 0;
    // One received event (one or more MIDI messages, or a system exclusive
    // message), at `offset`; events come in time order.
    virtual void Receive(std::uint32_t offset, const std::uint8_t* bytes, std::uint32_t size) noexcept = 0;
    virtual void EndCycle() noexcept = 0;
    // The first frame at which the processor has something to do without
    // new input, as far as it knows after the last cycle: for a driver that
    // sleeps between cycles. Empty: nothing is waiting for time.
    virtual std::optional<std::uint64_t> NextDueFrame() const noexcept { return std::nullopt; }
};

// Implemented by hosts that can drive a CycleProcessor.
class CycleDriver {
public:
    // From the next cycle on, `processor` is run in the host's audio thread
    // (nullptr: none is). Returns once no cycle uses the one it replaces.
    virtual void Drive(CycleProcessor* processor) = 0;

protected:
    ~CycleDriver() = default;
};

// The host's driver, when it has one.
inline CycleDriver* CycleDriverOf(HostAutomation* host) { return dynamic_cast<CycleDriver*>(host); }

}  // namespace vlx
