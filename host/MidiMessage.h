#pragma once
// One short MIDI message as the automation interface carries it (a status
// and up to two data bytes), packed into the bytes that go on the wire.
#include <array>
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
    // The status and data of a received message as the MidiInput event gives
    // them; missing data bytes read 0.
    std::int32_t status() const noexcept { return bytes[0]; }
    std::int32_t data1() const noexcept { return size > 1 ? bytes[1] : 0; }
    std::int32_t data2() const noexcept { return size > 2 ? bytes[2] : 0; }
};

// Whether a received message fits the three integers of the MidiInput event.
constexpr bool fitsEvent(const std::uint8_t* bytes, std::size_t size) noexcept {
    return size > 0 && size <= 3 && bytes[0] != 0xF0 && messageLength(bytes[0]) == static_cast<int>(size);
}

}  // namespace vlx::host
