// SPDX-License-Identifier: GPL-3.0-or-later
#include "lv2/Diagnostics.h"

namespace vlx::lv2 {

namespace {

constexpr const char* kMessages[Diagnostics::kKinds] = {
    "VLXArp: %llu input event(s) were malformed (cut short, or running past the sequence or object that holds "
    "them) and were skipped\n",
    "VLXArp: %llu input event(s) came out of time order; each was taken at the frame of the event before it\n",
    "VLXArp: %llu input event(s) lay at or past the end of their block; each was taken on the block's last frame\n",
    "VLXArp: the host's tempo was refused %llu time(s), lately %g beats per minute: it must be above 0 and at "
    "most 1000; the tempo given before it stays, and with none a plugin following the host plays nothing\n",
    "VLXArp: %llu time:Position value(s) (speed, meter, bar or beat) were not finite numbers in range and were "
    "ignored\n",
    "VLXArp: %llu MIDI event(s) came in blocks of 0 frames beyond the 64 short messages kept for the next block, "
    "and were dropped\n",
    "VLXArp: %llu input sequence(s) were stamped in beats, not frames; their events were taken at the block's "
    "first frame\n",
    "VLXArp: %llu control port value(s) were out of their range (or no number) and were refused; each control "
    "keeps the value it had\n",
};

}  // namespace

std::uint64_t Diagnostics::Total(const Player& player) const noexcept {
    std::uint64_t total = 0;
    for (const auto& count : counts_) total += count.load(std::memory_order_relaxed);
    const Player::Counters c = player.counters();
    return total + c.unsent + c.junkBytes + c.refusedKeys + c.failures;
}

void Diagnostics::Say(LV2_Log_Logger& log, Player& player) {
    const std::lock_guard<std::mutex> lock(saying_);
    for (std::size_t kind = 0; kind < kKinds; ++kind) {
        const std::uint64_t now = counts_[kind].load(std::memory_order_relaxed);
        if (now == said_[kind]) continue;
        const auto times = static_cast<unsigned long long>(now - said_[kind]);
        if (kind == HostTempo)
            lv2_log_warning(&log, kMessages[kind], times, lastTempo_.load(std::memory_order_relaxed));
        else
            lv2_log_warning(&log, kMessages[kind], times);
        said_[kind] = now;
    }
    const Player::Counters c = player.counters();
    const auto since = [](std::uint64_t now, std::uint64_t said) { return static_cast<unsigned long long>(now - said); };
    if (c.unsent != playerSaid_.unsent)
        lv2_log_warning(&log, "VLXArp: %llu output message(s) were dropped: the host's output buffer was full\n",
                        since(c.unsent, playerSaid_.unsent));
    if (c.junkBytes != playerSaid_.junkBytes)
        lv2_log_warning(&log, "VLXArp: %llu byte(s) of MIDI input belonged to no message and were ignored\n",
                        since(c.junkBytes, playerSaid_.junkBytes));
    if (c.refusedKeys != playerSaid_.refusedKeys)
        lv2_log_warning(&log, "VLXArp: %llu key press(es) beyond the %d notes it holds were ignored\n",
                        since(c.refusedKeys, playerSaid_.refusedKeys), static_cast<int>(Player::kMaxHeld));
    // Reports are taken here only: the player's queue has one reader.
    for (PlayerReport r; player.TakeReport(r);)
        if (r.kind == PlayerReport::Kind::Failed)
            lv2_log_error(&log, "VLXArp: arpeggiation stopped after an error: %s\n", r.what);
    playerSaid_ = c;
}

void Diagnostics::NewPlayer() {
    const std::lock_guard<std::mutex> lock(saying_);
    playerSaid_ = {};
}

}  // namespace vlx::lv2
