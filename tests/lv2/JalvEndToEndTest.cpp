// SPDX-License-Identifier: GPL-3.0-or-later
// The plugin in jalv, the LV2 host of the LV2 project, on a private JACK
// server: a separate sender plays into it and a recorder takes what it
// plays. With its Tempo control, a chord comes out as its arpeggio on
// exact frames; following the JACK transport (a timebase master at 120
// bpm), its 16ths fall on the song's 16ths and stop with the transport.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "JackTransport.h"
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

TEST(Lv2EndToEnd, InJalvFollowingTheJackTransportItsSixteenthsFallOnTheSongsAndStopWithIt) {
    JackServer server(48000, 256);
    JackTransport transport(server.name(), 120);
    Jalv jalv(server, {"arpeggiate=1", "divert=1", "resolution=2", "cycle=1", "follow_host=1"});
    JackTester tester(server.name());
    jalv.connect(tester);
    // Located: the transport stands at bar 1 with its tempo.
    transport.Locate(0);
    tester.waitCycles(4);
    for (std::uint8_t key : {60, 64, 67}) tester.play({0x90, key, 100});
    tester.waitCycles(20);
    ASSERT_TRUE(tester.recorded().empty()) << "silent while the transport stands, as before it ever rolled";
    transport.Start();
    ASSERT_TRUE(tester.waitRecorded(2 * 12, std::chrono::seconds(10)));
    transport.Stop();
    tester.waitCycles(20);
    const std::size_t atStop = tester.recorded().size();
    tester.waitCycles(50);
    EXPECT_EQ(tester.recorded().size(), atStop) << "silent once the transport stopped";

    // A 16th is 6000 frames at 120 bpm: every note-on on the song's grid.
    const auto origin = transport.Origin();
    ASSERT_TRUE(origin.has_value());
    const auto found = ons(tester.recorded());
    ASSERT_GE(found.size(), 12u);
    for (const RecordedMidi* m : found) EXPECT_EQ((static_cast<std::int64_t>(m->frame) - *origin) % 6000, 0) << m->frame;
    for (std::size_t i = 1; i < found.size(); ++i) EXPECT_EQ(found[i]->frame - found[i - 1]->frame, 6000u);
    const auto& last = tester.recorded().back();
    EXPECT_EQ(last.bytes[0], 0x80) << "the note sounding at the stop ends";
}

}  // namespace
}  // namespace vlx::test
