// SPDX-License-Identifier: GPL-3.0-or-later
// The plugin in a host built on liblilv: its ports as hosts read them, what
// it plays and on which frames for any block size, the host's transport
// followed, its settings saved with a session, and bad input survived.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <unistd.h>

#include "LilvHost.h"
#include "player/Player.h"
#include "support/PlayerSettings.h"

namespace vlx::test {
namespace {

constexpr std::uint32_t kRate = 48000;

Bytes keyDown(int note) { return {0x90, static_cast<std::uint8_t>(note), 100}; }
Bytes keyUp(int note) { return {0x80, static_cast<std::uint8_t>(note), 64}; }
std::uint64_t frameOfMs(std::int64_t ms) { return (static_cast<std::uint64_t>(ms) * kRate + 999) / 1000; }

std::function<std::uint32_t()> blocksOf(std::uint32_t frames) {
    return [frames] { return frames; };
}
// Any length from 1 to 8192, changing every block.
std::function<std::uint32_t()> varyingBlocks() {
    auto random = std::make_shared<std::mt19937>(17);
    return [random] { return std::uniform_int_distribution<std::uint32_t>(1, 8192)(*random); };
}

std::vector<std::uint64_t> noteOns(const std::vector<FramedMessage>& out) {
    std::vector<std::uint64_t> ons;
    for (const auto& m : out)
        if (m.bytes.size() == 3 && (m.bytes[0] & 0xF0) == 0x90 && m.bytes[2] > 0) ons.push_back(m.frame);
    return ons;
}

// Every note-on is followed by its note-off before the same key starts
// again; a note that starts after `until` may still sound at the end.
void expectEachNoteEnds(const std::vector<FramedMessage>& out, std::uint64_t until) {
    std::map<int, std::uint64_t> sounding;
    for (const auto& m : out) {
        if (m.bytes.size() != 3 || (m.bytes[0] & 0xE0) != 0x80) continue;
        const bool on = (m.bytes[0] & 0xF0) == 0x90 && m.bytes[2] > 0;
        if (on) {
            EXPECT_FALSE(sounding.count(m.bytes[1])) << int{m.bytes[1]} << " starts again at " << m.frame;
            sounding[m.bytes[1]] = m.frame;
        } else {
            sounding.erase(m.bytes[1]);
        }
    }
    for (const auto& [key, since] : sounding) EXPECT_GT(since, until) << key << " left sounding";
}

const std::vector<std::pair<Control, float>> k16thsAt240Up = {
    {Control::Arpeggiate, 1}, {Control::Divert, 1}, {Control::Tempo, 240}, {Control::Resolution, 2}, {Control::Cycle, 1}};

// Every control of the table with a symbol is a port at its index, with
// its name, its choices as scale points and its default and range; what the
// player is built with from the ports' defaults is the table's defaults.
TEST(Lv2Plugin, HostsSeeAPortForEveryControlOfTheTableAsTheTableDescribesIt) {
    LilvBundle& b = LilvBundle::get();
    LilvWorld* w = b.world;
    ASSERT_EQ(lilv_plugin_get_num_ports(b.plugin), lv2::kPortCount);
    std::vector<float> mins(lv2::kPortCount), maxs(lv2::kPortCount), defaults(lv2::kPortCount);
    lilv_plugin_get_port_ranges_float(b.plugin, mins.data(), maxs.data(), defaults.data());
    for (const ControlInfo& info : Controls()) {
        if (!info.lv2Symbol) continue;
        // A row of steps has a port a place, named by its number.
        const bool steps = info.kind == ControlKind::Steps;
        for (int place = 0; place < std::max(info.steps, 1); ++place) {
        const std::string number = steps ? std::to_string(place + 1) : "";
        const std::string symbolText = info.lv2Symbol + (steps ? "_" + number : "");
        const std::uint32_t index = info.lv2Index + static_cast<std::uint32_t>(place);
        SCOPED_TRACE(symbolText);
        LilvNode* symbol = lilv_new_string(w, symbolText.c_str());
        const LilvPort* port = lilv_plugin_get_port_by_symbol(b.plugin, symbol);
        lilv_node_free(symbol);
        ASSERT_NE(port, nullptr);
        EXPECT_EQ(lilv_port_get_index(b.plugin, port), index);
        EXPECT_EQ(lv2::ControlOn(index), info.id);
        LilvNode* name = lilv_port_get_name(b.plugin, port);
        EXPECT_EQ(lilv_node_as_string(name),
                  std::string(info.lv2Name ? info.lv2Name : PlainLabel(info)) + (steps ? " " + number : ""));
        lilv_node_free(name);
        std::map<std::string, float> points, choices;
        LilvScalePoints* scale = lilv_port_get_scale_points(b.plugin, port);
        LILV_FOREACH (scale_points, i, scale) {
            const LilvScalePoint* p = lilv_scale_points_get(scale, i);
            points[lilv_node_as_string(lilv_scale_point_get_label(p))] = lilv_node_as_float(lilv_scale_point_get_value(p));
        }
        if (scale) lilv_scale_points_free(scale);
        for (const ControlChoice& choice : info.choices) choices[choice.label] = static_cast<float>(choice.code);
        if (info.offText) choices[info.offText] = static_cast<float>(ToNumber(info.id, info.minimum));
        if (steps) choices = {{"Play", 0.0F}, {"Rest", 1.0F}, {"Tie", 2.0F}};
        EXPECT_EQ(points, choices);
        EXPECT_EQ(defaults[index], steps ? static_cast<float>(StepAt(info.byDefault, place)) : ToNumber(info.id, info.byDefault));
        if (info.kind != ControlKind::List) {
            EXPECT_EQ(mins[index], steps ? 0.0F : ToNumber(info.id, info.minimum));
            EXPECT_EQ(maxs[index], steps ? 2.0F : ToNumber(info.id, info.maximum));
        }
        }
    }
    PluginRig rig;
    std::array<const float*, lv2::kPortCount> ports{};
    for (std::uint32_t p = lv2::Out + 1; p < lv2::kPortCount; ++p) ports[p] = &rig.controlAt(p);
    std::uint32_t refused = 0;
    EXPECT_EQ(lv2::ReadControls(ports, ControlValues{}, refused), ControlValues{});
    EXPECT_EQ(refused, 0u);
}

// A chord, a release, a controller and a system exclusive message: the
// plugin plays what the player plays on scripted cycles, on the same
// frames, whatever the block size, and the steps fall where the window's
// would: 5 ms after the chord, then every 62 ms, sounding 39.
TEST(Lv2Plugin, PlaysWhatThePlayerPlaysOnTheSameFramesForAnyBlockSize) {
    const std::uint64_t end = frameOfMs(1500);
    std::vector<HostInput> input;
    for (int note : {67, 60, 64}) input.push_back({frameOfMs(100) + 7, keyDown(note)});
    input.push_back({frameOfMs(400) + 3, keyUp(64)});
    input.push_back({frameOfMs(500), Bytes{0xB0, 7, 90}});
    input.push_back({frameOfMs(600) + 1, Bytes{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}});
    input.push_back({frameOfMs(700), Bytes{0xB0, 123, 0}});  // all notes off
    input.push_back({frameOfMs(900), keyDown(72)});

    ScriptedCycles cycles;
    Player player(test::Musical{240, 2, 2, 1, Arpeggiator::CycleUp});
    test::Enable(player, true, true);
    for (const auto& e : input) cycles.At(e.frame, e.midi);
    cycles.RunUntil(player, end);
    std::vector<FramedMessage> expected = cycles.Take();
    std::erase_if(expected, [end](const FramedMessage& m) { return m.frame >= end; });

    const std::vector<std::uint64_t> firstOns = {frameOfMs(105), frameOfMs(167), frameOfMs(229)};
    const std::vector<std::uint64_t> ons = noteOns(expected);
    ASSERT_GE(ons.size(), 3u);
    EXPECT_EQ(std::vector<std::uint64_t>(ons.begin(), ons.begin() + 3), firstOns);

    for (const auto& [name, blocks] : std::vector<std::pair<std::string, std::function<std::uint32_t()>>>{
             {"1", blocksOf(1)}, {"64", blocksOf(64)}, {"256", blocksOf(256)}, {"1000", blocksOf(1000)},
             {"4096", blocksOf(4096)}, {"1 to 8192, changing", varyingBlocks()}}) {
        PluginRig rig({.controls = k16thsAt240Up});
        std::vector<FramedMessage> out = rig.Play(input, end, blocks);
        std::erase_if(out, [end](const FramedMessage& m) { return m.frame >= end; });
        EXPECT_EQ(out, expected) << name << "-frame blocks";
        expectEachNoteEnds(out, end - frameOfMs(62));
        EXPECT_EQ(rig.logText(), "") << name;
    }

    // One instance played to the end, deactivated, activated and played
    // again: the same both times.
    PluginRig again({.controls = k16thsAt240Up});
    const std::vector<FramedMessage> once = again.Play(input, end, blocksOf(256));
    again.Deactivate();
    again.Activate();
    EXPECT_EQ(again.Play(input, end, blocksOf(256)), once) << "after Deactivate and Activate";

    // Keep the beat and the latch from their ports: a chord rolled over 20
    // ms and released, then a new chord replacing it on the beat; the same
    // frames as the player's.
    std::vector<HostInput> rolled;
    for (int k = 0; k < 3; ++k) rolled.push_back({frameOfMs(100 + 10 * k) + 3, keyDown(60 + 4 * k)});
    for (int k = 0; k < 3; ++k) rolled.push_back({frameOfMs(300), keyUp(60 + 4 * k)});
    rolled.push_back({frameOfMs(640) + 5, keyDown(62)});
    rolled.push_back({frameOfMs(700) + 9, keyDown(65)});
    ScriptedCycles musical;
    Player musician(test::Musical{240, 2, 2, 1, Arpeggiator::CycleUp});
    musician.Set(Control::KeepBeat, true);
    musician.Set(Control::Latch, true);
    test::Enable(musician, true, true);
    for (const auto& e : rolled) musical.At(e.frame, e.midi);
    musical.RunUntil(musician, end);
    expected = musical.Take();
    std::erase_if(expected, [end](const FramedMessage& m) { return m.frame >= end; });
    ASSERT_EQ(noteOns(expected).size(), 23u);  // from 5 ms after the first key, every 62 ms
    for (const auto& [name, blocks] : std::vector<std::pair<std::string, std::function<std::uint32_t()>>>{
             {"256", blocksOf(256)}, {"1 to 8192, changing", varyingBlocks()}}) {
        auto controls = k16thsAt240Up;
        controls.insert(controls.end(), {{Control::KeepBeat, 1}, {Control::Latch, 1}});
        PluginRig rig({.controls = controls});
        std::vector<FramedMessage> out = rig.Play(rolled, end, blocks);
        std::erase_if(out, [end](const FramedMessage& m) { return m.frame >= end; });
        EXPECT_EQ(out, expected) << name << "-frame blocks";
    }
    // Random every pass: the latched chord in Random never plays one note
    // twice running.
    auto controls = k16thsAt240Up;
    controls.insert(controls.end(), {{Control::Cycle, 5}, {Control::Latch, 1}, {Control::ShuffleEveryPass, 1}});
    PluginRig rig({.controls = controls});
    std::vector<int> pitches;
    for (const auto& m : rig.Play(rolled, frameOfMs(20000), blocksOf(256)))
        if ((m.bytes[0] & 0xF0) == 0x90 && m.bytes[2] > 0) pitches.push_back(m.bytes[1]);
    ASSERT_GT(pitches.size(), 300u);
    for (std::size_t i = 1; i < pitches.size(); ++i) EXPECT_NE(pitches[i], pitches[i - 1]) << "step " << i;
}

// The host's transport in a story: rolling from the top at 120 bpm, a
// stop, rolling again from the middle of a beat, 90 bpm, a jump to bar 8.
// Following it, the 16ths fall on the song's 16ths (6000 frames at 120
// bpm, 8000 at 90), the stop silences at once, and nothing changes
// whether the host sends its position every block or only when it
// changes, or how long the blocks are. Not following it, the Tempo
// control's steps play as without a transport; following a host that gives
// no tempo, nothing plays. Playing while stopped, the steps go on through
// the stop on their own grid and lock to the song's next 16th as it rolls.
TEST(Lv2Plugin, FollowingTheHostsTransportStepsFallOnItsSixteenthsForAnyBlockSize) {
    struct Segment {
        std::uint64_t frame;
        float speed, bpm;
        double quarters;  // where the song stands at `frame`
    };
    const std::vector<Segment> story = {
        {0, 1, 120, 0}, {30500, 0, 120, 30500.0 / 24000}, {50000, 1, 120, 5.3125}, {80000, 1, 90, 5.3125 + 30000.0 / 24000},
        {110000, 1, 90, 32}};
    const std::uint64_t end = 130000;
    auto positionAt = [&](std::uint64_t frame, bool withTempo) {
        const Segment* s = &story.front();
        for (const Segment& seg : story)
            if (seg.frame <= frame) s = &seg;
        const double quarters = s->quarters + (s->speed > 0 ? (frame - s->frame) * (s->bpm / 60.0) / kRate : 0);
        TimePosition p;
        p.speed = s->speed;
        p.bpm = withTempo ? std::optional<float>(s->bpm) : std::nullopt;
        p.bar = static_cast<std::int64_t>(quarters / 4);
        // As hosts give it: in 1920ths of a beat, rounded down.
        p.barBeat = static_cast<float>(std::floor((quarters - 4.0 * static_cast<double>(p.bar)) * 1920) / 1920);
        return p;
    };
    const std::vector<std::uint64_t> onTheSixteenths = {6000,  12000, 18000, 24000,  30000,  54500,  60500, 66500,
                                                        72500, 78500, 86000, 94000, 102000, 110000, 118000, 126000};

    auto play = [&](bool follow, bool transport, bool withTempo, bool everyBlock, std::function<std::uint32_t()> blocks,
                    bool playStopped = false) {
        auto controls = k16thsAt240Up;
        controls.push_back({Control::Tempo, 60});
        controls.push_back({Control::FollowClock, follow ? 1.0F : 0.0F});
        controls.push_back({Control::PlayStopped, playStopped ? 1.0F : 0.0F});
        PluginRig rig({.controls = controls});
        std::vector<HostInput> input;
        if (transport)
            for (const Segment& s : story) input.emplace_back(s.frame, positionAt(s.frame, withTempo));
        for (int note : {60, 64, 67}) input.push_back({100, keyDown(note)});
        std::stable_sort(input.begin(), input.end(), [](const HostInput& a, const HostInput& b) { return a.frame < b.frame; });
        std::function<std::optional<TimePosition>(std::uint64_t)> each;
        if (transport && everyBlock) each = [&](std::uint64_t f) { return std::optional(positionAt(f, withTempo)); };
        auto out = rig.Play(input, end, blocks, each);
        std::erase_if(out, [end](const FramedMessage& m) { return m.frame >= end; });
        EXPECT_EQ(rig.logText(), "");
        return out;
    };

    const auto untimed = play(false, false, true, false, blocksOf(256));
    ASSERT_FALSE(untimed.empty());
    EXPECT_EQ(noteOns(untimed).front(), frameOfMs(7)) << "5 ms after the chord's millisecond";
    std::vector<FramedMessage> followed;
    for (const bool everyBlock : {false, true}) {
        for (const auto& [name, blocks] : std::vector<std::pair<std::string, std::function<std::uint32_t()>>>{
                 {"64", blocksOf(64)}, {"256", blocksOf(256)}, {"1000", blocksOf(1000)}, {"4096", blocksOf(4096)},
                 {"1 to 8192, changing", varyingBlocks()}}) {
            SCOPED_TRACE(name + "-frame blocks, " + (everyBlock ? "a position every block" : "positions on changes"));
            const auto out = play(true, true, true, everyBlock, blocks);
            EXPECT_EQ(noteOns(out), onTheSixteenths);
            expectEachNoteEnds(out, end - 6000);
            if (followed.empty()) followed = out;
            EXPECT_EQ(out, followed) << "the same messages on the same frames";
            EXPECT_EQ(play(false, true, true, everyBlock, blocks), untimed) << "not following";
            EXPECT_TRUE(noteOns(play(true, true, false, everyBlock, blocks, true)).empty()) << "no tempo from the host";
            auto onAndOn = onTheSixteenths;
            onAndOn.insert(onAndOn.begin() + 5, {36000, 42000, 48000});
            const auto free = play(true, true, true, everyBlock, blocks, true);
            EXPECT_EQ(noteOns(free), onAndOn) << "playing while stopped";
            expectEachNoteEnds(free, end - 6000);
            std::vector<int> pitches;
            for (const auto& m : free)
                if ((m.bytes[0] & 0xF0) == 0x90) pitches.push_back(m.bytes[1]);
            for (std::size_t i = 0; i < pitches.size(); ++i) EXPECT_EQ(pitches[i], 60 + 3 * (i % 3) + (i % 3 > 0)) << i;
        }
    }
    // Arpeggiate switched on at frame 20000 of a song rolling from the top
    // at 120 bpm, keys pressed at 24000, 30000 and 36000: on the song's 16ths
    // (each key restarts the pattern 5 ms on, taking the place of a step
    // due then, so the pattern starts at the 16th after the last key).
    auto controls = k16thsAt240Up;
    controls.front() = {Control::Arpeggiate, 0};
    controls.push_back({Control::FollowClock, 1});
    PluginRig joining({.controls = controls});
    std::vector<FramedMessage> joined = joining.Play({{0, TimePosition{}}}, 20000, blocksOf(250));
    joining.control(Control::Arpeggiate) = 1;
    for (const auto& m : joining.Play({{24000, keyDown(60)}, {30000, keyDown(64)}, {36000, keyDown(67)}}, 60000, blocksOf(250)))
        joined.push_back(m);
    EXPECT_EQ(noteOns(joined), (std::vector<std::uint64_t>{42000, 48000, 54000}));

    // The stop silences the step that sounds, on its frame, and nothing
    // sounds until the transport rolls again.
    std::vector<FramedMessage> stopped;
    for (const auto& m : followed)
        if (m.frame >= 30500 && m.frame < 54500) stopped.push_back(m);
    EXPECT_EQ(stopped, (std::vector<FramedMessage>{{30500, {0x80, 64, 0}}}));
}

// The first and second events of a sequence the host built.
LV2_Atom_Event* eventAt(LV2_Atom_Sequence& seq, int index) {
    LV2_Atom_Event* ev = lv2_atom_sequence_begin(&seq.body);
    for (int i = 0; i < index; ++i) ev = lv2_atom_sequence_next(ev);
    return ev;
}

// Input no host should send, and what the plugin makes of it: it plays on,
// every block's output inside the block in time order (the rig checks
// that), and the host's log says what happened, after the block, from the
// worker (or at deactivation without one).
TEST(Lv2Plugin, BadInputIsSurvivedInTimeOrderAndSaidInTheHostsLog) {
    const Bytes c4 = keyDown(60), d4 = keyDown(62);
    using Out = std::vector<FramedMessage>;
    // Following the host at 240 bpm 16ths with the chord from frame 10: a
    // refused tempo is no tempo, so nothing plays until a good position
    // comes at frame 4800, and from then on its 16ths.
    const auto arpeggio = [&](std::function<void(PluginRig&)> tamperWith, std::optional<float> bpm) {
        auto controls = k16thsAt240Up;
        controls.push_back({Control::FollowClock, 1});
        PluginRig rig({.controls = controls});
        std::vector<HostInput> first;
        if (bpm) {
            TimePosition p;
            p.bpm = bpm;
            first.emplace_back(0, p);
        }
        for (int note : {60, 64, 67}) first.emplace_back(10, keyDown(note));
        if (tamperWith) tamperWith(rig);
        Out out = rig.Run(256, first);
        rig.tamper = nullptr;
        TimePosition good;
        good.bpm = 240;
        good.barBeat = 0.4F;
        for (const auto& m : rig.Play({{4800, good}}, frameOfMs(500), blocksOf(256))) out.push_back(m);
        return std::pair{out, rig.logText()};
    };
    const Out late = arpeggio(nullptr, std::nullopt).first;
    ASSERT_EQ(noteOns(late), (std::vector<std::uint64_t>{6000, 9000, 12000, 15000, 18000, 21000, 24000}));

    struct Row {
        const char* what;
        std::function<Out(PluginRig&)> play;
        Out expected;
        const char* said;  // in the log; empty: nothing
        PluginRig::Options options = {};
    };
    const Row rows[] = {
        {"an event whose size runs past its sequence",
         [&](PluginRig& rig) {
             rig.tamper = [](LV2_Atom_Sequence& seq) { eventAt(seq, 1)->body.size = 5000; };
             return rig.Run(256, {{10, c4}, {20, d4}});
         },
         {{10, c4}}, "1 input event(s) were malformed"},
        {"a MIDI event of no bytes",
         [&](PluginRig& rig) {
             rig.tamper = [](LV2_Atom_Sequence& seq) {
                 eventAt(seq, 1)->body.size = 0;
                 seq.atom.size -= 8;
             };
             return rig.Run(256, {{10, c4}, {20, d4}});
         },
         {{10, c4}}, "1 input event(s) were malformed"},
        {"events out of time order",
         [&](PluginRig& rig) { return rig.Run(256, {{100, c4}, {50, keyUp(60)}, {70, d4}}); },
         {{100, c4}, {100, keyUp(60)}, {100, d4}}, "2 input event(s) came out of time order"},
        {"an event before the block",
         [&](PluginRig& rig) {
             rig.tamper = [](LV2_Atom_Sequence& seq) { eventAt(seq, 0)->time.frames = -5; };
             return rig.Run(256, {{0, c4}});
         },
         {{0, c4}}, "1 input event(s) came out of time order"},
        {"events past the block's end",
         [&](PluginRig& rig) { return rig.Run(256, {{300, c4}, {256, d4}}); },
         {{255, c4}, {255, d4}}, "2 input event(s) lay at or past the end of their block"},
        {"a block of 0 frames: its notes are played at the next block's first frame",
         [&](PluginRig& rig) {
             Out out = rig.Run(0, {{0, c4}, {0, d4}});
             EXPECT_TRUE(out.empty());
             return rig.Run(64);
         },
         {{0, c4}, {0, d4}}, ""},
        {"more notes in blocks of 0 frames than are kept",
         [&](PluginRig& rig) {
             std::vector<HostInput> many;
             for (int k = 0; k < 70; ++k) many.emplace_back(0, keyDown(k));
             rig.Run(0, many);
             Out out = rig.Run(64);
             EXPECT_EQ(out.size(), 64u);
             return Out(out.begin(), out.begin() + 1);
         },
         {{0, keyDown(0)}}, "6 MIDI event(s) came in blocks of 0 frames"},
        {"a sequence stamped in beats",
         [&](PluginRig& rig) {
             const LV2_URID beats = rig.urids().map(LV2_ATOM__beatTime);
             rig.tamper = [beats](LV2_Atom_Sequence& seq) { seq.body.unit = beats; };
             return rig.Run(256, {{100, c4}});
         },
         {{0, c4}}, "1 input sequence(s) were stamped in beats"},
        {"a sequence whose unit is junk, as Ardour 7.3 leaves it: frames",
         [&](PluginRig& rig) {
             rig.tamper = [](LV2_Atom_Sequence& seq) { seq.body.unit = 0xBEBEBEBE; };
             return rig.Run(256, {{100, c4}});
         },
         {{100, c4}}, ""},
        {"an output buffer too small for the block: note-offs keep their room",
         [&](PluginRig& rig) {
             std::vector<HostInput> ons, offs;
             for (int k = 0; k < 30; ++k) ons.emplace_back(10, keyDown(40 + k));
             for (int k = 0; k < 30; ++k) offs.emplace_back(10, Bytes{0x80, static_cast<std::uint8_t>(40 + k), 0});
             EXPECT_EQ(rig.Run(256, ons).size(), 15u) << "512 bytes, a quarter kept for note-offs";
             const Out out = rig.Run(256, offs);
             EXPECT_EQ(out.size(), 20u) << "all the room for note-offs";
             EXPECT_EQ(rig.Run(256, std::vector<HostInput>{}).size(), 10u) << "the others first in the next block";
             return Out(out.begin(), out.begin() + 1);
         },
         {{256 + 10, {0x80, 40, 0}}}, "15 output message(s) were dropped: the host's output buffer was full\n", {.outCapacity = 512}},
        {"without a worker: said when deactivated",
         [&](PluginRig& rig) {
             Out out = rig.Run(256, {{300, c4}});
             EXPECT_EQ(rig.logText(), "") << "nothing from run()";
             rig.Deactivate();
             return out;
         },
         {{255, c4}}, "1 input event(s) lay at or past the end", {.worker = false}},
        {"without a log: counted only", [&](PluginRig& rig) { return rig.Run(256, {{300, c4}}); }, {{255, c4}}, "",
         {.log = false}},
    };
    for (const Row& row : rows) {
        PluginRig rig(row.options);
        EXPECT_EQ(row.play(rig), row.expected) << row.what;
        if (*row.said) {
            EXPECT_NE(rig.logText().find(row.said), std::string::npos) << row.what << ": " << rig.logText();
        } else {
            EXPECT_EQ(rig.logText(), "") << row.what;
        }
    }

    // The host's tempo refused: as with no host tempo.
    for (const float bpm : {0.0F, -120.0F, NAN, 1e6F}) {
        const auto [out, said] = arpeggio(nullptr, bpm);
        EXPECT_EQ(out, late) << bpm;
        EXPECT_NE(said.find("the host's tempo was refused 1 time(s)"), std::string::npos) << bpm << ": " << said;
    }
    // A position whose last property (the tempo) runs past the object.
    const auto [cut, said] = arpeggio(
        [](PluginRig& rig) {
            rig.tamper = [](LV2_Atom_Sequence& seq) {
                auto* object = reinterpret_cast<LV2_Atom_Object*>(&eventAt(seq, 0)->body);
                LV2_Atom_Property_Body* last = nullptr;
                LV2_ATOM_OBJECT_FOREACH (object, prop) last = prop;
                last->value.size = 4000;
            };
        },
        120.0F);
    EXPECT_EQ(cut, late);
    EXPECT_NE(said.find("1 input event(s) were malformed"), std::string::npos) << said;
}

const void* portValue(const char* symbol, void* user, std::uint32_t* size, std::uint32_t* type) {
    auto* rig = static_cast<PluginRig*>(user);
    for (const ControlInfo& info : Controls())
        if (info.lv2Symbol && std::string(info.lv2Symbol) == symbol) {
            *size = sizeof(float);
            *type = rig->urids().map(LV2_ATOM__Float);
            return &rig->control(info.id);
        }
    return nullptr;
}

void setPortValue(const char* symbol, void* user, const void* value, std::uint32_t size, std::uint32_t type) {
    auto* rig = static_cast<PluginRig*>(user);
    ASSERT_EQ(size, sizeof(float));
    ASSERT_EQ(type, rig->urids().map(LV2_ATOM__Float));
    for (const ControlInfo& info : Controls())
        if (info.lv2Symbol && std::string(info.lv2Symbol) == symbol) std::memcpy(&rig->control(info.id), value, sizeof(float));
}

// A host saves the session and opens it again: the control ports hold
// every setting, the restored instance plays as the saved one did, two
// instances with other settings play side by side each as it would alone,
// and nothing is written where the standalone program keeps its settings.
TEST(Lv2Plugin, SettingsAreSavedWithTheSessionAndEachInstanceKeepsItsOwn) {
    const std::filesystem::path home = std::filesystem::temp_directory_path() / ("vlxarp-lv2-" + std::to_string(::getpid()));
    std::filesystem::create_directories(home);
    ::setenv("XDG_CONFIG_HOME", home.c_str(), 1);
    ::setenv("HOME", home.c_str(), 1);

    LilvBundle& b = LilvBundle::get();
    const std::vector<std::pair<Control, float>> settings = {
        {Control::Arpeggiate, 1}, {Control::Divert, 1},  {Control::Retrigger, 1}, {Control::Tempo, 200},  {Control::Resolution, 4},
        {Control::Octaves, 2},    {Control::Sustain, 3}, {Control::Cycle, 4},     {Control::SustainHold, 1}};
    PluginRig saved({.controls = settings});
    LilvState* state = lilv_state_new_from_instance(b.plugin, saved.instance(), &saved.urids().mapFeature, nullptr,
                                                    nullptr, nullptr, nullptr, portValue, &saved, 0, nullptr);
    ASSERT_NE(state, nullptr);
    char* text = lilv_state_to_string(b.world, &saved.urids().mapFeature, &saved.urids().unmapFeature, state,
                                      "urn:vlxarp:test:session", nullptr);
    lilv_state_free(state);
    ASSERT_NE(text, nullptr);

    // Opened again: restored before it is activated, as hosts do.
    PluginRig restored({.activate = false});
    LilvState* loaded = lilv_state_new_from_string(b.world, &restored.urids().mapFeature, text);
    lilv_free(text);
    ASSERT_NE(loaded, nullptr);
    lilv_state_restore(loaded, restored.instance(), setPortValue, &restored, 0, nullptr);
    lilv_state_free(loaded);
    for (std::uint32_t p = lv2::Out + 1; p < lv2::kPortCount; ++p) EXPECT_EQ(restored.controlAt(p), saved.controlAt(p)) << p;
    restored.Activate();

    // Side by side, block by block: the saved and restored instances, and
    // one with the window's settings but arpeggiating, alone and beside them.
    std::vector<HostInput> input;
    for (int note : {60, 64, 67}) input.emplace_back(100, keyDown(note));
    input.emplace_back(frameOfMs(700), Bytes{0xB0, 64, 127});
    input.emplace_back(frameOfMs(800), keyUp(64));
    input.emplace_back(frameOfMs(1200), keyDown(72));
    const std::uint64_t end = frameOfMs(2000);
    PluginRig other({.controls = {{Control::Arpeggiate, 1}}});
    std::vector<PluginRig*> rigs = {&saved, &restored, &other};
    std::vector<std::vector<FramedMessage>> outs(rigs.size());
    for (std::uint64_t from = 0; from < end; from += 256) {
        std::vector<HostInput> block;
        for (const HostInput& e : input)
            if (e.frame >= from && e.frame < from + 256) block.emplace_back(e.frame - from, e.midi);
        for (std::size_t i = 0; i < rigs.size(); ++i)
            for (auto& m : rigs[i]->Run(256, block)) outs[i].push_back(m);
    }
    EXPECT_GE(noteOns(outs[0]).size(), 10u);
    EXPECT_EQ(outs[1], outs[0]) << "the restored instance plays as the saved one";
    PluginRig alone({.controls = {{Control::Arpeggiate, 1}}});
    EXPECT_EQ(alone.Play(input, end, blocksOf(256)), outs[2]) << "beside the others as alone";
    EXPECT_NE(outs[2], outs[0]);

    EXPECT_TRUE(std::filesystem::is_empty(home)) << "the plugin wrote in " << home;
    std::filesystem::remove_all(home);
}

}  // namespace
}  // namespace vlx::test
