// Timing run of the JACK host's output: notes sent on the host's own clock on
// a 1/32 grid at 140 bpm, through a private dummy server, recorded by a
// tester client with absolute frame times. Prints latency and jitter per
// period size; passes or fails on nothing but errors.
//
//   bench_host_timing [--notes N]      (default 2000 notes, about 107 s per period size)
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "host/jack/JackHost.h"
#include "tests/support/JackServer.h"
#include "tests/support/JackTester.h"

namespace {

using namespace std::chrono_literals;

constexpr int kRate = 48000;
constexpr double kStepMs = 60000.0 / 140.0 / 8.0;  // a 32nd note at 140 bpm

struct Sent {
    std::int64_t stampUs;  // steady clock, taken right before SendMidiMessage
    std::int64_t callUs;   // how long the call took, preemption included
    std::uint8_t status, key;
};

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    const auto i = static_cast<std::size_t>(std::lround(p * static_cast<double>(v.size() - 1)));
    return v[i];
}

void run(int period, int notes) {
    vlx::test::JackServer server(kRate, period);
    server.makeDefault();
    auto lock = vlx::test::JackServer::lockClientOpens();  // see JackServer.h
    vlx::host::JackHost host;
    lock.reset();
    vlx::test::JackTester tester(server.name(), "bench");
    tester.connectRecordFrom("VLXArp:out");
    tester.waitCycles(8);

    // Note-on on the grid, its note-off half a step later; each sent when the
    // host's clock reaches it, as the program's timer loop does.
    std::vector<Sent> sent;
    sent.reserve(static_cast<std::size_t>(2 * notes));
    const auto cyclesBefore = host.cycles();
    const auto runStart = std::chrono::steady_clock::now();
    const std::int32_t t0 = host.HostTime() + 20;
    const auto hostStart = std::chrono::steady_clock::now() - std::chrono::milliseconds(host.HostTime());
    for (int k = 0; k < notes; ++k) {
        const auto key = static_cast<std::uint8_t>(48 + k % 24);
        for (int half = 0; half < 2; ++half) {
            const auto due = t0 + static_cast<std::int32_t>(std::lround((k + 0.5 * half) * kStepMs));
            std::this_thread::sleep_until(hostStart + std::chrono::milliseconds(due) - 2ms);
            while (host.HostTime() < due) {
            }
            const std::uint8_t status = half == 0 ? 0x90 : 0x80;
            const std::int64_t before = vlx::host::steadyMicros();
            host.SendMidiMessage(-1, status, key, half == 0 ? 100 : 0);
            sent.push_back({before, vlx::host::steadyMicros() - before, status, key});
        }
    }
    const double runSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - runStart).count();
    const auto cyclesRun = host.cycles() - cyclesBefore;
    if (!tester.waitRecorded(sent.size(), 5s)) std::printf("  missing messages!\n");
    const auto& recorded = tester.recorded();

    // Pair each recorded message with the send it came from; order is kept,
    // so a message the server lost only shifts the pairing.
    std::vector<Sent> sentPaired;
    std::vector<vlx::test::RecordedMidi> rec;
    std::size_t next = 0, unmatched = 0;
    for (const auto& r : recorded) {
        std::size_t j = next;
        while (j < sent.size() && !(r.bytes.size() == 3 && r.bytes[0] == sent[j].status && r.bytes[1] == sent[j].key))
            ++j;
        if (j == sent.size()) {
            ++unmatched;
            continue;
        }
        sentPaired.push_back(sent[j]);
        rec.push_back(r);
        next = j + 1;
    }
    const std::size_t n = rec.size();
    const std::size_t mismatched = unmatched + (sent.size() - n);

    std::vector<double> latencyMs, rawMs, promptLatencyMs;
    for (std::size_t i = 0; i < n; ++i) {
        latencyMs.push_back(static_cast<double>(rec[i].steadyUsecs - sentPaired[i].stampUs) / 1000.0);
        // A call preempted on the way stamped its message later than we saw.
        if (sentPaired[i].callUs < 50) promptLatencyMs.push_back(latencyMs.back());
        // Independent of JACK's time estimate: frame count against send time.
        rawMs.push_back(static_cast<double>(rec[i].frame - rec[0].frame) * 1000.0 / kRate -
                        static_cast<double>(sentPaired[i].stampUs - sentPaired[0].stampUs) / 1000.0);
    }
    auto deviations = [](const std::vector<double>& v) {
        const double median = percentile(v, 0.5);
        std::vector<double> d;
        for (double x : v) d.push_back(std::fabs(x - median));
        return std::make_pair(median, d);
    };
    const auto [median, dev] = deviations(latencyMs);
    const auto [rawMedian, rawDev] = deviations(rawMs);
    const auto [promptMedian, promptDev] = deviations(promptLatencyMs);
    const double periodUs = 1e6 * period / kRate;

    std::printf("period %4d frames (%.2f ms), %zu messages sent, %zu recorded, %zu lost or out of order\n", period,
                periodUs / 1000.0, sent.size(), recorded.size(), mismatched);
    std::printf("  latency median %.3f ms (one period + margin of %lld frames = %.3f ms)\n", median,
                static_cast<long long>(host.marginFrames()),
                (static_cast<double>(period) + static_cast<double>(host.marginFrames())) * 1000.0 / kRate);
    std::printf("  jitter |latency - median|: p50 %.3f ms, p99 %.3f ms, max %.3f ms\n", percentile(dev, 0.5),
                percentile(dev, 0.99), *std::max_element(dev.begin(), dev.end()));
    std::printf("  the same over the %zu calls not preempted (under 50 us): median %.3f ms, p50 %.3f ms, p99 %.3f ms, max %.3f ms\n",
                promptDev.size(), promptMedian, percentile(promptDev, 0.5), percentile(promptDev, 0.99),
                *std::max_element(promptDev.begin(), promptDev.end()));
    std::printf("  jitter by frame count (no time estimate): p50 %.3f ms, p99 %.3f ms, max %.3f ms (drift median %.3f ms)\n",
                percentile(rawDev, 0.5), percentile(rawDev, 0.99), *std::max_element(rawDev.begin(), rawDev.end()),
                rawMedian);
    std::printf("  late sends %llu, dropped %llu, callback ran at most %lld us ahead of its cycle's start\n",
                static_cast<unsigned long long>(host.lateSends()), static_cast<unsigned long long>(host.droppedSends()),
                static_cast<long long>(host.worstEarlyStartMicros()));
    std::printf("  callback worst %lld us = %.1f%% of the period; server ran %llu cycles of %.0f due (fewer: it stalled)\n",
                static_cast<long long>(host.worstCallbackMicros()),
                100.0 * static_cast<double>(host.worstCallbackMicros()) / periodUs,
                static_cast<unsigned long long>(cyclesRun), runSeconds * kRate / period);
    // The worst few, to tell a slow call from a slow cycle.
    std::vector<std::size_t> order(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return dev[a] > dev[b]; });
    std::printf("  worst:");
    for (std::size_t j = 0; j < std::min<std::size_t>(5, n); ++j)
        std::printf(" #%zu %+.3f ms (call %lld us)", order[j], latencyMs[order[j]] - median,
                    static_cast<long long>(sentPaired[order[j]].callUs));
    std::printf("\n");
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    int notes = 2000;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--notes") == 0) notes = std::max(2, std::atoi(argv[i + 1]));
    std::printf("JACK host timing: %d notes on a 1/32 grid at 140 bpm (%.2f ms), 48 kHz dummy server\n", notes,
                kStepMs);
    try {
        for (int period : {256, 1024}) run(period, notes);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_host_timing: %s\n", e.what());
        return 1;
    }
    return 0;
}
