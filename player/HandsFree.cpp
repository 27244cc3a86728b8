// SPDX-License-Identifier: GPL-3.0-or-later
#include "player/HandsFree.h"

#include <chrono>
#include <thread>
#include <vector>

namespace vlx {

namespace {

constexpr const char* kSources[] = {"cc", "note"};
constexpr const char* kModes[] = {"toggle", "momentary"};

std::optional<int> numberIn(std::string_view text, int low, int high) {
    if (text.empty() || text.size() > 3) return std::nullopt;
    int n = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        n = n * 10 + (c - '0');
    }
    if (n < low || n > high) return std::nullopt;
    return n;
}

// The next entry of a list, value or place of a row of steps, going round.
std::int32_t nextOf(const ControlInfo& info, std::int32_t now, int place) {
    switch (info.kind) {
    case ControlKind::List:
        for (std::size_t i = 0; i < info.choices.size(); ++i)
            if (info.choices[i].code == now) return info.choices[(i + 1) % info.choices.size()].code;
        return info.choices.empty() ? now : info.choices[0].code;
    case ControlKind::Value: return now >= info.maximum ? info.minimum : now + 1;
    case ControlKind::Steps:
        return WithStep(now, place, static_cast<StepState>((static_cast<int>(StepAt(now, place)) + 1) % 3));
    case ControlKind::Switch: break;
    }
    return now != 0 ? 0 : 1;
}

// A controller's 0 to 127 over the control's range.
std::int32_t sweptTo(const ControlInfo& info, std::int32_t now, int place, std::uint8_t data2) {
    switch (info.kind) {
    case ControlKind::List:
        if (info.choices.empty()) return now;
        return info.choices[data2 * info.choices.size() / 128].code;
    case ControlKind::Value: return info.minimum + ((info.maximum - info.minimum) * data2 + 63) / 127;
    case ControlKind::Steps: return WithStep(now, place, static_cast<StepState>(data2 * 3 / 128));
    case ControlKind::Switch: break;
    }
    return data2 >= 64 ? 1 : 0;
}

}  // namespace

const char* BindingName(const ControlInfo& info) noexcept { return info.settingsName ? info.settingsName : info.option; }

std::string BindingText(const Binding& b) {
    const ControlInfo& info = InfoOf(b.control);
    std::string text = std::string(BindingName(info) ? BindingName(info) : "") + ";" +
                       kSources[static_cast<int>(b.source)] + ";" + std::to_string(b.number) + ";" +
                       std::to_string(b.channel + 1) + ";" + kModes[static_cast<int>(b.mode)];
    if (info.kind == ControlKind::Steps) text += ";" + std::to_string(b.place + 1);
    return text;
}

std::optional<Binding> BindingFromText(std::string_view text) {
    std::vector<std::string_view> fields;
    for (std::size_t from = 0;;) {
        const std::size_t at = text.find(';', from);
        fields.push_back(text.substr(from, at == std::string_view::npos ? std::string_view::npos : at - from));
        if (at == std::string_view::npos) break;
        from = at + 1;
    }
    if (fields.size() < 5 || fields.size() > 6) return std::nullopt;
    Binding b;
    const ControlInfo* info = nullptr;
    for (const ControlInfo& s : Controls())
        if (BindingName(s) && fields[0] == BindingName(s)) info = &s;
    if (!info) return std::nullopt;
    b.control = info->id;
    if (fields[1] == kSources[0]) {
        b.source = Binding::Source::Controller;
    } else if (fields[1] == kSources[1]) {
        b.source = Binding::Source::Note;
    } else {
        return std::nullopt;
    }
    const auto number = numberIn(fields[2], 0, 127);
    const auto channel = numberIn(fields[3], 1, 16);
    if (!number || !channel) return std::nullopt;
    b.number = static_cast<std::uint8_t>(*number);
    b.channel = static_cast<std::uint8_t>(*channel - 1);
    if (fields[4] == kModes[0]) {
        b.mode = Binding::Mode::Toggle;
    } else if (fields[4] == kModes[1]) {
        b.mode = Binding::Mode::Momentary;
    } else {
        return std::nullopt;
    }
    if ((info->kind == ControlKind::Steps) != (fields.size() == 6)) return std::nullopt;
    if (fields.size() == 6) {
        const auto place = numberIn(fields[5], 1, info->steps);
        if (!place) return std::nullopt;
        b.place = static_cast<std::uint8_t>(*place - 1);
    }
    return b;
}

std::optional<std::int32_t> BoundValue(const Binding& b, std::int32_t now, bool noteOn, std::uint8_t data2,
                                       bool& down) noexcept {
    const ControlInfo& info = InfoOf(b.control);
    const bool note = b.source == Binding::Source::Note;
    const bool press = note ? noteOn : data2 >= 64;
    const bool pressed = press && !down;
    const bool released = !press && down;
    down = press;
    if (info.kind == ControlKind::Switch) {
        if (b.mode == Binding::Mode::Momentary) {
            if (!pressed && !released) return std::nullopt;
            return press ? 1 : 0;
        }
        if (!pressed) return std::nullopt;
        return now != 0 ? 0 : 1;
    }
    if (!note) return sweptTo(info, now, b.place, data2);
    if (!pressed) return std::nullopt;
    return nextOf(info, now, b.place);
}

