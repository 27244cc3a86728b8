// SPDX-License-Identifier: GPL-3.0-or-later
// The one rule for received input, as a table.
#include <gtest/gtest.h>

#include "host/api/Routing.h"

namespace {

using vlx::host::InputCase;
using vlx::host::routeInput;

TEST(Routing, OneRuleForReceivedInput) {
    struct Row {
        const char* what;
        std::int32_t divert, raise;
        bool fits;
        bool out, program;
    };
    const Row rows[] = {
        {"as created: passes", 0, 0, true, true, false},
        {"diverted, not yet raising: passes", 1, 0, true, true, false},
        {"raising beside thru: both", 0, 1, true, true, true},
        {"diverted and raising: program only", 1, 1, true, false, true},
        {"SysEx while diverting: whole, not to the program", 1, 1, false, true, false},
        {"SysEx while raising thru", 0, 1, false, true, false},
        {"only 1 is on (divert -1)", -1, 1, true, true, true},
        {"only 1 is on (raise -1)", 1, -1, true, true, false},
    };
    for (const Row& r : rows) {
        InputCase c;
        c.divert = r.divert;
        c.raise = r.raise;
        c.fitsEvent = r.fits;
        const auto route = routeInput(c);
        EXPECT_EQ(route.toOutput, r.out) << r.what;
        EXPECT_EQ(route.toProgram, r.program) << r.what;
    }
}

}  // namespace
