// SPDX-License-Identifier: GPL-3.0-or-later
// The LV2 plugin: the player run in the host's run(), one block a cycle,
// with the control ports as the window's controls and the host's
// transport as a clock it may follow.
#include <lv2/atom/atom.h>
#include <lv2/atom/forge.h>
#include <lv2/atom/util.h>
#include <lv2/core/lv2.h>
#include <lv2/log/log.h>
#include <lv2/log/logger.h>
#include <lv2/midi/midi.h>
#include <lv2/time/time.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <new>
#include <optional>

#include "lv2/Diagnostics.h"
#include "lv2/HostTransport.h"
#include "lv2/Ports.h"
#include "lv2/SequenceWriter.h"
#include "player/Player.h"

namespace vlx::lv2 {

namespace {

struct Uris {
    explicit Uris(LV2_URID_Map* map) {
        const auto m = [map](const char* uri) { return map->map(map->handle, uri); };
        midiEvent = m(LV2_MIDI__MidiEvent);
        object = m(LV2_ATOM__Object);
        blank = m(LV2_ATOM__Blank);
        resource = m(LV2_ATOM__Resource);
        atomInt = m(LV2_ATOM__Int);
        atomLong = m(LV2_ATOM__Long);
        atomFloat = m(LV2_ATOM__Float);
        atomDouble = m(LV2_ATOM__Double);
        atomBool = m(LV2_ATOM__Bool);
        beatTime = m(LV2_ATOM__beatTime);
        position = m(LV2_TIME__Position);
        beatsPerMinute = m(LV2_TIME__beatsPerMinute);
        speed = m(LV2_TIME__speed);
        bar = m(LV2_TIME__bar);
        barBeat = m(LV2_TIME__barBeat);
        beatsPerBar = m(LV2_TIME__beatsPerBar);
        beatUnit = m(LV2_TIME__beatUnit);
        beat = m(LV2_TIME__beat);
        frame = m(LV2_TIME__frame);
    }
    LV2_URID midiEvent, object, blank, resource, atomInt, atomLong, atomFloat, atomDouble, atomBool, beatTime;
    LV2_URID position, beatsPerMinute, speed, bar, barBeat, beatsPerBar, beatUnit, beat, frame;
};

// MIDI that came in a block of 0 frames, for the first frame of the next.
class CarriedMidi {
public:
    static constexpr std::size_t kEvents = 64;
    bool Keep(const std::uint8_t* bytes, std::uint32_t size) noexcept {
        if (count_ == kEvents || size > 3) return false;
        Event& e = events_[count_++];
        std::memcpy(e.bytes.data(), bytes, size);
        e.size = size;
        return true;
    }
    template <class To>
    void Deliver(To&& deliver) noexcept {
        for (std::size_t i = 0; i < count_; ++i) deliver(events_[i].bytes.data(), events_[i].size);
        count_ = 0;
    }

private:
    struct Event {
        std::array<std::uint8_t, 3> bytes;
        std::uint32_t size;
    };
    std::array<Event, kEvents> events_{};
    std::size_t count_ = 0;
};

void merge(std::optional<HostPosition>& into, const HostPosition& p) {
    if (!into) {
        into = p;
        return;
    }
    for (auto field : {&HostPosition::beatsPerMinute, &HostPosition::speed, &HostPosition::bar, &HostPosition::barBeat,
                       &HostPosition::beatsPerBar, &HostPosition::beatUnit, &HostPosition::beat, &HostPosition::frame})
        if (p.*field) (*into).*field = p.*field;
}

// Whether `size` bytes from `at` lie before `end`: what an atom's header
// says of its size is checked against what holds it before it is believed.
bool within(const void* at, std::size_t size, const std::uint8_t* end) {
    const auto* begin = static_cast<const std::uint8_t*>(at);
    return begin <= end && size <= static_cast<std::size_t>(end - begin);
}

class Plugin {
public:
    Plugin(double rate, LV2_URID_Map* map, LV2_Log_Log* log, LV2_Worker_Schedule* schedule)
        : rate_(rate), uris_(map), schedule_(schedule), transport_(rate), out_(uris_.midiEvent) {
        lv2_atom_forge_init(&forge_, map);
        lv2_log_logger_init(&logger_, map, log);
    }

    void Connect(std::uint32_t port, void* data) noexcept {
        if (port < kPortCount) ports_[port] = data;
    }

