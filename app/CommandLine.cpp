// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/CommandLine.h"

#include <string_view>
#include <vector>

#include <QCommandLineParser>

namespace vlx {

namespace {

const char* const kProgram = "vlxarp";

struct OptionRow {
    QStringList names;  // one-letter names first
    QString valueName;  // empty for a switch
    QString help;
};

// The options that are no control, listed first.
const std::vector<OptionRow>& optionTable() {
    static const std::vector<OptionRow> rows = {
        {{"h", "help"}, {}, "show this help and exit"},
        {{"v", "version"}, {}, "show the version and exit"},
        {{"connect-in"}, "PORT",
         "connect PORT to VLXArp:in at the start and whenever it appears: an output port's exact name, or a "
         "regular expression in RE2's syntax that matches whole port names (a2j:.*capture.*); may be given more "
         "than once"},
        {{"connect-out"}, "PORT",
         "connect VLXArp:out to PORT at the start and whenever it appears: an input port's exact name, or a "
         "regular expression as above; may be given more than once"},
    };
    return rows;
}

QString choicesOf(const ControlInfo& info) {
    QStringList labels;
    for (const ControlChoice& choice : info.choices) labels << QString::fromLatin1(choice.label);
    return labels.join(QStringLiteral(", "));
}

// A control's option: a switch, or a value with its range or choices.
OptionRow rowOf(const ControlInfo& info) {
    const QString label = QString::fromStdString(PlainLabel(info));
    QString help = QString::fromLatin1(info.help);
    if (help.endsWith(u'.')) help.chop(1);
    help[0] = help[0].toLower();
    QString valueName;
    switch (info.kind) {
    case ControlKind::Switch:
        help += info.place == ControlPlace::Menu ? QStringLiteral(" (the menu's \"%1\")").arg(label)
                                                  : QStringLiteral(" (\"%1\" down)").arg(label);
        break;
    case ControlKind::List:
        valueName = QStringLiteral("NAME");
        help += QStringLiteral("; NAME is one of %1 (default %2)")
                    .arg(choicesOf(info), QString::fromStdString(ToText(info.id, info.byDefault)));
        break;
    case ControlKind::Steps:
        valueName = QStringLiteral("STEPS");
        help += QStringLiteral("; STEPS is up to %1 marks, x play, . rest, - tie (default %2)")
                    .arg(info.steps)
                    .arg(QString::fromStdString(ToText(info.id, info.byDefault)));
        break;
    case ControlKind::Value:
        valueName = !info.unit                        ? QStringLiteral("N")
                    : std::string_view(info.unit) == "pc" ? QStringLiteral("PERCENT")
                                                          : QString::fromLatin1(info.unit).toUpper();
        help += QStringLiteral("; %1 from %2 to %3 (default %4)")
                    .arg(valueName, QString::fromStdString(ToText(info.id, info.minimum)),
                         QString::fromStdString(ToText(info.id, info.maximum)),
                         QString::fromStdString(ToText(info.id, info.byDefault)));
        break;
    }
    return {{QString::fromLatin1(info.option)}, valueName, help};
}

// Every option as --help lists them: the table's controls after the others.
std::vector<OptionRow> allOptions() {
    std::vector<OptionRow> rows = optionTable();
    for (const ControlInfo& info : Controls())
        if (info.option) rows.push_back(rowOf(info));
    return rows;
}

// Qt's own options: QApplication takes them out of argv itself, so they are
// only recognised here, not listed.
const char* const kQtValueOptions[] = {"platform", "platformpluginpath", "platformtheme", "plugin", "display",
                                       "style", "stylesheet", "qwindowgeometry", "qwindowtitle", "qwindowicon",
                                       "session", "geometry", "title", "name", "visual"};
const char* const kQtSwitches[] = {"reverse", "widgetcount", "nograb", "dograb", "sync"};

const char* const kDescription =
    "Hold a chord on a keyboard connected to VLXArp:in; while Arpeggiate is down,\n"
    "VLXArp keeps the held notes in pitch order and plays them one at a time, as a\n"
    "repeating pattern, out of VLXArp:out to a synth. Tempo, step length, octave\n"
    "span, sustain and cycle are set in the window. Its menu (right click, the\n"
    "Menu key or Shift+F10) follows a MIDI clock, holds the pattern with the\n"
    "sustain pedal, keeps the beat while keys and settings change, draws a new\n"
    "random order every pass, and stops every note (also Escape, or controller\n"
    "120 or 123 at VLXArp:in). Latch, beside Arpeggiate, keeps a released chord\n"
    "playing until the next. What is set in the window is kept with the settings;\n"
    "the switches and values given on the command line apply to the run they\n"
    "start, and the settings keep what was chosen in the window.\n"
    "\n"
    "On the window's second page (More), presets keep the settings under a name\n"
    "and a program number, recalled there or by a Program Change on the channel\n"
    "chosen; MIDI learn binds a controller or a note to any control (Learn MIDI\n"
    "in a control's menu): a controller sweeps a list or value, a note or a pedal\n"
    "toggles a switch or holds it while down. What a binding or a recall takes is\n"
    "not passed on.\n"
    "\n"
    "VLXArp opens a JACK client when a JACK server answers (it never starts one),\n"
    "otherwise an ALSA sequencer client. Either is named \"VLXArp\", with the MIDI\n"
    "ports VLXArp:in and VLXArp:out; connect them with jack_connect, aconnect or a\n"
    "patchbay, or with the options below. It needs a display: an X or Wayland\n"
    "session, `xvfb-run -a vlxarp`, or QT_QPA_PLATFORM=offscreen.\n"
    "\n"
    "Connections are remembered: the ports connected when the window closes are\n"
    "connected again at the next start, as soon as they exist; a port that\n"
    "appears later (a keyboard plugged in, a synth started) is connected then;\n"
    "one you disconnect stays disconnected. Ports are named client:port (on ALSA,\n"
    "by the client's name and the port's name).\n"
    "When the window closes with \"Close Veloxa after Exit\" unchecked, every port\n"
    "that fed VLXArp:in is connected straight to every port VLXArp:out fed, so\n"
    "the keyboard goes on playing the synth; checked, those connections end with\n"
    "the program.\n";

const char* const kEnvironmentAndFiles =
    "Qt's own options (-style NAME, -platform NAME, -display DISPLAY, ...) are\n"
    "passed on to Qt.\n"
    "\n"
    "Environment:\n"
    "  JACK_DEFAULT_SERVER  the JACK server to join (otherwise \"default\")\n"
    "  QT_QPA_PLATFORM      the window system; offscreen runs without a display\n"
    "  XDG_CONFIG_HOME      where the settings file lives (otherwise ~/.config)\n"
    "\n"
    "Files:\n"
    "  $XDG_CONFIG_HOME/Veloxa/VLXArp.reg\n"
    "      the settings (tempo, lists, check boxes, the menu's switches, the\n"
    "      connected ports and the MIDI bindings), per user, written when the\n"
    "      window closes; and the presets, each written when it is saved\n"
    "  ~/.lv2/vlxarp-presets.lv2\n"
    "      the presets, for the LV2 plugin\n";

QString usageLine() { return QStringLiteral("Usage: %1 [OPTION]...").arg(QLatin1String(kProgram)); }

QString optionColumn(const OptionRow& row) {
    QStringList names;
    for (const QString& name : row.names) names << (name.size() == 1 ? "-" : "--") + name;
    QString column = names.join(QStringLiteral(", "));
    if (row.names.front().size() > 1) column.prepend(QStringLiteral("    "));  // aligns with "-x, --"
    if (!row.valueName.isEmpty()) column += u'=' + row.valueName;
    return column;
}

// `text` broken into lines of at most `width` characters after `indent`.
QString wrapped(const QString& text, int indent, int width) {
    QString out;
    int used = 0;
    for (const QString& word : text.split(u' ', Qt::SkipEmptyParts)) {
        if (used > 0 && used + 1 + word.size() > width) {
            out += u'\n' + QString(indent, u' ');
            used = 0;
        } else if (used > 0) {
            out += u' ';
            ++used;
        }
        out += word;
        used += static_cast<int>(word.size());
    }
    return out;
}

CommandLine ending(int status, const QString& text) {
    CommandLine command;
    command.run = false;
    command.exitStatus = status;
    command.text = text;
    return command;
}

CommandLine mistake(const QString& what) {
    return ending(2, QStringLiteral("%1: %2\nTry '%1 --help' for more information.\n")
                         .arg(QLatin1String(kProgram), what));
}

}  // namespace

QString HelpText() {
    int width = 0;
    const std::vector<OptionRow> rows = allOptions();
    for (const auto& row : rows) width = std::max(width, static_cast<int>(optionColumn(row).size()));
    QString options;
    for (const auto& row : rows) {
        options += QStringLiteral("  ") + optionColumn(row).leftJustified(width + 2) +
                   wrapped(row.help, width + 4, 76 - width) + u'\n';
    }
    return QStringLiteral("%1 - MIDI arpeggiator for the Linux desktop\n\n%2\n\n%3\nOptions:\n%4\n%5")
        .arg(QLatin1String(kProgram), usageLine(), QLatin1String(kDescription), options,
             QLatin1String(kEnvironmentAndFiles));
}

// In the GNU layout, which help2man turns into the manual page's copyright.
QString VersionText() {
    return QStringLiteral("%1 %2\n").arg(QLatin1String(kProgram), QStringLiteral(VLX_VERSION)) +
           QStringLiteral("Copyright (C) 2026 the VLXArp developers\n"
                          "License GPL-3.0-or-later: GNU GPL version 3 or later <https://gnu.org/licenses/gpl.html>.\n"
                          "This is free software: you are free to change and redistribute it.\n"
                          "There is NO WARRANTY, to the extent permitted by law.\n");
}

CommandLine ParseCommandLine(const QStringList& arguments) {
    QCommandLineParser parser;
    // Qt's options are words after a single dash (-style); so are ours (-help).
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    for (const auto& row : allOptions()) parser.addOption(QCommandLineOption(row.names, row.help, row.valueName));
    for (const char* name : kQtValueOptions) {
        QCommandLineOption option(QString::fromLatin1(name), QString(), QStringLiteral("value"));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
    for (const char* name : kQtSwitches) {
        QCommandLineOption option(QString::fromLatin1(name));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
    QStringList line = arguments;
    if (line.isEmpty()) line << QString::fromLatin1(kProgram);
    if (!parser.parse(line)) return mistake(parser.errorText());
    if (parser.isSet(QStringLiteral("help"))) return ending(0, HelpText());
    if (parser.isSet(QStringLiteral("version"))) return ending(0, VersionText());
    if (!parser.positionalArguments().isEmpty())
        return mistake(QStringLiteral("unexpected argument '%1'.").arg(parser.positionalArguments().front()));
    CommandLine command;
    command.options.connectIn = parser.values(QStringLiteral("connect-in"));
    command.options.connectOut = parser.values(QStringLiteral("connect-out"));
    for (const ControlInfo& info : Controls()) {
        const QString option = QString::fromLatin1(info.option ? info.option : "");
        if (option.isEmpty() || !parser.isSet(option)) continue;
        if (info.kind == ControlKind::Switch) {
            command.options.set(info.id, 1);
            continue;
        }
        const QString text = parser.value(option);
        const auto value = FromText(info.id, text.toStdString(), true);
        if (!value)
            return mistake(info.kind == ControlKind::List
                               ? QStringLiteral("--%1: '%2' is not one of %3.").arg(option, text, choicesOf(info))
                               : QStringLiteral("--%1: %2.").arg(option, QString::fromStdString(RangeMessage(info.id))));
        command.options.set(info.id, *value);
    }
    command.qtPlatform = parser.value(QStringLiteral("platform"));
    command.qtDisplay = parser.value(QStringLiteral("display"));
    return command;
}

CommandLine ParseCommandLine(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
    return ParseCommandLine(arguments);
}

QString DisplayAdvice(const CommandLine& command) {
    const bool x = !command.qtDisplay.isEmpty() || !qEnvironmentVariableIsEmpty("DISPLAY");
    const bool wayland = !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
    const QString platforms =
        command.qtPlatform.isEmpty() ? qEnvironmentVariable("QT_QPA_PLATFORM") : command.qtPlatform;
    // Qt tries each of a list such as "wayland;xcb"; a name may carry
    // arguments after a colon.
    bool reachable = platforms.trimmed().isEmpty() && (x || wayland);
    for (const QString& entry : platforms.split(u';', Qt::SkipEmptyParts)) {
        const QString name = entry.section(u':', 0, 0).trimmed();
        if (name == QLatin1String("xcb"))
            reachable = reachable || x;
        else if (name.startsWith(QLatin1String("wayland")))
            reachable = reachable || wayland;
        else  // offscreen, minimal, vnc, eglfs, linuxfb: no window system to reach
            reachable = reachable || !name.isEmpty();
    }
    return reachable ? QString() : NoDisplayMessage();
}

QString NoDisplayMessage() {
    return QStringLiteral("%1: no display to open the window on; run it in an X or Wayland session, under "
                          "`xvfb-run -a %1`, or with QT_QPA_PLATFORM=offscreen\n")
        .arg(QLatin1String(kProgram));
}

}  // namespace vlx
