// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Storage for the records of one collection, set aside in advance, so that
// a collection reserved for its largest use creates and drops records
// without asking the system for memory: the engine runs in an audio thread,
// where a call into the allocator may wait on a lock.
//
// Records stay shared references (std::allocate_shared with PoolAllocator);
// each holds the pool it came from, so a record outlives its collection
// safely. A pool is used from one thread at a time, like its collection:
// its own count of holders is not atomic, which keeps a record's making and
// dropping cheap.
#include <cstddef>
#include <memory>
#include <new>
#include <vector>

namespace vlx {

class RecordPool {
public:
    // Large enough for a shared record of any of the model's types with its
    // reference counts and its allocator.
    static constexpr std::size_t kBlockSize = 64;
    static constexpr std::size_t kBlockAlign = alignof(std::max_align_t);

    RecordPool() = default;
    RecordPool(const RecordPool&) = delete;
    RecordPool& operator=(const RecordPool&) = delete;
    ~RecordPool() {
        for (void* chunk : chunks_) ::operator delete(chunk, std::align_val_t{kBlockAlign});
    }

    // Makes sure `blocks` blocks can be handed out in all without asking
    // the system for more.
    void Reserve(std::size_t blocks) {
        if (blocks <= capacity_) return;
        const std::size_t more = blocks - capacity_;
        chunks_.reserve(chunks_.size() + 1);
        auto* chunk = static_cast<std::byte*>(::operator new(more * kBlockSize, std::align_val_t{kBlockAlign}));
        chunks_.push_back(chunk);
        for (std::size_t i = more; i-- > 0;) push(chunk + i * kBlockSize);
        capacity_ = blocks;
    }

    void* Allocate(std::size_t bytes) {
        if (bytes > kBlockSize) return ::operator new(bytes, std::align_val_t{kBlockAlign});
        if (!free_) Reserve(capacity_ == 0 ? 16 : capacity_ * 2);  // beyond the reserve: grows
        Free* block = free_;
        free_ = block->next;
        return block;
    }
    void Release(void* block, std::size_t bytes) noexcept {
        if (bytes > kBlockSize) return ::operator delete(block, std::align_val_t{kBlockAlign});
        push(block);
    }

    std::size_t capacity() const noexcept { return capacity_; }

private:
    friend class PoolRef;
    long holders_ = 0;
    struct Free {
        Free* next;
    };
    void push(void* block) noexcept { free_ = ::new (block) Free{free_}; }

    std::vector<void*> chunks_;
    Free* free_ = nullptr;
    std::size_t capacity_ = 0;
};

// GCC cannot follow the count below: it takes a record dropped after its
// collection (the pool still held by the allocator the record carries) for
// a use of the pool after it was freed.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuse-after-free"
#endif

// A counted hold on a pool; the last one lets the pool go.
class PoolRef {
public:
    PoolRef() = default;
    explicit PoolRef(RecordPool* pool) noexcept : pool_(pool) { hold(); }
    PoolRef(const PoolRef& other) noexcept : pool_(other.pool_) { hold(); }
    PoolRef& operator=(const PoolRef& other) noexcept {
        PoolRef copy(other);
        std::swap(pool_, copy.pool_);
        return *this;
    }
    ~PoolRef() {
        if (pool_ && --pool_->holders_ == 0) delete pool_;
    }
    RecordPool* operator->() const noexcept { return pool_; }
    bool operator==(const PoolRef& other) const noexcept { return pool_ == other.pool_; }
    // A new pool, held by the ref.
    static PoolRef Make() { return PoolRef(new RecordPool); }

private:
    void hold() noexcept {
        if (pool_) ++pool_->holders_;
    }
    RecordPool* pool_ = nullptr;
};

// An allocator that takes single objects from a RecordPool.
template <class T>
class PoolAllocator {
public:
    using value_type = T;

    explicit PoolAllocator(PoolRef pool) noexcept : pool_(std::move(pool)) {}
    template <class U>
    PoolAllocator(const PoolAllocator<U>& other) noexcept : pool_(other.pool()) {}  // NOLINT: rebinding

    T* allocate(std::size_t n) {
        static_assert(alignof(T) <= RecordPool::kBlockAlign);
        return static_cast<T*>(pool_->Allocate(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept { pool_->Release(p, n * sizeof(T)); }

    const PoolRef& pool() const noexcept { return pool_; }
    template <class U>
    bool operator==(const PoolAllocator<U>& other) const noexcept {
        return pool_ == other.pool();
    }

private:
    PoolRef pool_;
};

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

// A new shared record of type T from `pool`, every field zero.
template <class T>
std::shared_ptr<T> MakeRecord(const PoolRef& pool) {
    return std::allocate_shared<T>(PoolAllocator<T>(pool));
}

}  // namespace vlx
