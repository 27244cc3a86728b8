// SPDX-License-Identifier: GPL-3.0-or-later
// Instance numbers from the MIDI input ports a client sees, as JACK 2 and
// PipeWire's JACK list them (taken from both servers), and what a shutdown
// callback means.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/jack/JackHost.h"

namespace {

TEST(InstanceNumber, ByTheServersNameOrByTheClientsOfOurKindAlreadyThere) {
    struct Row {
        const char* what;
        std::string asked, own;
        std::vector<std::string> ports;
        int number;
    };
    const Row rows[] = {
        {"alone", "VLXArp", "VLXArp:in", {"VLXArp:in", "synth:midi_in"}, 1},
        {"JACK 2, second", "VLXArp", "VLXArp-01:in", {"VLXArp:in", "VLXArp-01:in"}, 2},
        {"JACK 2, third", "VLXArp", "VLXArp-02:in", {"VLXArp:in", "VLXArp-01:in", "VLXArp-02:in"}, 3},
        {"JACK 2, the first name free again", "VLXArp", "VLXArp:in", {"VLXArp:in", "VLXArp-01:in", "VLXArp-02:in"}, 1},
        {"JACK 2, a free name between", "VLXArp", "VLXArp-01:in", {"VLXArp:in", "VLXArp-01:in", "VLXArp-02:in"}, 2},
        {"a name that only starts like ours", "VLXArp", "VLXArpX:in", {"VLXArp:in", "VLXArpX:in"}, 1},
        // PipeWire: every client sees itself by the plain name.
        {"PipeWire, second", "VLXArp", "VLXArp:in", {"VLXArp:in", "VLXArp:in"}, 2},
        {"PipeWire, third", "VLXArp", "VLXArp:in", {"VLXArp:in", "VLXArp:in", "VLXArp-36:in", "tester_rec:in"}, 3},
        {"PipeWire, ports not of our kind", "VLXArp", "VLXArp:in",
         {"VLXArp:in", "VLXArp:in", "VLXArp-x:in", "VLXArp-3:out", "VLXArpX-3:in"}, 2},
        {"another name asked", "Arp", "Arp-01:in", {"Arp:in", "Arp-01:in", "VLXArp:in"}, 2},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(vlx::host::instanceNumber(r.asked, r.own, r.ports), r.number) << r.what;
    }
}

TEST(ShutdownMeaning, APlainShutdownWhileTheServerListensAndRunsUsAsksForRenewalAnyOtherIsALoss) {
    using vlx::host::ShutdownCall;
    using vlx::host::ShutdownMeaning;
    struct Row {
        ShutdownCall call;
        bool listens, runs;
        ShutdownMeaning meaning;
    } const rows[] = {
        {ShutdownCall::Plain, true, true, ShutdownMeaning::RenewalDue},  // PipeWire's JACK after an error it survives
        {ShutdownCall::Plain, true, false, ShutdownMeaning::Lost},       // PipeWire stopping on purpose
        {ShutdownCall::Plain, false, true, ShutdownMeaning::Lost},
        {ShutdownCall::Info, true, true, ShutdownMeaning::Lost},  // JACK 2 calls it only when the server goes
    };
    for (const Row& r : rows)
        EXPECT_EQ(vlx::host::shutdownMeaning(r.call, r.listens, r.runs), r.meaning)
            << (r.call == ShutdownCall::Plain ? "plain" : "info") << ", listening " << r.listens << ", running "
            << r.runs;
}

}  // namespace
