// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the JACK and ALSA hosts share: the host clock, the flags, and the
// hand-over of input from the MIDI thread to the owner's thread.
//
// Threads: the owner's thread (the window's) makes every automation call and
// calls DeliverPending. The MIDI thread (JACK's process callback, the ALSA
// reader) only reads the flags and pushes input through InputHandoff, which
// never blocks, locks or allocates. News of ports and connections (JACK's
// notification thread, the ALSA reader) only sets a flag and wakes the owner,
// whose DeliverPending raises PortsChanged.
#include <jack/ringbuffer.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "host/HostAutomation.h"
#include "host/MidiMessage.h"
#include "host/PortConnections.h"
#include "host/Routing.h"

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

// One received message that fits the MidiInput event, with its host time.
struct InputEvent {
    std::int32_t time = 0;
    MidiMessage message;
    bool routed = false;  // the host passed it to its output when it arrived
};

// Single producer (the MIDI thread), single consumer (the owner's thread).
// The producer pushes and then wakes the consumer through an eventfd that an
// event loop can watch.
class InputHandoff {
public:
    static constexpr std::size_t kCapacity = 1 << 15;  // events; a burst of thousands fits

    InputHandoff();
    ~InputHandoff();
    InputHandoff(const InputHandoff&) = delete;
    InputHandoff& operator=(const InputHandoff&) = delete;

    int fd() const noexcept { return fd_; }

    // MIDI thread. False (and counted) when the ring is full.
    bool push(const InputEvent& e) noexcept;
    void wake() noexcept;

    // Owner's thread: clears the eventfd and returns the next waiting event.
    void clearWake() noexcept;
    bool pop(InputEvent& e) noexcept;

    std::uint64_t overflows() const noexcept { return overflows_.load(std::memory_order_relaxed); }

private:
    jack_ringbuffer_t* ring_;
    int fd_;
    std::atomic<std::uint64_t> overflows_{0};
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
    std::int32_t DivertInput() override { return divert_.load(); }
    void DivertInput(std::int32_t vData) override { divert_.store(vData); }
    std::int32_t RaiseInputEvents() override { return raise_.load(); }
    void RaiseInputEvents(std::int32_t vData) override { raise_.store(vData); }
    std::int32_t HostTime() override { return clock_.now(); }
    void SleepMs(std::int32_t n) override;

    int EventFd() const override { return input_.fd(); }
    // Raises MidiInput for every waiting message while RaiseInputEvents is 1;
    // once it is 0 nobody will forward them, so those the host did not pass
    // when they arrived go to the output now (routeInput). Then raises
    // PortsChanged when ports or connections changed meanwhile, and reports a
    // lost connection or, while the connection stands, a due renewal, once.
    void DeliverPending() override;
    // Lets the output drain, then lets go of the MIDI system as a lost host
    // does, without a report.
    void Retire() override;

    // Whether the MIDI system went away; sends are dropped from then on.
    bool connectionLost() const noexcept { return lost_.load(); }
    // Sends not queued: ring full, connection lost, or a status that starts
    // no short message.
    std::uint64_t droppedSends() const noexcept { return droppedSends_.load(); }
    // Received messages the owner's thread was too slow to take.
    std::uint64_t droppedInputs() const noexcept { return input_.overflows(); }

protected:
    const HostClock& clock() const noexcept { return clock_; }
    // The flags as a received message finds them (see routeInput); the MIDI
    // thread takes them once per batch of input.
    InputCase arrivalCase() const noexcept {
        InputCase c;
        c.divert = divert_.load(std::memory_order_relaxed);
        c.raise = raise_.load(std::memory_order_relaxed);
        return c;
    }
    InputHandoff& input() noexcept { return input_; }
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
    std::atomic<std::int32_t> divert_{0};
    std::atomic<std::int32_t> raise_{0};
    InputHandoff input_;
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
