// SPDX-License-Identifier: GPL-3.0-or-later
#include "host/common/RealHost.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>
#include <thread>
#include <utility>

namespace vlx::host {

Wake::Wake() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (fd_ < 0) throw std::runtime_error("cannot create the host's eventfd");
}

Wake::~Wake() { ::close(fd_); }

void Wake::wake() noexcept {
    const std::uint64_t one = 1;
    // Non-blocking; a full counter still reads as readable, so a failed write loses nothing.
    [[maybe_unused]] const auto n = ::write(fd_, &one, sizeof one);
}

void Wake::clear() noexcept {
    std::uint64_t count = 0;
    [[maybe_unused]] const auto n = ::read(fd_, &count, sizeof count);
}

RealHost::RealHost() = default;

RealHost::RealHost(std::int64_t clockStartUs) : clock_(clockStartUs) {}

void RealHost::SleepMs(std::int32_t n) {
    if (n > 0) std::this_thread::sleep_for(std::chrono::milliseconds(n));
}

bool RealHost::queueSend(std::int32_t Status, std::int32_t data1, std::int32_t data2) noexcept {
    const MidiMessage m = MidiMessage::fromInts(Status, data1, data2);
    if (connectionLost() || m.size == 0 || !sends_.push(m)) {
        countDroppedSend();
        return false;
    }
    return true;
}

void RealHost::DeliverPending() {
    // Clear first: a wake that comes meanwhile leaves the fd readable for
    // the next round instead of being swallowed.
    wake_.clear();
    // A host that went away has no ports to ask about.
    if (portsChanged_.exchange(false) && !lost_.load()) RaisePortsChanged();
    if (lost_.load() && !lostReported_) {
        lostReported_ = true;
        beforeLossReported();
        RaiseConnectionLost(lostWhy_);
    } else if (renewalDue_.load() && !lost_.load() && !renewalReported_) {
        renewalReported_ = true;
        RaiseRenewalDue();
    }
}

void RealHost::Retire() {
    Flush();
    if (!lostClaimed_.exchange(true)) {
        std::strncpy(lostWhy_, "retired", sizeof lostWhy_ - 1);
        lost_.store(true);
    }
    // A loss claimed meanwhile goes unreported: the owner replaces the host anyway.
    if (!std::exchange(lostReported_, true)) beforeLossReported();
}

void RealHost::markLost(const char* why) noexcept {
    if (lostClaimed_.exchange(true)) return;
    std::strncpy(lostWhy_, why ? why : "the MIDI system went away", sizeof lostWhy_ - 1);
    lost_.store(true);
    wake_.wake();
}

void RealHost::markRenewalDue() noexcept {
    renewalDue_.store(true);
    wake_.wake();
}

void RealHost::notePortsChanged() noexcept {
    portsChanged_.store(true);
    wake_.wake();
}

}  // namespace vlx::host
