// SPDX-License-Identifier: GPL-3.0-or-later
// What the engine costs per timer-loop call and per key, for growing numbers
// of held notes over 3 octaves in Up-Down order (2 x notes x 3 - 2 steps).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/Arpeggiator.h"
#include "host/api/HostAutomation.h"

namespace {

// A host that drops everything: the benchmark measures the engine, not a log.
class NullHost final : public vlx::HostAutomation {
public:
    std::string HostVersion() override { return "null"; }
    std::int32_t ExitWithClient() override { return 0; }
    void ExitWithClient(std::int32_t) override {}
    std::int32_t InstanceNumber() override { return 1; }
    std::int32_t DivertInput() override { return 0; }
    void DivertInput(std::int32_t) override {}
    std::int32_t RaiseInputEvents() override { return 0; }
    void RaiseInputEvents(std::int32_t) override {}
    void SendMidiMessage(std::int32_t, std::int32_t status, std::int32_t, std::int32_t) override {
        benchmark::DoNotOptimize(status);
    }
    std::int32_t HostTime() override { return 0; }
    void SleepMs(std::int32_t) override {}
};

constexpr std::int32_t kStart = 1000;

// An engine at 240 bpm in 32nds holding notes 0 .. held-1 on channel 0,
// except `skip` (pass -1 to hold them all).
std::unique_ptr<vlx::Arpeggiator> engineHolding(int held, int skip) {
    auto arp = std::make_unique<vlx::Arpeggiator>();
    arp->vlx(std::make_shared<NullHost>());
    arp->Init(kStart, 240, 1, vlx::Arpeggiator::Normal, 3, vlx::Arpeggiator::CycleUpDown);
    for (int note = 0; note < held; ++note)
        if (note != skip) arp->Add(kStart, 0, static_cast<std::uint8_t>(note), 100);
    return arp;
}

std::string stepsLabel(const vlx::Arpeggiator& arp) { return std::to_string(arp.seqCount()) + " steps"; }

// The timer loop's call while nothing is due: the common case.
void BM_MaybeTriggerIdle(benchmark::State& state) {
    const auto arp = engineHolding(static_cast<int>(state.range(0)), -1);
    for (auto _ : state) benchmark::DoNotOptimize(arp->MaybeTrigger(kStart));
    state.SetLabel(stepsLabel(*arp));
    state.SetComplexityN(state.range(0));
}

// Every call sends the previous step's note-off and the next step's note-on
// and queues both a cycle later: the busiest call.
void BM_MaybeTriggerSending(benchmark::State& state) {
    const auto arp = engineHolding(static_cast<int>(state.range(0)), -1);
    const auto& onQ = *arp->NoteOnQ();
    for (auto _ : state) benchmark::DoNotOptimize(arp->MaybeTrigger(onQ.Peek()->Trigger));
    state.SetLabel(stepsLabel(*arp));
    state.SetComplexityN(state.range(0));
}

using Clock = std::chrono::steady_clock;

// A key pressed with range(0) notes held afterwards: insert and rebuild.
void BM_Add(benchmark::State& state) {
    const int held = static_cast<int>(state.range(0));
    const int key = held / 2;
    const auto arp = engineHolding(held, key);
    for (auto _ : state) {
        const auto begin = Clock::now();
        arp->Add(kStart, 0, static_cast<std::uint8_t>(key), 100);
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - begin).count());
        arp->Remove(0, static_cast<std::uint8_t>(key));
    }
    arp->Add(kStart, 0, static_cast<std::uint8_t>(key), 100);
    state.SetLabel(stepsLabel(*arp));
    state.SetComplexityN(held);
}

// A key released from range(0) held notes: its steps leave all three queues.
void BM_Remove(benchmark::State& state) {
    const int held = static_cast<int>(state.range(0));
    const int key = held / 2;
    const auto arp = engineHolding(held, -1);
    for (auto _ : state) {
        const auto begin = Clock::now();
        arp->Remove(0, static_cast<std::uint8_t>(key));
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - begin).count());
        arp->Add(kStart, 0, static_cast<std::uint8_t>(key), 100);
    }
    state.SetLabel(stepsLabel(*arp));
    state.SetComplexityN(held);
}

void heldSizes(benchmark::internal::Benchmark* b) {
    for (int held : {1, 11, 64, 127}) b->Arg(held);
    b->Complexity();
}

BENCHMARK(BM_MaybeTriggerIdle)->Apply(heldSizes);
BENCHMARK(BM_MaybeTriggerSending)->Apply(heldSizes);
BENCHMARK(BM_Add)->Apply(heldSizes)->UseManualTime();
BENCHMARK(BM_Remove)->Apply(heldSizes)->UseManualTime();

}  // namespace

BENCHMARK_MAIN();
