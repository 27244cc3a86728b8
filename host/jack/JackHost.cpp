// SPDX-License-Identifier: GPL-3.0-or-later
#include "host/jack/JackHost.h"

#include <jack/midiport.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <utility>

namespace vlx::host {

namespace {

std::string serverName() {
    const char* env = std::getenv("JACK_DEFAULT_SERVER");
    return env && *env ? env : "default";
}

std::string openFailure(jack_status_t status) {
    const std::string server = "\"" + serverName() + "\"";
    if (status & JackServerFailed) return "no JACK server " + server + " is running";
    if (status & JackVersionError) return "the JACK server " + server + " speaks another protocol version";
    if (status & JackNameNotUnique) return "the client name is taken";
    if (status & JackInitFailure) return "the JACK client could not be initialised";
    if (status & JackShmFailure) return "the JACK shared memory could not be reached";
    if (status & JackServerError) return "the JACK server " + server + " stopped answering while the client opened";
    return "the JACK server " + server + " refused the client (status 0x" + [&] {
        char hex[16];
        std::snprintf(hex, sizeof hex, "%x", static_cast<unsigned>(status));
        return std::string(hex);
    }() + ")";
}

// libjack prints its own complaints on stderr while a client fails to open;
// the caller gets a clearer reason from us. (The error handler is set, never
// read back: PipeWire's libjack need not export the variable that holds it.)
std::atomic<bool> quietJack{false};

void jackError(const char* message) {
    if (!quietJack.load()) std::fprintf(stderr, "%s\n", message);
}

class QuietJackErrors {
public:
    QuietJackErrors() {
        jack_set_error_function(&jackError);
        quietJack.store(true);
    }
    ~QuietJackErrors() { quietJack.store(false); }
    QuietJackErrors(const QuietJackErrors&) = delete;
    QuietJackErrors& operator=(const QuietJackErrors&) = delete;
};

// Every MIDI input port the server lists.
std::vector<std::string> midiInputs(jack_client_t* client) {
    std::vector<std::string> names;
    const char** ports = jack_get_ports(client, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput);
    if (!ports) return names;
    for (const char** p = ports; *p; ++p) names.emplace_back(*p);
    jack_free(ports);
    return names;
}

// 1 for the name asked for, n + 1 for the "-0n" suffix JACK 2 gives a
// second, third, ... client of the same name.
std::int32_t instanceFromClientName(const std::string& asked, const std::string& given) {
    if (given.size() <= asked.size() + 1 || given.compare(0, asked.size(), asked) != 0 || given[asked.size()] != '-')
        return 1;
    const std::string suffix = given.substr(asked.size() + 1);
    if (suffix.size() > 4 || !std::all_of(suffix.begin(), suffix.end(), [](unsigned char c) { return std::isdigit(c); }))
        return 1;
    return std::stoi(suffix) + 1;
}

// "<asked>:in" or "<asked>-<digits>:in".
bool ofOurKind(const std::string& asked, const std::string& port) {
    static const std::string kIn = ":in";
    if (port.size() < asked.size() + kIn.size() || port.compare(0, asked.size(), asked) != 0 ||
        port.compare(port.size() - kIn.size(), kIn.size(), kIn) != 0)
        return false;
    const std::string between = port.substr(asked.size(), port.size() - asked.size() - kIn.size());
    if (between.empty()) return true;
    return between.size() > 1 && between[0] == '-' &&
           std::all_of(between.begin() + 1, between.end(), [](unsigned char c) { return std::isdigit(c); });
}

bool socketListens(const std::string& path) {
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return true;  // cannot ask: not a sign of a lost server
    const bool refused = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
                         (errno == ECONNREFUSED || errno == ENOENT);
    ::close(fd);
    return !refused;
}

// Where the server the client opened on listens: PipeWire's socket in its
// runtime folder, or JACK 2's in /dev/shm. Empty when it is not there (a
// JACK that keeps it elsewhere).
std::string serverSocketPath() {
    auto env = [](const char* name) -> std::string {
        const char* value = std::getenv(name);
        return value && *value ? value : "";
    };
    std::string path;
    if (std::strstr(jack_get_version_string(), "PipeWire")) {
        std::string folder = env("PIPEWIRE_RUNTIME_DIR");
        if (folder.empty()) folder = env("XDG_RUNTIME_DIR");
        const std::string remote = env("PIPEWIRE_REMOTE");
        path = folder + "/" + (remote.empty() ? "pipewire-0" : remote);
    } else {
        path = "/dev/shm/jack_" + serverName() + "_" + std::to_string(::getuid()) + "_0";
    }
    return socketListens(path) ? path : std::string();
}


}  // namespace

std::int32_t instanceNumber(const std::string& asked, const std::string& ownPort,
                            const std::vector<std::string>& midiInputs) {
    const auto namesakes = std::count(midiInputs.begin(), midiInputs.end(), ownPort);
    if (namesakes <= 1) return instanceFromClientName(asked, ownPort.substr(0, ownPort.rfind(':')));
    const auto ofKind = std::count_if(midiInputs.begin(), midiInputs.end(),
                                      [&](const std::string& port) { return ofOurKind(asked, port); });
    return static_cast<std::int32_t>(std::max<std::ptrdiff_t>(1, ofKind));
}

JackHost::JackHost(const Options& options)
    : RealHost(options.clockStartMicros >= 0 ? options.clockStartMicros : steadyMicros()), options_(options) {
    jack_status_t status{};
    {
        QuietJackErrors quiet;
        // A server that has just started can fail a client's open now and
        // then without any other reason: asked again, it answers.
        constexpr int kPatientOpens = 4;
        const auto otherReason = JackServerFailed | JackVersionError | JackNameNotUnique | JackInitFailure | JackShmFailure;
        for (int open = 1;; ++open) {
            client_ = jack_client_open(options.clientName.c_str(), JackNoStartServer, &status);
            if (client_ || !(status & JackServerError) || (status & otherReason) || open == kPatientOpens) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(100 * open));
        }
    }
    if (!client_) throw JackOpenError(openFailure(status));

