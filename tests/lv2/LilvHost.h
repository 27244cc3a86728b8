// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A plugin host for tests on liblilv, the library Ardour, Carla and jalv
// build on: it loads the bundle from the build tree, instantiates the plugin
// with urid:map, log:log and a worker (run after each block, as a host's
// worker thread would), connects every port, and runs blocks. Input is MIDI
// and time:Position at absolute frames; output comes back with absolute
// frames. Every block's output is checked to lie inside the block in time
// order, whatever the test.
#include <gtest/gtest.h>
#include <lilv/lilv.h>
#include <lv2/atom/forge.h>
#include <lv2/atom/util.h>
#include <lv2/log/log.h>
#include <lv2/midi/midi.h>
#include <lv2/time/time.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include <array>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "lv2/Ports.h"
#include "support/ScriptedCycles.h"

namespace vlx::test {

// What a host says of its transport in one time:Position object.
struct TimePosition {
    std::optional<float> bpm = 120;  // empty: the host knows no tempo (JACK without a timebase master)
    float speed = 1;
    std::int64_t bar = 0;
    float barBeat = 0;
    float beatsPerBar = 4;
    std::int32_t beatUnit = 4;
};

// One input event at an absolute frame: MIDI bytes or a position.
struct HostInput {
    HostInput(std::uint64_t f, Bytes m) : frame(f), midi(std::move(m)) {}
    HostInput(std::uint64_t f, const TimePosition& p) : frame(f), position(p) {}
    std::uint64_t frame = 0;
    Bytes midi;
    std::optional<TimePosition> position;
};

class UridMap {
public:
    LV2_URID map(const char* uri) {
        const std::lock_guard<std::mutex> lock(mutex_);
        const auto [it, added] = ids_.try_emplace(uri, static_cast<LV2_URID>(uris_.size() + 1));
        if (added) uris_.emplace_back(uri);
        return it->second;
    }
    const char* unmap(LV2_URID id) {
        const std::lock_guard<std::mutex> lock(mutex_);
        return id >= 1 && id <= uris_.size() ? uris_[id - 1].c_str() : nullptr;
    }
    LV2_URID_Map mapFeature{this, [](LV2_URID_Map_Handle h, const char* uri) { return static_cast<UridMap*>(h)->map(uri); }};
    LV2_URID_Unmap unmapFeature{this, [](LV2_URID_Unmap_Handle h, LV2_URID id) { return static_cast<UridMap*>(h)->unmap(id); }};

private:
    std::mutex mutex_;
    std::unordered_map<std::string, LV2_URID> ids_;
    std::vector<std::string> uris_;
};

// The world with the bundle of the build tree loaded, once per process.
class LilvBundle {
public:
    static LilvBundle& get() {
        static LilvBundle bundle;
        return bundle;
    }
    LilvWorld* world = nullptr;
    const LilvPlugin* plugin = nullptr;

private:
    LilvBundle() {
        world = lilv_world_new();
        LilvNode* bundle = lilv_new_file_uri(world, nullptr, VLX_LV2_BUNDLE "/");
        lilv_world_load_bundle(world, bundle);
        lilv_node_free(bundle);
        LilvNode* uri = lilv_new_uri(world, VLX_LV2_URI);
        plugin = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world), uri);
        lilv_node_free(uri);
        if (!plugin) throw std::runtime_error("no plugin " VLX_LV2_URI " in " VLX_LV2_BUNDLE);
    }
};

class PluginRig {
public:
    static constexpr std::size_t kAtomCapacity = 1 << 16;

    struct Options {
        double rate = 48000;
        bool worker = true;
        bool log = true;
        std::size_t outCapacity = kAtomCapacity;
        // Set before activation, as a host restores a session.
        std::vector<std::pair<Control, float>> controls = {};
        bool activate = true;
    };