    // A fresh start: nothing held or sounding, the clock at frame 0, the
    // settings the ports hold now; Arpeggiate is applied by the first run.
    void Activate() {
        if (player_) Say();
        // Read whole by the first run, which applies what differs.
        seen_.fill(std::numeric_limits<float>::quiet_NaN());
        std::array<const float*, kPortCount> ports{};
        for (Port port = Out + 1; port < kPortCount; ++port) ports[port] = static_cast<const float*>(ports_[port]);
        std::uint32_t refused = 0;  // counted by the first run
        try {
            player_ = std::make_unique<Player>(ReadControls(ports, ControlValues{}, refused));
        } catch (const std::exception& e) {
            player_.reset();
            lv2_log_error(&logger_, "VLXArp: cannot start: %s\n", e.what());
            return;
        }
        applied_ = player_->controls();
        diagnostics_.NewPlayer();
        transport_ = HostTransport(rate_);
        transport_.PlayWhileStopped(applied_.on(Control::PlayStopped), 0);
        frame_ = 0;
        carriedPosition_.reset();
        reported_ = 0;
    }

    void Deactivate() { Say(); }

    // Real-time: nothing here allocates, locks, waits or logs.
    void Run(std::uint32_t frames) noexcept {
        out_.Begin(static_cast<LV2_Atom_Sequence*>(ports_[Out]), forge_);
        if (player_ && frames == 0) carry();
        if (player_ && frames > 0) play(frames);
        out_.End();
        if (player_) askToSay();
    }

    void Say() {
        if (player_) diagnostics_.Say(logger_, *player_);
        saying_.store(false, std::memory_order_release);
    }

private:
    // The control ports by their controls' rules; a port is read again only
    // once its value changed, so that a value refused is counted once.
    ControlValues readControls(const ControlValues& before) noexcept {
        std::array<const float*, kPortCount> changed{};
        for (Port port = Out + 1; port < kPortCount; ++port) {
            const auto* value = static_cast<const float*>(ports_[port]);
            if (!value || std::memcmp(value, &seen_[port], sizeof(float)) == 0) continue;
            seen_[port] = *value;
            changed[port] = value;
        }
        std::uint32_t refused = 0;
        const ControlValues values = ReadControls(changed, before, refused);
        for (; refused > 0; --refused) diagnostics_.Count(Diagnostics::RefusedControl);
        return values;
    }

    const LV2_Atom_Sequence* input() const noexcept {
        const auto* in = static_cast<const LV2_Atom_Sequence*>(ports_[In]);
        if (in && in->atom.size < sizeof(LV2_Atom_Sequence_Body)) return nullptr;
        return in;
    }

    // Calls take(frame, event) for each well-formed event of the input, in
    // order; frames are the host's. Stops at the first event that runs past
    // the sequence: nothing after it can be found. By the LV2 rule a
    // sequence is in beats only when its unit says atom:beatTime; any other
    // unit is frames (Ardour 7.3 leaves the unit uninitialised).
    template <class Take>
    void forEachEvent(Take&& take) noexcept {
        const LV2_Atom_Sequence* in = input();
        if (!in) return;
        const bool inBeats = in->body.unit == uris_.beatTime;
        if (inBeats) diagnostics_.Count(Diagnostics::BeatTime);
        const auto* end = reinterpret_cast<const std::uint8_t*>(&in->body) + in->atom.size;
        for (const LV2_Atom_Event* ev = lv2_atom_sequence_begin(&in->body);
             !lv2_atom_sequence_is_end(&in->body, in->atom.size, ev); ev = lv2_atom_sequence_next(ev)) {
            if (!within(ev, sizeof(LV2_Atom_Event), end) || !within(ev, sizeof(LV2_Atom_Event) + ev->body.size, end)) {
                diagnostics_.Count(Diagnostics::Malformed);
                return;
            }
            take(inBeats ? std::int64_t{0} : ev->time.frames, ev->body);
        }
    }

    void play(std::uint32_t frames) noexcept {
        const bool resume = apply(readControls(applied_));
        player_->BeginCycle({frame_, frames, static_cast<std::uint32_t>(std::lround(rate_))}, out_);
        carried_.Deliver([this](const std::uint8_t* bytes, std::uint32_t size) { player_->Receive(0, bytes, size); });
        if (carriedPosition_) position(frame_, *carriedPosition_);
        carriedPosition_.reset();
        if (resume) transport_.Resume(frame_);

        std::uint32_t last = 0;
        forEachEvent([&](std::int64_t time, const LV2_Atom& body) {
            std::uint32_t at = static_cast<std::uint32_t>(time);
            if (time < last) {
                diagnostics_.Count(Diagnostics::OutOfOrder);
                at = last;
            } else if (time >= frames) {
                diagnostics_.Count(Diagnostics::PastEnd);
                at = frames - 1;
            }
            last = at;
            clockUntil(frame_ + at);
            if (body.type == uris_.midiEvent) {
                if (body.size == 0)
                    diagnostics_.Count(Diagnostics::Malformed);
                else
                    player_->Receive(at, static_cast<const std::uint8_t*>(LV2_ATOM_BODY_CONST(&body)), body.size);
            } else if (const auto p = positionIn(body)) {
                position(frame_ + at, *p);
            }
        });
        clockUntil(frame_ + frames);
        player_->EndCycle();
        frame_ += frames;
    }

