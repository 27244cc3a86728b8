// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Hands-free control: controllers and notes bound to controls (MIDI learn),
// and presets recalled by Program Change. The owner builds the tables and
// hands them over whole; the cycles read them without allocating or
// locking, and hand the old ones back to be freed by the owner.
#include <array>
#include <bitset>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <boost/lockfree/spsc_queue.hpp>

#include "host/api/MidiMessage.h"
#include "player/Controls.h"

namespace vlx {

// A controller or a note that sets a control.
struct Binding {
    enum class Source : std::uint8_t { Controller, Note };
    // What a press does to a switch: flips it, or holds it on while down.
    enum class Mode : std::uint8_t { Toggle, Momentary };
    Source source = Source::Controller;
    std::uint8_t channel = 0;  // 0 to 15
    std::uint8_t number = 0;   // the controller's or the note's
    Control control = Control::Arpeggiate;
    std::uint8_t place = 0;  // of a row of steps, from 0
    Mode mode = Mode::Toggle;
    bool operator==(const Binding&) const = default;
};

// The name a control goes by in a binding's text: its settings name, else
// its command-line option (Arpeggiate has no settings name).
const char* BindingName(const ControlInfo& info) noexcept;
// As the settings keep it: "Latch;cc;64;1;toggle" (control, cc or note,
// number, channel from 1, mode, and for a row of steps its place from 1).
std::string BindingText(const Binding& b);
std::optional<Binding> BindingFromText(std::string_view text);

// What a bound message makes of its control's value, given what it is now;
// empty when it leaves it as it is. A controller sweeps a list, a value or
// a step's place over its range (0 to 127); its press is a value of 64 or
// more. A press toggles a switch or (momentary) holds it on until the
// release; a note moves a list, a value or a place on by one, going round.
// `down` is the binding's own press state, kept between calls.
std::optional<std::int32_t> BoundValue(const Binding& b, std::int32_t now, bool noteOn, std::uint8_t data2,
                                       bool& down) noexcept;

// A preset: the controls it sets and their values; the others stay as
// they are (a preset saved before a control existed).
struct Preset {
    std::bitset<kControlCount> sets;
    ControlValues values;
};

struct HandsFreeTables {
    static constexpr std::size_t kMaxBindings = 128;
    static constexpr int kAnyChannel = 16;
    static constexpr int kNoChannel = -1;

    // Adds a binding in place of one of the same source; false when full.
    bool Bind(const Binding& b) noexcept;
    void Unbind(std::size_t i) noexcept;
    std::span<const Binding> bindings() const noexcept { return {bindings_.data(), count_}; }
    // The binding a message's source has, if any.
    const Binding* BindingOf(std::uint8_t status, std::uint8_t data1) const noexcept;
    // Where a source's binding is indexed.
    static std::size_t Slot(Binding::Source source, std::uint8_t channel, std::uint8_t number) noexcept {
        return (static_cast<std::size_t>(source) * 16 + (channel & 0x0Fu)) * 128 + (number & 0x7Fu);
    }

    // By program number (0 to 127).
    std::array<std::optional<Preset>, 128> presets{};
    // Where Program Change recalls them: a channel (0 to 15), every one, or none.
    int programChannel = kNoChannel;

private:
    std::array<Binding, kMaxBindings> bindings_{};
    std::size_t count_ = 0;
    std::array<std::uint8_t, 2 * 16 * 128> index_{};  // the binding of each source, from 1; 0 none
};

// What a received message is to the cycles.
struct HandsFreeAction {
    enum class Kind : std::uint8_t {
        Pass,    // not ours: it goes on as before
        Taken,   // taken without an effect (a bound release that changes nothing)
        Set,     // a control takes `value`
        Recall,  // the preset of `program`
        Learnt,  // the source to learn: `status` and `data1`
    };
    Kind kind = Kind::Pass;
    Control control = Control::Arpeggiate;
    std::int32_t value = 0;
    std::uint8_t program = 0;
    std::uint8_t status = 0;
    std::uint8_t data1 = 0;
};

class HandsFree {
public:
    HandsFree();
    ~HandsFree();
    HandsFree(const HandsFree&) = delete;
    HandsFree& operator=(const HandsFree&) = delete;

    // ---- the owner's ----
    // From the next cycle on; false when the cycles have not taken the
    // tables offered before (the driver stands still).
    bool Offer(std::unique_ptr<HandsFreeTables> tables);

    // ---- the cycles' ----
    void BeginCycle() noexcept;
    // Learning: the next controller or note pressed is reported, not played.
    void Learn(bool on) noexcept { learning_ = on; }
    HandsFreeAction Take(const host::MidiMessage& m, const ControlValues& now) noexcept;
    const Preset* PresetOf(std::uint8_t program) const noexcept;

private:
    boost::lockfree::spsc_queue<HandsFreeTables*, boost::lockfree::capacity<8>> fresh_;
    boost::lockfree::spsc_queue<HandsFreeTables*, boost::lockfree::capacity<16>> spent_;
    HandsFreeTables* tables_ = nullptr;  // the cycles'
    std::array<bool, HandsFreeTables::kMaxBindings> down_{};
    bool learning_ = false;
    // The source just learnt: taken until its binding arrives.
    std::optional<std::size_t> learnt_;
};

}  // namespace vlx
