// SPDX-License-Identifier: GPL-3.0-or-later
// Plays C4-E4-G4 through the engine on a simulated clock and prints every
// message it sends with its host time: 120 bpm, quarter notes, normal sustain,
// one octave, up, the chord struck at host time 10000 and released at 14000.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "engine/Arpeggiator.h"

namespace {

class PrintingHost final : public vlx::HostAutomation {
public:
    std::int32_t clock = 0;

    std::string HostVersion() override { return "demo"; }
    std::int32_t ExitWithClient() override { return 0; }
    void ExitWithClient(std::int32_t) override {}
    std::int32_t InstanceNumber() override { return 1; }
    std::int32_t DivertInput() override { return 1; }
    void DivertInput(std::int32_t) override {}
    std::int32_t RaiseInputEvents() override { return 1; }
    void RaiseInputEvents(std::int32_t) override {}
    void SendMidiMessage(std::int32_t, std::int32_t status, std::int32_t data1, std::int32_t data2) override {
        const char* kind = (status & 0xF0) == 0x90 ? "note-on " : "note-off";
        std::printf("%8d ms  %s  %02X %3d %3d\n", clock, kind, status, data1, data2);
    }
    std::int32_t HostTime() override { return clock; }
    void SleepMs(std::int32_t n) override { clock += n; }
};

}  // namespace

int main() {
    auto host = std::make_shared<PrintingHost>();
    vlx::Arpeggiator arp;
    arp.vlx(host);
    arp.Init(0, 120, 8, vlx::Arpeggiator::Normal, 1, vlx::Arpeggiator::CycleUp);
    std::printf("period %d ms, duration %d ms\n", arp.period(), arp.Duration());

    host->clock = 10000;
    for (const std::uint8_t note : {60, 64, 67}) arp.Add(host->clock, 0, note, 100);
    std::printf("C-E-G held at 10000: %d steps, first at %d\n", arp.seqCount(), arp.NoteOnQ()->Peek()->Trigger);

    for (; host->clock < 14000; ++host->clock)
        while (arp.MaybeTrigger(host->clock)) {
        }
    for (const std::uint8_t note : {60, 64, 67}) arp.Remove(0, note);
    std::printf("released at %d; notes held: %d\n", host->clock, arp.NoteAry()->Count());
    return 0;
}