    PluginRig() : PluginRig(Options{}) {}
    explicit PluginRig(const Options& options) : options_(options) {
        LilvBundle& b = LilvBundle::get();
        midiEvent_ = urids_.map(LV2_MIDI__MidiEvent);
        lv2_atom_forge_init(&forge_, &urids_.mapFeature);
        features_.push_back(&mapFeature_);
        features_.push_back(&unmapFeature_);
        if (options.log) features_.push_back(&logFeature_);
        if (options.worker) features_.push_back(&scheduleFeature_);
        features_.push_back(nullptr);
        instance_ = lilv_plugin_instantiate(b.plugin, options.rate, features_.data());
        if (!instance_) throw std::runtime_error("the plugin did not instantiate");
        // Every control at its default, as a host starts it.
        std::vector<float> mins(lv2::kPortCount), maxs(lv2::kPortCount), defaults(lv2::kPortCount);
        lilv_plugin_get_port_ranges_float(b.plugin, mins.data(), maxs.data(), defaults.data());
        for (std::uint32_t p = lv2::Out + 1; p < lv2::kPortCount; ++p) controls_[p] = defaults[p];
        for (std::uint32_t p = lv2::Out + 1; p < lv2::kPortCount; ++p) lilv_instance_connect_port(instance_, p, &controls_[p]);
        in_.resize(kAtomCapacity / 8);
        out_.resize(options.outCapacity / 8);
        lilv_instance_connect_port(instance_, lv2::In, in_.data());
        lilv_instance_connect_port(instance_, lv2::Out, out_.data());
        const auto* iface = lilv_instance_get_extension_data(instance_, LV2_WORKER__interface);
        worker_ = static_cast<const LV2_Worker_Interface*>(iface);
        for (const auto& [c, value] : options.controls) controls_[lv2::PortOf(c)] = value;
        if (options.activate) Activate();
    }
    PluginRig(const PluginRig&) = delete;
    PluginRig& operator=(const PluginRig&) = delete;
    ~PluginRig() {
        Deactivate();
        lilv_instance_free(instance_);
    }

    void Activate() {
        if (!active_) lilv_instance_activate(instance_);
        frame_ = 0;  // the plugin counts from its activation
        active_ = true;
    }
    void Deactivate() {
        if (active_) lilv_instance_deactivate(instance_);
        active_ = false;
    }

    float& control(Control c) { return controls_[lv2::PortOf(c)]; }
    float& controlAt(lv2::Port port) { return controls_[port]; }
    LilvInstance* instance() { return instance_; }
    UridMap& urids() { return urids_; }
    std::uint64_t frame() const { return frame_; }

    // Given the block's input sequence as it was built, before the run.
    std::function<void(LV2_Atom_Sequence&)> tamper;
    // Around each lilv_instance_run alone (not the worker's part).
    std::function<void(bool running)> aroundRun;

    // Runs one block of `frames` with the input given for it, in order,
    // offsets relative to the block; returns the output with absolute frames.
    std::vector<FramedMessage> Run(std::uint32_t frames, const std::vector<HostInput>& input = {}) {
        buildInput(input);
        auto* out = reinterpret_cast<LV2_Atom_Sequence*>(out_.data());
        out->atom.size = static_cast<std::uint32_t>(out_.size() * 8);
        out->atom.type = 0;
        if (aroundRun) aroundRun(true);
        lilv_instance_run(instance_, frames);
        if (aroundRun) aroundRun(false);
        runWorker();
        std::vector<FramedMessage> got;
        std::int64_t last = 0;
        LV2_ATOM_SEQUENCE_FOREACH(out, ev) {
            EXPECT_EQ(ev->body.type, midiEvent_);
            EXPECT_GE(ev->time.frames, last) << "out of time order";
            EXPECT_LT(ev->time.frames, static_cast<std::int64_t>(frames)) << "past the block";
            EXPECT_GE(ev->time.frames, 0);
            last = ev->time.frames;
            const auto* bytes = static_cast<const std::uint8_t*>(LV2_ATOM_BODY(&ev->body));
            got.push_back({frame_ + static_cast<std::uint64_t>(ev->time.frames), Bytes(bytes, bytes + ev->body.size)});
        }
        frame_ += frames;
        return got;
    }

    // Plays `input` (absolute frames, in order) until `end`, in blocks
    // whose lengths `blocks` gives in turn; a position at every block's
    // start too when `positionEachBlock` says where the transport stands.
    std::vector<FramedMessage> Play(std::vector<HostInput> input, std::uint64_t end,
                                    const std::function<std::uint32_t()>& blocks,
                                    const std::function<std::optional<TimePosition>(std::uint64_t)>& positionEachBlock = {}) {
        std::vector<FramedMessage> all;
        std::size_t next = 0;
        while (frame_ < end) {
            const std::uint32_t frames = blocks();
            std::vector<HostInput> block;
            if (positionEachBlock) {
                if (auto p = positionEachBlock(frame_)) block.emplace_back(0, *p);
            }
            for (; next < input.size() && input[next].frame < frame_ + frames; ++next) {
                HostInput e = input[next];
                e.frame -= frame_;
                block.push_back(e);
            }
            for (auto& m : Run(frames, block)) all.push_back(std::move(m));
        }
        return all;
    }

