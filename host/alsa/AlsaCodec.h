// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// MIDI bytes to ALSA sequencer events and back, one whole message at a time
// (snd_midi_event, without running status). Needs no sequencer device.
#include <alsa/asoundlib.h>

#include <cstddef>
#include <cstdint>

namespace vlx::host {

class AlsaCodec {
public:
    static constexpr std::size_t kMaxMessage = 65536;  // the longest SysEx carried whole

    AlsaCodec();  // throws std::runtime_error when ALSA cannot make the codec
    ~AlsaCodec();
    AlsaCodec(const AlsaCodec&) = delete;
    AlsaCodec& operator=(const AlsaCodec&) = delete;

    // The event for one complete message; false when the bytes are not one.
    // A SysEx event points into the codec's own buffer until the next call.
    bool encode(const std::uint8_t* bytes, std::size_t size, snd_seq_event_t& event);
    // The bytes of the event's message, 0 when it carries none (port and
    // client announcements) or it does not fit `capacity`.
    std::size_t decode(const snd_seq_event_t& event, std::uint8_t* out, std::size_t capacity);

private:
    snd_midi_event_t* encoder_ = nullptr;
    snd_midi_event_t* decoder_ = nullptr;
};

}  // namespace vlx::host
