// SPDX-License-Identifier: GPL-3.0-or-later
// Playing musically: Keep the beat, the latch, Arpeggiate over held keys,
// Random drawn every pass and joining a running song, on a scripted clock
// of 1 ms cycles, judged by the frames of what the player sends.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "player/HandsFree.h"
#include "player/Player.h"
#include "support/PlayerSettings.h"
#include "support/ScriptedCycles.h"

namespace vlx {
namespace {

using test::Bytes;
using test::ScriptedCycles;

// 240 bpm in 16ths: a step every 62 ms, sounding 39 (Normal).
const test::Musical k16ths{240, 2, Arpeggiator::Normal, 1, Arpeggiator::CycleUp};

Bytes keyDown(int note) { return {0x90, static_cast<std::uint8_t>(note), 100}; }
Bytes keyUp(int note) { return {0x80, static_cast<std::uint8_t>(note), 64}; }

struct Struck {
    std::int64_t ms;  // when its note-on went out
    int pitch;
    std::int64_t length;  // ms until its note-off (on the note-on's channel); -1 while sounding
    int velocity = 100;
    int chan = 0;
    bool operator==(const Struck&) const = default;
};
void PrintTo(const Struck& s, std::ostream* os) {
    *os << s.pitch << "@" << s.ms << "/" << s.length << " v" << s.velocity << " ch" << s.chan;
}

// A session at 1 ms per cycle: actions run at the start of their
// millisecond's cycle (a command then takes effect in it), keys arrive at
// their millisecond's first frame.
struct Session {
    ScriptedCycles cycles;
    Player player;
    std::multimap<std::int64_t, std::function<void()>> actions;
    std::vector<Bytes> passed;  // what was not the arpeggio's own notes
    std::int64_t arpeggioFrom = 0;  // notes before this passed through
    std::vector<Struck> struck;              // every note so far
    std::map<int, std::size_t> sounding;     // by channel * 128 + pitch: where in `struck`

