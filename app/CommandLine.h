// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The program's command line: the options it takes, its --help and
// --version texts, and whether the environment offers a display at all.
// All of it works before the application object exists, so that --help,
// --version and a mistyped option need neither a display nor MIDI.
#include <QString>
#include <QStringList>

namespace vlx {

// What the options ask of a run. A new option is a row of the option table
// in CommandLine.cpp (its help text lives there too) and a member here,
// filled from the parsed line in the same file.
struct CommandLineOptions {
    // --connect-in, --connect-out: ports (exact names or regular
    // expressions) to connect whenever they exist.
    QStringList connectIn;
    QStringList connectOut;
    bool followClock = false;  // --follow-clock
    bool sustainHold = false;  // --sustain-hold
    bool keepBeat = false;     // --keep-beat
    bool shuffleEveryPass = false;  // --shuffle-every-pass
    bool latch = false;        // --latch
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
