// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Every control a player sets (a switch, a list, a value), described once.
// The window's widgets and menu, the settings file, the command line and
// its --help, the LV2 plugin's ports (and its Turtle) and the live view all
// read this table; the player gives each control its behaviour. A new
// control is a row here and its behaviour in the player.
//
// A control's value is a whole number: 0 or 1 for a switch, the code of the
// chosen entry for a list, the number itself for a value (times 10 to the
// power of its decimals). Every front turns what it is given into a value by
// the same rules (Accept, FromText), so a value is rounded and checked alike
// wherever it is set.
#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace vlx {

// In the order the settings are read and written; Arpeggiate comes last: a
// front that applies every control in this order switches arpeggiation on
// with every other control in place.
enum class Control : std::uint8_t {
    Tempo,
    Octaves,
    Resolution,
    Sustain,
    Cycle,
    Divert,
    CloseOnExit,
    Retrigger,
    FollowClock,
    SustainHold,
    KeepBeat,
    ShuffleEveryPass,
    Latch,
    PlayStopped,
    Gate,
    Swing,
    StepFeel,
    ExactSteps,
    SplitLowest,
    SplitHighest,
    InChannel,
    OutChannel,
    Velocity,
    VelocityValue,
    AccentEvery,
    OctaveOrder,
    Repeat,
    RhythmLength,
    Rhythm,
    Arpeggiate,
    kCount
};
inline constexpr std::size_t kControlCount = static_cast<std::size_t>(Control::kCount);

// A switch (0 or 1), a list (the chosen entry's code), a value (a number in
// a range), or steps: a row of `steps` places, each play (0), rest (1) or
// tie (2), two bits a place from the lowest, the first place first.
enum class ControlKind : std::uint8_t { Switch, List, Value, Steps };

// Where the window shows a control: among the fixed controls of its first
// page, as an entry of its menu, in a group of its second page (`group`),
// or nowhere (the plugin's alone).
enum class ControlPlace : std::uint8_t { Window, Menu, Panel, None };

struct ControlChoice {
    const char* label;  // as the list shows it and the settings file stores it
    std::int32_t code;  // what the player receives
};

struct ControlInfo {
    Control id;
    ControlKind kind;
    // In the settings file; nullptr: not kept between runs.
    const char* settingsName;
    // The command line's option without its dashes; nullptr: none.
    const char* option;
    // The LV2 plugin's control port; nullptr: the plugin has none.
    const char* lv2Symbol;
    std::uint32_t lv2Index;
    // With its mnemonic ("&Arpeggiate"); the plugin's port name unless lv2Name says otherwise.
    const char* label;
    const char* lv2Name;
    const char* help;
    // Its unit, as LV2 names it (units:bpm); nullptr: none.
    const char* unit;
    ControlPlace place;
    std::int32_t byDefault;
    // A value's range (inclusive) and its decimal places.
    std::int32_t minimum = 0;
    std::int32_t maximum = 1;
    int decimals = 0;
    std::span<const ControlChoice> choices = {};
    // Kept in the settings whatever its value; otherwise only once the file
    // had it or it differs from its default (an older file stays as it was).
    bool alwaysSaved = false;
    // A switch of the player's whose state the live view shows.
    bool shownLive = false;
    // On the window's second page, the group it is shown in.
    const char* group = nullptr;
    // Steps: how many places; the plugin has a port for each, from lv2Index on.
    int steps = 0;
    // A value whose minimum means off: what is shown for it.
    const char* offText = nullptr;
};

// A value for every control, indexed by Control.
class ControlValues {
public:
    ControlValues();  // every control at its default
    // Every control at its default but these.
    ControlValues(std::initializer_list<std::pair<Control, std::int32_t>> values);
    std::int32_t operator[](Control c) const noexcept { return v_[static_cast<std::size_t>(c)]; }
    std::int32_t& operator[](Control c) noexcept { return v_[static_cast<std::size_t>(c)]; }
    bool on(Control c) const noexcept { return (*this)[c] != 0; }
    bool operator==(const ControlValues&) const = default;

private:
    std::array<std::int32_t, kControlCount> v_;
};


