// SPDX-License-Identifier: GPL-3.0-or-later
#include "player/Ringing.h"

#include "model/HostTime.h"

namespace vlx {

void Ringing::Take(Arpeggiator& arp) {
    for (const auto& step : arp.PlayQ()->NewEnum()) {
        const auto note = arp.FindEvt(step->Index);
        if (!note) continue;
        // Its note-off: the first of its step at or after its note-on.
        std::optional<std::int32_t> off;
        for (const auto& o : arp.NoteOffQ()->NewEnum())
            if (o->Index == step->Index && o->OctMult == step->OctMult && !hosttime::isBefore(o->Trigger, step->Trigger)) {
                off = o->Trigger;
                break;
            }
        const std::uint8_t pitch = step->CalcPitch(note->Note);
        if (count_ == notes_.size()) {
            arp.NoteOff(note->chan, pitch, true);
            continue;
        }
        notes_[count_++] = {note->chan, pitch, step->Trigger, off.value_or(hosttime::after(step->Trigger, note->Duration))};
    }
    arp.PlayQ()->RemoveIf([](const QEvt&) { return true; });
}

void Ringing::Shorten(std::int16_t duration) noexcept {
    for (std::size_t i = 0; i < count_; ++i) {
        const std::int32_t by = hosttime::after(notes_[i].on, duration);
        if (hosttime::isBefore(by, notes_[i].end)) notes_[i].end = by;
    }
}

void Ringing::EndDue(Arpeggiator& arp, std::int32_t lNow) {
    if (count_ == 0) return;
    // A note struck again would be cut by this one's note-off: it ends first.
    std::optional<std::pair<std::uint8_t, std::uint8_t>> struck;
    if (const auto head = arp.NoteOnQ()->Peek(); head && hosttime::isDue(head->Trigger, lNow))
        if (const auto note = arp.FindEvt(head->Index)) struck.emplace(note->chan, head->CalcPitch(note->Note));
    for (std::size_t i = count_; i-- > 0;)
        if (hosttime::isDue(notes_[i].end, lNow) || (struck && struck->first == notes_[i].chan && struck->second == notes_[i].pitch))
            end(arp, i);
}

void Ringing::EndAll(Arpeggiator& arp) {
    while (count_ > 0) end(arp, count_ - 1);
}

std::optional<std::int32_t> Ringing::NextEnd() const noexcept {
    std::optional<std::int32_t> next;
    for (std::size_t i = 0; i < count_; ++i)
        if (!next || hosttime::isBefore(notes_[i].end, *next)) next = notes_[i].end;
    return next;
}

void Ringing::end(Arpeggiator& arp, std::size_t i) {
    const Note n = notes_[i];
    notes_[i] = notes_[--count_];
    arp.NoteOff(n.chan, n.pitch, true);
}

}  // namespace vlx
