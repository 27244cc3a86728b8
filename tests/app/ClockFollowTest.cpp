// The real program following a real clock on a private JACK server: the
// test's own sender plays a bar of ticks at 90 and at 180 bpm, a separate
// recorder takes the program's output. Every 16th tick carries exactly one
// step, in the pattern's order, a constant output latency later; nothing is
// left sounding after the clock's Stop. (Onset figures: bench_app_clock.)
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

    const double rate = tester.sampleRate(), msPerFrame = 1000.0 / rate, period = tester.bufferSize() * msPerFrame;
    for (double bpm : {90.0, 180.0}) {
        SCOPED_TRACE(bpm);
        const ClockRun run = playClock(tester, {67, 60, 64}, tickFrames(rate, bpm, bpm, 96));
        ASSERT_EQ(run.ticks.size(), 96u);
        ASSERT_EQ(run.ons.size(), 16u) << "one step on every 6th tick of the bar";
        const int order[] = {60, 64, 67};
        for (std::size_t i = 0; i < run.pitches.size(); ++i) EXPECT_EQ(run.pitches[i], order[i % 3]) << i;
        EXPECT_EQ(run.offs, 16) << "the clock's Stop leaves nothing sounding";

        // The output runs a constant latency behind its input (one period
        // and a margin): the step of tick 6i is the tick nearest to each
        // note-on less that latency.
        auto delays = stepDelays(run, 6);
        std::vector<std::int32_t> sorted = delays;
        std::sort(sorted.begin(), sorted.end());
        const std::int32_t latency = sorted[sorted.size() / 2];
        EXPECT_GE(latency * msPerFrame, period);
        EXPECT_LE(latency * msPerFrame, period + 6.0);
        for (std::size_t i = 0; i < run.ons.size(); ++i) {
            const auto at = static_cast<std::int64_t>(run.ons[i]) - latency;
            const auto nearest = std::min_element(run.ticks.begin(), run.ticks.end(), [&](auto a, auto b) {
                return std::abs(static_cast<std::int64_t>(a) - at) < std::abs(static_cast<std::int64_t>(b) - at);
            });
            EXPECT_EQ(nearest - run.ticks.begin(), static_cast<std::ptrdiff_t>(6 * i)) << "note-on " << i;
            // Loosely, for a busy machine: within a third of a tick of the others.
            EXPECT_NEAR(delays[i] * msPerFrame, latency * msPerFrame, 2500.0 / bpm / 3) << "note-on " << i;
        }
    }
    EXPECT_EQ(program.terminate(10'000), 0);
    std::filesystem::remove_all(config);
}

}  // namespace
}  // namespace vlx::test
