// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the JACK and ALSA hosts share: the host clock, the flags, and the
// news the owner's thread hears (a loss, a due renewal, ports changed).
//
// Threads: the owner's thread (the window's) makes every automation call and
// calls DeliverPending. Any other thread (JACK's process callback and
// notification thread, the ALSA host's own) only sets a flag and wakes the
// owner through an eventfd, which never blocks, locks or allocates.
#include <boost/lockfree/spsc_queue.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "host/api/HostAutomation.h"
#include "host/api/MidiMessage.h"
#include "host/api/PortConnections.h"

namespace vlx::host {

// The version of this host layer, shown with the backend's name.
inline constexpr const char* kHostLayerVersion = "1.0";

// Microseconds of std::chrono::steady_clock (CLOCK_MONOTONIC): the clock of
// HostTime and of every send stamp.
inline std::int64_t steadyMicros() noexcept {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Milliseconds since the host was created, as the 32-bit host time that
// wraps after 2^32 ms instead of overflowing.
class HostClock {
public:
    HostClock() : startUs_(steadyMicros()) {}
    // Goes on from a clock that began at startUs.
    explicit HostClock(std::int64_t startUs) : startUs_(startUs) {}
    std::int64_t startMicros() const noexcept { return startUs_; }
    std::int32_t hostTimeAt(std::int64_t steadyUs) const noexcept {
        const auto ms = static_cast<std::uint64_t>(steadyUs - startUs_) / 1000U;
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(ms));
    }
    std::int32_t now() const noexcept { return hostTimeAt(steadyMicros()); }

private:
    std::int64_t startUs_;
};

// An eventfd that an event loop can watch: any thread wakes it, the
// owner's thread clears it.
class Wake {
public:
    Wake();
    ~Wake();
    Wake(const Wake&) = delete;
    Wake& operator=(const Wake&) = delete;

    int fd() const noexcept { return fd_; }
    void wake() noexcept;
    void clear() noexcept;

private:
    int fd_;
};

class RealHost : public HostAutomation, public PortConnections {
public:
    RealHost();
    // With the host clock going on from one that began at clockStartUs.
    explicit RealHost(std::int64_t clockStartUs);

    std::int32_t ExitWithClient() override { return exitWithClient_; }
    // The host lives in the program's process and ends with it anyway; the
    // owner reads the flag to leave the connections behind (0) or not (1).
    void ExitWithClient(std::int32_t vData) override { exitWithClient_ = vData; }
    // Stored and read back: a host without a processor passes all input
    // through, and the player in the host's cycle routes by its own flags.
    std::int32_t DivertInput() override { return divert_; }
    void DivertInput(std::int32_t vData) override { divert_ = vData; }
    std::int32_t RaiseInputEvents() override { return raise_; }
    void RaiseInputEvents(std::int32_t vData) override { raise_ = vData; }
    std::int32_t HostTime() override { return clock_.now(); }
    void SleepMs(std::int32_t n) override;

    int EventFd() const override { return wake_.fd(); }
    // Raises PortsChanged when ports or connections changed meanwhile, and
    // reports a lost connection or, while the connection stands, a due
    // renewal, once.
    void DeliverPending() override;
    // Lets the output drain, then lets go of the MIDI system as a lost host
    // does, without a report.
    void Retire() override;

    // Whether the MIDI system went away; sends are dropped from then on.
    bool connectionLost() const noexcept { return lost_.load(); }
    // Sends not queued: queue full, connection lost, or a status that starts
    // no short message.
    std::uint64_t droppedSends() const noexcept { return droppedSends_.load(); }

protected:
    // What the owner sent, for the MIDI thread to write; the owner is the
    // one producer.
    using SendQueue = boost::lockfree::spsc_queue<MidiMessage, boost::lockfree::capacity<1 << 14>>;

    const HostClock& clock() const noexcept { return clock_; }
    // Owner's thread: false (and counted) when the message was not queued.
    bool queueSend(std::int32_t Status, std::int32_t data1, std::int32_t data2) noexcept;
    bool sendsWaiting() noexcept { return !sends_.empty(); }
    SendQueue& sends() noexcept { return sends_; }
    void countDroppedSend() noexcept { droppedSends_.fetch_add(1, std::memory_order_relaxed); }
    // Any thread, no allocation: records why and wakes the owner.
    void markLost(const char* why) noexcept;
    // Any thread, no allocation: the owner hears that a renewal is due.
    void markRenewalDue() noexcept;
    // Owner's thread, once, right before the loss is reported or when the
    // host retires.
    virtual void beforeLossReported() {}
    // Any thread, no allocation: the owner raises PortsChanged.
    void notePortsChanged() noexcept;

private:
    HostClock clock_;
    std::int32_t exitWithClient_ = 0;
    std::int32_t divert_ = 0;
    std::int32_t raise_ = 0;
    Wake wake_;
    SendQueue sends_;
    std::atomic<std::uint64_t> droppedSends_{0};
    std::atomic<bool> lostClaimed_{false};
    std::atomic<bool> lost_{false};
    std::atomic<bool> portsChanged_{false};
    std::atomic<bool> renewalDue_{false};
    bool lostReported_ = false;
    bool renewalReported_ = false;
    char lostWhy_[256] = {};
};

}  // namespace vlx::host
