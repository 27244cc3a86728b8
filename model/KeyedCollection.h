#pragma once
// The ordered store that every collection wraps: shared references at 1-based
// positions, each optionally under a unique string key. Keys are compared
// exactly (case matters); the program never uses them, so finding one is a
// linear scan.
#include <algorithm>
#include <cstdint>
#include <vector>
#include <memory>
#include <optional>
#include <ranges>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <variant>

#include "model/Errors.h"

namespace vlx {

// A 1-based position or a key, whichever the caller names an item by.
class IndexKey {
public:
    IndexKey(std::int32_t position) : v_(position) {}  // NOLINT: implicit by design
    IndexKey(std::string key) : v_(std::move(key)) {}  // NOLINT
    IndexKey(const char* key) : v_(std::string(key)) {}  // NOLINT

    bool isPosition() const noexcept { return std::holds_alternative<std::int32_t>(v_); }
    std::int32_t position() const { return std::get<std::int32_t>(v_); }
    const std::string& key() const { return std::get<std::string>(v_); }

private:
    std::variant<std::int32_t, std::string> v_;
};

// The items in order, in a ring of slots: appending and taking from either
// end cost O(1) and, within the capacity reserved, never ask the system for
// memory; an item in between moves the shorter side by one slot.
template <class E>
class SlotRing {
public:
    std::size_t size() const noexcept { return size_; }
    void reserve(std::size_t n) {
        if (n > slots_.size()) regrow(n);
    }
    E& operator[](std::size_t i) noexcept { return slots_[(head_ + i) % slots_.size()]; }
    const E& operator[](std::size_t i) const noexcept { return slots_[(head_ + i) % slots_.size()]; }

    void insert(std::size_t at, E item) {
        if (size_ == slots_.size()) regrow(std::max<std::size_t>(8, 2 * slots_.size()));
        const std::size_t n = slots_.size();
        if (at < size_ - at) {
            head_ = (head_ + n - 1) % n;
            for (std::size_t i = 0; i < at; ++i) (*this)[i] = std::move((*this)[i + 1]);
        } else {
            for (std::size_t i = size_; i > at; --i) (*this)[i] = std::move((*this)[i - 1]);
        }
        ++size_;
        (*this)[at] = std::move(item);
    }
    void erase(std::size_t at) {
        if (at < size_ - 1 - at) {
            for (std::size_t i = at; i > 0; --i) (*this)[i] = std::move((*this)[i - 1]);
            (*this)[0] = E{};
            head_ = (head_ + 1) % slots_.size();
        } else {
            for (std::size_t i = at; i + 1 < size_; ++i) (*this)[i] = std::move((*this)[i + 1]);
            (*this)[size_ - 1] = E{};
        }
        --size_;
    }

private:
    void regrow(std::size_t n) {
        std::vector<E> bigger(n);
        for (std::size_t i = 0; i < size_; ++i) bigger[i] = std::move((*this)[i]);
        slots_ = std::move(bigger);
        head_ = 0;
    }

    std::vector<E> slots_;
    std::size_t head_ = 0;
    std::size_t size_ = 0;
};

template <class T>
class KeyedCollection {
public:
    using Ref = std::shared_ptr<T>;

    // Room for n items without asking the system for memory.
    void Reserve(std::size_t n) { items_.reserve(n); }

    // Appends `item`, or inserts it in front of the item that `before` names.
    // With a non-empty key the item is stored under it.
    void Add(Ref item, std::string_view key = {}, const std::optional<IndexKey>& before = std::nullopt) {
        std::string k(key);
        if (!k.empty() && keys_.contains(k)) throw DuplicateKeyError();
        // Resolve the position first so a failure leaves the store unchanged.
        const auto at = before ? offsetOf(*before) : items_.size();
        if (!k.empty()) keys_.insert(k);
        items_.insert(at, Entry{std::move(item), std::move(k)});
    }

    const Ref& Item(const IndexKey& ik) const { return items_[offsetOf(ik)].item; }

    void Remove(const IndexKey& ik) {
        const auto at = offsetOf(ik);
        if (!items_[at].key.empty()) keys_.erase(items_[at].key);
        items_.erase(at);
    }

    std::int32_t Count() const noexcept { return static_cast<std::int32_t>(items_.size()); }

    // The items from position 1 to Count.
    auto NewEnum() const {
        return std::views::iota(std::size_t{0}, items_.size()) |
               std::views::transform([this](std::size_t i) -> const Ref& { return items_[i].item; });
    }

private:
    struct Entry {
        Ref item;
        std::string key;
    };

    std::size_t offsetOf(const IndexKey& ik) const {
        if (ik.isPosition()) {
            const auto p = ik.position();
            if (p < 1 || p > Count()) throw OutOfRangeError();
            return static_cast<std::size_t>(p - 1);
        }
        for (std::size_t i = 0; i < items_.size(); ++i)
            if (!ik.key().empty() && items_[i].key == ik.key()) return i;
        throw MissingKeyError();
    }

    SlotRing<Entry> items_;
    std::unordered_set<std::string> keys_;
};

}  // namespace vlx
