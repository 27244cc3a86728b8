// SPDX-License-Identifier: GPL-3.0-or-later
// What the plugin costs and how exactly it plays, beside QMidiArp's LV2
// arpeggiator in the same run on the same machine: 7 held notes in 32nds
// at 240 bpm, 256-frame blocks at 48 kHz.
//
// 1. In a liblilv host in this process: CPU time inside run() per block and
//    per second of audio, for each plugin (a Release build for the figures).
// 2. Each plugin in its own jalv on a private JACK server (dummy driver) at
//    64, 256 and 1024 frames a cycle, the server and both jalvs pinned to
//    one core, following the JACK transport of a timebase master at 240
//    bpm, a separate sender and recorder each: the CPU each jalv process
//    used per second of audio, each note-on's distance from the song's
//    32nds, the 32nds without a note and the notes left sounding after the
//    transport stopped.
//
// Prints figures; never fails on them.
#include <lilv/lilv.h>
#include <lv2/atom/forge.h>
#include <lv2/atom/util.h>
#include <lv2/midi/midi.h>
#include <lv2/urid/urid.h>
#include <sched.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchFigures.h"
#include "app/ChildProgram.h"
#include "lv2/JackTransport.h"
#include "lv2/LilvHost.h"
#include "support/JackServer.h"
#include "support/JackTester.h"

namespace {

using vlx::test::UridMap;
namespace fs = std::filesystem;

constexpr double kRate = 48000;
constexpr std::uint32_t kBlock = 256;
constexpr const char* kQMidiArp = "https://git.code.sf.net/p/qmidiarp/arp";
const std::vector<std::uint8_t> kChord = {48, 52, 55, 59, 62, 65, 69};  // 7 notes

struct Peer {
    const char* name;
    std::string uri;
    std::map<std::string, float> controls;  // by symbol
    std::string stateFile;                  // restored before activation, if any
};

// QMidiArp's pattern lives in its state: ">>>0" is one note a 32nd, up through the chord.
std::string qmidiarpState(const fs::path& dir) {
    fs::create_directories(dir);
    std::ofstream(dir / "state.ttl") << "@prefix lv2: <http://lv2plug.in/ns/lv2core#> .\n"
                                        "@prefix pset: <http://lv2plug.in/ns/ext/presets#> .\n"
                                        "@prefix state: <http://lv2plug.in/ns/ext/state#> .\n"
                                        "<> a pset:Preset ; lv2:appliesTo <"
                                     << kQMidiArp << "> ;\n  state:state [ <https://git.code.sf.net/p/qmidiarp#ARPPATTERN> \">>>0\" ] .\n";
    return (dir / "state.ttl").string();
}

double threadCpuNs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

// CPU time of every thread of a process, in seconds, to the nanosecond
// (schedstat: the scheduler's own count; /proc/<pid>/stat counts 10 ms ticks).
double processCpuSeconds(pid_t pid) {
    double ns = 0;
    std::error_code ec;
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
        std::ifstream schedstat(task.path() / "schedstat");
        double run = 0;
        if (schedstat >> run) ns += run;
    }
    return ns / 1e9;
}

// Every thread of a process onto one core.
void pin(pid_t pid, int core) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(core, &set);
    std::error_code ec;
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec))
        sched_setaffinity(static_cast<pid_t>(std::stol(task.path().filename().string())), sizeof set, &set);
}

