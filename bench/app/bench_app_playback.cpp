// SPDX-License-Identifier: GPL-3.0-or-later
// Figures of the running program on private JACK servers (dummy driver,
// 48 kHz). Prints; passes or fails nothing on timing.
//
//  1. Timing, at 256 and at 1024 frames, in three load cases: (a) quiet,
//     (b) two C++ compiles in a loop beside it (both cores busy), (c) the
//     window opening and closing a message box and its menu every second,
//     (d) the window on a busy X server (Xvfb, 640x480, whose whole screen
//     xwd captures over and over, as a screen recorder would).
//     7 held keys in 32nd notes at 240 bpm (31 ms steps, notes of 19 ms),
//     recorded by a separate JACK client in frames: onset residual against
//     the 31 ms grid, interval and length deviations, the program's CPU (all
//     threads, and the window's), and the first note's delay after the
//     chord. Then, still playing, bursts of 500 controllers within 1 ms
//     forwarded by the player (Divert Input checked), against the same
//     bursts passed through (arpeggiation off): delay from the frame played
//     in to the frame recorded out.
//  2. Stalls: the program, then the JACK server, stopped (SIGSTOP) for 1, 3
//     and 8 s while the program plays; the note-ons that come out within
//     100 ms of SIGCONT.
//  3. CPU over 30 s of the idle program (arpeggiation off).
//  5. Playing musically, with Keep the beat off and on (16ths at 120 bpm,
//     Up, Divert Input checked): a chord rolled with its keys 3, 10, 20 and
//     30 ms apart, a key added 575 ms into a held chord, and each list
//     changed in the window 560 ms into a pattern. Counts the notes struck,
//     those struck less than a step after the one before (a restart), the
//     beat's shift against the first step's grid, the note lengths, and how
//     long after a change its first step came.
//  6. A flood: as many note-ons as fit in every cycle (every key of every
//     channel, over and over) for 10 s while arpeggiating, then the keys
//     released: the program's CPU during it, how soon after it the program
//     is idle, and how long a SIGTERM takes in the middle of a second one.
//  7. The time controls ("time"): Swing at 60 % (16ths at 120 bpm, 20 s):
//     every second onset against its swung frame; Exact step lengths at
//     120 bpm in 32nds for 5 minutes (and without it, today's whole
//     milliseconds, for 60 s): each onset against the ideal grid of 3000
//     frames, with the program's CPU meanwhile; detached chord changes (all
//     keys up for 40 ms between two chords, 32 changes) with Keep the beat
//     on and off: each onset but a chord's first against the first step's
//     grid.
//  8. Split at C4 ("split"): a left-hand chord (C3 E3 G3) arpeggiated in
//     32nds at 240 bpm while a right hand plays a note from C4 up every 50 ms, each at a
//     random frame of its cycle: the delay of each right-hand message from
//     the frame played in to the frame recorded out, against the same notes
//     passed through with arpeggiation off (routed); whether the arpeggio
//     kept its grid and took none of them. Then the program's CPU while it
//     plays 7 keys as in 1 (a), every new control at its default and with
//     them on (a rhythm, repeats, octaves up and back, accents, another
//     channel out), and, when VLX_BENCH_BASE_PROGRAM names the armed program
//     of another build, that one's in turn.
//  9. Hands-free ("handsfree") control (Keep the beat on, 256 frames, 16ths at 120 bpm):
//     a preset recalled by Program Change 20 times at random moments while a
//     chord plays (two presets in turn, of other octaves, cycle, sustain and
//     resolution): the beat's shift, notes struck twice, whether each recall
//     took effect at the next step of the old grid with its own settings; a
//     controller bound to Resolution swept up and down 6 times at a random
//     pace: whether each change of entry took effect at its next step and
//     none was lost; a footswitch bound to Latch (toggling) pressed 100
//     times at random moments while a chord is pressed and released at
//     random: whether the window's Latch matches the presses after each,
//     and whether any note is left on.
//  4. A one-minute fuzz run through VLXArp:in: random messages of every
//     status in bursts, arpeggiation switched on and off at random; then all
//     keys released and arpeggiation off. Counts the input the window
//     received against what was sent while it was on, and what the host let
//     through while it was off; checks that nothing is left sounding and that
//     the program exits cleanly.
//
// VLX_BENCH_SECONDS scales the runs (timing runs last 12 s by default, the
// others 30 s and 60 s); VLX_BENCH_PARTS picks some of "timing stall idle fuzz musical flood time split handsfree";
// VLX_BENCH_TIME some of "swing exact cpu chords"; VLX_BENCH_PERIODS and VLX_BENCH_LOADS pick some of "256 1024" and
// "quiet compile popups busyx". The servers run real-time, as jackd does by
// default (it says so when the system refuses it). With VLX_TEST_JACK=pipewire and PipeWire's libjack
// (LD_LIBRARY_PATH, as pw-jack sets it) the servers are PipeWire's.
#include <unistd.h>

#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <atomic>
#include <random>
#include <sstream>
#include <thread>

#include "app/ChildProgram.h"
#include "app/XServer.h"
#include "bench/BenchFigures.h"
#include "support/JackServer.h"
#include "support/JackTester.h"

namespace {

namespace fs = std::filesystem;
using vlx::test::ChildProgram;
using vlx::test::JackServer;
using vlx::test::JackTester;
using namespace std::chrono_literals;
using namespace vlx::bench;

// CPU time a thread has run, as the scheduler counts it (nanoseconds: the
// clock ticks of /proc/<pid>/stat are too coarse for a fraction of a percent).
double runSeconds(const fs::path& task) {
    std::ifstream in(task / "schedstat");
    unsigned long long ns = 0;
    in >> ns;
    return static_cast<double>(ns) / 1e9;
}

// Of every thread of the process.
double processRunSeconds(pid_t pid) {
    double sum = 0;
    std::error_code ec;
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) sum += runSeconds(task);
    return sum;
}

struct CpuShare {
    double process = 0;      // percent of one core, all threads
    double mainThread = 0;   // the window's thread
};

CpuShare cpuPercentOver(pid_t pid, std::chrono::seconds span) {
    const fs::path main = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid);
    const double allBefore = processRunSeconds(pid), mainBefore = runSeconds(main);
    const auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(span);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return {100.0 * (processRunSeconds(pid) - allBefore) / wall, 100.0 * (runSeconds(main) - mainBefore) / wall};
}

