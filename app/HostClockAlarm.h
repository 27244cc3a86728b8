#pragma once
// Wakes the window's event loop at a given moment of the steady clock
// (CLOCK_MONOTONIC), to the microsecond: the moment a host millisecond
// begins, as the host tells it. The alarm is a timerfd watched by the event
// loop, so a wait for window messages (QEventLoop::WaitForMoreEvents) ends
// when it rings, and a window message (input among them) ends it earlier.
#include <cstdint>

#include <QObject>

class QSocketNotifier;

namespace vlx {

class HostClockAlarm : public QObject {
public:
    explicit HostClockAlarm(QObject* parent = nullptr);
    ~HostClockAlarm() override;
    HostClockAlarm(const HostClockAlarm&) = delete;
    HostClockAlarm& operator=(const HostClockAlarm&) = delete;

    // Rings once at steadyMicros (microseconds of std::chrono::steady_clock),
    // replacing any earlier setting; a moment already past rings at once.
    // False when there is no timer: the caller waits another way.
    bool ringAt(std::int64_t steadyMicros);

private:
    int fd_ = -1;
    QSocketNotifier* notifier_ = nullptr;
};

}  // namespace vlx
