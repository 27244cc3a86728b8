// SPDX-License-Identifier: GPL-3.0-or-later
#include "host/alsa/AlsaCodec.h"

#include <stdexcept>
#include <string>

namespace vlx::host {

AlsaCodec::AlsaCodec() {
    if (snd_midi_event_new(kMaxMessage, &encoder_) < 0 || snd_midi_event_new(kMaxMessage, &decoder_) < 0) {
        if (encoder_) snd_midi_event_free(encoder_);
        throw std::runtime_error("cannot create the ALSA MIDI codec");
    }
    // Every message is decoded with its own status byte: receivers of single
    // messages cannot follow running status.
    snd_midi_event_no_status(decoder_, 1);
}

AlsaCodec::~AlsaCodec() {
    snd_midi_event_free(encoder_);
    snd_midi_event_free(decoder_);
}

bool AlsaCodec::encode(const std::uint8_t* bytes, std::size_t size, snd_seq_event_t& event) {
    snd_midi_event_reset_encode(encoder_);
    snd_seq_ev_clear(&event);
    const long used = snd_midi_event_encode(encoder_, bytes, static_cast<long>(size), &event);
    return used == static_cast<long>(size) && event.type != SND_SEQ_EVENT_NONE;
}

std::size_t AlsaCodec::decode(const snd_seq_event_t& event, std::uint8_t* out, std::size_t capacity) {
    snd_midi_event_reset_decode(decoder_);
    // The decoder reads the event only; its signature predates const.
    auto* ev = const_cast<snd_seq_event_t*>(&event);
    const long n = snd_midi_event_decode(decoder_, out, static_cast<long>(capacity), ev);
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

}  // namespace vlx::host
