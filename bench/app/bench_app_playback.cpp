// Figures of the running program on a private JACK server (dummy driver,
// 48 kHz, 256 frames). Prints; passes or fails nothing on timing.
//
//  1. CPU over 30 s while arpeggiating a held chord in 32nd notes at 240 bpm,
//     and the lateness of every scheduled note: the host millisecond it went
//     out in minus its due time.
//  2. CPU over 30 s of the idle program (arpeggiation off).
//  3. A one-minute fuzz run through VLXArp:in: random messages of every
//     status in bursts, arpeggiation switched on and off at random; then all
//     keys released and arpeggiation off. Counts the input the window
//     received against what was sent while it was on, and what the host let
//     through while it was off; checks that nothing is left sounding and that
//     the program exits cleanly.
//
// VLX_BENCH_SECONDS scales the 30 s and 60 s runs (for a quick look).
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <thread>

#include "app/ChildProgram.h"
#include "support/JackServer.h"
#include "support/JackTester.h"

namespace {

namespace fs = std::filesystem;
using vlx::test::ChildProgram;
using vlx::test::JackServer;
using vlx::test::JackTester;
using namespace std::chrono_literals;

// CPU time of a process, or of one of its threads (the main thread has the
// process's id).
double cpuSeconds(const std::string& statPath) {
    std::ifstream stat(statPath);
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) utime = std::stoull(field);
        if (i == 15) stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

struct CpuShare {
    double process = 0;      // percent of one core, all threads
    double mainThread = 0;   // the window's thread: event loop and playback loop
};

CpuShare cpuPercentOver(pid_t pid, std::chrono::seconds span) {
    const std::string all = "/proc/" + std::to_string(pid) + "/stat";
    const std::string main = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/stat";
    const double allBefore = cpuSeconds(all), mainBefore = cpuSeconds(main);
    const auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(span);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return {100.0 * (cpuSeconds(all) - allBefore) / wall, 100.0 * (cpuSeconds(main) - mainBefore) / wall};
}

fs::path makeConfig(const std::string& tag, const std::string& values) {
    const fs::path dir = fs::temp_directory_path() / ("vlxarp-bench-" + tag + "-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "Veloxa");
    std::ofstream(dir / "Veloxa" / "VLXArp.reg") << "[HKEY_CURRENT_USER\\Software\\Veloxa\\VLXArp]\n" << values;
    return dir;
}

std::vector<std::string> envFor(const fs::path& config, const std::string& extra = {}) {
    std::vector<std::string> env = {"QT_QPA_PLATFORM=offscreen", "XDG_CONFIG_HOME=" + config.string()};
    if (!extra.empty()) env.push_back(extra);
    return env;
}

void playback(const JackServer& server, std::chrono::seconds span) {
    const fs::path config = makeConfig("play", "\"Tempo\"=dword:000000f0\n\"Resolution\"=\"32nd\"\n"
                                               "\"Cycle\"=\"Up-Down\"\n\"Divert\"=dword:00000001\n");
    const fs::path report = config / "lateness.txt";
    ChildProgram program(VLX_ARMED_PROGRAM, envFor(config, "VLX_LATENESS_REPORT=" + report.string()));
    if (program.waitFor("armed", 20'000).empty()) throw std::runtime_error("the program did not come up armed");
    JackTester tester(server.name());
    tester.connectPlayTo("VLXArp:in");
    tester.connectRecordFrom("VLXArp:out");
    for (std::uint8_t key : {60, 64, 67, 72}) tester.play({0x90, key, 100});
    std::this_thread::sleep_for(1s);
    const CpuShare cpu = cpuPercentOver(program.pid(), span);
    const std::size_t sent = tester.recorded().size();
    for (std::uint8_t key : {60, 64, 67, 72}) tester.play({0x80, key, 0});
    tester.waitCycles(10);
    const int status = program.terminate(10'000);

    std::map<int, long> lateness;
    long notes = 0, onTime = 0;
    std::ifstream in(report);
    int ms = 0;
    long count = 0;
    while (in >> ms >> count) {
        lateness[ms] = count;
        notes += count;
        if (ms == 0) onTime = count;
    }
    std::printf("arpeggiating 32nds at 240 bpm (31 ms steps), 4 held keys, %lld s:\n",
                static_cast<long long>(span.count()));
    std::printf("  CPU of the program: %.2f %% of one core (window thread %.2f %%, the rest the host's threads)\n",
                cpu.process, cpu.mainThread);
    std::printf("  messages recorded at VLXArp:out during the run: %zu\n", sent);
    std::printf("  lateness of %ld scheduled notes (host ms sent - due):", notes);
    for (const auto& [late, n] : lateness) std::printf("  %d ms: %ld", late, n);
    std::printf("\n  on time: %.3f %%; exit status %d\n", notes ? 100.0 * onTime / notes : 0.0, status);
    fs::remove_all(config);
}

void idle(std::chrono::seconds span) {
    const fs::path config = makeConfig("idle", "");
    ChildProgram program(VLX_PROGRAM, envFor(config));
    std::this_thread::sleep_for(2s);
    const CpuShare cpu = cpuPercentOver(program.pid(), span);
    const int status = program.terminate(10'000);
    std::printf("idle, arpeggiation off, %lld s: CPU %.2f %% of one core (window thread %.2f %%); exit status %d\n",
                static_cast<long long>(span.count()), cpu.process, cpu.mainThread, status);
    fs::remove_all(config);
}

std::vector<std::uint8_t> randomMessage(std::mt19937& rng) {
    std::uniform_int_distribution<int> byte(0, 127);
    std::uniform_int_distribution<int> status(0x80, 0xFF);
    int s = status(rng);
    while (s == 0xF0 || s == 0xF7) s = status(rng);  // system exclusive is routed whole, never raised
    std::size_t length = 3;
    if ((s >= 0xC0 && s < 0xE0) || s == 0xF1 || s == 0xF3) length = 2;
    if (s >= 0xF4) length = 1;
    std::vector<std::uint8_t> m{static_cast<std::uint8_t>(s)};
    while (m.size() < length) m.push_back(static_cast<std::uint8_t>(byte(rng)));
    return m;
}

void fuzz(const JackServer& server, std::chrono::seconds span) {
    const fs::path config = makeConfig("fuzz", "\"Tempo\"=dword:000000f0\n\"Resolution\"=\"32nd\"\n"
                                               "\"Cycle\"=\"Random\"\n\"Divert\"=dword:00000001\n"
                                               "\"Retrigger\"=dword:00000001\n");
    ChildProgram program(VLX_ARMED_PROGRAM, envFor(config));
    if (program.waitFor("armed", 20'000).empty()) throw std::runtime_error("the program did not come up armed");
    JackTester tester(server.name());
    tester.connectPlayTo("VLXArp:in");
    tester.connectRecordFrom("VLXArp:out");
    tester.waitCycles(2);

    std::mt19937 rng(20261207);
    bool on = true;
    long sentOn = 0, sentOff = 0, raisedOn = 0, thruOff = 0, toggles = 0, bursts = 0, mismatches = 0;
    long thruDropped = 0;
    auto raisedNow = [&] {
        program.send("count");
        const std::string line = program.waitFor("raised ", 5000);
        if (line.empty()) return -1L;
        long raised = -1;
        std::sscanf(line.c_str(), "raised %ld thru-dropped %ld", &raised, &thruDropped);
        return raised;
    };
    long raisedBase = raisedNow();
    const auto end = std::chrono::steady_clock::now() + span;
    while (std::chrono::steady_clock::now() < end) {
        if (std::uniform_int_distribution<int>(0, 5)(rng) == 0) {
            program.send("toggle");
            const std::string answer = program.waitFor(on ? "off" : "on", 5000);
            if (answer.empty()) throw std::runtime_error("toggle not answered");
            on = !on;
            ++toggles;
            tester.waitCycles(6);  // the note-offs of a switch-off are out
            raisedBase = raisedNow();
            continue;
        }
        // A burst: up to 200 messages within one cycle.
        const int n = std::uniform_int_distribution<int>(1, 200)(rng);
        const std::size_t recordedBefore = tester.recorded().size();
        const jack_nframes_t at = tester.frameNow() + tester.bufferSize();
        for (int i = 0; i < n; ++i) tester.play(randomMessage(rng), at);
        ++bursts;
        tester.waitCycles(3);
        if (on) {
            sentOn += n;
            long raised = -1;
            for (int tries = 0; tries < 100; ++tries) {
                raised = raisedNow() - raisedBase;
                if (raised >= n) break;
                std::this_thread::sleep_for(5ms);
            }
            if (raised != n) ++mismatches;
            raisedBase += raised;
            raisedOn += raised;
        } else {
            sentOff += n;
            // Off: the host itself passes every message through.
            // A stalled server delivers late, not never: wait for the burst
            // before counting, so that its tail is not counted as lost.
            long through = 0;
            for (int tries = 0; tries < 100; ++tries) {
                tester.waitCycles(2);
                through = static_cast<long>(tester.recorded().size() - recordedBefore);
                if (through >= n) break;
            }
            thruOff += through;
            if (through != n) ++mismatches;
        }
    }
    // All keys up on every channel, then arpeggiation off: once while on, for
    // the notes the window holds, and once while off, for the player's notes
    // the host passed through.
    auto releaseAll = [&] {
        for (int chan = 0; chan < 16; ++chan) {
            for (int key = 0; key < 128; ++key)
                tester.play({static_cast<std::uint8_t>(0x80 | chan), static_cast<std::uint8_t>(key), 0});
            tester.waitCycles(1);
        }
        tester.waitCycles(10);
    };
    if (!on) {
        program.send("toggle");
        program.waitFor("on", 5000);
    }
    releaseAll();
    program.send("toggle");
    program.waitFor("off", 5000);
    tester.waitCycles(4);
    releaseAll();
    raisedNow();  // the host's final count of dropped pass-through
    const int status = program.terminate(10'000);
    tester.waitCycles(4);

    // Nothing sounds: for every channel and key the last message out is not
    // a note-on.
    std::map<int, bool> sounding;
    for (const auto& m : tester.recorded()) {
        if (m.bytes.size() != 3) continue;
        const int kind = m.bytes[0] & 0xF0, id = (m.bytes[0] & 0x0F) * 128 + m.bytes[1];
        if (kind == 0x90) sounding[id] = m.bytes[2] > 0;
        if (kind == 0x80) sounding[id] = false;
    }
    long stillSounding = 0;
    for (const auto& [id, s] : sounding) stillSounding += s ? 1 : 0;
    std::printf("fuzz, %lld s: %ld bursts, %ld toggles; sent while on %ld, raised in the window %ld; "
                "sent while off %ld, passed through by the host %ld (it counted %ld it had no room for); "
                "bursts with a count mismatch %ld; keys left sounding %ld; exit status %d\n",
                static_cast<long long>(span.count()), bursts, toggles, sentOn, raisedOn, sentOff, thruOff,
                thruDropped, mismatches, stillSounding, status);
    fs::remove_all(config);
}

}  // namespace

int main() {
    const char* scale = std::getenv("VLX_BENCH_SECONDS");
    const long unit = scale ? std::max(1L, std::atol(scale)) : 30;
    JackServer server(48000, 256);
    server.makeDefault();
    // VLX_BENCH_PARTS picks some of "play idle fuzz" (all by default).
    const std::string parts = std::getenv("VLX_BENCH_PARTS") ? std::getenv("VLX_BENCH_PARTS") : "play idle fuzz";
    if (parts.find("play") != std::string::npos) playback(server, std::chrono::seconds(unit));
    if (parts.find("idle") != std::string::npos) idle(std::chrono::seconds(unit));
    if (parts.find("fuzz") != std::string::npos) fuzz(server, std::chrono::seconds(2 * unit));
}
