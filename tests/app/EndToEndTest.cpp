// The whole program on a private JACK server: switched on from the keyboard,
// a chord played into VLXArp:in, the arpeggio recorded from VLXArp:out and
// checked note by note, and SIGTERM while it plays.
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include <gtest/gtest.h>

#include "ChildProgram.h"
#include "support/JackServer.h"
#include "support/JackTester.h"

namespace vlx::test {
namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(EndToEnd, AChordPlayedIntoTheProgramComesOutAsItsArpeggio) {
    JackServer server(48000, 256);
    server.makeDefault();
    const fs::path config = fs::temp_directory_path() / ("vlxarp-e2e-" + std::to_string(getpid()));
    fs::remove_all(config);
    fs::create_directories(config / "Veloxa");
    // 240 bpm in 16ths: a step every 62 ms, sounding 39 ms; the program
    // diverts the host's input, so only the arpeggio comes out.
    std::ofstream(config / "Veloxa" / "VLXArp.reg") << "[HKEY_CURRENT_USER\\Software\\Veloxa\\VLXArp]\n"
                                                       "\"Tempo\"=dword:000000f0\n"
                                                       "\"Resolution\"=\"16th\"\n"
                                                       "\"Cycle\"=\"Up\"\n"
                                                       "\"Divert\"=dword:00000001\n";

    ChildProgram program(VLX_ARMED_PROGRAM, {"QT_QPA_PLATFORM=offscreen", "XDG_CONFIG_HOME=" + config.string()});
    ASSERT_FALSE(program.waitFor("armed", 20'000).empty()) << "the window did not come up armed";

    JackTester tester(server.name());
    tester.connectPlayTo("VLXArp:in");
    tester.connectRecordFrom("VLXArp:out");
    tester.waitCycles(2);
    const jack_nframes_t start = tester.frameNow() + tester.bufferSize();
    for (std::uint8_t key : {64, 60, 67}) tester.play({0x90, key, 100}, start);
    const jack_nframes_t rate = tester.sampleRate();
    // Held for about a second, then the program is told to end while it
    // plays: its last note-off must still come out.
    tester.waitCycles(static_cast<int>(rate / tester.bufferSize()));
    const jack_nframes_t release = tester.frameNow();
    EXPECT_EQ(program.terminate(10'000), 0);
    tester.waitCycles(4);
    // On failure, the recording in ms from the chord.
    struct Dump {
        JackTester& tester;
        jack_nframes_t start, rate;
        ~Dump() {
            if (!::testing::Test::HasFailure()) return;
            for (const auto& m : tester.recorded())
                fprintf(stderr, "%8.2f %02x %d\n", (double(m.frame) - double(start)) * 1000.0 / rate, m.bytes[0],
                        m.bytes[1]);
        }
    } dump{tester, start, rate};

    // Note by note: ons in the order 60 64 67 ..., each released before the
    // next starts, a step (62 ms) apart, sounding 39 ms. A late step is
    // still sent, late, so order and counts hold on a busy machine; the
    // timing is judged by medians, which a few late notes cannot move.
    const double msPerFrame = 1000.0 / rate;
    const int chord[] = {60, 64, 67};
    std::vector<RecordedMidi> ons;
    std::vector<double> spacing, sounded;
    int sounding = -1;  // the key of the note sounding, if any
    for (const auto& m : tester.recorded()) {
        ASSERT_EQ(m.bytes.size(), 3u);
        ASSERT_TRUE(m.bytes[0] == 0x90 || m.bytes[0] == 0x80) << int(m.bytes[0]);
        if (m.bytes[0] == 0x90) {
            EXPECT_EQ(sounding, -1) << "a note-on while another note sounds";
            EXPECT_EQ(m.bytes[1], chord[ons.size() % 3]) << "note-on " << ons.size();
            EXPECT_EQ(m.bytes[2], 100);
            if (!ons.empty()) spacing.push_back((m.frame - ons.back().frame) * msPerFrame);
            ons.push_back(m);
            sounding = m.bytes[1];
        } else {
            ASSERT_EQ(m.bytes[1], sounding) << "a note-off for a note that does not sound";
            if (m.frame < release) sounded.push_back((m.frame - ons.back().frame) * msPerFrame);
            sounding = -1;
        }
    }
    EXPECT_EQ(sounding, -1) << "a note was left sounding";
    // About 17 steps fall due in the second the chord is held.
    EXPECT_GE(ons.size(), 15u);
    EXPECT_LE(ons.size(), 22u);
    ASSERT_FALSE(ons.empty());
    EXPECT_GE(ons.front().frame, start + 5 * rate / 1000) << "the pattern starts 5 ms after the chord";
    auto median = [](std::vector<double> v) {
        if (v.empty()) return 0.0;
        std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
        return v[v.size() / 2];
    };
    EXPECT_NEAR(median(spacing), 62.0, 2.0);
    EXPECT_NEAR(median(sounded), 39.0, 2.0);

    const std::string saved = readFile(config / "Veloxa" / "VLXArp.reg");
    EXPECT_NE(saved.find("\"Tempo\"=dword:000000f0"), std::string::npos) << saved;
    EXPECT_NE(saved.find("\"Resolution\"=\"16th\""), std::string::npos) << saved;
    EXPECT_NE(saved.find("\"Cycle\"=\"Up\""), std::string::npos) << saved;
    EXPECT_NE(saved.find("\"Divert\"=dword:00000001"), std::string::npos) << saved;
    EXPECT_NE(saved.find("\"Octaves\"=\"1\""), std::string::npos) << saved;
    fs::remove_all(config);
}

}  // namespace
}  // namespace vlx::test
