// SPDX-License-Identifier: GPL-3.0-or-later
// The one rule for received input, as a table: arrival on the MIDI thread,
// delivery on the owner's thread.
#include <gtest/gtest.h>

#include "host/Routing.h"

namespace {

using vlx::host::InputCase;
using vlx::host::routeInput;

TEST(Routing, OneRuleForArrivalAndDelivery) {
    struct Row {
        const char* what;
        std::int32_t divert, raise;
        bool fits, room;
        bool out, program, noRoom;
    };
    const Row arrivals[] = {
        {"as created: passes", 0, 0, true, true, true, false, false},
        {"diverted, not yet raising: passes", 1, 0, true, true, true, false, false},
        {"raising beside thru: both", 0, 1, true, true, true, true, false},
        {"diverted and raising: program only", 1, 1, true, true, false, true, false},
        {"SysEx while diverting: whole, not handed over", 1, 1, false, true, true, false, false},
        {"SysEx while raising thru", 0, 1, false, true, true, false, false},
        {"no room: counted", 0, 0, true, false, false, false, true},
        {"no room while raising: counted, still handed over", 0, 1, true, false, false, true, true},
        {"no room but diverted: nothing to count", 1, 1, true, false, false, true, false},
        {"only 1 is on (divert -1)", -1, 1, true, true, true, true, false},
        {"only 1 is on (raise -1)", 1, -1, true, true, true, false, false},
    };
    for (const Row& r : arrivals) {
        InputCase c;
        c.divert = r.divert;
        c.raise = r.raise;
        c.fitsEvent = r.fits;
        c.roomInOutput = r.room;
        const auto route = routeInput(c);
        EXPECT_EQ(route.toOutput, r.out) << r.what;
        EXPECT_EQ(route.toProgram, r.program) << r.what;
        EXPECT_EQ(route.noRoom, r.noRoom) << r.what;
    }

    struct Delivery {
        const char* what;
        std::int32_t divert, raise;
        bool passedOnArrival;
        bool out, program;
    };
    const Delivery deliveries[] = {
        {"raising: to the program", 1, 1, false, false, true},
        {"raising, passed already: to the program only", 0, 1, true, false, true},
        {"switched off before delivery: out now", 1, 0, false, true, false},
        {"switched off, passed on arrival: not twice", 0, 0, true, false, false},
        {"switched off, divert already cleared: still out once", 0, 0, false, true, false},
    };
    for (const Delivery& d : deliveries) {
        InputCase c;
        c.delivering = true;
        c.divert = d.divert;
        c.raise = d.raise;
        c.passedOnArrival = d.passedOnArrival;
        c.roomInOutput = false;  // the output's room matters only on arrival
        const auto route = routeInput(c);
        EXPECT_EQ(route.toOutput, d.out) << d.what;
        EXPECT_EQ(route.toProgram, d.program) << d.what;
        EXPECT_FALSE(route.noRoom) << d.what;
    }
}

}  // namespace
