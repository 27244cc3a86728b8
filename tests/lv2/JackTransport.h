// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A JACK timebase master for tests and benchmarks: gives the transport a
// tempo and bar/beat (4/4 at the tempo asked for, bar 0 at transport frame
// 0, and another tempo from a transport frame on, if asked), starts, stops
// and relocates it, and notes which JACK frame the transport's frame 0 lies
// on while it rolls and every cycle where the transport changed (as jalv
// tells its plugin), so that a recording can be set against the song's grid
// and a host's cycles played again. Real-time side: atomics only.
#include <jack/jack.h>
#include <jack/transport.h>

#include <atomic>
#include <cstdint>
#include <array>
#include <cmath>
#include <optional>
#include <vector>
#include <stdexcept>
#include <string>

#include "support/JackServer.h"

namespace vlx::test {

// From transport frame `at` on, the tempo is `bpm`.
struct TempoChange {
    double at = INFINITY, bpm = 120;
};

class JackTransport {
public:
    JackTransport(const std::string& server, double bpm, TempoChange change = {}) : bpm_(bpm), change_(change) {
        auto lock = JackServer::lockClientOpens();
        jack_status_t status{};
        client_ = jack_client_open("timebase", static_cast<jack_options_t>(JackNoStartServer | JackServerName), &status,
                                   server.c_str());
        if (!client_) throw std::runtime_error("cannot open the timebase client");
        jack_set_process_callback(client_, &JackTransport::process, this);
        jack_set_xrun_callback(client_, [](void* self) { return ++static_cast<JackTransport*>(self)->xruns_, 0; }, this);
        if (jack_set_timebase_callback(client_, 0, &JackTransport::timebase, this) != 0 || jack_activate(client_) != 0)
            throw std::runtime_error("cannot become timebase master");
    }
    ~JackTransport() {
        jack_release_timebase(client_);
        jack_client_close(client_);
    }
    JackTransport(const JackTransport&) = delete;
    JackTransport& operator=(const JackTransport&) = delete;

    void Locate(jack_nframes_t frame) { jack_transport_locate(client_, frame); }
    void Start() { jack_transport_start(client_); }
    void Stop() { jack_transport_stop(client_); }
    // The JACK frame of the transport's frame 0, once a rolling cycle ran.
    std::optional<std::int64_t> Origin() const {
        const std::int64_t o = origin_.load();
        return o == kUnknown ? std::nullopt : std::optional(o);
    }
    double framesPerQuarter() const { return 60.0 * jack_get_sample_rate(client_) / bpm_; }
    jack_nframes_t Frame() const {
        jack_position_t pos;
        jack_transport_query(client_, &pos);
        return pos.frame;
    }

    // Beats since the song's start at a transport frame, the tempo there, and
    // back from beats to frames.
    double BeatsAt(double frame) const {
        const double rate = jack_get_sample_rate(client_);
        if (frame < change_.at) return frame * bpm_ / 60 / rate;
        return change_.at * bpm_ / 60 / rate + (frame - change_.at) * change_.bpm / 60 / rate;
    }
    double BpmAt(double frame) const { return frame < change_.at ? bpm_ : change_.bpm; }
    double FrameOfBeats(double beats) const {
        const double rate = jack_get_sample_rate(client_), before = BeatsAt(change_.at);
        return beats < before ? beats * 60 * rate / bpm_ : change_.at + (beats - before) * 60 * rate / change_.bpm;
    }