    explicit Session(const ControlValues& c) : player(c) { cycles.period = 48; }
    void At(std::int64_t ms, std::function<void()> action) { actions.emplace(ms, std::move(action)); }
    void Key(std::int64_t ms, Bytes bytes) { cycles.At(cycles.FrameOfMs(ms), std::move(bytes)); }
    // Runs to `endMs` and gives every note struck meanwhile, with its length.
    std::vector<Struck> Run(std::int64_t endMs) {
        for (std::int64_t ms = cycles.frame / 48; ms < endMs; ++ms) {
            for (auto [a, b] = actions.equal_range(ms); a != b; ++a) a->second();
            cycles.RunUntil(player, cycles.FrameOfMs(ms + 1));
        }
        const std::size_t first = struck.size();
        for (const auto& m : cycles.Take()) {
            const auto ms = static_cast<std::int64_t>(m.frame / 48);
            const bool on = (m.bytes[0] & 0xF0) == 0x90 && ms >= arpeggioFrom;
            const bool off = (m.bytes[0] & 0xF0) == 0x80 && m.bytes[2] == 0;
            EXPECT_EQ(m.frame % 48, 0u) << "on a millisecond's first frame";
            const int key = (m.bytes[0] & 0x0F) * 128 + m.bytes[1];
            if (on) {
                EXPECT_FALSE(sounding.count(key)) << int{m.bytes[1]} << " struck again while sounding at " << ms;
                sounding[key] = struck.size();
                struck.push_back({ms, m.bytes[1], -1, m.bytes[2], m.bytes[0] & 0x0F});
            } else if (off && sounding.count(key)) {
                Struck& s = struck[sounding[key]];
                s.length = ms - s.ms;
                sounding.erase(key);
            } else {
                passed.push_back(m.bytes);
            }
        }
        return {struck.begin() + static_cast<std::ptrdiff_t>(first), struck.end()};
    }
};

// The settings as preset 5, recalled by Program Change on channel 1.
std::unique_ptr<HandsFreeTables> asPreset5(const test::Musical& m) {
    auto tables = std::make_unique<HandsFreeTables>();
    const ControlValues values = m;
    Preset preset{{}, values};
    for (Control c : {Control::Tempo, Control::Octaves, Control::Resolution, Control::Sustain, Control::Cycle})
        preset.sets.set(static_cast<std::size_t>(c));
    tables->presets[5] = preset;
    tables->programChannel = 0;
    return tables;
}

// Controller 20 bound to the one control the settings change, and the value
// of it that gives the new value; none when no value does.
std::optional<std::uint8_t> bindTo(Session& s, const ControlValues& from, const ControlValues& to) {
    for (const ControlInfo& info : Controls()) {
        if (from[info.id] == to[info.id]) continue;
        const Binding b{Binding::Source::Controller, 0, 20, info.id};
        auto tables = std::make_unique<HandsFreeTables>();
        tables->Bind(b);
        s.player.SetHandsFree(std::move(tables));
        for (int v = 0; v < 128; ++v) {
            bool down = false;
            if (BoundValue(b, from[info.id], false, static_cast<std::uint8_t>(v), down) == to[info.id])
                return static_cast<std::uint8_t>(v);
        }
    }
    return std::nullopt;
}

// Steps `before` apart up to `until`, `after` apart from there.
void expectBeat(const std::vector<Struck>& struck, std::int64_t before, std::int64_t until, std::int64_t after) {
    for (std::size_t i = 1; i < struck.size(); ++i)
        EXPECT_EQ(struck[i].ms - struck[i - 1].ms, struck[i].ms <= until ? before : after)
            << "off the beat: " << struck[i].pitch << "@" << struck[i].ms;
}

// A chord rolled, a key added or released and each setting changed while a
// pattern plays: with Keep the beat no note is struck twice, the beat does
// not move and the lengths change only with the setting. Without it the
// rules stay as they were: each key restarts the pattern.
TEST(KeepBeat, KeysAndSettingsJoinAtTheNextStepWithoutAStrikeTwiceOrTheBeatMoved) {
    struct Row {
        const char* what;
        bool keepBeat;
        std::vector<std::pair<std::int64_t, Bytes>> keys;
        std::function<void(test::Musical&)> change;  // at 250 ms, if any
        std::vector<Struck> struck;                   // until 520 ms
        std::int64_t period = 62;                     // the beat from 291 on; 0: struck alone says it
        std::vector<std::pair<Control, std::int32_t>> controls = {};  // from the start
        std::vector<std::pair<Control, std::int32_t>> later = {};     // at 250 ms
    };
    using C = Control;
    const std::int32_t xRestXTie = FromText(C::Rhythm, "x.x-").value();
    const std::vector<std::pair<std::int64_t, Bytes>> chord = {{100, keyDown(60)}, {100, keyDown(64)}, {100, keyDown(67)}};
    const Row rows[] = {
        {"a chord whose keys come 3 ms apart starts once, 5 ms after its last key",
         true, {{100, keyDown(60)}, {103, keyDown(64)}, {106, keyDown(67)}}, nullptr,
         {{111, 60, 39}, {173, 64, 39}, {235, 67, 39}, {297, 60, 39}, {359, 64, 39}, {421, 67, 39}, {483, 60, -1}}},
        {"a chord rolled up over 20 ms: its first key sounds, the others join at the next steps",
         true, {{100, keyDown(60)}, {110, keyDown(64)}, {120, keyDown(67)}}, nullptr,
         {{105, 60, 39}, {167, 64, 39}, {229, 67, 39}, {291, 60, 39}, {353, 64, 39}, {415, 67, 39}, {477, 60, 39}}},
        {"rolled down over 30 ms: the pattern goes on upward from the key struck",
         true, {{100, keyDown(67)}, {115, keyDown(64)}, {130, keyDown(60)}}, nullptr,
         {{105, 67, 39}, {167, 60, 39}, {229, 64, 39}, {291, 67, 39}, {353, 60, 39}, {415, 64, 39}, {477, 67, 39}}},
        {"without Keep the beat each key of a roll restarts the pattern: its bottom key struck three times",
         false, {{100, keyDown(60)}, {110, keyDown(64)}, {120, keyDown(67)}}, nullptr,
         {{105, 60, 5}, {115, 60, 5}, {125, 60, 39}, {187, 64, 39}, {249, 67, 39}, {311, 60, 39}, {373, 64, 39},
          {435, 67, 39}, {497, 60, -1}}},
        {"a key added mid-pattern joins at the next step, after the one played",
         true, {{100, keyDown(60)}, {100, keyDown(64)}, {250, keyDown(67)}}, nullptr,
         {{105, 60, 39}, {167, 64, 39}, {229, 60, 39}, {291, 64, 39}, {353, 67, 39}, {415, 60, 39}, {477, 64, 39}}},
        {"without Keep the beat a key released while it sounds ends at once, its places silent",
         false, {{100, keyDown(60)}, {100, keyDown(64)}, {100, keyDown(67)}, {180, keyUp(64)}}, nullptr,
         {{105, 60, 39}, {167, 64, 13}, {229, 67, 39}, {291, 60, 39}, {415, 67, 39}, {477, 60, 39}}},
        {"a key released mid-pattern leaves at the next step",
         true, {{100, keyDown(60)}, {100, keyDown(64)}, {100, keyDown(67)}, {300, keyUp(64)}}, nullptr,
         {{105, 60, 39}, {167, 64, 39}, {229, 67, 39}, {291, 60, 39}, {353, 67, 39}, {415, 60, 39}, {477, 67, 39}}},
        {"Octaves 1 to 2: the next step goes on into the new octave",
         true, {{100, keyDown(60)}, {100, keyDown(64)}, {100, keyDown(67)}},
         [](test::Musical& c) { c.octaves = 2; },
         {{105, 60, 39}, {167, 64, 39}, {229, 67, 39}, {291, 72, 39}, {353, 76, 39}, {415, 79, 39}, {477, 60, 39}}},
        {"Cycle Up to Down: the next step goes on downward from the one played",
         true, {{100, keyDown(60)}, {100, keyDown(64)}, {100, keyDown(67)}},
         [](test::Musical& c) { c.cycle = Arpeggiator::CycleDown; },
         {{105, 60, 39}, {167, 64, 39}, {229, 67, 39}, {291, 64, 39}, {353, 60, 39}, {415, 67, 39}, {477, 64, 39}}},
        {"Sustain Normal to Staccato: only the lengths change",
         true, {{100, keyDown(60)}, {100, keyDown(64)}, {100, keyDown(67)}},
         [](test::Musical& c) { c.sustain = Arpeggiator::Staccato; },
         {{105, 60, 39}, {167, 64, 39}, {229, 67, 39}, {291, 60, 19}, {353, 64, 19}, {415, 67, 19}, {477, 60, 19}}},
        {"16ths to 8ths: from the next step of the old grid, 125 ms apart",
         true, {{100, keyDown(60)}, {100, keyDown(64)}, {100, keyDown(67)}},
         [](test::Musical& c) { c.resolution = 4; },
         {{105, 60, 39}, {167, 64, 39}, {229, 67, 39}, {291, 60, 81}, {416, 64, 81}}, 125},
        {"tempo 240 to 120: likewise",
         true, {{100, keyDown(60)}, {100, keyDown(64)}, {100, keyDown(67)}},
         [](test::Musical& c) { c.tempo = 120; },
         {{105, 60, 39}, {167, 64, 39}, {229, 67, 39}, {291, 60, 81}, {416, 64, 81}}, 125},
        {"a chord 40 ms after every key was up sounds at once, the steps after it on the running grid",
         true, {{100, keyDown(60)}, {100, keyDown(64)}, {300, keyUp(60)}, {300, keyUp(64)}, {340, keyDown(67)},
                {340, keyDown(72)}}, nullptr,
         {{105, 60, 39}, {167, 64, 39}, {229, 60, 39}, {291, 64, 9}, {345, 67, 39}, {415, 72, 39}, {477, 67, 39}}, 0},
        {"without Keep the beat that chord moves the beat by the gap and 5 ms",
         false, {{100, keyDown(60)}, {100, keyDown(64)}, {300, keyUp(60)}, {300, keyUp(64)}, {340, keyDown(67)},
                 {340, keyDown(72)}}, nullptr,
         {{105, 60, 39}, {167, 64, 39}, {229, 60, 39}, {291, 64, 9}, {345, 67, 39}, {407, 72, 39}, {469, 67, 39}}, 0},
        {"a key released on the frame of its step: the step does not sound",
         false, {{100, keyDown(60)}, {100, keyDown(64)}, {100, keyDown(67)}, {167, keyUp(64)}}, nullptr,
         {{105, 60, 39}, {229, 67, 39}, {291, 60, 39}, {415, 67, 39}, {477, 60, 39}}, 0},
        {"a chord changed right on the beat plays its first note on that beat",
         true, {{100, keyDown(60)}, {100, keyDown(64)}, {229, keyDown(67)}, {229, keyUp(60)}, {229, keyUp(64)}}, nullptr,
         {{105, 60, 39}, {167, 64, 39}, {229, 67, 39}, {291, 67, 39}, {353, 67, 39}, {415, 67, 39}, {477, 67, 39}}},
        {"Retrigger checked: a new key restarts the pattern, as its label says",
         true, {{100, keyDown(60)}, {100, keyDown(64)}, {250, keyDown(67)}}, nullptr,
         {{105, 60, 39}, {167, 64, 39}, {229, 60, 21}, {255, 60, 39}, {317, 64, 39}, {379, 67, 39}, {441, 60, 39},
          {503, 64, -1}}},
        {"without Keep the beat a key released within 5 ms of another's press keeps its silent place",
         false, {{100, keyDown(60)}, {200, keyDown(62)}, {203, keyUp(60)}}, nullptr,
         {{105, 60, 39}, {167, 60, 33}, {267, 62, 39}, {391, 62, 39}, {515, 62, -1}}},
        {"a rhythm of 4, x.x-: a rest waits for the next note, a tie holds the note before through its step",
         false, chord, nullptr, {{105, 60, 39}, {229, 64, 101}, {353, 67, 39}, {477, 60, -1}}, 62,
         {{C::Rhythm, xRestXTie}, {C::RhythmLength, 4}}},
        {"a key joining on a kept beat goes on in the rhythm's place",
         true, {{100, keyDown(60)}, {100, keyDown(64)}, {120, keyDown(67)}}, nullptr,
         {{105, 60, 39}, {229, 64, 101}, {353, 67, 39}, {477, 60, -1}}, 62,
         {{C::Rhythm, xRestXTie}, {C::RhythmLength, 4}}},
        {"each note twice", false, chord, nullptr,
         {{105, 60, 39}, {167, 60, 39}, {229, 64, 39}, {291, 64, 39}, {353, 67, 39}, {415, 67, 39}, {477, 60, 39}},
         62, {{C::Repeat, 2}}},
        {"as played", false, {{100, keyDown(67)}, {100, keyDown(60)}, {100, keyDown(64)}}, nullptr,
         {{105, 67, 39}, {167, 60, 39}, {229, 64, 39}, {291, 67, 39}, {353, 60, 39}, {415, 64, 39}, {477, 67, 39}},
         62, {{C::Cycle, Arpeggiator::CycleAsPlayed}}},
        {"octaves up and back down over 3", false, {{100, keyDown(60)}}, nullptr,
         {{105, 60, 39}, {167, 72, 39}, {229, 84, 39}, {291, 72, 39}, {353, 60, 39}, {415, 72, 39}, {477, 84, 39}},
         62, {{C::Octaves, 3}, {C::OctaveOrder, Arpeggiator::OctavesBounce}}},
        {"octaves downward over 2", false, chord, nullptr,
         {{105, 72, 39}, {167, 76, 39}, {229, 79, 39}, {291, 60, 39}, {353, 64, 39}, {415, 67, 39}, {477, 72, 39}},
         62, {{C::Octaves, 2}, {C::OctaveOrder, Arpeggiator::OctavesDown}}},
        {"accented every 3rd step of the grid", false, chord, nullptr,
         {{105, 60, 39, 127}, {167, 64, 39}, {229, 67, 39}, {291, 60, 39, 127}, {353, 64, 39}, {415, 67, 39},
          {477, 60, 39, 127}},
         62, {{C::Velocity, Arpeggiator::VelocityAccented}, {C::VelocityValue, 127}, {C::AccentEvery, 3}}},
        // On a swung grid (75 %: 93 and 31 ms) the accents and the rhythm
        // count its steps, and a tie lasts the tied step's own length.
        {"accents on a swung grid: every 2nd step", false, chord, nullptr,
         {{105, 60, 60, 127}, {198, 64, 19}, {229, 67, 60, 127}, {322, 60, 19}, {353, 64, 60, 127}, {446, 67, 19},
          {477, 60, -1, 127}},
         62, {{C::Velocity, Arpeggiator::VelocityAccented}, {C::VelocityValue, 127}, {C::AccentEvery, 2}, {C::Swing, 75}}},
        {"x- on a swung grid: the long step tied through the short one", false, chord, nullptr,
         {{105, 60, 91}, {229, 64, 91}, {353, 67, 91}, {477, 60, -1}}, 62,
         {{C::Swing, 75}, {C::Rhythm, FromText(C::Rhythm, "x-").value()}, {C::RhythmLength, 2}}},
        {"a chord after every key was up, on a kept beat in a rhythm: its first note waits for a play", true,
         {{100, keyDown(60)}, {100, keyDown(64)}, {250, keyUp(60)}, {250, keyUp(64)}, {280, keyDown(67)},
          {280, keyDown(72)}}, nullptr,
         {{105, 60, 39}, {229, 64, 21}, {353, 67, 39}, {477, 72, 39}}, 0,
         {{C::Rhythm, FromText(C::Rhythm, "x.").value()}, {C::RhythmLength, 2}}},
        {"a fixed velocity on channel 3", false, {{100, keyDown(60)}}, nullptr,
         {{105, 60, 39, 90, 2}, {167, 60, 39, 90, 2}, {229, 60, 39, 90, 2}, {291, 60, 39, 90, 2}, {353, 60, 39, 90, 2},
          {415, 60, 39, 90, 2}, {477, 60, 39, 90, 2}},
         62, {{C::Velocity, Arpeggiator::VelocityFixed}, {C::VelocityValue, 90}, {C::OutChannel, 3}}},
        {"the output channel changed: what sounds ends on its own first", false, chord, nullptr,
         {{105, 60, 39}, {167, 64, 39}, {229, 67, 21}, {291, 60, 39, 100, 2}, {353, 64, 39, 100, 2},
          {415, 67, 39, 100, 2}, {477, 60, 39, 100, 2}},
         62, {}, {{C::OutChannel, 3}}},
    };
    // A setting changes in the window, by a preset's Program Change or by a bound controller.
    for (const Row& row : rows) for (const char* way : {"window", "preset", "controller"}) {
        if (!row.change && way != std::string("window")) continue;
        SCOPED_TRACE(std::string(row.what) + ", by the " + way);
        const test::Musical c = k16ths;
        test::Musical changed = c;
        if (row.change) row.change(changed);
        ControlValues values = c;
        ControlValues after = changed;
        for (const auto& [control, value] : row.controls) values[control] = after[control] = value;
        Session s(values);
        s.player.Set(Control::KeepBeat, row.keepBeat);
        s.player.Set(Control::Retrigger, std::string(row.what).starts_with("Retrigger"));
        test::Enable(s.player, true, true);
        for (const auto& [ms, bytes] : row.keys) s.Key(ms, bytes);
        if (way == std::string("window") && row.change) s.At(250, [&] { test::SetControls(s.player, changed); });
        if (way == std::string("preset")) {
            s.player.SetHandsFree(asPreset5(changed));
            s.Key(250, {0xC0, 5});
        }
        if (way == std::string("controller")) {
            const auto value = bindTo(s, values, after);
            if (!value) continue;  // the tempo: no controller value is exactly 120
            s.Key(250, {0xB0, 20, *value});
        }
        for (const auto& [control, value] : row.later) s.At(250, [&s, control, value] { s.player.Set(control, value); });
        const auto struck = s.Run(520);
        EXPECT_EQ(struck, row.struck);
        if (row.keepBeat && row.period && row.controls.empty() && !std::string(row.what).starts_with("Retrigger"))
            expectBeat(struck, 62, 291, row.period);
        EXPECT_TRUE(s.passed.empty());
    }
}

// Without Keep the beat a preset recalled lays the pattern out at once: the
// note sounding rings to its own end, unless the preset makes its step that
// short or the new pattern strikes it again.
TEST(KeepBeat, APresetRecalledWithoutTheBeatKeptStartsAtOnceAndCutsNoNote) {
    struct Row {
        const char* what;
        std::function<void(test::Musical&)> change;
        std::vector<Struck> struck;  // until 520 ms
    };
    const Row rows[] = {
        {"8ths: 67 rings on to its end, the new pattern from 255", [](test::Musical& c) { c.resolution = 4; },
         {{105, 60, 39}, {167, 64, 39}, {229, 67, 39}, {255, 60, 81}, {380, 64, 81}, {505, 67, -1}}},
        {"Staccato: 67 ends at once, 19 ms from its start having passed", [](test::Musical& c) { c.sustain = 1; },
         {{105, 60, 39}, {167, 64, 39}, {229, 67, 21}, {255, 60, 19}, {317, 64, 19}, {379, 67, 19}, {441, 60, 19},
          {503, 64, -1}}},
        {"Down: 67 ends where the new pattern strikes it", [](test::Musical& c) { c.cycle = Arpeggiator::CycleDown; },
         {{105, 60, 39}, {167, 64, 39}, {229, 67, 26}, {255, 67, 39}, {317, 64, 39}, {379, 60, 39}, {441, 67, 39},
          {503, 64, -1}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        test::Musical changed = k16ths;
        row.change(changed);
        Session s(k16ths);
        s.player.SetHandsFree(asPreset5(changed));
        test::Enable(s.player, true, true);
        for (int note : {60, 64, 67}) s.Key(100, keyDown(note));
        s.Key(250, {0xC0, 5});
        EXPECT_EQ(s.Run(520), row.struck);
        EXPECT_TRUE(s.passed.empty());
    }
}

// A footswitch bound to Latch: toggling, a press switches it on and the
// next off; momentary, it holds only while down. What it sends goes no
// further.
TEST(KeepBeat, AFootswitchOnLatchTogglesOrHoldsWhileDown) {
    for (const auto mode : {Binding::Mode::Toggle, Binding::Mode::Momentary}) {
        SCOPED_TRACE(mode == Binding::Mode::Toggle ? "toggling" : "momentary");
        Session s(k16ths);
        auto tables = std::make_unique<HandsFreeTables>();
        tables->Bind({Binding::Source::Controller, 0, 66, Control::Latch, 0, mode});
        s.player.SetHandsFree(std::move(tables));
        s.player.Set(Control::KeepBeat, true);
        test::Enable(s.player, true, true);
        for (int note : {60, 64}) {
            s.Key(100, keyDown(note));
            s.Key(200, keyUp(note));
        }
        for (const auto& [ms, value] : {std::pair{150, 127}, {160, 0}, {400, 127}, {410, 0}})
            s.Key(ms, {0xB0, 66, static_cast<std::uint8_t>(value)});
        s.Run(300);
        EXPECT_EQ(s.player.controls()[Control::Latch], mode == Binding::Mode::Toggle);
        s.Run(600);
        EXPECT_EQ(s.player.controls()[Control::Latch], 0);
        // Held by the latch to the press at 400, else let go of at 200 (64 sounding then).
        std::vector<Struck> held = {{105, 60, 39}, {167, 64, 33}};
        if (mode == Binding::Mode::Toggle)
            held = {{105, 60, 39}, {167, 64, 39}, {229, 60, 39}, {291, 64, 39}, {353, 60, 39}};
        EXPECT_EQ(s.struck, held);
        EXPECT_TRUE(s.passed.empty());
    }
}

// The latch holds released keys until the next chord, which replaces them
// on the beat; switching the latch off lets go of what it held.
TEST(KeepBeat, TheLatchHoldsAChordUntilTheNextWhichComesInOnTheBeat) {
    test::Musical c = k16ths;
    Session s(c);
    s.player.Set(Control::KeepBeat, true);
    s.player.Set(Control::Latch, true);
    test::Enable(s.player, true, true);
    for (int note : {60, 64, 67}) {
        s.Key(100, keyDown(note));
        s.Key(200, keyUp(note));
    }
    // A new chord while the old one is latched, 9 ms after a step.
    s.Key(300, keyDown(62));
    s.Key(300, keyDown(65));
    s.Key(310, keyUp(62));
    s.Key(310, keyUp(65));
    EXPECT_EQ(s.Run(540), (std::vector<Struck>{{105, 60, 39},
                                                {167, 64, 39},
                                                {229, 67, 39},
                                                {291, 60, 9},  // the latched key let go of at 300
                                                {353, 62, 39},
                                                {415, 65, 39},
                                                {477, 62, 39},
                                                {539, 65, -1}}));
    // Switched off: nothing holds 62 and 65 any more; the one sounding ends.
    s.At(560, [&] { s.player.Set(Control::Latch, false); });
    s.passed.clear();
    EXPECT_TRUE(s.Run(800).empty());
    EXPECT_EQ(s.struck.back(), (Struck{539, 65, 21}));
    EXPECT_TRUE(s.passed.empty());
    EXPECT_TRUE(s.player.engine().IsEmpty());
}

// Arpeggiate pressed over keys already down plays them with Keep the beat
// on, after note-offs for what passed through to the synth; without it the
// keys must be struck again, as before.
TEST(KeepBeat, ArpeggiatePressedOverHeldKeysPlaysThem) {
    for (const bool keepBeat : {true, false}) {
        for (const bool divert : {true, false}) {
            SCOPED_TRACE(std::string(keepBeat ? "keep the beat" : "each key rebuilds") + (divert ? ", diverted" : ""));
            Session s(k16ths);
            s.player.Set(Control::KeepBeat, keepBeat);
            s.arpeggioFrom = 200;
            s.Key(100, keyDown(64));
            s.Key(100, keyDown(60));
            s.Key(150, keyDown(62));
            s.Key(160, keyUp(62));  // up again before Arpeggiate: not played
            s.At(200, [&] { test::Enable(s.player, true, divert); });
            const auto struck = s.Run(400);
            if (keepBeat) {
                EXPECT_EQ(struck, (std::vector<Struck>{{205, 60, 39}, {267, 64, 39}, {329, 60, 39}, {391, 64, -1}}));
            } else {
                EXPECT_TRUE(struck.empty());
            }
            // What passed: the three presses, 62's release and, diverted
            // with Keep the beat, the held keys' note-offs.
            std::vector<Bytes> expected = {keyDown(64), keyDown(60), keyDown(62), keyUp(62)};
            if (keepBeat && divert) {
                expected.push_back({0x80, 60, 0});
                expected.push_back({0x80, 64, 0});
            }
            EXPECT_EQ(s.passed, expected);
            // Releasing them after: with divert, their releases are the
            // engine's (no second release at the synth).
            s.Key(410, keyUp(60));
            s.Key(410, keyUp(64));
            s.passed.clear();
            s.Run(500);
            if (divert && keepBeat) {
                EXPECT_TRUE(s.passed.empty());
            } else {
                EXPECT_EQ(s.passed, (std::vector<Bytes>{keyUp(60), keyUp(64)}));
            }
            EXPECT_TRUE(s.player.engine().IsEmpty());
        }
    }
}

// Random with a new order every pass: each pass plays the same notes as an
// Up-Down pass, in orders that change, never one note twice in a row.
// Without it, one order loops until the next key.
TEST(KeepBeat, RandomDrawsANewOrderEveryPassWithoutRepeatingANote) {
    struct Row {
        const char* what;
        bool everyPass;
        std::int64_t lateKey;  // when 72 joins the three others on a kept beat; 0: with them
    };
    const Row rows[] = {{"every pass", true, 0},
                        {"once per rebuild", false, 0},
                        {"every pass, 72 added mid-pass: from its step on, every pass a full one", true, 420}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        test::Musical c = k16ths;
        c.cycle = Arpeggiator::CycleRandom;
        Session s(c);
        s.player.engine().SeedSource([rng = std::mt19937(7)]() mutable { return static_cast<std::uint32_t>(rng()); });
        s.player.Set(Control::ShuffleEveryPass, row.everyPass);
        s.player.Set(Control::KeepBeat, row.lateKey != 0);
        test::Enable(s.player, true, true);
        for (int note : {60, 64, 67}) s.Key(100, keyDown(note));
        s.Key(row.lateKey ? row.lateKey : 100, keyDown(72));
        const auto struck = s.Run(100 + 62 * 6 * 30);
        ASSERT_GE(struck.size(), 6u * 29);
        // Up-Down passes: of three notes (60 64 67 64) until 72 joins, cut
        // where it does; of four (60 64 67 72 67 64) from its step on.
        const auto joined = static_cast<std::size_t>(
            std::find_if(struck.begin(), struck.end(), [&](const Struck& x) { return x.ms > row.lateKey; }) -
            struck.begin());
        std::set<std::vector<int>> orders;
        const auto expectPass = [&](std::size_t from, std::vector<int> notes) {
            std::vector<int> order;
            for (std::size_t i = from; i < from + notes.size(); ++i) order.push_back(struck[i].pitch);
            orders.insert(order);
            std::sort(order.begin(), order.end());
            EXPECT_EQ(order, notes) << "the pass from " << struck[from].ms;
        };
        for (std::size_t at = 0; at + 4 <= joined; at += 4) expectPass(at, {60, 64, 64, 67});
        for (std::size_t at = joined; at + 6 <= struck.size(); at += 6) expectPass(at, {60, 64, 64, 67, 67, 72});
        for (std::size_t i = 1; row.everyPass && i < struck.size(); ++i)
            EXPECT_NE(struck[i].pitch, struck[i - 1].pitch) << "twice in a row at " << struck[i].ms;
        if (row.everyPass) {
            EXPECT_GE(orders.size(), 10u);
        } else {
            EXPECT_EQ(orders.size(), 1u);
        }
        for (std::size_t i = 1; i < struck.size(); ++i) EXPECT_EQ(struck[i].ms - struck[i - 1].ms, 62);
    }
}

// Pressing Arpeggiate, or switching Follow MIDI clock on, in the middle of
// a song: the song's ticks were counted meanwhile, so the steps fall on
// every 6th tick from its Start.
TEST(KeepBeat, JoiningARunningSongPutsTheStepsOnItsSixteenths) {
    for (const bool followLate : {false, true}) {
        SCOPED_TRACE(followLate ? "Follow switched on mid-song" : "Arpeggiate pressed mid-song");
        Session s(test::Musical{120, 2, Arpeggiator::Normal, 1, Arpeggiator::CycleUp});
        if (!followLate) s.player.Set(Control::FollowClock, true);
        // 120 bpm: a tick every 20.83 ms, on the millisecond grid here every
        // 21 ms to keep the arithmetic plain: Start at 100, ticks from 100.
        s.Key(100, {0xFA});
        std::vector<std::int64_t> ticks;
        for (int k = 0; k < 40; ++k) {
            ticks.push_back(100 + 21 * k);
            s.Key(ticks.back(), {0xF8});
        }
        // Tick 10 at 310; the chord and the switch at 320.
        if (followLate) {
            s.At(300, [&] { test::Enable(s.player, true, true); });
            s.At(320, [&] { s.player.Set(Control::FollowClock, true); });
        } else {
            s.At(320, [&] { test::Enable(s.player, true, true); });
        }
        for (int note : {60, 64}) s.Key(321, keyDown(note));
        const auto struck = s.Run(950);
        ASSERT_GE(struck.size(), 4u);
        for (std::size_t i = 0; i < 4; ++i) {
            const auto tick = std::find(ticks.begin(), ticks.end(), struck[i].ms) - ticks.begin();
            EXPECT_EQ(tick, 12 + 6 * static_cast<std::int64_t>(i)) << "step " << i << " at " << struck[i].ms;
            EXPECT_EQ(struck[i].pitch, i % 2 ? 64 : 60);
        }
    }
}

}  // namespace
}  // namespace vlx
