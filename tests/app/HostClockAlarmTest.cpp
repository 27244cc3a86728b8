// The alarm that ends the window's idle wait at a moment of the steady clock.
#include <QCoreApplication>
#include <QTimer>
#include <gtest/gtest.h>

#include <chrono>

#include "app/HostClockAlarm.h"

namespace vlx {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::int64_t micros(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
}

TEST(HostClockAlarm, TheRingEndsAWaitForWindowMessagesNeverBeforeItsMoment) {
    HostClockAlarm alarm;
    const auto due = Clock::now() + 20ms;
    ASSERT_TRUE(alarm.ringAt(micros(due)));
    bool guardFired = false;
    QTimer::singleShot(5000, [&] { guardFired = true; });
    // Events still waiting from before end a wait at once; the loop waits
    // again, as the window's loop does.
    int waits = 0;
    while (Clock::now() < due && !guardFired && waits < 1000) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        ++waits;
    }
    EXPECT_FALSE(guardFired);
    EXPECT_LT(waits, 10) << "the loop slept until the ring instead of spinning";

    // A moment already past rings at once.
    ASSERT_TRUE(alarm.ringAt(micros(Clock::now()) - 1000));
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    EXPECT_FALSE(guardFired);
}

}  // namespace
}  // namespace vlx