    auto fail = [this](const std::string& why) {
        jack_client_close(client_);
        throw JackOpenError(why);
    };

    clientName_ = jack_get_client_name(client_);
    bufferSize_ = jack_get_buffer_size(client_);
    sampleRate_ = jack_get_sample_rate(client_);

    in_ = jack_port_register(client_, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    out_ = jack_port_register(client_, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    if (!in_ || !out_) fail("cannot register the MIDI ports \"in\" and \"out\"");
    instance_ = instanceNumber(options.clientName, jack_port_name(in_), midiInputs(client_));
    if (jack_set_process_callback(client_, &JackHost::process, this) != 0) fail("cannot set the process callback");
    jack_set_freewheel_callback(client_, &JackHost::freewheel, this);
    if (options.shutdownCallbacks) {
        // JACK 2 calls the first, PipeWire's JACK only the second.
        jack_on_info_shutdown(client_, &JackHost::shutdown, this);
        jack_on_shutdown(client_, &JackHost::plainShutdown, this);
    }
    watchPorts();
    serverSocket_ = serverSocketPath();  // before a shutdown callback can be judged
    if (jack_activate(client_) != 0) fail("cannot activate the JACK client");
    ownNames_[0] = jack_port_name(in_);
    ownNames_[1] = jack_port_name(out_);
    watchdog_ = std::thread([this] { watch(); });
}

JackHost::~JackHost() {
    Drive(nullptr);
    stopWatch();
    letOutputDrain();
    if (client_) {
        if (!connectionLost()) jack_deactivate(client_);
        jack_client_close(client_);
    }
}

// The process callback marks itself in before it looks for the processor,
// so that once the new one is stored and the callback is seen out, no cycle
// uses the old one (both sequentially consistent).
void JackHost::Drive(CycleProcessor* processor) {
    processor_.store(processor);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (inCycle_.load() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::microseconds(100));
}

HostAutomation::Reopen JackHost::Reopener() {
    Options again = options_;
    again.clockStartMicros = clock().startMicros();
    return [again]() -> std::shared_ptr<HostAutomation> { return std::make_shared<JackHost>(again); };
}

void JackHost::beforeLossReported() {
    if (!client_) return;
    stopWatch();
    {
        QuietJackErrors quiet;  // libjack's complaints about the server gone; the owner says it better
        jack_client_close(client_);
    }
    client_ = nullptr;
}

void JackHost::letOutputDrain() {
    if (connectionLost()) return;
    const auto periodUs = 1'000'000LL * bufferSize() / std::max<std::uint32_t>(1, sampleRate());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(200) +
                          std::chrono::microseconds(6 * periodUs);
    auto waiting = [&] { return !connectionLost() && std::chrono::steady_clock::now() < deadline; };
    while (sendsWaiting() && waiting())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // The last messages taken were written into this cycle's buffer; one more
    // cycle and the clients after us have read it.
    const auto seen = cycles_.load();
    while (cycles_.load() < seen + 2 && waiting()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// Wakes a few times a second, and at once to judge a plain shutdown
// callback; a server that runs our process callback is left alone. One that
// has not for quietBeforeProbe is looked at, and again after twice as long
// each time it is there (a server that pauses its graph on purpose is not
// looked at every second).
void JackHost::watch() {
    using Clock = std::chrono::steady_clock;
    constexpr auto kTick = std::chrono::milliseconds(250);
    constexpr auto kLongestQuiet = std::chrono::seconds(30);
    std::unique_lock lock(watchMutex_);
    std::uint64_t seen = cycles_.load();
    auto quietSince = Clock::now();
    Clock::duration allowed = options_.quietBeforeProbe;
    for (;;) {
        watchWake_.wait_for(lock, kTick, [this] { return stopWatch_ || plainShutdown_; });
        if (stopWatch_ || connectionLost()) return;
        if (std::exchange(plainShutdown_, false)) {
            lock.unlock();
            const ShutdownMeaning meaning = plainShutdownMeaning();
            lock.lock();
            if (meaning == ShutdownMeaning::Lost) {
                markLost("The JACK server went away.");
                return;
            }
            markRenewalDue();
        }
        if (const std::uint64_t now = cycles_.load(); now != seen) {
            seen = now;
            quietSince = Clock::now();
            allowed = options_.quietBeforeProbe;
            continue;
        }
        if (Clock::now() - quietSince < allowed) continue;
        lock.unlock();
        const bool answers = serverAnswers();
        lock.lock();
        if (!answers) {
            markLost("The JACK server stopped answering.");
            return;
        }
        quietSince = Clock::now();
        allowed = std::min<Clock::duration>(2 * allowed, kLongestQuiet);
    }
}

// Whether the server still listens on its socket: a stopped server's takes
// the connection (the system queues it), a dead server's refuses it. Nothing
// is asked of libjack, whose calls wait for a stopped server, and nothing
// reaches the other JACK clients. A server whose socket was not found at the
// start counts as there.
bool JackHost::serverAnswers() const { return serverSocket_.empty() || socketListens(serverSocket_); }

// Unlike for the watchdog's probe, a server whose socket was not found does
// not count as there: a shutdown callback is a loss unless the server shows
// otherwise.
bool JackHost::serverListens() const { return !serverSocket_.empty() && socketListens(serverSocket_); }

// Whether the server runs two more cycles (the first may have begun before
// the callback) within a few periods, and at least a fifth of a second.
ShutdownMeaning JackHost::plainShutdownMeaning() {
    if (!serverListens()) return ShutdownMeaning::Lost;
    const std::uint64_t from = cycles_.load();
    const auto periodUs = 1'000'000LL * bufferSize_ / std::max<std::uint32_t>(1, sampleRate_);
    const auto until = std::chrono::steady_clock::now() +
                       std::max<std::chrono::microseconds>(std::chrono::milliseconds(200),
                                                           std::chrono::microseconds(4 * periodUs));
    auto runs = [&] { return cycles_.load() >= from + 2; };
    while (!runs() && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return shutdownMeaning(ShutdownCall::Plain, serverListens(), runs());
}

void JackHost::stopWatch() {
    {
        std::lock_guard lock(watchMutex_);
        stopWatch_ = true;
    }
    watchWake_.notify_all();
    if (watchdog_.joinable()) watchdog_.join();
}

std::string JackHost::HostVersion() { return std::string(kHostLayerVersion) + " JACK"; }

std::int32_t JackHost::InstanceNumber() { return instance_; }

void JackHost::SendMidiMessage(std::int32_t, std::int32_t Status, std::int32_t data1, std::int32_t data2) {
    queueSend(Status, data1, data2);
}

std::int64_t JackHost::processThreadCpuMicros() const {
    clockid_t id{};
    timespec ts{};
    if (!client_ || pthread_getcpuclockid(jack_client_thread_id(client_), &id) != 0 || clock_gettime(id, &ts) != 0)
        return -1;
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000 + ts.tv_nsec / 1000;
}

void JackHost::freewheel(int starting, void* self) {
    static_cast<JackHost*>(self)->freewheeling_.store(starting != 0, std::memory_order_relaxed);
}

int JackHost::process(jack_nframes_t nframes, void* self) {
    return uncancellable([&] { return static_cast<JackHost*>(self)->processCycle(nframes); });
}

void JackHost::shutdown(jack_status_t, const char* reason, void* self) {
    uncancellable([&] {
        char why[256];
        std::snprintf(why, sizeof why, "The JACK server went away%s%s", reason && *reason ? ": " : ".",
                      reason && *reason ? reason : "");
        static_cast<JackHost*>(self)->markLost(why);
    });
}

// Not judged here: PipeWire's libjack may hold the process callback off
// while this one runs.
void JackHost::plainShutdown(void* self) {
    uncancellable([&] {
        auto* host = static_cast<JackHost*>(self);
        {
            std::lock_guard lock(host->watchMutex_);
            host->plainShutdown_ = true;
        }
        host->watchWake_.notify_all();
    });
}

namespace {

// A cycle's MIDI output buffer, written in time order, with room kept for
// steps and note-offs (OutputRoom) out of what the server carries
// (kCycleBytes). Room is asked before writing: libjack reports a full buffer
// through its error handler, which prints, and printing has no place in the
// process callback.
class CycleWriter final : public CycleOutput {
public:
    CycleWriter(void* buffer, jack_nframes_t nframes) : buffer_(buffer), nframes_(nframes) {}
    std::uint32_t written() const noexcept { return room_.written(); }
    bool Write(std::uint32_t offset, const std::uint8_t* bytes, std::uint32_t size) noexcept override {
        return write(offset, bytes, size, false);
    }
    bool WriteStep(std::uint32_t offset, const std::uint8_t* bytes, std::uint32_t size) noexcept override {
        return write(offset, bytes, size, true);
    }

private:
    bool write(std::uint32_t offset, const std::uint8_t* bytes, std::uint32_t size, bool step) noexcept {
        if (nframes_ == 0 || size == 0 || jack_midi_max_event_size(buffer_) < size) return false;
        const auto at = std::min<jack_nframes_t>(std::max<jack_nframes_t>(offset, last_), nframes_ - 1);
        const std::uint64_t cost = cycleBytesOf(size);
        if (!room_.allows(priorityOf(step, bytes, size), kCycleBytes - used_, cost)) return false;
        if (jack_midi_event_write(buffer_, at, bytes, size) != 0) return false;
        last_ = at;
        used_ += cost;
        room_.took();
        return true;
    }

    void* buffer_;
    jack_nframes_t nframes_;
    jack_nframes_t last_ = 0;
    std::uint64_t used_ = 0;  // of kCycleBytes
    OutputRoom room_{kJackOutputLimits};
};

}  // namespace

// Real-time: no locks, no allocation, no waiting. Every callback is a new
// cycle: its output starts empty and its input is read whole.
int JackHost::processCycle(jack_nframes_t nframes) {
    const std::int64_t enteredUs = steadyMicros();
    const jack_time_t jackNowUs = jack_get_time();
    void* inBuf = jack_port_get_buffer(in_, nframes);
    void* outBuf = jack_port_get_buffer(out_, nframes);
    jack_midi_clear_buffer(outBuf);
    const std::uint64_t first = position_.begin(jack_last_frame_time(client_), nframes);
    missedCycles_.store(position_.missed(), std::memory_order_relaxed);
    cyclesBehind_.store(position_.behind(), std::memory_order_relaxed);
    const std::uint32_t rate = jack_get_sample_rate(client_);
    jack_nframes_t cycleFrame = 0;
    jack_time_t cycleUs = jackNowUs, nextUs = 0;
    float periodUs = 0;
    jack_get_cycle_times(client_, &cycleFrame, &cycleUs, &nextUs, &periodUs);
    const std::uint64_t late =
        lateness_.lateFrames(jackNowUs, cycleUs, nframes, rate, freewheeling_.load(std::memory_order_relaxed));
    CycleWriter out(outBuf, nframes);

    // What the owner sent goes out first, as soon as it can; what finds no
    // room waits for the next cycle.
    while (sends().read_available() > 0 && out.Write(0, sends().front().bytes.data(), sends().front().size))
        sends().pop();

    // Counted once and read as counted: a late callback on a server
    // without real time may find an upstream client writing the buffer.
    const std::uint32_t inputs = jack_midi_get_event_count(inBuf);
    inputEvents_.fetch_add(inputs, std::memory_order_relaxed);
    inCycle_.store(true);
    if (CycleProcessor* processor = processor_.load()) {
        processor->BeginCycle({first, nframes, rate, late}, out);
        jack_midi_event_t in{};
        for (std::uint32_t i = 0; i < inputs; ++i)
            if (jack_midi_event_get(&in, inBuf, i) == 0) processor->Receive(in.time, in.buffer, static_cast<std::uint32_t>(in.size));
        processor->EndCycle();
    } else {
        passThru(inBuf, inputs, out);
    }
    inCycle_.store(false);
    outputEvents_.fetch_add(out.written(), std::memory_order_relaxed);

    cycles_.fetch_add(1, std::memory_order_release);
    const std::int64_t spent = steadyMicros() - enteredUs;
    if (spent > worstCallbackUs_.load(std::memory_order_relaxed))
        worstCallbackUs_.store(spent, std::memory_order_relaxed);
    return 0;
}

// Without the player, input passes to the output at its own frame.
void JackHost::passThru(void* inBuf, std::uint32_t inputs, CycleOutput& out) {
    jack_midi_event_t in{};
    for (std::uint32_t i = 0; i < inputs; ++i) {
        if (jack_midi_event_get(&in, inBuf, i) != 0) continue;
        if (!out.Write(in.time, in.buffer, static_cast<std::uint32_t>(in.size)))
            droppedThru_.fetch_add(1, std::memory_order_relaxed);
    }
}

}  // namespace vlx::host
