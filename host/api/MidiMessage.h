// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// One short MIDI message as the automation interface carries it (a status
// and up to two data bytes), packed into the bytes that go on the wire.
#include <array>
#include <cstddef>
#include <cstdint>

namespace vlx::host {

// Bytes on the wire for a message that starts with `status`, 0 when the
// status cannot start a short message (a data byte, or the start of a
// system exclusive message, whose length the status does not tell).
constexpr int messageLength(std::int32_t status) noexcept {
    if (status < 0x80 || status > 0xFF) return 0;
    switch (status & 0xF0) {
        case 0xC0:  // program change
        case 0xD0:  // channel pressure
            return 2;
        case 0xF0:
            break;
        default:  // notes, key pressure, control change, pitch bend
            return 3;
    }
    switch (status) {
        case 0xF0:
            return 0;
        case 0xF1:  // time code quarter frame
        case 0xF3:  // song select
            return 2;
        case 0xF2:  // song position
            return 3;
        default:  // tune request, end of exclusive, real-time, undefined
            return 1;
    }
}

struct MidiMessage {
    std::array<std::uint8_t, 3> bytes{};
    std::uint8_t size = 0;  // 0: not a message that can be sent

    // A data byte outside 0..127 cannot go on the wire: its top bit would
    // read as a new status, and masking it would play another note (an
    // arpeggio step above note 127 would sound far below). Such a message is
    // not sent; its note-off is refused the same way, so nothing hangs.
    static constexpr MidiMessage fromInts(std::int32_t status, std::int32_t data1, std::int32_t data2) noexcept {
        MidiMessage m;
        const int length = messageLength(status);
        const auto isData = [](std::int32_t v) { return v >= 0 && v <= 0x7F; };
        if ((length > 1 && !isData(data1)) || (length > 2 && !isData(data2))) return m;
        m.size = static_cast<std::uint8_t>(length);
        m.bytes[0] = static_cast<std::uint8_t>(status & 0xFF);
        m.bytes[1] = m.size > 1 ? static_cast<std::uint8_t>(data1) : 0;
        m.bytes[2] = m.size > 2 ? static_cast<std::uint8_t>(data2) : 0;
        return m;
    }
    // The status and data of a received message as the program takes
    // them; missing data bytes read 0.
    std::int32_t status() const noexcept { return bytes[0]; }
    std::int32_t data1() const noexcept { return size > 1 ? bytes[1] : 0; }
    std::int32_t data2() const noexcept { return size > 2 ? bytes[2] : 0; }
};

// Whether a message is a note-off (a note-on of velocity 0 is one): what
// keeps a note from hanging, and so never gives way to other output.
constexpr bool isNoteOff(const std::uint8_t* bytes, std::uint32_t size) noexcept {
    if (size != 3) return false;
    const auto kind = bytes[0] & 0xF0;
    return kind == 0x80 || (kind == 0x90 && bytes[2] == 0);
}

// Whether a received message fits the three integers the program takes.
constexpr bool fitsEvent(const std::uint8_t* bytes, std::size_t size) noexcept {
    return size > 0 && size <= 3 && bytes[0] != 0xF0 && messageLength(bytes[0]) == static_cast<int>(size);
}

// Splits one received event into what it holds, in order:
// - each complete short message, to message(const MidiMessage&); a status
//   is continued (running status) by the data bytes that follow within the
//   event; real-time bytes (F8..FF) stand alone wherever they come;
// - a system exclusive message (F0 up to F7, or to the end of the event),
//   whole, to sysex(bytes, size);
// - every byte that belongs to no complete message (a data byte with no
//   status, a message cut short by the next status or the end), to
//   junk(count). A status alone (tune request, an undefined or stray one)
//   is a message of its own: passed on, a receiver ignores what it does not
//   know.
// A data byte is 0..127 by definition: a byte with its top bit set always
// starts something new, so a malformed note never passes as a note.
template <class Message, class SysEx, class Junk>
constexpr void splitEvent(const std::uint8_t* bytes, std::size_t size, Message&& message, SysEx&& sysex,
                          Junk&& junk) {
    std::uint8_t status = 0;
    std::size_t need = 0;  // data bytes a message of `status` takes
    std::size_t have = 0;
    bool fresh = false;  // the status byte itself awaits its first message
    std::array<std::uint8_t, 2> data{};
    auto cutShort = [&] {
        if (have > 0 || fresh) junk(have + (fresh ? 1 : 0));
        have = 0;
        fresh = false;
    };
    auto complete = [&] {
        MidiMessage m;
        m.size = static_cast<std::uint8_t>(need + 1);
        m.bytes = {status, data[0], data[1]};
        message(m);
        have = 0;
        fresh = false;
        if (status >= 0xF0) status = 0;  // system common messages set no running status
    };
    for (std::size_t i = 0; i < size;) {
        const std::uint8_t b = bytes[i];
        if (b >= 0xF8) {  // real time
            MidiMessage m;
            m.size = 1;
            m.bytes[0] = b;
            message(m);
            ++i;
            continue;
        }
        if (b < 0x80) {
            if (status == 0) {
                junk(std::size_t{1});
            } else {
                data[have++] = b;
                if (have == need) complete();
            }
            ++i;
            continue;
        }
        // A new status cuts short what the previous one began.
        cutShort();
        status = 0;
        if (b == 0xF0) {
            std::size_t end = i + 1;
            while (end < size && bytes[end] != 0xF7 && (bytes[end] < 0x80 || bytes[end] >= 0xF8)) ++end;
            if (end < size && bytes[end] == 0xF7) ++end;
            sysex(bytes + i, end - i);
            i = end;
            continue;
        }
        const int length = messageLength(b);
        if (length == 0) {
            junk(std::size_t{1});
            ++i;
            continue;
        }
        status = b;
        fresh = true;
        need = static_cast<std::size_t>(length - 1);
        ++i;
        if (need == 0) complete();
    }
    cutShort();
}

}  // namespace vlx::host
