// SPDX-License-Identifier: GPL-3.0-or-later
// Records' one computation, checked arithmetic and host-time arithmetic.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "model/Checked.h"
#include "model/Errors.h"
#include "model/HostTime.h"
#include "model/Records.h"

namespace vlx {
namespace {

std::uint8_t pitch(std::int16_t octMult, std::uint8_t note) {
    QEvt step;
    step.OctMult = octMult;
    return step.CalcPitch(note);
}

TEST(QEvtCalcPitch, AddsOctavesAndFailsOutsideAByte) {
    EXPECT_EQ(pitch(1, 60), 60);
    EXPECT_EQ(pitch(2, 60), 72);
    EXPECT_EQ(pitch(4, 120), 156);  // past the MIDI range, still a byte: not clamped
    EXPECT_EQ(pitch(1, 0), 0);
    EXPECT_EQ(pitch(1, 255), 255);
    EXPECT_EQ(pitch(0, 12), 0);
    EXPECT_THROW(pitch(0, 11), OverflowError);
    EXPECT_THROW(pitch(0, 5), OverflowError);
    EXPECT_THROW(pitch(2, 250), OverflowError);
    // (OctMult - 1) * 12 leaves 16 bits long before the byte check.
    EXPECT_THROW(pitch(3000, 0), OverflowError);
    EXPECT_THROW(pitch(std::numeric_limits<std::int16_t>::min(), 0), OverflowError);

    QEvt step;
    step.OctMult = 2;
    step.Index = 7;
    step.Trigger = 1234;
    EXPECT_THROW(step.CalcPitch(250), OverflowError);
    EXPECT_EQ(step.OctMult, 2);
    EXPECT_EQ(step.Index, 7);
    EXPECT_EQ(step.Trigger, 1234);
}

TEST(Checked, SumsDifferencesAndProductsAreCheckedAtTheirWidth) {
    using namespace checked;
    EXPECT_EQ(add<std::int16_t>(32766, 1), 32767);
    EXPECT_THROW(add<std::int16_t>(32767, 1), OverflowError);
    EXPECT_THROW(sub<std::int16_t>(-32768, 1), OverflowError);
    EXPECT_EQ(sub<std::int16_t>(-32767, 1), -32768);
    EXPECT_THROW(mul<std::int16_t>(182, 182), OverflowError);  // 33124
    EXPECT_EQ(mul<std::int16_t>(181, 181), 32761);
    EXPECT_THROW(add<std::uint8_t>(200, 56), OverflowError);
    EXPECT_EQ(add<std::uint8_t>(200, 55), 255);
    EXPECT_THROW(sub<std::uint8_t>(0, 1), OverflowError);
    EXPECT_THROW(add<std::int32_t>(std::numeric_limits<std::int32_t>::max(), 1), OverflowError);
    EXPECT_THROW(mul<std::int32_t>(65536, 32768), OverflowError);
    EXPECT_EQ(mul<std::int32_t>(32767, 7500), 245'752'500);

    EXPECT_EQ(narrow<std::uint8_t>(255), 255);
    EXPECT_THROW(narrow<std::uint8_t>(256), OverflowError);
    EXPECT_THROW(narrow<std::uint8_t>(-1), OverflowError);
    EXPECT_THROW(narrow<std::int16_t>(std::int32_t{32768}), OverflowError);
    EXPECT_EQ(narrow<std::int16_t>(std::int32_t{-32768}), -32768);
}

TEST(Checked, FloatingPointRoundsHalfToEvenAndIsChecked) {
    using checked::round;
    EXPECT_EQ(round<std::int16_t>(62.5), 62);
    EXPECT_EQ(round<std::int16_t>(937.5), 938);
    EXPECT_EQ(round<std::int16_t>(0.5), 0);
    EXPECT_EQ(round<std::int16_t>(1.5), 2);
    EXPECT_EQ(round<std::int16_t>(-0.5), 0);
    EXPECT_EQ(round<std::int16_t>(-1.5), -2);
    EXPECT_EQ(round<std::int16_t>(-2.5), -2);
    EXPECT_EQ(round<std::int16_t>(2.4999), 2);
    EXPECT_EQ(round<std::int16_t>(2.5001), 3);
    EXPECT_EQ(round<std::int16_t>(32767.4), 32767);
    EXPECT_THROW(round<std::int16_t>(32767.5), OverflowError);  // rounds to 32768
    EXPECT_EQ(round<std::int16_t>(-32768.5), -32768);           // rounds to even, in range
    EXPECT_THROW(round<std::int16_t>(-32769.0), OverflowError);
    EXPECT_THROW(round<std::int16_t>(std::nan("")), OverflowError);
    EXPECT_THROW(round<std::int16_t>(std::numeric_limits<double>::infinity()), OverflowError);
    EXPECT_EQ(round<std::uint8_t>(255.49), 255);
    EXPECT_THROW(round<std::uint8_t>(-0.6), OverflowError);

    EXPECT_DOUBLE_EQ(checked::divide(7500.0, 120.0), 62.5);
    EXPECT_THROW(checked::divide(1.0, 0.0), DivisionByZeroError);
}

TEST(HostTime, SumsWrapAndComparisonsUseTheSignedDifference) {
    using namespace hosttime;
    constexpr std::int32_t max = std::numeric_limits<std::int32_t>::max();
    constexpr std::int32_t min = std::numeric_limits<std::int32_t>::min();
    EXPECT_EQ(after(10000, 5), 10005);
    EXPECT_EQ(after(max, 1), min);
    EXPECT_EQ(after(max - 2, 10), min + 7);
    EXPECT_EQ(after(-1, 1), 0);
    EXPECT_EQ(distance(max - 2, min + 7), 10);
    EXPECT_EQ(distance(min + 7, max - 2), -10);

    EXPECT_TRUE(isDue(10000, 10000));  // due at its exact time
    EXPECT_FALSE(isDue(10001, 10000));
    EXPECT_TRUE(isDue(max, min));      // one ms after the wrap
    EXPECT_FALSE(isDue(min, max));     // one ms before it
    EXPECT_TRUE(isDue(max - 100, min + 100));
    EXPECT_TRUE(isBefore(max, min));
    EXPECT_FALSE(isBefore(min, max));
    EXPECT_FALSE(isBefore(5, 5));
}

}  // namespace
}  // namespace vlx
