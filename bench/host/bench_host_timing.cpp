// Timing of the JACK host's output for an arpeggio: 7 held notes in 32nds at
// 240 bpm (a step every 31 ms; its note-on, and its note-off 19 ms later at
// normal sustain), each sent through SendMidiMessageAt when the host's clock
// reaches it, as the program's pump does. A private dummy server per run; a
// recorder client (no path back into the host) notes the frame of every
// message. Prints figures per period and load case; fails on nothing but
// errors.
//
//   bench_host_timing [--seconds S] [--periods 256,1024] [--cases a,b,c,call] [--margin-frames N]
//
// Cases: a quiet; b a third of the sends delayed by a random 0-3 ms (a late
// pump); c two busy processes beside it;
// call as a but every message stamped at its call (SendMidiMessage), for
// comparison.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchFigures.h"
#include "host/jack/JackHost.h"
#include "tests/support/HostMillis.h"
#include "tests/support/JackServer.h"
#include "tests/support/JackTester.h"

namespace {

using namespace std::chrono_literals;
using namespace vlx::bench;
using vlx::host::steadyMicros;

constexpr int kRate = 48000;
constexpr std::int32_t kStepMs = 31;    // a 32nd at 240 bpm, in whole host milliseconds
constexpr std::int32_t kLengthMs = 19;  // normal sustain
constexpr std::uint8_t kChord[7] = {60, 62, 64, 65, 67, 69, 71};

struct Options {
    int seconds = 12;
    std::vector<int> periods = {256, 1024};
    std::vector<std::string> cases = {"a", "b", "c"};
    std::int64_t marginFrames = -1;
};

struct Sent {
    std::int32_t due;     // host ms
    std::int64_t dueUs;   // where that ms began (steady clock)
    std::int64_t callUs;  // when the send was made
    std::uint8_t status, key;
};

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(std::lround(p * static_cast<double>(v.size() - 1)))];
}

std::vector<double> absolute(std::vector<double> v) {
    for (double& x : v) x = std::fabs(x);
    return v;
}

void printSpread(const char* what, const std::vector<double>& signedMs) {
    const auto a = absolute(signedMs);
    std::printf("  %-34s |p50| %.3f  p99 %.3f  max %.3f ms  (median %+.3f ms, n %zu)\n", what, percentile(a, 0.5),
                percentile(a, 0.99), a.empty() ? 0.0 : *std::max_element(a.begin(), a.end()),
                percentile(signedMs, 0.5), signedMs.size());
}

