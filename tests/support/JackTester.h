// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A tester on a JACK server: plays MIDI into one port and records another
// port's MIDI with absolute frame times. It is two clients, a player and a
// recorder, so that playing into a client and recording that client's output
// never forms a feedback loop: the graph runs player -> client -> recorder in
// one cycle, and frames seen by all three are the same.
//
//   vlx::test::JackServer server;                    // see JackServer.h
//   vlx::test::JackTester tester(server.name());
//   tester.connectPlayTo("VLXArp:in");
//   tester.connectRecordFrom("VLXArp:out");
//   tester.play({0x90, 60, 100});                    // in the next cycle
//   tester.play({0x80, 60, 0}, tester.frameNow() + 4 * tester.bufferSize());
//   tester.waitRecorded(2, std::chrono::seconds(2));
//   for (const auto& m : tester.recorded()) ...      // m.frame, m.usecs, m.cycleUsecs, m.bytes
//   tester.played()                                  // what the player wrote, at the frames it used
//
// A message whose frame has passed by the time the player's cycle runs (the
// test thread was slow) is played at the start of that cycle: compare against
// played() rather than the frames asked for.
//
// Real-time side: lock-free rings only (RecordRing); the test's thread owns
// recorded(). Link with the jack library (pkg-config jack).
#include <jack/jack.h>
#include <jack/midiport.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "JackServer.h"  // beside this file
#include "RecordRing.h"

namespace vlx::test {

struct RecordedMidi {
    jack_nframes_t frame = 0;  // absolute frame time of the event
    jack_time_t usecs = 0;     // JACK's estimate of when that frame played (jack_get_time's clock)
    std::int64_t steadyUsecs = 0;  // the same moment on std::chrono::steady_clock, in microseconds
    std::int64_t cycleUsecs = 0;   // JACK's estimate of the length of the cycle it was in
    std::vector<std::uint8_t> bytes;
};

class JackTester {
public:
    static constexpr std::size_t kMaxMessage = 4096;