    // A block of 0 frames: its MIDI and positions count from the next block's first frame.
    void carry() noexcept {
        forEachEvent([&](std::int64_t, const LV2_Atom& body) {
            if (body.type == uris_.midiEvent) {
                if (body.size == 0)
                    diagnostics_.Count(Diagnostics::Malformed);
                else if (!carried_.Keep(static_cast<const std::uint8_t*>(LV2_ATOM_BODY_CONST(&body)), body.size))
                    diagnostics_.Count(Diagnostics::DroppedInEmpty);
            } else if (const auto p = positionIn(body)) {
                merge(carriedPosition_, *p);
            }
        });
    }

    // Hands changed controls to the player, in the table's order (Arpeggiate
    // last); true when the clock it follows must be told where the host's
    // transport stands.
    bool apply(const ControlValues& now) {
        bool resume = false;
        for (const ControlInfo& info : Controls()) {
            if (now[info.id] == applied_[info.id]) continue;
            player_->Set(info.id, now[info.id]);
            if (info.id == Control::Arpeggiate) resume = resume || (now.on(Control::Arpeggiate) && now.on(Control::FollowClock));
            if (info.id == Control::FollowClock) resume = resume || now.on(Control::FollowClock);
            if (info.id == Control::PlayStopped) transport_.PlayWhileStopped(now.on(Control::PlayStopped), frame_);
        }
        applied_ = now;
        return resume;
    }

    void clockUntil(std::uint64_t end) noexcept {
        while (const auto m = transport_.Next(end))
            if (applied_.on(Control::FollowClock))
                player_->TransportClock(static_cast<std::uint32_t>(m->frame - frame_), m->status, m->data1, m->data2);
    }

    void position(std::uint64_t at, const HostPosition& p) noexcept {
        const HostTransport::Refused refused = transport_.Update(at, p);
        if (refused.tempo) diagnostics_.RefusedTempo(refused.tempoValue.value_or(0));
        if (refused.other) diagnostics_.Count(Diagnostics::HostPosition);
    }

    // The time:Position object an event holds, if it is one.
    std::optional<HostPosition> positionIn(const LV2_Atom& body) noexcept {
        if (body.type != uris_.object && body.type != uris_.blank && body.type != uris_.resource) return std::nullopt;
        const auto& object = reinterpret_cast<const LV2_Atom_Object&>(body);
        if (body.size < sizeof(LV2_Atom_Object_Body)) {
            diagnostics_.Count(Diagnostics::Malformed);
            return std::nullopt;
        }
        if (object.body.otype != uris_.position) return std::nullopt;
        const auto* end = reinterpret_cast<const std::uint8_t*>(&object.body) + body.size;
        HostPosition p;
        for (const LV2_Atom_Property_Body* prop = lv2_atom_object_begin(&object.body);
             !lv2_atom_object_is_end(&object.body, body.size, prop); prop = lv2_atom_object_next(prop)) {
            const bool whole = within(prop, sizeof(LV2_Atom_Property_Body), end) &&
                               within(&prop->value, sizeof(LV2_Atom) + prop->value.size, end);
            if (!whole) {
                diagnostics_.Count(Diagnostics::Malformed);
                break;
            }
            const double value = number(prop->value);
            for (auto [key, field] : {std::pair{uris_.beatsPerMinute, &HostPosition::beatsPerMinute},
                                      std::pair{uris_.speed, &HostPosition::speed}, std::pair{uris_.bar, &HostPosition::bar},
                                      std::pair{uris_.barBeat, &HostPosition::barBeat},
                                      std::pair{uris_.beatsPerBar, &HostPosition::beatsPerBar},
                                      std::pair{uris_.beatUnit, &HostPosition::beatUnit},
                                      std::pair{uris_.beat, &HostPosition::beat}, std::pair{uris_.frame, &HostPosition::frame}})
                if (prop->key == key) p.*field = value;
        }
        return p;
    }

