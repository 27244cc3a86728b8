// SPDX-License-Identifier: GPL-3.0-or-later
#include "host/alsa/AlsaHost.h"

#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "host/api/OutputRoom.h"

namespace vlx::host {

namespace {

std::string alsaError(const std::string& what, int err) { return what + " (" + snd_strerror(err) + ")"; }

}  // namespace

AlsaHost::AlsaHost(const std::string& clientName) {
    if (const int err = snd_seq_open(&seq_, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK); err < 0)
        throw AlsaOpenError(alsaError("cannot open the ALSA sequencer", err));
    auto fail = [this](const std::string& why) {
        if (wakeFd_ >= 0) ::close(wakeFd_);
        snd_seq_close(seq_);
        throw AlsaOpenError(why);
    };
    snd_seq_set_client_name(seq_, clientName.c_str());
    inPort_ = snd_seq_create_simple_port(seq_, "in", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
                                         SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    outPort_ = snd_seq_create_simple_port(seq_, "out", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ,
                                          SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    if (inPort_ < 0 || outPort_ < 0) fail(alsaError("cannot create the ALSA ports", inPort_ < 0 ? inPort_ : outPort_));
    wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd_ < 0) fail("cannot create the output queue's eventfd");
    instance_ = countEarlierNamesakes(clientName) + 1;
    watchAnnouncements();
    thread_ = std::thread([this] { run(); });
}

AlsaHost::~AlsaHost() {
    Drive(nullptr);
    stop_.store(true);
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto n = ::write(wakeFd_, &one, sizeof one);
    thread_.join();
    snd_seq_close(seq_);
    ::close(wakeFd_);
}

std::string AlsaHost::HostVersion() { return std::string(kHostLayerVersion) + " ALSA"; }

void AlsaHost::SendMidiMessage(std::int32_t, std::int32_t Status, std::int32_t data1, std::int32_t data2) {
    if (!queueSend(Status, data1, data2)) return;
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto n = ::write(wakeFd_, &one, sizeof one);
}

void AlsaHost::Flush() {
    // The sequencer thread empties the queue as soon as it is woken.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
    while (sendsWaiting() && !connectionLost() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// As the JACK host's: the thread marks itself in before it looks for the
// processor, so once the new one is stored and the thread is seen out, no
// cycle uses the old one.
void AlsaHost::Drive(CycleProcessor* processor) {
    processor_.store(processor);
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto n = ::write(wakeFd_, &one, sizeof one);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (inCycle_.load() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::microseconds(100));
}

std::string AlsaHost::threadPriority() const {
    const int priority = fifoPriority_.load();
    return priority > 0 ? "SCHED_FIFO " + std::to_string(priority) : "SCHED_OTHER";
}

// The steps are sent as this thread wakes for them: real-time scheduling,
// where the system gives it (the audio group's rtprio, or root), keeps other
// programs from holding it up. Without, it keeps the normal scheduling.
void AlsaHost::raisePriority() {
    rlimit limit{};
    int allowed = sched_get_priority_max(SCHED_FIFO);
    if (::geteuid() != 0 && ::getrlimit(RLIMIT_RTPRIO, &limit) == 0)
        allowed = static_cast<int>(std::min<rlim_t>(limit.rlim_cur, static_cast<rlim_t>(allowed)));
    // Below JACK's own threads (JACK 2 runs its clients at 70 and up), above
    // the desktop.
    const int wanted = std::min(allowed, 60);
    if (wanted <= 0) return;
    sched_param param{};
    param.sched_priority = wanted;
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0) fifoPriority_.store(wanted);
}

std::int32_t AlsaHost::countEarlierNamesakes(const std::string& name) const {
    const int me = snd_seq_client_id(seq_);
    snd_seq_client_info_t* info = nullptr;
    snd_seq_client_info_alloca(&info);
    snd_seq_client_info_set_client(info, -1);
    std::int32_t count = 0;
    while (snd_seq_query_next_client(seq_, info) >= 0) {
        const int id = snd_seq_client_info_get_client(info);
        if (id != me && id < me && name == snd_seq_client_info_get_name(info)) ++count;
    }
    return count;
}

void AlsaHost::run() {
    raisePriority();
    const int seqFds = snd_seq_poll_descriptors_count(seq_, POLLIN);
    std::vector<pollfd> fds(static_cast<std::size_t>(seqFds) + 1);
    snd_seq_poll_descriptors(seq_, fds.data(), static_cast<unsigned>(seqFds), POLLIN);
    fds.back() = {wakeFd_, POLLIN, 0};
    while (!stop_.load()) {
        inCycle_.store(true);
        CycleProcessor* processor = processor_.load();
        const std::int64_t sleep = processor ? cycles_.sleepMicros(processor->NextDueFrame(), steadyMicros()) : -1;
        inCycle_.store(false);
        timespec timeout{sleep / 1'000'000, (sleep % 1'000'000) * 1000};
        if (::ppoll(fds.data(), fds.size(), sleep >= 0 ? &timeout : nullptr, nullptr) < 0) continue;  // interrupted
        if (fds.back().revents & POLLIN) {
            std::uint64_t count = 0;
            [[maybe_unused]] const auto n = ::read(wakeFd_, &count, sizeof count);
        }
        for (int i = 0; i < seqFds; ++i) {
            if (fds[static_cast<std::size_t>(i)].revents & (POLLERR | POLLHUP | POLLNVAL)) {
                markLost("The ALSA sequencer went away.");
                return;
            }
        }
        writeQueued();
        inCycle_.store(true);
        if (CycleProcessor* p = processor_.load())
            playCycle(*p, steadyMicros());
        else
            passThru();
        inCycle_.store(false);
    }
    writeQueued();  // the final note-offs
}

// Writes at once what the processor writes. The sequencer has no cycle to
// fill, only a buffer that drains as the receivers read it: a note-off or a
// step waits a little for room (a note-off keeps a note from hanging, and the
// engine counts a step as sent), passing data does not.
class AlsaHost::CycleWriter final : public CycleOutput {
public:
    explicit CycleWriter(AlsaHost& host) : host_(host) {}
    bool Write(std::uint32_t, const std::uint8_t* bytes, std::uint32_t size) noexcept override {
        return write(bytes, size, false);
    }
    bool WriteStep(std::uint32_t, const std::uint8_t* bytes, std::uint32_t size) noexcept override {
        return write(bytes, size, true);
    }

private:
    bool write(const std::uint8_t* bytes, std::uint32_t size, bool step) noexcept {
        snd_seq_event_t ev;
        if (!host_.codec_.encode(bytes, size, ev)) return false;
        snd_seq_ev_set_source(&ev, static_cast<unsigned char>(host_.outPort_));
        snd_seq_ev_set_subs(&ev);
        snd_seq_ev_set_direct(&ev);
        if (priorityOf(step, bytes, size) != Priority::Passing) return host_.outputDirect(ev);
        return snd_seq_event_output_direct(host_.seq_, &ev) >= 0;
    }

    AlsaHost& host_;
};

// One cycle up to now: what arrived meanwhile comes in at its end, in order.
void AlsaHost::playCycle(CycleProcessor& processor, std::int64_t nowUs) {
    CycleWriter out(*this);
    const Cycle cycle = cycles_.next(nowUs);
    processor.BeginCycle(cycle, out);
    snd_seq_event_t* ev = nullptr;
    int r;
    while ((r = snd_seq_event_input(seq_, &ev)) >= 0 || r == -ENOSPC) {
        if (r < 0 || !ev) continue;  // overrun: the kernel dropped input; go on with what follows
        if (ev->dest.port == announcePort_) {
            notePortsChanged();
            continue;
        }
        std::size_t size = 0;
        if (ev->type == SND_SEQ_EVENT_SYSEX) {
            size = std::min<std::size_t>(ev->data.ext.len, received_.size());
            std::copy_n(static_cast<const std::uint8_t*>(ev->data.ext.ptr), size, received_.begin());
        } else {
            size = codec_.decode(*ev, received_.data(), received_.size());
        }
        if (size > 0) processor.Receive(cycle.frames - 1, received_.data(), static_cast<std::uint32_t>(size));
    }
    processor.EndCycle();
}

// Without the player, every MIDI message passes to the output at once.
void AlsaHost::passThru() {
    snd_seq_event_t* ev = nullptr;
    std::uint8_t bytes[16];  // an NRPN event decodes to 12
    int r;
    while ((r = snd_seq_event_input(seq_, &ev)) >= 0 || r == -ENOSPC) {
        if (r < 0 || !ev) continue;  // overrun: the kernel dropped input; go on with what follows
        if (ev->dest.port == announcePort_) {  // a port or subscription came or went
            notePortsChanged();
            continue;
        }
        if (ev->type != SND_SEQ_EVENT_SYSEX && codec_.decode(*ev, bytes, sizeof bytes) == 0) continue;  // not MIDI
        forward(*ev);
    }
}

bool AlsaHost::forward(snd_seq_event_t event) {
    snd_seq_ev_set_source(&event, static_cast<unsigned char>(outPort_));
    snd_seq_ev_set_subs(&event);
    snd_seq_ev_set_direct(&event);
    if (outputDirect(event)) return true;
    droppedThru_.fetch_add(1, std::memory_order_relaxed);
    return false;
}

// A full output buffer drains as the receivers read it; a dropped note-off
// would leave a note hanging, so this thread waits a little for room.
bool AlsaHost::outputDirect(snd_seq_event_t& event) {
    int err = 0;
    for (int tries = 0; (err = snd_seq_event_output_direct(seq_, &event)) == -EAGAIN && tries < 100; ++tries)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return err >= 0;
}

void AlsaHost::writeQueued() {
    MidiMessage m;
    while (sends().pop(m)) {
        snd_seq_event_t ev;
        if (!codec_.encode(m.bytes.data(), m.size, ev)) {
            countDroppedSend();
            continue;
        }
        snd_seq_ev_set_source(&ev, static_cast<unsigned char>(outPort_));
        snd_seq_ev_set_subs(&ev);
        snd_seq_ev_set_direct(&ev);
        if (!outputDirect(ev)) countDroppedSend();
    }
}

}  // namespace vlx::host
