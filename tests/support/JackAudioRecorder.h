// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Records audio from JACK ports, summed to one track, with the absolute
// frame time of every sample, so that it lines up with JackTester's MIDI
// frames on the same server.
//
//   vlx::test::JackAudioRecorder ear(server.name());
//   ear.connectFrom("synth:left", std::chrono::seconds(10));  // waits for the port
//   ear.connectFrom("synth:right", std::chrono::seconds(10));
//   ear.connect("VLXArp:out", "synth:midi_00");              // any two ports
//   ... play ...
//   const auto& track = ear.track();   // ear.firstFrame() is the frame of track()[0]
//
// Frames a cycle skipped (the ring was full, the test read too slowly) are
// filled with silence and counted in lostFrames(). Real-time side: a
// lock-free ring only. Link with the jack library (pkg-config jack).
#include <jack/jack.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "JackServer.h"  // beside this file
#include "RecordRing.h"

namespace vlx::test {

class JackAudioRecorder {
public:
    explicit JackAudioRecorder(const std::string& serverName, const std::string& name = "listener") {
        {
            auto lock = JackServer::lockClientOpens();
            jack_status_t status{};
            client_ = jack_client_open(name.c_str(), static_cast<jack_options_t>(JackNoStartServer | JackServerName),
                                       &status, serverName.c_str());
        }
        if (!client_) throw std::runtime_error("listener: cannot open a client on server " + serverName);
        in_ = jack_port_register(client_, "in", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
        if (!in_) throw std::runtime_error("listener: cannot register its port");
        jack_set_process_callback(client_, &JackAudioRecorder::cycle, this);
        if (jack_activate(client_)) throw std::runtime_error("listener: cannot activate");
    }
    JackAudioRecorder(const JackAudioRecorder&) = delete;
    JackAudioRecorder& operator=(const JackAudioRecorder&) = delete;
    ~JackAudioRecorder() { jack_client_close(client_); }

    jack_nframes_t sampleRate() const { return jack_get_sample_rate(client_); }
    jack_nframes_t frameNow() const { return jack_frame_time(client_); }

    // Adds a port to what is heard, waiting until it exists (another
    // process may still be registering it); false on timeout.
    bool connectFrom(const std::string& port, std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            if (jack_port_by_name(client_, port.c_str())) {
                const int r = jack_connect(client_, port.c_str(), jack_port_name(in_));
                if (r == 0 || r == EEXIST) return true;
            }
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    // Connects two other ports of the server (the program to the synth).
    void connect(const std::string& from, const std::string& to) {
        const int r = jack_connect(client_, from.c_str(), to.c_str());
        if (r != 0 && r != EEXIST) throw std::runtime_error("listener: cannot connect " + from + " -> " + to);
    }

    // Everything heard so far.
    const std::vector<float>& track() {
        drain();
        return track_;
    }
    jack_nframes_t firstFrame() {
        drain();
        return first_;
    }
    std::uint64_t lostFrames() {
        drain();
        return lost_;
    }

private:
    struct Header {
        jack_nframes_t frame;
        jack_nframes_t count;
    };

    static int cycle(jack_nframes_t nframes, void* arg) {
        auto* self = static_cast<JackAudioRecorder*>(arg);
        const auto* samples = static_cast<const float*>(jack_port_get_buffer(self->in_, nframes));
        const Header h{jack_last_frame_time(self->client_), nframes};
        const std::size_t bytes = nframes * sizeof(float);
        self->ring_.push(h, samples, bytes);  // what does not fit is counted as lost when read
        return 0;
    }

    void drain() {
        const auto bytes = [](const Header& h) { return h.count * sizeof(float); };
        while (const Header* next = ring_.next(bytes)) {
            const Header h = *next;
            if (track_.empty()) {
                first_ = h.frame;
            } else {
                // Signed: a cycle that came back to frames already heard is not a gap.
                const auto gap = static_cast<std::int32_t>(h.frame - (first_ + static_cast<jack_nframes_t>(track_.size())));
                if (gap > 0) {
                    track_.resize(track_.size() + static_cast<std::size_t>(gap), 0.0f);
                    lost_ += static_cast<std::uint64_t>(gap);
                }
            }
            const std::size_t at = track_.size();
            track_.resize(at + h.count);
            ring_.take(track_.data() + at, bytes(h));
        }
    }

    jack_client_t* client_ = nullptr;
    jack_port_t* in_ = nullptr;
    RecordRing<Header> ring_{1 << 24};  // some 40 s of mono float at 48 kHz
    std::vector<float> track_;
    jack_nframes_t first_ = 0;
    std::uint64_t lost_ = 0;
};

}  // namespace vlx::test
