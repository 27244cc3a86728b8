// SPDX-License-Identifier: GPL-3.0-or-later
// The plugin in jalv, the LV2 host of the LV2 project, on a private JACK
// server: a separate sender plays into it and a recorder takes what it
// plays. With its Tempo control, a chord comes out as its arpeggio on
// exact frames; following the JACK transport (a timebase master), its 16ths
// fall on the song's 16ths, as in liblilv, and stop with the transport.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "JackTransport.h"
#include "LilvHost.h"
#include "app/ChildProgram.h"
#include "support/JackServer.h"
#include "support/JackTester.h"

namespace vlx::test {
namespace {

// jalv with the plugin of the build tree, its controls set as given.
struct Jalv {
    Jalv(const JackServer& server, const std::vector<std::string>& controls)
        : log(std::filesystem::temp_directory_path() / ("vlxarp-jalv-" + std::to_string(::getpid()) + ".log")),
          program(VLX_JALV, {"LV2_PATH=" VLX_LV2_PATH, "JACK_DEFAULT_SERVER=" + server.name()}, log.string(),
                  args(controls)) {}
    ~Jalv() { std::filesystem::remove(log); }
    static std::vector<std::string> args(const std::vector<std::string>& controls) {
        std::vector<std::string> a = {"-x", "-n", "vlxarp_e2e"};
        for (const auto& c : controls) {
            a.push_back("-c");
            a.push_back(c);
        }
        a.push_back(VLX_LV2_URI);
        return a;
    }
    // Connects the tester once jalv's ports are there.
    void connect(JackTester& tester) {
        for (int tries = 0;; ++tries) {
            try {
                tester.connectPlayTo("vlxarp_e2e:in");
                tester.connectRecordFrom("vlxarp_e2e:out");
                return;
            } catch (const std::exception&) {
                if (tries == 200) throw;
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        }
    }
    std::filesystem::path log;
    ChildProgram program;
};

std::vector<const RecordedMidi*> ons(const std::vector<RecordedMidi>& recorded) {
    std::vector<const RecordedMidi*> found;
    for (const auto& m : recorded)
        if (m.bytes.size() == 3 && m.bytes[0] == 0x90 && m.bytes[2] > 0) found.push_back(&m);
    return found;
}

TEST(Lv2EndToEnd, InJalvAChordComesOutAsItsArpeggioOnExactFrames) {
    JackServer server(48000, 256);
    Jalv jalv(server, {"arpeggiate=1", "divert=1", "tempo=240", "resolution=2", "cycle=1"});
    JackTester tester(server.name());
    jalv.connect(tester);
    tester.waitCycles(4);
    const jack_nframes_t start = tester.frameNow() + 2 * tester.bufferSize();
    for (std::uint8_t key : {64, 60, 67}) tester.play({0x90, key, 100}, start);
    for (std::uint8_t key : {64, 60, 67}) tester.play({0x80, key, 0}, start + 48000);
    ASSERT_TRUE(tester.waitRecorded(2 * 16, std::chrono::seconds(10)));
    tester.waitCycles(20);

    // 16ths at 240 bpm: a step every 62 ms (2976 frames) sounding 39 ms
    // (1872 frames), the first 5 ms after the chord's millisecond, each
    // note ended before the next; the last note ends with the keys.
    const auto& recorded = tester.recorded();
    const auto found = ons(recorded);
    ASSERT_EQ(found.size(), 17u) << "17 steps in the second the chord is held";
    const int chord[] = {60, 64, 67};
    EXPECT_GT(found[0]->frame, start + 4 * 48);
    EXPECT_LE(found[0]->frame, start + 5 * 48);
    for (std::size_t i = 0; i < found.size(); ++i) {
        EXPECT_EQ(found[i]->bytes[1], chord[i % 3]) << i;
        if (i > 0) {
            EXPECT_EQ(found[i]->frame - found[i - 1]->frame, 2976u) << "step " << i;
        }
    }
    int sounding = -1;
    jack_nframes_t since = 0;
    for (const auto& m : recorded) {
        ASSERT_EQ(m.bytes.size(), 3u);
        if (m.bytes[0] == 0x90) {
            EXPECT_EQ(sounding, -1) << "a note-on while another sounds, at " << m.frame;
            sounding = m.bytes[1];
            since = m.frame;
        } else {
            EXPECT_EQ(m.bytes[1], sounding);
            EXPECT_TRUE(m.frame - since == 1872 || m.frame == start + 48000) << m.frame - since;
            sounding = -1;
        }
    }
    EXPECT_EQ(sounding, -1) << "left sounding";
    EXPECT_EQ(tester.recorderMissedCycles(), 0u);
}

// Following the JACK transport of a timebase master at 120 bpm that turns
// to 90 in the middle of a step (transport frame 25600) and is relocated
// while it rolls to the middle of a step at 90 bpm (28600), at 64, 256 and
// 1024 frames a cycle: nothing sounds while the transport stands or once it
// stopped, every note-on falls on the song's 16ths (on the frame nearest),
// and the plugin in liblilv, given the same chord and positions on the same
// cycles, plays the same messages on the same frames.
class Lv2EndToEndCycles : public ::testing::TestWithParam<jack_nframes_t> {};

TEST_P(Lv2EndToEndCycles, InJalvFollowingTheJackTransportItsSixteenthsFallOnTheSongsAsInLiblilv) {
    const jack_nframes_t block = GetParam();
    JackServer server(48000, block);
    JackTransport transport(server.name(), 120, {25600, 90});
    Jalv jalv(server, {"arpeggiate=1", "divert=1", "resolution=2", "cycle=1", "follow_host=1"});
    JackTester tester(server.name());
    jalv.connect(tester);
    JackTester control(server.name(), "control");  // wired straight to the sender: the rig's own losses
    control.connectRecordFrom(tester.playPort());
    transport.Locate(0);
    tester.waitCycles(4);
    const jack_nframes_t chordAt = tester.frameNow() + 2 * block;
    for (std::uint8_t key : {60, 64, 67}) tester.play({0x90, key, 100}, chordAt);
    while (tester.frameNow() < chordAt + 4800) tester.waitCycles(4);
    ASSERT_TRUE(tester.recorded().empty()) << "silent while the transport stands, as before it ever rolled";
    const auto waitFor = [&](auto done) {
        for (int i = 0; i < 5000 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    };
    transport.Start();
    waitFor([&] { return transport.Frame() >= 60000; });
    transport.Locate(28600);
    waitFor([&] { return transport.Frame() >= 28600 + 48000 && transport.Frame() < 60000 + 48000; });
    transport.Stop();
    tester.waitCycles(20);
    const std::size_t atStop = tester.recorded().size();
    tester.waitCycles(50);
    const std::vector<RecordedMidi> recorded = tester.recorded();
    EXPECT_EQ(recorded.size(), atStop) << "silent once the transport stopped";
    ASSERT_GE(transport.Changes().size(), 4u) << "started, relocated, stopped";

    // PipeWire's JACK gives a cycle the bar and beat of the cycle before
    // (jackd those of its own): the plugin can only follow what it is told,
    // so there the grid is not judged. Nor are frames when a cycle was lost
    // (a busy machine): jalv then tells the plugin a new position, rounded,
    // and what the rig missed is not known.
    const bool late = JackServer::pipewire();
    const std::uint64_t lost = tester.recorderMissedCycles() + transport.MissedCycles() + transport.Xruns();
    if (control.recorded().size() < 3)
        GTEST_SKIP() << "the chord never reached a port: the server lost the sender's cycle";
    if (late && lost > 0 && recorded.empty())
        GTEST_SKIP() << "PipeWire lost " << lost << " cycles and nothing came out: the rig cannot be judged";
    std::size_t ons = 0;
    double worst = 0;
    for (const RecordedMidi& m : recorded) {
        if (m.bytes[0] != 0x90) continue;
        ++ons;
        const double frame = static_cast<double>(transport.At(m.frame).first);
        const double off = frame - transport.FrameOfBeats(std::round(transport.BeatsAt(frame) * 4) / 4);
        if (!late && lost == 0) {
            EXPECT_LT(std::abs(off), 1.0) << "a note-on " << off << " frames off the song's 16ths at JACK frame " << m.frame;
        }
        worst = std::max(worst, std::abs(off));
    }
    EXPECT_GE(ons, 14u);
    ASSERT_FALSE(recorded.empty());
    EXPECT_EQ(recorded.back().bytes[0], 0x80) << "the note sounding at the stop ends";

    auto controls = std::vector<std::pair<Control, float>>{
        {Control::Arpeggiate, 1}, {Control::Divert, 1}, {Control::Resolution, 2}, {Control::Cycle, 1}, {Control::FollowClock, 1}};
    PluginRig rig({.controls = controls});
    const std::int64_t first = transport.FirstCycle() + (chordAt - transport.FirstCycle()) / block * block;
    std::vector<FramedMessage> replayed;
    for (std::int64_t cycle = first; cycle <= static_cast<std::int64_t>(recorded.back().frame); cycle += block) {
        std::vector<HostInput> input;
        for (const JackTransport::Change& c : transport.Changes())  // what jalv was given, where
            if (c.jackFrame == cycle && c.bbt) {
                TimePosition p;
                p.bpm = static_cast<float>(c.bpm);
                p.speed = c.rolling ? 1 : 0;
                p.bar = c.bar - 1;
                p.barBeat = static_cast<float>(c.beat - 1 + c.tick / c.ticksPerBeat);
                input.emplace_back(0, p);
            }
        if (chordAt >= cycle && chordAt < cycle + block)
            for (std::uint8_t key : {60, 64, 67}) input.emplace_back(chordAt - cycle, Bytes{0x90, key, 100});
        for (FramedMessage& m : rig.Run(block, input)) replayed.push_back({m.frame + first, m.bytes});
    }
    // Note-ons on the same frames; a note-off may differ by the millisecond
    // its length is counted in, which runs from each instance's activation.
    std::vector<FramedMessage> heard;
    for (const RecordedMidi& m : recorded) heard.push_back({m.frame, m.bytes});
    if (lost == 0) {
        ASSERT_EQ(heard.size(), replayed.size()) << ::testing::PrintToString(heard) << "\n" << ::testing::PrintToString(replayed);
        for (std::size_t i = 0; i < heard.size(); ++i) {
            EXPECT_EQ(heard[i].bytes, replayed[i].bytes) << i;
            EXPECT_NEAR(double(heard[i].frame), double(replayed[i].frame), heard[i].bytes[0] == 0x90 ? 0 : 48)
                << "message " << i << " in jalv and liblilv";
        }
    }
    std::printf("jalv at %u frames a cycle%s: %zu note-ons, %.2f frames off the song's 16ths at most%s\n", block,
                late ? " (PipeWire: bar and beat a cycle late)" : "", ons, worst,
                lost ? "; cycles were lost: frames not judged" : "");
}

INSTANTIATE_TEST_SUITE_P(, Lv2EndToEndCycles, ::testing::Values(64, 256, 1024),
                         [](const auto& row) { return std::to_string(row.param) + "Frames"; });

}  // namespace
}  // namespace vlx::test
