// SPDX-License-Identifier: GPL-3.0-or-later
// Writes the plugin's Turtle at build time: the template, with the line
// "%CONTROL_PORTS%" replaced by a control port for every control of the
// control table that has an LV2 symbol, in the order of their indices.
//
//   vlx_lv2_turtle TEMPLATE OUTPUT
#include <algorithm>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "lv2/PresetTurtle.h"
#include "player/Controls.h"

namespace {

using vlx::ControlKind;
using vlx::ControlInfo;

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string number(vlx::Control c, std::int32_t value) {
    return vlx::InfoOf(c).kind == ControlKind::List ? std::to_string(value) : vlx::ToText(c, value);
}

// A row of steps has a port a place: play, rest or tie.
std::string stepPort(const ControlInfo& info, int place) {
    std::ostringstream out;
    const std::string indent = "        ";
    const std::string number = std::to_string(place + 1);
    out << "[\n" << indent << "a lv2:InputPort, lv2:ControlPort ;\n";
    out << indent << "lv2:index " << info.lv2Index + static_cast<std::uint32_t>(place) << " ;\n";
    out << indent << "lv2:symbol " << quoted(vlx::lv2::PortSymbol(info, place)) << " ;\n";
    out << indent << "lv2:name " << quoted((info.lv2Name ? info.lv2Name : vlx::PlainLabel(info)) + " " + number) << " ;\n";
    out << indent << "rdfs:comment " << quoted(info.help) << " ;\n";
    out << indent << "lv2:portProperty lv2:integer, lv2:enumeration ;\n";
    const char* labels[] = {"Play", "Rest", "Tie"};
    for (int i = 0; i < 3; ++i)
        out << (i == 0 ? indent + "lv2:scalePoint " : indent + "               ") << "[ rdfs:label " << quoted(labels[i])
            << " ; rdf:value " << i << " ]" << (i < 2 ? ",\n" : " ;\n");
    out << indent << "lv2:default " << static_cast<int>(vlx::StepAt(info.byDefault, place)) << " ;\n";
    out << indent << "lv2:minimum 0 ;\n" << indent << "lv2:maximum 2\n    ]";
    return out.str();
}

std::string port(const ControlInfo& info) {
    std::ostringstream out;
    const std::string indent = "        ";
    out << "[\n" << indent << "a lv2:InputPort, lv2:ControlPort ;\n";
    out << indent << "lv2:index " << info.lv2Index << " ;\n";
    out << indent << "lv2:symbol " << quoted(info.lv2Symbol) << " ;\n";
    out << indent << "lv2:name " << quoted(info.lv2Name ? info.lv2Name : vlx::PlainLabel(info)) << " ;\n";
    out << indent << "rdfs:comment " << quoted(info.help) << " ;\n";
    std::int32_t minimum = info.minimum;
    std::int32_t maximum = info.maximum;
    switch (info.kind) {
    case ControlKind::Switch: out << indent << "lv2:portProperty lv2:toggled ;\n"; break;
    case ControlKind::Value:
        if (info.decimals == 0) out << indent << "lv2:portProperty lv2:integer ;\n";
        if (info.offText)
            out << indent << "lv2:scalePoint [ rdfs:label " << quoted(info.offText) << " ; rdf:value "
                << number(info.id, info.minimum) << " ] ;\n";
        break;
    case ControlKind::Steps: break;  // stepPort
    case ControlKind::List: {
        out << indent << "lv2:portProperty lv2:integer, lv2:enumeration ;\n";
        const std::string points = indent + "lv2:scalePoint ";
        for (std::size_t i = 0; i < info.choices.size(); ++i) {
            out << (i == 0 ? points : std::string(points.size(), ' ')) << "[ rdfs:label "
                << quoted(info.choices[i].label) << " ; rdf:value " << info.choices[i].code << " ]"
                << (i + 1 < info.choices.size() ? ",\n" : " ;\n");
            minimum = i == 0 ? info.choices[i].code : std::min(minimum, info.choices[i].code);
            maximum = i == 0 ? info.choices[i].code : std::max(maximum, info.choices[i].code);
        }
        break;
    }
    }
    if (info.unit) out << indent << "units:unit units:" << info.unit << " ;\n";
    out << indent << "lv2:default " << number(info.id, info.byDefault) << " ;\n";
    out << indent << "lv2:minimum " << number(info.id, minimum) << " ;\n";
    out << indent << "lv2:maximum " << number(info.id, maximum) << "\n    ]";
    return out.str();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: vlx_lv2_turtle TEMPLATE OUTPUT\n";
        return 2;
    }
    std::ifstream in(argv[1]);
    std::stringstream text;
    text << in.rdbuf();
    std::string turtle = text.str();
    std::vector<const ControlInfo*> ports;
    for (const ControlInfo& info : vlx::Controls())
        if (info.lv2Symbol) ports.push_back(&info);
    std::sort(ports.begin(), ports.end(), [](auto* a, auto* b) { return a->lv2Index < b->lv2Index; });
    std::string generated;
    for (const ControlInfo* info : ports) {
        if (info->kind != ControlKind::Steps) {
            generated += (generated.empty() ? "" : ", ") + port(*info);
            continue;
        }
        for (int place = 0; place < info->steps; ++place) generated += (generated.empty() ? "" : ", ") + stepPort(*info, place);
    }
    const std::string mark = "%CONTROL_PORTS%";
    const auto at = turtle.find(mark);
    if (!in || at == std::string::npos) {
        std::cerr << "vlx_lv2_turtle: " << argv[1] << " has no " << mark << "\n";
        return 1;
    }
    turtle.replace(at, mark.size(), generated);
    std::ofstream out(argv[2]);
    out << turtle;
    return out ? 0 : 1;
}
