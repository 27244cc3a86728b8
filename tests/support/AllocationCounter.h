// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Replaces the global operator new and delete of the test binary that
// includes it (in one source file only) so that allocations can be counted
// while `counting` is set.
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace vlx::test::allocation {
inline std::atomic<bool> counting{false};
inline std::atomic<long> allocations{0};

inline void* allocate(std::size_t n, std::size_t align) {
    if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1, std::memory_order_relaxed);
    const std::size_t size = n == 0 ? 1 : n;
    void* p = align > alignof(std::max_align_t) ? std::aligned_alloc(align, (size + align - 1) / align * align)
                                                : std::malloc(size);
    if (!p) throw std::bad_alloc();
    return p;
}
}  // namespace vlx::test::allocation

void* operator new(std::size_t n) { return vlx::test::allocation::allocate(n, alignof(std::max_align_t)); }
void* operator new(std::size_t n, std::align_val_t a) {
    return vlx::test::allocation::allocate(n, static_cast<std::size_t>(a));
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
