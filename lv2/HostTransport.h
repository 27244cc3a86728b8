// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The host's transport, as its time:Position objects tell it, turned into
// the messages a MIDI clock would send (Player::TransportClock): a tick at
// every 24th of a quarter note on the frame where it falls, Stop when the
// transport stops, and Song Position with Continue (Start at the song's
// top) when it rolls. Ticks are reckoned from the latest position the host
// gave, counted from the song's start, so steps fall on the bar's grid
// whatever the block size, and a host that sends a position every block
// gives the same ticks as one that sends it only when something changes.
//
// Nothing is guessed: until the host has given a tempo the clock stands
// (Stop), and a following player stays silent. While the transport stands
// the clock may play on (PlayWhileStopped) at the host's last tempo on a
// grid of its own, carried on from where the song stopped; when the
// transport rolls, the next tick goes out on the song's next 16th with Song
// Position and Continue, so the pattern goes on there without a step twice.
//
// Frames are the plugin's own count since it was activated.
#include <array>
#include <cstdint>
#include <optional>

namespace vlx::lv2 {

// What one time:Position object said; what it lacked is empty.
struct HostPosition {
    std::optional<double> beatsPerMinute, speed, bar, barBeat, beatsPerBar, beatUnit, beat, frame;
};

// One message of the clock, at a frame.
struct ClockMessage {
    std::uint64_t frame = 0;
    std::uint8_t status = 0, data1 = 0, data2 = 0;
    bool operator==(const ClockMessage&) const = default;
};

class HostTransport {
public:
    // The fastest tempo followed: a tick every 2.5 ms.
    static constexpr double kMaxBeatsPerMinute = 1000;

    explicit HostTransport(double rate) : rate_(rate) {}

    // What Update found unusable and left out.
    struct Refused {
        bool tempo = false;  // 0, negative, not a number, or beyond kMaxBeatsPerMinute
        bool other = false;  // a speed, meter or position that is not a finite number in range
        std::optional<double> tempoValue;
    };
    // The host's position at frame `at` (not before the last frame given).
    Refused Update(std::uint64_t at, const HostPosition& position);
    // The clock that follows was reset at `at` (following switched on,
    // arpeggiation switched on): it is told where the transport stands.
    void Resume(std::uint64_t at);
    // From `at` on, whether the clock plays on while the transport stands.
    void PlayWhileStopped(bool on, std::uint64_t at);
    // The next message due before frame `end`, in time order; empty when
    // there is none. Messages never go back in time.
    std::optional<ClockMessage> Next(std::uint64_t end);

    // Whether the host has given a tempo: only then is there a clock.
    bool HasTempo() const noexcept { return bpm_.has_value(); }
    bool Rolling() const noexcept { return rolling_; }
    // Ticking on a grid of its own while the transport stands.
    bool PlayingStopped() const noexcept { return free_; }

private:
    double ticksAt(std::uint64_t frame) const noexcept;
    std::uint64_t frameOfTick(std::int64_t tick) const noexcept;
    void queue(std::uint64_t at, std::uint8_t status, std::uint8_t data1 = 0, std::uint8_t data2 = 0) noexcept;
    void stopAt(std::uint64_t at) noexcept;
    void continueFrom(double ticks, bool mayStart) noexcept;
    void playFree(std::uint64_t at) noexcept;
    double framesPerTick(double speed) const noexcept;

    double rate_;
    // The host's meter and tempo, as last given.
    std::optional<double> bpm_;
    double speed_ = 0;
    double beatsPerBar_ = 4;
    double beatUnit_ = 4;
    bool rolling_ = false;
    bool playStopped_ = false;
    bool free_ = false;        // ticking on its own while the transport stands
    double songStands_ = 0;    // where the song stands while not rolling, in ticks
    // Where the ticks are reckoned from: ticks since the song's start at a
    // frame (while free, since the clock began on its own grid).
    std::uint64_t anchorFrame_ = 0;
    double anchorTicks_ = 0;
    double framesPerTick_ = 0;
    // The next tick to send, and the one before which the clock is told
    // where the song stands (Song Position and Continue, or Start).
    std::int64_t nextTick_ = 0;
    std::optional<std::int64_t> resumeTick_;
    int resumeStage_ = 0;
    bool mayStart_ = true;  // at the song's top the clock says Start; else Continue
    std::uint64_t last_ = 0;  // the latest frame given or sent
    std::array<ClockMessage, 4> queued_{};
    std::size_t queuedCount_ = 0, queuedTaken_ = 0;
};

}  // namespace vlx::lv2
