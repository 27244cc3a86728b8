// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The program's MIDI host on a JACK server: client "VLXArp" with the MIDI
// ports "in" and "out".
//
// It drives a CycleProcessor (the player) in its process callback, when one
// is given: every cycle's input goes to the processor at its frames, and
// what the processor writes goes out in the same cycle at the frames it
// names. Without one, input passes to the output in the same cycle at the
// same frame. What the owner sends goes out at the start of the next cycle.
//
// A lost server is noticed by the shutdown callbacks and, on a JACK that
// calls neither, by a watchdog: when the process callback has not run for a
// while, it looks whether the server's socket still takes connections,
// which it does while the server is merely stopped. A lost host lets go
// of its client on the owner's thread before reporting the loss, so that
// the owner may open another (Reopener) while this one still exists. A
// plain shutdown callback after which the server's socket still listens and
// the process callback still runs is no loss (shutdownMeaning): the host
// plays on and asks to be renewed. The watchdog tells which it was.
#include <jack/jack.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "host/api/CycleProcessor.h"
#include "host/jack/CycleFrames.h"
#include "host/common/RealHost.h"

namespace vlx::host {

// Runs a callback from libjack with cancellation held off. JACK 2 cancels
// the client's threads when the client closes after the server died, and
// asynchronously: wherever they are. Inside the callback that would unwind
// through noexcept code and abort the program. The callback runs to its end;
// a cancellation that came meanwhile acts as the state is restored, in this
// frame, with nothing of ours left to unwind.
template <class Callback>
auto uncancellable(Callback&& callback) {
    int previous = PTHREAD_CANCEL_ENABLE;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &previous);
    if constexpr (std::is_void_v<std::invoke_result_t<Callback>>) {
        callback();
        pthread_setcancelstate(previous, nullptr);
    } else {
        auto result = callback();
        pthread_setcancelstate(previous, nullptr);
        return result;
    }
}

class JackOpenError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// What a shutdown callback means. JACK 2 calls the info callback, and only
// when the server goes. PipeWire's JACK calls the plain one when the server
// goes (after a stop on purpose its socket still listens for a moment, but
// the process callback is called no more) and, in some versions (Debian
// 12's 0.3.65), for any error the server reports, such as "unknown
// resource" when another client removed a link a moment after we made it.
// Then the server is there and runs the process callback on, but a libjack
// that took the error for a shutdown may refuse the client's requests from
// then on: the client is to be replaced, quietly.
enum class ShutdownCall { Info, Plain };
enum class ShutdownMeaning { Lost, RenewalDue };
constexpr ShutdownMeaning shutdownMeaning(ShutdownCall call, bool serverListens, bool processRuns) noexcept {
    return call == ShutdownCall::Plain && serverListens && processRuns ? ShutdownMeaning::RenewalDue
                                                                       : ShutdownMeaning::Lost;
}

class JackHost final : public RealHost, public CycleDriver {
public:
    struct Options {
        std::string clientName = "VLXArp";
        // Where host millisecond 0 began (steady microseconds), so that a
        // host reopened after a loss goes on with the host time of the one
        // lost; below 0: now.
        std::int64_t clockStartMicros = -1;
        // False: the loss of the server is noticed by the watchdog alone,
        // as on a JACK that never calls the shutdown callbacks.
        bool shutdownCallbacks = true;
        // How long the process callback may stay away before the watchdog
        // asks whether the server is still there.
        std::chrono::milliseconds quietBeforeProbe{1000};
    };

    // Opens the client on the default server (JACK_DEFAULT_SERVER), never
    // starting one. Throws JackOpenError saying why it could not.
    explicit JackHost(const Options& options);
    JackHost() : JackHost(Options{}) {}
    // Lets queued output go out before leaving the server.
    ~JackHost() override;

    // Once the server is lost: opens a new client of the same name on the
    // same server, with the host time going on (throws JackOpenError while
    // no server answers). Its connections are the owner's to make again.
    Reopen Reopener() override;

    std::string HostVersion() override;
    std::int32_t InstanceNumber() override;
    // Any port number means the one output port. Single producer: call from
    // one thread only (the owner's). It goes out at the next cycle's start.
    void SendMidiMessage(std::int32_t Port, std::int32_t Status, std::int32_t data1, std::int32_t data2) override;
    // Returns once what was sent or written so far has gone out.
    void Flush() override { letOutputDrain(); }

    void Drive(CycleProcessor* processor) override;

    // Connections of VLXArp:in and VLXArp:out (JackConnections.cpp). Ports
    // are JACK's full names; candidates are MIDI ports only.
    std::string OwnPortName(OwnPort port) override;
    std::optional<std::vector<std::string>> Peers(OwnPort port) override;
    std::vector<std::string> Candidates(OwnPort port) override;
    bool Connect(OwnPort port, const std::string& peer) override;
    bool Disconnect(OwnPort port, const std::string& peer) override;
    bool ConnectPorts(const std::string& source, const std::string& destination) override;

