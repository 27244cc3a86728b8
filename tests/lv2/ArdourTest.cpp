// SPDX-License-Identifier: GPL-3.0-or-later
// The plugin in a real DAW: headless Ardour 7 (ardour7-lua on its None
// backend) builds a session with VLXArp before ACE Reasonable Synth, saves,
// closes and opens it again, and rolls it at 120 bpm with a chord sent in,
// recording the synth (ardour_session.lua). The arpeggio is judged as sent
// (a Lua probe after the plugin keeps its note-ons) and as heard in the
// recording: on the song's 16ths, every 16th, its pitches in order.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/ChildProgram.h"
#include "support/AudioAnalysis.h"

namespace vlx::test {
namespace {

namespace fs = std::filesystem;

std::vector<float> readMono(const std::string& path) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file) return {};
    std::vector<float> samples(static_cast<std::size_t>(info.frames * info.channels));
    sf_readf_float(file, samples.data(), info.frames);
    sf_close(file);
    return samples;
}

TEST(Lv2Ardour, InHeadlessArdourTheSessionReopensWithItsControlsAndTheChordSoundsOnTheSongsSixteenths) {
    const auto began = std::chrono::steady_clock::now();
    const fs::path home = fs::temp_directory_path() / ("vlxarp-ardour-" + std::to_string(getpid()));
    fs::remove_all(home);
    fs::create_directories(home / "ardour7" / "scripts");
    fs::copy_file(VLX_ARDOUR_PROBE, home / "ardour7" / "scripts" / "ardour_probe.lua");
    // The None backend is hidden unless the rc file says otherwise.
    std::ofstream(home / "ardour7" / "config")
        << "<?xml version=\"1.0\"?>\n<Ardour><Config><Option name=\"hide-dummy-backend\" value=\"0\"/></Config></Ardour>\n";
    const fs::path log = home / "ardour.log";
    ChildProgram ardour("/bin/sh",
                        {"HOME=" + home.string(), "XDG_CONFIG_HOME=" + home.string(), "LV2_PATH=" VLX_LV2_PATH ":/usr/lib/lv2",
                         "VLX_SESSION_DIR=" + (home / "session").string(), "VLX_LV2_URI=" VLX_LV2_URI},
                        "", {"-c", "exec " VLX_ARDOUR_LUA " " VLX_ARDOUR_SCRIPT " >'" + log.string() + "' 2>&1"});
    const int status = ardour.waitExit(60'000);
    std::ifstream in(log);
    const std::string said((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_NE(said.find("\nvlx done"), std::string::npos) << "Ardour stopped before the work was done (" << status
                                                          << "):\n" << said;
    if (status != 0)
        std::printf("Ardour failed at exit (status %d) after the work was done; what it recorded is judged\n", status);

    std::map<std::string, double> controls;
    std::vector<std::string> plugins;
    std::string take;
    std::int64_t takeAt = -1;
    int xruns = -1;
    std::vector<std::pair<std::int64_t, int>> sent;  // what VLXArp sent, as the probe after it saw it
    std::istringstream lines(said);
    for (std::string line; std::getline(lines, line);) {
        EXPECT_EQ(line.find("VLXArp:"), std::string::npos) << "the plugin logged: " << line;
        std::istringstream words(line);
        std::string vlx, what;
        if (!(words >> vlx >> what) || vlx != "vlx") continue;
        std::string rest;
        std::getline(words >> std::ws, rest);
        if (what == "plugin") plugins.push_back(rest);
        if (what == "take") std::istringstream(rest) >> takeAt >> take;
        if (what == "xruns") xruns = std::stoi(rest);
        if (what == "note") {
            std::int64_t sample = 0;
            int key = 0;
            std::istringstream(rest) >> sample >> key;
            sent.emplace_back(sample, key);
        }
        if (what == "control") {
            std::istringstream value(rest);
            double v = NAN;
            value >> v >> std::ws;
            std::getline(value, rest);
            controls[rest] = v;
        }
    }
    EXPECT_EQ(plugins, (std::vector<std::string>{"VLXArp", "VLX Probe", "ACE Reasonable Synth"}));
    // At 120 bpm a 16th is 6000 samples from the song's top: the notes sent
    // fall on them, every 16th, in Up order.
    ASSERT_GE(sent.size(), 16u) << said;
    for (std::size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(sent[i].first % 6000, 0) << "note " << i << " sent at " << sent[i].first;
        EXPECT_EQ(sent[i].second, (std::vector<int>{60, 64, 67})[i % 3]) << "note " << i;
        if (i > 0) {
            EXPECT_EQ(sent[i].first - sent[i - 1].first, 6000) << "note " << i;
        }
    }
    const std::map<std::string, double> set = {{"Arpeggiate", 1}, {"Divert Input", 1}, {"Resolution", 2},
                                               {"Sustain", 1},    {"Cycle", 1},        {"Follow host tempo", 1}};
    for (const auto& [name, value] : set) EXPECT_EQ(controls[name], value) << name << " after the session reopened";

    const std::vector<float> sound = readMono(take);
    ASSERT_GT(sound.size(), 48000u) << "no recording in " << take;
    ASSERT_GE(takeAt, 0);
    // The sound: a note sounds from its sample; the analysis finds it where
    // its attack reaches a fifth of its peak, 1.5 to 3 ms on with this
    // synth. On a busy machine Ardour has placed a take whole blocks (1024
    // samples) off the timeline; the notes sent say where they belong.
    std::vector<std::int64_t> residuals, sixteenths;
    std::vector<int> keys;
    for (std::size_t at : audio::onsets(sound, 48000)) {
        if (at + 4800 > sound.size()) break;  // cut short by the stop
        const std::int64_t sample = takeAt + static_cast<std::int64_t>(at);
        sixteenths.push_back((sample + 3000) / 6000);
        residuals.push_back(sample - sixteenths.back() * 6000);
        keys.push_back(audio::midiKey(audio::pitchHz(sound, at + 400, 1900, 48000)));
    }
    ASSERT_GE(keys.size(), 16u) << "about 3 s of 16ths";
    auto sorted = residuals;
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(sorted.size() / 2), sorted.end());
    const std::int64_t misplaced = (sorted[sorted.size() / 2] + 512) / 1024 * 1024;
    if (misplaced != 0) std::printf("Ardour placed the take %lld samples off the timeline\n", static_cast<long long>(misplaced));
    std::int64_t worst = 0;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        residuals[i] -= misplaced;
        EXPECT_EQ(keys[i], (std::vector<int>{60, 64, 67})[i % 3]) << "sound " << i;
        EXPECT_TRUE(residuals[i] >= 0 && residuals[i] <= 144) << "sound " << i << " off the song's 16ths by " << residuals[i];
        if (i > 0) {
            EXPECT_EQ(sixteenths[i], sixteenths[i - 1] + 1) << "sound " << i << ": a 16th without a note";
        }
        worst = std::max(worst, std::abs(residuals[i]));
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    const double span = double(6000 * (sixteenths.back() - sixteenths.front()) + residuals.back() - residuals.front()) / 48000;
    std::printf("Ardour: %zu onsets, %.2f a second from the first to the last, %lld samples off the 16ths at most; "
                "take at %lld, %d xruns; the test took %.1f s\n",
                keys.size(), double(keys.size() - 1) / span, static_cast<long long>(worst), static_cast<long long>(takeAt),
                xruns, seconds);
    fs::remove_all(home);
}

}  // namespace
}  // namespace vlx::test
