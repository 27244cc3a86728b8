// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Records of a header and its bytes, from one thread to another without
// locks, on the project's one lock-free queue (boost::lockfree::spsc_queue).
// The producer pushes a whole record or nothing; the consumer looks at the
// next header (it may stay there, as a record for a later cycle) and takes
// the bytes once they are all there.
#include <boost/lockfree/spsc_queue.hpp>

#include <cstddef>
#include <optional>

namespace vlx::test {

template <class Header>
class RecordRing {
public:
    explicit RecordRing(std::size_t bytes) : queue_(bytes) {}

    // Producer. False when the whole record does not fit.
    bool push(const Header& h, const void* bytes, std::size_t size) noexcept {
        if (queue_.write_available() < sizeof h + size) return false;
        queue_.push(reinterpret_cast<const char*>(&h), sizeof h);
        if (size > 0) queue_.push(static_cast<const char*>(bytes), size);
        return true;
    }
    // Consumer: the next record's header once its `size` bytes are all there.
    template <class Size>
    const Header* next(Size&& size) noexcept {
        if (!head_ && queue_.read_available() >= sizeof(Header)) {
            head_.emplace();
            queue_.pop(reinterpret_cast<char*>(&*head_), sizeof(Header));
        }
        return head_ && queue_.read_available() >= size(*head_) ? &*head_ : nullptr;
    }
    // Consumer: the bytes of the record next() gave, and on to the next.
    void take(void* into, std::size_t size) noexcept {
        if (size > 0) queue_.pop(static_cast<char*>(into), size);
        head_.reset();
    }

private:
    boost::lockfree::spsc_queue<char> queue_;
    std::optional<Header> head_;
};

}  // namespace vlx::test
