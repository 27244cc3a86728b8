// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// An engine wired to a scripted host, and the timer loop that drives it.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <ostream>
#include <utility>
#include <vector>

#include "engine/Arpeggiator.h"
#include "model/HostTime.h"
#include "support/ScriptedHost.h"

namespace vlx::test {

inline void PrintTo(const SentMessage& m, std::ostream* os) {
    *os << "{t=" << m.time << " port=" << m.port << " 0x" << std::hex << m.status << std::dec << " " << m.data1
        << " " << m.data2 << "}";
}

inline SentMessage on(std::int32_t time, int chan, int pitch, int velocity) {
    return {time, -1, 0x90 | chan, pitch, velocity};
}
inline SentMessage off(std::int32_t time, int chan, int pitch) { return {time, -1, 0x80 | chan, pitch, 0}; }

using Step = std::pair<int, int>;  // (Index, OctMult)

struct Rig {
    std::shared_ptr<ScriptedHost> host = std::make_shared<ScriptedHost>();
    Arpeggiator arp;

    explicit Rig(std::int16_t tempo = 120, std::int16_t resolution = 8, std::int16_t sustain = 2,
                 std::int16_t octaves = 1, std::int16_t cycle = Arpeggiator::CycleUp, std::int32_t start = 0) {
        arp.vlx(host);
        host->clock = start;
        arp.Init(start, tempo, resolution, sustain, octaves, cycle);
    }

    // The timer loop from the host's clock up to and including `until`, one
    // millisecond at a time: while notes are held it calls MaybeTrigger again
    // at once after every call that sent something. An engine that never
    // stops sending within one millisecond fails the test instead of hanging it.
    void playUntil(std::int32_t until) {
        while (true) {
            int calls = 0;
            if (!arp.IsEmpty())
                while (arp.MaybeTrigger(host->clock))
                    if (++calls > 100000) {
                        ADD_FAILURE() << "MaybeTrigger keeps sending at " << host->clock;
                        return;
                    }
            if (host->clock == until) return;
            host->clock = hosttime::after(host->clock, 1);
        }
    }

    // Messages sent since the last take.
    std::vector<SentMessage> take() { return std::exchange(host->sent, {}); }

    std::vector<Step> onSteps() const { return steps(*arp.NoteOnQ()); }
    std::vector<Step> offSteps() const { return steps(*arp.NoteOffQ()); }
    std::vector<std::int32_t> onTimes() const { return triggers(*arp.NoteOnQ()); }
    std::vector<std::int32_t> offTimes() const { return triggers(*arp.NoteOffQ()); }

    // Pitches of the pattern in playing order, read through the held notes.
    std::vector<int> passPitches() const {
        std::vector<int> out;
        for (const auto& e : arp.NoteOnQ()->NewEnum()) out.push_back(e->CalcPitch(arp.FindEvt(e->Index)->Note));
        return out;
    }

    template <class Queue>
    static std::vector<Step> steps(const Queue& q) {
        std::vector<Step> out;
        for (const auto& e : q.NewEnum()) out.emplace_back(e->Index, e->OctMult);
        return out;
    }
    template <class Queue>
    static std::vector<std::int32_t> triggers(const Queue& q) {
        std::vector<std::int32_t> out;
        for (const auto& e : q.NewEnum()) out.push_back(e->Trigger);
        return out;
    }
};

}  // namespace vlx::test
