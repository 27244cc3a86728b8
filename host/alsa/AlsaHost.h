// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The program's MIDI host on the ALSA sequencer, used when no JACK server
// answers: client "VLXArp" with the ports "in" and "out".
//
// One thread of its own owns the sequencer handle, at the best priority the
// system allows it (SCHED_FIFO where real-time rights are given). Given a
// CycleProcessor (the player), it runs it: it sleeps until input comes or
// the processor's next step falls due, then plays a cycle up to that moment
// (ThreadCycles: a frame is a microsecond) and sends what it wrote at once.
// Without one, it passes input to the output. Either way it writes what
// SendMidiMessage queued. The sequencer delivers at once.
//
// Connections are subscriptions, by "client name:port name"
// (AlsaConnections.cpp); a private port of its own hears the sequencer's
// announcements of ports and subscriptions and notes them for the owner.
//
// Output is direct, never through a sequencer queue with real-time stamps:
// a queue could absorb a late step, at the cost of notes sitting in the
// kernel when the client closes; direct output keeps closing and losing the
// sequencer simple.
#include <alsa/asoundlib.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "host/api/CycleProcessor.h"
#include "host/alsa/ThreadCycles.h"
#include "host/alsa/AlsaCodec.h"
#include "host/common/RealHost.h"

namespace vlx::host {

class AlsaOpenError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class AlsaHost final : public RealHost, public CycleDriver {
public:
    // Throws AlsaOpenError saying why the client could not be made.
    explicit AlsaHost(const std::string& clientName = "VLXArp");
    // Writes what is still queued, then leaves the sequencer.
    ~AlsaHost() override;

    std::string HostVersion() override;
    std::int32_t InstanceNumber() override { return instance_; }
    // Any port number means the one output port. Single producer.
    void SendMidiMessage(std::int32_t Port, std::int32_t Status, std::int32_t data1, std::int32_t data2) override;
    void Flush() override;
    void Drive(CycleProcessor* processor) override;
    // The scheduling the sequencer thread got: "SCHED_FIFO <priority>" or
    // "SCHED_OTHER".
    std::string threadPriority() const;

    std::string OwnPortName(OwnPort port) override;
    std::optional<std::vector<std::string>> Peers(OwnPort port) override;
    std::vector<std::string> Candidates(OwnPort port) override;
    bool Connect(OwnPort port, const std::string& peer) override;
    bool Disconnect(OwnPort port, const std::string& peer) override;
    bool ConnectPorts(const std::string& source, const std::string& destination) override;

    // Input the output had no room to pass through, even after waiting.
    std::uint64_t droppedThru() const noexcept { return droppedThru_.load(); }

private:
    class CycleWriter;

    void run();
    void raisePriority();
    void passThru();
    void playCycle(CycleProcessor& processor, std::int64_t nowUs);
    void writeQueued();
    // False (and counted) when the output had no room even after waiting.
    bool forward(snd_seq_event_t event);
    bool outputDirect(snd_seq_event_t& event);
    std::int32_t countEarlierNamesakes(const std::string& name) const;
    // Connections (AlsaConnections.cpp). Only the sequencer's ioctls are
    // used from the owner's thread, never the event buffers the sequencer
    // thread works with.
    void watchAnnouncements();
    snd_seq_addr_t own(OwnPort port) const noexcept;
    std::string nameOf(const snd_seq_addr_t& addr) const;
    // The port of another client of that name with the capabilities `caps`.
    std::optional<snd_seq_addr_t> portNamed(const std::string& name, unsigned caps) const;
    bool subscribe(const snd_seq_addr_t& sender, const snd_seq_addr_t& dest, bool on);

    snd_seq_t* seq_ = nullptr;
    int inPort_ = -1;
    int outPort_ = -1;
    int announcePort_ = -1;
    int wakeFd_ = -1;
    std::int32_t instance_ = 1;
    AlsaCodec codec_;
    std::atomic<bool> stop_{false};
    std::atomic<std::uint64_t> droppedThru_{0};
    std::atomic<CycleProcessor*> processor_{nullptr};
    std::atomic<bool> inCycle_{false};
    std::atomic<int> fifoPriority_{0};  // 0: not real-time
    ThreadCycles cycles_{steadyMicros()};
    std::vector<std::uint8_t> received_ = std::vector<std::uint8_t>(AlsaCodec::kMaxMessage);
    std::thread thread_;
};

}  // namespace vlx::host
