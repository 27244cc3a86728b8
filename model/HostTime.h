// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Host times are 32-bit milliseconds that wrap after about 24.8 days. Sums of
// times wrap instead of overflowing, and two times are compared by their
// signed difference, so a pattern keeps playing across the wrap as long as the
// times compared lie within 2^31 - 1 ms of each other.
#include <cstdint>

namespace vlx::hosttime {

// t + ms, wrapping modulo 2^32.
constexpr std::int32_t after(std::int32_t t, std::int32_t ms) noexcept {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(t) + static_cast<std::uint32_t>(ms));
}

// b - a as a signed distance, wrapping modulo 2^32.
constexpr std::int32_t distance(std::int32_t a, std::int32_t b) noexcept {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(b) - static_cast<std::uint32_t>(a));
}

// True when a step triggered at `trigger` is due at `now` (due at its exact time).
constexpr bool isDue(std::int32_t trigger, std::int32_t now) noexcept { return distance(trigger, now) >= 0; }

// True when a lies strictly before b.
constexpr bool isBefore(std::int32_t a, std::int32_t b) noexcept { return distance(a, b) > 0; }

}  // namespace vlx::hosttime
