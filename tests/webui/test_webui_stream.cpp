// The event stream's fan-out: a client that stops reading is dropped when its queue is full,
// while the others get every message; at most 32 streams.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "webui_stream.hpp"

using kor_webui::Broadcaster;
using namespace std::chrono_literals;

TEST(WebuiStream, SlowClientIsDroppedOthersGetEverything) {
    Broadcaster b;
    auto slow = b.subscribe();
    auto fast = b.subscribe();
    ASSERT_TRUE(slow && fast);
    const int total = static_cast<int>(Broadcaster::kQueueLimit) * 2;
    for (int i = 0; i < total; ++i) {
        b.publish("m" + std::to_string(i));
        bool ended = false;
        EXPECT_EQ("m" + std::to_string(i), fast->next(0ms, ended).value_or("(none)"));
        EXPECT_FALSE(ended);
    }
    bool ended = false;
    EXPECT_FALSE(slow->next(0ms, ended));
    EXPECT_TRUE(ended);
    EXPECT_EQ(1u, b.clients());
    EXPECT_EQ(1, b.dropped());

    b.close_all();
    fast->next(0ms, ended);
    EXPECT_TRUE(ended);
    EXPECT_EQ(0u, b.clients());
}

TEST(WebuiStream, AtMost32Streams) {
    Broadcaster b;
    std::vector<std::shared_ptr<Broadcaster::Client>> clients;
    for (std::size_t i = 0; i < Broadcaster::kMaxClients; ++i) {
        clients.push_back(b.subscribe());
        ASSERT_TRUE(clients.back()) << i;
    }
    EXPECT_FALSE(b.subscribe());
    b.unsubscribe(clients.front());
    EXPECT_TRUE(b.subscribe());
}
