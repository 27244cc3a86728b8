// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A JACK timebase master for tests and benchmarks: gives the transport a
// tempo and bar/beat (4/4 at the tempo asked for, bar 0 at transport frame
// 0), starts and stops it, and notes which JACK frame the transport's frame
// 0 lies on while it rolls, so that a recording can be set against the
// song's grid. Real-time side: atomics only.
#include <jack/jack.h>
#include <jack/transport.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include "support/JackServer.h"

namespace vlx::test {

class JackTransport {
public:
    JackTransport(const std::string& server, double bpm) : bpm_(bpm) {
        auto lock = JackServer::lockClientOpens();
        jack_status_t status{};
        client_ = jack_client_open("timebase", static_cast<jack_options_t>(JackNoStartServer | JackServerName), &status,
                                   server.c_str());
        if (!client_) throw std::runtime_error("cannot open the timebase client");
        jack_set_process_callback(client_, &JackTransport::process, this);
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

private:
    static constexpr std::int64_t kUnknown = INT64_MIN;

    static int process(jack_nframes_t, void* arg) {
        auto* self = static_cast<JackTransport*>(arg);
        jack_position_t pos;
        if (jack_transport_query(self->client_, &pos) == JackTransportRolling)
            self->origin_.store(static_cast<std::int64_t>(jack_last_frame_time(self->client_)) - pos.frame);
        return 0;
    }
    static void timebase(jack_transport_state_t, jack_nframes_t, jack_position_t* pos, int, void* arg) {
        auto* self = static_cast<JackTransport*>(arg);
        const double ticksPerBeat = 1920;
        const double beats = pos->frame / (60.0 * pos->frame_rate / self->bpm_);
        const auto wholeBeats = static_cast<std::int64_t>(beats);
        pos->valid = JackPositionBBT;
        pos->beats_per_bar = 4;
        pos->beat_type = 4;
        pos->ticks_per_beat = ticksPerBeat;
        pos->beats_per_minute = self->bpm_;
        pos->bar = static_cast<std::int32_t>(wholeBeats / 4) + 1;
        pos->beat = static_cast<std::int32_t>(wholeBeats % 4) + 1;
        pos->tick = static_cast<std::int32_t>((beats - static_cast<double>(wholeBeats)) * ticksPerBeat);
        pos->bar_start_tick = static_cast<double>(pos->bar - 1) * 4 * ticksPerBeat;
    }

    double bpm_;
    jack_client_t* client_ = nullptr;
    std::atomic<std::int64_t> origin_{kUnknown};
};

}  // namespace vlx::test