// ---- 1. in-process, through liblilv ----
void inProcess(LilvWorld* world, const Peer& peer, double seconds) {
    LilvNode* uri = lilv_new_uri(world, peer.uri.c_str());
    const LilvPlugin* plugin = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world), uri);
    lilv_node_free(uri);
    if (!plugin) {
        std::printf("  %-9s not installed (%s)\n", peer.name, peer.uri.c_str());
        return;
    }
    UridMap urids;
    LV2_Feature map{LV2_URID__map, &urids.mapFeature}, unmap{LV2_URID__unmap, &urids.unmapFeature};
    const LV2_Feature* features[] = {&map, &unmap, nullptr};
    LilvInstance* instance = lilv_plugin_instantiate(plugin, kRate, features);
    const std::uint32_t ports = lilv_plugin_get_num_ports(plugin);
    std::vector<float> mins(ports), maxs(ports), values(ports);
    lilv_plugin_get_port_ranges_float(plugin, mins.data(), maxs.data(), values.data());
    std::vector<std::uint64_t> in(8192), out(8192);
    for (std::uint32_t p = 0; p < ports; ++p) {
        const LilvPort* port = lilv_plugin_get_port_by_index(plugin, p);
        const std::string symbol = lilv_node_as_string(lilv_port_get_symbol(plugin, port));
        if (peer.controls.count(symbol)) values[p] = peer.controls.at(symbol);
        lilv_instance_connect_port(instance, p, p == 0 ? static_cast<void*>(in.data()) : p == 1 ? static_cast<void*>(out.data()) : static_cast<void*>(&values[p]));
    }
    if (!peer.stateFile.empty()) {
        LilvState* state = lilv_state_new_from_file(world, &urids.mapFeature, nullptr, peer.stateFile.c_str());
        if (state) lilv_state_restore(state, instance, nullptr, nullptr, 0, features);
        lilv_state_free(state);
    }
    lilv_instance_activate(instance);

    LV2_Atom_Forge forge;
    lv2_atom_forge_init(&forge, &urids.mapFeature);
    const LV2_URID midi = urids.map(LV2_MIDI__MidiEvent);
    const auto blocks = static_cast<std::size_t>(seconds * kRate / kBlock);
    std::vector<double> perBlockUs;
    perBlockUs.reserve(blocks);
    double total = 0;
    std::vector<std::uint64_t> ons;
    for (std::size_t b = 0; b < blocks; ++b) {
        lv2_atom_forge_set_buffer(&forge, reinterpret_cast<std::uint8_t*>(in.data()), in.size() * 8);
        LV2_Atom_Forge_Frame seq;
        lv2_atom_forge_sequence_head(&forge, &seq, 0);
        if (b == 0)
            for (std::uint8_t note : kChord) {
                const std::uint8_t on[3] = {0x90, note, 100};
                lv2_atom_forge_frame_time(&forge, 0);
                lv2_atom_forge_atom(&forge, 3, midi);
                lv2_atom_forge_write(&forge, on, 3);
            }
        lv2_atom_forge_pop(&forge, &seq);
        auto* o = reinterpret_cast<LV2_Atom_Sequence*>(out.data());
        o->atom.size = static_cast<std::uint32_t>(out.size() * 8);
        o->atom.type = 0;
        const double t0 = threadCpuNs();
        lilv_instance_run(instance, kBlock);
        const double ns = threadCpuNs() - t0;
        total += ns;
        perBlockUs.push_back(ns / 1000);
        LV2_ATOM_SEQUENCE_FOREACH(o, ev) {
            const auto* bytes = static_cast<const std::uint8_t*>(LV2_ATOM_BODY(&ev->body));
            if ((bytes[0] & 0xF0) == 0x90 && bytes[2] > 0) ons.push_back(b * kBlock + static_cast<std::uint64_t>(ev->time.frames));
        }
    }
    lilv_instance_deactivate(instance);
    lilv_instance_free(instance);
    std::sort(perBlockUs.begin(), perBlockUs.end());
    std::vector<double> spacing;
    for (std::size_t i = 1; i < ons.size(); ++i) spacing.push_back(static_cast<double>(ons[i] - ons[i - 1]));
    std::sort(spacing.begin(), spacing.end());
    const double audio = static_cast<double>(blocks * kBlock) / kRate;
    std::printf("  %-9s %zu blocks: per block mean %.3f us, p50 %.3f, p99 %.3f, max %.3f us; "
                "%.3f ms CPU per second of audio (%.4f %%); %zu note-ons, median spacing %.0f frames\n",
                peer.name, blocks, total / 1000 / static_cast<double>(blocks), perBlockUs[blocks / 2],
                perBlockUs[blocks * 99 / 100], perBlockUs.back(), total / 1e6 / audio, total / 1e9 / audio * 100,
                ons.size(), spacing.empty() ? 0.0 : spacing[spacing.size() / 2]);
}

// ---- 2. each in jalv on JACK ----
struct JalvRun {
    const Peer* peer;
    std::string client;
    std::unique_ptr<vlx::test::ChildProgram> jalv;
    std::unique_ptr<vlx::test::JackTester> tester;
};