// ---- the tables ----

bool HandsFreeTables::Bind(const Binding& b) noexcept {
    std::uint8_t& at = index_[Slot(b.source, b.channel, b.number)];
    if (at != 0) {
        bindings_[at - 1u] = b;
        return true;
    }
    if (count_ == kMaxBindings) return false;
    bindings_[count_] = b;
    at = static_cast<std::uint8_t>(++count_);
    return true;
}

void HandsFreeTables::Unbind(std::size_t i) noexcept {
    if (i >= count_) return;
    for (std::size_t j = i + 1; j < count_; ++j) bindings_[j - 1] = bindings_[j];
    --count_;
    index_.fill(0);
    for (std::size_t j = 0; j < count_; ++j)
        index_[Slot(bindings_[j].source, bindings_[j].channel, bindings_[j].number)] = static_cast<std::uint8_t>(j + 1);
}

const Binding* HandsFreeTables::BindingOf(std::uint8_t status, std::uint8_t data1) const noexcept {
    const auto kind = status & 0xF0;
    if (kind != 0x80 && kind != 0x90 && kind != 0xB0) return nullptr;
    const auto source = kind == 0xB0 ? Binding::Source::Controller : Binding::Source::Note;
    const std::uint8_t at = index_[Slot(source, status & 0x0F, data1)];
    return at != 0 ? &bindings_[at - 1u] : nullptr;
}

// ---- the hand-over ----

HandsFree::HandsFree() = default;

HandsFree::~HandsFree() {
    delete tables_;
    HandsFreeTables* t = nullptr;
    while (fresh_.pop(t)) delete t;
    while (spent_.pop(t)) delete t;
}

bool HandsFree::Offer(std::unique_ptr<HandsFreeTables> tables) {
    HandsFreeTables* spent = nullptr;
    // A standing driver takes nothing: give it a moment, as a posted change does.
    for (int tries = 0;; ++tries) {
        while (spent_.pop(spent)) delete spent;
        if (fresh_.push(tables.get())) break;
        if (tries == 100) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    tables.release();
    return true;
}

void HandsFree::BeginCycle() noexcept {
    HandsFreeTables* fresh = nullptr;
    while (fresh_.pop(fresh)) {
        // The spent queue holds more than the fresh one can hand in.
        if (tables_) spent_.push(tables_);
        tables_ = fresh;
        down_.fill(false);
        learnt_.reset();
    }
}

const Preset* HandsFree::PresetOf(std::uint8_t program) const noexcept {
    if (!tables_ || program > 127) return nullptr;
    const auto& preset = tables_->presets[program];
    return preset ? &*preset : nullptr;
}

HandsFreeAction HandsFree::Take(const host::MidiMessage& m, const ControlValues& now) noexcept {
    HandsFreeAction a;
    const std::uint8_t status = m.bytes[0];
    const auto kind = status & 0xF0;
    const auto chan = static_cast<std::uint8_t>(status & 0x0F);
    if (kind == 0xC0 && m.size == 2) {
        const int channel = tables_ ? tables_->programChannel : HandsFreeTables::kNoChannel;
        if (channel == HandsFreeTables::kNoChannel || (channel != HandsFreeTables::kAnyChannel && channel != chan) ||
            !PresetOf(m.bytes[1]))
            return a;
        a.kind = HandsFreeAction::Kind::Recall;
        a.program = m.bytes[1];
        return a;
    }
    if (m.size != 3 || (kind != 0x80 && kind != 0x90 && kind != 0xB0)) return a;
    const auto source = kind == 0xB0 ? Binding::Source::Controller : Binding::Source::Note;
    const std::size_t slot = HandsFreeTables::Slot(source, chan, m.bytes[1]);
    const bool noteOn = kind == 0x90 && m.bytes[2] > 0;
    if (learning_ && (source == Binding::Source::Controller || noteOn)) {
        learning_ = false;
        learnt_ = slot;
        a.kind = HandsFreeAction::Kind::Learnt;
        a.status = status;
        a.data1 = m.bytes[1];
        return a;
    }
    if (learnt_ == slot) {
        a.kind = HandsFreeAction::Kind::Taken;
        return a;
    }
    const Binding* b = tables_ ? tables_->BindingOf(status, m.bytes[1]) : nullptr;
    if (!b) return a;
    a.kind = HandsFreeAction::Kind::Taken;
    const auto i = static_cast<std::size_t>(b - tables_->bindings().data());
    const auto value = BoundValue(*b, now[b->control], noteOn, m.bytes[2], down_[i]);
    if (value && *value != now[b->control]) {
        a.kind = HandsFreeAction::Kind::Set;
        a.control = b->control;
        a.value = *value;
    }
    return a;
}

}  // namespace vlx
