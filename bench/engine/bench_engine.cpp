// SPDX-License-Identifier: GPL-3.0-or-later
// What the engine costs per timer-loop call and per key, for growing numbers
// of held notes over 3 octaves in Up-Down order (2 x notes x 3 - 2 steps).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

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

// Every key of every channel held (the player's most, over 3 octaves), then
// all of them let go in one cycle: channel by channel upward (range(0) 0)
// or in a shuffled order (1). The time is the releases and the sweep of
// their steps that the next call makes; per_release_us is one release's
// share of it.
void BM_ReleaseAll(benchmark::State& state) {
    constexpr int kKeys = 16 * 128;
    std::vector<std::pair<std::uint8_t, std::uint8_t>> keys;
    for (int chan = 0; chan < 16; ++chan)
        for (int note = 0; note < 128; ++note) keys.emplace_back(chan, note);
    if (state.range(0) == 1) std::shuffle(keys.begin(), keys.end(), std::mt19937(2048));
    const auto host = std::make_shared<NullHost>();
    double seconds = 0;
    for (auto _ : state) {
        vlx::Arpeggiator arp;
        arp.Reserve(kKeys, 3);
        arp.vlx(host);
        arp.Init(kStart, 240, 1, vlx::Arpeggiator::Normal, 3, vlx::Arpeggiator::CycleUpDown);
        for (const auto& [chan, note] : keys) arp.Hold(chan, note, 100);
        arp.Retrigger(kStart);
        arp.MaybeTrigger(kStart + 5);  // the first step sounds
        const auto begin = Clock::now();
        for (const auto& [chan, note] : keys) arp.Release(chan, note);
        arp.MaybeTrigger(kStart + 6);
        const double took = std::chrono::duration<double>(Clock::now() - begin).count();
        state.SetIterationTime(took);
        seconds += took;
        if (!arp.IsEmpty()) state.SkipWithError("keys left held");
    }
    state.counters["per_release_us"] = seconds / static_cast<double>(state.iterations()) / kKeys * 1e6;
    state.SetLabel(state.range(0) == 1 ? "shuffled" : "by channel");
}

void heldSizes(benchmark::internal::Benchmark* b) {
    for (int held : {1, 11, 64, 127}) b->Arg(held);
    b->Complexity();
}

BENCHMARK(BM_MaybeTriggerIdle)->Apply(heldSizes);
BENCHMARK(BM_MaybeTriggerSending)->Apply(heldSizes);
BENCHMARK(BM_Add)->Apply(heldSizes)->UseManualTime();
BENCHMARK(BM_Remove)->Apply(heldSizes)->UseManualTime();
BENCHMARK(BM_ReleaseAll)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
