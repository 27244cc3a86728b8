// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Between the player's owner and its cycles: the owner's changes go in
// through one lock-free queue, applied at the start of the next cycle in
// order; reports come out through another, with a bell the owner's event
// loop can watch. Neither side ever waits for the other, but a posting
// owner, briefly, while a standing driver keeps the queue full.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include <boost/lockfree/spsc_queue.hpp>

#include "player/Controls.h"
#include "player/PlayerTypes.h"

namespace vlx {

struct PlayerCommand {
    enum class Kind : std::uint8_t {
        Set,          // a control takes `value`
        AllNotesOff,   // silence and forget, Arpeggiate staying down
        ReleasePassed, // what passed through and is still down, released at the output
    };
    Kind kind = Kind::Set;
    Control control = Control::Arpeggiate;
    std::int32_t value = 0;
};

class OwnerLink {
public:
    explicit OwnerLink(PlayerNotifier* notifier) : notifier_(notifier) {}

    // ---- the owner's ----
    void Post(const PlayerCommand& command) {
        // The queue holds far more than a person can click in one cycle;
        // while the driver stands still, give it a moment, then count the
        // change lost.
        for (int tries = 0; !commands_.push(command); ++tries) {
            if (tries == 100) {
                lost_.fetch_add(1, std::memory_order_relaxed);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ++posted_;
    }
    bool TakeReport(PlayerReport& report) noexcept { return reports_.pop(report); }
    // Whether the cycles have taken every change posted so far.
    bool Settled() const noexcept { return applied_.load(std::memory_order_acquire) >= posted_; }
    std::uint64_t lost() const noexcept { return lost_.load(std::memory_order_relaxed); }

    // ---- the cycles' ----
    template <class Apply>
    void TakeCommands(Apply&& apply) noexcept {
        PlayerCommand command;
        while (commands_.pop(command)) {
            apply(command);
            applied_.fetch_add(1, std::memory_order_release);
        }
    }
    void Report(const PlayerReport& r) noexcept {
        reports_.push(r);  // a full queue means nobody reads: the newest goes
        Notify();
    }
    // Something new to show, or a report.
    void Notify() noexcept {
        if (notifier_) notifier_->Notify();
    }

private:
    boost::lockfree::spsc_queue<PlayerCommand, boost::lockfree::capacity<256>> commands_;
    boost::lockfree::spsc_queue<PlayerReport, boost::lockfree::capacity<64>> reports_;
    PlayerNotifier* notifier_;
    std::uint64_t posted_ = 0;  // the owner's
    std::atomic<std::uint64_t> applied_{0};
    std::atomic<std::uint64_t> lost_{0};
};

}  // namespace vlx
