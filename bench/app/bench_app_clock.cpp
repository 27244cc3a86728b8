// SPDX-License-Identifier: GPL-3.0-or-later
// Figures of the program following a MIDI clock on private JACK servers
// (dummy driver, 48 kHz). Prints; passes or fails nothing on timing.
//
// A JackTester plays Start, a chord of three keys and the clock's ticks at
// exact frames into VLXArp:in; a separate client records VLXArp:out. The
// program follows the clock in 16ths (a step every 6 ticks), Normal sustain,
// Up, Divert Input checked. For every step:
//   onset error: its note-on's frame minus its tick's frame (the player
//     writes in the cycle the tick arrives in, on the tick's frame: 0 is
//     exact);
//   jitter: the same against the median delay;
//   length: how long it sounded minus what the sustain rule gives for the
//     real step (2/3 of it, less 2 ms): how well the measured tick interval
//     follows the clock.
// At 256 and 1024 frames: 4 bars at a steady 120 bpm, then 8 bars ramping
// from 100 to 160 bpm.
//
// VLX_BENCH_PERIODS picks some of "256 1024"; VLX_BENCH_BARS scales the
// steady run in bars (4; the ramp has twice as many); VLX_BENCH_LOAD=compile
// runs two C++ compiles in a loop beside it.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

#include "app/ClockSession.h"
#include "bench/BenchFigures.h"
#include "support/JackServer.h"

namespace {

using namespace vlx::test;
using namespace vlx::bench;

void report(const char* what, const ClockRun& run, double rate) {
    const double msPerFrame = 1000.0 / rate;
    const std::size_t steps = (run.ticks.size() + 5) / 6;
    std::printf(" %s: %zu ticks, %zu step ticks, %zu note-ons, %d note-offs\n", what, run.ticks.size(), steps,
                run.ons.size(), run.offs);
    const auto delays = stepDelays(run, 6);
    std::vector<double> errors, signedErrors, jitter, lengths;
    std::vector<std::int32_t> sorted = delays;
    std::sort(sorted.begin(), sorted.end());
    const double median = sorted.empty() ? 0 : sorted[sorted.size() / 2];
    for (std::int32_t d : delays) {
        errors.push_back(d * msPerFrame);
        jitter.push_back((d - median) * msPerFrame);
    }
    double mean = 0;
    for (double e : errors) mean += e / static_cast<double>(std::max<std::size_t>(1, errors.size()));
    for (std::size_t i = 0; i + 1 < run.ons.size() && (i + 1) * 6 < run.ticks.size(); ++i) {
        if (run.lengths[i] < 0) continue;
        const double step = (run.ticks[(i + 1) * 6] - run.ticks[i * 6]) * msPerFrame;
        lengths.push_back(run.lengths[i] * msPerFrame - (std::round(step * 2 / 3) - 2));
    }
    printSpread("onset error (against the tick):", spreadOf(errors));
    std::printf("  %-38s %+.3f ms; median delay %.3f ms\n", "mean onset error:", mean, median * msPerFrame);
    printSpread("onset jitter (against median delay):", spreadOf(jitter));
    printSpread("length - sustain rule for the step:", spreadOf(lengths));
}

void session(int period, int bars, bool compiling) {
    std::optional<CompileLoops> compiles;
    if (compiling) compiles.emplace(2);
    JackServer server(48000, period);
    server.makeDefault();
    const auto config = clockConfig("bench");
    ChildProgram program(VLX_ARMED_PROGRAM, {"QT_QPA_PLATFORM=offscreen", "XDG_CONFIG_HOME=" + config.string()});
    if (program.waitFor("armed", 20'000).empty()) throw std::runtime_error("the program did not come up armed");
    JackTester tester(server.name());
    tester.connectPlayTo("VLXArp:in");
    tester.connectRecordFrom("VLXArp:out");
    tester.waitCycles(4);
    const double rate = tester.sampleRate();
    std::printf("\n== period %d frames (%.2f ms) at 48 kHz, jackd dummy%s; load average before: %s\n", period,
                period * 1000.0 / rate, compiling ? ", two C++ compiles in a loop beside it" : "",
                loadAverage().c_str());
    report("steady 120 bpm", playClock(tester, {60, 64, 67}, tickFrames(rate, 120, 120, 96 * bars)), rate);
    report("ramp 100 -> 160 bpm", playClock(tester, {60, 64, 67}, tickFrames(rate, 100, 160, 96 * 2 * bars)), rate);
    std::printf("  exit status %d; load average after: %s\n", program.terminate(10'000), loadAverage().c_str());
    std::fflush(stdout);
    std::filesystem::remove_all(config);
}

}  // namespace

int main() {
    const char* periods = std::getenv("VLX_BENCH_PERIODS");
    const char* barsText = std::getenv("VLX_BENCH_BARS");
    const int bars = barsText ? std::max(1, std::atoi(barsText)) : 4;
    const char* load = std::getenv("VLX_BENCH_LOAD");
    const bool compiling = load && std::string(load) == "compile";
    std::printf("bench_app_clock on %u cores, load average at start %s\n", std::thread::hardware_concurrency(),
                loadAverage().c_str());
    for (int period : {256, 1024})
        if (!periods || std::string(periods).find(std::to_string(period)) != std::string::npos) session(period, bars, compiling);
}
