// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// How much of one cycle's output buffer each kind of message may take, for
// every output that has a buffer to fill (a JACK port, an LV2 host's atom
// sequence). Passing data gives way first: it leaves room, by count and by
// bytes, for the arpeggio's steps and for note-offs. A step leaves room for
// note-offs, which keep notes from hanging and so may take the last of it.
// The engine's steps and note-offs always fit while a cycle holds no more of
// them than the room kept for them.
#include <cstdint>
#include <limits>

#include "host/api/MidiMessage.h"

namespace vlx::host {

enum class Priority : std::uint8_t { Passing, Step, NoteOff };

// A message written through CycleOutput::Write is passing data, through
// WriteStep a step; a note-off is a note-off whichever way it came.
constexpr Priority priorityOf(bool step, const std::uint8_t* bytes, std::uint32_t size) noexcept {
    if (isNoteOff(bytes, size)) return Priority::NoteOff;
    return step ? Priority::Step : Priority::Passing;
}

struct OutputLimits {
    // Events one cycle may hold in all, whatever the buffer would take.
    std::uint32_t maxEvents = std::numeric_limits<std::uint32_t>::max();
    // Left by passing data, for steps and note-offs.
    std::uint32_t keptEvents = 0;
    std::uint64_t keptBytes = 0;
    // Left by steps too, for note-offs alone.
    std::uint32_t noteOffEvents = 0;
    std::uint64_t noteOffBytes = 0;
};

// Counts one cycle's events against its limits. `room` is what the buffer
// has left and `needed` what the message takes of it, in the buffer's own
// measure.
class OutputRoom {
public:
    constexpr explicit OutputRoom(const OutputLimits& limits) noexcept : limits_(limits) {}

    constexpr bool allows(Priority priority, std::uint64_t room, std::uint64_t needed) const noexcept {
        if (room < needed || written_ >= limits_.maxEvents) return false;
        const std::uint32_t after = limits_.maxEvents - written_ - 1;  // events still allowed after this one
        const std::uint64_t left = room - needed;
        switch (priority) {
        case Priority::NoteOff: return true;
        case Priority::Step: return after >= limits_.noteOffEvents && left >= limits_.noteOffBytes;
        case Priority::Passing: return after >= limits_.keptEvents && left >= limits_.keptBytes;
        }
        return false;
    }
    constexpr void took() noexcept { ++written_; }
    constexpr std::uint32_t written() const noexcept { return written_; }

private:
    OutputLimits limits_;
    std::uint32_t written_ = 0;
};

}  // namespace vlx::host