    // A cycle whose transport was not where the last one left it (it
    // started or stopped, or was relocated) or whose tempo changed: as jalv
    // sees them, with the bar and beat the cycle was given.
    struct Change {
        std::int64_t jackFrame;  // the cycle's first
        bool rolling;
        std::int64_t frame;  // the transport's then
        bool bbt;
        std::int32_t bar, beat, tick;
        double ticksPerBeat, bpm;
    };
    std::vector<Change> Changes() const {
        return {changes_.begin(), changes_.begin() + static_cast<std::ptrdiff_t>(changeCount_.load())};
    }
    // The transport's frame and whether it rolled at a JACK frame, by the changes.
    std::pair<std::int64_t, bool> At(std::int64_t jackFrame) const {
        std::pair<std::int64_t, bool> at{0, false};
        for (std::size_t i = 0; i < changeCount_.load(); ++i)
            if (const Change& c = changes_[i]; c.jackFrame <= jackFrame)
                at = {c.rolling ? c.frame + (jackFrame - c.jackFrame) : c.frame, c.rolling};
        return at;
    }
    // Cycles this client did not run for (what changed in them is not
    // known), and cycles the server said some client was late for.
    std::uint64_t MissedCycles() const { return missed_.load(); }
    std::uint64_t Xruns() const { return xruns_.load(); }
    // The first JACK frame of the first cycle this client ran.
    std::int64_t FirstCycle() const { return firstCycle_.load(); }

private:
    static constexpr std::int64_t kUnknown = INT64_MIN;

    static int process(jack_nframes_t frames, void* arg) {
        auto* self = static_cast<JackTransport*>(arg);
        jack_position_t pos;
        const bool rolling = jack_transport_query(self->client_, &pos) == JackTransportRolling;
        const auto now = static_cast<std::int64_t>(jack_last_frame_time(self->client_));
        if (self->firstCycle_.load() == kUnknown) self->firstCycle_.store(now);
        else if (now - self->lastCycle_ > frames) self->missed_.fetch_add(1);
        self->lastCycle_ = now;
        if (rolling) self->origin_.store(now - pos.frame);
        const std::size_t n = self->changeCount_.load();
        const bool bbt = pos.valid & JackPositionBBT;
        if ((rolling != self->rolling_ || pos.frame != self->expected_ || (bbt && pos.beats_per_minute != self->bpmSeen_)) &&
            n < self->changes_.size()) {
            self->changes_[n] = {now, rolling, pos.frame, bbt, pos.bar, pos.beat, pos.tick, pos.ticks_per_beat, pos.beats_per_minute};
            self->changeCount_.store(n + 1);
        }
        self->rolling_ = rolling;
        self->expected_ = rolling ? pos.frame + frames : pos.frame;
        if (bbt) self->bpmSeen_ = pos.beats_per_minute;
        return 0;
    }
    static void timebase(jack_transport_state_t, jack_nframes_t, jack_position_t* pos, int, void* arg) {
        auto* self = static_cast<JackTransport*>(arg);
        const double ticksPerBeat = 1920;
        const double beats = self->BeatsAt(pos->frame);
        const auto wholeBeats = static_cast<std::int64_t>(beats);
        pos->valid = JackPositionBBT;
        pos->beats_per_bar = 4;
        pos->beat_type = 4;
        pos->ticks_per_beat = ticksPerBeat;
        pos->beats_per_minute = self->BpmAt(pos->frame);
        pos->bar = static_cast<std::int32_t>(wholeBeats / 4) + 1;
        pos->beat = static_cast<std::int32_t>(wholeBeats % 4) + 1;
        pos->tick = static_cast<std::int32_t>((beats - static_cast<double>(wholeBeats)) * ticksPerBeat);
        pos->bar_start_tick = static_cast<double>(pos->bar - 1) * 4 * ticksPerBeat;
    }

    double bpm_;
    TempoChange change_;
    jack_client_t* client_ = nullptr;
    std::atomic<std::int64_t> origin_{kUnknown};
    std::atomic<std::int64_t> firstCycle_{kUnknown};
    std::int64_t lastCycle_ = 0;
    std::atomic<std::uint64_t> missed_{0};
    std::atomic<std::uint64_t> xruns_{0};
    std::array<Change, 64> changes_{};
    std::atomic<std::size_t> changeCount_{0};
    bool rolling_ = false;  // as jalv starts: standing at frame 0
    jack_nframes_t expected_ = 0;
    double bpmSeen_ = 120;
};

}  // namespace vlx::test
