// SPDX-License-Identifier: GPL-3.0-or-later
// The program's command line as a player meets it, with no display at all:
// --help and --version answer without one (and so without a window or MIDI),
// a mistake is said and fails, and a missing display is explained in one line
// instead of Qt's abort.
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

std::string contents(const std::string& path) {
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// Runs the program through the shell with no display in its environment
// but what `environment` adds.
Outcome run(const std::string& environment, const std::string& arguments) {
    const std::string out = ::testing::TempDir() + "vlxarp-cl.out";
    const std::string err = ::testing::TempDir() + "vlxarp-cl.err";
    const std::string command = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM " + environment + " " +
                                VLX_PROGRAM + " " + arguments + " >" + out + " 2>" + err + " </dev/null";
    const int raw = std::system(command.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, contents(out), contents(err)};
}

TEST(CommandLine, AnswersWithoutADisplayAndExplainsWhenOneIsNeeded) {
    struct Case {
        std::string environment;
        std::string arguments;
        int status;
        std::vector<std::string> out;  // each must appear
        std::vector<std::string> err;
    };
    const std::string advice = "run it in an X or Wayland session, under `xvfb-run -a vlxarp`, or with "
                               "QT_QPA_PLATFORM=offscreen\n";
    const Case cases[] = {
        {"", "--help", 0,
         {"vlxarp - ", "\nUsage: vlxarp [OPTION]...\n", "VLXArp:in", "VLXArp:out", "-h, --help", "-v, --version",
          "\nOptions:\n", "\nFiles:\n", "$XDG_CONFIG_HOME/Veloxa/VLXArp.reg", "--connect-in=PORT",
          "--connect-out=PORT", "--follow-clock", "--sustain-hold"},
         {}},
        {"", "-h", 0, {"\nUsage: vlxarp [OPTION]...\n"}, {}},
        {"", "--version", 0, {"vlxarp " VLX_VERSION "\n", "\nLicense GPL-3.0-or-later: GNU GPL version 3 or later", "NO WARRANTY"}, {}},
        {"", "--bogus", 2, {}, {"vlxarp: Unknown option 'bogus'.\nTry 'vlxarp --help' for more information.\n"}},
        {"", "stray", 2, {}, {"unexpected argument 'stray'"}},
        {"", "-platform", 2, {}, {"Missing value"}},
        {"", "--connect-in", 2, {}, {"Missing value"}},
        // Asked for ports are no reason to need a display any less.
        {"", "--connect-in a2j:.* --connect-out synth:in", 1, {}, {advice}},
        {"", "", 1, {}, {"vlxarp: no display to open the window on; " + advice}},
        {"QT_QPA_PLATFORM=xcb", "", 1, {}, {advice}},
        {"", "-platform xcb", 1, {}, {advice}},
        // A display that does not answer: Qt gives up, the program says why.
        {"DISPLAY=:987", "", 1, {}, {advice}},
    };
    for (const auto& c : cases) {
        const std::string what = c.environment + " vlxarp " + c.arguments;
        const Outcome outcome = run(c.environment, c.arguments);
        EXPECT_EQ(outcome.status, c.status) << what << "\n" << outcome.err;
        for (const auto& text : c.out) EXPECT_NE(outcome.out.find(text), std::string::npos) << what << ": " << text;
        for (const auto& text : c.err) EXPECT_NE(outcome.err.find(text), std::string::npos) << what << ": " << text;
        if (c.out.empty()) {
            EXPECT_EQ(outcome.out, "") << what;
        }
        if (c.err.empty()) {
            EXPECT_EQ(outcome.err, "") << what;
        }
    }
    // The first line alone is the name and version, as help2man and scripts read it.
    const std::string version = run("", "--version").out;
    EXPECT_EQ(version.substr(0, version.find('\n') + 1), "vlxarp " VLX_VERSION "\n");
    const std::string noDisplay = run("", "").err;
    EXPECT_EQ(noDisplay.find('\n'), noDisplay.size() - 1) << "one line: " << noDisplay;
}

}  // namespace