void awaitArmed(ChildProgram& program) {
    if (program.waitFor("armed", 20'000).empty()) throw std::runtime_error("the program did not come up armed");
}

// The tester plays into the program and records what it sends.
void wireToProgram(JackTester& tester) {
    tester.connectPlayTo("VLXArp:in");
    tester.connectRecordFrom("VLXArp:out");
    tester.waitCycles(4);
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

// The delays of the controllers of one burst-run: the n-th controller recorded
// is the n-th played (the notes of the arpeggio are left aside).
std::vector<double> controllerDelays(JackTester& tester, std::size_t playedFrom, std::size_t recordedFrom) {
    std::vector<jack_nframes_t> in, out;
    const auto& played = tester.played();
    for (std::size_t i = playedFrom; i < played.size(); ++i)
        if ((played[i].bytes[0] & 0xF0) == 0xB0) in.push_back(played[i].frame);
    const auto& recorded = tester.recorded();
    for (std::size_t i = recordedFrom; i < recorded.size(); ++i)
        if ((recorded[i].bytes[0] & 0xF0) == 0xB0) out.push_back(recorded[i].frame);
    std::vector<double> delays;
    const double msPerFrame = 1000.0 / tester.sampleRate();
    for (std::size_t i = 0; i < std::min(in.size(), out.size()); ++i)
        delays.push_back(static_cast<std::int32_t>(out[i] - in[i]) * msPerFrame);
    if (in.size() != out.size()) std::printf("  (controllers played %zu, recorded %zu)\n", in.size(), out.size());
    return delays;
}

// Bursts of 500 controllers, each burst asked for one frame; returns the
// delay of every controller.
std::vector<double> bursts(JackTester& tester, int count) {
    const std::size_t playedFrom = tester.played().size(), recordedFrom = tester.recorded().size();
    for (int b = 0; b < count; ++b) {
        const jack_nframes_t at = tester.frameNow() + tester.bufferSize();
        for (int i = 0; i < 500; ++i)
            tester.play({0xB0, static_cast<std::uint8_t>(i % 120), static_cast<std::uint8_t>(i / 120)}, at);
        std::this_thread::sleep_for(250ms);
    }
    tester.waitCycles(8);
    return controllerDelays(tester, playedFrom, recordedFrom);
}

enum class Load { Quiet, Compile, Popups, BusyX };

// Opens a message box (as a refused tempo does) and then the window's menu,
// closing each after half a second, while it lives.
class Popups {
public:
    explicit Popups(ChildProgram& program) : program_(program), thread_([this] { run(); }) {}
    ~Popups() {
        stop_ = true;
        thread_.join();
    }
    long opened() const { return opened_; }

private:
    void run() {
        for (int k = 0; !stop_; ++k) {
            program_.send(k % 2 == 0 ? "box" : "menu");
            if (!program_.waitFor(k % 2 == 0 ? "box" : "menu", 5000).empty()) ++opened_;
            std::this_thread::sleep_for(500ms);
            program_.send("close-popups");
            program_.waitFor("closed", 5000);
            std::this_thread::sleep_for(500ms);
        }
    }
    ChildProgram& program_;
    std::atomic<bool> stop_{false};
    std::atomic<long> opened_{0};
    std::thread thread_;
};

void timing(int period, Load load, std::chrono::seconds span) {
    JackServer server(48000, period);
    server.makeDefault();
    const char* loadName = load == Load::Quiet     ? "(a) quiet"
                           : load == Load::Compile ? "(b) two C++ compiles in a loop beside it"
                           : load == Load::Popups  ? "(c) a message box and the menu opened and closed every second"
                                                   : "(d) the window on an X server whose screen is captured over and over";
    std::optional<CompileLoops> compiles;
    if (load == Load::Compile) compiles.emplace(2);
    std::optional<vlx::test::XServer> x;
    std::optional<ShellLoop> captures;
    if (load == Load::BusyX) {
        x.emplace();
        captures.emplace("xwd -root -silent -display " + x->display() + " > /dev/null");
    }

    const fs::path config = makeConfig("timing", "\"Tempo\"=dword:000000f0\n\"Resolution\"=\"32nd\"\n"
                                                 "\"Sustain\"=\"Normal\"\n\"Cycle\"=\"Up-Down\"\n"
                                                 "\"Divert\"=dword:00000001\n");
    std::vector<std::string> env = envFor(config);
    if (x) env = {"QT_QPA_PLATFORM=xcb", "DISPLAY=" + x->display(), "XDG_CONFIG_HOME=" + config.string()};
    ChildProgram program(VLX_ARMED_PROGRAM, env);
    awaitArmed(program);
    JackTester tester(server.name());
    wireToProgram(tester);

    const std::string loadBefore = loadAverage();
    const std::uint8_t keys[] = {48, 52, 55, 60, 64, 67, 72};
    const jack_nframes_t chordAt = tester.frameNow() + 2 * tester.bufferSize();
    for (std::uint8_t key : keys) tester.play({0x90, key, 100}, chordAt);
    tester.waitCycles(4);
    std::optional<Popups> popups;
    if (load == Load::Popups) popups.emplace(program);
    const CpuShare cpu = cpuPercentOver(program.pid(), span);
    const long popupsOpened = popups ? popups->opened() : 0;
    popups.reset();
    const std::string loadAfter = loadAverage();
    const std::size_t notesEnd = tester.recorded().size();
    const auto divertDelays = bursts(tester, 8);
    for (std::uint8_t key : keys) tester.play({0x80, key, 0});
    tester.waitCycles(6);
    program.send("toggle");
    if (program.waitFor("off", 5000).empty()) throw std::runtime_error("toggle not answered");
    tester.waitCycles(6);
    const auto routedDelays = bursts(tester, 8);
    const int status = program.terminate(10'000);

    // Notes of the timing span, in frames.
    const double rate = tester.sampleRate(), msPerFrame = 1000.0 / rate;
    jack_nframes_t chordFrame = chordAt;
    for (const auto& m : tester.played())
        if (m.bytes[0] == 0x90) chordFrame = m.frame;  // where the chord's last key really went
    std::vector<jack_nframes_t> ons, offs;
    const auto& recorded = tester.recorded();
    for (std::size_t i = 0; i < notesEnd; ++i) {
        const auto kind = recorded[i].bytes[0] & 0xF0;
        if (kind == 0x90) ons.push_back(recorded[i].frame);
        if (kind == 0x80 && !ons.empty()) offs.push_back(recorded[i].frame);
    }
    const double stepFrames = 31.0 * rate / 1000.0;
    std::vector<double> offsets, residuals, intervals, lengths;
    for (std::size_t k = 0; k < ons.size(); ++k)
        offsets.push_back(static_cast<double>(static_cast<std::int32_t>(ons[k] - ons[0])) - k * stepFrames);
    std::vector<double> sorted = offsets;
    std::sort(sorted.begin(), sorted.end());
    const double base = sorted.empty() ? 0 : sorted[sorted.size() / 2];
    long late = 0;
    for (double o : offsets) {
        residuals.push_back((o - base) * msPerFrame);
        if ((o - base) * msPerFrame > 0.5) ++late;
    }
    for (std::size_t k = 1; k < ons.size(); ++k)
        intervals.push_back(static_cast<std::int32_t>(ons[k] - ons[k - 1]) * msPerFrame - 31.0);
    for (std::size_t k = 0; k < std::min(ons.size(), offs.size()); ++k)
        lengths.push_back(static_cast<std::int32_t>(offs[k] - ons[k]) * msPerFrame - 19.0);

    std::printf("\n== period %d frames (%.2f ms) at 48 kHz, jackd dummy; %s; load average before: %s\n", period,
                period * 1000.0 / rate, loadName, loadBefore.c_str());
    std::printf("  7 keys, 32nds at 240 bpm (31 ms steps, 19 ms notes), Up-Down, %lld s; exit status %d; "
                "load average after: %s\n",
                static_cast<long long>(span.count()), status, loadAfter.c_str());
    printSpread("onset residual (grid fit):", spreadOf(residuals));
    std::printf("  onsets more than 0.5 ms late: %ld of %zu\n", late, ons.size());
    printSpread("interval deviation (from 31 ms):", spreadOf(intervals));
    printSpread("length deviation (from 19 ms):", spreadOf(lengths));
    if (load == Load::Popups) std::printf("  message boxes and menus opened meanwhile: %ld\n", popupsOpened);
    std::printf("  CPU: %.2f %% of one core (window thread %.2f %%)\n", cpu.process, cpu.mainThread);
    if (!ons.empty())
        std::printf("  first note-on %.3f ms after the chord (the pattern starts 5 ms after the chord's millisecond)\n",
                    static_cast<std::int32_t>(ons[0] - chordFrame) * msPerFrame);
    printSpread("burst of 500 CC, Divert (player):", spreadOf(divertDelays));
    printSpread("burst of 500 CC, passed through:", spreadOf(routedDelays));
    std::fflush(stdout);
    fs::remove_all(config);
}

// The program, or the JACK server, stopped (SIGSTOP) while the program
// plays, for 1, 3 and 8 s: the note-ons that come out within 100 ms of
// SIGCONT, and whether every note-on is followed by its note-off.
void stalls(bool stopServer) {
    JackServer server(48000, 256);
    server.makeDefault();
    const fs::path config = makeConfig("stall", "\"Tempo\"=dword:000000f0\n\"Resolution\"=\"32nd\"\n"
                                                "\"Cycle\"=\"Up-Down\"\n\"Divert\"=dword:00000001\n");
    ChildProgram program(VLX_ARMED_PROGRAM, envFor(config));
    awaitArmed(program);
    JackTester tester(server.name());
    wireToProgram(tester);
    const std::uint8_t keys[] = {48, 52, 55, 60, 64, 67, 72};
    for (std::uint8_t key : keys) tester.play({0x90, key, 100});
    std::printf("\n== stalls: the %s stopped while the program plays 7 keys in 32nds at 240 bpm, 256 frames; "
                "load average %s\n", stopServer ? (JackServer::kindName() + std::string(" server")).c_str() : "program",
                loadAverage().c_str());
    const pid_t stopped = stopServer ? server.pid() : program.pid();
    if (stopped <= 0) throw std::runtime_error("no process to stop");
    for (int seconds : {1, 3, 8}) {
        std::this_thread::sleep_for(1s);
        kill(stopped, SIGSTOP);
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        const std::size_t before = tester.recorded().size();
        kill(stopped, SIGCONT);
        std::this_thread::sleep_for(1s);
        // Counted from the first message out after the stall: while the
        // server stands still, so does its frame clock.
        const auto& recorded = tester.recorded();
        long burst = 0, after = 0;
        for (std::size_t i = before; i < recorded.size(); ++i) {
            if ((recorded[i].bytes[0] & 0xF0) != 0x90) continue;
            ++after;
            const auto since = static_cast<std::int32_t>(recorded[i].frame - recorded[before].frame);
            if (since < static_cast<std::int32_t>(tester.sampleRate() / 10)) ++burst;
        }
        std::printf("  stopped %d s: %ld note-ons within 100 ms of the first message after it, %ld in the second "
                    "after SIGCONT\n", seconds, burst, after);
    }
    for (std::uint8_t key : keys) tester.play({0x80, key, 0});
    tester.waitCycles(10);
    const int status = program.terminate(10'000);
    tester.waitCycles(4);
    // A note-on whose key already sounds, or one never ended, is a fault; a
    // note-off for a key that does not sound (its note-on was dropped as
    // overdue) is harmless.
    std::map<int, bool> sounding;
    long doubled = 0, lonelyOffs = 0;
    for (const auto& m : tester.recorded()) {
        if (m.bytes.size() != 3) continue;
        bool& on = sounding[m.bytes[1]];
        if ((m.bytes[0] & 0xF0) == 0x90) doubled += on ? 1 : 0, on = true;
        if ((m.bytes[0] & 0xF0) == 0x80) lonelyOffs += on ? 0 : 1, on = false;
    }
    long hanging = 0;
    for (const auto& [key, on] : sounding) hanging += on ? 1 : 0;
    std::printf("  at the end: keys left sounding %ld, note-ons for a sounding key %ld, note-offs for a silent key "
                "%ld; exit status %d\n", hanging, doubled, lonelyOffs, status);
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
    awaitArmed(program);
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

// A JACK client that, while on, fills every cycle's output with note-ons
// (then, once, note-offs for every key), as many as the buffer takes.
class FloodSender {
public:
    explicit FloodSender(const std::string& server) {
        jack_status_t status{};
        client_ = jack_client_open("flood", static_cast<jack_options_t>(JackNoStartServer | JackServerName), &status,
                                   server.c_str());
        if (!client_) throw std::runtime_error("flood: no client");
        out_ = jack_port_register(client_, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        jack_set_process_callback(client_, [](jack_nframes_t n, void* self) { return static_cast<FloodSender*>(self)->process(n); }, this);
        jack_activate(client_);
        jack_connect(client_, jack_port_name(out_), "VLXArp:in");
    }
    ~FloodSender() { jack_client_close(client_); }
    void on(bool flooding) {
        if (!flooding) releaseDue_ = true;
        flooding_ = flooding;
    }
    std::uint64_t sent() const { return sent_; }

private:
    int process(jack_nframes_t frames) {
        void* buffer = jack_port_get_buffer(out_, frames);
        jack_midi_clear_buffer(buffer);
        if (flooding_) {
            for (;; ++next_) {
                const std::uint8_t m[3] = {static_cast<std::uint8_t>(0x90 | ((next_ >> 7) & 0x0F)),
                                           static_cast<std::uint8_t>(next_ & 0x7F), 100};
                // Asked first: a refused write makes libjack say so on stderr.
                if (jack_midi_max_event_size(buffer) < 3 || jack_midi_event_write(buffer, 0, m, 3) != 0) break;
                ++sent_;
            }
        } else if (releaseDue_) {
            // Every key of every channel up, over a few cycles.
            for (; releasing_ < 16 * 128; ++releasing_) {
                const std::uint8_t m[3] = {static_cast<std::uint8_t>(0x80 | (releasing_ >> 7)),
                                           static_cast<std::uint8_t>(releasing_ & 0x7F), 0};
                if (jack_midi_max_event_size(buffer) < 3 || jack_midi_event_write(buffer, 0, m, 3) != 0) break;
            }
            if (releasing_ == 16 * 128) {
                releaseDue_ = false;
                releasing_ = 0;
            }
        }
        return 0;
    }
    jack_client_t* client_ = nullptr;
    jack_port_t* out_ = nullptr;
    std::atomic<bool> flooding_{false};
    std::atomic<bool> releaseDue_{false};
    std::atomic<std::uint64_t> sent_{0};
    unsigned next_ = 0;
    unsigned releasing_ = 0;
};

void flood() {
    JackServer server(48000, 256);
    server.makeDefault();
    const fs::path config = makeConfig("flood", "\"Tempo\"=dword:000000f0\n\"Resolution\"=\"32nd\"\n"
                                                "\"Octaves\"=\"3\"\n\"Divert\"=dword:00000001\n");
    ChildProgram program(VLX_ARMED_PROGRAM, envFor(config));
    awaitArmed(program);
    FloodSender sender(server.name());
    std::this_thread::sleep_for(500ms);
    sender.on(true);
    const CpuShare during = cpuPercentOver(program.pid(), 10s);
    sender.on(false);
    const auto stopped = std::chrono::steady_clock::now();
    // Idle: a 100 ms stretch below 5 % of a core.
    double idleAfterMs = -1;
    for (int k = 0; k < 200 && idleAfterMs < 0; ++k) {
        const double before = processRunSeconds(program.pid());
        std::this_thread::sleep_for(100ms);
        if ((processRunSeconds(program.pid()) - before) / 0.1 < 0.05)
            idleAfterMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - stopped).count() - 100;
    }
    const std::uint64_t first = sender.sent();
    sender.on(true);
    std::this_thread::sleep_for(5s);
    const auto asked = std::chrono::steady_clock::now();
    const int status = program.terminate(30'000);
    const double exitMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - asked).count();
    sender.on(false);
    std::printf("flood, 256 frames, 32nds at 240 bpm over 3 octaves: %llu note-ons in 10 s (%.0f a cycle); CPU "
                "during it %.1f %% of one core (window thread %.2f %%); idle (below 5 %% for 100 ms) %.0f ms after it; "
                "SIGTERM 5 s into a second flood answered in %.0f ms, exit status %d\n",
                static_cast<unsigned long long>(first), static_cast<double>(first) / (10.0 * 48000 / 256), during.process,
                during.mainThread, idleAfterMs, exitMs, status);
    fs::remove_all(config);
}

// The arpeggio's onsets recorded from `from` on.
std::vector<jack_nframes_t> onsetsFrom(JackTester& tester, std::size_t from) {
    std::vector<jack_nframes_t> ons;
    const auto& rec = tester.recorded();
    for (std::size_t i = from; i < rec.size(); ++i)
        if (rec[i].bytes.size() == 3 && (rec[i].bytes[0] & 0xF0) == 0x90 && rec[i].bytes[2] > 0) ons.push_back(rec[i].frame);
    return ons;
}

// Onsets against where they belong: frames off, the largest either way and
// the last (the drift), and how many exactly on.
struct Offsets {
    double largest = 0, last = 0;
    std::size_t exact = 0, count = 0;
};
template <class Ideal>
Offsets offsetsOf(const std::vector<jack_nframes_t>& ons, Ideal ideal) {
    Offsets o;
    for (std::size_t k = 0; k < ons.size(); ++k) {
        const double off = static_cast<std::int32_t>(ons[k] - ons[0]) - ideal(k);
        o.largest = std::max(o.largest, std::abs(off));
        o.last = off;
        o.exact += off == 0 ? 1 : 0;
        ++o.count;
    }
    return o;
}

// The program playing `keys` with these settings for `span`, recorded; its CPU meanwhile.
struct Take {
    std::vector<jack_nframes_t> ons;
    CpuShare cpu;
    std::string load;
};
Take playWith(const std::string& settings, const std::vector<std::uint8_t>& keys, std::chrono::seconds span) {
    JackServer server(48000, 256);
    server.makeDefault();
    const fs::path config = makeConfig("time", settings);
    // VLX_BENCH_ARMED: another build of the program, to compare with.
    const char* other = std::getenv("VLX_BENCH_ARMED");
    ChildProgram program(other ? other : VLX_ARMED_PROGRAM, envFor(config));
    awaitArmed(program);
    JackTester tester(server.name());
    wireToProgram(tester);
    Take take;
    take.load = loadAverage();
    for (std::uint8_t key : keys) tester.play({0x90, key, 100}, tester.frameNow() + 2 * tester.bufferSize());
    take.cpu = cpuPercentOver(program.pid(), span);
    for (std::uint8_t key : keys) tester.play({0x80, key, 0});
    tester.waitCycles(8);
    take.ons = onsetsFrom(tester, 0);
    program.terminate(10'000);
    fs::remove_all(config);
    return take;
}

void timeControls(long unit, const std::string& cases) {
    const std::string common = "\"Sustain\"=\"Normal\"\n\"Cycle\"=\"Up\"\n\"Divert\"=dword:00000001\n";
    if (cases.find("swing") != std::string::npos) {
        const Take t = playWith(common + "\"Tempo\"=dword:00000078\n\"Resolution\"=\"16th\"\n\"Swing\"=dword:0000003c\n",
                                {60, 64, 67}, std::chrono::seconds(std::max(10L, unit * 2 / 3)));
        // A pair of 250 ms (12000 frames), its second step at 150 ms.
        const Offsets all = offsetsOf(t.ons, [](std::size_t k) { return (k / 2) * 12000.0 + (k % 2) * 7200.0; });
        std::size_t secondExact = 0, secondCount = 0;
        for (std::size_t k = 1; k < t.ons.size(); k += 2) {
            ++secondCount;
            secondExact += static_cast<std::int32_t>(t.ons[k] - t.ons[0]) == static_cast<std::int32_t>((k / 2) * 12000 + 7200);
        }
        std::printf("time, Swing 60 %%, 16ths at 120 bpm: %zu onsets, second steps at their swung frame %zu of %zu, "
                    "largest offset %.0f frames; CPU %.2f %%; load average %s\n",
                    all.count, secondExact, secondCount, all.largest, t.cpu.process, t.load.c_str());
    }
    for (const bool exact : {true, false}) {
        if (cases.find("exact") == std::string::npos) break;
        const Take t = playWith(common + "\"Tempo\"=dword:00000078\n\"Resolution\"=\"32nd\"\n" +
                                    (exact ? "\"ExactSteps\"=dword:00000001\n" : ""),
                                {60, 64, 67}, std::chrono::seconds(exact ? unit * 10 : unit * 2));
        const Offsets o = offsetsOf(t.ons, [](std::size_t k) { return k * 3000.0; });
        const double bar = t.ons.size() > 32 ? static_cast<std::int32_t>(t.ons[32] - t.ons[0]) - 32 * 3000.0 : 0;
        std::printf("time, 32nds at 120 bpm, Exact step lengths %s, %.0f s: %zu onsets, %zu on the ideal grid, "
                    "largest offset %.0f frames, after the first bar %.0f frames, at the end %.0f frames (%.1f ms); "
                    "CPU %.2f %% (window thread %.2f %%); load average %s\n",
                    exact ? "on" : "off", static_cast<double>(t.ons.size()) / 16.0, o.count, o.exact, o.largest, bar,
                    o.last, o.last / 48.0, t.cpu.process, t.cpu.mainThread, t.load.c_str());
        std::fflush(stdout);
    }
    // CPU of the timing case's pattern (7 keys, 32nds at 240 bpm), the time
    // controls off and on, alternating.
    const std::string fast = common + "\"Tempo\"=dword:000000f0\n\"Resolution\"=\"32nd\"\n";
    const std::string timed = fast + "\"ExactSteps\"=dword:00000001\n\"Swing\"=dword:0000003c\n\"Gate\"=dword:00000032\n";
    for (int round = 0; round < 2 && cases.find("cpu") != std::string::npos; ++round)
        for (const bool on : {false, true}) {
            const Take t = playWith(on ? timed : fast, {48, 52, 55, 60, 64, 67, 72}, std::chrono::seconds(std::max(5L, unit / 2)));
            std::printf("time, CPU while playing 7 keys in 32nds at 240 bpm, Exact, Swing 60 %% and Gate 50 %% %s: %.2f %% "
                        "(window thread %.2f %%), %zu onsets; load average %s\n",
                        on ? "on" : "off", t.cpu.process, t.cpu.mainThread, t.ons.size(), t.load.c_str());
            std::fflush(stdout);
        }
    for (const bool keepBeat : {true, false}) {
        if (cases.find("chords") == std::string::npos) break;
        JackServer server(48000, 256);
        server.makeDefault();
        const fs::path config = makeConfig("time", common + "\"Tempo\"=dword:00000078\n\"Resolution\"=\"16th\"\n" +
                                                       (keepBeat ? "\"KeepBeat\"=dword:00000001\n" : ""));
        ChildProgram program(VLX_ARMED_PROGRAM, envFor(config));
        awaitArmed(program);
        JackTester tester(server.name());
        wireToProgram(tester);
        const double fpm = tester.sampleRate() / 1000.0;
        const jack_nframes_t base = tester.frameNow() + 4 * tester.bufferSize();
        // 32 changes: each chord held 1000 ms, the next 40 ms after its keys went up.
        std::vector<jack_nframes_t> presses;
        for (int i = 0; i <= 32; ++i) {
            const jack_nframes_t down = base + static_cast<jack_nframes_t>(i * 1040 * fpm);
            presses.push_back(down);
            for (std::uint8_t key : i % 2 ? std::vector<std::uint8_t>{62, 65, 69} : std::vector<std::uint8_t>{60, 64, 67}) {
                tester.play({0x90, key, 100}, down);
                tester.play({0x80, key, 0}, down + static_cast<jack_nframes_t>(1000 * fpm));
            }
        }
        while (static_cast<std::int32_t>(tester.frameNow() - presses.back()) < static_cast<std::int32_t>(1400 * fpm))
            std::this_thread::sleep_for(20ms);
        const auto ons = onsetsFrom(tester, 0);
        program.terminate(10'000);
        fs::remove_all(config);
        // Every onset but the first after a press, against the first onset's 16ths.
        const double step = 125 * fpm;
        double shift = 0;
        std::size_t judged = 0, next = 0;
        for (const jack_nframes_t on : ons) {
            const bool chordStart = next < presses.size() && static_cast<std::int32_t>(on - presses[next]) >= 0;
            while (next < presses.size() && static_cast<std::int32_t>(on - presses[next]) >= 0) ++next;
            if (chordStart) continue;
            const double off = std::fmod(static_cast<std::int32_t>(on - ons[0]) + step / 2, step) - step / 2;
            shift = std::max(shift, std::abs(off));
            ++judged;
        }
        std::printf("time, detached chord changes (40 ms gaps), Keep the beat %s: %zu changes, %zu onsets judged, beat "
                    "shift up to %.0f frames (%.1f ms); load average %s\n",
                    keepBeat ? "on" : "off", presses.size() - 1, judged, shift, shift / fpm, loadAverage().c_str());
        std::fflush(stdout);
    }
}

void musical(bool keepBeat) {
    JackServer server(48000, 256);
    server.makeDefault();
    const fs::path config = makeConfig("musical", std::string("\"Tempo\"=dword:00000078\n\"Resolution\"=\"16th\"\n"
                                                              "\"Sustain\"=\"Normal\"\n\"Cycle\"=\"Up\"\n"
                                                              "\"Divert\"=dword:00000001\n\"KeepBeat\"=dword:0000000") +
                                                      (keepBeat ? "1\n" : "0\n"));
    ChildProgram program(VLX_ARMED_PROGRAM, envFor(config));
    awaitArmed(program);
    JackTester tester(server.name());
    wireToProgram(tester);
    const double fpm = tester.sampleRate() / 1000.0;
    const double step = 125 * fpm;  // a 16th at 120 bpm

    struct Case {
        std::string name;
        std::vector<std::pair<int, int>> keys;  // ms after the start, key
        std::string select;                     // a list's new item, chosen at 560 ms
        std::string undo;                       // and chosen back afterwards
    };
    std::vector<Case> cases;
    for (int gap : {3, 10, 20, 30})
        cases.push_back({"chord rolled " + std::to_string(gap) + " ms apart", {{0, 60}, {gap, 64}, {2 * gap, 67}}, "", ""});
    cases.push_back({"key added at 575 ms", {{0, 60}, {0, 64}, {575, 67}}, "", ""});
    for (const auto& [to, back] : std::vector<std::pair<std::string, std::string>>{
             {"Octaves 2", "Octaves 1"}, {"Cycle Down", "Cycle Up"}, {"Sustain Staccato", "Sustain Normal"},
             {"Resolution 8th", "Resolution 16th"}})
        cases.push_back({to, {{0, 60}, {0, 64}, {0, 67}}, to, back});

    for (const Case& c : cases) {
        const std::size_t from = tester.recorded().size();
        const jack_nframes_t base = tester.frameNow() + 4 * tester.bufferSize();
        for (const auto& [ms, key] : c.keys)
            tester.play({0x90, static_cast<std::uint8_t>(key), 100}, base + static_cast<jack_nframes_t>(ms * fpm));
        std::optional<jack_nframes_t> changedAt;
        if (!c.select.empty()) {
            while (static_cast<std::int32_t>(tester.frameNow() - base) < static_cast<std::int32_t>(560 * fpm))
                std::this_thread::sleep_for(1ms);
            changedAt = tester.frameNow();
            program.send("select " + c.select);
            program.waitFor("selected", 5000);
        }
        const jack_nframes_t end = base + static_cast<jack_nframes_t>(1800 * fpm);
        for (const auto& [ms, key] : c.keys) tester.play({0x80, static_cast<std::uint8_t>(key), 0}, end);
        while (static_cast<std::int32_t>(tester.frameNow() - end) < static_cast<std::int32_t>(400 * fpm))
            std::this_thread::sleep_for(5ms);
        if (!c.undo.empty()) {
            program.send("select " + c.undo);
            program.waitFor("selected", 5000);
        }

        std::vector<jack_nframes_t> onsets;
        std::map<int, jack_nframes_t> since;
        std::vector<double> lengths, lengthsAfter;
        const auto& rec = tester.recorded();
        for (std::size_t i = from; i < rec.size(); ++i) {
            const auto& m = rec[i];
            if (m.bytes.size() != 3 || (m.bytes[0] & 0xE0) != 0x80) continue;
            if ((m.bytes[0] & 0xF0) == 0x90 && m.bytes[2] > 0) {
                onsets.push_back(m.frame);
                since[m.bytes[1]] = m.frame;
            } else if (since.count(m.bytes[1])) {
                if (m.frame >= end) continue;  // cut by the release at the end
                const double ms = static_cast<std::int32_t>(m.frame - since[m.bytes[1]]) / fpm;
                (changedAt && since[m.bytes[1]] > *changedAt ? lengthsAfter : lengths).push_back(ms);
            }
        }
        long twice = 0;
        double shift = 0;
        for (std::size_t i = 0; i < onsets.size(); ++i) {
            if (i > 0 && static_cast<double>(onsets[i] - onsets[i - 1]) < step - 1) ++twice;
            const double off = std::fmod(static_cast<double>(onsets[i] - onsets[0]) + step / 2, step) - step / 2;
            shift = std::max(shift, std::abs(off) / fpm);
        }
        auto range = [](const std::vector<double>& v) {
            if (v.empty()) return std::string("-");
            char text[64];
            std::snprintf(text, sizeof text, "%.2f-%.2f ms", *std::min_element(v.begin(), v.end()),
                          *std::max_element(v.begin(), v.end()));
            return std::string(text);
        };
        std::string change;
        if (changedAt) {
            const auto next = std::find_if(onsets.begin(), onsets.end(), [&](jack_nframes_t f) { return f > *changedAt; });
            char text[160];
            std::snprintf(text, sizeof text, "; the change took effect at the step %.1f ms after it, lengths after it %s",
                          next == onsets.end() ? -1.0 : static_cast<std::int32_t>(*next - *changedAt) / fpm,
                          range(lengthsAfter).c_str());
            change = text;
        }
        std::printf("musical, Keep the beat %s, %s: %zu struck, %ld less than a step after the one before, beat "
                    "shift from the first step's grid up to %.2f ms, lengths %s%s\n",
                    keepBeat ? "on" : "off", c.name.c_str(), onsets.size(), twice, shift, range(lengths).c_str(),
                    change.c_str());
        std::fflush(stdout);
    }
    program.terminate(10'000);
    fs::remove_all(config);
}

// A right hand's notes, one every 50 ms at a random frame of its cycle,
// released 40 ms later: each message's delay from the frame played to the
// frame recorded, matched in order (the arpeggio's own are velocity 0 or
// 100; these are 90 and 64).
std::vector<double> rightHand(JackTester& tester, int notes, std::mt19937& rng) {
    const std::size_t playedFrom = tester.played().size(), recordedFrom = tester.recorded().size();
    const auto ms = [&](double t) { return static_cast<jack_nframes_t>(t * tester.sampleRate() / 1000); };
    for (int i = 0; i < notes; ++i) {
        const auto key = static_cast<std::uint8_t>(60 + i % 25);
        const jack_nframes_t at =
            tester.frameNow() + tester.bufferSize() + std::uniform_int_distribution<jack_nframes_t>(0, 255)(rng);
        tester.play({0x90, key, 90}, at);
        tester.play({0x80, key, 64}, at + ms(40));
        std::this_thread::sleep_for(50ms);
    }
    tester.waitCycles(20);
    const auto mine = [](const vlx::test::RecordedMidi& m) {
        return m.bytes.size() == 3 && (m.bytes[2] == 90 || m.bytes[2] == 64) && (m.bytes[0] & 0xE0) == 0x80;
    };
    std::vector<jack_nframes_t> in, out;
    for (std::size_t i = playedFrom; i < tester.played().size(); ++i)
        if (mine(tester.played()[i])) in.push_back(tester.played()[i].frame);
    for (std::size_t i = recordedFrom; i < tester.recorded().size(); ++i)
        if (mine(tester.recorded()[i])) out.push_back(tester.recorded()[i].frame);
    if (in.size() != out.size()) std::printf("  (right-hand messages played %zu, recorded %zu)\n", in.size(), out.size());
    std::vector<double> delays;
    for (std::size_t i = 0; i < std::min(in.size(), out.size()); ++i)
        delays.push_back(static_cast<std::int32_t>(out[i] - in[i]) * 1000.0 / tester.sampleRate());
    return delays;
}

// The program's CPU while it plays 7 keys in 32nds at 240 bpm, Up-Down.
double playingCpu(const char* armed, const std::string& extra, std::chrono::seconds span) {
    JackServer server(48000, 256);
    server.makeDefault();
    const fs::path config = makeConfig("cpu", "\"Tempo\"=dword:000000f0\n\"Resolution\"=\"32nd\"\n"
                                              "\"Cycle\"=\"Up-Down\"\n\"Divert\"=dword:00000001\n" + extra);
    ChildProgram program(armed, envFor(config));
    awaitArmed(program);
    JackTester tester(server.name());
    wireToProgram(tester);
    for (std::uint8_t key : {48, 52, 55, 60, 64, 67, 72}) tester.play({0x90, key, 100});
    tester.waitCycles(8);
    const CpuShare cpu = cpuPercentOver(program.pid(), span);
    program.terminate(10'000);
    fs::remove_all(config);
    return cpu.process;
}

void split(std::chrono::seconds span) {
    {
        JackServer server(48000, 256);
        server.makeDefault();
        const fs::path config = makeConfig("split", "\"Tempo\"=dword:000000f0\n\"Resolution\"=\"32nd\"\n"
                                                    "\"Cycle\"=\"Up-Down\"\n\"Divert\"=dword:00000001\n"
                                                    "\"SplitHighest\"=dword:0000003b\n");
        ChildProgram program(VLX_ARMED_PROGRAM, envFor(config));
        awaitArmed(program);
        JackTester tester(server.name());
        wireToProgram(tester);
        std::mt19937 rng(20261208);
        const std::string loadBefore = loadAverage();
        const std::size_t from = tester.recorded().size();
        for (std::uint8_t key : {48, 52, 55}) tester.play({0x90, key, 100});
        tester.waitCycles(8);
        const auto splitDelays = rightHand(tester, 200, rng);
        for (std::uint8_t key : {48, 52, 55}) tester.play({0x80, key, 0});
        tester.waitCycles(8);
        // The arpeggio: on its 31 ms grid, none of the right hand's keys.
        std::vector<jack_nframes_t> ons;
        long taken = 0;
        for (std::size_t i = from; i < tester.recorded().size(); ++i) {
            const auto& m = tester.recorded()[i];
            if (m.bytes.size() != 3 || m.bytes[0] != 0x90 || m.bytes[2] != 100) continue;
            ons.push_back(m.frame);
            taken += m.bytes[1] >= 60 ? 1 : 0;
        }
        std::vector<double> residuals;
        const double step = 31.0 * tester.sampleRate() / 1000.0;
        for (std::size_t k = 0; k < ons.size(); ++k)
            residuals.push_back((static_cast<std::int32_t>(ons[k] - ons[0]) - k * step) * 1000.0 / tester.sampleRate());
        program.send("toggle");
        if (program.waitFor("off", 5000).empty()) throw std::runtime_error("toggle not answered");
        tester.waitCycles(6);
        const auto routedDelays = rightHand(tester, 200, rng);
        const int status = program.terminate(10'000);
        std::printf("\nsplit at C4, 256 frames, 32nds at 240 bpm, Up-Down; load average before %s, after %s; exit "
                    "status %d\n", loadBefore.c_str(), loadAverage().c_str(), status);
        printSpread("left hand's arpeggio, onset residual:", spreadOf(residuals));
        std::printf("  arpeggio note-ons %zu, of the right hand's keys %ld; cycles the recorder missed %llu\n", ons.size(),
                    taken, static_cast<unsigned long long>(tester.recorderMissedCycles()));
        printSpread("right hand beside the arpeggio:", spreadOf(splitDelays));
        printSpread("right hand routed, arpeggiation off:", spreadOf(routedDelays));
        fs::remove_all(config);
    }
    const std::string on = "\"Octaves\"=\"3\"\n\"OctaveOrder\"=\"Bounce\"\n\"Repeat\"=dword:00000002\n"
                           "\"Rhythm\"=\"x.x-xx-x\"\n\"RhythmLength\"=dword:00000008\n\"Velocity\"=\"Accented\"\n"
                           "\"OutChannel\"=\"2\"\n\"SplitHighest\"=dword:0000007e\n";
    // In turns, each round starting with the next, so that a change in the
    // machine's load falls on all alike.
    const char* base = std::getenv("VLX_BENCH_BASE_PROGRAM");
    struct Case {
        std::string name;
        const char* program;
        std::string extra;
        std::vector<double> cpu;
    };
    std::vector<Case> cases = {{"new controls at their defaults", VLX_ARMED_PROGRAM, "", {}},
                               {"new controls on", VLX_ARMED_PROGRAM, on, {}}};
    if (base) cases.push_back({base, base, "", {}});
    const std::string loadBefore = loadAverage();
    for (std::size_t round = 0; round < 3; ++round)
        for (std::size_t k = 0; k < cases.size(); ++k) {
            Case& c = cases[(round + k) % cases.size()];
            c.cpu.push_back(playingCpu(c.program, c.extra, span));
        }
    std::printf("CPU while playing 7 keys, %lld s a run, 3 runs each in turns (load average before %s, after %s), "
                "%% of one core:\n", static_cast<long long>(span.count()), loadBefore.c_str(), loadAverage().c_str());
    for (const Case& c : cases) {
        double sum = 0;
        std::printf("  %-40s", c.name.c_str());
        for (double v : c.cpu) std::printf(" %.2f", v), sum += v;
        std::printf("  mean %.2f\n", sum / static_cast<double>(c.cpu.size()));
    }
    std::fflush(stdout);
}

// What the recorder heard: onsets (frame, pitch) and each onset's length in
// frames (0 while sounding), and the notes struck while sounding.
struct Heard {
    std::vector<std::pair<jack_nframes_t, int>> onsets;
    std::vector<jack_nframes_t> lengths;
    long twice = 0;
    long leftOn = 0;
    long passedOn = 0;  // Program Changes and bound controllers that came out
};

Heard hear(const std::vector<vlx::test::RecordedMidi>& rec, std::size_t from) {
    Heard h;
    std::map<int, std::size_t> sounding;
    for (std::size_t i = from; i < rec.size(); ++i) {
        const auto& m = rec[i];
        const int kind = m.bytes[0] & 0xF0;
        if (kind == 0xC0 || (kind == 0xB0 && m.bytes.size() == 3 && (m.bytes[1] == 20 || m.bytes[1] == 66))) ++h.passedOn;
        if (m.bytes.size() != 3 || (kind != 0x90 && kind != 0x80)) continue;
        const int pitch = m.bytes[1];
        if (kind == 0x90 && m.bytes[2] > 0) {
            if (sounding.count(pitch)) ++h.twice;
            sounding[pitch] = h.onsets.size();
            h.onsets.emplace_back(m.frame, pitch);
            h.lengths.push_back(0);
        } else if (const auto s = sounding.find(pitch); s != sounding.end()) {
            h.lengths[s->second] = m.frame - h.onsets[s->second].first;
            sounding.erase(s);
        }
    }
    h.leftOn = static_cast<long>(sounding.size());
    return h;
}

void handsFree() {
    JackServer server(48000, 256);
    server.makeDefault();
    const std::string presets = "\\Presets\\";
    const std::string section = "\n[HKEY_CURRENT_USER\\Software\\Veloxa\\VLXArp" + presets;
    const fs::path config = makeConfig(
        "handsfree", "\"Tempo\"=dword:00000078\n\"Resolution\"=\"16th\"\n\"Sustain\"=\"Normal\"\n\"Cycle\"=\"Up\"\n"
                     "\"Octaves\"=\"1\"\n\"Divert\"=dword:00000001\n\"KeepBeat\"=dword:00000001\n\"ProgramChannel\"=\"All\"\n"
                     "\"Binding1\"=\"Resolution;cc;20;1;toggle\"\n\"Binding2\"=\"Latch;cc;66;1;toggle\"\n" +
                     section + "Verse]\n\"Program\"=dword:00000001\n\"Octaves\"=\"1\"\n\"Resolution\"=\"16th\"\n"
                     "\"Sustain\"=\"Normal\"\n\"Cycle\"=\"Up\"\n" +
                     section + "Chorus]\n\"Program\"=dword:00000002\n\"Octaves\"=\"2\"\n\"Resolution\"=\"8th\"\n"
                     "\"Sustain\"=\"Legatto\"\n\"Cycle\"=\"Down\"\n");
    ChildProgram program(VLX_ARMED_PROGRAM, envFor(config, "HOME=" + config.string()));
    awaitArmed(program);
    JackTester tester(server.name());
    wireToProgram(tester);
    const double fpm = tester.sampleRate() / 1000.0;
    const auto frames = [&](double ms) { return static_cast<jack_nframes_t>(std::lround(ms * fpm)); };
    const auto waitMs = [](long ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
    std::mt19937 rng(20260126);
    const auto between = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng); };
    std::printf("\n== hands-free control: Keep the beat on, 256 frames, 16ths at 120 bpm, Up; load average %s\n",
                loadAverage().c_str());

    // 1. Presets recalled by Program Change: Verse (16ths, Normal, 81 ms
    // notes) and Chorus (8ths, Legatto, 248 ms notes) in turn.
    const std::size_t from = tester.recorded().size();
    for (int key : {60, 64, 67}) tester.play({0x90, static_cast<std::uint8_t>(key), 100});
    waitMs(1000);
    std::vector<std::pair<jack_nframes_t, int>> recalls;
    for (int k = 0; k < 20; ++k) {
        waitMs(between(800, 1600));
        const jack_nframes_t at = tester.frameNow() + tester.bufferSize();
        const int preset = k % 2 == 0 ? 1 : 0;
        tester.play({0xC0, static_cast<std::uint8_t>(preset)}, at);
        recalls.emplace_back(at, preset);
    }
    waitMs(1500);
    for (int key : {60, 64, 67}) tester.play({0x80, static_cast<std::uint8_t>(key), 0});
    waitMs(600);
    const Heard played = hear(tester.recorded(), from);
    double shift = 0;
    for (const auto& [f, pitch] : played.onsets) {
        const double off = std::fmod(static_cast<double>(f - played.onsets.front().first) + frames(62.5), frames(125)) - frames(62.5);
        shift = std::max(shift, std::abs(off) / fpm);
    }
    long atNextStep = 0, withItsSettings = 0;
    for (std::size_t r = 0; r < recalls.size(); ++r) {
        const auto [at, preset] = recalls[r];
        const auto next = std::find_if(played.onsets.begin(), played.onsets.end(), [&](const auto& o) {
            return static_cast<std::int32_t>(o.first - at) >= 0;
        });
        if (next == played.onsets.end() || next == played.onsets.begin()) continue;
        const jack_nframes_t oldPeriod = frames(preset == 1 ? 125 : 250);  // the other preset's step
        if (next->first - (next - 1)->first == oldPeriod) ++atNextStep;
        const auto i = static_cast<std::size_t>(next - played.onsets.begin());
        if (played.lengths[i] == frames(preset == 1 ? 248 : 81)) ++withItsSettings;
    }
    std::printf("  Program Change recalls: %zu at random moments; beat shift from the first step's grid up to %.2f ms; "
                "notes struck while sounding %ld; recalls that took effect at the next step of the old grid %ld, "
                "whose first note had the new preset's length %ld; Program Changes passed on %ld; %zu notes\n",
                recalls.size(), shift, played.twice, atNextStep, withItsSettings, played.passedOn, played.onsets.size());
    std::fflush(stdout);

    // 2. Controller 20 bound to Resolution, swept from Quarter (43) to
    // 32nd (127) and back, 6 times, each value held 30 to 60 ms.
    tester.play({0xC0, 0});  // Verse: 16ths
    waitMs(500);
    const std::size_t sweepFrom = tester.recorded().size();
    for (int key : {60, 64, 67}) tester.play({0x90, static_cast<std::uint8_t>(key), 100});
    waitMs(800);
    const auto entryOf = [](int value) { return value * 6 / 128; };  // Whole .. 32nd
    const double periodOf[] = {2000, 1000, 500, 250, 125, 62};
    std::vector<std::pair<jack_nframes_t, int>> changes;  // frame, new entry
    int entry = 4;
    for (int sweep = 0; sweep < 6; ++sweep) {
        const int hold = between(30, 60);
        for (int step = 0; step <= 2 * (127 - 43); ++step) {
            const int value = step <= 127 - 43 ? 43 + step : 127 - (step - (127 - 43));
            const jack_nframes_t at = tester.frameNow() + tester.bufferSize();
            tester.play({0xB0, 20, static_cast<std::uint8_t>(value)}, at);
            if (entryOf(value) != entry) changes.emplace_back(at, entry = entryOf(value));
            waitMs(hold);
        }
    }
    waitMs(1200);
    for (int key : {60, 64, 67}) tester.play({0x80, static_cast<std::uint8_t>(key), 0});
    waitMs(800);
    const Heard swept = hear(tester.recorded(), sweepFrom);
    long landed = 0, lost = 0;
    for (std::size_t c = 0; c < changes.size(); ++c) {
        const auto [at, to] = changes[c];
        const int was = c == 0 ? 4 : changes[c - 1].second;
        const auto next = std::find_if(swept.onsets.begin(), swept.onsets.end(), [&](const auto& o) {
            return static_cast<std::int32_t>(o.first - at) >= 0;
        });
        if (next == swept.onsets.end() || next + 1 == swept.onsets.end() || next == swept.onsets.begin()) continue;
        const bool beforeNext = c + 1 == changes.size() || static_cast<std::int32_t>(changes[c + 1].first - next->first) > 0;
        if (!beforeNext) {
            ++lost;  // another change came before a step could take it
            continue;
        }
        // On the old grid's next step, and the step after it as long as the new entry makes it.
        const bool onGrid = next->first - (next - 1)->first == frames(periodOf[was]);
        const bool newLength = (next + 1)->first - next->first == frames(periodOf[to]);
        if (onGrid && newLength) ++landed;
    }
    std::printf("  controller swept through Resolution: %zu changes of entry; at their next step with the new step "
                "length %ld, lost %ld; notes struck while sounding %ld; controllers passed on %ld\n",
                changes.size(), landed, lost, swept.twice, swept.passedOn);
    std::fflush(stdout);

    // 3. A toggling footswitch on Latch, 100 presses at random moments while
    // the chord is pressed and released at random, in 16ths again. Between
    // two events the arpeggio must play exactly while keys are down or the
    // latch holds the chord released under it (judged from 150 ms after the
    // event: a released chord leaves at the next step).
    tester.play({0xC0, 0});
    waitMs(300);
    const std::size_t latchFrom = tester.recorded().size();
    bool keysDown = false, latched = false, held = false;
    long mismatches = 0;
    std::vector<std::pair<jack_nframes_t, bool>> should;  // from this frame on, sounding or not
    const auto event = [&](const std::vector<std::uint8_t>& bytes) {
        const jack_nframes_t at = tester.frameNow() + tester.bufferSize();
        tester.play(bytes, at);
        return at;
    };
    for (int press = 0; press < 100; ++press) {
        if (between(0, 1) == 1) {
            jack_nframes_t at = 0;
            for (int key : {60, 64, 67})
                at = event({static_cast<std::uint8_t>(keysDown ? 0x80 : 0x90), static_cast<std::uint8_t>(key), 100});
            keysDown = !keysDown;
            held = !keysDown && latched;
            should.emplace_back(at, keysDown || held);
            waitMs(between(20, 700));
        }
        const jack_nframes_t at = event({0xB0, 66, 127});
        latched = !latched;
        held = held && latched;
        should.emplace_back(at, keysDown || held);
        waitMs(between(30, 150));
        event({0xB0, 66, 0});
        waitMs(100);
        program.send("switch Latch");
        const std::string answer = program.waitFor("switch Latch", 5000);
        if (answer != std::string("switch Latch ") + (latched ? "on" : "off")) ++mismatches;
        waitMs(between(0, 600));
    }
    if (keysDown)
        for (int key : {60, 64, 67}) should.emplace_back(event({0x80, static_cast<std::uint8_t>(key), 0}), held = latched);
    waitMs(1000);
    should.emplace_back(tester.frameNow(), false);
    const Heard footswitch = hear(tester.recorded(), latchFrom);
    long judged = 0, wrong = 0;
    for (std::size_t i = 0; i + 1 < should.size(); ++i) {
        const jack_nframes_t start = should[i].first + frames(150), end = should[i + 1].first;
        if (static_cast<std::int32_t>(end - start) < static_cast<std::int32_t>(frames(250))) continue;
        const long heard = std::count_if(footswitch.onsets.begin(), footswitch.onsets.end(), [&](const auto& o) {
            return static_cast<std::int32_t>(o.first - start) >= 0 && static_cast<std::int32_t>(end - o.first) > 0;
        });
        ++judged;
        if ((heard > 0) != should[i].second) ++wrong;
    }
    std::printf("  footswitch on Latch, toggling: 100 presses; the window's Latch unlike the presses after %ld; "
                "stretches between events judged %ld, of them the arpeggio playing with nothing held or silent with "
                "keys or latch holding %ld; latch at the end %s; notes left on %ld; notes struck while sounding %ld; pedal messages passed "
                "on %ld; %zu notes\n",
                mismatches, judged, wrong, latched ? "on" : "off", footswitch.leftOn, footswitch.twice,
                footswitch.passedOn, footswitch.onsets.size());
    const int status = program.terminate(10'000);
    std::printf("  exit status %d; load average after %s\n", status, loadAverage().c_str());
    std::fflush(stdout);
    fs::remove_all(config);
}

}  // namespace

int main() {
    const char* scale = std::getenv("VLX_BENCH_SECONDS");
    const long unit = scale ? std::max(1L, std::atol(scale)) : 30;
    auto pick = [](const char* name, const char* all) { return std::string(std::getenv(name) ? std::getenv(name) : all); };
    const std::string parts = pick("VLX_BENCH_PARTS", "timing stall idle fuzz musical flood time split handsfree");
    std::printf("bench_app_playback on %u cores, load average at start %s\n", std::thread::hardware_concurrency(),
                loadAverage().c_str());
    if (parts.find("timing") != std::string::npos) {
        const std::string periods = pick("VLX_BENCH_PERIODS", "256 1024"),
                          loads = pick("VLX_BENCH_LOADS", "quiet compile popups busyx");
        const auto span = std::chrono::seconds(scale ? unit : 12);
        for (int period : {256, 1024}) {
            if (periods.find(std::to_string(period)) == std::string::npos) continue;
            if (loads.find("quiet") != std::string::npos) timing(period, Load::Quiet, span);
            if (loads.find("compile") != std::string::npos) timing(period, Load::Compile, span);
            if (loads.find("popups") != std::string::npos) timing(period, Load::Popups, span);
            if (loads.find("busyx") != std::string::npos) timing(period, Load::BusyX, span);
        }
    }
    if (parts.find("stall") != std::string::npos) {
        stalls(false);
        stalls(true);
    }
    if (parts.find("flood") != std::string::npos) flood();
    if (parts.find("split") != std::string::npos) split(std::chrono::seconds(scale ? unit : 12));
    if (parts.find("musical") != std::string::npos) {
        musical(false);
        musical(true);
    }
    if (parts.find("time") != std::string::npos) timeControls(unit, pick("VLX_BENCH_TIME", "swing exact cpu chords"));
    if (parts.find("handsfree") != std::string::npos) handsFree();
    if (parts.find("idle") != std::string::npos || parts.find("fuzz") != std::string::npos) {
        JackServer server(48000, 256);
        server.makeDefault();
        if (parts.find("idle") != std::string::npos) idle(std::chrono::seconds(unit));
        if (parts.find("fuzz") != std::string::npos) fuzz(server, std::chrono::seconds(2 * unit));
    }
}
