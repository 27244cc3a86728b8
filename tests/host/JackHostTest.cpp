// SPDX-License-Identifier: GPL-3.0-or-later
// The JACK host on a private dummy server, seen from outside: a tester plays
// into VLXArp:in and records VLXArp:out with absolute frame times.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <map>
#include <memory>
#include <thread>
#include <tuple>
#include <vector>

#include "host/CreateHost.h"
#include "host/jack/JackHost.h"
#include "player/Player.h"
#include "support/PlayerSettings.h"
#include "tests/support/BusyProcesses.h"
#include "tests/support/HostMillis.h"
#include "tests/support/JackServer.h"
#include "tests/support/JackTester.h"

namespace {

using namespace std::chrono_literals;
using vlx::host::JackHost;
using vlx::test::JackServer;
using vlx::test::JackTester;
using Bytes = std::vector<std::uint8_t>;

std::vector<Bytes> bytesOf(const std::vector<vlx::test::RecordedMidi>& recorded) {
    std::vector<Bytes> out;
    for (const auto& m : recorded) out.push_back(m.bytes);
    return out;
}

// Opens the program's host under the lock that keeps parallel test
// processes' same-named clients apart (see JackServer.h).
std::unique_ptr<JackHost> openHost() {
    auto lock = JackServer::lockClientOpens();
    return std::make_unique<JackHost>();
}

class JackHostTest : public ::testing::Test {
protected:
    JackServer server{48000, 256};
    void SetUp() override { server.makeDefault(); }

