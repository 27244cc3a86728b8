// SPDX-License-Identifier: GPL-3.0-or-later
#include "host/RealHost.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>
#include <thread>
#include <utility>

namespace vlx::host {

InputHandoff::InputHandoff()
    : ring_(jack_ringbuffer_create(kCapacity * sizeof(InputEvent))), fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (!ring_ || fd_ < 0) {
        if (ring_) jack_ringbuffer_free(ring_);
        if (fd_ >= 0) ::close(fd_);
        throw std::runtime_error("cannot create the input hand-over");
    }
    jack_ringbuffer_mlock(ring_);
}

InputHandoff::~InputHandoff() {
    jack_ringbuffer_free(ring_);
    ::close(fd_);
}

bool InputHandoff::push(const InputEvent& e) noexcept {
    if (jack_ringbuffer_write_space(ring_) < sizeof e) {
        overflows_.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    jack_ringbuffer_write(ring_, reinterpret_cast<const char*>(&e), sizeof e);
    return true;
}

void InputHandoff::wake() noexcept {
    const std::uint64_t one = 1;
    // Non-blocking; a full counter still reads as readable, so a failed write loses nothing.
    [[maybe_unused]] const auto n = ::write(fd_, &one, sizeof one);
}

void InputHandoff::clearWake() noexcept {
    std::uint64_t count = 0;
    [[maybe_unused]] const auto n = ::read(fd_, &count, sizeof count);
}

bool InputHandoff::pop(InputEvent& e) noexcept {
    if (jack_ringbuffer_read_space(ring_) < sizeof e) return false;
    jack_ringbuffer_read(ring_, reinterpret_cast<char*>(&e), sizeof e);
    return true;
}

RealHost::RealHost() = default;

RealHost::RealHost(std::int64_t clockStartUs) : clock_(clockStartUs) {}

void RealHost::SleepMs(std::int32_t n) {
    if (n > 0) std::this_thread::sleep_for(std::chrono::milliseconds(n));
}

void RealHost::DeliverPending() {
    // Clear first: a wake that comes while draining leaves the fd readable
    // for the next round instead of being swallowed.
    input_.clearWake();
    InputEvent e;
    while (input_.pop(e)) {
        InputCase c;
        c.delivering = true;
        c.raise = raise_.load();
        c.passedOnArrival = e.routed;
        const InputRoute route = routeInput(c);
        if (route.toProgram) RaiseMidiInput(e.time, 0, e.message.status(), e.message.data1(), e.message.data2());
        if (route.toOutput) SendMidiMessage(-1, e.message.status(), e.message.data1(), e.message.data2());
    }
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
    input_.wake();
}

void RealHost::markRenewalDue() noexcept {
    renewalDue_.store(true);
    input_.wake();
}

void RealHost::notePortsChanged() noexcept {
    portsChanged_.store(true);
    input_.wake();
}

}  // namespace vlx::host
