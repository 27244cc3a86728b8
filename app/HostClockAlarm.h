#pragma once
// Wakes the window's event loop at the start of a given host millisecond.
//
// The host reports whole milliseconds only, and where each begins on the
// steady clock is not known. Every reading of the host clock, stamped with
// the steady clock before and after it, narrows down where the host's
// millisecond boundaries lie; the alarm is set for the latest moment the
// boundary can be, so it never rings before the millisecond has begun and,
// once a few readings are in, rings within microseconds of it. A reading
// that contradicts what was learnt (a host clock not kept on the steady
// clock) starts over from it.
//
// The alarm is a timerfd watched by the event loop, so a wait for window
// messages (QEventLoop::WaitForMoreEvents) ends when it rings.
#include <chrono>
#include <cstdint>

#include <QObject>

class QSocketNotifier;

namespace vlx {

class HostClockAlarm : public QObject {
public:
    using Clock = std::chrono::steady_clock;

    explicit HostClockAlarm(QObject* parent = nullptr);
    ~HostClockAlarm() override;
    HostClockAlarm(const HostClockAlarm&) = delete;
    HostClockAlarm& operator=(const HostClockAlarm&) = delete;

    // One reading of the host clock, taken between `before` and `after`.
    void observe(std::int32_t hostNow, Clock::time_point before, Clock::time_point after);
    // The latest steady time at which host millisecond `hostMs` can begin,
    // hostNow being the latest reading; never before it begins.
    Clock::time_point startOf(std::int32_t hostNow, std::int32_t hostMs) const;
    // How far that can lie after the true start, as far as the readings tell.
    Clock::duration uncertainty() const { return latestZero_ - earliestZero_; }
    // Rings at startOf(hostNow, wakeAt). False when it cannot (no readings
    // yet, or no timer): the caller waits another way.
    bool ringAt(std::int32_t hostNow, std::int32_t wakeAt);

private:
    bool ringAtTime(Clock::time_point when);

    int fd_ = -1;
    QSocketNotifier* notifier_ = nullptr;
    bool learnt_ = false;
    std::int32_t lastHost_ = 0;
    std::int64_t unwrappedHost_ = 0;  // host ms since the first reading, past the 32-bit wrap
    // Bounds of the steady time at which the first reading's millisecond began.
    Clock::time_point earliestZero_;
    Clock::time_point latestZero_;
};

}  // namespace vlx
