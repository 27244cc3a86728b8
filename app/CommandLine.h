// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The program's command line: the options it takes, its --help and
// --version texts, and whether the environment offers a display at all.
// All of it works before the application object exists, so that --help,
// --version and a mistyped option need neither a display nor MIDI.
#include <array>
#include <cstdint>
#include <optional>

#include <QString>
#include <QStringList>

#include "player/Controls.h"

namespace vlx {

// What the options ask of a run. Every control of the control table with an
// option is one (--keep-beat, --tempo=BPM, --resolution=NAME); the others
// are rows of the option table in CommandLine.cpp.
struct CommandLineOptions {
    // --connect-in, --connect-out: ports (exact names or regular
    // expressions) to connect whenever they exist.
    QStringList connectIn;
    QStringList connectOut;
    // The controls the line sets, for the run it starts only.
    std::array<std::optional<std::int32_t>, kControlCount> controls{};
    void set(Control c, std::int32_t value) { controls[static_cast<std::size_t>(c)] = value; }
    std::optional<std::int32_t> of(Control c) const { return controls[static_cast<std::size_t>(c)]; }
};

struct CommandLine {
    // False: the run ends before it starts, printing `text` (to standard
    // output when exitStatus is 0, otherwise to standard error).
    bool run = true;
    int exitStatus = 0;
    QString text;
    CommandLineOptions options;
    // Qt's own options, passed on to Qt but needed before it starts.
    QString qtPlatform;
    QString qtDisplay;
};

// `arguments` as in argv, the program's name first.
CommandLine ParseCommandLine(const QStringList& arguments);
CommandLine ParseCommandLine(int argc, char** argv);

// The --help text: name line, usage, description, options, environment and
// files, laid out so that help2man can make a manual page of it.
QString HelpText();
QString VersionText();

// Empty when the window system that Qt will use looks reachable; otherwise
// NoDisplayMessage().
QString DisplayAdvice(const CommandLine& command);
// One line that says there is no display and how to run the program.
QString NoDisplayMessage();

}  // namespace vlx
