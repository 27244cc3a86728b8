// The JACK server dies under the host while the program sends.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "host/jack/JackHost.h"
#include "tests/host/HostPump.h"
#include "tests/support/JackServer.h"
#include "tests/support/JackTester.h"

namespace {

using namespace std::chrono_literals;

TEST(JackServerLoss, SendsReturnAtOnceTheLossIsReportedOnceAndTheHostClosesCleanly) {
    vlx::test::JackServer server(48000, 256);
    server.makeDefault();
    auto lock = vlx::test::JackServer::lockClientOpens();  // see JackServer.h
    auto host = std::make_unique<vlx::host::JackHost>();
    lock.reset();
    int reports = 0;
    std::string why;
    host->OnConnectionLost([&](const std::string& w) {
        ++reports;
        why = w;
    });

    auto slowestSend = [&](int count) {
        std::chrono::steady_clock::duration slowest{};
        for (int i = 0; i < count; ++i) {
            const auto start = std::chrono::steady_clock::now();
            host->SendMidiMessage(-1, 0x90, 60 + i % 12, 100);
            slowest = std::max(slowest, std::chrono::steady_clock::now() - start);
            std::this_thread::sleep_for(200us);
        }
        return slowest;
    };
    slowestSend(200);
    EXPECT_FALSE(host->connectionLost());

    server.kill();
    // Sending goes on while the client finds out, and after.
    EXPECT_LT(slowestSend(2000), 200ms);
    ASSERT_TRUE(vlx::test::pumpUntil(*host, [&] { return reports > 0; }, 5s));
    EXPECT_TRUE(host->connectionLost());
    EXPECT_NE(why.find("JACK server went away"), std::string::npos) << why;

    const auto dropped = host->droppedSends();
    EXPECT_LT(slowestSend(100), 200ms);
    EXPECT_EQ(host->droppedSends(), dropped + 100);
    vlx::test::pumpFor(*host, 20ms);
    EXPECT_EQ(reports, 1);

    const auto closing = std::chrono::steady_clock::now();
    host.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - closing, 2s);
}

}  // namespace
