// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Drives a real host's news (a loss, a renewal) the way the window's event loop does:
// waits until its event fd is readable, then calls DeliverPending.
#include <poll.h>

#include <chrono>
#include <functional>

#include "host/api/HostAutomation.h"

namespace vlx::test {

// Delivers pending news until done() holds or the timeout passes.
inline bool pumpUntil(HostAutomation& host, const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{host.EventFd(), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) > 0) host.DeliverPending();
    }
    return true;
}

// Delivers whatever arrives within `span`.
inline void pumpFor(HostAutomation& host, std::chrono::milliseconds span) {
    pumpUntil(host, [] { return false; }, span);
}

}  // namespace vlx::test
