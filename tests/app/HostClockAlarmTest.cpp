// Learning where the host's milliseconds begin, from readings of a host
// clock kept on a known steady clock.
#include <QCoreApplication>
#include <QTimer>
#include <gtest/gtest.h>

#include "app/HostClockAlarm.h"

namespace vlx {
namespace {

using namespace std::chrono_literals;
using Clock = HostClockAlarm::Clock;

// A host clock whose millisecond 0 began at `zero`, wrapping at 32 bits.
struct SyntheticHost {
    Clock::time_point zero;
    std::int64_t offsetMs = 0;  // host ms at `zero`
    std::int32_t at(Clock::time_point t) const {
        const auto ms = std::chrono::floor<std::chrono::milliseconds>(t - zero).count() + offsetMs;
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(ms));
    }
    Clock::time_point startOf(std::int64_t ms) const { return zero + std::chrono::milliseconds(ms - offsetMs); }
};

TEST(HostClockAlarm, ReadingsPinDownTheStartOfEachMillisecondAcrossTheWrap) {
    HostClockAlarm alarm;
    const SyntheticHost host{Clock::time_point(1000s) + 123456ns, std::numeric_limits<std::int32_t>::max() - 20};
    Clock::time_point t = host.zero + 3ms;
    std::int32_t h = 0;
    for (int i = 0; i < 200; ++i) {
        t += 137us;  // readings at all phases of the millisecond
        h = host.at(t);
        alarm.observe(h, t - 2us, t + 2us);
        // Never before the millisecond begins.
        const auto next = host.startOf(std::int64_t(host.offsetMs) + (t - host.zero) / 1ms + 1);
        ASSERT_GE(alarm.startOf(h, static_cast<std::int32_t>(static_cast<std::uint32_t>(h) + 1)), next) << i;
    }
    EXPECT_LT(h, 0) << "the readings went past the 32-bit wrap";
    EXPECT_LE(alarm.uncertainty(), 150us);
    const auto due = static_cast<std::int32_t>(static_cast<std::uint32_t>(h) + 5);
    const auto start = host.startOf(std::int64_t(host.offsetMs) + (t - host.zero) / 1ms + 5);
    EXPECT_GE(alarm.startOf(h, due), start);
    EXPECT_LE(alarm.startOf(h, due), start + 150us);
}

TEST(HostClockAlarm, AReadingThatContradictsThePastStartsOver) {
    HostClockAlarm alarm;
    const Clock::time_point t0 = Clock::time_point(50s);
    alarm.observe(100, t0, t0);
    alarm.observe(101, t0 + 1ms, t0 + 1ms);
    // The host's clock jumped ahead by a second.
    alarm.observe(1102, t0 + 2ms, t0 + 2ms);
    EXPECT_LE(alarm.startOf(1102, 1103), t0 + 3ms);
    EXPECT_GE(alarm.startOf(1102, 1103), t0 + 2ms);
}

TEST(HostClockAlarm, TheRingEndsAWaitForWindowMessages) {
    HostClockAlarm alarm;
    const auto before = Clock::now();
    const std::int32_t now = static_cast<std::int32_t>((before.time_since_epoch() / 1ms) % 1'000'000);
    alarm.observe(now, before, before);
    ASSERT_TRUE(alarm.ringAt(now, now + 20));
    bool guardFired = false;
    QTimer::singleShot(5000, [&] { guardFired = true; });
    // Events still waiting from before end a wait at once; the loop waits
    // again, as the window's loop does.
    int waits = 0;
    while (Clock::now() < alarm.startOf(now, now + 20) && !guardFired && waits < 1000) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        ++waits;
    }
    EXPECT_FALSE(guardFired);
    EXPECT_LT(waits, 10) << "the loop slept until the ring instead of spinning";
}

}  // namespace
}  // namespace vlx
