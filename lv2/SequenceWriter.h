// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The player's output for one block, written into the host's output atom
// sequence as MIDI events at their frames, with room kept for the
// arpeggio's steps and note-offs (OutputRoom): the last part of the buffer,
// as the host has no limit on the count of events.
#include <lv2/atom/forge.h>
#include <lv2/atom/util.h>

#include <algorithm>
#include <cstdint>

#include "host/api/CycleProcessor.h"
#include "host/api/OutputRoom.h"

namespace vlx::lv2 {

class SequenceWriter final : public CycleOutput {
public:
    // An event of a short message takes 24 bytes: room for this many note-offs is kept.
    static constexpr std::uint32_t kNoteOffReserve = 64 * 24;

    explicit SequenceWriter(LV2_URID midiEvent) : midiEvent_(midiEvent) {}

    // The host's buffer (its atom's size says how much it holds), or
    // nullptr when the port is not connected.
    void Begin(LV2_Atom_Sequence* sequence, LV2_Atom_Forge& forge) noexcept {
        forge_ = nullptr;
        if (!sequence || sequence->atom.size < sizeof(LV2_Atom_Sequence)) return;
        const std::uint32_t capacity = sequence->atom.size;
        lv2_atom_forge_set_buffer(&forge, reinterpret_cast<std::uint8_t*>(sequence), capacity);
        if (!lv2_atom_forge_sequence_head(&forge, &frame_, 0)) return;
        forge_ = &forge;
        const std::uint64_t kept = std::min(kNoteOffReserve, capacity / 4);
        room_ = host::OutputRoom({.keptBytes = kept, .noteOffBytes = kept / 2});
    }
    void End() noexcept {
        if (forge_) lv2_atom_forge_pop(forge_, &frame_);
        forge_ = nullptr;
    }

    bool Write(std::uint32_t offset, const std::uint8_t* bytes, std::uint32_t size) noexcept override {
        return write(offset, bytes, size, false);
    }
    bool WriteStep(std::uint32_t offset, const std::uint8_t* bytes, std::uint32_t size) noexcept override {
        return write(offset, bytes, size, true);
    }

private:
    bool write(std::uint32_t offset, const std::uint8_t* bytes, std::uint32_t size, bool step) noexcept {
        if (!forge_ || size == 0) return false;
        const std::uint64_t needed = sizeof(LV2_Atom_Event) + lv2_atom_pad_size(size);
        if (!room_.allows(host::priorityOf(step, bytes, size), forge_->size - forge_->offset, needed)) return false;
        lv2_atom_forge_frame_time(forge_, offset);
        lv2_atom_forge_atom(forge_, size, midiEvent_);
        lv2_atom_forge_write(forge_, bytes, size);
        room_.took();
        return true;
    }

    LV2_URID midiEvent_;
    LV2_Atom_Forge* forge_ = nullptr;
    LV2_Atom_Forge_Frame frame_{};
    host::OutputRoom room_{{}};
};

}  // namespace vlx::lv2
