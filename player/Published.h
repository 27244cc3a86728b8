// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A value one thread publishes and another reads whenever it likes, whole
// and without locks: three copies, the writer filling one, the reader
// holding one, the third passed between them. The writer never waits; the
// reader sees the latest value published, never one half written.
#include <array>
#include <atomic>
#include <cstdint>

namespace vlx {

template <class T>
class Published {
public:
    // Writer: the copy to fill, then Publish().
    T& Back() noexcept { return slots_[back_]; }
    void Publish() noexcept {
        back_ = middle_.exchange(back_ | kFresh, std::memory_order_acq_rel) & kIndex;
    }
    // Reader: the latest value published (the one read before, if none is newer).
    const T& Latest() noexcept {
        if (middle_.load(std::memory_order_relaxed) & kFresh)
            front_ = middle_.exchange(front_, std::memory_order_acq_rel) & kIndex;
        return slots_[front_];
    }

private:
    static constexpr std::uint8_t kIndex = 3;
    static constexpr std::uint8_t kFresh = 4;
    std::array<T, 3> slots_{};
    std::uint8_t back_ = 0;
    std::uint8_t front_ = 1;
    std::atomic<std::uint8_t> middle_{2};
};

}  // namespace vlx
