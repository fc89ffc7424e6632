// The transport over a real pseudo-terminal with real libmodbus against the virtual IO board:
// what the oven manager relies on when the line misbehaves (silence, exceptions), the order of
// queued writes, polling and its pauses, and teardown.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "kor_modbus.h"
#include "log_capture.hpp"
#include "sim_process.hpp"

namespace {

using kor_test::wait_until;
using namespace std::chrono_literals;

// A board that answers gets the oven manager's own response time-out, which a busy machine meets.
// Where a test silences the board on purpose every exchange waits out the whole time-out, three
// tries a request: those tests use a shorter one, still well above a loaded machine's stalls.
constexpr int32_t kAnsweredTimeoutMs = 1500;
constexpr int32_t kSilencedTimeoutMs = 400;
constexpr int32_t kPollMs = 20;
constexpr int32_t kRetries = 3;

// kor_modbus_free on a helper thread: a teardown that hangs fails the test instead of the whole
// run. A hung call is left behind with its context.
bool free_within(modbus_data_t *ctx, std::chrono::milliseconds limit) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread([ctx, done] {
        kor_modbus_free(ctx);
        *done = true;
    }).detach();
    return wait_until([&] { return done->load(); }, limit);
}

long frames_of(kor_test::SimProcess &sim) {
    const std::string value = sim.status_field("frames");
    return value.empty() ? -1 : std::stol(value);
}

// Waits for the link to fall quiet: the board hears no request for span. A round under way when
// polling was paused may take its time on a busy machine; a link that keeps polling never falls
// quiet and fails after seconds.
bool falls_quiet(kor_test::SimProcess &sim, std::chrono::milliseconds span) {
    return wait_until(
        [&] {
            const long before = frames_of(sim);
            std::this_thread::sleep_for(span);
            return frames_of(sim) == before;
        },
        5000ms);
}

class TransportOnBoard : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(sim.start()) << sim.last_error();
        ASSERT_EQ(kor_modbus_init(&ctx, sim.link_path().c_str(), 1, timeout_ms(), kPollMs, kRetries,
                                  0, nullptr),
                  0);
        ASSERT_NE(ctx, nullptr);
        ASSERT_EQ(kor_modbus_get_state(ctx), KOR_MODBUS_STATE_RUNNING);
    }
    void TearDown() override {
        if (ctx != nullptr) {
            EXPECT_TRUE(free_within(ctx, 10s)) << "kor_modbus_free did not return";
        }
    }

    virtual int32_t timeout_ms() const { return kAnsweredTimeoutMs; }
    int read(uint32_t reg) {
        uint16_t value = 0;
        return kor_modbus_read_holding_register(ctx, reg, &value) == 0 ? value : -1;
    }
    long frames() { return frames_of(sim); }

    kor_test::LogCapture log;
    kor_test::SimProcess sim;
    modbus_data_t *ctx = nullptr;
};

class TransportOnSilencedBoard : public TransportOnBoard {
  protected:
    int32_t timeout_ms() const override { return kSilencedTimeoutMs; }
};

TEST_F(TransportOnBoard, SynchronousReadsSeeTheBoardsRegisters) {
    ASSERT_EQ(sim.command("set 0 17"), "ok");
    ASSERT_EQ(sim.command("set 99 4"), "ok");
    EXPECT_EQ(read(0), 17);
    EXPECT_EQ(read(99), 4);
    ASSERT_EQ(sim.command("set 0 65535"), "ok");
    EXPECT_EQ(read(0), 65535);

    // Beyond the board's map: an exception, which is a failed read but no lost link.
    EXPECT_EQ(read(500), -1);
    EXPECT_EQ(log.count_containing("Failed modbus read operation. Retry Count: 2"), 1);
    EXPECT_EQ(kor_modbus_get_state(ctx), KOR_MODBUS_STATE_RUNNING);
    EXPECT_EQ(read(0), 65535);
}

