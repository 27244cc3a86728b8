// SPDX-License-Identifier: GPL-3.0-or-later
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
    E& operator[](std::size_t i) noexcept { return slots_[(head_ + i) & mask_]; }
    const E& operator[](std::size_t i) const noexcept { return slots_[(head_ + i) & mask_]; }

    void insert(std::size_t at, E item) {
        if (size_ == slots_.size()) regrow(size_ + 1);
        if (at < size_ - at) {
            head_ = (head_ - 1) & mask_;
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
            head_ = (head_ + 1) & mask_;
        } else {
            for (std::size_t i = at; i + 1 < size_; ++i) (*this)[i] = std::move((*this)[i + 1]);
            (*this)[size_ - 1] = E{};
        }
        --size_;
    }
    // Erases every item `drop` picks, keeping the others in order, in one
    // pass; returns how many went.
    template <class Drop>
    std::size_t eraseIf(Drop&& drop) {
        std::size_t kept = 0;
        for (std::size_t i = 0; i < size_; ++i) {
            if (drop(static_cast<const E&>((*this)[i]))) continue;
            if (kept != i) (*this)[kept] = std::move((*this)[i]);
            ++kept;
        }
        for (std::size_t i = kept; i < size_; ++i) (*this)[i] = E{};
        const std::size_t gone = size_ - kept;
        size_ = kept;
        return gone;
    }

private:
    // A power of two, so that a slot is found with a mask.
    void regrow(std::size_t atLeast) {
        std::size_t n = 8;
        while (n < atLeast) n *= 2;
        std::vector<E> bigger(n);
        for (std::size_t i = 0; i < size_; ++i) bigger[i] = std::move((*this)[i]);
        slots_ = std::move(bigger);
        mask_ = n - 1;
        head_ = 0;
    }

    std::vector<E> slots_;
    std::size_t mask_ = 0;
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
        if (key.empty() && !before) {  // appending, as the engine does for every step
            items_.insert(items_.size(), Entry{std::move(item), nullptr});
            return;
        }
        std::string k(key);
        if (!k.empty() && keys_.contains(k)) throw DuplicateKeyError();
        // Resolve the position first so a failure leaves the store unchanged.
        const auto at = before ? offsetOf(*before) : items_.size();
        if (!k.empty()) keys_.insert(k);
        items_.insert(at, Entry{std::move(item), k.empty() ? nullptr : std::make_unique<std::string>(std::move(k))});
    }

    const Ref& Item(const IndexKey& ik) const { return items_[offsetOf(ik)].item; }

    void Remove(const IndexKey& ik) {
        const auto at = offsetOf(ik);
        if (items_[at].key) keys_.erase(*items_[at].key);
        items_.erase(at);
    }

    // Removes every item `drop(item)` picks, in one pass, the others keeping
    // their order.
    template <class Drop>
    void RemoveIf(Drop&& drop) {
        items_.eraseIf([&](const Entry& e) {
            if (!drop(*e.item)) return false;
            if (e.key) keys_.erase(*e.key);
            return true;
        });
    }

    std::int32_t Count() const noexcept { return static_cast<std::int32_t>(items_.size()); }

    // The items from position 1 to Count.
    auto NewEnum() const {
        return std::views::iota(std::size_t{0}, items_.size()) |
               std::views::transform([this](std::size_t i) -> const Ref& { return items_[i].item; });
    }

private:
    // The key lives apart, so that moving an entry moves two pointers.
    struct Entry {
        Ref item;
        std::unique_ptr<std::string> key;
    };

    std::size_t offsetOf(const IndexKey& ik) const {
        if (ik.isPosition()) {
            const auto p = ik.position();
            if (p < 1 || p > Count()) throw OutOfRangeError();
            return static_cast<std::size_t>(p - 1);
        }
        for (std::size_t i = 0; i < items_.size(); ++i)
            if (!ik.key().empty() && items_[i].key && *items_[i].key == ik.key()) return i;
        throw MissingKeyError();
    }

    SlotRing<Entry> items_;
    std::unordered_set<std::string> keys_;
};

}  // namespace vlx
