// SPDX-License-Identifier: GPL-3.0-or-later
#include "player/InputPath.h"

#include "model/Checked.h"

namespace vlx {

namespace {

// Input that waits for the engine in the rare case a handler holds it.
constexpr std::size_t kInputReserve = 4096;

std::size_t keyIndex(std::uint8_t chan, std::uint8_t note) { return chan * 256u + note; }

}  // namespace

InputPath::InputPath(Arpeggiator& arp, CycleHost& host, CycleTime& time, HeldKeys& keys, Band& band,
                     const PlayState& state)
    : InQ(std::make_shared<InputQ>()), Arp(arp), vlx(host), time_(time), keys_(keys), band_(band), state_(state) {
    InQ->Reserve(kInputReserve);
}

host::InputRoute InputPath::Arrive(const host::MidiMessage& m) noexcept {
    ++inputs_;
    const std::uint8_t status = m.bytes[0];
    // Which keys are down, whatever the routing: Arpeggiate may be pressed
    // over them.
    const auto kind = status & 0xF0;
    if ((kind == 0x90 || kind == 0x80) && m.size == 3)
        keysDown_[(status & 0x0Fu) * 128u + m.bytes[1]] = kind == 0x90 ? m.bytes[2] : std::uint8_t{0};
    const std::int32_t raise = vlx.RaiseInputEvents();
    // A tick's millisecond begins on its frame, so that the steps it
    // places sound on it.
    if (state_.on(Control::FollowClock) && raise == 1 && status == 0xF8) time_.AlignToCursor();
    host::InputCase arrival;
    arrival.divert = vlx.DivertInput();
    arrival.raise = passesBySplit(m) ? 0 : raise;
    const host::InputRoute route = host::routeInput(arrival);
    if (route.toOutput) {
        vlx.Write(m);
        passed(m.bytes.data(), m.size);
    }
    if (route.toProgram) received_.fetch_add(1, std::memory_order_relaxed);
    return route;
}

bool InputPath::arpeggiates(std::uint8_t chan, std::uint8_t note) const noexcept {
    const std::int32_t channel = state_.controls[Control::InChannel];
    return (channel == 0 || channel == chan + 1) && note >= state_.controls[Control::SplitLowest] &&
           note <= state_.controls[Control::SplitHighest];
}

// Keys outside the split, and what comes on a channel not arpeggiated,
// pass as if Arpeggiate were up; a key's release goes where its press went,
// whatever the split is by then.
bool InputPath::passesBySplit(const host::MidiMessage& m) noexcept {
    const std::uint8_t status = m.bytes[0];
    if (status >= 0xF0 || m.size < 2) return false;  // the system's messages are everyone's
    const auto chan = static_cast<std::uint8_t>(status & 0x0F);
    const auto kind = status & 0xF0;
    if ((kind == 0x90 || kind == 0x80) && m.size == 3 && m.bytes[1] < 128) {
        const std::size_t key = chan * 128u + m.bytes[1];
        if (kind == 0x90 && m.bytes[2] > 0) {
            passedBySplit_.set(key, !arpeggiates(chan, m.bytes[1]));
            return passedBySplit_.test(key);
        }
        const bool passed = passedBySplit_.test(key);
        passedBySplit_.reset(key);
        return passed;
    }
    const std::int32_t channel = state_.controls[Control::InChannel];
    return channel != 0 && channel != chan + 1;
}

void InputPath::vlx_MidiInput(std::int32_t /*nTimestamp*/, std::int32_t /*Port*/, std::int32_t Status,
                              std::int32_t data1, std::int32_t data2) {
    BusyGuard busy(lBusy);
    const std::int32_t t = vlx.HostTime();
    if (busy.owns())
        ProcessMidi(t, Status, data1, data2);
    else
        InQ->Add(t, Status, data1, data2);
}

void InputPath::ProcessMidi(std::int32_t lTime, std::int32_t Status, std::int32_t data1, std::int32_t data2) {
    auto kind = static_cast<std::uint8_t>(Status & 0xF0);
    const auto chan = static_cast<std::uint8_t>(Status & 0x0F);
    if (kind == 0x90) {
        if (data2 < 1) {
            kind = 0x80;
        } else {
            const auto note = checked::narrow<std::uint8_t>(data1);
            if (!keys_.MayPress()) {
                refused_.fetch_add(1, std::memory_order_relaxed);
                return;
            }
            divertedPress_.set(keyIndex(chan, note), vlx.DivertInput() == 1);
            // A chord the pedal or latch held and the next one replaces
            // goes on on the same beat.
            const bool joins = !Arp.IsEmpty();
            SustainLatch::ForEach(band_.latch().Press(chan, note), [&](std::uint8_t held) { keys_.Release(chan, held); });
            keys_.Press(lTime, chan, note, checked::narrow<std::uint8_t>(data2), joins);
        }
    }
    if (kind == 0x80) {
        const auto note = checked::narrow<std::uint8_t>(data1);
        // A press the host passed through (before arpeggiation or diversion
        // was switched on) sounds at the output, so its release must reach
        // it too: from the host while it routes input, from here once it
        // diverts. A diverted press never sounded; its release is the engine's.
        const bool diverted = divertedPress_.test(keyIndex(chan, note));
        divertedPress_.reset(keyIndex(chan, note));
        if (band_.latch().Release(chan, note)) keys_.Release(chan, note);
        if (!diverted && vlx.DivertInput() == 1) {
            vlx.SendMidiMessage(-1, Status, data1, data2);
            passedDown_.reset(chan * 128u + note);
        }
    } else if (kind != 0x90) {
        // The clock places the next step, and all notes off clears: the
        // pattern must be laid out first.
        keys_.FlushRebuild();
        if (band_.Input(lTime, Status, data1, data2)) return;
        if (vlx.DivertInput() == 1) {
            vlx.SendMidiMessage(-1, Status, data1, data2);
            if (kind == 0xB0 && data1 == 64) passedPedal_.set(chan, data2 >= 64);
        }
    }
}

void InputPath::DrainInQ() {
    while (!InQ->IsEmpty()) {
        const auto message = InQ->Pull();
        if (message) ProcessMidi(message->lTime, message->Status, message->data1, message->data2);
    }
}

// What passed through to the synth while the keys were held ends there
// first, so that nothing sounds twice.
void InputPath::PlayKeysDown() {
    const std::int32_t now = vlx.HostTime();
    for (std::size_t k = 0; k < keysDown_.size(); ++k) {
        const std::uint8_t velocity = keysDown_[k];
        if (velocity == 0) continue;
        const auto chan = static_cast<std::uint8_t>(k / 128);
        const auto note = static_cast<std::uint8_t>(k % 128);
        if (!arpeggiates(chan, note)) continue;  // the other hand's
        passedBySplit_.reset(k);                  // its release is the engine's now
        if (vlx.DivertInput() == 1) {
            vlx.SendMidiMessage(-1, 0x80 | chan, note, 0);
            passedDown_.reset(k);
            divertedPress_.set(keyIndex(chan, note));  // its release is the engine's now
        }
        const bool joins = !Arp.IsEmpty();
        SustainLatch::ForEach(band_.latch().Press(chan, note), [&](std::uint8_t held) { keys_.Release(chan, held); });
        keys_.Press(now, chan, note, velocity, joins);
    }
}

void InputPath::passed(const std::uint8_t* bytes, std::uint32_t size) noexcept {
    if (size != 3) return;
    const auto kind = bytes[0] & 0xF0;
    const auto chan = bytes[0] & 0x0Fu;
    if (kind == 0x90 || kind == 0x80) passedDown_.set(chan * 128u + bytes[1], kind == 0x90 && bytes[2] > 0);
    if (kind == 0xB0 && bytes[1] == 64) passedPedal_.set(chan, bytes[2] >= 64);
}

void InputPath::ReleasePassed() {
    for (std::size_t k = 0; k < passedDown_.size(); ++k)
        if (passedDown_.test(k)) vlx.SendMidiMessage(-1, 0x80 | static_cast<std::int32_t>(k / 128), static_cast<std::int32_t>(k % 128), 0);
    for (std::size_t chan = 0; chan < passedPedal_.size(); ++chan)
        if (passedPedal_.test(chan)) vlx.SendMidiMessage(-1, 0xB0 | static_cast<std::int32_t>(chan), 64, 0);
    passedDown_.reset();
    passedPedal_.reset();
}

}  // namespace vlx
