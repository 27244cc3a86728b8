// SPDX-License-Identifier: GPL-3.0-or-later
// The real program following a real clock on a private JACK server: the
// test's own sender plays a bar of ticks at 90 and at 180 bpm, a separate
// recorder takes the program's output. Every 16th tick carries exactly one
// step, in the pattern's order, on the tick's own frame; nothing is left
// sounding after the clock's Stop. (Onset figures: bench_app_clock.)
#include <gtest/gtest.h>

#include "ClockSession.h"
#include "support/JackServer.h"

namespace vlx::test {
namespace {

TEST(ClockFollow, EachStepLandsOnItsTickAt90And180Bpm) {
    // Long periods: a step placed by when its tick was handled, not by the
    // tick's own frame, would be off by up to one (21 ms).
    JackServer server(48000, 1024);
    server.makeDefault();
    const auto config = clockConfig("test");
    ChildProgram program(VLX_ARMED_PROGRAM, {"QT_QPA_PLATFORM=offscreen", "XDG_CONFIG_HOME=" + config.string()});
    ASSERT_FALSE(program.waitFor("armed", 20'000).empty()) << "the window did not come up armed";
    JackTester tester(server.name());
    tester.connectPlayTo("VLXArp:in");
    tester.connectRecordFrom("VLXArp:out");
    tester.waitCycles(4);

    const double rate = tester.sampleRate();
    for (double bpm : {90.0, 180.0}) {
        SCOPED_TRACE(bpm);
        const ClockRun run = playClock(tester, {67, 60, 64}, tickFrames(rate, bpm, bpm, 96));
        ASSERT_EQ(run.ticks.size(), 96u);
        ASSERT_EQ(run.ons.size(), 16u) << "one step on every 6th tick of the bar";
        const int order[] = {60, 64, 67};
        for (std::size_t i = 0; i < run.pitches.size(); ++i) EXPECT_EQ(run.pitches[i], order[i % 3]) << i;
        EXPECT_EQ(run.offs, 16) << "the clock's Stop leaves nothing sounding";

        // Each step sounds on its tick's own frame, in the cycle the tick
        // arrived in.
        const auto delays = stepDelays(run, 6);
        ASSERT_EQ(delays.size(), run.ons.size());
        for (std::size_t i = 0; i < delays.size(); ++i) EXPECT_EQ(delays[i], 0) << "note-on " << i;
    }
    EXPECT_EQ(program.terminate(10'000), 0);
    std::filesystem::remove_all(config);
}

}  // namespace
}  // namespace vlx::test