    // What the plugin logged so far.
    std::vector<std::string> log() {
        const std::lock_guard<std::mutex> lock(logMutex_);
        return log_;
    }
    std::string logText() {
        std::string text;
        for (const auto& line : log()) text += line;
        return text;
    }

private:
    void buildInput(const std::vector<HostInput>& input) {
        lv2_atom_forge_set_buffer(&forge_, reinterpret_cast<std::uint8_t*>(in_.data()), in_.size() * 8);
        LV2_Atom_Forge_Frame sequence;
        lv2_atom_forge_sequence_head(&forge_, &sequence, 0);
        for (const HostInput& e : input) {
            lv2_atom_forge_frame_time(&forge_, static_cast<std::int64_t>(e.frame));
            if (e.position) {
                forgePosition(*e.position);
            } else {
                lv2_atom_forge_atom(&forge_, static_cast<std::uint32_t>(e.midi.size()), midiEvent_);
                lv2_atom_forge_write(&forge_, e.midi.data(), static_cast<std::uint32_t>(e.midi.size()));
            }
        }
        lv2_atom_forge_pop(&forge_, &sequence);
        if (tamper) tamper(*reinterpret_cast<LV2_Atom_Sequence*>(in_.data()));
    }
    void forgePosition(const TimePosition& p) {
        LV2_Atom_Forge_Frame object;
        auto key = [&](const char* uri) { lv2_atom_forge_key(&forge_, urids_.map(uri)); };
        lv2_atom_forge_object(&forge_, &object, 0, urids_.map(LV2_TIME__Position));
        key(LV2_TIME__speed);
        lv2_atom_forge_float(&forge_, p.speed);
        key(LV2_TIME__bar);
        lv2_atom_forge_long(&forge_, p.bar);
        key(LV2_TIME__barBeat);
        lv2_atom_forge_float(&forge_, p.barBeat);
        key(LV2_TIME__beatUnit);
        lv2_atom_forge_int(&forge_, p.beatUnit);
        key(LV2_TIME__beatsPerBar);
        lv2_atom_forge_float(&forge_, p.beatsPerBar);
        if (p.bpm) {
            key(LV2_TIME__beatsPerMinute);
            lv2_atom_forge_float(&forge_, *p.bpm);
        }
        lv2_atom_forge_pop(&forge_, &object);
    }

    // The host's worker, after the block as a worker thread would be.
    void runWorker() {
        const std::size_t jobs = jobs_;
        jobs_ = 0;
        for (std::size_t i = 0; i < jobs; ++i) {
            ASSERT_NE(worker_, nullptr) << "work scheduled by a plugin without a worker interface";
            worker_->work(lilv_instance_get_handle(instance_), [](LV2_Worker_Respond_Handle, std::uint32_t, const void*) {
                return LV2_WORKER_SUCCESS;
            }, nullptr, 1, "");
        }
    }

    static int logPrintf(LV2_Log_Handle h, LV2_URID type, const char* fmt, ...) {
        va_list args;
        va_start(args, fmt);
        const int n = logVprintf(h, type, fmt, args);
        va_end(args);
        return n;
    }
    static int logVprintf(LV2_Log_Handle h, LV2_URID, const char* fmt, va_list args) {
        auto* self = static_cast<PluginRig*>(h);
        char text[1024];
        const int n = std::vsnprintf(text, sizeof text, fmt, args);
        const std::lock_guard<std::mutex> lock(self->logMutex_);
        self->log_.emplace_back(text);
        return n;
    }

    Options options_;
    UridMap urids_;
    LV2_URID midiEvent_ = 0;
    LV2_Atom_Forge forge_{};
    LV2_Log_Log logLog_{this, &PluginRig::logPrintf, &PluginRig::logVprintf};
    LV2_Worker_Schedule schedule_{this, [](LV2_Worker_Schedule_Handle h, std::uint32_t, const void*) {
                                      // In run(): nothing here allocates.
                                      ++static_cast<PluginRig*>(h)->jobs_;
                                      return LV2_WORKER_SUCCESS;
                                  }};
    LV2_Feature mapFeature_{LV2_URID__map, &urids_.mapFeature};
    LV2_Feature unmapFeature_{LV2_URID__unmap, &urids_.unmapFeature};
    LV2_Feature logFeature_{LV2_LOG__log, &logLog_};
    LV2_Feature scheduleFeature_{LV2_WORKER__schedule, &schedule_};
    std::vector<const LV2_Feature*> features_;
    LilvInstance* instance_ = nullptr;
    const LV2_Worker_Interface* worker_ = nullptr;
    std::array<float, lv2::kPortCount> controls_{};
    std::vector<std::uint64_t> in_, out_;  // 8-byte aligned atom buffers
    std::uint64_t frame_ = 0;
    bool active_ = false;
    std::size_t jobs_ = 0;
    std::mutex logMutex_;
    std::vector<std::string> log_;
};

}  // namespace vlx::test
