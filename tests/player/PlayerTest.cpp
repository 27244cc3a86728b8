// SPDX-License-Identifier: GPL-3.0-or-later
// The player on scripted cycles: what it plays, and on which frame, for any
// cycle length and rate; its input path, settings poll, band features and
// errors, by the rules the window had.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <map>
#include <set>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "model/HostTime.h"
#include "player/Player.h"
#include "support/PlayerSettings.h"
#include "support/ScriptedCycles.h"

namespace vlx {
namespace {

using test::Bytes;
using test::FramedMessage;
using test::ScriptedCycles;

const test::Musical k16thsAt240{240, 2, 2, 1, Arpeggiator::CycleUp};  // 62 ms steps sounding 39 ms

FramedMessage on(std::uint64_t frame, int note, int velocity = 100, int chan = 0) {
    return {frame, {static_cast<std::uint8_t>(0x90 | chan), static_cast<std::uint8_t>(note),
                    static_cast<std::uint8_t>(velocity)}};
}
FramedMessage off(std::uint64_t frame, int note, int chan = 0) {
    return {frame, {static_cast<std::uint8_t>(0x80 | chan), static_cast<std::uint8_t>(note), 0}};
}
Bytes keyDown(int note, int velocity = 100, int chan = 0) {
    return {static_cast<std::uint8_t>(0x90 | chan), static_cast<std::uint8_t>(note), static_cast<std::uint8_t>(velocity)};
}
Bytes keyUp(int note, int chan = 0) { return {static_cast<std::uint8_t>(0x80 | chan), static_cast<std::uint8_t>(note), 64}; }

std::vector<FramedMessage> before(std::vector<FramedMessage> out, std::uint64_t end) {
    std::erase_if(out, [end](const FramedMessage& m) { return m.frame >= end; });
    return out;
}

std::vector<FramedMessage> at(const std::vector<FramedMessage>& out, std::uint64_t frame) {
    std::vector<FramedMessage> here;
    for (const auto& m : out)
        if (m.frame == frame) here.push_back(m);
    return here;
}

// What came out at a frame besides the arpeggio's own note-offs (velocity
// 0; the keys here are released with 64): what passed or was forwarded.
std::vector<Bytes> passed(const std::vector<FramedMessage>& out, std::uint64_t frame) {
    std::vector<Bytes> here;
    for (const auto& m : at(out, frame))
        if (!(m.bytes.size() == 3 && (m.bytes[0] & 0xF0) == 0x80 && m.bytes[2] == 0)) here.push_back(m.bytes);
    return here;
}

TEST(Player, EachStepSoundsOnTheFrameItsMillisecondBeginsWhateverTheCycleLengthAndRate) {
    for (const std::uint32_t rate : {48000u, 44100u}) {
        std::vector<FramedMessage> first;
        for (const std::uint32_t period : {1u, 64u, 256u, 1000u, 4096u}) {
            ScriptedCycles cycles;
            cycles.rate = rate;
            cycles.period = period;
            Player player(k16thsAt240);
            test::Enable(player, true, true);
            // A chord struck on one frame, in no particular order.
            for (int note : {67, 60, 64}) cycles.At(cycles.FrameOfMs(100), keyDown(note));
            const std::uint64_t end = cycles.FrameOfMs(700);
            cycles.RunUntil(player, end);
            const auto out = before(cycles.Take(), end);

            std::vector<FramedMessage> expected;
            const int chord[] = {60, 64, 67};
            for (int k = 0; 105 + 62 * k < 700; ++k) {
                const std::int64_t t = 105 + 62 * k;  // 5 ms after the keys, then a step every 62
                expected.push_back(on(cycles.FrameOfMs(t), chord[k % 3]));
                if (t + 39 < 700) expected.push_back(off(cycles.FrameOfMs(t + 39), chord[k % 3]));
            }
            EXPECT_EQ(out, expected) << rate << " Hz, " << period << "-frame cycles";
            if (first.empty()) first = out;
            EXPECT_EQ(out, first) << "the same frames whatever the cycle length";
            EXPECT_EQ(player.busyCount(), -1);
            EXPECT_EQ(player.counters().unsent, 0u);
        }
    }
}

// The time and shape controls, each alone over plain 16ths at 240 bpm
// (the first row, unchanged): where every step begins and how long its note
// sounds, in frames. Exact steps fall on the frame nearest after their exact
// time (62.5 ms apart), with no rounding that could add up.
TEST(Player, TheTimeControlsLayEachStepAndNoteWhereTheySay) {
    struct Row {
        const char* what;
        std::vector<std::pair<Control, std::int32_t>> controls;
        std::vector<double> steps;  // ms between steps, repeating
        std::vector<double> notes;  // ms each note sounds, repeating
        std::uint32_t rate = 48000;
    };
    const Row rows[] = {
        {"plain", {}, {62}, {39}},
        {"Swing 60 %: a pair of 124 ms, its second step 74 ms in", {{Control::Swing, 60}}, {74, 50}, {47, 31}},
        {"Gate 50 %: half of each step, whatever the Sustain", {{Control::Gate, 50}}, {62}, {31}},
        {"triplet 16ths", {{Control::StepFeel, 2}}, {42}, {26}},
        {"dotted 16ths", {{Control::StepFeel, 3}}, {94}, {61}},
        {"exact steps", {{Control::ExactSteps, 1}}, {62.5}, {39}},
        {"exact steps at 44.1 kHz", {{Control::ExactSteps, 1}}, {62.5}, {39}, 44100},
        // A tie holds the note through the next step, as long as that step is.
        {"x- on a swung grid", {{Control::Swing, 60}, {Control::Rhythm, 8}, {Control::RhythmLength, 2}}, {124}, {97}},
        {"x- on exact steps", {{Control::ExactSteps, 1}, {Control::Rhythm, 8}, {Control::RhythmLength, 2}}, {125}, {101.5}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ScriptedCycles cycles;
        cycles.rate = row.rate;
        ControlValues controls = k16thsAt240;
        for (const auto& [c, value] : row.controls) controls[c] = value;
        Player player(controls);
        test::Enable(player, true, true);
        for (int note : {60, 64, 67}) cycles.At(cycles.FrameOfMs(100), keyDown(note));
        cycles.RunUntil(player, cycles.FrameOfMs(700));
        const auto frameOf = [&](double ms) { return static_cast<std::uint64_t>(std::ceil(ms * row.rate / 1000 - 1e-9)); };
        std::vector<FramedMessage> expected;
        double t = 105;
        for (std::size_t k = 0; t + row.notes[k % row.notes.size()] < 690; t += row.steps[k % row.steps.size()], ++k) {
            const int note = 60 + std::vector<int>{0, 4, 7}[k % 3];
            expected.push_back(on(frameOf(t), note));
            expected.push_back(off(frameOf(t + row.notes[k % row.notes.size()]), note));
        }
        EXPECT_EQ(before(cycles.Take(), expected.back().frame + 1), expected);
    }
}

TEST(Player, InputIsRoutedAtItsOwnFrameByTheSwitches) {
    ScriptedCycles cycles;
    // Whole notes at 8 bpm: the arpeggio's steps stay out of the way.
    Player player(test::Musical{8, 32, 2, 1, Arpeggiator::CycleUp});
    const Bytes sysex = {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
    struct Row {
        const char* what;
        bool enable, divert;
        Bytes in;
        std::vector<Bytes> out;  // at the input's frame
        int held;                // notes the engine holds afterwards
        std::vector<std::pair<Control, std::int32_t>> set = {};  // before the input
    };
    using C = Control;
    const Row rows[] = {
        {"off: a note passes", false, false, keyDown(60), {keyDown(60)}, 0},
        {"off: its release", false, false, keyUp(60), {keyUp(60)}, 0},
        {"off: a controller", false, false, {0xB0, 7, 100}, {{0xB0, 7, 100}}, 0},
        {"off: SysEx whole", false, false, sysex, {sysex}, 0},
        {"off: running status, split", false, false, {0x91, 62, 90, 64, 91}, {{0x91, 62, 90}, {0x91, 64, 91}}, 0},
        {"off: junk goes nowhere", false, false, {0x3C, 0x40}, {}, 0},
        {"on, not diverted: the note passes and is held", true, false, keyDown(60), {keyDown(60)}, 1},
        {"on, not diverted: a controller passes once", true, false, {0xB0, 7, 90}, {{0xB0, 7, 90}}, 1},
        {"on, not diverted: its release", true, false, keyUp(60), {keyUp(60)}, 0},
        {"diverted: the note is held back", true, true, keyDown(62), {}, 1},
        {"diverted: a controller is forwarded", true, true, {0xB0, 7, 80}, {{0xB0, 7, 80}}, 1},
        {"diverted: SysEx passes whole", true, true, sysex, {sysex}, 1},
        {"diverted: a clock tick is forwarded", true, true, {0xF8}, {{0xF8}}, 1},
        {"diverted: running status, two notes", true, true, {0x90, 64, 90, 67, 91}, {}, 3},
        {"diverted: malformed notes are no notes", true, true, {0x91, 0x3E, 0xC5}, {}, 3},
        {"diverted: nor is a note with a status byte", true, true, {0x96, 0x90, 0x40}, {}, 3},
        {"diverted: a release of a held-back press", true, true, keyUp(62), {}, 2},
        {"diverted: a press of velocity 0 releases, no pedal down", true, true, {0x90, 64, 0}, {}, 1},
        // Split at C4: the keys above pass as if Arpeggiate were up; a key's
        // release goes where its press went, whatever the split is by then.
        {"split: a key above passes", true, true, keyDown(72), {keyDown(72)}, 1, {{C::SplitHighest, 59}}},
        {"split: a key below is held", true, true, keyDown(48), {}, 2},
        {"split moved: the release of a key that passed passes", true, true, keyUp(72), {keyUp(72)}, 2,
         {{C::SplitHighest, 127}, {C::SplitLowest, 60}}},
        {"split moved: the release of a key held is the engine's", true, true, keyUp(48), {}, 1},
        {"", true, true, keyUp(67), {}, 0},
        {"latch: a chord", true, true, keyDown(62), {}, 1, {{C::Latch, 1}}},
        {"latch: released, held", true, true, keyUp(62), {}, 1},
        {"latch: a key outside passes", true, true, keyDown(52), {keyDown(52)}, 1},
        {"latch: and its release", true, true, keyUp(52), {keyUp(52)}, 1},
        {"latch: the next chord replaces the held one", true, true, keyDown(63), {}, 1},
        {"pedal: held back and holding", true, true, {0xB0, 64, 127}, {}, 1, {{C::Latch, 0}, {C::SustainHold, 1}}},
        {"pedal: a key outside passes", true, true, keyDown(50), {keyDown(50)}, 1},
        {"pedal: its release passes, not held", true, true, keyUp(50), {keyUp(50)}, 1},
        {"pedal: a key inside is held", true, true, keyUp(63), {}, 1},
        {"pedal: up", true, true, {0xB0, 64, 0}, {}, 0},
        {"input channel 3: a key on 1 passes", true, true, keyDown(53, 100, 0), {keyDown(53, 100, 0)}, 0,
         {{C::SustainHold, 0}, {C::SplitLowest, 0}, {C::InChannel, 3}}},
        {"input channel 3: a controller on 1 passes once", true, true, {0xB0, 7, 1}, {{0xB0, 7, 1}}, 0},
        {"input channel 3: a key on 3 is held", true, true, keyDown(53, 100, 2), {}, 1},
        {"off, Keep the beat: keys down on both channels", false, false, keyDown(55, 100, 2), {keyDown(55, 100, 2)},
         0, {{C::KeepBeat, 1}}},
        {"", false, false, keyDown(57, 100, 0), {keyDown(57, 100, 0)}, 0},
        {"Arpeggiate over them: the channel's are played", true, true, {0xB0, 7, 2}, {{0xB0, 7, 2}}, 2},
        {"the other's release passes", true, true, keyUp(57, 0), {keyUp(57, 0)}, 2},
        {"the channel's are the engine's", true, true, keyUp(55, 2), {}, 1},
        {"", true, true, keyUp(53, 2), {}, 0},
    };
    bool enabled = false, diverted = false;
    std::uint64_t junkBefore = 0;
    for (const Row& r : rows) {
        for (const auto& [control, value] : r.set) player.Set(control, value);
        if (r.enable != enabled || r.divert != diverted) {
            if (r.enable != enabled)
                test::Enable(player, r.enable, r.divert);
            else
                player.Set(Control::Divert, r.divert);
            enabled = r.enable;
            diverted = r.divert;
        }
        const std::uint64_t frame = cycles.frame + 77;  // inside the cycle
        cycles.At(frame, r.in);
        cycles.RunUntil(player, cycles.frame + 1);
        EXPECT_EQ(passed(cycles.Take(), frame), r.out) << r.what;
        EXPECT_EQ(player.engine().NoteAry()->Count(), r.held) << r.what;
        if (r.in.size() == 2 && r.in[0] == 0x3C) {
            EXPECT_EQ(player.counters().junkBytes, junkBefore + 2) << r.what;
        }
        junkBefore = player.counters().junkBytes;
    }
    EXPECT_EQ(player.counters().junkBytes, 2u + 3u + 3u);
}

TEST(Player, EveryPressThatPassedGetsExactlyOneReleaseWhateverDivertDidMeanwhile) {
    ScriptedCycles cycles;
    Player player(test::Musical{8, 32, 2, 1, Arpeggiator::CycleUp});
    auto play = [&](const Bytes& in) {
        const std::uint64_t frame = cycles.frame + 10;
        cycles.At(frame, in);
        cycles.RunUntil(player, cycles.frame + 1);
        return passed(cycles.Take(), frame);
    };
    using Out = std::vector<Bytes>;
    EXPECT_EQ(play(keyDown(50)), Out{keyDown(50)});  // before arpeggiating: passed
    test::Enable(player, true, false);
    EXPECT_EQ(play(keyDown(52)), Out{keyDown(52)});  // not diverted: passed
    player.Set(Control::Divert, true);
    EXPECT_EQ(play(keyDown(55)), Out{});              // held back
    // Released once diverted: the two that passed still reach the synth, by
    // the player (once), the held-back one does not. The player forwards
    // such a release though it diverts notes: else the synth's note hangs.
    EXPECT_EQ(play(keyUp(50)), Out{keyUp(50)});
    EXPECT_EQ(play(keyUp(52)), Out{keyUp(52)});
    EXPECT_EQ(play(keyUp(55)), Out{});
    player.Set(Control::Divert, false);
    EXPECT_EQ(play(keyDown(57)), Out{keyDown(57)});
    EXPECT_EQ(play(keyUp(57)), Out{keyUp(57)});  // by the routing alone, once
    // Before the connections end, what passed and is still down is released
    // (the held-back key is not, nor a key released already).
    test::Enable(player, false, false);
    for (const Bytes& in : {keyDown(60), Bytes{0xB1, 64, 127}, keyDown(62), keyUp(62)}) play(in);
    test::Enable(player, true, true);
    play(keyDown(64));
    player.ReleasePassed();
    cycles.RunUntil(player, cycles.frame + 1);
    const auto out = at(cycles.Take(), cycles.frame - cycles.period);
    EXPECT_EQ(out, (std::vector<FramedMessage>{{cycles.frame - cycles.period, {0x80, 60, 0}},
                                               {cycles.frame - cycles.period, {0xB1, 64, 0}}}));
}

// A second the driver lost, however it comes back: frames that jump (JACK),
// the lost cycles replayed back to back (PipeWire), or one cycle lying
// wholly in the past (an ALSA thread woken late). Steps a whole period late
// by the time they are heard pass in silence, no burst; the pattern goes on
// from the right step on its grid, and every note-on gets its note-off.
TEST(Player, AfterALostSecondEveryDriverSkipsTheMissedStepsInSilenceAndGoesOnOnTheGrid) {
    enum class Driver { Jumps, Replays, WakesLate };
    for (const Driver driver : {Driver::Jumps, Driver::Replays, Driver::WakesLate}) {
        SCOPED_TRACE(static_cast<int>(driver));
        ScriptedCycles cycles;
        Player player(k16thsAt240);
        test::Enable(player, true, true);
        for (int note : {60, 64, 67}) cycles.At(cycles.FrameOfMs(100), keyDown(note));
        cycles.RunUntil(player, cycles.FrameOfMs(1000));
        const std::uint64_t back = cycles.FrameOfMs(2000);  // when real time is at the end of the lost second
        if (driver == Driver::Jumps) cycles.frame = back;
        if (driver == Driver::Replays) {
            cycles.lateness = [&](std::uint64_t first) { return first < back ? back - first : 0; };
            cycles.RunUntil(player, back);
        }
        if (driver == Driver::WakesLate) {
            const auto frames = static_cast<std::uint32_t>(back - cycles.frame);
            cycles.lateness = [frames](std::uint64_t) { return frames; };
            cycles.Cycle(player, frames);
            cycles.lateness = nullptr;
        }
        cycles.lateness = nullptr;
        cycles.RunUntil(player, cycles.FrameOfMs(2600));
        const int chord[] = {60, 64, 67};
        std::map<int, int> sounding;
        int after = 0;
        for (const FramedMessage& m : cycles.Take()) {
            const bool isOn = m.bytes[0] == 0x90;
            sounding[m.bytes[1]] += isOn ? 1 : -1;
            EXPECT_GE(sounding[m.bytes[1]], 0);
            EXPECT_LE(sounding[m.bytes[1]], 1);
            if (!isOn) continue;
            EXPECT_FALSE(m.frame >= cycles.FrameOfMs(1000) && m.frame < back - cycles.FrameOfMs(62))
                << "a step heard a period or more late, at " << m.frame;
            // On the grid, in the order it would have had.
            const std::int64_t k = (static_cast<std::int64_t>(m.frame) * 1000 / cycles.rate - 105 + 31) / 62;
            EXPECT_EQ(m.frame, cycles.FrameOfMs(105 + 62 * k));
            EXPECT_EQ(m.bytes[1], chord[k % 3]);
            after += m.frame >= back ? 1 : 0;
        }
        EXPECT_GE(after, 9) << "it plays on";
        for (const auto& [note, n] : sounding) EXPECT_LE(n, 1) << note;
    }
}

// A step the output has no room for is not counted as sent: its note-off
// does not follow, and the pattern goes on.
TEST(Player, AStepTheOutputRefusesNeverSoundedAndGetsNoNoteOff) {
    ScriptedCycles cycles;
    Player player(k16thsAt240);
    test::Enable(player, true, true);
    cycles.At(cycles.FrameOfMs(100), keyDown(60));
    cycles.At(cycles.FrameOfMs(100), keyDown(64));
    const std::uint64_t full = cycles.FrameOfMs(167);  // the second step's cycle has no room
    cycles.atCycle = [&](std::uint64_t first) {
        cycles.roomPerCycle = first <= full && full < first + cycles.period ? 0 : 1 << 20;
    };
    cycles.RunUntil(player, cycles.FrameOfMs(500));
    std::map<int, int> sounding;
    int ons = 0;
    for (const FramedMessage& m : cycles.Take()) {
        const bool isOn = m.bytes[0] == 0x90;
        ons += isOn ? 1 : 0;
        EXPECT_EQ(sounding[m.bytes[1]], isOn ? 0 : 1) << "at " << m.frame;
        sounding[m.bytes[1]] = isOn ? 1 : 0;
    }
    EXPECT_EQ(ons, 6) << "seven steps to 500 ms, one refused";
    EXPECT_GT(player.counters().unsent, 0u);

    // Ten keys passed through and released in one cycle with room for four:
    // the note-offs that did not fit go out first in the cycles after.
    test::Enable(player, false, false);
    cycles.atCycle = nullptr;
    for (int k = 0; k < 10; ++k) cycles.At(cycles.frame + cycles.period * (2 + k), keyDown(40 + k));
    cycles.RunUntil(player, cycles.frame + cycles.period * 20);
    cycles.Take();
    cycles.roomPerCycle = 4;
    for (int k = 0; k < 10; ++k) cycles.At(cycles.frame, keyUp(40 + k));
    cycles.RunUntil(player, cycles.frame + cycles.period * 4);
    std::vector<std::pair<std::uint64_t, int>> ends;
    const std::uint64_t released = cycles.frame - cycles.period * 4;
    for (const FramedMessage& m : cycles.Take()) ends.emplace_back((m.frame - released) / cycles.period, m.bytes[1]);
    EXPECT_EQ(ends, (std::vector<std::pair<std::uint64_t, int>>{
                        {0, 40}, {0, 41}, {0, 42}, {0, 43}, {1, 44}, {1, 45}, {1, 46}, {1, 47}, {2, 48}, {2, 49}}));
}

TEST(Player, SettingsReachTheEngineAtThePollOnlyWhenChangedAndChangesWhileOffAtTheFirstPollAfterOn) {
    ScriptedCycles cycles;
    cycles.period = 48;  // a millisecond a cycle: the runs below end on the millisecond
    test::Musical c{120, 8, 2, 1, Arpeggiator::CycleUp};  // quarters: 500 ms steps sounding 331
    Player player(c);
    test::Enable(player, true, true);
    cycles.At(cycles.FrameOfMs(700), keyDown(60));
    cycles.RunUntil(player, cycles.FrameOfMs(800));
    EXPECT_EQ(cycles.Take(), (std::vector<FramedMessage>{on(cycles.FrameOfMs(705), 60)}));
    EXPECT_EQ(player.nextPoll(), 1001);  // polled at 501

    // The same values again: nothing to do at the poll at 1002.
    test::SetControls(player, c);
    cycles.RunUntil(player, cycles.FrameOfMs(1010));
    EXPECT_TRUE(cycles.Take().empty()) << "no rebuild at 1002: the note sounds on to 1036";
    EXPECT_EQ(player.nextPoll(), 1502);

    // 16ths: at the poll at 1503 the sounding note stops and the pattern
    // starts again 5 ms later with the new step.
    cycles.At(cycles.FrameOfMs(1200), keyUp(60));
    cycles.At(cycles.FrameOfMs(1201), keyDown(62));
    c.resolution = 2;
    test::SetControls(player, c);
    cycles.RunUntil(player, cycles.FrameOfMs(1502));
    EXPECT_EQ(player.engine().Resolution(), 8) << "not before the poll";
    cycles.Take();
    cycles.RunUntil(player, cycles.FrameOfMs(1700));
    EXPECT_EQ(player.engine().Resolution(), 2);
    EXPECT_EQ(player.engine().period(), 125);
    EXPECT_EQ(cycles.Take(), (std::vector<FramedMessage>{off(cycles.FrameOfMs(1503), 62), on(cycles.FrameOfMs(1508), 62),
                                                         off(cycles.FrameOfMs(1508 + 81), 62),
                                                         on(cycles.FrameOfMs(1633), 62)}));

    // Switched off, changed, switched on much later: applied at once.
    test::Enable(player, false, false);
    c.octaves = 2;
    c.tempo = 60;
    test::SetControls(player, c);
    cycles.RunUntil(player, cycles.FrameOfMs(2500));
    EXPECT_EQ(player.engine().Octaves(), 1);
    EXPECT_EQ(player.engine().Tempo(), 120);
    test::Enable(player, true, true);
    cycles.RunUntil(player, cycles.FrameOfMs(2501));
    EXPECT_EQ(player.engine().Octaves(), 2);
    EXPECT_EQ(player.engine().Tempo(), 60);
    EXPECT_EQ(player.nextPoll(), 3000);
}

TEST(Player, SwitchedOffItSilencesAndForgetsInItsNextCycleAndPassesInputAgain) {
    ScriptedCycles cycles;
    Player player(k16thsAt240);
    test::Enable(player, true, true);
    cycles.At(cycles.FrameOfMs(10), keyDown(60));
    cycles.At(cycles.FrameOfMs(10), keyDown(64));
    cycles.RunUntil(player, cycles.FrameOfMs(20));  // the first step sounds from 15
    cycles.Take();
    const std::uint64_t cycleStart = cycles.frame;
    test::Enable(player, false, false);
    cycles.RunUntil(player, cycles.frame + 1);
    EXPECT_EQ(cycles.Take(), (std::vector<FramedMessage>{off(cycleStart, 60)}));
    EXPECT_TRUE(player.engine().IsEmpty());
    EXPECT_EQ(player.engine().PlayQ()->Count(), 0);
    cycles.At(cycles.frame + 5, keyUp(64));  // a held key's release now simply passes
    cycles.RunUntil(player, cycles.FrameOfMs(400));
    EXPECT_EQ(cycles.Take(), (std::vector<FramedMessage>{{cycleStart + 256 + 5, keyUp(64)}}));
}

// A clock script from 1000 ms, a token each: S Start, C Continue, P Stop,
// Q3 a Song Position of 3 16ths, K the chord 60 64 67, Z a tick and a Stop
// on one frame, B90 the tempo (120
// at first), W400 a wait of so many ms, T25 so many ticks, Y the user
// typing the same tempo again. Gives the input,
// at frames of 48 kHz (a tick every 1000 frames at 120 bpm: on no
// millisecond's boundary once the script has waited), and each tick's frame.
struct ClockScript {
    std::vector<FramedMessage> input;
    std::vector<std::uint64_t> ticks;
    std::optional<std::uint64_t> typed;
};
ClockScript clockScript(const std::string& text) {
    ClockScript out;
    double t = 1000, bpm = 120;
    std::istringstream tokens(text);
    for (std::string token; tokens >> token;) {
        const int n = token.size() > 1 ? std::stoi(token.substr(1)) : 0;
        const auto at = [&] { return static_cast<std::uint64_t>(std::llround(t * 48)); };
        const std::map<char, std::uint8_t> status = {{'S', 0xFA}, {'C', 0xFB}, {'P', 0xFC}};
        if (status.count(token[0])) out.input.push_back({at(), {status.at(token[0])}});
        if (token[0] == 'Q') out.input.push_back({at(), {0xF2, static_cast<std::uint8_t>(n & 0x7F), static_cast<std::uint8_t>(n >> 7)}});
        if (token[0] == 'K')
            for (int key : {60, 64, 67}) out.input.push_back({at(), keyDown(key)});
        if (token[0] == 'B') bpm = n;
        if (token[0] == 'Y') out.typed = at();
        if (token[0] == 'W') t += n + 0.3;
        if (token[0] == 'Z') {
            out.input.push_back({at(), {0xF8}});
            out.ticks.push_back(at());
            out.input.push_back({at(), {0xFC}});
            t += 2500.0 / bpm;
        }
        for (int k = 0; token[0] == 'T' && k < n; ++k, t += 2500.0 / bpm) {
            out.input.push_back({at(), {0xF8}});
            out.ticks.push_back(at());
        }
    }
    return out;
}

// Which ticks carry steps, and where the pattern stands after Start,
// Continue, Stop and a Song Position; a tempo change; the clock lost and
// back. Each step sounds on its tick's own frame.
TEST(Player, FollowingAClockStepsSoundOnTheirTicksThroughStartStopContinueSongPositionTempoAndLoss) {
    using State = ClockFollower::State;
    struct Case {
        const char* script;
        std::vector<std::int64_t> ons;  // below 1000 a tick's number, else a host millisecond
        std::vector<int> pitches;
        double second = 0, last = 0;  // how long these notes sound (ms), when not 0
        std::optional<State> between = std::nullopt;  // reported between two runs of the clock
        bool lost = false;
        std::int16_t resolution = 2;  // 16ths
        const char* rhythm = "x";     // of as many places
    };
    const Case cases[] = {
        // Play and tie: each note sounds through the tick after it, 125 ms and 81.
        {"S K W10 T43", {0, 12, 24, 36}, {60, 64, 67, 60}, 206, 206, std::nullopt, false, 2, "x-"},
        // 120 bpm: a 16th every 6 ticks, 125 ms; Normal sustain, 2/3 of it less 2.
        {"S K W10 T25", {0, 6, 12, 18, 24}, {60, 64, 67, 60, 64}, 81, 81},
        {"W10 T1 K T24", {6, 12, 18, 24}, {60, 64, 67, 60}},  // no Start; a chord waits for a step tick
        // Stop 5.3 ms after tick 9: the note of tick 6 ends then.
        {"S K W10 T9 W5 P W400 C W10 T13", {0, 6, 12, 18}, {60, 64, 67, 60}, 67.8, 0, State::Stopped},
        {"S K W10 T9 W5 P Q3 W400 C W10 T13", {0, 6, 9, 15, 21}, {60, 64, 67, 60, 64}, 67.8, 0, State::Stopped},
        // 8ths, 12 ticks: 3 16ths in is between two steps; the next falls 6 ticks on.
        {"S K W10 T9 W5 P Q3 W400 C W10 T25", {0, 15, 27}, {60, 64, 67}, 0, 0, State::Stopped, false, 4},
        {"S K W10 T9 W5 S T16", {0, 6, 9, 15, 21}, {60, 64, 60, 64, 67}},  // Start again: the first step
        // A Stop on the frame of a step's tick: that step does not sound.
        {"S K W10 T6 Z W400 C W10 T13", {0, 12, 18}, {60, 64, 67}, 0, 0, State::Stopped},
        {"S K W10 T25 B90 T37", {0, 6, 12, 18, 24, 30, 36, 42, 48, 54, 60}, {60, 64, 67, 60, 64, 67, 60, 64, 67, 60, 64},
         81, 109},  // 2/3 of 167 ms, less 2
        // The last tick at 1260: lost from 1511, the next step 5 ms later at
        // the clock's last tempo (not the typed one), every 125 ms; the
        // clock's first tick back carries a step.
        {"S K W10 T13 W819 T7", {0, 6, 12, 1516, 1641, 1766, 1891, 2016, 13, 19},
         {60, 64, 67, 60, 64, 67, 60, 64, 67, 60}, 0, 0, State::Absent, true},
        // The same tempo typed again at 1581 takes over at the next settings
        // poll (2004), which lays the pattern out afresh from 2009.
        {"S K W10 T13 W300 Y", {0, 6, 12, 1516, 1641, 1766, 1891, 2009, 2259, 2509},
         {60, 64, 67, 60, 64, 67, 60, 60, 64, 67},
         0, 0, State::Absent, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.script);
        ScriptedCycles cycles;
        test::Musical typed{60, c.resolution, 2, 1, Arpeggiator::CycleUp};  // 16ths of 250 ms
        ControlValues values = typed;
        values[Control::Rhythm] = FromText(Control::Rhythm, c.rhythm).value();
        values[Control::RhythmLength] = static_cast<std::int32_t>(std::string(c.rhythm).size());
        Player player(values);
        player.Set(Control::FollowClock, true);
        test::Enable(player, true, true);
        const ClockScript script = clockScript(c.script);
        for (const FramedMessage& m : script.input) cycles.At(m.frame, m.bytes);
        cycles.atCycle = [&](std::uint64_t frame) {
            if (!script.typed || frame < *script.typed || typed.given) return;
            typed.given = true;
            test::SetControls(player, typed);
        };
        const std::uint64_t last = std::max(script.input.back().frame, script.typed.value_or(0) + cycles.FrameOfMs(900));
        cycles.RunUntil(player, last + cycles.FrameOfMs(200));

        std::vector<std::pair<std::uint64_t, int>> ons;
        std::map<int, std::uint64_t> since;
        std::vector<double> lengths;
        for (const FramedMessage& m : cycles.Take()) {
            if ((m.bytes[0] & 0xE0) != 0x80) continue;  // the clock's messages, forwarded
            if ((m.bytes[0] & 0xF0) == 0x90) {
                EXPECT_FALSE(since.count(m.bytes[1])) << m.bytes[1] << " starts again at " << m.frame;
                ons.emplace_back(m.frame, m.bytes[1]);
                since[m.bytes[1]] = m.frame;
            } else {
                ASSERT_TRUE(since.count(m.bytes[1])) << "an off, not sounding, at " << m.frame;
                lengths.push_back(static_cast<double>(m.frame - since[m.bytes[1]]) / 48.0);
                since.erase(m.bytes[1]);
            }
        }
        ASSERT_EQ(ons.size(), c.ons.size());
        std::uint64_t lastTick = 0;
        for (std::size_t i = 0; i < ons.size(); ++i) {
            if (c.ons[i] < 1000) {
                lastTick = script.ticks[static_cast<std::size_t>(c.ons[i])];
                EXPECT_EQ(ons[i].first, lastTick) << "on tick " << c.ons[i];
            } else {
                // By the player's own time, whose milliseconds the last tick
                // began (the one nearest its frame).
                const auto tickMs = static_cast<std::int64_t>((lastTick + 24) / 48);
                EXPECT_EQ(ons[i].first, lastTick + static_cast<std::uint64_t>(c.ons[i] - tickMs) * 48) << c.ons[i];
            }
            EXPECT_EQ(ons[i].second, c.pitches[i]) << i;
        }
        EXPECT_TRUE(since.empty()) << "left sounding";
        ASSERT_EQ(lengths.size(), ons.size());
        // Ticks in between move the grid by less than half a millisecond.
        if (c.second) {
            EXPECT_NEAR(lengths[1], c.second, 0.5);
        }
        if (c.last) {
            EXPECT_NEAR(lengths.back(), c.last, 0.5);
        }
        std::vector<PlayerReport> reports;
        for (PlayerReport r; player.TakeReport(r);) reports.push_back(r);
        ASSERT_FALSE(reports.empty());
        EXPECT_EQ(reports.front().clockState, State::Running);
        const bool fasterBy90 = std::string(c.script).find("B90") != std::string::npos;
        // Once a tempo is given, the lost clock's is no longer what plays.
        const bool given = script.typed.has_value();
        EXPECT_NEAR(reports.back().clockTempo, given ? 0 : fasterBy90 ? 90 : 120, 3) << "as measured last";
        bool said = false;
        for (const PlayerReport& r : reports) said = said || (c.between && r.clockState == *c.between && r.clockLost == c.lost);
        EXPECT_EQ(said, c.between.has_value());
        EXPECT_EQ(player.busyCount(), -1);
    }
}

// The driver's own transport (a plugin host's) as clock messages: the steps
// fall on its ticks as on a MIDI clock's, and nothing of it reaches the
// output; with FollowClock off it is not followed.
TEST(Player, ATransportClockIsFollowedLikeAMidiClockButNeverPassedOn) {
    for (const bool follow : {true, false}) {
        ScriptedCycles cycles;
        cycles.period = 1000;
        Player player(test::Musical{60, 2, 2, 1, Arpeggiator::CycleUp});
        player.Set(Control::FollowClock, follow);
        test::Enable(player, true, false);
        cycles.At(10, keyDown(60));
        // Start, then a tick every 1000 frames on frame 507 of each cycle.
        cycles.atCycle = [&](std::uint64_t first) {
            if (first == 1000) player.TransportClock(400, 0xFA);
            if (first >= 1000 && first < 40'000) player.TransportClock(507, 0xF8);
        };
        cycles.RunUntil(player, 40'000);
        std::vector<std::uint64_t> ons;
        for (const FramedMessage& m : cycles.Take()) {
            EXPECT_LT(m.bytes[0], 0xF0) << "a transport message passed on";
            if (m.bytes[0] == 0x90 && m.frame > 10) ons.push_back(m.frame);
        }
        // Before Start, the typed tempo's 16ths (250 ms) from 5 ms after the key.
        if (follow) {
            EXPECT_EQ(ons, (std::vector<std::uint64_t>{240, 1507, 7507, 13507, 19507, 25507, 31507, 37507}));
        } else {
            EXPECT_EQ(ons, (std::vector<std::uint64_t>{240, 12240, 24240, 36240}));
        }
    }
}

// A transport's tick may end the sounding note before its step (the
// typed tempo's note outlasts the transport's step here): that note-off
// goes out on the tick's frame, not back in time, so the output is the
// same for any cycle length, as without a clock.
TEST(Player, FollowingATransportTheOutputIsTheSameWhateverTheCycleLength) {
    std::vector<FramedMessage> first;
    for (const std::uint32_t period : {1u, 64u, 256u, 1000u, 4096u}) {
        ScriptedCycles cycles;
        cycles.period = period;
        Player player(test::Musical{60, 2, 2, 1, Arpeggiator::CycleUp});  // typed: 16ths of 250 ms sounding 164
        player.Set(Control::FollowClock, true);
        test::Enable(player, true, true);
        // Two keys, Start, then a tick every 1000 frames (16ths of 125 ms),
        // off the millisecond grid; each at its frame, in time order.
        const auto tick = [](std::uint64_t k) { return 1507 + 1000 * k; };
        std::vector<FramedMessage> input = {{10, keyDown(60)}, {10, keyDown(64)}, {1400, {0xFA}}};
        for (std::uint64_t k = 0; k < 40; ++k) input.push_back({tick(k), {0xF8}});
        cycles.atCycle = [&](std::uint64_t from) {
            for (const FramedMessage& m : input) {
                if (m.frame < from || m.frame >= from + period) continue;
                const auto offset = static_cast<std::uint32_t>(m.frame - from);
                if (m.bytes[0] >= 0xF0)
                    player.TransportClock(offset, m.bytes[0]);
                else
                    player.Receive(offset, m.bytes.data(), static_cast<std::uint32_t>(m.bytes.size()));
            }
        };
        cycles.RunUntil(player, tick(40));
        const std::vector<FramedMessage> out = before(cycles.Take(), tick(40));
        std::vector<FramedMessage> played;
        for (const auto& m : out)
            if (m.frame > tick(0) - 100) played.push_back(m);
        ASSERT_GE(played.size(), 3u) << period;
        // The first step's note is ended by the second step's tick, on it.
        EXPECT_EQ(played[0], on(tick(0), 60)) << period;
        EXPECT_EQ(played[1], off(tick(6), 60)) << period;
        EXPECT_EQ(played[2], on(tick(6), 64)) << period;
        if (first.empty()) first = out;
        EXPECT_EQ(out, first) << period << "-frame cycles";
    }
}

// Two channels, each with its own pedal (down from 64 on): released keys
// stay while it is down, a key pressed once every key is up replaces the
// held chord, lifting it lets go of what is no longer down. Diverting and
// holding, the pedal is not passed on; a release whose press passed through
// still is, once. All notes off (CC 123, CC 120) forgets everything and is
// passed on.
TEST(Player, ThePedalHoldsAndReplacesChordsPerChannelAndAllNotesOffStops) {
    ScriptedCycles cycles;
    Player player(test::Musical{8, 32, 2, 1, Arpeggiator::CycleUp});
    player.Set(Control::SustainHold, true);
    test::Enable(player, true, true);
    struct Row {
        Bytes in;
        std::vector<int> held;  // channel * 1000 + note, after it
        bool forwarded = false;
    };
    const Row rows[] = {
        {{0xB0, 64, 64}, {}},
        {{0x90, 60, 100}, {60}},
        {{0x90, 64, 100}, {60, 64}},
        {{0x91, 48, 100}, {1048, 60, 64}},
        {{0x80, 60, 0}, {1048, 60, 64}},
        {{0x90, 64, 0}, {1048, 60, 64}},
        {{0x81, 48, 0}, {60, 64}},  // channel 1's pedal is up
        {{0x90, 67, 100}, {67}},    // every key was up: a new chord
        {{0x90, 71, 100}, {67, 71}},
        {{0x80, 67, 0}, {67, 71}},
        {{0x90, 67, 100}, {67, 71}},  // held by the pedal alone: not twice
        {{0xB1, 64, 100}, {67, 71}},
        {{0x91, 50, 100}, {1050, 67, 71}},
        {{0x81, 50, 0}, {1050, 67, 71}},
        {{0x80, 71, 0}, {1050, 67, 71}},
        {{0xB0, 64, 0}, {1050, 67}},  // 67 is still down
        {{0x90, 72, 100}, {1050, 67, 72}},
        {{0xB1, 64, 63}, {67, 72}},  // 63: up
        {{0x80, 67, 0}, {72}},
        {{0xB0, 123, 0}, {}, true},  // all notes off
        {{0x90, 50, 100}, {50}},
        {{0xB2, 120, 0}, {}, true},  // all sound off, on any channel
    };
    auto play = [&](const Bytes& in) {
        const std::uint64_t frame = cycles.frame + 9;
        cycles.At(frame, in);
        cycles.RunUntil(player, cycles.frame + 1);
        return passed(cycles.Take(), frame);
    };
    auto held = [&] {
        std::vector<int> notes;
        for (const auto& n : player.engine().NoteAry()->NewEnum()) notes.push_back(n->chan * 1000 + n->Note);
        return notes;
    };
    for (const Row& r : rows) {
        const auto out = play(r.in);
        EXPECT_EQ(held(), r.held) << std::hex << int{r.in[0]} << std::dec << " " << int{r.in[1]} << " " << int{r.in[2]};
        EXPECT_EQ(out, r.forwarded ? std::vector<Bytes>{r.in} : std::vector<Bytes>{}) << int{r.in[1]};
    }
    // A press that passed through (not diverting yet) gets its release
    // once, when the key goes up, though the pedal holds it; the pedal
    // itself is not passed on.
    player.Set(Control::Divert, false);
    using Out = std::vector<Bytes>;
    EXPECT_EQ(play({0xB0, 64, 127}), (Out{{0xB0, 64, 127}})) << "passed by the routing";
    EXPECT_EQ(play({0x90, 62, 100}), (Out{{0x90, 62, 100}}));
    player.Set(Control::Divert, true);
    EXPECT_EQ(play({0x80, 62, 64}), (Out{{0x80, 62, 64}}));
    EXPECT_EQ(play({0xB0, 64, 0}), Out{});
    EXPECT_TRUE(held().empty());
    // Off: whatever the pedals held goes.
    play({0xB0, 64, 127});
    play({0x90, 72, 100});
    play({0x80, 72, 64});
    EXPECT_EQ(held(), std::vector<int>{72});
    player.Set(Control::SustainHold, false);
    play({0xB0, 1, 0});
    EXPECT_TRUE(held().empty());
}

// Keys pressed together cost one rebuild of the pattern, which still starts
// 5 ms after the last of them; a flood of presses far beyond any player's
// is cut to a cycle's worth (counted), costs a rebuild at most every 5 ms,
// and releases of keys not held cost nothing.
TEST(Player, PressesTogetherCostOneRebuildAndAFloodBoundedWork) {
    ScriptedCycles cycles;
    Player player(test::Musical{240, 1, 2, 3, Arpeggiator::CycleRandom});
    int rebuilds = 0;
    player.engine().SeedSource([&] { return static_cast<std::uint32_t>(++rebuilds); });
    test::Enable(player, true, true);
    for (int note : {60, 64, 67}) cycles.At(cycles.FrameOfMs(10), keyDown(note));
    cycles.At(cycles.FrameOfMs(12), keyDown(72));
    cycles.RunUntil(player, cycles.FrameOfMs(40));
    EXPECT_EQ(rebuilds, 1) << "one rebuild for the rolled chord";
    std::uint64_t first = 0;
    for (const FramedMessage& m : cycles.Take())
        if (m.bytes[0] == 0x90 && first == 0) first = m.frame;
    EXPECT_EQ(first, cycles.FrameOfMs(17)) << "5 ms after the last key";
    EXPECT_EQ(player.engine().NoteAry()->Count(), 4);

    // 100 ms of 10,000 presses and 10,000 releases of keys not held a cycle.
    rebuilds = 0;
    const std::uint64_t from = cycles.frame;
    for (std::uint64_t f = from; f < from + cycles.FrameOfMs(100); f += cycles.period)
        for (int i = 0; i < 10000; ++i) {
            const auto chan = static_cast<std::uint8_t>(1 + i % 15);
            cycles.At(f + static_cast<std::uint64_t>(i) % cycles.period, keyDown(i / 15 % 128, 90, chan));
            cycles.At(f + static_cast<std::uint64_t>(i) % cycles.period, keyUp(i / 15 % 128, 0));
        }
    cycles.RunUntil(player, from + cycles.FrameOfMs(100));
    const std::uint64_t cyclesRun = (cycles.FrameOfMs(100) + cycles.period - 1) / cycles.period;
    EXPECT_LE(player.engine().NoteAry()->Count(), static_cast<std::int32_t>(4 + 256 * cyclesRun));
    EXPECT_GE(player.counters().refusedKeys, cyclesRun * (10000 - 256));
    EXPECT_LE(rebuilds, 100 / 5 + 1) << "at most one rebuild every 5 ms";
    // Idle within a step after it: nothing more is rebuilt.
    cycles.RunUntil(player, cycles.frame + cycles.FrameOfMs(50));
    const int after = rebuilds;
    cycles.RunUntil(player, cycles.frame + cycles.FrameOfMs(200));
    EXPECT_EQ(rebuilds, after);

    // Every key of the flood released in one cycle of 64 frames: 64 keys
    // reach the engine in it, the rest in the cycles after; then nothing is
    // held and every note struck has ended.
    cycles.period = 64;
    cycles.Take();
    const auto keysHeld = [&] {
        std::set<int> keys;
        for (const auto& held : player.engine().NoteAry()->NewEnum()) keys.insert(held->chan * 128 + held->Note);
        return keys.size();
    };
    const std::size_t flood = keysHeld();
    ASSERT_GT(flood, 64u) << "more held than a cycle releases";
    const std::uint64_t at = cycles.frame;
    for (int chan = 0; chan < 16; ++chan)
        for (int note = 0; note < 128; ++note) cycles.At(at, keyUp(note, chan));
    cycles.RunUntil(player, at + 64);
    EXPECT_EQ(keysHeld(), flood - 64) << "a cycle's worth of releases";
    cycles.RunUntil(player, cycles.frame + cycles.FrameOfMs(100));
    EXPECT_EQ(keysHeld(), 0u);
    std::set<int> sounding;
    for (const FramedMessage& m : cycles.Take())
        if ((m.bytes[0] & 0xF0) == 0x90)
            sounding.insert((m.bytes[0] & 0x0F) * 128 + m.bytes[1]);
        else if ((m.bytes[0] & 0xF0) == 0x80)
            sounding.erase((m.bytes[0] & 0x0F) * 128 + m.bytes[1]);
    EXPECT_TRUE(sounding.empty()) << sounding.size() << " notes left on";
    EXPECT_EQ(player.busyCount(), -1);
}

TEST(Player, AnErrorSwitchesOffOnceSaysWhyAndTheInputPathGoesOn) {
    ScriptedCycles cycles;
    test::Musical c{120, 8, 2, 1, Arpeggiator::CycleUp};
    Player player(c);
    test::Enable(player, true, true);
    cycles.At(cycles.FrameOfMs(400), keyDown(60));  // sounds from 405 to 736
    // 7 bpm in whole notes overflows the step: the poll at 501 fails at the
    // tempo, which it gives last, after Octaves, Resolution, Sustain, Cycle.
    c = {7, 32, 3, 2, Arpeggiator::CycleDown};
    test::SetControls(player, c);
    cycles.RunUntil(player, cycles.FrameOfMs(600));
    PlayerReport r;
    ASSERT_TRUE(player.TakeReport(r));
    while (r.kind != PlayerReport::Kind::Failed && player.TakeReport(r)) {
    }
    EXPECT_EQ(r.kind, PlayerReport::Kind::Failed);
    EXPECT_NE(std::string(r.what), "");
    EXPECT_EQ(player.counters().failures, 1u);
    EXPECT_EQ(player.busyCount(), -1);
    EXPECT_TRUE(player.engine().IsEmpty());
    const Arpeggiator& arp = player.engine();
    EXPECT_EQ((std::vector<int>{arp.Octaves(), arp.Resolution(), arp.Sustain(), arp.Cycle(), arp.Tempo(), arp.period()}),
              (std::vector<int>{2, 32, 3, Arpeggiator::CycleDown, 7, 2000}));
    EXPECT_EQ(cycles.Take(), (std::vector<FramedMessage>{on(cycles.FrameOfMs(405), 60), off(cycles.FrameOfMs(501), 60)}))
        << "what sounded stops at the failed poll";
    // Off now: input passes through, once.
    const std::uint64_t frame = cycles.frame + 3;
    cycles.At(frame, keyDown(70));
    cycles.RunUntil(player, cycles.frame + 1);
    EXPECT_EQ(cycles.Take(), (std::vector<FramedMessage>{on(frame, 70)}));
}

TEST(Player, InputThatFindsTheEngineTakenWaitsWithItsTimeAndIsReplayedInOrder) {
    ScriptedCycles cycles;
    Player player(k16thsAt240);
    test::Enable(player, true, true);
    // While the engine sends its first note-on, two keys arrive (a driver
    // that delivered input from inside a write would do this).
    bool nested = false;
    struct Nesting final : CycleOutput {
        Player* player = nullptr;
        bool* nested = nullptr;
        std::vector<FramedMessage> out;
        bool Write(std::uint32_t offset, const std::uint8_t* bytes, std::uint32_t size) noexcept override {
            out.push_back({offset, Bytes(bytes, bytes + size)});
            if (!*nested && (bytes[0] & 0xF0) == 0x90) {
                *nested = true;
                const Bytes a = keyDown(64), b = keyUp(60);
                player->Receive(offset, a.data(), 3);
                player->Receive(offset, b.data(), 3);
                EXPECT_EQ(player->inputQueue().Count(), 2);
                EXPECT_EQ(player->busyCount(), 0);
            }
            return true;
        }
    } nesting;
    nesting.player = &player;
    nesting.nested = &nested;
    // Drive the cycles by hand with that output.
    for (std::uint64_t f = 0; f < cycles.FrameOfMs(200); f += 48) {
        player.BeginCycle({f, 48, 48000}, nesting);
        if (f == cycles.FrameOfMs(10)) {
            const Bytes k = keyDown(60);
            player.Receive(0, k.data(), 3);
        }
        player.EndCycle();
    }
    ASSERT_TRUE(nested);
    EXPECT_EQ(player.inputQueue().Count(), 0) << "replayed by the next pass";
    EXPECT_EQ(player.busyCount(), -1);
    // Replayed with their arrival time, 15: 64 joined (the pattern rebuilt
    // from 20: 60, then 64 at 82) and 60 left; 64 played at 82 and comes
    // again a pass of two steps later, at 206.
    std::vector<int> held;
    for (const auto& n : player.engine().NoteAry()->NewEnum()) held.push_back(n->Note);
    EXPECT_EQ(held, std::vector<int>{64});
    EXPECT_EQ(player.engine().NoteOnQ()->Peek()->Trigger, 206);
}

}  // namespace
}  // namespace vlx
