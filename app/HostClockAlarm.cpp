#include "app/HostClockAlarm.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <QSocketNotifier>

namespace vlx {

HostClockAlarm::HostClockAlarm(QObject* parent) : QObject(parent) {
    // std::chrono::steady_clock is CLOCK_MONOTONIC on Linux.
    fd_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (fd_ < 0) return;
    notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
        std::uint64_t rings = 0;
        [[maybe_unused]] const auto n = ::read(fd_, &rings, sizeof rings);
    });
}

HostClockAlarm::~HostClockAlarm() {
    delete notifier_;
    if (fd_ >= 0) ::close(fd_);
}

bool HostClockAlarm::ringAt(std::int64_t steadyMicros) {
    if (fd_ < 0) return false;
    itimerspec expiry{};
    // An absolute time of 0 would disarm the timer instead.
    const std::int64_t at = steadyMicros > 0 ? steadyMicros : 1;
    expiry.it_value.tv_sec = static_cast<time_t>(at / 1'000'000);
    expiry.it_value.tv_nsec = static_cast<long>(at % 1'000'000 * 1000);
    return timerfd_settime(fd_, TFD_TIMER_ABSTIME, &expiry, nullptr) == 0;
}

}  // namespace vlx
