// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A host for tests: its clock is whatever the test sets, and it records every
// call made on it, with the host time at which it was made. It also drives
// a processor (the player) on scripted cycles: one millisecond of its clock
// is one cycle, and time passes only when the test runs cycles (Run) or the
// program waits on the host (SleepMs).
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/api/CycleProcessor.h"
#include "host/api/HostAutomation.h"
#include "support/ScriptedCycles.h"

namespace vlx::test {

struct HostCall {
    std::string member;  // "SendMidiMessage", "SendStep", "DivertInput=", "HostTime", ...
    std::int32_t time = 0;  // host time when the call was made
    std::vector<std::int32_t> args;
    bool operator==(const HostCall&) const = default;
};

// One message sent through SendMidiMessage or SendStep; which of the two is
// in the call log (steps()).
struct SentMessage {
    std::int32_t time = 0;
    std::int32_t port = 0;
    std::int32_t status = 0;
    std::int32_t data1 = 0;
    std::int32_t data2 = 0;
    bool operator==(const SentMessage&) const = default;
};

class ScriptedHost : public HostAutomation, public CycleDriver {
public:
    std::int32_t clock = 0;  // the host time the test has set
    std::int32_t divert = 0;
    std::int32_t raise = 0;
    std::int32_t exitWithClient = 0;
    std::int32_t instance = 1;
    std::string version = "Scripted 1.0";
    std::vector<HostCall> calls;
    std::vector<SentMessage> sent;
    // Runs inside SendMidiMessage, after the message is recorded: lets a test
    // deliver input while the program waits in a call into the host.
    std::function<void()> duringSend;
    // Runs inside SleepMs; by default the clock advances by the sleep.
    std::function<void(std::int32_t)> duringSleep;
    // The driver's cycles: 48 frames each, one millisecond of the clock.
    ScriptedCycles cycles = [] {
        ScriptedCycles c;
        c.period = 48;
        return c;
    }();
    CycleProcessor* processor = nullptr;
    // What Reopener gives; by default the host cannot be reopened.
    Reopen reopen;

    std::string HostVersion() override { return log("HostVersion"), version; }
    std::int32_t ExitWithClient() override { return log("ExitWithClient"), exitWithClient; }
    void ExitWithClient(std::int32_t v) override { log("ExitWithClient=", {v}), exitWithClient = v; }
    std::int32_t InstanceNumber() override { return log("InstanceNumber"), instance; }
    std::int32_t DivertInput() override { return log("DivertInput"), divert; }
    void DivertInput(std::int32_t v) override { log("DivertInput=", {v}), divert = v; }
    std::int32_t RaiseInputEvents() override { return log("RaiseInputEvents"), raise; }
    void RaiseInputEvents(std::int32_t v) override { log("RaiseInputEvents=", {v}), raise = v; }
    void SendMidiMessage(std::int32_t port, std::int32_t status, std::int32_t d1, std::int32_t d2) override {
        log("SendMidiMessage", {port, status, d1, d2});
        sent.push_back({clock, port, status, d1, d2});
        if (duringSend) duringSend();
    }
    void SendStep(std::int32_t port, std::int32_t status, std::int32_t d1, std::int32_t d2) override {
        log("SendStep", {port, status, d1, d2});
        sent.push_back({clock, port, status, d1, d2});
        if (duringSend) duringSend();
    }
    std::int32_t HostTime() override { return log("HostTime"), clock; }
    void Drive(CycleProcessor* p) override {
        log("Drive", {p ? 1 : 0});
        processor = p;
    }
    Reopen Reopener() override { return log("Reopener"), reopen; }
    void Retire() override { log("Retire"); }
    // By default the clock advances by the sleep, and the processor plays on.
    void SleepMs(std::int32_t n) override {
        log("SleepMs", {n});
        if (duringSleep)
            duringSleep(n);
        else
            Run(n);
    }

    // Runs the processor's cycles for `ms` milliseconds of the clock.
    void Run(std::int32_t ms) {
        for (std::int32_t i = 0; i < ms; ++i) {
            if (processor) cycles.Cycle(*processor, cycles.period);
            ++clock;
        }
    }
    // Input for the processor, arriving at the start of the next cycle.
    void Play(Bytes bytes) { cycles.At(cycles.frame, std::move(bytes)); }
    // What the processor wrote, as (host ms of its cycle, bytes), since the
    // last take; the clock's ms 0 is the driver's first cycle.
    std::vector<FramedMessage> TakeWritten() { return cycles.Take(); }

    void LoseConnection(const std::string& why) { RaiseConnectionLost(why); }
    void AskRenewal() { RaiseRenewalDue(); }

    // The names of the calls made, in order, leaving out HostTime reads.
    std::vector<std::string> memberCalls() const {
        std::vector<std::string> out;
        for (const auto& c : calls)
            if (c.member != "HostTime") out.push_back(c.member);
        return out;
    }
    // For each send in the log, in order: whether it was a step (SendStep).
    std::vector<bool> steps() const {
        std::vector<bool> out;
        for (const auto& c : calls)
            if (c.member == "SendStep" || c.member == "SendMidiMessage") out.push_back(c.member == "SendStep");
        return out;
    }
    void clearLog() {
        calls.clear();
        sent.clear();
    }

private:
    void log(const char* member, std::vector<std::int32_t> args = {}) {
        calls.push_back({member, clock, std::move(args)});
    }
};

}  // namespace vlx::test
