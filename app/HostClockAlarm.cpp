#include "app/HostClockAlarm.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>

#include <QSocketNotifier>

#include "model/HostTime.h"

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

void HostClockAlarm::observe(std::int32_t hostNow, Clock::time_point before, Clock::time_point after) {
    using std::chrono::milliseconds;
    if (learnt_) unwrappedHost_ += hosttime::distance(lastHost_, hostNow);
    lastHost_ = hostNow;
    // hostNow ms had begun by `after` and had not ended by `before`.
    const Clock::time_point earliest = before - milliseconds(unwrappedHost_ + 1);
    const Clock::time_point latest = after - milliseconds(unwrappedHost_);
    if (!learnt_ || earliest > latestZero_ || latest < earliestZero_) {
        learnt_ = true;
        earliestZero_ = earliest;
        latestZero_ = latest;
        return;
    }
    earliestZero_ = std::max(earliestZero_, earliest);
    latestZero_ = std::min(latestZero_, latest);
}

HostClockAlarm::Clock::time_point HostClockAlarm::startOf(std::int32_t hostNow, std::int32_t hostMs) const {
    return latestZero_ + std::chrono::milliseconds(unwrappedHost_ + hosttime::distance(hostNow, hostMs));
}

bool HostClockAlarm::ringAt(std::int32_t hostNow, std::int32_t wakeAt) {
    return learnt_ && ringAtTime(startOf(hostNow, wakeAt));
}

bool HostClockAlarm::ringAtTime(Clock::time_point when) {
    if (fd_ < 0) return false;
    const auto at = std::chrono::duration_cast<std::chrono::nanoseconds>(when.time_since_epoch()).count();
    itimerspec expiry{};
    expiry.it_value.tv_sec = static_cast<time_t>(at / 1'000'000'000);
    expiry.it_value.tv_nsec = static_cast<long>(at % 1'000'000'000);
    if (expiry.it_value.tv_sec <= 0 && expiry.it_value.tv_nsec <= 0) expiry.it_value.tv_nsec = 1;  // 0 would disarm
    return timerfd_settime(fd_, TFD_TIMER_ABSTIME, &expiry, nullptr) == 0;
}

}  // namespace vlx
