// SPDX-License-Identifier: GPL-3.0-or-later
// The real program's connections on a private JACK server: remembered across
// a close and a restart, made when their ports appear, left alone once the
// user ended them, and bridged at the close so that the keyboard keeps
// playing the synth (unless "Close Veloxa after Exit" is checked).
#include <jack/jack.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "ChildProgram.h"
#include "support/JackServer.h"
#include "support/JackTester.h"

namespace vlx::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Names = std::vector<std::string>;

class ConnectionsEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        server.makeDefault();
        fs::create_directories(config / "Veloxa");
        auto lock = JackServer::lockClientOpens();
        const auto options = static_cast<jack_options_t>(JackNoStartServer | JackServerName);
        patchbay = jack_client_open("patchbay", options, nullptr, server.name().c_str());
        ASSERT_NE(patchbay, nullptr);
    }
    void TearDown() override {
        jack_client_close(patchbay);
        fs::remove_all(config);
    }

    std::unique_ptr<ChildProgram> startProgram(const std::vector<std::string>& args = {}) {
        auto program = std::make_unique<ChildProgram>(
            VLX_ARMED_PROGRAM, std::vector<std::string>{"QT_QPA_PLATFORM=offscreen", "XDG_CONFIG_HOME=" + config.string()},
            std::string(), args);
        EXPECT_FALSE(program->waitFor("armed", 20'000).empty()) << "the window did not come up armed";
        return program;
    }
    std::string settings() const {
        std::stringstream text;
        text << std::ifstream(config / "Veloxa" / "VLXArp.reg").rdbuf();
        return text.str();
    }
    // The port's peers, in name order, once they are `expected` or five
    // seconds have passed.
    Names peers(const std::string& port, const Names& expected = {}) const {
        Names names;
        for (int i = 0; i < 500; ++i, std::this_thread::sleep_for(10ms)) {
            jack_port_t* p = jack_port_by_name(patchbay, port.c_str());
            const char** all = p ? jack_port_get_all_connections(patchbay, p) : nullptr;
            names.clear();
            for (const char** n = all; n && *n; ++n) names.emplace_back(*n);
            jack_free(all);
            std::sort(names.begin(), names.end());
            if (names == expected) break;
        }
        return names;
    }
    // What the program's own host lists ("<in peers>|<out peers>", each in
    // name order, joined by commas), once it is `expected` or five seconds
    // have passed: its view of the server may lag behind the test's.
    static std::string programPeers(ChildProgram& program, const std::string& expected) {
        std::string seen;
        for (int i = 0; i < 100; ++i, std::this_thread::sleep_for(50ms)) {
            program.send("peers");
            const std::string line = program.waitFor("peers ", 5'000);
            seen = line.empty() ? line : line.substr(6);
            if (seen == expected) break;
        }
        return seen;
    }

    JackServer server{48000, 256};
    jack_client_t* patchbay = nullptr;  // the test's own, as a patchbay's
    const fs::path config = fs::temp_directory_path() / ("vlxarp-connections-" + std::to_string(getpid()));
};

TEST_F(ConnectionsEndToEnd, ConnectionsAreRememberedMadeAsPortsAppearAndUserDisconnectionsStand) {
    auto early = std::make_unique<JackTester>(server.name(), "early");
    auto late = std::make_unique<JackTester>(server.name(), "late");
    auto program = startProgram();
    early->connectPlayTo("VLXArp:in");
    late->connectRecordFrom("VLXArp:out");
    // PipeWire makes a link a moment after the call; the program saves what
    // it sees connected when it closes.
    ASSERT_EQ(programPeers(*program, "early_play:out|late_rec:in"), "early_play:out|late_rec:in");
    ASSERT_EQ(program->terminate(10'000), 0);
    const std::string saved = settings();
    EXPECT_NE(saved.find("\"ConnectedIn1\"=\"early_play:out\"\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("\"ConnectedOut1\"=\"late_rec:in\"\n"), std::string::npos) << saved;

    // The next start: early is there, late comes later, and the command line
    // asks for late's player too.
    late.reset();
    program = startProgram({"--connect-in", "late_pl.*"});
    EXPECT_EQ(peers("VLXArp:in", {"early_play:out"}), Names{"early_play:out"});
    late = std::make_unique<JackTester>(server.name(), "late");
    EXPECT_EQ(peers("VLXArp:in", {"early_play:out", "late_play:out"}), (Names{"early_play:out", "late_play:out"}));
    EXPECT_EQ(peers("VLXArp:out", {"late_rec:in"}), Names{"late_rec:in"});

    // The user ends late's connections, which the program has seen made;
    // when late comes back they stay ended.
    ASSERT_EQ(programPeers(*program, "early_play:out,late_play:out|late_rec:in"),
              "early_play:out,late_play:out|late_rec:in");
    jack_disconnect(patchbay, "VLXArp:out", "late_rec:in");
    jack_disconnect(patchbay, "late_play:out", "VLXArp:in");
    // Counted as the user's once the ports have outlived their connections by a second.
    std::this_thread::sleep_for(1500ms);
    late.reset();
    late = std::make_unique<JackTester>(server.name(), "late");
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(peers("VLXArp:in", {"early_play:out"}), Names{"early_play:out"});
    EXPECT_EQ(peers("VLXArp:out"), Names{});
    // A client that merely closes and comes back (a synth restarted) is
    // connected again.
    early.reset();
    early = std::make_unique<JackTester>(server.name(), "early");
    EXPECT_EQ(peers("VLXArp:in", {"early_play:out"}), Names{"early_play:out"});

    ASSERT_EQ(program->terminate(10'000), 0);
    const std::string again = settings();
    EXPECT_NE(again.find("\"ConnectedIn1\"=\"early_play:out\"\n"), std::string::npos) << again;
    EXPECT_EQ(again.find("ConnectedIn2"), std::string::npos) << again;
    EXPECT_EQ(again.find("ConnectedOut1"), std::string::npos) << again;
}

// Two instances share the settings file: each close writes what that
// instance changed into the file as the other left it, so the second to
// close keeps the first's connections beside its own; the command line's
// switches are for the run alone.
TEST_F(ConnectionsEndToEnd, TwoInstancesClosingOneAfterTheOtherKeepEachOthersSettings) {
    if (JackServer::pipewire())
        GTEST_SKIP() << "on PipeWire the second instance's own ports list no connections "
                        "(jack_port_get_all_connections), so it has none to remember";
    JackTester one(server.name(), "one"), two(server.name(), "two");
    auto first = startProgram({"--connect-in", "one_play:out"});
    auto second = startProgram({"--connect-in", "two_play:out", "--follow-clock"});
    ASSERT_EQ(programPeers(*first, "one_play:out|"), "one_play:out|");
    ASSERT_EQ(programPeers(*second, "two_play:out|"), "two_play:out|");
    ASSERT_EQ(first->terminate(10'000), 0);
    ASSERT_EQ(second->terminate(10'000), 0);
    const std::string saved = settings();
    EXPECT_NE(saved.find("\"ConnectedIn1\"=\"one_play:out\"\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("\"ConnectedIn2\"=\"two_play:out\"\n"), std::string::npos) << saved;
    // A switch of the command line's is the run's, not the settings'.
    EXPECT_EQ(saved.find("FollowClock"), std::string::npos) << saved;
}

TEST_F(ConnectionsEndToEnd, AtTheCloseTheKeyboardIsLeftPlayingTheSynthUnlessTheBoxSaysOtherwise) {
    for (const int closeOnExit : {0, 1}) {
        SCOPED_TRACE("CloseOnExit " + std::to_string(closeOnExit));
        std::ofstream(config / "Veloxa" / "VLXArp.reg")
            << "[HKEY_CURRENT_USER\\Software\\Veloxa\\VLXArp]\n\"CloseOnExit\"=dword:0000000" << closeOnExit << "\n";
        auto program = startProgram();
        JackTester tester(server.name(), "rig" + std::to_string(closeOnExit));
        tester.connectPlayTo("VLXArp:in");
        tester.connectRecordFrom("VLXArp:out");
        const std::string both = tester.playPort() + "|" + tester.recordPort();
        ASSERT_EQ(programPeers(*program, both), both);
        ASSERT_EQ(program->terminate(10'000), 0);  // SIGTERM closes the window
        tester.clearRecorded();
        tester.play({0x90, 60, 100});
        if (closeOnExit == 0) {
            ASSERT_TRUE(tester.waitRecorded(1, 2s)) << "the keyboard no longer reaches the synth";
            EXPECT_EQ(tester.recorded()[0].bytes, (std::vector<std::uint8_t>{0x90, 60, 100}));
        } else {
            tester.waitCycles(40);
            EXPECT_EQ(tester.played().size(), 1u);
            EXPECT_TRUE(tester.recorded().empty()) << "the connections outlived the program";
        }
    }
}

}  // namespace
}  // namespace vlx::test
