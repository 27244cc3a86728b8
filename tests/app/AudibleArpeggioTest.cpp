// SPDX-License-Identifier: GPL-3.0-or-later
// The arpeggio as a listener hears it: the whole program on a private JACK
// server plays into a real synth (FluidSynth), whose audio is recorded while
// a chord is held; the notes are found in the sound alone, by where they
// begin and at what pitch.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "ChildProgram.h"
#include "support/AudioAnalysis.h"
#include "support/FluidSynth.h"
#include "support/JackAudioRecorder.h"
#include "support/JackServer.h"
#include "support/JackTester.h"

namespace vlx::test {
namespace {

namespace fs = std::filesystem;

TEST(AudibleArpeggio, TheSynthSoundsTheHeldChordInPitchOrderOneStepApart) {
    std::string why;
    if (!FluidSynth::available(&why)) GTEST_SKIP() << why << "; scripts/deps installs fluidsynth and timgm6mb-soundfont";

    JackServer server(48000, 256);
    server.makeDefault();
    const fs::path config = fs::temp_directory_path() / ("vlxarp-audible-" + std::to_string(getpid()));
    fs::remove_all(config);
    fs::create_directories(config / "Veloxa");
    // 120 bpm in 16ths over two octaves: a step every 125 ms, sounding about
    // a third of it, so that each note has faded well before the next one
    // begins; only the arpeggio comes out.
    std::ofstream(config / "Veloxa" / "VLXArp.reg") << "[HKEY_CURRENT_USER\\Software\\Veloxa\\VLXArp]\n"
                                                       "\"Tempo\"=dword:00000078\n"
                                                       "\"Resolution\"=\"16th\"\n"
                                                       "\"Octaves\"=\"2\"\n"
                                                       "\"Sustain\"=\"Staccato\"\n"
                                                       "\"Cycle\"=\"Up\"\n"
                                                       "\"Divert\"=dword:00000001\n";
    ChildProgram program(VLX_ARMED_PROGRAM, {"QT_QPA_PLATFORM=offscreen", "XDG_CONFIG_HOME=" + config.string()});
    ASSERT_FALSE(program.waitFor("armed", 20'000).empty()) << "the window did not come up armed";

    // A banjo: a sharp attack and a clear fundamental.
    FluidSynth synth(server.name(), "synth", 105);
    JackAudioRecorder ear(server.name());
    ASSERT_TRUE(ear.connectFrom(synth.left(), std::chrono::seconds(10)));
    ASSERT_TRUE(ear.connectFrom(synth.right(), std::chrono::seconds(10)));
    ear.connect("VLXArp:out", synth.midiIn());
    // The program's output is also recorded as MIDI: each sound is matched
    // to the note-on that asked for it.
    JackTester tester(server.name());
    tester.connectPlayTo("VLXArp:in");
    tester.connectRecordFrom("VLXArp:out");
    tester.waitCycles(2);

    const jack_nframes_t rate = tester.sampleRate();
    const jack_nframes_t start = tester.frameNow() + tester.bufferSize();
    for (std::uint8_t key : {64, 60, 67}) tester.play({0x90, key, 100}, start);
    const jack_nframes_t release = start + 2 * rate;  // 16 steps
    for (std::uint8_t key : {64, 60, 67}) tester.play({0x80, key, 0}, release);
    while (static_cast<std::int32_t>(ear.frameNow() - (release + rate / 2)) < 0) tester.waitCycles(4);
    EXPECT_EQ(program.terminate(10'000), 0);

    const std::vector<float>& track = ear.track();
    const jack_nframes_t first = ear.firstFrame();
    ASSERT_LT(static_cast<std::int32_t>(first - start), 0) << "the recording began after the chord";

    struct Note {
        double ms;  // from the chord
        int key;
    };
    auto msFromChord = [&](jack_nframes_t frame) { return (double(frame) - double(start)) * 1000.0 / rate; };
    std::vector<Note> asked, heard;
    for (const auto& m : tester.recorded())
        if (m.bytes.size() == 3 && m.bytes[0] == 0x90) asked.push_back({msFromChord(m.frame), m.bytes[1]});
    for (std::size_t at : audio::onsets(track, rate)) {
        // 40 ms of the note from 8 ms in: past the attack, before its end.
        const int key = audio::midiKey(audio::pitchHz(track, at + rate * 8 / 1000, rate * 40 / 1000, rate));
        heard.push_back({msFromChord(first + static_cast<jack_nframes_t>(at)), key});
    }
    struct Dump {
        const std::vector<Note>& asked;
        const std::vector<Note>& heard;
        std::uint64_t lost;  // a busy machine can make the recorder miss a cycle
        ~Dump() {
            if (!::testing::Test::HasFailure()) return;
            std::fprintf(stderr, "frames the recording missed: %llu\n", static_cast<unsigned long long>(lost));
            std::fprintf(stderr, "note-ons sent (ms from the chord, key) | sounds heard (ms, key)\n");
            for (std::size_t i = 0; i < std::max(asked.size(), heard.size()); ++i) {
                if (i < asked.size()) std::fprintf(stderr, "%9.2f %3d", asked[i].ms, asked[i].key);
                else std::fprintf(stderr, "%13s", "");
                if (i < heard.size()) std::fprintf(stderr, " | %9.2f %3d", heard[i].ms, heard[i].key);
                std::fprintf(stderr, "\n");
            }
        }
    } dump{asked, heard, ear.lostFrames()};

    // The pattern, heard: C E G and again an octave up, over and over.
    const int pattern[] = {60, 64, 67, 72, 76, 79};
    ASSERT_GE(asked.size(), 14u);
    ASSERT_EQ(heard.size(), asked.size()) << "a sound for every note-on, and nothing else";
    std::vector<double> spacing;
    for (std::size_t i = 0; i < heard.size(); ++i) {
        EXPECT_EQ(heard[i].key, pattern[i % 6]) << "sound " << i;
        // Each sound begins with its note-on, to the precision of the
        // analysis (the synth renders a cycle's notes from the cycle's start).
        EXPECT_NEAR(heard[i].ms, asked[i].ms, 10.0) << "sound " << i;
        if (i > 0) spacing.push_back(heard[i].ms - heard[i - 1].ms);
    }
    // A step apart. A step the program sends late on a busy machine is heard
    // late too (the end-to-end test judges the program's timing): the
    // median, which a few late steps cannot move.
    std::nth_element(spacing.begin(), spacing.begin() + static_cast<std::ptrdiff_t>(spacing.size() / 2), spacing.end());
    EXPECT_NEAR(spacing[spacing.size() / 2], 125.0, 10.0) << "the median spacing of the sounds, in ms";

    // Released, the synth falls silent: a note left on would still ring (a
    // held banjo note is about 20 dB down after half a second, a released
    // one more than 60 dB).
    const std::size_t quietFrom = release + rate * 4 / 10 - first, quietTo = quietFrom + rate / 10;
    ASSERT_LE(quietTo, track.size());
    double peak = 0, tail = 0;
    for (float v : track) peak = std::max(peak, double(std::abs(v)));
    for (std::size_t i = quietFrom; i < quietTo; ++i) tail += double(track[i]) * track[i];
    const double tailDb = 10 * std::log10(tail / double(quietTo - quietFrom) + 1e-20) - 20 * std::log10(peak);
    EXPECT_LT(tailDb, -45.0) << "still sounding 400 ms after the keys were released";
    fs::remove_all(config);
}

}  // namespace
}  // namespace vlx::test
