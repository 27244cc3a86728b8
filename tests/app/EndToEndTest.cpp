// SPDX-License-Identifier: GPL-3.0-or-later
// The whole program on a private JACK server: switched on from the keyboard,
// a chord played into VLXArp:in, the arpeggio recorded from VLXArp:out and
// checked note by note; then ended while it plays in every way its
// surroundings can end it (signals, settings that cannot be saved, the X
// server gone, the window destroyed), counting the notes left sounding.
//
// VLX_TRIALS=<n> repeats each kind of ending n times (scripts/reliability)
// and prints a "[ trials ]" line of counts per kind.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "ChildProgram.h"
#include "XServer.h"
#include "support/JackServer.h"
#include "support/JackTester.h"

namespace vlx::test {
namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(EndToEnd, AChordPlayedIntoTheProgramComesOutAsItsArpeggio) {
    JackServer server(48000, 256);
    server.makeDefault();
    const fs::path config = fs::temp_directory_path() / ("vlxarp-e2e-" + std::to_string(getpid()));
    fs::remove_all(config);
    fs::create_directories(config / "Veloxa");
    // 240 bpm in 16ths: a step every 62 ms, sounding 39 ms; the program
    // diverts the host's input, so only the arpeggio comes out.
    std::ofstream(config / "Veloxa" / "VLXArp.reg") << "[HKEY_CURRENT_USER\\Software\\Veloxa\\VLXArp]\n"
                                                       "\"Tempo\"=dword:000000f0\n"
                                                       "\"Resolution\"=\"16th\"\n"
                                                       "\"Cycle\"=\"Up\"\n"
                                                       "\"Divert\"=dword:00000001\n";

    ChildProgram program(VLX_ARMED_PROGRAM, {"QT_QPA_PLATFORM=offscreen", "XDG_CONFIG_HOME=" + config.string()});
    ASSERT_FALSE(program.waitFor("armed", 20'000).empty()) << "the window did not come up armed";

    JackTester tester(server.name());
    tester.connectPlayTo("VLXArp:in");
    tester.connectRecordFrom("VLXArp:out");
    tester.waitCycles(2);
    const jack_nframes_t start = tester.frameNow() + tester.bufferSize();
    for (std::uint8_t key : {64, 60, 67}) tester.play({0x90, key, 100}, start);
    const jack_nframes_t rate = tester.sampleRate();
    // Held for about a second, then the program is told to end while it
    // plays: its last note-off must still come out.
    tester.waitCycles(static_cast<int>(rate / tester.bufferSize()));
    const jack_nframes_t release = tester.frameNow();
    EXPECT_EQ(program.terminate(10'000), 0);
    tester.waitCycles(4);
    // On failure, the recording in ms from the chord.
    struct Dump {
        JackTester& tester;
        jack_nframes_t start, rate;
        ~Dump() {
            if (!::testing::Test::HasFailure()) return;
            for (const auto& m : tester.recorded())
                fprintf(stderr, "%8.2f %02x %d\n", (double(m.frame) - double(start)) * 1000.0 / rate, m.bytes[0],
                        m.bytes[1]);
        }
    } dump{tester, start, rate};

    // Note by note: ons in the order 60 64 67 ..., each released before the
    // next starts, a step (62 ms) apart, sounding 39 ms. A late step is
    // still sent, late, so order and counts hold on a busy machine; the
    // timing is judged by medians, which a few late notes cannot move.
    const double msPerFrame = 1000.0 / rate;
    const int chord[] = {60, 64, 67};
    std::vector<RecordedMidi> ons;
    std::vector<double> spacing, sounded;
    int sounding = -1;  // the key of the note sounding, if any
    for (const auto& m : tester.recorded()) {
        ASSERT_EQ(m.bytes.size(), 3u);
        ASSERT_TRUE(m.bytes[0] == 0x90 || m.bytes[0] == 0x80) << int(m.bytes[0]);
        if (m.bytes[0] == 0x90) {
            EXPECT_EQ(sounding, -1) << "a note-on while another note sounds";
            EXPECT_EQ(m.bytes[1], chord[ons.size() % 3]) << "note-on " << ons.size();
            EXPECT_EQ(m.bytes[2], 100);
            if (!ons.empty()) spacing.push_back((m.frame - ons.back().frame) * msPerFrame);
            ons.push_back(m);
            sounding = m.bytes[1];
        } else {
            ASSERT_EQ(m.bytes[1], sounding) << "a note-off for a note that does not sound";
            if (m.frame < release) sounded.push_back((m.frame - ons.back().frame) * msPerFrame);
            sounding = -1;
        }
    }
    EXPECT_EQ(sounding, -1) << "a note was left sounding";
    // About 17 steps fall due in the second the chord is held.
    EXPECT_GE(ons.size(), 15u);
    EXPECT_LE(ons.size(), 22u);
    ASSERT_FALSE(ons.empty());
    // The pattern starts 5 ms after the start of the chord's millisecond,
    // in the cycle the chord arrived in.
    EXPECT_GT(ons.front().frame, start + 4 * rate / 1000) << "the pattern starts 5 ms after the chord";
    EXPECT_LE(ons.front().frame, start + 5 * rate / 1000) << "the pattern starts 5 ms after the chord";
    auto median = [](std::vector<double> v) {
        if (v.empty()) return 0.0;
        std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
        return v[v.size() / 2];
    };
    EXPECT_NEAR(median(spacing), 62.0, 2.0);
    EXPECT_NEAR(median(sounded), 39.0, 2.0);

    const std::string saved = readFile(config / "Veloxa" / "VLXArp.reg");
    EXPECT_NE(saved.find("\"Tempo\"=dword:000000f0"), std::string::npos) << saved;
    EXPECT_NE(saved.find("\"Resolution\"=\"16th\""), std::string::npos) << saved;
    EXPECT_NE(saved.find("\"Cycle\"=\"Up\""), std::string::npos) << saved;
    EXPECT_NE(saved.find("\"Divert\"=dword:00000001"), std::string::npos) << saved;
    EXPECT_NE(saved.find("\"Octaves\"=\"1\""), std::string::npos) << saved;
    fs::remove_all(config);
}

// CPU time the process has used, in seconds (all threads).
double cpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    unsigned long long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
        if (i == 14 || i == 15) ticks += std::stoull(field);  // utime, stime
    return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The server killed under the program while it plays: the window says so
// and switches off, and the program idles. The server started again under
// the same name: the program is back on it by itself, its ports connected as
// before, and plays when switched on.
TEST(EndToEnd, AfterTheServerIsLostTheProgramWaitsIdleAndComesBackWithItsConnections) {
    JackServer server(48000, 256);
    server.makeDefault();
    const fs::path config = fs::temp_directory_path() / ("vlxarp-e2e-back-" + std::to_string(getpid()));
    struct Gone {
        fs::path path;
        ~Gone() { fs::remove_all(path); }
    } gone{config};
    fs::create_directories(config / "Veloxa");
    std::ofstream(config / "Veloxa" / "VLXArp.reg") << "[HKEY_CURRENT_USER\\Software\\Veloxa\\VLXArp]\n"
                                                       "\"Tempo\"=dword:000000f0\n\"Resolution\"=\"16th\"\n"
                                                       "\"Cycle\"=\"Up\"\n\"Divert\"=dword:00000001\n";
    ChildProgram program(VLX_ARMED_PROGRAM, {"QT_QPA_PLATFORM=offscreen", "XDG_CONFIG_HOME=" + config.string()});
    ASSERT_FALSE(program.waitFor("armed", 20'000).empty()) << "the window did not come up armed";
    auto status = [&] {
        program.send("status");
        return program.waitFor("status ", 5'000);
    };
    // Plays a chord for half a second; the note-ons that came out.
    auto playChord = [](JackTester& tester) {
        tester.clearRecorded();
        for (std::uint8_t key : {60, 64, 67}) tester.play({0x90, key, 100});
        tester.waitCycles(static_cast<int>(tester.sampleRate() / 2 / tester.bufferSize()));
        for (std::uint8_t key : {60, 64, 67}) tester.play({0x80, key, 0});
        tester.waitCycles(20);
        return std::count_if(tester.recorded().begin(), tester.recorded().end(),
                             [](const RecordedMidi& m) { return m.bytes[0] == 0x90; });
    };
    const std::string in = "VLXArp:in", out = "VLXArp:out";
    std::vector<std::string> connectedIn, connectedOut;
    {
        JackTester tester(server.name());
        tester.connectPlayTo(in);
        tester.connectRecordFrom(out);
        tester.waitCycles(4);
        EXPECT_GT(playChord(tester), 3);
        for (std::uint8_t key : {60, 64, 67}) tester.play({0x90, key, 100});  // held as the server goes
        tester.waitCycles(20);
        connectedIn = tester.connectionsOf(in);
        connectedOut = tester.connectionsOf(out);
        server.crash();
        tester.closeClients();  // before this process opens a client again
    }
    std::string said;
    for (int i = 0; i < 50 && said.find("connection lost") == std::string::npos; ++i) {
        said = status();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(said, "status off MIDI connection lost");
    program.send("notice");
    said = program.waitFor("notice", 5'000);
    EXPECT_EQ(said.rfind("notice The MIDI connection was lost: The JACK server went away", 0), 0u) << said;
    const double cpuBefore = cpuSeconds(program.pid());
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const double cpu = cpuSeconds(program.pid()) - cpuBefore;
    std::printf("[ measure  ] %s lost: the program used %.2f s of CPU in 3 s\n", JackServer::kindName(), cpu);
    EXPECT_LT(cpu, 0.3) << "the program does not idle while the server is away";

    server.restart();
    const auto restarted = std::chrono::steady_clock::now();
    JackTester tester(server.name());
    for (int i = 0; i < 100 && said.find("Veloxa:1") == std::string::npos; ++i) {
        said = status();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(said.rfind("status off Veloxa:1 Ver: ", 0), 0u) << said;
    std::printf("[ measure  ] %s back: the program was on it again after %lld ms\n", JackServer::kindName(),
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::steady_clock::now() - restarted)
                                           .count()));
    for (int i = 0; i < 50 && tester.connectionsOf(out).size() < connectedOut.size(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(tester.connectionsOf(in), connectedIn);
    EXPECT_EQ(tester.connectionsOf(out), connectedOut);
    program.send("notice");
    EXPECT_EQ(program.waitFor("notice", 5'000), "notice ") << "the notice went by itself once the ports were back";

    program.send("toggle");
    ASSERT_FALSE(program.waitFor("on", 5'000).empty());
    EXPECT_GT(playChord(tester), 3) << "it plays again";
    EXPECT_EQ(program.terminate(10'000), 0);
}

bool setImmutable(const fs::path& file, bool on) {
    const int fd = ::open(file.c_str(), O_RDONLY);
    if (fd < 0) return false;
    int flags = 0;
    bool done = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
    done = done && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    ::close(fd);
    return done;
}

const char* const kValues[] = {"Tempo", "Octaves", "Resolution", "Sustain", "Cycle", "Divert", "CloseOnExit",
                               "Retrigger"};

int trials() {
    const char* n = std::getenv("VLX_TRIALS");
    return n ? std::max(1, std::atoi(n)) : 1;
}

// The program playing a chord on a private JACK server, ended by `end`.
class Endings : public ::testing::Test {
protected:
    struct Outcome {
        int status = -1;
        int stuck = 0;     // notes left sounding (not judged when the recorder missed a cycle)
        int ons = 0;
        int lost = 0;      // values neither in the file nor named on stderr
        std::string saved;
        std::string errors;
    };
    using End = std::function<void(ChildProgram& program, unsigned long window)>;

    void SetUp() override { server.makeDefault(); }

    fs::path settingsFile() const { return config / "Veloxa" / "VLXArp.reg"; }
    // 240 bpm in 16ths, up, diverted; four of the eight values stored.
    void writeSettings() const {
        fs::create_directories(settingsFile().parent_path());
        std::ofstream(settingsFile()) << "[HKEY_CURRENT_USER\\Software\\Veloxa\\VLXArp]\n\"Tempo\"=dword:000000f0\n"
                                         "\"Resolution\"=\"16th\"\n\"Cycle\"=\"Up\"\n\"Divert\"=dword:00000001\n";
    }

    Outcome run(const std::vector<std::string>& env, const End& end) {
        Outcome out;
        std::uint64_t missedBefore = 0;
        const fs::path errors = fs::temp_directory_path() / ("vlxarp-e2e-err-" + std::to_string(getpid()));
        std::vector<std::string> all = env;
        all.push_back("XDG_CONFIG_HOME=" + config.string());
        {
            ChildProgram program(VLX_ARMED_PROGRAM, all, errors.string());
            if (program.waitFor("armed", 20'000).empty()) {
                ADD_FAILURE() << "the window did not come up armed:\n" << readFile(errors);
                return out;
            }
            const unsigned long window = std::stoul(program.waitFor("window", 5'000).substr(7));
            tester.clearRecorded();
            missedBefore = tester.recorderMissedCycles();
            tester.connectPlayTo("VLXArp:in");
            tester.connectRecordFrom("VLXArp:out");
            tester.waitCycles(2);
            for (std::uint8_t key : {60, 64, 67}) tester.play({0x90, key, 100});
            std::uniform_int_distribution<int> cycles(20, 100);  // 0.1 to 0.5 s of playing
            tester.waitCycles(cycles(rng));
            end(program, window);
            out.status = program.waitExit(10'000);
        }
        tester.waitCycles(8);
        // Keys held and passed through (a program that does not divert)
        // sound until the player lets go; only the program's own notes count.
        std::vector<jack_nframes_t> playedAt;
        for (const auto& m : tester.played()) playedAt.push_back(m.frame);
        std::map<int, int> sounding;
        for (const auto& m : tester.recorded()) {
            if (m.bytes.size() != 3) continue;
            if (std::find(playedAt.begin(), playedAt.end(), m.frame) != playedAt.end()) continue;
            if (m.bytes[0] == 0x90 && m.bytes[2] > 0) ++sounding[m.bytes[1]], ++out.ons;
            if (m.bytes[0] == 0x80 || (m.bytes[0] == 0x90 && m.bytes[2] == 0)) --sounding[m.bytes[1]];
        }
        // A cycle the recorder itself missed may have held a note-off: the
        // rig's loss, not the program's, so the trial says so instead.
        if (const auto missed = tester.recorderMissedCycles() - missedBefore; missed > 0)
            std::printf("[ trials ] the recorder missed %llu cycles: notes left sounding not judged\n",
                        static_cast<unsigned long long>(missed));
        else
            for (const auto& [key, count] : sounding) out.stuck += std::max(count, 0);
        out.saved = fs::is_regular_file(settingsFile()) ? readFile(settingsFile()) : std::string();
        out.errors = readFile(errors);
        fs::remove(errors);
        for (const char* name : kValues) {
            const std::string quoted = std::string("\"") + name + "\"=";
            if (out.saved.find(quoted) == std::string::npos && out.errors.find(quoted) == std::string::npos) ++out.lost;
        }
        return out;
    }

    // Counts per kind of ending, for scripts/reliability.
    struct Tally {
        explicit Tally(std::string k) : kind(std::move(k)) {}
        std::string kind;
        int trials = 0, stuck = 0, lost = 0;
        std::map<int, int> statuses;
        void add(const Outcome& o) {
            ++trials;
            ++statuses[o.status];
            stuck += o.stuck;
            lost += o.lost;
        }
        ~Tally() {
            std::string codes;
            for (const auto& [status, count] : statuses) codes += " " + std::to_string(status) + "x" + std::to_string(count);
            std::printf("[ trials ] %s: %d trials, exit codes%s, stuck notes %d, values lost %d\n", kind.c_str(), trials,
                        codes.c_str(), stuck, lost);
        }
    };

    JackServer server{48000, 256};
    JackTester tester{server.name()};
    fs::path config = fs::temp_directory_path() / ("vlxarp-e2e-" + std::to_string(getpid()));
    std::mt19937 rng{std::random_device{}()};
};

TEST_F(Endings, SignalsAtRandomMomentsEndCleanlyAndSaveEverything) {
    Tally tally("signal while playing");
    for (int i = 0; i < trials(); ++i) {
        fs::remove_all(config);
        writeSettings();
        const int signal = std::array{SIGHUP, SIGINT, SIGTERM}[static_cast<std::size_t>(i % 3)];
        const Outcome o = run({"QT_QPA_PLATFORM=offscreen"}, [&](ChildProgram& p, unsigned long) { p.signal(signal); });
        tally.add(o);
        EXPECT_EQ(o.status, 0) << o.errors;
        EXPECT_EQ(o.stuck, 0);
        EXPECT_EQ(o.lost, 0);
        EXPECT_NE(o.saved.find("\"Octaves\"=\"1\""), std::string::npos) << o.saved;
    }
    fs::remove_all(config);
}

// Nobody answers a message box after a signal: what cannot be saved is one
// line a value on stderr, and the status says the close lost something.
TEST_F(Endings, SettingsThatCannotBeSavedAreReportedOnStderrAndTheProgramFails) {
    const fs::path folder = config / "Veloxa";
    struct Setup {
        const char* what;
        std::function<bool()> make;  // false: this machine cannot make it
        std::function<void()> undo;
    } setups[] = {
        {"a folder where the file should be",
         [&] {
             fs::remove(settingsFile());
             return fs::create_directories(settingsFile());
         },
         [] {}},
        {"a dangling link",
         [&] {
             fs::remove(settingsFile());
             fs::create_symlink(config / "gone" / "VLXArp.reg", settingsFile());
             return true;
         },
         [] {}},
        {"an immutable file", [&] { return setImmutable(settingsFile(), true); },
         [&] { setImmutable(settingsFile(), false); }},
        {"a full file system",
         [&] {
             if (mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=16k") != 0) return false;
             writeSettings();
             std::ofstream filler(folder / "filler");
             const std::string block(1024, 'x');
             for (int i = 0; i < 64 && filler; ++i) filler << block << std::flush;
             return true;
         },
         [&] { umount2(folder.c_str(), MNT_DETACH); }},
    };
    Tally tally("settings unwritable");
    for (const Setup& setup : setups) {
        SCOPED_TRACE(setup.what);
        for (int i = 0; i < trials(); ++i) {
            fs::remove_all(config);
            writeSettings();
            if (!setup.make()) {
                setup.undo();
                std::printf("[ trials ] settings unwritable: %s cannot be made here\n", setup.what);
                break;
            }
            const Outcome o = run({"QT_QPA_PLATFORM=offscreen"}, [](ChildProgram& p, unsigned long) { p.terminate(0); });
            setup.undo();
            tally.add(o);
            EXPECT_EQ(o.status, 1) << o.errors;
            EXPECT_EQ(o.stuck, 0);
            EXPECT_EQ(o.lost, 0) << "saved:\n" << o.saved << "\nsaid:\n" << o.errors;
            EXPECT_NE(o.errors.find(" was not saved to " + settingsFile().string() + ": "), std::string::npos)
                << o.errors;
        }
    }
    fs::remove_all(config);
}

// The display goes away under the playing program (Qt then ends the process
// at once): arpeggiation off, the note-offs out, the settings saved.
TEST_F(Endings, LosingTheXServerSilencesSavesAndFails) {
    Tally tally("X server killed");
    for (int i = 0; i < trials(); ++i) {
        fs::remove_all(config);
        writeSettings();
        XServer x;
        const Outcome o = run({"QT_QPA_PLATFORM=xcb", "DISPLAY=" + x.display()},
                              [&](ChildProgram&, unsigned long) { x.kill(); });
        tally.add(o);
        EXPECT_NE(o.status, 0);
        EXPECT_NE(o.status, -1) << "it went on without its display";
        EXPECT_GT(o.ons, 0);
        EXPECT_EQ(o.stuck, 0) << o.errors;
        EXPECT_EQ(o.lost, 0);
        EXPECT_NE(o.saved.find("\"Octaves\"=\"1\""), std::string::npos) << o.saved << o.errors;
    }
    fs::remove_all(config);
}

// `xdotool windowclose`: the window destroyed by another X client.
TEST_F(Endings, ADestroyedWindowSilencesSavesAndEnds) {
    Tally tally("window destroyed");
    XServer x;
    for (int i = 0; i < trials(); ++i) {
        fs::remove_all(config);
        writeSettings();
        const Outcome o = run({"QT_QPA_PLATFORM=xcb", "DISPLAY=" + x.display()}, [&](ChildProgram&, unsigned long id) {
            xcb_connection_t* c = xcb_connect(x.display().c_str(), nullptr);
            ASSERT_EQ(xcb_connection_has_error(c), 0);
            // Checked, so that the server has done it before this client
            // leaves: a request still unread when a client disconnects can
            // be dropped with it (seen under load).
            const xcb_void_cookie_t done = xcb_destroy_window_checked(c, static_cast<xcb_window_t>(id));
            EXPECT_EQ(xcb_request_check(c, done), nullptr) << "the window could not be destroyed";
            xcb_disconnect(c);
        });
        tally.add(o);
        EXPECT_EQ(o.status, 1) << o.errors;
        EXPECT_GT(o.ons, 0);
        EXPECT_EQ(o.stuck, 0) << o.errors;
        EXPECT_EQ(o.lost, 0);
        EXPECT_NE(o.saved.find("\"Octaves\"=\"1\""), std::string::npos) << o.saved << o.errors;
    }
    fs::remove_all(config);
}

// The window manager's close while a message waits for OK (as a refused
// tempo's does): the message ends as if OK were clicked and the close goes
// on as any close: the first lets Arpeggiate up, the second ends the
// program, its notes ended and its settings saved.
TEST_F(Endings, AWindowManagersCloseEndsAnOpenMessageAndClosesAsEver) {
    Tally tally("closed by the window manager while a message is open");
    XServer x;
    auto askToClose = [&](unsigned long id) {
        xcb_connection_t* c = xcb_connect(x.display().c_str(), nullptr);
        ASSERT_EQ(xcb_connection_has_error(c), 0);
        auto atom = [c](const char* name) {
            xcb_intern_atom_reply_t* reply =
                xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr);
            const xcb_atom_t a = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
            std::free(reply);
            return a;
        };
        xcb_client_message_event_t ask{};
        ask.response_type = XCB_CLIENT_MESSAGE;
        ask.format = 32;
        ask.window = static_cast<xcb_window_t>(id);
        ask.type = atom("WM_PROTOCOLS");
        ask.data.data32[0] = atom("WM_DELETE_WINDOW");
        ask.data.data32[1] = XCB_CURRENT_TIME;
        const xcb_void_cookie_t sent = xcb_send_event_checked(c, 0, static_cast<xcb_window_t>(id), XCB_EVENT_MASK_NO_EVENT,
                                                              reinterpret_cast<const char*>(&ask));
        EXPECT_EQ(xcb_request_check(c, sent), nullptr);
        xcb_disconnect(c);
    };
    for (int i = 0; i < trials(); ++i) {
        fs::remove_all(config);
        writeSettings();
        std::string status;
        const Outcome o = run({"QT_QPA_PLATFORM=xcb", "DISPLAY=" + x.display()}, [&](ChildProgram& p, unsigned long id) {
            p.send("box");
            ASSERT_FALSE(p.waitFor("box", 5'000).empty());
            askToClose(id);
            for (int tries = 0; tries < 50 && status.empty(); ++tries) {
                p.send("status");
                const std::string line = p.waitFor("status ", 5'000);
                if (line.rfind("status off", 0) == 0) status = line;
                if (status.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            askToClose(id);
        });
        tally.add(o);
        EXPECT_FALSE(status.empty()) << "the first close did not let Arpeggiate up";
        EXPECT_EQ(o.status, 0) << o.errors;
        EXPECT_GT(o.ons, 0);
        EXPECT_EQ(o.stuck, 0);
        EXPECT_EQ(o.lost, 0);
    }
    fs::remove_all(config);
}

// A close that cannot finish (here the window's thread hangs right after the
// switch-off): a second signal ends the program once the note-offs are out.
TEST_F(Endings, ASecondSignalEndsACloseThatHangsOnceTheNotesAreOff) {
    Tally tally("second signal, close hung");
    for (int i = 0; i < trials(); ++i) {
        fs::remove_all(config);
        writeSettings();
        std::chrono::steady_clock::duration took{};
        const Outcome o = run({"QT_QPA_PLATFORM=offscreen"}, [&](ChildProgram& p, unsigned long) {
            p.send("stall");
            ASSERT_FALSE(p.waitFor("stalling", 5'000).empty());
            p.signal(SIGTERM);
            tester.waitCycles(10);
            const auto second = std::chrono::steady_clock::now();
            p.signal(SIGINT);
            p.waitExit(10'000);
            took = std::chrono::steady_clock::now() - second;
        });
        tally.add(o);
        EXPECT_EQ(o.status, 1) << o.errors;
        EXPECT_LT(took, std::chrono::seconds(5)) << "the hang is 30 s";
        EXPECT_EQ(o.stuck, 0);
        EXPECT_NE(o.errors.find("second signal"), std::string::npos) << o.errors;
    }
    fs::remove_all(config);
}

}  // namespace
}  // namespace vlx::test