inline constexpr ControlChoice kOctaveChoices[] = {{"1", 1}, {"2", 2}, {"3", 3}};
inline constexpr ControlChoice kResolutionChoices[] = {{"Whole", 32}, {"Half", 16}, {"Quarter", 8},
                                                       {"8th", 4},    {"16th", 2},  {"32nd", 1}};
inline constexpr ControlChoice kSustainChoices[] = {{"Staccato", 1}, {"Normal", 2}, {"Legatto", 3}};
inline constexpr ControlChoice kCycleChoices[] = {{"Up", 1},      {"Down", 2},   {"Up-Down", 3},
                                                  {"Down-Up", 4}, {"Random", 5}, {"As played", 6}};
inline constexpr ControlChoice kInChannelChoices[] = {{"Any", 0}, {"1", 1},   {"2", 2},   {"3", 3},   {"4", 4},   {"5", 5},
                                                      {"6", 6},   {"7", 7},   {"8", 8},   {"9", 9},   {"10", 10}, {"11", 11},
                                                      {"12", 12}, {"13", 13}, {"14", 14}, {"15", 15}, {"16", 16}};
inline constexpr ControlChoice kOutChannelChoices[] = {
    {"As played", 0}, {"1", 1},   {"2", 2},   {"3", 3},   {"4", 4},   {"5", 5},   {"6", 6},   {"7", 7},  {"8", 8},
    {"9", 9},         {"10", 10}, {"11", 11}, {"12", 12}, {"13", 13}, {"14", 14}, {"15", 15}, {"16", 16}};
inline constexpr ControlChoice kVelocityChoices[] = {{"As played", 0}, {"Fixed", 1}, {"Accented", 2}};
inline constexpr ControlChoice kOctaveOrderChoices[] = {{"Up", 1}, {"Down", 2}, {"Bounce", 3}};
// A step as long as the resolution says, two thirds of it, or one and a half.
inline constexpr ControlChoice kStepFeelChoices[] = {{"Straight", 1}, {"Triplet", 2}, {"Dotted", 3}};

// The first plugin port of the split's, the notes' and the order's controls
// (the time's and the shape's come before them).
inline constexpr std::uint32_t kPanelPorts = 20;