void throughJalv(const std::vector<Peer>& peers, double seconds, jack_nframes_t block) {
    vlx::test::JackServer server(48000, block);
    vlx::test::JackTransport transport(server.name(), 240);
    std::vector<JalvRun> runs;
    for (const Peer& peer : peers) {
        JalvRun run{&peer, std::string("bench_") + peer.name, nullptr, nullptr};
        std::vector<std::string> args = {"-x", "-n", run.client};
        for (const auto& [symbol, value] : peer.controls) {
            args.push_back("-c");
            args.push_back(symbol + "=" + std::to_string(value));
        }
        if (!peer.stateFile.empty()) {
            args.push_back("-l");
            args.push_back(fs::path(peer.stateFile).parent_path().string());
        }
        args.push_back(peer.uri);
        run.jalv = std::make_unique<vlx::test::ChildProgram>(
            VLX_JALV, std::vector<std::string>{"LV2_PATH=" VLX_LV2_PATH ":/usr/lib/lv2", "JACK_DEFAULT_SERVER=" + server.name()},
            "/dev/null", args);
        run.tester = std::make_unique<vlx::test::JackTester>(server.name(), std::string("t") + peer.name);
        for (int tries = 0;; ++tries) {
            try {
                run.tester->connectPlayTo(run.client + (peer.uri == kQMidiArp ? ":MidiIn" : ":in"));
                run.tester->connectRecordFrom(run.client + (peer.uri == kQMidiArp ? ":MidiOut" : ":out"));
                break;
            } catch (const std::exception&) {
                if (tries == 200) throw;
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        }
        runs.push_back(std::move(run));
    }
    // jalv and the server on one core, so that jalv's CPU is what it costs there.
    pin(server.pid(), 0);
    for (auto& run : runs) pin(run.jalv->pid(), 0);
    transport.Locate(0);
    runs.front().tester->waitCycles(10);
    for (auto& run : runs)
        for (std::uint8_t note : kChord) run.tester->play({0x90, note, 100});
    runs.front().tester->waitCycles(10);
    transport.Start();
    std::this_thread::sleep_for(std::chrono::seconds(2));  // settled
    std::vector<double> cpuBefore;
    for (auto& run : runs) cpuBefore.push_back(processCpuSeconds(run.jalv->pid()));
    const jack_nframes_t from = runs.front().tester->frameNow();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const jack_nframes_t to = runs.front().tester->frameNow();
    std::vector<double> cpu;
    for (std::size_t i = 0; i < runs.size(); ++i) cpu.push_back(processCpuSeconds(runs[i].jalv->pid()) - cpuBefore[i]);
    transport.Stop();
    runs.front().tester->waitCycles(20);
    const auto origin = transport.Origin();
    const double audio = static_cast<double>(to - from) / 48000.0;
    const double grid = 60.0 * 48000 / 240 / 8;  // a 32nd: 1500 frames
    for (std::size_t i = 0; i < runs.size(); ++i) {
        std::vector<double> residual;
        std::map<int, int> sounding;
        std::vector<std::int64_t> slots;
        for (const auto& m : runs[i].tester->recorded()) {
            if (m.bytes.size() != 3 || (m.bytes[0] & 0xE0) != 0x80) continue;
            const bool on = (m.bytes[0] & 0xF0) == 0x90 && m.bytes[2] > 0;
            sounding[m.bytes[1]] += on ? 1 : (sounding[m.bytes[1]] > 0 ? -1 : 0);
            if (!on || m.frame < from || m.frame >= to || !origin) continue;
            const double since = static_cast<double>(static_cast<std::int64_t>(m.frame) - *origin);
            residual.push_back(since - grid * std::round(since / grid));
            slots.push_back(std::llround(since / grid));
        }
        int stuck = 0;
        for (const auto& [key, n] : sounding) stuck += n;
        std::sort(slots.begin(), slots.end());
        const std::int64_t missing =
            slots.empty() ? 0 : (slots.back() - slots.front() + 1) - static_cast<std::int64_t>(std::unique(slots.begin(), slots.end()) - slots.begin());
        const auto s = vlx::bench::spreadOf(residual);
        std::printf("  %-9s %4u frames: jalv used %.4f s CPU in %.1f s of audio: %.3f ms per second (%.4f %%); "
                    "note-ons off the 32nds, in frames: n=%zu p50 %.1f p99 %.1f max %.1f; 32nds without a note %lld; "
                    "left sounding %d; the server's xruns %llu\n",
                    runs[i].peer->name, block, cpu[i], audio, cpu[i] / audio * 1000, cpu[i] / audio * 100, s.n, s.p50,
                    s.p99, s.max, static_cast<long long>(missing), stuck, static_cast<unsigned long long>(transport.Xruns()));
    }
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::stod(argv[1]) : 20;
    const fs::path tmp = fs::temp_directory_path() / ("vlxarp-bench-lv2-" + std::to_string(getpid()));
    const std::vector<Peer> peers = {
        {"VLXArp", VLX_LV2_URI,
         {{"arpeggiate", 1}, {"divert", 1}, {"tempo", 240}, {"resolution", 1}, {"cycle", 1}, {"follow_host", 1}}, ""},
        {"QMidiArp", kQMidiArp, {{"TEMPO", 240}, {"TRANSPORT_MODE", 1}}, qmidiarpState(tmp / "qmidiarp")},
    };
    std::printf("LV2 arpeggiators: 7 held notes, 32nds at 240 bpm, %u-frame blocks at 48 kHz; load average %s\n",
                kBlock, vlx::bench::loadAverage().c_str());
    std::printf("In a liblilv host (CPU inside run(); VLXArp by its Tempo control, QMidiArp by its own):\n");
    ::setenv("LV2_PATH", VLX_LV2_PATH ":/usr/lib/lv2", 1);
    LilvWorld* world = lilv_world_new();
    lilv_world_load_all(world);
    std::vector<Peer> alone = peers;
    alone[0].controls["follow_host"] = 0;
    alone[1].controls["TRANSPORT_MODE"] = 0;
    for (const Peer& peer : alone) inProcess(world, peer, seconds * 10);
    lilv_world_free(world);
    std::printf("Each in jalv on JACK (dummy driver), following the JACK transport at 240 bpm, side by side, jalv and the "
                "server on one core:\n");
    for (const jack_nframes_t block : {64u, 256u, 1024u}) throughJalv(peers, seconds, block);
    fs::remove_all(tmp);
    return 0;
}
