// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The real program following a MIDI clock on a private JACK server: a
// JackTester plays Start, a chord and clock ticks at chosen frames into
// VLXArp:in (its player) and records VLXArp:out (its recorder, another
// client), and each note-on the program sends is paired with the tick it
// belongs to.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "ChildProgram.h"
#include "support/JackTester.h"

namespace vlx::test {

// A settings folder for the program: following the clock, 16ths, Up,
// diverting (so only the arpeggio and what the program forwards come out).
inline std::filesystem::path clockConfig(const std::string& tag) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("vlxarp-clock-" + tag + "-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "Veloxa");
    std::ofstream(dir / "Veloxa" / "VLXArp.reg") << "[HKEY_CURRENT_USER\\Software\\Veloxa\\VLXArp]\n"
                                                    "\"Resolution\"=\"16th\"\n\"Cycle\"=\"Up\"\n"
                                                    "\"Divert\"=dword:00000001\n\"FollowClock\"=dword:00000001\n";
    return dir;
}

// The frames (from the first tick, fractional) of ticks at a tempo that goes
// from `fromBpm` to `toBpm` in equal steps per tick.
inline std::vector<double> tickFrames(double rate, double fromBpm, double toBpm, int count) {
    std::vector<double> out;
    double at = 0;
    for (int k = 0; k < count; ++k) {
        out.push_back(at);
        const double bpm = fromBpm + (toBpm - fromBpm) * k / std::max(1, count - 1);
        at += rate * 60.0 / (bpm * 24.0);
    }
    return out;
}

struct ClockRun {
    std::vector<jack_nframes_t> ticks;  // where the player put each tick
    std::vector<jack_nframes_t> ons;    // the arpeggio's note-ons, in order
    std::vector<int> pitches;
    std::vector<std::int32_t> lengths;  // of each note, in frames; -1 when it never ended
    int offs = 0;
};

// Plays Start and the keys at once, the ticks from two periods later, then
// Stop, releases the keys, and waits for the program's last note-offs.
inline ClockRun playClock(JackTester& tester, const std::vector<std::uint8_t>& keys, const std::vector<double>& ticks) {
    const std::size_t playedFrom = tester.played().size(), recordedFrom = tester.recorded().size();
    const jack_nframes_t start = tester.frameNow() + 2 * tester.bufferSize();
    tester.play({0xFA}, start);
    for (std::uint8_t key : keys) tester.play({0x90, key, 100}, start);
    const jack_nframes_t first = start + 2 * tester.bufferSize();
    for (double f : ticks) tester.play({0xF8}, first + static_cast<jack_nframes_t>(std::lround(f)));
    const jack_nframes_t end = first + static_cast<jack_nframes_t>(std::lround(ticks.back())) + tester.bufferSize();
    tester.play({0xFC}, end);
    for (std::uint8_t key : keys) tester.play({0x80, key, 0}, end);
    const double seconds = (end - tester.frameNow()) / static_cast<double>(tester.sampleRate());
    std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<long>(seconds * 1000) + 300));

    ClockRun run;
    const auto& played = tester.played();
    for (std::size_t i = playedFrom; i < played.size(); ++i)
        if (played[i].bytes[0] == 0xF8) run.ticks.push_back(played[i].frame);
    const auto& recorded = tester.recorded();
    for (std::size_t i = recordedFrom; i < recorded.size(); ++i) {
        const auto& m = recorded[i];
        if (m.bytes.size() != 3) continue;
        if ((m.bytes[0] & 0xF0) == 0x90 && m.bytes[2] > 0) {
            run.ons.push_back(m.frame);
            run.pitches.push_back(m.bytes[1]);
            run.lengths.push_back(-1);
        } else if ((m.bytes[0] & 0xF0) == 0x80) {
            ++run.offs;
            for (std::size_t n = run.ons.size(); n-- > 0;) {
                if (run.pitches[n] != m.bytes[1]) continue;
                if (run.lengths[n] < 0) run.lengths[n] = static_cast<std::int32_t>(m.frame - run.ons[n]);
                break;
            }
        }
    }
    return run;
}

// Frames from each note-on to the tick of its step (every ticksPerStep-th,
// from the first); empty when the counts do not pair up.
inline std::vector<std::int32_t> stepDelays(const ClockRun& run, std::size_t ticksPerStep) {
    std::vector<std::int32_t> out;
    for (std::size_t i = 0; i < run.ons.size() && i * ticksPerStep < run.ticks.size(); ++i)
        out.push_back(static_cast<std::int32_t>(run.ons[i] - run.ticks[i * ticksPerStep]));
    return out;
}

}  // namespace vlx::test
