// SPDX-License-Identifier: GPL-3.0-or-later
// Opening the ALSA client, and CreateHost's choice when JACK does not answer.
// Where the machine has no sequencer device (CI), opening must fail clearly.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "host/alsa/AlsaHost.h"
#include "host/CreateHost.h"

namespace {

bool haveSequencer() { return ::access("/dev/snd/seq", R_OK | W_OK) == 0; }

TEST(AlsaHost, OpensWithItsPortsOrSaysWhyNot) {
    if (haveSequencer()) {
        vlx::host::AlsaHost host;
        EXPECT_EQ(host.HostVersion(), "1.0 ALSA");
        EXPECT_GE(host.InstanceNumber(), 1);
        EXPECT_EQ(host.DivertInput(), 0);
        EXPECT_EQ(host.RaiseInputEvents(), 0);
        host.SendMidiMessage(-1, 0x90, 60, 100);
        host.SendMidiMessage(-1, 0x80, 60, 0);
        EXPECT_EQ(host.droppedSends(), 0u);
        return;
    }
    try {
        vlx::host::AlsaHost host;
        FAIL() << "opened without a sequencer device";
    } catch (const vlx::host::AlsaOpenError& e) {
        EXPECT_NE(std::string(e.what()).find("cannot open the ALSA sequencer"), std::string::npos) << e.what();
    }
}

TEST(CreateHost, FallsBackToAlsaAndOtherwiseSaysWhyForEach) {
    // A server name nobody runs: JACK cannot answer (and must not be started).
    const std::string nobody = "vlxtest-nobody-" + std::to_string(::getpid());
    ::setenv("JACK_DEFAULT_SERVER", nobody.c_str(), 1);
    if (haveSequencer()) {
        EXPECT_EQ(vlx::CreateHost()->HostVersion(), "1.0 ALSA");
        return;
    }
    try {
        vlx::CreateHost();
        FAIL() << "a host was created with neither JACK nor ALSA";
    } catch (const vlx::HostOpenError& e) {
        const std::string why = e.what();
        EXPECT_NE(why.find("JACK: no JACK server \"" + nobody + "\" is running"), std::string::npos) << why;
        EXPECT_NE(why.find("ALSA: cannot open the ALSA sequencer"), std::string::npos) << why;
    }
    // Nothing was started under that name.
    EXPECT_EQ(::access(("/dev/shm/jack_" + nobody + "_0_0").c_str(), F_OK), -1);
}

}  // namespace