    // A number of any of the atom's numeric types; NaN for anything else,
    // which the transport refuses as it refuses any value it cannot use.
    double number(const LV2_Atom& a) const noexcept {
        const void* body = &a + 1;
        const auto read = [body](auto v) {
            std::memcpy(&v, body, sizeof v);
            return static_cast<double>(v);
        };
        if ((a.type == uris_.atomInt || a.type == uris_.atomBool) && a.size == 4) return read(std::int32_t{});
        if (a.type == uris_.atomLong && a.size == 8) return read(std::int64_t{});
        if (a.type == uris_.atomFloat && a.size == 4) return read(float{});
        if (a.type == uris_.atomDouble && a.size == 8) return read(double{});
        return std::numeric_limits<double>::quiet_NaN();
    }

    // Asks the host's worker to say what went wrong, once there is news.
    void askToSay() noexcept {
        const std::uint64_t total = diagnostics_.Total(*player_);
        if (total == reported_ || !schedule_ || saying_.exchange(true, std::memory_order_acq_rel)) return;
        const char nothing = 0;
        if (schedule_->schedule_work(schedule_->handle, sizeof nothing, &nothing) == LV2_WORKER_SUCCESS)
            reported_ = total;
        else
            saying_.store(false, std::memory_order_release);
    }

    double rate_;
    Uris uris_;
    LV2_Atom_Forge forge_{};
    LV2_Log_Logger logger_{};
    LV2_Worker_Schedule* schedule_;
    std::array<void*, kPortCount> ports_{};

    std::unique_ptr<Player> player_;
    HostTransport transport_;
    SequenceWriter out_;
    ControlValues applied_;  // as the player was given them
    std::array<float, kPortCount> seen_{};  // the control ports as last read
    std::uint64_t frame_ = 0;
    CarriedMidi carried_;
    std::optional<HostPosition> carriedPosition_;

    Diagnostics diagnostics_;
    std::uint64_t reported_ = 0;  // the diagnostics' total when the worker was last asked
    std::atomic<bool> saying_{false};
};

// ---- the C interface ----

Plugin* self(LV2_Handle h) { return static_cast<Plugin*>(h); }

LV2_Handle instantiate(const LV2_Descriptor*, double rate, const char*, const LV2_Feature* const* features) {
    LV2_URID_Map* map = nullptr;
    LV2_Log_Log* log = nullptr;
    LV2_Worker_Schedule* schedule = nullptr;
    for (const LV2_Feature* const* f = features; f && *f; ++f) {
        if (std::strcmp((*f)->URI, LV2_URID__map) == 0) map = static_cast<LV2_URID_Map*>((*f)->data);
        if (std::strcmp((*f)->URI, LV2_LOG__log) == 0) log = static_cast<LV2_Log_Log*>((*f)->data);
        if (std::strcmp((*f)->URI, LV2_WORKER__schedule) == 0) schedule = static_cast<LV2_Worker_Schedule*>((*f)->data);
    }
    if (!map) {
        LV2_Log_Logger logger{};
        logger.log = log;
        if (log) lv2_log_error(&logger, "VLXArp: the host does not map URIs (urid:map); cannot start\n");
        return nullptr;
    }
    // The player counts time in frames of a whole number a second.
    if (!(rate >= 1 && rate <= std::numeric_limits<std::uint32_t>::max())) {
        LV2_Log_Logger logger{};
        lv2_log_logger_init(&logger, map, log);
        lv2_log_error(&logger, "VLXArp: cannot run at a sample rate of %g\n", rate);
        return nullptr;
    }
    try {
        return new Plugin(rate, map, log, schedule);
    } catch (const std::exception&) {
        return nullptr;
    }
}

void connectPort(LV2_Handle h, std::uint32_t port, void* data) { self(h)->Connect(port, data); }
void activate(LV2_Handle h) { self(h)->Activate(); }
void run(LV2_Handle h, std::uint32_t frames) { self(h)->Run(frames); }
void deactivate(LV2_Handle h) { self(h)->Deactivate(); }
void cleanup(LV2_Handle h) { delete self(h); }

LV2_Worker_Status work(LV2_Handle h, LV2_Worker_Respond_Function, LV2_Worker_Respond_Handle, std::uint32_t,
                       const void*) {
    self(h)->Say();
    return LV2_WORKER_SUCCESS;
}
LV2_Worker_Status workResponse(LV2_Handle, std::uint32_t, const void*) { return LV2_WORKER_SUCCESS; }

const void* extensionData(const char* uri) {
    static const LV2_Worker_Interface worker = {work, workResponse, nullptr};
    if (std::strcmp(uri, LV2_WORKER__interface) == 0) return &worker;
    return nullptr;
}

const LV2_Descriptor descriptor = {VLX_LV2_URI, instantiate, connectPort, activate, run, deactivate, cleanup,
                                   extensionData};

}  // namespace

}  // namespace vlx::lv2

extern "C" LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(std::uint32_t index) {
    return index == 0 ? &vlx::lv2::descriptor : nullptr;
}