TEST_F(TransportOnBoard, QueuedWritesReachTheBoardInTheOrderTheyWereQueued) {
    std::string expected = "56:=400 56:=425";
    ASSERT_EQ(kor_modbus_write_holding_register(ctx, 56, 400), 0);
    ASSERT_EQ(kor_modbus_write_holding_register(ctx, 56, 425), 0);
    for (uint32_t i = 0; i < 20; ++i) {
        ASSERT_EQ(kor_modbus_write_holding_register(ctx, 20 + i, i * 7), 0);
        expected += " " + std::to_string(20 + i) + ":=" + std::to_string(i * 7);
    }
    // Only the low 16 bits of a value go out.
    ASSERT_EQ(kor_modbus_write_holding_register(ctx, 2, 0x12345), 0);
    expected += " 2:=9029";
    EXPECT_TRUE(wait_until([&] { return sim.command("writes") == expected; }, 10s))
        << sim.command("writes");
    EXPECT_EQ(sim.command("get 56"), "425");
}

TEST_F(TransportOnSilencedBoard, FiveTimeoutsDropTheLinkAndTheNextSuccessRestoresIt) {
    ASSERT_EQ(sim.command("set 5 240"), "ok");
    ASSERT_EQ(sim.command("silence 60"), "ok");
    for (int i = 1; i <= 4; ++i) {
        EXPECT_EQ(read(5), -1);
        EXPECT_EQ(kor_modbus_get_state(ctx), KOR_MODBUS_STATE_RUNNING) << "after time-out " << i;
    }
    EXPECT_EQ(read(5), -1);
    EXPECT_EQ(kor_modbus_get_state(ctx), KOR_MODBUS_STATE_DISCONNECTED);
    EXPECT_EQ(kor_modbus_is_running(ctx), 0);
    EXPECT_EQ(log.count("Failed modbus read operation. Retry Count: 2 Error: -1 errno: 110 desc: "
                        "Connection timed out"),
              5);

    // The transport never reconnects by itself: the next answered request brings it back.
    ASSERT_EQ(sim.command("silence 0"), "ok");
    EXPECT_EQ(read(5), 240);
    EXPECT_EQ(kor_modbus_get_state(ctx), KOR_MODBUS_STATE_RUNNING);
    // The count started over: four more time-outs keep it running.
    ASSERT_EQ(sim.command("silence 60"), "ok");
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(read(5), -1);
    }
    EXPECT_EQ(kor_modbus_get_state(ctx), KOR_MODBUS_STATE_RUNNING);
}

TEST_F(TransportOnSilencedBoard, AnExceptionReplyNeitherCountsNorClearsTimeouts) {
    ASSERT_EQ(sim.command("silence 60"), "ok");
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(read(7), -1);
    }
    ASSERT_EQ(sim.command("silence 0"), "ok");
    ASSERT_EQ(sim.command("exception 4 3"), "ok");
    EXPECT_EQ(read(7), -1);
    EXPECT_EQ(sim.status_field("exception"), "none");  // all three attempts were answered
    // Counted, it would have been the fifth time-out.
    EXPECT_EQ(kor_modbus_get_state(ctx), KOR_MODBUS_STATE_RUNNING);

    // Not cleared either: one more time-out is the fifth.
    ASSERT_EQ(sim.command("silence 60"), "ok");
    EXPECT_EQ(read(7), -1);
    EXPECT_EQ(kor_modbus_get_state(ctx), KOR_MODBUS_STATE_DISCONNECTED);
}

TEST_F(TransportOnSilencedBoard, AWriteThatNeverGetsThroughIsDroppedAndLaterWritesStillGo) {
    ASSERT_EQ(sim.command("silence 60"), "ok");
    const long before = frames();
    ASSERT_EQ(kor_modbus_write_holding_register(ctx, 10, 1), 0);
    ASSERT_TRUE(wait_until(
        [&] { return log.count_containing("Failed modbus write operation. Retry Count: 2") == 1; },
        10s))
        << log.dump();
    EXPECT_EQ(log.count_containing("Failed modbus write operation."), kRetries);
    EXPECT_EQ(frames() - before, kRetries);

    ASSERT_EQ(sim.command("silence 0"), "ok");
    ASSERT_EQ(kor_modbus_write_holding_register(ctx, 11, 2), 0);
    EXPECT_TRUE(wait_until([&] { return sim.command("writes") == "11:=2"; }, 10s))
        << sim.command("writes");
    EXPECT_EQ(sim.command("get 10"), "0");
    EXPECT_EQ(log.count_containing("Failed modbus write operation."), kRetries);
}

