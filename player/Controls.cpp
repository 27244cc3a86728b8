// SPDX-License-Identifier: GPL-3.0-or-later
#include "player/Controls.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace vlx {

namespace {

bool sameText(std::string_view a, std::string_view b, bool anyCase) {
    if (!anyCase) return a == b;
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::optional<double> numberIn(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    double number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return number;
}

double scale(const ControlInfo& info) { return std::pow(10.0, info.decimals); }

}  // namespace

ControlValues::ControlValues() {
    for (const ControlInfo& info : kControlTable) v_[static_cast<std::size_t>(info.id)] = info.byDefault;
}

ControlValues::ControlValues(std::initializer_list<std::pair<Control, std::int32_t>> values) : ControlValues() {
    for (const auto& [c, value] : values) (*this)[c] = value;
}

std::optional<Control> ControlNamed(std::string_view settingsName) noexcept {
    for (const ControlInfo& info : kControlTable)
        if (info.settingsName && settingsName == info.settingsName) return info.id;
    return std::nullopt;
}

std::optional<Control> ControlWithOption(std::string_view option) noexcept {
    for (const ControlInfo& info : kControlTable)
        if (info.option && option == info.option) return info.id;
    return std::nullopt;
}

std::optional<std::int32_t> Accept(Control c, double number) noexcept {
    const ControlInfo& info = InfoOf(c);
    if (!std::isfinite(number)) return std::nullopt;
    switch (info.kind) {
    case ControlKind::Switch: return number > 0.5 ? 1 : 0;
    case ControlKind::List: {
        const ControlChoice* best = nullptr;
        for (const ControlChoice& choice : info.choices)
            if (!best || std::fabs(number - choice.code) < std::fabs(number - best->code)) best = &choice;
        if (!best) return std::nullopt;
        return best->code;
    }
    case ControlKind::Value: {
        const double factor = scale(info);
        if (number * factor < info.minimum || number * factor > info.maximum) return std::nullopt;
        // Half to even, as every conversion of a number to a whole one here.
        return static_cast<std::int32_t>(std::nearbyint(number * factor));
    }
    case ControlKind::Steps: break;  // no one number: a port a place, or the text
    }
    return std::nullopt;
}

std::optional<std::int32_t> FromText(Control c, std::string_view text, bool anyCase) {
    const ControlInfo& info = InfoOf(c);
    if (info.kind == ControlKind::List) {
        for (const ControlChoice& choice : info.choices)
            if (sameText(text, choice.label, anyCase)) return choice.code;
        if (!anyCase) return std::nullopt;
        const auto number = numberIn(text);
        for (const ControlChoice& choice : info.choices)
            if (number && *number == choice.code) return choice.code;
        return std::nullopt;
    }
    if (info.kind == ControlKind::Steps) {
        // Places not given play.
        if (text.empty() || text.size() > static_cast<std::size_t>(info.steps)) return std::nullopt;
        std::int32_t value = 0;
        for (std::size_t i = 0; i < text.size(); ++i) {
            const char* mark = std::strchr(kStepMarks, text[i]);
            if (!mark || *mark == 0) return std::nullopt;
            value = WithStep(value, static_cast<int>(i), static_cast<StepState>(mark - kStepMarks));
        }
        return value;
    }
    const auto number = numberIn(text);
    if (!number) return std::nullopt;
    if (info.kind == ControlKind::Switch && *number != 0 && *number != 1) return std::nullopt;
    return Accept(c, *number);
}

std::string ToText(Control c, std::int32_t value) {
    const ControlInfo& info = InfoOf(c);
    if (info.kind == ControlKind::Steps) {
        std::string marks;
        for (int i = 0; i < info.steps; ++i) {
            const auto state = static_cast<std::size_t>(StepAt(value, i));
            marks += state < 3 ? kStepMarks[state] : '?';
        }
        return marks;
    }
    for (const ControlChoice& choice : info.choices)
        if (choice.code == value) return choice.label;
    if (info.decimals == 0) return std::to_string(value);
    char text[32];
    const auto [end, error] = std::to_chars(text, text + sizeof text, ToNumber(c, value), std::chars_format::fixed,
                                            info.decimals);
    if (error != std::errc()) return std::to_string(value);
    // Plain decimal form: 120 and 120.5, not 120.0.
    std::string plain(text, end);
    while (plain.back() == '0') plain.pop_back();
    if (plain.back() == '.') plain.pop_back();
    return plain;
}

double ToNumber(Control c, std::int32_t value) noexcept { return value / scale(InfoOf(c)); }

std::string PlainLabel(const ControlInfo& info) {
    std::string plain;
    for (const char* p = info.label; *p; ++p)
        if (*p != '&') plain += *p;
    if (!plain.empty() && plain.back() == ':') plain.pop_back();
    return plain;
}

std::string RangeMessage(Control c) {
    const ControlInfo& info = InfoOf(c);
    return "Value must be between " + ToText(c, info.minimum) + " and " + ToText(c, info.maximum);
}

}  // namespace vlx
