// The plugin in a host built on liblilv: its ports as hosts read them, what
// it plays and on which frames for any block size, the host's transport
// followed, its settings saved with a session, and bad input survived.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "LilvHost.h"
#include "player/Player.h"

namespace vlx::test {
namespace {

using lv2::Port;
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

const std::vector<std::pair<Port, float>> k16thsAt240Up = {
    {lv2::Arpeggiate, 1}, {lv2::Divert, 1}, {lv2::Tempo, 240}, {lv2::Resolution, 2}, {lv2::Cycle, 1}};

TEST(Lv2Plugin, HostsSeeThePortsOfItsCodeWithTheWindowsLabelsCodesAndDefaults) {
    LilvBundle& b = LilvBundle::get();
    LilvWorld* w = b.world;
    ASSERT_EQ(lilv_plugin_get_num_ports(b.plugin), lv2::kPortCount);
    for (std::uint32_t i = 0; i < lv2::kPortCount; ++i) {
        LilvNode* symbol = lilv_new_string(w, std::string(lv2::kPortSymbols[i]).c_str());
        const LilvPort* port = lilv_plugin_get_port_by_symbol(b.plugin, symbol);
        lilv_node_free(symbol);
        ASSERT_NE(port, nullptr) << lv2::kPortSymbols[i];
        EXPECT_EQ(lilv_port_get_index(b.plugin, port), i) << lv2::kPortSymbols[i];
    }
    // The lists: the window's labels, each with the code the player takes.
    struct List {
        Port port;
        std::map<std::string, float> points;
        float byDefault;
    };
    const List lists[] = {
        {lv2::Resolution, {{"Whole", 32}, {"Half", 16}, {"Quarter", 8}, {"8th", 4}, {"16th", 2}, {"32nd", 1}}, 8},
        {lv2::Octaves, {{"1", 1}, {"2", 2}, {"3", 3}}, 1},
        {lv2::Sustain, {{"Staccato", 1}, {"Normal", 2}, {"Legatto", 3}}, 2},
        {lv2::Cycle, {{"Up", 1}, {"Down", 2}, {"Up-Down", 3}, {"Down-Up", 4}, {"Random", 5}}, 3},
    };
    std::vector<float> mins(lv2::kPortCount), maxs(lv2::kPortCount), defaults(lv2::kPortCount);
    lilv_plugin_get_port_ranges_float(b.plugin, mins.data(), maxs.data(), defaults.data());
    for (const List& list : lists) {
        const LilvPort* port = lilv_plugin_get_port_by_index(b.plugin, list.port);
        LilvScalePoints* points = lilv_port_get_scale_points(b.plugin, port);
        std::map<std::string, float> seen;
        LILV_FOREACH (scale_points, i, points) {
            const LilvScalePoint* p = lilv_scale_points_get(points, i);
            seen[lilv_node_as_string(lilv_scale_point_get_label(p))] = lilv_node_as_float(lilv_scale_point_get_value(p));
        }
        lilv_scale_points_free(points);
        EXPECT_EQ(seen, list.points) << lv2::kPortSymbols[list.port];
        EXPECT_EQ(defaults[list.port], list.byDefault) << lv2::kPortSymbols[list.port];
    }
    // The window starts with every switch off and 120 bpm; the tempo box takes 8..240.
    for (Port p : {lv2::Arpeggiate, lv2::Divert, lv2::Retrigger, lv2::SustainHold, lv2::FollowHost})
        EXPECT_EQ(defaults[p], 0) << lv2::kPortSymbols[p];
    EXPECT_EQ(defaults[lv2::Tempo], 120);
    EXPECT_EQ(mins[lv2::Tempo], 8);
    EXPECT_EQ(maxs[lv2::Tempo], 240);
    // The controls the player is built with are the ports' defaults.
    PluginRig rig;
    std::array<const float*, lv2::kPortCount> ports{};
    for (std::uint32_t p = lv2::Arpeggiate; p < lv2::kPortCount; ++p) ports[p] = &rig.control(static_cast<Port>(p));
    EXPECT_EQ(lv2::ReadSettings(ports), lv2::Settings{});
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
    Player player({240, 2, 2, 1, Arpeggiator::CycleUp});
    player.Enable(true, true);
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
}

// The host's transport in a story: rolling from the top at 120 bpm, a
// stop, rolling again from the middle of a beat, 90 bpm, a jump to bar 8.
// Following it, the 16ths fall on the song's 16ths (6000 frames at 120
// bpm, 8000 at 90), the stop silences at once, and nothing changes
// whether the host sends its position every block or only when it
// changes, or how long the blocks are. Not following it, or with no tempo
// from the host, the Tempo control's steps play as without a transport.
TEST(Lv2Plugin, FollowingTheHostsTransportStepsFallOnItsSixteenthsForAnyBlockSize) {
    struct Segment {
        std::uint64_t frame;
        float speed, bpm;
        double quarters;  // where the song stands at `frame`
    };
    const std::vector<Segment> story = {
        {0, 1, 120, 0}, {30500, 0, 120, 30500.0 / 24000}, {50000, 1, 120, 5.3}, {80000, 1, 90, 5.3 + 30000.0 / 24000},
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
        p.barBeat = static_cast<float>(quarters - 4.0 * static_cast<double>(p.bar));
        return p;
    };
    const std::vector<std::uint64_t> onTheSixteenths = {6000,  12000, 18000, 24000,  30000,  54800,  60800, 66800,
                                                        72800, 78800, 86400, 94400, 102400, 110000, 118000, 126000};

    auto play = [&](bool follow, bool transport, bool withTempo, bool everyBlock, std::function<std::uint32_t()> blocks) {
        auto controls = k16thsAt240Up;
        controls.push_back({lv2::Tempo, 60});
        controls.push_back({lv2::FollowHost, follow ? 1.0F : 0.0F});
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
            EXPECT_EQ(play(true, true, false, everyBlock, blocks), untimed) << "no tempo from the host";
        }
    }
    // The stop silences the step that sounds, on its frame, and nothing
    // sounds until the transport rolls again.
    std::vector<FramedMessage> stopped;
    for (const auto& m : followed)
        if (m.frame >= 30500 && m.frame < 54800) stopped.push_back(m);
    EXPECT_EQ(stopped, (std::vector<FramedMessage>{{30500, {0x80, 64, 0}}}));
}

}  // namespace
}  // namespace vlx::test
