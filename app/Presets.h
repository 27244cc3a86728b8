// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Presets as the settings file keeps them: one key each below the
// program's own, "Software\Veloxa\VLXArp\Presets\<name>", with a value per
// control under the name the settings give it and the program number that
// recalls it ("Program", 1 to 128). They share the settings' file and its
// rules: what the program does not know stays, a file that was not read
// is not written. Each is written at once, under the file's lock.
//
// The same presets are written as an LV2 bundle where hosts look for a
// user's presets (~/.lv2/vlxarp-presets.lv2), so that the plugin offers them.
#include <cstdint>
#include <string>
#include <vector>

#include <QString>
#include <QStringList>

#include "app/Util.h"
#include "player/HandsFree.h"

namespace vlx::presets {

inline constexpr const char* kKeyPath = "Software\\Veloxa\\VLXArp\\Presets";
inline constexpr const char* kProgramName = "Program";

struct Stored {
    std::string name;
    std::uint8_t program = 0;  // 0 to 127: Program Change's number, shown from 1
    Preset preset;
};

// Why a name cannot be a preset's, empty when it can.
QString NameProblem(const QString& name);
// Every preset the file holds, by program number; `refused` says which it
// cannot use (no program number, or one another preset has).
std::vector<Stored> Load(QStringList& refused);
// Writes the preset's key now (its program number and every control it
// sets); the values that did not reach the file.
std::vector<Util::Unsaved> Save(const Stored& preset);
std::int32_t Remove(const std::string& name);

// Where the LV2 bundle goes.
QString BundlePath();
// Writes the bundle for these presets, only where it would change; empty,
// or why it could not be written. No presets and no bundle: nothing.
QString WriteBundle(const std::vector<Stored>& presets);

}  // namespace vlx::presets
