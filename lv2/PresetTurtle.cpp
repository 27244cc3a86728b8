// SPDX-License-Identifier: GPL-3.0-or-later
#include "lv2/PresetTurtle.h"

#include <sstream>

namespace vlx::lv2 {

namespace {

constexpr const char* kPrefixes =
    "@prefix lv2:  <http://lv2plug.in/ns/lv2core#> .\n"
    "@prefix pset: <http://lv2plug.in/ns/ext/presets#> .\n"
    "@prefix rdfs: <http://www.w3.org/2000/01/rdf-schema#> .\n\n";

std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out + "\"";
}

std::string portValue(const std::string& symbol, double value) {
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out << "[\n        lv2:symbol " << quoted(symbol) << " ;\n        pset:value " << std::showpoint << value
        << "\n    ]";
    return out.str();
}

}  // namespace

const char* PluginUri() noexcept { return VLX_LV2_URI; }

std::string PortSymbol(const ControlInfo& info, int place) {
    if (info.kind != ControlKind::Steps) return info.lv2Symbol;
    return std::string(info.lv2Symbol) + "_" + std::to_string(place + 1);
}

std::string ManifestTurtle(const std::vector<NamedPreset>& presets) {
    std::string out = kPrefixes;
    for (const NamedPreset& p : presets)
        out += "<" + p.file + ">\n    a pset:Preset ;\n    lv2:appliesTo <" + PluginUri() + "> ;\n    rdfs:seeAlso <" +
               p.file + "> .\n\n";
    return out;
}

std::string PresetTurtle(const NamedPreset& p) {
    std::string ports;
    const auto add = [&](const std::string& symbol, double value) {
        ports += (ports.empty() ? "" : " , ") + portValue(symbol, value);
    };
    for (const ControlInfo& info : Controls()) {
        if (!info.lv2Symbol || !p.preset.sets.test(static_cast<std::size_t>(info.id))) continue;
        const std::int32_t value = p.preset.values[info.id];
        if (info.kind == ControlKind::Steps) {
            for (int place = 0; place < info.steps; ++place) add(PortSymbol(info, place), static_cast<int>(StepAt(value, place)));
        } else {
            add(PortSymbol(info), ToNumber(info.id, value));
        }
    }
    std::string out = kPrefixes;
    out += "<>\n    a pset:Preset ;\n    lv2:appliesTo <" + std::string(PluginUri()) + "> ;\n    rdfs:label " +
           quoted(p.label) + (ports.empty() ? " .\n" : " ;\n    lv2:port " + ports + " .\n");
    return out;
}

}  // namespace vlx::lv2
