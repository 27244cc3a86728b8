// The process callback's bookkeeping per JACK cycle, on scripted frame times.
#include <gtest/gtest.h>

#include <cstdint>

#include "host/jack/CycleLedger.h"

namespace {

TEST(CycleLedger, RepeatedCallsContinueTheCycleAndGapsCountAsMissed) {
    struct Step {
        std::uint32_t frame, nframes;
        bool fresh;
        std::uint32_t next;  // nextOffset right after begin
        std::uint64_t missed, repeated;
        std::uint32_t writes;  // what this call writes up to
    };
    const Step steps[] = {
        {1000, 256, true, 0, 0, 0, 100},
        {1000, 256, false, 100, 0, 1, 180},  // F then F: keep 0..100, write on from there
        {1000, 256, false, 180, 0, 2, 180},  // and again
        {1256, 256, true, 0, 0, 2, 40},      // F then F + n: afresh
        {1768, 256, true, 0, 1, 2, 0},       // one cycle skipped
        {2536, 256, true, 0, 3, 2, 0},       // two more
        {2836, 256, true, 0, 4, 2, 0},       // a gap of a cycle and a bit counts as one
        {0xFFFFFF00u, 256, true, 0, 4, 2, 7},  // a step backwards is no gap
        {0x00000000u, 256, true, 0, 4, 2, 0},  // across the wrap of the frame counter
        {0x00000000u, 256, false, 0, 4, 3, 0},
        {0x00000100u, 1024, true, 0, 4, 3, 0},  // a new period length
    };
    vlx::host::CycleLedger ledger;
    int i = 0;
    for (const Step& s : steps) {
        EXPECT_EQ(ledger.begin(s.frame, s.nframes), s.fresh) << "step " << i;
        EXPECT_EQ(ledger.nextOffset(), s.next) << "step " << i;
        EXPECT_EQ(ledger.missed(), s.missed) << "step " << i;
        EXPECT_EQ(ledger.repeated(), s.repeated) << "step " << i;
        ledger.wrote(s.writes);
        ++i;
    }
}

}  // namespace
