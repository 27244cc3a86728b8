// The real program's connections on a private JACK server: remembered across
// a close and a restart, connected when their ports appear, left alone once
// the user ended them, and bridged at the close so that the keyboard keeps
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

// A JACK client of the test's own that looks at and changes connections as
// a patchbay would.
class Patchbay {
public:
    explicit Patchbay(const std::string& server) {
        auto lock = JackServer::lockClientOpens();
        jack_status_t status{};
        client_ = jack_client_open("patchbay", static_cast<jack_options_t>(JackNoStartServer | JackServerName),
                                   &status, server.c_str());
        if (!client_) throw std::runtime_error("patchbay: cannot open a client");
    }
    ~Patchbay() { jack_client_close(client_); }
    Patchbay(const Patchbay&) = delete;
    Patchbay& operator=(const Patchbay&) = delete;

    Names peers(const std::string& port) const {
        Names names;
        jack_port_t* p = jack_port_by_name(client_, port.c_str());
        const char** all = p ? jack_port_get_all_connections(client_, p) : nullptr;
        for (const char** n = all; n && *n; ++n) names.emplace_back(*n);
        if (all) jack_free(all);
        std::sort(names.begin(), names.end());
        return names;
    }
    // Waits up to five seconds for the port's peers to be these.
    ::testing::AssertionResult peersBecome(const std::string& port, const Names& expected) const {
        for (int i = 0; i < 500 && peers(port) != expected; ++i) std::this_thread::sleep_for(10ms);
        const Names now = peers(port);
        if (now == expected) return ::testing::AssertionSuccess();
        std::string said;
        for (const auto& n : now) said += " " + n;
        return ::testing::AssertionFailure() << port << " is connected to:" << said;
    }
    void disconnect(const std::string& from, const std::string& to) { jack_disconnect(client_, from.c_str(), to.c_str()); }

private:
    jack_client_t* client_ = nullptr;
};

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class ConnectionsEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        server.makeDefault();
        fs::remove_all(config);
        fs::create_directories(config / "Veloxa");
    }
    void TearDown() override { fs::remove_all(config); }

    std::unique_ptr<ChildProgram> startProgram(const std::vector<std::string>& args = {}) {
        auto program = std::make_unique<ChildProgram>(
            VLX_ARMED_PROGRAM, std::vector<std::string>{"QT_QPA_PLATFORM=offscreen", "XDG_CONFIG_HOME=" + config.string()},
            std::string(), args);
        if (program->waitFor("armed", 20'000).empty()) ADD_FAILURE() << "the window did not come up armed";
        return program;
    }
    std::string settings() const { return readFile(config / "Veloxa" / "VLXArp.reg"); }

    JackServer server{48000, 256};
    const fs::path config = fs::temp_directory_path() / ("vlxarp-connections-" + std::to_string(getpid()));
};

TEST_F(ConnectionsEndToEnd, ConnectionsAreRememberedReconnectedAsPortsAppearAndUserDisconnectionsStand) {
    Patchbay patchbay(server.name());
    JackTester early(server.name(), "early");
    auto late = std::make_unique<JackTester>(server.name(), "late");
    {
        auto program = startProgram();
        early.connectPlayTo("VLXArp:in");
        late->connectRecordFrom("VLXArp:out");
        ASSERT_EQ(program->terminate(10'000), 0);
    }
    const std::string saved = settings();
    EXPECT_NE(saved.find("\"ConnectedIn1\"=\"early_play:out\"\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("\"ConnectedOut1\"=\"late_rec:in\"\n"), std::string::npos) << saved;

    // The next start: early is there, late comes later, and the command line
    // asks for late's player too.
    late.reset();
    auto program = startProgram({"--connect-in", "late_pl.*"});
    EXPECT_TRUE(patchbay.peersBecome("VLXArp:in", {"early_play:out"}));
    late = std::make_unique<JackTester>(server.name(), "late");
    EXPECT_TRUE(patchbay.peersBecome("VLXArp:in", {"early_play:out", "late_play:out"}));
    EXPECT_TRUE(patchbay.peersBecome("VLXArp:out", {"late_rec:in"}));

    // The user ends late's connections; when late comes back, they stay ended.
    patchbay.disconnect("VLXArp:out", "late_rec:in");
    patchbay.disconnect("late_play:out", "VLXArp:in");
    std::this_thread::sleep_for(1s);  // the program hears of it within milliseconds
    late.reset();
    late = std::make_unique<JackTester>(server.name(), "late");
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(patchbay.peers("VLXArp:in"), Names{"early_play:out"});
    EXPECT_EQ(patchbay.peers("VLXArp:out"), Names{});

    ASSERT_EQ(program->terminate(10'000), 0);
    const std::string again = settings();
    EXPECT_NE(again.find("\"ConnectedIn1\"=\"early_play:out\"\n"), std::string::npos) << again;
    EXPECT_EQ(again.find("ConnectedIn2"), std::string::npos) << again;
    EXPECT_EQ(again.find("ConnectedOut1"), std::string::npos) << again;
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
        tester.waitCycles(2);
        // SIGTERM closes the window as a click on its close button would.
        ASSERT_EQ(program->terminate(10'000), 0);
        program.reset();
        tester.waitCycles(2);
        tester.clearRecorded();

        tester.play({0x90, 60, 100});
        tester.play({0x80, 60, 0}, tester.frameNow() + 4 * tester.bufferSize());
        if (closeOnExit == 0) {
            ASSERT_TRUE(tester.waitRecorded(2, 2s)) << "the keyboard no longer reaches the synth";
            EXPECT_EQ(tester.recorded()[0].bytes, (std::vector<std::uint8_t>{0x90, 60, 100}));
            EXPECT_EQ(tester.recorded()[1].bytes, (std::vector<std::uint8_t>{0x80, 60, 0}));
        } else {
            tester.waitCycles(40);
            EXPECT_EQ(tester.played().size(), 2u);
            EXPECT_TRUE(tester.recorded().empty()) << "the connections outlived the program";
        }
    }
}

}  // namespace
}  // namespace vlx::test