// In the order of Control. Settings names, options and LV2 symbols and
// indices are what older files, scripts and DAW sessions hold: never renamed.
inline constexpr ControlInfo kControlTable[] = {
    {.id = Control::Tempo, .kind = ControlKind::Value, .settingsName = "Tempo", .option = "tempo",
     .lv2Symbol = "tempo", .lv2Index = 5, .label = "&Tempo:", .lv2Name = nullptr,
     .help = "Beats per minute, when no MIDI clock or host tempo is followed (whole unless Exact step lengths is on).",
     .unit = "bpm", .place = ControlPlace::Window, .byDefault = 1200, .minimum = 80, .maximum = 2400, .decimals = 1,
     .alwaysSaved = true},
    {.id = Control::Octaves, .kind = ControlKind::List, .settingsName = "Octaves", .option = "octaves",
     .lv2Symbol = "octaves", .lv2Index = 7, .label = "&Octaves:", .lv2Name = nullptr,
     .help = "How many octaves the pattern spans.", .unit = nullptr, .place = ControlPlace::Window,
     .byDefault = 1, .choices = kOctaveChoices, .alwaysSaved = true},
    {.id = Control::Resolution, .kind = ControlKind::List, .settingsName = "Resolution", .option = "resolution",
     .lv2Symbol = "resolution", .lv2Index = 6, .label = "&Resolution:", .lv2Name = nullptr,
     .help = "The length of a step.", .unit = nullptr, .place = ControlPlace::Window, .byDefault = 8,
     .choices = kResolutionChoices, .alwaysSaved = true},
    {.id = Control::Sustain, .kind = ControlKind::List, .settingsName = "Sustain", .option = "sustain",
     .lv2Symbol = "sustain", .lv2Index = 8, .label = "&Sustain:", .lv2Name = nullptr,
     .help = "How much of each step a note sounds.", .unit = nullptr, .place = ControlPlace::Window,
     .byDefault = 2, .choices = kSustainChoices, .alwaysSaved = true},
    {.id = Control::Cycle, .kind = ControlKind::List, .settingsName = "Cycle", .option = "cycle",
     .lv2Symbol = "cycle", .lv2Index = 9, .label = "&Cycle:", .lv2Name = nullptr, .help = "The order of the notes.",
     .unit = nullptr, .place = ControlPlace::Window, .byDefault = 3, .choices = kCycleChoices,
     .alwaysSaved = true},
    {.id = Control::Divert, .kind = ControlKind::Switch, .settingsName = "Divert", .option = "divert",
     .lv2Symbol = "divert", .lv2Index = 3, .label = "&Divert Input", .lv2Name = nullptr,
     .help = "While arpeggiating, keep the played notes themselves from the output: only the arpeggio sounds.",
     .unit = nullptr, .place = ControlPlace::Window, .byDefault = 0, .alwaysSaved = true},
    {.id = Control::CloseOnExit, .kind = ControlKind::Switch, .settingsName = "CloseOnExit",
     .option = "close-on-exit", .lv2Symbol = nullptr, .lv2Index = 0, .label = "Close &Veloxa after Exit",
     .lv2Name = nullptr,
     .help = "End the connections with the program; unchecked, closing connects every port that fed VLXArp:in "
             "straight to every port VLXArp:out fed.",
     .unit = nullptr, .place = ControlPlace::Window, .byDefault = 0, .alwaysSaved = true},
    {.id = Control::Retrigger, .kind = ControlKind::Switch, .settingsName = "Retrigger", .option = "retrigger",
     .lv2Symbol = "retrigger", .lv2Index = 4, .label = "Retri&gger new Data", .lv2Name = nullptr,
     .help = "Rebuild the pattern a second time for every new note; in the Random cycle a fresh order is drawn.",
     .unit = nullptr, .place = ControlPlace::Window, .byDefault = 0, .alwaysSaved = true},
    {.id = Control::FollowClock, .kind = ControlKind::Switch, .settingsName = "FollowClock",
     .option = "follow-clock", .lv2Symbol = "follow_host", .lv2Index = 11, .label = "Follow MIDI clock",
     .lv2Name = "Follow host tempo",
     .help = "Steps on the beat of the MIDI clock arriving at the input (in the plugin, the host's transport: "
             "silent until it rolls, and while it stands unless Play while stopped is on).",
     .unit = nullptr, .place = ControlPlace::Menu, .byDefault = 0, .shownLive = true},
    {.id = Control::SustainHold, .kind = ControlKind::Switch, .settingsName = "SustainHold",
     .option = "sustain-hold", .lv2Symbol = "sustain_hold", .lv2Index = 10, .label = "Hold with sustain pedal",
     .lv2Name = nullptr,
     .help = "While the pedal (controller 64) is down on a channel, released keys stay in the pattern.",
     .unit = nullptr, .place = ControlPlace::Menu, .byDefault = 0, .shownLive = true},
    {.id = Control::KeepBeat, .kind = ControlKind::Switch, .settingsName = "KeepBeat", .option = "keep-beat",
     .lv2Symbol = "keep_beat", .lv2Index = 12, .label = "Keep the beat", .lv2Name = nullptr,
     .help = "Keys added or released and settings changed take effect at the next step on the same grid: no note "
             "struck twice, the beat kept. Arpeggiate switched on over held keys plays them.",
     .unit = nullptr, .place = ControlPlace::Menu, .byDefault = 0, .shownLive = true},
    {.id = Control::ShuffleEveryPass, .kind = ControlKind::Switch, .settingsName = "ShuffleEveryPass",
     .option = "shuffle-every-pass", .lv2Symbol = "shuffle_every_pass", .lv2Index = 14,
     .label = "Random: new order every pass", .lv2Name = nullptr,
     .help = "The Random cycle draws a fresh order every pass, never one note twice in a row.", .unit = nullptr,
     .place = ControlPlace::Menu, .byDefault = 0, .shownLive = true},
    {.id = Control::Latch, .kind = ControlKind::Switch, .settingsName = "Latch", .option = "latch",
     .lv2Symbol = "latch", .lv2Index = 13, .label = "&Latch", .lv2Name = nullptr,
     .help = "Released keys stay in the pattern until the next chord.", .unit = nullptr,
     .place = ControlPlace::Window, .byDefault = 0, .shownLive = true},
    {.id = Control::PlayStopped, .kind = ControlKind::Switch, .settingsName = nullptr, .option = nullptr,
     .lv2Symbol = "play_stopped", .lv2Index = 15, .label = "Play while stopped", .lv2Name = nullptr,
     .help = "Following the host: while its transport stands, play on at its last tempo on a grid of its own; when "
             "it rolls, the steps lock to the song's grid at the next step.",
     .unit = nullptr, .place = ControlPlace::None, .byDefault = 0},
    {.id = Control::Gate, .kind = ControlKind::Value, .settingsName = "Gate", .option = "gate", .lv2Symbol = "gate",
     .lv2Index = 16, .label = "Gate:", .lv2Name = nullptr,
     .help = "Note length as a percentage of its step; 0 (Off): the Sustain list decides.", .unit = "pc",
     .place = ControlPlace::Panel, .byDefault = 0, .minimum = 0, .maximum = 100, .group = "Shape", .offText = "Off"},
    {.id = Control::Swing, .kind = ControlKind::Value, .settingsName = "Swing", .option = "swing", .lv2Symbol = "swing",
     .lv2Index = 17, .label = "Swing:", .lv2Name = nullptr,
     .help = "The second step of each pair starts at this share of the pair; 50 is straight.", .unit = "pc",
     .place = ControlPlace::Panel, .byDefault = 50, .minimum = 50, .maximum = 75, .group = "Time"},
    {.id = Control::StepFeel, .kind = ControlKind::List, .settingsName = "StepFeel", .option = "step-feel",
     .lv2Symbol = "step_feel", .lv2Index = 18, .label = "Steps:", .lv2Name = nullptr,
     .help = "Triplet steps (two thirds of the resolution) or dotted ones (one and a half).", .unit = nullptr,
     .place = ControlPlace::Panel, .byDefault = 1, .choices = kStepFeelChoices, .group = "Time"},
    {.id = Control::ExactSteps, .kind = ControlKind::Switch, .settingsName = "ExactSteps", .option = "exact-steps",
     .lv2Symbol = "exact_steps", .lv2Index = 19, .label = "Exact step lengths", .lv2Name = nullptr,
     .help = "Steps on exact frames and the tempo to a tenth of a bpm, instead of whole milliseconds and whole bpm.",
     .unit = nullptr, .place = ControlPlace::Panel, .byDefault = 0, .group = "Time"},
    {.id = Control::SplitLowest, .kind = ControlKind::Value, .settingsName = "SplitLowest", .option = "split-lowest",
     .lv2Symbol = "split_lowest", .lv2Index = kPanelPorts + 0, .label = "Lowest key:", .lv2Name = nullptr,
     .help = "Keys below it (60 is C4) pass through as if Arpeggiate were up.", .unit = nullptr,
     .place = ControlPlace::Panel, .byDefault = 0, .minimum = 0, .maximum = 127, .group = "Split"},
    {.id = Control::SplitHighest, .kind = ControlKind::Value, .settingsName = "SplitHighest",
     .option = "split-highest", .lv2Symbol = "split_highest", .lv2Index = kPanelPorts + 1, .label = "Highest key:",
     .lv2Name = nullptr, .help = "Keys above it pass through as if Arpeggiate were up.", .unit = nullptr,
     .place = ControlPlace::Panel, .byDefault = 127, .minimum = 0, .maximum = 127, .group = "Split"},
    {.id = Control::InChannel, .kind = ControlKind::List, .settingsName = "InChannel", .option = "in-channel",
     .lv2Symbol = "in_channel", .lv2Index = kPanelPorts + 2, .label = "Input channel:", .lv2Name = nullptr,
     .help = "The channel arpeggiated; what comes on the others passes through as if Arpeggiate were up.",
     .unit = nullptr, .place = ControlPlace::Panel, .byDefault = 0, .choices = kInChannelChoices, .group = "Split"},
    {.id = Control::OutChannel, .kind = ControlKind::List, .settingsName = "OutChannel", .option = "out-channel",
     .lv2Symbol = "out_channel", .lv2Index = kPanelPorts + 3, .label = "Output channel:", .lv2Name = nullptr,
     .help = "The channel the arpeggio is sent on: each note's own, or this one.", .unit = nullptr,
     .place = ControlPlace::Panel, .byDefault = 0, .choices = kOutChannelChoices, .group = "Split"},
    {.id = Control::Velocity, .kind = ControlKind::List, .settingsName = "Velocity", .option = "velocity",
     .lv2Symbol = "velocity", .lv2Index = kPanelPorts + 4, .label = "Velocity:", .lv2Name = nullptr,
     .help = "Each step's velocity: its key's, the velocity value, or its key's with the velocity value on every "
             "Nth step.",
     .unit = nullptr, .place = ControlPlace::Panel, .byDefault = 0, .choices = kVelocityChoices, .group = "Notes"},
    {.id = Control::VelocityValue, .kind = ControlKind::Value, .settingsName = "VelocityValue",
     .option = "velocity-value", .lv2Symbol = "velocity_value", .lv2Index = kPanelPorts + 5, .label = "Velocity value:",
     .lv2Name = nullptr, .help = "The fixed velocity, or the accent's.", .unit = nullptr,
     .place = ControlPlace::Panel, .byDefault = 100, .minimum = 1, .maximum = 127, .group = "Notes"},
    {.id = Control::AccentEvery, .kind = ControlKind::Value, .settingsName = "AccentEvery", .option = "accent-every",
     .lv2Symbol = "accent_every", .lv2Index = kPanelPorts + 6, .label = "Accent every:", .lv2Name = nullptr,
     .help = "Accented: every Nth step of the grid, counted from the pattern's first, sounds at the velocity value.",
     .unit = nullptr, .place = ControlPlace::Panel, .byDefault = 4, .minimum = 1, .maximum = 16, .group = "Notes"},
    {.id = Control::OctaveOrder, .kind = ControlKind::List, .settingsName = "OctaveOrder", .option = "octave-order",
     .lv2Symbol = "octave_order", .lv2Index = kPanelPorts + 7, .label = "Octave order:", .lv2Name = nullptr,
     .help = "How the pattern walks the octaves of its span: upward, downward, or up and back down.",
     .unit = nullptr, .place = ControlPlace::Panel, .byDefault = 1, .choices = kOctaveOrderChoices, .group = "Order"},
    {.id = Control::Repeat, .kind = ControlKind::Value, .settingsName = "Repeat", .option = "repeat",
     .lv2Symbol = "repeat", .lv2Index = kPanelPorts + 8, .label = "Note repeat:", .lv2Name = nullptr,
     .help = "How many steps in a row each note of the pattern plays.", .unit = nullptr,
     .place = ControlPlace::Panel, .byDefault = 1, .minimum = 1, .maximum = 4, .group = "Order"},
    {.id = Control::RhythmLength, .kind = ControlKind::Value, .settingsName = "RhythmLength",
     .option = "rhythm-length", .lv2Symbol = "rhythm_length", .lv2Index = kPanelPorts + 9, .label = "Rhythm length:",
     .lv2Name = nullptr, .help = "How many places of the rhythm are used before it repeats.", .unit = nullptr,
     .place = ControlPlace::Panel, .byDefault = 16, .minimum = 1, .maximum = 16, .group = "Order"},
    {.id = Control::Rhythm, .kind = ControlKind::Steps, .settingsName = "Rhythm", .option = "rhythm",
     .lv2Symbol = "rhythm", .lv2Index = kPanelPorts + 10, .label = "Rhythm:", .lv2Name = nullptr,
     .help = "What each step of the grid does: play the pattern's next note, rest (the pattern waits), or tie "
             "(the note before sounds on through it).",
     .unit = nullptr, .place = ControlPlace::Panel, .byDefault = 0, .group = "Order", .steps = 16},
    {.id = Control::Arpeggiate, .kind = ControlKind::Switch, .settingsName = nullptr, .option = "arpeggiate",
     .lv2Symbol = "arpeggiate", .lv2Index = 2, .label = "&Arpeggiate", .lv2Name = nullptr,
     .help = "On: the held notes play as the pattern. Off: everything played passes through.", .unit = nullptr,
     .place = ControlPlace::Window, .byDefault = 0},
};
static_assert(std::size(kControlTable) == kControlCount);
static_assert([] {
    for (std::size_t i = 0; i < kControlCount; ++i)
        if (static_cast<std::size_t>(kControlTable[i].id) != i) return false;
    return true;
}(), "the table is in the order of Control");