void run(int period, const std::string& loadCase, const Options& options) {
    const bool late = loadCase == "b";
    const bool atCall = loadCase == "call";
    std::unique_ptr<BusyProcesses> busy;
    if (loadCase == "c") busy = std::make_unique<BusyProcesses>(2);
    const std::string loadBefore = loadAverage();

    vlx::test::JackServer server(kRate, period);
    server.makeDefault();
    auto lock = vlx::test::JackServer::lockClientOpens();  // see JackServer.h
    vlx::host::JackHost::Options hostOptions;
    hostOptions.marginFrames = options.marginFrames;
    vlx::host::JackHost host(hostOptions);
    lock.reset();
    vlx::test::JackTester recorder(server.name(), "bench");
    recorder.connectRecordFrom("VLXArp:out");
    recorder.waitCycles(8);

    const std::int64_t startUs = vlx::test::hostMillisecondZeroMicros(host);
    std::mt19937 random(static_cast<unsigned>(period));
    std::uniform_int_distribution<int> delayUs(0, 3000);
    std::bernoulli_distribution delayThis(1.0 / 3);

    // The schedule: note-on of step k at t0 + 31 k, its note-off 19 ms later.
    const std::int32_t t0 = host.HostTime() + 50;
    const int steps = options.seconds * 1000 / kStepMs;
    std::vector<Sent> sent;
    sent.reserve(static_cast<std::size_t>(2 * steps));
    const auto cpuBefore = host.processThreadCpuMicros();
    const auto cyclesBefore = host.cycles();
    const std::int64_t runStart = steadyMicros();
    for (int k = 0; k < steps; ++k) {
        const std::uint8_t key = kChord[k % 7];
        for (int off = 0; off < 2; ++off) {
            const std::int32_t due = t0 + k * kStepMs + off * kLengthMs;
            const std::int64_t dueUs = startUs + static_cast<std::int64_t>(due) * 1000;
            const std::int64_t wake = dueUs + (late && delayThis(random) ? delayUs(random) : 0);
            vlx::test::sleepUntilMicros(wake);
            const std::uint8_t status = off ? 0x80 : 0x90;
            const std::int64_t callUs = steadyMicros();
            if (atCall)
                host.SendMidiMessage(-1, status, key, off ? 0 : 100);
            else
                host.SendMidiMessageAt(due, -1, status, key, off ? 0 : 100);
            sent.push_back({due, dueUs, callUs, status, key});
        }
    }
    const double runSeconds = static_cast<double>(steadyMicros() - runStart) / 1e6;
    const auto cpuUs = host.processThreadCpuMicros() - cpuBefore;
    const auto cyclesRun = host.cycles() - cyclesBefore;
    if (!recorder.waitRecorded(sent.size(), 5s)) std::printf("  messages missing!\n");
    recorder.waitCycles(4);
    const auto& recorded = recorder.recorded();

    // Pair each recorded message with its send; order is kept.
    std::vector<std::size_t> sentOf;
    std::size_t next = 0, unmatched = 0;
    for (const auto& r : recorded) {
        std::size_t j = next;
        while (j < sent.size() && !(r.bytes.size() == 3 && r.bytes[0] == sent[j].status && r.bytes[1] == sent[j].key))
            ++j;
        if (j == sent.size()) {
            ++unmatched;
            sentOf.push_back(sent.size());
            continue;
        }
        sentOf.push_back(j);
        next = j + 1;
    }

    const double latencyMs = static_cast<double>(host.latencyFrames()) * 1000.0 / kRate;
    // Onsets against their due times: by JACK's time estimate of the frame,
    // less the host's constant latency; and by frame count alone (no time
    // estimate), less its median.
    std::vector<double> onsetMs, onsetFramesMs, onsetPromptMs, intervalMs, lengthMs, callLateMs;
    const vlx::test::RecordedMidi* firstOn = nullptr;
    const Sent* firstOnSent = nullptr;
    const vlx::test::RecordedMidi* previousOn = nullptr;
    const vlx::test::RecordedMidi* lastOn = nullptr;
    for (std::size_t i = 0; i < recorded.size(); ++i) {
        if (sentOf[i] == sent.size()) continue;
        const auto& r = recorded[i];
        const Sent& s = sent[sentOf[i]];
        if (s.status == 0x90) {
            onsetMs.push_back(static_cast<double>(r.steadyUsecs - s.dueUs) / 1000.0 - latencyMs);
            if (s.callUs - s.dueUs <= host.lateToleranceMicros()) onsetPromptMs.push_back(onsetMs.back());
            if (!firstOn) {
                firstOn = &r;
                firstOnSent = &s;
            }
            onsetFramesMs.push_back(static_cast<double>(static_cast<std::int64_t>(r.frame - firstOn->frame)) * 1000.0 / kRate -
                                    static_cast<double>(s.due - firstOnSent->due));
            if (previousOn) intervalMs.push_back(static_cast<double>(r.frame - previousOn->frame) * 1000.0 / kRate - kStepMs);
            previousOn = lastOn = &r;
        } else if (lastOn) {
            lengthMs.push_back(static_cast<double>(static_cast<std::int64_t>(r.frame - lastOn->frame)) * 1000.0 / kRate - kLengthMs);
        }
    }
    const double frameMedian = percentile(onsetFramesMs, 0.5);
    for (double& ms : onsetFramesMs) ms -= frameMedian;
    for (const Sent& s : sent) callLateMs.push_back(static_cast<double>(s.callUs - s.dueUs) / 1000.0);
    const auto beyond = std::count_if(callLateMs.begin(), callLateMs.end(), [&](double ms) {
        return ms * 1000.0 > static_cast<double>(host.lateToleranceMicros());
    });

    const double periodMs = 1000.0 * period / kRate;
    std::printf("\nperiod %d frames (%.2f ms), case %s, %.1f s, %zu sent, %zu recorded, %zu unmatched, %zu missing\n",
                period, periodMs, loadCase.c_str(), runSeconds, sent.size(), recorded.size(), unmatched,
                sent.size() - (recorded.size() - unmatched));
    std::printf("  load average before %s, after %s\n", loadBefore.c_str(), loadAverage().c_str());
    std::printf("  constant latency %lld frames = %.3f ms (period + margin %lld frames); late tolerance %.3f ms\n",
                static_cast<long long>(host.latencyFrames()), latencyMs, static_cast<long long>(host.marginFrames()),
                static_cast<double>(host.lateToleranceMicros()) / 1000.0);
    printSpread("sends after their due ms began", callLateMs);
    std::printf("  %-34s %lld of %zu\n", "sends later than the tolerance", static_cast<long long>(beyond), sent.size());
    printSpread("onset - due - latency (JACK time)", onsetMs);
    printSpread("  of steps sent within tolerance", onsetPromptMs);
    printSpread("onset - due (frame count, - median)", onsetFramesMs);
    printSpread("interval - 31 ms", intervalMs);
    printSpread("length - 19 ms", lengthMs);
    std::printf("  late sends %llu, missed cycles %llu, repeated cycles %llu, dropped sends %llu\n",
                static_cast<unsigned long long>(host.lateSends()), static_cast<unsigned long long>(host.missedCycles()),
                static_cast<unsigned long long>(host.repeatedCycles()),
                static_cast<unsigned long long>(host.droppedSends()));
    std::printf("  host JACK thread CPU %.3f %% of a core (%lld us over %.1f s); callback worst %lld us; "
                "ran at most %lld us ahead of its cycle; %llu callbacks for %.0f cycles due\n",
                cpuUs >= 0 ? 100.0 * static_cast<double>(cpuUs) / (runSeconds * 1e6) : -1.0,
                static_cast<long long>(cpuUs), runSeconds, static_cast<long long>(host.worstCallbackMicros()),
                static_cast<long long>(host.worstEarlyStartMicros()), static_cast<unsigned long long>(cyclesRun),
                runSeconds * kRate / period);
    std::fflush(stdout);
}