    explicit JackTester(const std::string& serverName, const std::string& name = "tester")
        : openLock_(JackServer::lockClientOpens()),
          player_(open(serverName, name + "_play")),
          recorder_(open(serverName, name + "_rec")) {
        out_ = jack_port_register(player_, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        in_ = jack_port_register(recorder_, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
        if (!out_ || !in_) throw std::runtime_error("tester: cannot register its ports");
        jack_set_process_callback(player_, &JackTester::playCycle, this);
        jack_set_process_callback(recorder_, &JackTester::recordCycle, this);
        if (jack_activate(player_) || jack_activate(recorder_)) throw std::runtime_error("tester: cannot activate");
        openLock_.reset();
    }
    JackTester(const JackTester&) = delete;
    JackTester& operator=(const JackTester&) = delete;
    ~JackTester() { closeClients(); }

    std::string playPort() const { return jack_port_name(out_); }
    std::string recordPort() const { return jack_port_name(in_); }
    void connectPlayTo(const std::string& port) { connect(player_, playPort(), port); }
    void connectRecordFrom(const std::string& port) { connect(recorder_, port, recordPort()); }

    // The ports connected to `port` now.
    std::vector<std::string> connectionsOf(const std::string& port) const {
        std::vector<std::string> names;
        jack_port_t* p = jack_port_by_name(player_, port.c_str());
        const char** peers = p ? jack_port_get_all_connections(player_, p) : nullptr;
        for (const char** n = peers; n && *n; ++n) names.emplace_back(*n);
        if (peers) jack_free(peers);
        return names;
    }

    jack_nframes_t bufferSize() const { return jack_get_buffer_size(player_); }
    jack_nframes_t sampleRate() const { return jack_get_sample_rate(player_); }
    // JACK's estimate of the frame playing now.
    jack_nframes_t frameNow() const { return jack_frame_time(player_); }

    // Queues one message (any length, SysEx included) to be played at the
    // absolute frame `frame`; 0, or a frame already past, plays it at the
    // start of the next cycle. Frames of successive calls must not decrease.
    void play(const std::vector<std::uint8_t>& bytes, jack_nframes_t frame = 0) {
        if (bytes.empty() || bytes.size() > kMaxMessage) throw std::invalid_argument("tester: bad message size");
        const Header h{frame, static_cast<std::uint32_t>(bytes.size()), 0, 0, 0};
        if (!playRing_.push(h, bytes.data(), bytes.size())) throw std::runtime_error("tester: play ring full");
    }

    // Everything recorded so far, oldest first.
    const std::vector<RecordedMidi>& recorded() {
        drain(recordRing_, recorded_);
        return recorded_;
    }
    // Everything played so far, at the frames the player actually used.
    const std::vector<RecordedMidi>& played() {
        drain(playedRing_, played_);
        return played_;
    }
    void clearRecorded() {
        recorded();
        played();
        recorded_.clear();
        played_.clear();
    }
    // Waits until at least n messages are recorded; false on timeout.
    bool waitRecorded(std::size_t n, std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (recorded().size() < n) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }
    // Cycles the recorder missed: what the program wrote in them never
    // reached it.
    std::uint64_t recorderMissedCycles() const { return recorderMissed_.load(); }
    // Messages recorded that the test thread was too slow to take.
    std::uint64_t recorderOverflows() const { return recorderOverflows_.load(); }
    // Lets `cycles` whole periods pass.
    void waitCycles(int cycles) const {
        const auto period = std::chrono::microseconds(1'000'000LL * bufferSize() / sampleRate());
        std::this_thread::sleep_for(period * (cycles + 1));
    }
    // Leaves the server now (the destructor does it otherwise).
    void closeClients() {
        if (player_) jack_client_close(player_);
        if (recorder_) jack_client_close(recorder_);
        player_ = recorder_ = nullptr;
    }

private:
    struct Header {
        jack_nframes_t frame;
        std::uint32_t size;
        std::uint64_t usecs;
        std::int64_t steadyUsecs;
        std::int64_t cycleUsecs;
    };

    // jack_get_time need not be steady_clock (JACK 2 may use another
    // monotonic source). Each callback brackets it between two steady
    // readings and keeps the last narrow bracket: a thread preempted between
    // the readings would otherwise misdate a whole cycle.
    struct SteadyFromJack {
        std::int64_t offset = 0;
        bool narrowSeen = false;
        std::int64_t update() {
            const std::int64_t before = steadyNow();
            const auto jack = static_cast<std::int64_t>(jack_get_time());
            const std::int64_t after = steadyNow();
            if (after - before <= 8 || !narrowSeen) {
                offset = before + (after - before) / 2 - jack;
                narrowSeen = narrowSeen || after - before <= 8;
            }
            return offset;
        }
        static std::int64_t steadyNow() {
            return std::chrono::duration_cast<std::chrono::microseconds>(
                       std::chrono::steady_clock::now().time_since_epoch())
                .count();
        }
    };

    static jack_client_t* open(const std::string& server, const std::string& name) {
        jack_status_t status{};
        jack_client_t* c = jack_client_open(
            name.c_str(), static_cast<jack_options_t>(JackNoStartServer | JackServerName), &status, server.c_str());
        if (!c) throw std::runtime_error("tester: cannot open client " + name + " on server " + server);
        return c;
    }
    static void connect(jack_client_t* c, const std::string& from, const std::string& to) {
        const int r = jack_connect(c, from.c_str(), to.c_str());
        if (r != 0 && r != EEXIST) throw std::runtime_error("tester: cannot connect " + from + " -> " + to);
    }

    static int playCycle(jack_nframes_t nframes, void* arg) {
        auto* self = static_cast<JackTester*>(arg);
        void* buf = jack_port_get_buffer(self->out_, nframes);
        jack_midi_clear_buffer(buf);
        jack_nframes_t start = 0;
        jack_time_t cycleUsecs = 0, nextUsecs = 0;
        float periodUsecs = 0;
        jack_get_cycle_times(self->player_, &start, &cycleUsecs, &nextUsecs, &periodUsecs);
        const std::int64_t toSteady = self->playClock_.update();
        jack_nframes_t last = 0;
        while (const Header* next = self->playRing_.next(bodySize)) {
            const Header h = *next;
            const auto ahead = static_cast<std::int32_t>(h.frame - start);
            if (h.frame != 0 && ahead >= static_cast<std::int32_t>(nframes)) break;  // a later cycle's
            jack_nframes_t offset = (h.frame == 0 || ahead < 0) ? 0 : static_cast<jack_nframes_t>(ahead);
            if (offset < last) offset = last;
            jack_midi_data_t* dst = jack_midi_event_reserve(buf, offset, h.size);
            if (!dst) break;  // buffer full: the rest goes next cycle
            self->playRing_.take(dst, h.size);
            last = offset;
            self->note(self->playedRing_, start, cycleUsecs, nextUsecs, toSteady, nframes, offset, dst, h.size);
        }
        return 0;
    }

    // Real-time side of played() and recorded().
    void note(RecordRing<Header>& ring, jack_nframes_t cycleFrame, jack_time_t cycleUsecs, jack_time_t nextUsecs,
              std::int64_t toSteady, jack_nframes_t nframes, jack_nframes_t offset, const jack_midi_data_t* bytes,
              std::size_t size) {
        // Signed: JACK's estimates can step back after a stalled cycle.
        const auto span = static_cast<std::int64_t>(nextUsecs) - static_cast<std::int64_t>(cycleUsecs);
        const std::int64_t at = static_cast<std::int64_t>(cycleUsecs) + span * offset / nframes;
        Header h{cycleFrame + offset, static_cast<std::uint32_t>(size), static_cast<std::uint64_t>(at), at + toSteady,
                 span};
        if (!ring.push(h, bytes, size) && &ring == &recordRing_)  // the test reads too slowly
            recorderOverflows_.fetch_add(1, std::memory_order_relaxed);
    }

    static int recordCycle(jack_nframes_t nframes, void* arg) {
        auto* self = static_cast<JackTester*>(arg);
        void* buf = jack_port_get_buffer(self->in_, nframes);
        jack_nframes_t cycleFrame = 0;
        jack_time_t cycleUsecs = 0, nextUsecs = 0;
        float periodUsecs = 0;
        jack_get_cycle_times(self->recorder_, &cycleFrame, &cycleUsecs, &nextUsecs, &periodUsecs);
        const std::int64_t toSteady = self->recordClock_.update();
        const std::uint32_t count = jack_midi_get_event_count(buf);
        // JACK 2 can run a cycle a second time after missing one (see
        // CycleLedger): the buffer then holds what the first call read, and
        // maybe more. Those first events are not recorded twice.
        auto& read = self->read_;
        const bool again = cycleFrame == self->readFrame_;
        auto eventAt = [&](std::uint32_t i, jack_midi_event_t& ev) {
            if (jack_midi_event_get(&ev, buf, i) != 0) return std::optional<ReadEvent>();
            return std::optional<ReadEvent>({ev.time, static_cast<std::uint32_t>(ev.size), ev.size ? ev.buffer[0] : 0u,
                                             ev.size > 1 ? ev.buffer[1] : 0u, ev.size > 2 ? ev.buffer[2] : 0u});
        };
        std::uint32_t kept = 0;  // of this call's events, the ones the first call read too
        jack_midi_event_t ev;
        while (again && kept < std::min(count, self->readCount_) && eventAt(kept, ev) == read[kept]) ++kept;
        // After the server stood still, JACK 2 may name the next cycle's frame
        // in one callback and that frame again in the next, with new events:
        // the first of the two was a cycle early in name, and no cycle was
        // missed between.
        if (again && self->readFrame_ - self->frameBefore_ == 2 * nframes && (kept == 0 || kept < self->readCount_)) {
            const Header back{self->readFrame_, 0, nframes, 0, 0};  // no bytes: moves that callback's records back
            self->recordRing_.push(back, nullptr, 0);
            self->recorderMissed_.fetch_sub(1, std::memory_order_relaxed);
        }
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::optional<ReadEvent> e = eventAt(i, ev);
            if (!e) continue;
            if (i < read.size()) read[i] = *e;
            if (i >= kept)
                self->note(self->recordRing_, cycleFrame, cycleUsecs, nextUsecs, toSteady, nframes, ev.time, ev.buffer,
                           ev.size);
        }
        // A cycle the recorder did not run for is lost to it: JACK passes
        // nothing on from a cycle a client missed.
        // (JACK's frame estimate may step back after a stall: not a gap.)
        if (const std::uint32_t gap = cycleFrame - self->readFrame_;
            self->recordedCycles_.load(std::memory_order_relaxed) > 0 && gap > nframes && gap < 0x80000000U)
            self->recorderMissed_.fetch_add((gap - 1) / nframes, std::memory_order_relaxed);
        self->recordedCycles_.fetch_add(1, std::memory_order_relaxed);
        self->frameBefore_ = self->readFrame_;
        self->readFrame_ = cycleFrame;
        self->readCount_ = std::min<std::uint32_t>(count, static_cast<std::uint32_t>(read.size()));
        return 0;
    }

    static std::size_t bodySize(const Header& h) { return h.size; }

    static void drain(RecordRing<Header>& ring, std::vector<RecordedMidi>& into) {
        while (const Header* next = ring.next(bodySize)) {
            const Header h = *next;
            for (auto r = into.rbegin(); h.size == 0 && r != into.rend() && r->frame - h.frame < h.usecs; ++r)
                r->frame -= static_cast<jack_nframes_t>(h.usecs);
            RecordedMidi m;
            m.frame = h.frame;
            m.usecs = h.usecs;
            m.steadyUsecs = h.steadyUsecs;
            m.cycleUsecs = h.cycleUsecs;
            m.bytes.resize(h.size);
            ring.take(m.bytes.data(), h.size);
            if (h.size > 0) into.push_back(std::move(m));
        }
    }

    std::unique_ptr<JackServer::ClientOpenLock> openLock_;
    jack_client_t* player_ = nullptr;
    jack_client_t* recorder_ = nullptr;
    jack_port_t* out_ = nullptr;
    jack_port_t* in_ = nullptr;
    RecordRing<Header> playRing_{1 << 20};
    RecordRing<Header> playedRing_{1 << 22};
    RecordRing<Header> recordRing_{1 << 22};
    std::vector<RecordedMidi> recorded_;
    std::vector<RecordedMidi> played_;
    SteadyFromJack playClock_;    // player's thread only
    SteadyFromJack recordClock_;  // recorder's thread only
    // Recorder's thread only: the cycle read last and the first of its events.
    struct ReadEvent {
        jack_nframes_t time;
        std::uint32_t size, b0, b1, b2;
        bool operator==(const ReadEvent&) const = default;
    };
    jack_nframes_t readFrame_ = 0, frameBefore_ = 0;
    std::atomic<std::uint64_t> recordedCycles_{0}, recorderMissed_{0}, recorderOverflows_{0};
    std::uint32_t readCount_ = 0;
    std::array<ReadEvent, 512> read_{};
};

}  // namespace vlx::test