TEST_F(TransportOnBoard, PollingKeepsSubscriptionBlocksFresh) {
    ASSERT_EQ(kor_modbus_init_data_subscription_block(ctx, 0, 99, 21), 0);
    ASSERT_EQ(kor_modbus_init_data_subscription_block(ctx, 1, 199, 14), 0);
    ASSERT_EQ(sim.command("set 106 350"), "ok");
    ASSERT_EQ(sim.command("set 212 9"), "ok");
    ASSERT_EQ(kor_modbus_start_polling(ctx), 0);

    uint16_t status[21] = {};
    uint16_t faults[14] = {};
    auto polled = [&](uint16_t temperature, uint16_t fault) {
        return kor_modbus_read_data_subscription_block(ctx, 0, status) == 0 &&
               kor_modbus_read_data_subscription_block(ctx, 1, faults) == 0 &&
               status[106 - 99] == temperature && faults[212 - 199] == fault;
    };
    EXPECT_TRUE(wait_until([&] { return polled(350, 9); }, 10s));
    ASSERT_EQ(sim.command("set 106 351"), "ok");
    ASSERT_EQ(sim.command("set 212 0"), "ok");
    EXPECT_TRUE(wait_until([&] { return polled(351, 0); }, 10s));
    EXPECT_EQ(kor_modbus_read_data_subscription_block(ctx, 2, status), -1);
}

TEST_F(TransportOnBoard, CpiModeAndDisabledPollingPauseRoundsButNotWrites) {
    ASSERT_EQ(kor_modbus_init_data_subscription_block(ctx, 0, 99, 21), 0);
    ASSERT_EQ(kor_modbus_start_polling(ctx), 0);
    uint16_t status[21] = {};
    auto temperature_polled = [&](uint16_t value) {
        return kor_modbus_read_data_subscription_block(ctx, 0, status) == 0 &&
               status[106 - 99] == value;
    };
    ASSERT_EQ(sim.command("set 106 300"), "ok");
    ASSERT_TRUE(wait_until([&] { return temperature_polled(300); }, 10s));

    struct Pause {
        const char *name;
        void (*pause)(modbus_data_t *);
        void (*resume)(modbus_data_t *);
    };
    const Pause pauses[] = {
        {"cpi", [](modbus_data_t *c) { kor_modbus_start_cpi_file_transfer(c); },
         [](modbus_data_t *c) { kor_modbus_end_cpi_file_transfer(c); }},
        {"disabled", [](modbus_data_t *c) { kor_modbus_enable_polling(c, 0); },
         [](modbus_data_t *c) { kor_modbus_enable_polling(c, 1); }},
    };
    uint16_t value = 300;
    for (const auto &p : pauses) {
        SCOPED_TRACE(p.name);
        p.pause(ctx);
        EXPECT_TRUE(falls_quiet(sim, 10 * std::chrono::milliseconds(kPollMs)));
        ASSERT_EQ(sim.command("set 106 " + std::to_string(++value)), "ok");

        // Queued writes still go out while the rounds are paused: exactly one request.
        const long before = frames();
        ASSERT_EQ(kor_modbus_write_holding_register(ctx, 1, value), 0);
        EXPECT_TRUE(wait_until([&] { return sim.command("get 1") == std::to_string(value); }, 10s));
        std::this_thread::sleep_for(5 * std::chrono::milliseconds(kPollMs));
        EXPECT_EQ(frames() - before, 1);
        EXPECT_FALSE(temperature_polled(value));

        p.resume(ctx);
        EXPECT_TRUE(wait_until([&] { return temperature_polled(value); }, 10s));
    }
    EXPECT_EQ(log.count("Switching into CPI transfer mode - modbus polling paused..."), 1);
    EXPECT_EQ(log.count("CPI transfer mode ended - modbus polling resumed..."), 1);
}

// The libmodbus table with two probes: the free slot looks at the link first (it runs at
// teardown, after the threads have ended, while the context still exists), and a held write
// returns only once teardown has begun, so its state adjustment comes after state 3.
std::atomic<modbus_data_t *> g_link{nullptr};
std::atomic<int> g_state_at_release{-1};
std::atomic<bool> g_hold_writes{false};
modbus_interface_t g_real{};