    // As the server named the client when it opened.
    std::string clientName() const { return clientName_; }
    std::uint32_t bufferSize() const { return client_ ? jack_get_buffer_size(client_) : bufferSize_; }
    std::uint32_t sampleRate() const { return client_ ? jack_get_sample_rate(client_) : sampleRate_; }
    // Input the output port had no room to pass (without a processor).
    std::uint64_t droppedThru() const noexcept { return droppedThru_.load(); }
    // Events the input port carried, over every callback, and events
    // written to the output port.
    std::uint64_t inputEvents() const noexcept { return inputEvents_.load(); }
    std::uint64_t outputEvents() const noexcept { return outputEvents_.load(); }
    // The slowest process callback so far, in microseconds.
    std::int64_t worstCallbackMicros() const noexcept { return worstCallbackUs_.load(); }
    std::uint64_t cycles() const noexcept { return cycles_.load(); }
    // Cycles the server ran without calling us, and callbacks whose
    // reported first frame did not move on by a whole cycle (FramePosition).
    std::uint64_t missedCycles() const noexcept { return missedCycles_.load(); }
    std::uint64_t cyclesBehind() const noexcept { return cyclesBehind_.load(); }
    // CPU time the process thread has used so far, in microseconds; -1 when
    // the system cannot tell.
    std::int64_t processThreadCpuMicros() const;

private:
    static int process(jack_nframes_t nframes, void* self);
    static void freewheel(int starting, void* self);
    static void shutdown(jack_status_t code, const char* reason, void* self);
    static void plainShutdown(void* self);
    // JACK's notification thread: only notes the change for the owner.
    static void portRegistered(jack_port_id_t port, int registered, void* self);
    static void portConnected(jack_port_id_t a, jack_port_id_t b, int connected, void* self);
    void watchPorts();
    jack_port_t* own(OwnPort port) const noexcept { return port == OwnPort::In ? in_ : out_; }
    int processCycle(jack_nframes_t nframes);
    void passThru(void* inBuf, std::uint32_t inputs, CycleOutput& out);
    void letOutputDrain();
    void watch();
    bool serverAnswers() const;
    bool serverListens() const;
    ShutdownMeaning plainShutdownMeaning();
    void stopWatch();
    // A lost server's client is let go before the owner hears of the loss:
    // the owner may open a new client at once, and libjack cannot close a
    // lost client once another is open.
    void beforeLossReported() override;

    Options options_;
    jack_client_t* client_ = nullptr;  // null once a lost server's client is let go
    std::string clientName_;
    std::uint32_t bufferSize_ = 0;
    std::uint32_t sampleRate_ = 0;
    jack_port_t* in_ = nullptr;
    jack_port_t* out_ = nullptr;
    FramePosition position_;                // process thread only
    CycleLateness lateness_;                // process thread only
    std::atomic<bool> freewheeling_{false};
    std::atomic<CycleProcessor*> processor_{nullptr};
    std::atomic<bool> inCycle_{false};  // the process callback runs
    std::int32_t instance_ = 1;
    std::string ownNames_[2];  // "<client>:in" and "<client>:out", as opened
    std::string serverSocket_;  // where the server listens; empty: unknown
    std::thread watchdog_;
    std::mutex watchMutex_;
    std::condition_variable watchWake_;
    bool stopWatch_ = false;      // under watchMutex_
    bool plainShutdown_ = false;  // under watchMutex_: for the watchdog to judge
    std::atomic<std::uint64_t> droppedThru_{0};
    std::atomic<std::uint64_t> inputEvents_{0};
    std::atomic<std::uint64_t> outputEvents_{0};
    std::atomic<std::int64_t> worstCallbackUs_{0};
    std::atomic<std::uint64_t> cycles_{0};
    std::atomic<std::uint64_t> missedCycles_{0};
    std::atomic<std::uint64_t> cyclesBehind_{0};
};

// The instance number of the client whose input port is `ownPort`, from the
// MIDI input ports the server lists (ours among them). A server that gives
// every client a name of its own (JACK 2: "VLXArp", then "VLXArp-01", ...,
// the lowest free) numbers the client by that name: 1, or n + 1 for "-0n".
// A server that lets clients share a name lists another client's port under
// our port's own name (PipeWire's JACK shows its own client by the plain
// name and the others with node ids, which differ from one client's view to
// another's): then the name tells nothing, and the client comes after the
// clients of its kind already there, those with a port "<asked>:in" or
// "<asked>-<digits>:in".
std::int32_t instanceNumber(const std::string& asked, const std::string& ownPort,
                            const std::vector<std::string>& midiInputs);

}  // namespace vlx::host