    // Plays `messages` 10 frames apart from a few cycles ahead.
    static void playSpaced(JackTester& tester, const std::vector<Bytes>& messages) {
        jack_nframes_t at = tester.frameNow() + 4 * tester.bufferSize();
        for (const auto& m : messages) {
            tester.play(m, at);
            at += 10;
        }
    }
};

const std::vector<Bytes> kMixed = {
    {0x90, 60, 100},                          // note-on
    {0x80, 60, 0},                            // note-off
    {0xB3, 7, 100},                           // control change
    {0xC2, 5},                                // program change
    {0xF8},                                   // clock
    {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0x22, 0xF7},  // system exclusive
};

// Without the player every message passes through in its cycle, at its
// frame, whatever the flags say: nobody else would pass it.
TEST_F(JackHostTest, WithoutThePlayerInputPassesThruAtItsFrameWhateverTheFlags) {
    auto host = openHost();
    JackTester tester(server.name());
    tester.connectPlayTo("VLXArp:in");
    tester.connectRecordFrom("VLXArp:out");
    EXPECT_EQ(host->DivertInput(), 0);
    EXPECT_EQ(host->RaiseInputEvents(), 0);
    for (const std::int32_t flags : {0, 1}) {
        tester.clearRecorded();
        host->DivertInput(flags);
        host->RaiseInputEvents(flags);
        EXPECT_EQ(host->DivertInput(), flags);
        playSpaced(tester, kMixed);
        ASSERT_TRUE(tester.waitRecorded(kMixed.size(), 2s)) << "flags " << flags;
        tester.waitCycles(4);  // time for a second copy to show
        EXPECT_EQ(bytesOf(tester.recorded()), kMixed) << "flags " << flags;
        ASSERT_EQ(tester.played().size(), kMixed.size());
        for (std::size_t i = 0; i < kMixed.size(); ++i)
            EXPECT_EQ(tester.recorded()[i].frame, tester.played()[i].frame) << i;
    }
    EXPECT_EQ(host->droppedThru(), 0u);
}

TEST_F(JackHostTest, BurstOfThousandMessagesWithinOneMillisecondLosesNone) {
    auto host = openHost();
    JackTester tester(server.name());
    tester.connectPlayTo("VLXArp:in");
    tester.connectRecordFrom("VLXArp:out");

    std::vector<Bytes> burst;
    for (int i = 0; i < 1000; ++i)
        burst.push_back({static_cast<std::uint8_t>(0x90 | (i % 16)), static_cast<std::uint8_t>(i % 128),
                         static_cast<std::uint8_t>(1 + i % 127)});
    const jack_nframes_t start = tester.frameNow() + 4 * tester.bufferSize();
    for (std::size_t i = 0; i < burst.size(); ++i) tester.play(burst[i], start + static_cast<jack_nframes_t>(i * 48 / 1000));

    ASSERT_TRUE(tester.waitRecorded(burst.size(), 3s));
    EXPECT_EQ(bytesOf(tester.recorded()), burst);
    ASSERT_EQ(tester.played().size(), burst.size());
    for (std::size_t i = 0; i < burst.size(); ++i) EXPECT_EQ(tester.recorded()[i].frame, tester.played()[i].frame) << i;
    EXPECT_EQ(host->droppedThru(), 0u);
}

TEST_F(JackHostTest, InstancesAreNumberedInTheOrderTheyCame) {
    auto first = openHost();
    auto second = openHost();
    auto third = openHost();
    EXPECT_EQ(first->InstanceNumber(), 1);
    EXPECT_EQ(second->InstanceNumber(), 2);
    EXPECT_EQ(third->InstanceNumber(), 3);
    EXPECT_EQ(first->HostVersion(), "1.0 JACK");
    // JACK 2 gives a newcomer the lowest free name, and its number with it.
    // PipeWire's JACK lets clients share a name, so a newcomer cannot tell
    // which number a departed instance freed: it counts those still there.
    first.reset();
    auto fourth = openHost();
    EXPECT_EQ(fourth->InstanceNumber(), JackServer::pipewire() ? 3 : 1);
}

TEST_F(JackHostTest, CreateHostChoosesJackWhenAServerAnswers) {
    auto lock = JackServer::lockClientOpens();
    auto host = vlx::CreateHost();
    lock.reset();
    ASSERT_NE(host, nullptr);
    EXPECT_EQ(host->HostVersion(), "1.0 JACK");
    EXPECT_GE(host->EventFd(), 0);
    EXPECT_EQ(host->InstanceNumber(), 1);
    // Its clock starts when it is made; a sleep moves it on by at least as much.
    const std::int32_t t = host->HostTime();
    EXPECT_GE(t, 0);
    host->SleepMs(5);
    EXPECT_GE(host->HostTime() - t, 5);
    // Stored and read back; it changes nothing else.
    EXPECT_EQ(host->ExitWithClient(), 0);
    host->ExitWithClient(1);
    EXPECT_EQ(host->ExitWithClient(), 1);
}

TEST_F(JackHostTest, ClosingLetsQueuedOutputGoOut) {
    JackTester tester(server.name());
    std::vector<Bytes> sent;
    {
        auto host = openHost();
        tester.connectRecordFrom("VLXArp:out");
        tester.waitCycles(2);
        for (std::uint8_t key = 40; key < 72; ++key) {
            host->SendMidiMessage(-1, 0x80, key, 0);
            sent.push_back({0x80, key, 0});
        }
    }  // closes at once, with the note-offs still queued
    ASSERT_TRUE(tester.waitRecorded(sent.size(), 1s));
    EXPECT_EQ(bytesOf(tester.recorded()), sent);
}

TEST_F(JackHostTest, ABurstBeyondTheQueueIsCountedNotWaitedForAndTheRestKeepsItsOrder) {
    auto host = openHost();
    JackTester tester(server.name());
    tester.connectRecordFrom("VLXArp:out");
    tester.waitCycles(2);
    // Far more than the queue holds, and more than one cycle's buffer: the
    // overflow is dropped and counted, the rest goes out over several cycles.
    constexpr int kBurst = 40000;
    // Each message carries its index in its channel and data bytes.
    auto message = [](int i) {
        return Bytes{static_cast<std::uint8_t>(0xB0 | (i >> 14)), static_cast<std::uint8_t>(i & 0x7F),
                     static_cast<std::uint8_t>((i >> 7) & 0x7F)};
    };
    auto index = [](const Bytes& m) { return ((m[0] & 0x0F) << 14) | (m[2] << 7) | m[1]; };
    for (int i = 0; i < kBurst; ++i) {
        const Bytes m = message(i);
        host->SendMidiMessage(-1, m[0], m[1], m[2]);
    }
    const auto dropped = host->droppedSends();
    EXPECT_GT(dropped, 0u);
    const std::size_t delivered = kBurst - dropped;
    ASSERT_TRUE(tester.waitRecorded(delivered, 5s)) << tester.recorded().size() << " of " << delivered;
    tester.waitCycles(2);
    const auto& rec = tester.recorded();
    ASSERT_EQ(rec.size(), delivered);
    // What went out went out whole and in the order sent (the queue drains
    // while the burst goes on, so later messages find room again).
    for (std::size_t i = 0; i < rec.size(); ++i) {
        ASSERT_EQ(rec[i].bytes.size(), 3u) << i;
        ASSERT_EQ(rec[i].bytes, message(index(rec[i].bytes))) << i;
        if (i > 0) {
            ASSERT_GT(index(rec[i].bytes), index(rec[i - 1].bytes)) << i;
            ASSERT_GE(rec[i].frame, rec[i - 1].frame) << i;
        }
    }
}

// One numbered message a cycle for ten seconds through the program's ports
// (arpeggiation off: everything passes), on a server without real-time
// scheduling and with both cores busy, as for a user without real-time
// rights. JACK 2 then at times reports the previous cycle's first frame for
// a callback with new input: each one's input must pass, once, in order. A
// control recorder wired straight to the sender shows the rig's own losses.
TEST(JackHostInput, OnAServerWithoutRealTimeEveryCyclesInputPassesOnceInOrder) {
    JackServer server(48000, 256, JackServer::Scheduling::Normal);
    server.makeDefault();
    auto host = openHost();
    vlx::Player player(vlx::test::Musical{120, 8, 2, 1, vlx::Arpeggiator::CycleUpDown});
    host->Drive(&player);
    JackTester tester(server.name());
    JackTester control(server.name(), "control");
    tester.connectPlayTo("VLXArp:in");
    tester.connectRecordFrom("VLXArp:out");
    control.connectRecordFrom(tester.playPort());
    tester.waitCycles(4);

    constexpr int kMessages = 1875;  // ten seconds of 256-frame cycles
    auto message = [](int n) {
        return Bytes{static_cast<std::uint8_t>(0xB0 | ((n >> 14) & 0x0F)), static_cast<std::uint8_t>(n & 0x7F),
                     static_cast<std::uint8_t>((n >> 7) & 0x7F)};
    };
    {
        vlx::test::BusyProcesses busy(2);
        const jack_nframes_t first = tester.frameNow() + 8 * tester.bufferSize();
        for (int n = 0; n < kMessages; ++n)
            tester.play(message(n), first + static_cast<jack_nframes_t>(n) * tester.bufferSize() + 17);
        tester.waitRecorded(kMessages, 30s);
        control.waitRecorded(kMessages, 5s);
    }
    tester.waitCycles(4);
    host->Drive(nullptr);

    auto numbers = [](const std::vector<vlx::test::RecordedMidi>& recorded) {
        std::vector<int> out;
        for (const auto& m : recorded) out.push_back((m.bytes[0] & 0x0F) << 14 | m.bytes[2] << 7 | m.bytes[1]);
        return out;
    };
    // A loaded server without real time misses whole cycles now and then:
    // what a client's skipped callback carried never reaches it, the
    // control recorder's or the program's. So the program is judged by
    // what its input port carried: every message of it came out, once, in
    // order, and nothing else did.
    const auto through = numbers(tester.recorded());
    const auto direct = numbers(control.recorded());
    EXPECT_EQ(host->outputEvents(), host->inputEvents())
        << "lost or doubled inside the program; refused by the output: " << player.counters().unsent
        << ", junk bytes: " << player.counters().junkBytes;
    EXPECT_LE(host->inputEvents(), static_cast<std::uint64_t>(kMessages));
    EXPECT_TRUE(std::is_sorted(through.begin(), through.end()) &&
                std::adjacent_find(through.begin(), through.end()) == through.end())
        << "out of order or doubled";
    EXPECT_GE(through.size() + tester.recorderMissedCycles(), host->inputEvents())
        << "recorded less than the program sent, beyond the cycles its recorder missed";
    std::printf("[ measure  ] %s without real time, 2 busy processes: %d sent, the control recorded %zu, the program "
                "received %llu and sent %llu, its recorder took %zu (missed %llu cycles); callbacks behind the "
                "server's frames %llu, cycles the program missed %llu\n",
                JackServer::kindName(), kMessages, direct.size(),
                static_cast<unsigned long long>(host->inputEvents()), static_cast<unsigned long long>(host->outputEvents()),
                through.size(), static_cast<unsigned long long>(tester.recorderMissedCycles()),
                static_cast<unsigned long long>(host->cyclesBehind()),
                static_cast<unsigned long long>(host->missedCycles()));
}

// Messages flooding in while the arpeggio plays fill the output every
// cycle: what passes through gives way (and is counted), the arpeggio's
// steps and note-offs never do, so no note is left sounding. Each cycle
// brings all PipeWire's JACK carries in one (more and it drops the cycle
// whole): passed on with the arpeggio added, it would lose the arpeggio too.
TEST(JackHostOutput, AFloodOfPassingDataNeverCrowdsOutANoteOff) {
    JackServer server(48000, 256);
    server.makeDefault();
    auto host = openHost();
    vlx::Player player(vlx::test::Musical{240, 1, 2, 1, vlx::Arpeggiator::CycleUpDown});  // 31 ms steps
    host->Drive(&player);
    vlx::test::Enable(player, true, true);
    JackTester tester(server.name());
    tester.connectPlayTo("VLXArp:in");
    tester.connectRecordFrom("VLXArp:out");
    tester.waitCycles(4);

    const std::uint8_t keys[] = {48, 52, 55, 60, 64, 67, 72};
    for (std::uint8_t key : keys) tester.play({0x90, key, 100});
    // 100 SysEx of 120 bytes and 798 controllers: 32752 bytes, PipeWire's way.
    Bytes sysex(120, 0x11);
    sysex.front() = 0xF0;
    sysex.back() = 0xF7;
    const Bytes controller = {0xB0, 1, 64};
    const jack_nframes_t from = tester.frameNow() + 4 * tester.bufferSize();
    constexpr int kCycles = 400, kPerCycle = 898;
    // Queued a few cycles ahead at a time: the sender's ring holds 1 MB.
    for (int c = 0; c < kCycles; ++c) {
        const jack_nframes_t cycle = from + static_cast<jack_nframes_t>(c) * tester.bufferSize();
        while (static_cast<std::int32_t>(cycle - tester.frameNow()) > 8 * static_cast<std::int32_t>(tester.bufferSize())) {
            tester.recorded();  // the recorder's ring holds 4 MB: taken as it comes
            std::this_thread::sleep_for(1ms);
        }
        sysex[1] = static_cast<std::uint8_t>(c & 0x7F);  // no cycle's like the one before
        for (int i = 0; i < kPerCycle; ++i)
            tester.play(i < 100 ? sysex : controller, cycle + static_cast<jack_nframes_t>(i * 200 / kPerCycle));
    }
    tester.waitCycles(8);
    for (std::uint8_t key : keys) tester.play({0x80, key, 64});
    tester.waitCycles(8);
    host->Drive(nullptr);

    // What the recorder lost is the rig's loss: then nothing can be judged.
    // What the server dropped of what the program wrote is the program's.
    if (tester.recorded(); tester.recorderMissedCycles() + tester.recorderOverflows() > 0)
        GTEST_SKIP() << "the recorder missed " << tester.recorderMissedCycles() << " cycles and "
                     << tester.recorderOverflows() << " messages";
    EXPECT_EQ(tester.recorded().size(), host->outputEvents()) << "the server dropped what the program wrote";
    std::map<int, int> sounding;
    int ons = 0, passed = 0;
    for (const auto& m : tester.recorded()) {
        if (m.bytes[0] == 0xF0 || m.bytes[0] == 0xB0) ++passed;
        if (m.bytes.size() != 3) continue;
        if ((m.bytes[0] & 0xF0) == 0x90) {
            ++ons;
            EXPECT_EQ(sounding[m.bytes[1]]++, 0) << "a note-on while its key sounds";
        } else if ((m.bytes[0] & 0xF0) == 0x80) {
            sounding[m.bytes[1]] = 0;
        }
    }
    for (const auto& [key, on] : sounding) EXPECT_EQ(on, 0) << "left sounding: " << key;
    EXPECT_GE(ons, 60) << "the arpeggio played on";
    // A loaded PipeWire loses a sender's cycle whole when it holds this
    // much: then the flood never reaches the program, and proves nothing.
    if (player.counters().unsent == 0 && passed < kCycles * kPerCycle / 4)
        GTEST_SKIP() << JackServer::kindName() << " dropped the sender's flood (" << passed << " passed of "
                     << kCycles * kPerCycle << "): the output was never full";
    EXPECT_GT(player.counters().unsent, 0u) << "the flood did not fill the output: the test proves nothing";
    std::printf("[ measure  ] %s: %d note-ons, all ended; of %d messages flooding in %d passed and %llu gave way\n",
                JackServer::kindName(), ons, kCycles * kPerCycle, passed,
                static_cast<unsigned long long>(player.counters().unsent));
}

// The host driving the player in its process callback, on a real server:
// the keys reach it in the cycle they were played, at their frames, and it
// writes in the same cycle, so the chord's first step sounds 5 ms after
// the start of the keys' millisecond and each step 62 ms (2976 frames)
// after the one before, whatever the period. Released, the note's note-off goes out on
// the release's own frame.
class JackHostTimingTest : public ::testing::TestWithParam<int> {};

TEST_P(JackHostTimingTest, APlayerDrivenByTheCyclesPlaysOnTheFramesItNamesInTheCycleTheKeysArrive) {
    JackServer server(48000, GetParam());
    server.makeDefault();
    auto host = openHost();
    vlx::Player player(vlx::test::Musical{240, 2, 2, 1, vlx::Arpeggiator::CycleUp});
    host->Drive(&player);
    vlx::test::Enable(player, true, true);
    JackTester tester(server.name());
    tester.connectPlayTo("VLXArp:in");
    tester.connectRecordFrom("VLXArp:out");
    tester.waitCycles(3);

    const jack_nframes_t at = tester.frameNow() + 4 * tester.bufferSize() + 101;
    for (int note : {64, 60, 67}) tester.play({0x90, static_cast<std::uint8_t>(note), 100}, at);
    constexpr int kSteps = 12;
    const jack_nframes_t release = at + 240 + 2976 * (kSteps - 1) + 500;  // the last step of 67 sounds
    tester.play({0x80, 67, 64}, release);
    ASSERT_TRUE(tester.waitRecorded(2 * kSteps, 5s)) << tester.recorded().size();
    tester.waitCycles(2);
    host->Drive(nullptr);
    tester.waitCycles(2);
    ASSERT_EQ(tester.played().size(), 4u);
    const jack_nframes_t keys = tester.played()[0].frame;
    const jack_nframes_t released = tester.played()[3].frame;

    // A cycle the recorder itself missed is the rig's loss, not the program's:
    // what the program wrote must all have reached the server.
    if (tester.recorderMissedCycles() + tester.recorderOverflows() > 0)
        GTEST_SKIP() << "the recorder missed " << tester.recorderMissedCycles() << " cycles and "
                     << tester.recorderOverflows() << " messages";
    const auto& rec = tester.recorded();
    EXPECT_EQ(rec.size(), host->outputEvents()) << "the server dropped what the program wrote";
    ASSERT_FALSE(rec.empty());
    // The keys' millisecond is the one their frame lies in: the first step
    // comes 5 ms after its start, within a millisecond less than 240 frames.
    const jack_nframes_t first = rec[0].frame;
    EXPECT_LE(first - keys, 240u);
    EXPECT_GT(first - keys, 240u - 48u);
    const int chord[] = {60, 64, 67};
    std::size_t i = 0;
    for (int k = 0; k < kSteps; ++k, i += 2) {
        ASSERT_LT(i + 1, rec.size());
        const jack_nframes_t step = first + 2976 * static_cast<jack_nframes_t>(k);
        EXPECT_EQ(rec[i].bytes, (Bytes{0x90, static_cast<std::uint8_t>(chord[k % 3]), 100})) << k;
        EXPECT_EQ(rec[i].frame - keys, step - keys) << "step " << k << ", period " << GetParam();
        // The last one is cut short by the release.
        const jack_nframes_t ends = k == kSteps - 1 ? released : step + 39 * 48;
        EXPECT_EQ(rec[i + 1].bytes, (Bytes{0x80, static_cast<std::uint8_t>(chord[k % 3]), 0})) << k;
        EXPECT_EQ(rec[i + 1].frame - keys, ends - keys) << "step " << k << ", period " << GetParam();
    }
}

INSTANTIATE_TEST_SUITE_P(Periods, JackHostTimingTest, ::testing::Values(256, 1024));

}  // namespace
