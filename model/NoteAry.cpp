// SPDX-License-Identifier: GPL-3.0-or-later
#include "model/NoteAry.h"

namespace vlx {

NoteAry::Ref NoteAry::makeNote(std::int16_t ID, std::uint8_t chan, std::uint8_t Note, std::uint8_t Velocity,
                               std::int16_t Duration) const {
    auto evt = MakeRecord<NoteEvt>(pool_);
    evt->ID = ID;
    evt->chan = chan;
    evt->Note = Note;
    evt->Velocity = Velocity;
    evt->Duration = Duration;
    return evt;
}

NoteAry::Ref NoteAry::Insert(std::int16_t ID, std::uint8_t chan, std::uint8_t Note, std::uint8_t Velocity,
                             std::int16_t Duration, const IndexKey& Before) {
    auto evt = makeNote(ID, chan, Note, Velocity, Duration);
    col_.Add(evt, {}, Before);
    return evt;
}

NoteAry::Ref NoteAry::Add(std::int16_t ID, std::uint8_t chan, std::uint8_t Note, std::uint8_t Velocity,
                          std::int16_t Duration, std::string_view sKey) {
    auto evt = makeNote(ID, chan, Note, Velocity, Duration);
    col_.Add(evt, sKey);
    return evt;
}

}  // namespace vlx
