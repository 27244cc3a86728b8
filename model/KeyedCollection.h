#pragma once
// The ordered store that every collection wraps: shared references at 1-based
// positions, each optionally under a unique string key. Items live in a deque,
// so appending, and taking from either end, cost O(1); positions in between
// cost what a deque insert or erase costs. Keys are compared exactly (case
// matters); the program never uses them, so finding one is a linear scan.
#include <algorithm>
#include <cstdint>
#include <deque>
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

template <class T>
class KeyedCollection {
public:
    using Ref = std::shared_ptr<T>;

    // Appends `item`, or inserts it in front of the item that `before` names.
    // With a non-empty key the item is stored under it.
    void Add(Ref item, std::string_view key = {}, const std::optional<IndexKey>& before = std::nullopt) {
        std::string k(key);
        if (!k.empty() && keys_.contains(k)) throw DuplicateKeyError();
        // Resolve the position first so a failure leaves the store unchanged.
        const auto at = before ? offsetOf(*before) : items_.size();
        if (!k.empty()) keys_.insert(k);
        items_.insert(items_.begin() + static_cast<std::ptrdiff_t>(at), Entry{std::move(item), std::move(k)});
    }

    const Ref& Item(const IndexKey& ik) const { return items_[offsetOf(ik)].item; }

    void Remove(const IndexKey& ik) {
        const auto at = offsetOf(ik);
        auto it = items_.begin() + static_cast<std::ptrdiff_t>(at);
        if (!it->key.empty()) keys_.erase(it->key);
        items_.erase(it);
    }

    std::int32_t Count() const noexcept { return static_cast<std::int32_t>(items_.size()); }

    // The items from position 1 to Count.
    auto NewEnum() const { return items_ | std::views::transform(&Entry::item); }

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
        const auto it = std::ranges::find(items_, ik.key(), &Entry::key);
        if (ik.key().empty() || it == items_.end()) throw MissingKeyError();
        return static_cast<std::size_t>(it - items_.begin());
    }

    std::deque<Entry> items_;
    std::unordered_set<std::string> keys_;
};

}  // namespace vlx
