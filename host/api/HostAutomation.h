// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the program requires of its MIDI host: the automation members it
// calls. The engine and the window talk to the host only through this class;
// the real hosts (JACK, ALSA), the player's own host in its cycle and the
// tests' scripted host implement it. Input reaches the program in the host's
// cycle (CycleProcessor), never through this class.
//
// Flags, times, the instance number and the message arguments are 32-bit
// signed integers. A flag counts as on only when it reads exactly 1.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>

namespace vlx {

class HostAutomation {
public:
    using LostHandler = std::function<void(const std::string& why)>;
    using RenewalHandler = std::function<void()>;
    // Opens a host anew; throws while it cannot.
    using Reopen = std::function<std::shared_ptr<HostAutomation>()>;

    HostAutomation() = default;
    HostAutomation(const HostAutomation&) = delete;
    HostAutomation& operator=(const HostAutomation&) = delete;
    virtual ~HostAutomation() = default;

    // Short text naming the host's version, for the status line.
    virtual std::string HostVersion() = 0;
    // 1: the host closes when the program ends.
    virtual std::int32_t ExitWithClient() = 0;
    virtual void ExitWithClient(std::int32_t vData) = 0;
    // 1 for the first instance, 2 for the second beside it, and so on.
    virtual std::int32_t InstanceNumber() = 0;
    // While 1 the host routes no input to its output; the program forwards
    // what it wants.
    virtual std::int32_t DivertInput() = 0;
    virtual void DivertInput(std::int32_t vData) = 0;
    // While 1 every incoming message reaches the program.
    virtual std::int32_t RaiseInputEvents() = 0;
    virtual void RaiseInputEvents(std::int32_t vData) = 0;
    // Sends one message; Port -1 is the output port. Never blocks.
    virtual void SendMidiMessage(std::int32_t Port, std::int32_t Status, std::int32_t data1, std::int32_t data2) = 0;
    // Milliseconds of a clock that never runs backwards; wraps after 2^32 ms.
    virtual std::int32_t HostTime() = 0;
    virtual void SleepMs(std::int32_t n) = 0;

    // Sends one message of the arpeggio's steps (a step's note-on or its
    // note-off): a host that keeps room in its output for note-offs keeps it
    // for these too, so that passing data gives way to them. By default it
    // goes out like any send.
    virtual void SendStep(std::int32_t Port, std::int32_t Status, std::int32_t data1, std::int32_t data2) {
        SendMidiMessage(Port, Status, data1, data2);
    }
    // Whether the output refused the step sent last (no room left in the
    // cycle): its note is then not sounding, and no one may count it as
    // sent. By default nothing is refused.
    virtual bool StepRefused() const { return false; }
    // Returns once the messages sent so far have gone out (a host that queues
    // them waits a bounded time), for an owner that may not get to release
    // the host before the process ends. By default sends go out at once.
    virtual void Flush() {}

    // Once the connection is lost and reported, or the host asked to be
    // renewed: a way to open the same MIDI system again, with the ports,
    // their connections and the host time going on. Whatever it opens may
    // exist beside this host. Empty when the host cannot be reopened.
    virtual Reopen Reopener() { return {}; }
    // Lets go of the MIDI system for good once what was sent has gone out,
    // so that Reopener()'s host can take this one's place: from then on the
    // host sends, receives and reports nothing. By default there is nothing
    // to let go of.
    virtual void Retire() {}

    // Called once on the owner's thread when the MIDI system goes away.
    void OnConnectionLost(LostHandler handler) { lost_ = std::move(handler); }
    // Called once on the owner's thread when the host still plays but its
    // MIDI system, still there, refused it something in a way that may leave
    // it unable to make connections: the owner puts a host from Reopener() in
    // its place (after Retire) when the swap cannot be heard.
    void OnRenewalDue(RenewalHandler handler) { renewal_ = std::move(handler); }

    // Hosts whose news (a loss, a due renewal, ports changed) comes on
    // another thread hand it over through a file descriptor that turns
    // readable when news waits; the owner's event loop watches it and calls
    // DeliverPending, which reports it. -1: the host reports directly.
    virtual int EventFd() const { return -1; }
    virtual void DeliverPending() {}

protected:
    void RaiseConnectionLost(const std::string& why) {
        if (lost_) lost_(why);
    }
    void RaiseRenewalDue() {
        if (renewal_) renewal_();
    }

private:
    LostHandler lost_;
    RenewalHandler renewal_;
};

}  // namespace vlx
