// SPDX-License-Identifier: GPL-3.0-or-later
// Message lengths and the ALSA event codec, which need no sequencer device.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "host/alsa/AlsaCodec.h"
#include "host/api/MidiMessage.h"

namespace {

using vlx::host::AlsaCodec;
using vlx::host::MidiMessage;
using Bytes = std::vector<std::uint8_t>;

TEST(MidiMessage, SendsAsManyBytesAsTheStatusImplies) {
    struct Case {
        std::int32_t status;
        int length;
    };
    const Case cases[] = {{0x90, 3}, {0x8F, 3}, {0xA0, 3}, {0xB5, 3}, {0xC0, 2}, {0xDF, 2}, {0xE3, 3},
                          {0xF1, 2}, {0xF2, 3}, {0xF3, 2}, {0xF6, 1}, {0xF7, 1}, {0xF8, 1}, {0xFA, 1},
                          {0xFE, 1}, {0xFF, 1}, {0xF0, 0}, {0x7F, 0}, {0x00, 0}, {0x100, 0}, {-1, 0}};
    for (const auto& c : cases) EXPECT_EQ(vlx::host::messageLength(c.status), c.length) << std::hex << c.status;

    const auto pc = MidiMessage::fromInts(0xC3, 12, 99);
    EXPECT_EQ(pc.size, 2);
    EXPECT_EQ(pc.data2(), 0);  // the unused data byte is not sent
    const auto note = MidiMessage::fromInts(0x93, 0x3C, 0x7F);
    EXPECT_EQ((Bytes{note.bytes.begin(), note.bytes.end()}), (Bytes{0x93, 0x3C, 0x7F}));
    // A pitch above 127 (a high note three octaves up) is refused, not
    // wrapped onto another pitch; so is a negative data byte.
    EXPECT_EQ(MidiMessage::fromInts(0x93, 144, 100).size, 0);
    EXPECT_EQ(MidiMessage::fromInts(0x83, 144, 0).size, 0);
    EXPECT_EQ(MidiMessage::fromInts(0xB0, 7, -1).size, 0);
    EXPECT_EQ(MidiMessage::fromInts(0xC0, 5, 300).size, 2);  // an unused data byte does not matter

    const std::uint8_t sysex[] = {0xF0, 1, 0xF7};
    const std::uint8_t cc[] = {0xB0, 7, 1};
    EXPECT_FALSE(vlx::host::fitsEvent(sysex, 3));
    EXPECT_TRUE(vlx::host::fitsEvent(cc, 3));
    EXPECT_FALSE(vlx::host::fitsEvent(cc, 2));
}

// What one received event holds: each part as "m:<bytes>", "x:<bytes>"
// (system exclusive) or "junk:<count>".
std::vector<std::string> split(const Bytes& event) {
    std::vector<std::string> parts;
    auto hex = [](const std::uint8_t* b, std::size_t n) {
        std::string out;
        char part[4];
        for (std::size_t i = 0; i < n; ++i) {
            std::snprintf(part, sizeof part, "%s%02X", i ? " " : "", b[i]);
            out += part;
        }
        return out;
    };
    vlx::host::splitEvent(
        event.data(), event.size(), [&](const MidiMessage& m) { parts.push_back("m:" + hex(m.bytes.data(), m.size)); },
        [&](const std::uint8_t* b, std::size_t n) { parts.push_back("x:" + hex(b, n)); },
        [&](std::size_t n) { parts.push_back("junk:" + std::to_string(n)); });
    return parts;
}

TEST(MidiMessage, AnEventSplitsIntoWholeMessagesAndNothingMalformedPassesAsOne) {
    using Parts = std::vector<std::string>;
    struct Case {
        Bytes event;
        Parts parts;
    };
    const Case cases[] = {
        {{0x93, 0x3C, 0x40}, {"m:93 3C 40"}},
        {{0xC2, 0x05}, {"m:C2 05"}},
        {{0xF8}, {"m:F8"}},
        {{0x94, 0x3E, 0x40, 0x40, 0x10}, {"m:94 3E 40", "m:94 40 10"}},  // running status
        {{0x94, 0x3E, 0x40, 0x00}, {"m:94 3E 40", "junk:1"}},           // a running status cut short
        {{0x91, 0x3E, 0xC5}, {"junk:2", "junk:1"}},                      // a velocity with its top bit set
        {{0x92, 0xC8, 0x40}, {"junk:1", "m:C8 40"}},                     // a "note" with its top bit set is a status
        {{0x96, 0x90, 0x40}, {"junk:1", "junk:2"}},
        {{0x3C, 0x40}, {"junk:1", "junk:1"}},                            // no status at all
        {{0x90, 0x3C, 0xF8, 0x40}, {"m:F8", "m:90 3C 40"}},              // a clock tick inside a note
        {{0xF0, 0x7E, 0x7F, 0xF7}, {"x:F0 7E 7F F7"}},                   // whole
        {{0xF0, 0x01, 0x02}, {"x:F0 01 02"}},                            // unterminated: to the end
        {{0xF0, 0x01, 0x90, 0x3C, 0x40}, {"x:F0 01", "m:90 3C 40"}},     // cut short by a status
        {{0xF2, 0x10, 0x01, 0x22}, {"m:F2 10 01", "junk:1"}},            // no running status after system common
        {{0xF7}, {"m:F7"}},               // a stray end of exclusive passes as it came
        {{0xF4, 0xF6}, {"m:F4", "m:F6"}},  // undefined ones too
        {{0xB0, 0x40, 0x7F, 0xB0}, {"m:B0 40 7F", "junk:1"}},
        {{}, {}},
    };
    for (const Case& c : cases) EXPECT_EQ(split(c.event), c.parts) << split(c.event).size();
}

TEST(AlsaCodec, EncodesAndDecodesEveryKindOfMessageWhole) {
    AlsaCodec codec;
    const std::vector<Bytes> messages = {
        {0x90, 60, 100}, {0x90, 60, 0}, {0x80, 61, 64},  {0xA2, 60, 5}, {0xB3, 7, 100},
        {0xC4, 5},       {0xD5, 90},    {0xE6, 0, 0x40}, {0xF2, 3, 4},  {0xF3, 7},
        {0xF6},          {0xF8},        {0xFA},          {0xFC},        {0xFE},
        {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7},
    };
    for (const auto& m : messages) {
        snd_seq_event_t ev;
        ASSERT_TRUE(codec.encode(m.data(), m.size(), ev)) << std::hex << int(m[0]);
        std::uint8_t out[64];
        const std::size_t n = codec.decode(ev, out, sizeof out);
        EXPECT_EQ(Bytes(out, out + n), m) << std::hex << int(m[0]);
    }
    // Two note-ons in a row each keep their status byte.
    snd_seq_event_t ev;
    std::uint8_t out[8];
    const std::uint8_t on[] = {0x90, 62, 70};
    ASSERT_TRUE(codec.encode(on, 3, ev));
    ASSERT_EQ(codec.decode(ev, out, sizeof out), 3u);
    ASSERT_EQ(codec.decode(ev, out, sizeof out), 3u);
    EXPECT_EQ(out[0], 0x90);

    // Not one whole message: a bare data byte, a cut-off note.
    const std::uint8_t data[] = {0x40};
    EXPECT_FALSE(codec.encode(data, 1, ev));
    EXPECT_FALSE(codec.encode(on, 2, ev));
    // An event that carries no MIDI message decodes to nothing.
    snd_seq_event_t announce;
    snd_seq_ev_clear(&announce);
    announce.type = SND_SEQ_EVENT_PORT_START;
    EXPECT_EQ(codec.decode(announce, out, sizeof out), 0u);
}

}  // namespace