void free_and_record(mbs_ctx_t *holder) {
    if (modbus_data_t *link = g_link.load()) {
        g_state_at_release = kor_modbus_get_state(link);
    }
    g_real.free(holder);
}

int write_held_until_teardown(mbs_ctx_t *holder, int address, uint32_t value) {
    const int result = g_real.write_register(holder, address, value);
    if (result == 1 && g_hold_writes) {
        wait_until([] { return kor_modbus_get_state(g_link.load()) == KOR_MODBUS_STATE_STOPPING; },
                   10s);
    }
    return result;
}

TEST(TransportTeardown, FreeEndsInStateThreeEvenWhenAnExchangeEndsDuringIt) {
    kor_test::LogCapture log;
    kor_test::SimProcess sim;
    ASSERT_TRUE(sim.start()) << sim.last_error();
    modbus_interface_t *table = kor_create_modbus_instance();
    ASSERT_NE(table, nullptr);
    g_real = *table;
    table->free = free_and_record;
    table->write_register = write_held_until_teardown;
    modbus_data_t *ctx = nullptr;
    ASSERT_EQ(kor_modbus_init(&ctx, sim.link_path().c_str(), 1, kSilencedTimeoutMs, kPollMs,
                              kRetries, 0, table),
              0);
    free(table);  // init keeps its own copy
    g_link = ctx;
    ASSERT_EQ(kor_modbus_init_data_subscription_block(ctx, 0, 99, 21), 0);
    ASSERT_EQ(kor_modbus_start_polling(ctx), 0);
    ASSERT_TRUE(wait_until([&] { return sim.status_field("served") != "0"; }, 10s));

    // A write that times out leaves a time-out counted; the next good write would end that run
    // and set state 2, but it ends only after teardown has set state 3, which must stay.
    // Polling rounds are paused so that no block read ends the run first.
    ASSERT_EQ(kor_modbus_enable_polling(ctx, 0), 0);
    ASSERT_TRUE(falls_quiet(sim, 5 * std::chrono::milliseconds(kPollMs)));
    ASSERT_EQ(sim.command("silence 60"), "ok");
    ASSERT_EQ(kor_modbus_write_holding_register(ctx, 30, 1), 0);
    ASSERT_TRUE(wait_until(
        [&] { return log.count_containing("Failed modbus write operation. Retry Count: 2") == 1; },
        10s));
    ASSERT_EQ(sim.command("silence 0"), "ok");
    g_hold_writes = true;
    ASSERT_EQ(kor_modbus_write_holding_register(ctx, 31, 2), 0);
    ASSERT_TRUE(wait_until([&] { return sim.command("writes") == "31:=2"; }, 10s));

    EXPECT_TRUE(free_within(ctx, 10s)) << "kor_modbus_free did not return";
    g_link = nullptr;
    g_hold_writes = false;
    EXPECT_EQ(g_state_at_release.load(), KOR_MODBUS_STATE_STOPPING);

    const std::string frames = sim.status_field("frames");
    std::this_thread::sleep_for(10 * std::chrono::milliseconds(kPollMs));
    EXPECT_EQ(sim.status_field("frames"), frames);
}

TEST(TransportTeardown, FreeDoesNotWaitForEveryAttemptOfAQueueOfDeadWrites) {
    kor_test::LogCapture log;
    kor_test::SimProcess sim;
    ASSERT_TRUE(sim.start()) << sim.last_error();
    modbus_data_t *ctx = nullptr;
    ASSERT_EQ(kor_modbus_init(&ctx, sim.link_path().c_str(), 1, kSilencedTimeoutMs, kPollMs,
                              kRetries, 0, nullptr),
              0);
    ASSERT_EQ(sim.command("silence 60"), "ok");
    const long before = frames_of(sim);
    for (uint32_t i = 0; i < 10; ++i) {
        ASSERT_EQ(kor_modbus_write_holding_register(ctx, 30 + i, i), 0);
    }
    ASSERT_TRUE(wait_until([&] { return frames_of(sim) > before; }, 10s));
    // Ten writes of three attempts would take twelve seconds; one exchange under way (0.4 s) is
    // the most, and a busy machine is given ten times that.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(free_within(ctx, 15s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
}

}  // namespace
