// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The plugin's presets as LV2 presets (pset:Preset): the Turtle of a
// bundle that lists them and of each preset, with the value of every
// control port the preset sets. The window writes its presets so, where
// hosts look for a user's presets.
#include <string>
#include <string_view>
#include <vector>

#include "player/HandsFree.h"

namespace vlx::lv2 {

// The plugin's URI.
const char* PluginUri() noexcept;
// A control port's symbol; a row of steps has one a place (from 0).
std::string PortSymbol(const ControlInfo& info, int place = 0);

struct NamedPreset {
    std::string label;
    std::string file;  // the preset's file in the bundle
    Preset preset;
};
std::string ManifestTurtle(const std::vector<NamedPreset>& presets);
std::string PresetTurtle(const NamedPreset& preset);

}  // namespace vlx::lv2