// The table, indexed by Control.
constexpr std::span<const ControlInfo> Controls() noexcept { return kControlTable; }
constexpr const ControlInfo& InfoOf(Control c) noexcept { return kControlTable[static_cast<std::size_t>(c)]; }
// The control a settings name, option or LV2 symbol names.
std::optional<Control> ControlNamed(std::string_view settingsName) noexcept;
std::optional<Control> ControlWithOption(std::string_view option) noexcept;

// A number from any front (a port's float, a scroll bar, a typed tempo) as
// the control's value: a switch is on above 0.5; a list takes the code
// nearest the number; a value is rounded to its decimals, half to even, and
// refused outside its range (checked before rounding). Empty when refused
// (not a number, out of range).
std::optional<std::int32_t> Accept(Control c, double number) noexcept;
// A text from the settings file or the command line: a list's entry by its
// label (exactly as the list shows it; `anyCase` also in other letter case)
// or by its code; a switch or value as a number, by Accept.
std::optional<std::int32_t> FromText(Control c, std::string_view text, bool anyCase = false);
// The text a value is stored and shown as: a list's label, a number in
// plain decimal form.
std::string ToText(Control c, std::int32_t value);
// A value as a number (a value's decimals applied).
double ToNumber(Control c, std::int32_t value) noexcept;
// A row of steps: place i (from 0) of a value, and a value with it set; the
// text form marks each place play 'x', rest '.' or tie '-'.
enum class StepState : std::uint8_t { Play = 0, Rest = 1, Tie = 2 };
inline constexpr char kStepMarks[] = "x.-";
constexpr StepState StepAt(std::int32_t value, int i) noexcept {
    return static_cast<StepState>((static_cast<std::uint32_t>(value) >> (2 * i)) & 3u);
}
constexpr std::int32_t WithStep(std::int32_t value, int i, StepState state) noexcept {
    const std::uint32_t cleared = static_cast<std::uint32_t>(value) & ~(3u << (2 * i));
    return static_cast<std::int32_t>(cleared | (static_cast<std::uint32_t>(state) << (2 * i)));
}
// The label without its mnemonic's ampersand.
std::string PlainLabel(const ControlInfo& info);
// "Value must be between 8 and 240": why a value was refused.
std::string RangeMessage(Control c);

}  // namespace vlx