std::vector<std::string> split(const std::string& s) {
    std::vector<std::string> out;
    std::stringstream in(s);
    for (std::string item; std::getline(in, item, ',');)
        if (!item.empty()) out.push_back(item);
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        if (flag == "--seconds") {
            options.seconds = std::max(1, std::atoi(argv[i + 1]));
        } else if (flag == "--periods") {
            options.periods.clear();
            for (const auto& p : split(argv[i + 1])) options.periods.push_back(std::atoi(p.c_str()));
        } else if (flag == "--cases") {
            options.cases = split(argv[i + 1]);
        } else if (flag == "--margin-frames") {
            options.marginFrames = std::atoll(argv[i + 1]);
        } else {
            std::fprintf(stderr, "bench_host_timing: unknown option %s\n", flag.c_str());
            return 2;
        }
    }
    std::printf("JACK host timing: 7 held notes, 32nds at 240 bpm (a step every %d ms, note %d ms), %d s per run,\n"
                "48 kHz private dummy server, steps sent through SendMidiMessageAt when due, recorded by a separate client.\n"
                "Cases: a quiet; b a third of the sends 0-3 ms late; c two busy processes; call: stamped at the call.\n"
                "%u cores.\n",
                kStepMs, kLengthMs, options.seconds, std::thread::hardware_concurrency());
    try {
        for (const auto& loadCase : options.cases)
            for (const int period : options.periods) run(period, loadCase, options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_host_timing: %s\n", e.what());
        return 1;
    }
    return 0;
}
