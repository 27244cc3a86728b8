// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Checked integer arithmetic: every sum, difference, product and narrowing is
// checked against the width of its result type and raises OverflowError when
// the value does not fit. Floating-point results are rounded to nearest with
// ties to even before they are narrowed.
#include <cmath>
#include <concepts>
#include <cstdint>
#include <limits>
#include <utility>

#include "model/Errors.h"

namespace vlx::checked {

template <std::integral To, typename From>
    requires std::integral<From>
constexpr To narrow(From v) {
    if (!std::in_range<To>(v)) throw OverflowError();
    return static_cast<To>(v);
}

template <std::integral T>
constexpr T add(T a, T b) {
    T r{};
    if (__builtin_add_overflow(a, b, &r)) throw OverflowError();
    return r;
}

template <std::integral T>
constexpr T sub(T a, T b) {
    T r{};
    if (__builtin_sub_overflow(a, b, &r)) throw OverflowError();
    return r;
}

template <std::integral T>
constexpr T mul(T a, T b) {
    T r{};
    if (__builtin_mul_overflow(a, b, &r)) throw OverflowError();
    return r;
}

// Round half to even, independent of the current floating-point rounding mode.
inline double roundHalfEven(double x) {
    const double floor = std::floor(x);
    const double diff = x - floor;
    if (diff < 0.5) return floor;
    if (diff > 0.5) return floor + 1.0;
    return std::fmod(floor, 2.0) == 0.0 ? floor : floor + 1.0;
}

// Double to integer: rounds half to even; NaN, infinities and values outside
// To's range are overflows.
template <std::integral To>
To round(double x) {
    if (!std::isfinite(x)) throw OverflowError();
    const double r = roundHalfEven(x);
    if (r < static_cast<double>(std::numeric_limits<To>::min()) ||
        r > static_cast<double>(std::numeric_limits<To>::max()))
        throw OverflowError();
    return static_cast<To>(r);
}

inline double divide(double a, double b) {
    if (b == 0.0) throw DivisionByZeroError();
    return a / b;
}

}  // namespace vlx::checked
