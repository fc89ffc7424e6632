// The IO board link's transport against a recording fake link: connection state, retries, the
// write queue, subscription blocks, pausing of polling and the teardown.
#include <gtest/gtest.h>
#include <modbus/modbus.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "fake_link.hpp"
#include "kor_modbus.h"
#include "log_capture.hpp"
#include "zeb_logger.h"

using namespace std::chrono_literals;
using kor_test::Call;
using kor_test::FakeLink;
using kor_test::LogCapture;
using kor_test::Op;
using kor_test::Outcome;
using kor_test::wait_until;

namespace {

constexpr const char *kDevice = "/dev/ttyFAKE0";

Outcome failing(int err, std::chrono::milliseconds delay = 0ms) {
    Outcome o;
    o.result = -1;
    o.err = err;
    o.delay = delay;
    return o;
}

Outcome words(std::vector<uint16_t> w) {
    Outcome o;
    o.result = static_cast<int>(w.size());
    o.words = std::move(w);
    return o;
}

std::string read_failure(int attempt, int err) {
    return "Failed modbus read operation. Retry Count: " + std::to_string(attempt) +
           " Error: -1 errno: " + std::to_string(err) + " desc: " + modbus_strerror(err);
}

std::string write_failure(int attempt, int err) {
    return "Failed modbus write operation. Retry Count: " + std::to_string(attempt) +
           " Error: -1 errno: " + std::to_string(err) + " desc: " + modbus_strerror(err);
}

class ModbusTransport : public ::testing::Test {
  protected:
    void TearDown() override {
        if (sut != nullptr) {
            EXPECT_EQ(0, kor_modbus_free(sut));
            sut = nullptr;
        }
        EXPECT_EQ(0, fake.live_contexts()) << "a libmodbus context was not released";
    }

    int open(int32_t retry = 3, int32_t poll_ms = 10, int32_t timeout_ms = 1500,
             int32_t debug = 0) {
        return kor_modbus_init(&sut, kDevice, 1, timeout_ms, poll_ms, retry, debug, fake.table());
    }

    void reopen(int32_t retry, int32_t poll_ms = 10) {
        ASSERT_EQ(0, kor_modbus_free(sut));
        sut = nullptr;
        ASSERT_EQ(0, open(retry, poll_ms));
    }

    std::vector<uint16_t> block(int32_t id, size_t count) {
        std::vector<uint16_t> out(count, 0xDEAD);
        EXPECT_EQ(0, kor_modbus_read_data_subscription_block(sut, id, out.data()));
        return out;
    }

    LogCapture log;
    FakeLink fake;
    modbus_data_t *sut = nullptr;
};

TEST_F(ModbusTransport, InitOpensTheBoardLinkAndStartsRunning) {
    ASSERT_EQ(0, open());
    ASSERT_NE(nullptr, sut);

    std::vector<Call> setup;
    for (const Call &c : fake.calls()) {
        if (c.op != Op::Strerror) {
            setup.push_back(c);
        }
    }
    ASSERT_EQ(6u, setup.size());
    EXPECT_EQ(Op::NewRtu, setup[0].op);
    EXPECT_EQ(kDevice, setup[0].device);
    EXPECT_EQ(57600, setup[0].baud);
    EXPECT_EQ('N', setup[0].parity);
    EXPECT_EQ(8, setup[0].data_bit);
    EXPECT_EQ(1, setup[0].stop_bit);
    EXPECT_EQ(Op::SetSlave, setup[1].op);
    EXPECT_EQ(1, setup[1].address);
    EXPECT_EQ(Op::SetResponseTimeout, setup[2].op);
    EXPECT_EQ(Op::SetDebug, setup[3].op);
    EXPECT_EQ(0, setup[3].address);
    EXPECT_EQ(Op::Connect, setup[4].op);
    EXPECT_EQ(Op::SetSerialMode, setup[5].op);
    EXPECT_EQ(KOR_MODBUS_RTU_RS485, setup[5].address);

    EXPECT_EQ(KOR_MODBUS_STATE_RUNNING, kor_modbus_get_state(sut));
    EXPECT_EQ(1, kor_modbus_is_running(sut));
}

TEST_F(ModbusTransport, ResponseTimeoutGoesAsWholeSecondsAndMicroseconds) {
    struct Case {
        int32_t ms;
        uint32_t seconds;
        uint32_t microseconds;
    };
    for (Case c : {Case{1500, 1, 500000}, Case{800, 0, 800000}, Case{2000, 2, 0}}) {
        ASSERT_EQ(0, open(3, 10, c.ms)) << c.ms;
        auto set = fake.calls(Op::SetResponseTimeout);
        ASSERT_FALSE(set.empty());
        EXPECT_EQ(c.seconds, set.back().seconds) << c.ms;
        EXPECT_EQ(c.microseconds, set.back().microseconds) << c.ms;
        ASSERT_EQ(0, kor_modbus_free(sut));
        sut = nullptr;
    }
    // A refused time-out fails the link instead of leaving libmodbus's default.
    modbus_data_t *marker = reinterpret_cast<modbus_data_t *>(&log);
    sut = marker;
    fake.script(Op::SetResponseTimeout, failing(EINVAL));
    EXPECT_EQ(-1, kor_modbus_init(&sut, kDevice, 1, 1500, 10, 3, 0, fake.table()));
    EXPECT_EQ(marker, sut);
    EXPECT_EQ(-1, kor_modbus_init(&sut, kDevice, 1, 0, 10, 3, 0, fake.table()));
    sut = nullptr;
}

TEST_F(ModbusTransport, InitFailuresReturnMinusOneAndLeaveNothingBehind) {
    modbus_data_t *const marker = reinterpret_cast<modbus_data_t *>(&fake);
    sut = marker;

    fake.script(Op::NewRtu, failing(ENOMEM));
    EXPECT_EQ(-1, kor_modbus_init(&sut, kDevice, 1, 1500, 10, 3, 0, fake.table()));
    EXPECT_EQ(marker, sut);
    EXPECT_EQ(1, log.count_containing("Could not create mbs_ctx_t modbus object (kor_modbus:"));

    fake.script(Op::Connect, failing(ENOENT));
    EXPECT_EQ(-1, kor_modbus_init(&sut, kDevice, 1, 1500, 10, 3, 0, fake.table()));
    EXPECT_EQ(marker, sut);
    EXPECT_EQ(1,
              log.count_containing(
                  "Could not connect to modbus - errno: No such file or directory (kor_modbus:"));
    EXPECT_EQ(1, fake.count(Op::Close));

    fake.script(Op::SetSerialMode, failing(EIO));
    EXPECT_EQ(-1, kor_modbus_init(&sut, kDevice, 1, 1500, 10, 3, 0, fake.table()));
    EXPECT_EQ(marker, sut);
    EXPECT_EQ(1,
              log.count_containing(
                  "Could not set serial mode to RS485 - errno: Input/output error (kor_modbus:"));
    EXPECT_EQ(2, fake.count(Op::Close));

    // Every holder new_rtu gave out went back through free.
    EXPECT_EQ(0, fake.live_contexts());
    EXPECT_EQ(fake.count(Op::NewRtu) - 1, fake.count(Op::Free));

    EXPECT_EQ(-1, kor_modbus_init(nullptr, kDevice, 1, 1500, 10, 3, 0, fake.table()));
    EXPECT_EQ(-1, kor_modbus_init(&sut, nullptr, 1, 1500, 10, 3, 0, fake.table()));
    modbus_interface_t incomplete = *fake.table();
    incomplete.receive_raw = nullptr;
    EXPECT_EQ(-1, kor_modbus_init(&sut, kDevice, 1, 1500, 10, 3, 0, &incomplete));
    EXPECT_EQ(marker, sut);
    sut = nullptr;
}

TEST_F(ModbusTransport, FifthTimeoutInARowDisconnectsAndNextSuccessReconnects) {
    ASSERT_EQ(0, open(1));
    uint16_t value = 0;
    fake.script_n(Op::ReadRegister, 4, failing(ETIMEDOUT));
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(-1, kor_modbus_read_holding_register(sut, 100, &value));
        EXPECT_EQ(KOR_MODBUS_STATE_RUNNING, kor_modbus_get_state(sut)) << "after time-out " << i;
    }
    fake.script(Op::ReadRegister, failing(ETIMEDOUT));
    EXPECT_EQ(-1, kor_modbus_read_holding_register(sut, 100, &value));
    EXPECT_EQ(KOR_MODBUS_STATE_DISCONNECTED, kor_modbus_get_state(sut));
    EXPECT_EQ(0, kor_modbus_is_running(sut));

    fake.set_register(100, 0x1234);
    EXPECT_EQ(0, kor_modbus_read_holding_register(sut, 100, &value));
    EXPECT_EQ(0x1234, value);
    EXPECT_EQ(KOR_MODBUS_STATE_RUNNING, kor_modbus_get_state(sut));

    // The good read cleared the count: four more time-outs keep the link running.
    fake.script_n(Op::ReadRegister, 4, failing(ETIMEDOUT));
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(-1, kor_modbus_read_holding_register(sut, 100, &value));
    }
    EXPECT_EQ(KOR_MODBUS_STATE_RUNNING, kor_modbus_get_state(sut));

    // A fifth drops it again, and a good queued write brings it back.
    fake.script(Op::ReadRegister, failing(ETIMEDOUT));
    EXPECT_EQ(-1, kor_modbus_read_holding_register(sut, 100, &value));
    ASSERT_EQ(KOR_MODBUS_STATE_DISCONNECTED, kor_modbus_get_state(sut));
    EXPECT_EQ(0, kor_modbus_write_holding_register(sut, 56, 400));
    EXPECT_TRUE(wait_until([&] { return kor_modbus_get_state(sut) == KOR_MODBUS_STATE_RUNNING; }));
}

TEST_F(ModbusTransport, TimeOutAndSuccessOnTwoThreadsNeverLeaveTheLinkLost) {
    // Round after round, this thread's read is the fifth time-out in a row while the write
    // thread's good write ends the run. However the two interleave, the next good read must find
    // the link running: a state of 0 with the count already cleared would never come back.
    ASSERT_EQ(0, open(1));
    fake.set_default(Op::ReadRegister, failing(ETIMEDOUT));
    // Writes that reached the bus, counted without scanning the fake's ever longer record.
    std::mutex lock;
    std::condition_variable changed;
    int writes = 0;
    fake.set_hook([&](const Call &c) {
        if (c.op == Op::WriteRegister) {
            std::lock_guard guard(lock);
            ++writes;
            changed.notify_all();
        }
    });
    // Watchers of the state keep its lock busy, as the oven manager's threads do.
    std::atomic<bool> stop{false};
    std::vector<std::thread> watchers;
    for (int i = 0; i < 2; ++i) {
        watchers.emplace_back([&] {
            while (!stop) {
                kor_modbus_get_state(sut);
            }
        });
    }
    struct Join {
        std::atomic<bool> &stop;
        std::vector<std::thread> &threads;
        ~Join() {
            stop = true;
            for (auto &t : threads) {
                t.join();
            }
        }
    } join{stop, watchers};

    // The interleaving that loses the link is rare: many rounds, within a bound of time.
    const auto start = std::chrono::steady_clock::now();
    uint16_t value = 0;
    for (int round = 0; round < 40000 && std::chrono::steady_clock::now() < start + 4s; ++round) {
        for (int i = 0; i < 4; ++i) {
            ASSERT_EQ(-1, kor_modbus_read_holding_register(sut, 1, &value));
        }
        ASSERT_EQ(0, kor_modbus_write_holding_register(sut, 2, 1));
        ASSERT_EQ(-1, kor_modbus_read_holding_register(sut, 1, &value));
        {
            std::unique_lock guard(lock);
            ASSERT_TRUE(changed.wait_for(guard, 5s, [&] { return writes > round; }));
        }
        fake.script(Op::ReadRegister, words({7}));
        ASSERT_EQ(0, kor_modbus_read_holding_register(sut, 1, &value));
        ASSERT_EQ(KOR_MODBUS_STATE_RUNNING, kor_modbus_get_state(sut))
            << "round " << round << " after "
            << std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - start)
                   .count()
            << " ms";
        log.clear();
    }
}

TEST_F(ModbusTransport, ExceptionReplyNeitherCountsNorResetsTimeouts) {
    ASSERT_EQ(0, open(1));
    uint16_t value = 0;
    fake.script_n(Op::ReadRegister, 4, failing(ETIMEDOUT));
    fake.script(Op::ReadRegister, failing(EMBXILADD));
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(-1, kor_modbus_read_holding_register(sut, 7, &value));
    }
    EXPECT_EQ(KOR_MODBUS_STATE_RUNNING, kor_modbus_get_state(sut));

    // The exception did not reset the count: one more time-out is the fifth.
    fake.script(Op::ReadRegister, failing(ETIMEDOUT));
    EXPECT_EQ(-1, kor_modbus_read_holding_register(sut, 7, &value));
    EXPECT_EQ(KOR_MODBUS_STATE_DISCONNECTED, kor_modbus_get_state(sut));

    // An exception is no success either: the link stays down.
    fake.script(Op::ReadRegister, failing(EMBXILADD));
    EXPECT_EQ(-1, kor_modbus_read_holding_register(sut, 7, &value));
    EXPECT_EQ(KOR_MODBUS_STATE_DISCONNECTED, kor_modbus_get_state(sut));
}

TEST_F(ModbusTransport, ReadRetriesAndLogsEveryFailedAttempt) {
    ASSERT_EQ(0, open(3));
    uint16_t value = 0;
    fake.script_n(Op::ReadRegister, 2, failing(ETIMEDOUT));
    fake.script(Op::ReadRegister, words({0x55AA}));
    EXPECT_EQ(0, kor_modbus_read_holding_register(sut, 120, &value));
    EXPECT_EQ(0x55AA, value);
    EXPECT_EQ(3, fake.count(Op::ReadRegister));
    EXPECT_EQ(1, log.count(read_failure(0, ETIMEDOUT))) << log.dump();
    EXPECT_EQ(1, log.count(read_failure(1, ETIMEDOUT))) << log.dump();
    EXPECT_EQ(0, log.count(read_failure(2, ETIMEDOUT)));

    log.clear();
    value = 0xBEEF;
    fake.script_n(Op::ReadRegister, 3, failing(EMBXILADD));
    EXPECT_EQ(-1, kor_modbus_read_holding_register(sut, 120, &value));
    EXPECT_EQ(0xBEEF, value) << "a failed read must not touch the caller's word";
    EXPECT_EQ(6, fake.count(Op::ReadRegister));
    for (int attempt = 0; attempt < 3; ++attempt) {
        EXPECT_EQ(1, log.count(read_failure(attempt, EMBXILADD))) << log.dump();
    }
    for (const auto &c : fake.calls(Op::ReadRegister)) {
        EXPECT_EQ(120, c.address);
    }

    EXPECT_EQ(-1, kor_modbus_read_holding_register(sut, 120, nullptr));
    EXPECT_EQ(-1, kor_modbus_read_holding_register(sut, 0x10000, &value));
    EXPECT_EQ(-1, kor_modbus_read_holding_register(nullptr, 120, &value));
    EXPECT_EQ(6, fake.count(Op::ReadRegister)) << "refused reads must not reach the bus";

    // A retry count of 0 still makes one attempt.
    reopen(0);
    fake.script(Op::ReadRegister, failing(ETIMEDOUT));
    EXPECT_EQ(-1, kor_modbus_read_holding_register(sut, 120, &value));
    EXPECT_EQ(7, fake.count(Op::ReadRegister));
}

TEST_F(ModbusTransport, FailedReadOrWriteLeavesTheErrnoThatExplainsIt) {
    // Writing a log line may change errno, as a real output can; the caller must still see why.
    zeb_logger_set_sink([](void *, int, const char *, const char *) { errno = EIO; }, nullptr);
    ASSERT_EQ(0, open(2));
    struct Case {
        const char *what;
        std::function<int()> call;
        int err;
    };
    uint16_t value = 0;
    const Case cases[] = {
        {"read timing out",
         [&] {
             fake.script_n(Op::ReadRegister, 2, failing(ETIMEDOUT));
             return kor_modbus_read_holding_register(sut, 7, &value);
         },
         ETIMEDOUT},
        {"read answered by an exception",
         [&] {
             fake.script_n(Op::ReadRegister, 2, failing(EMBXILADD));
             return kor_modbus_read_holding_register(sut, 7, &value);
         },
         EMBXILADD},
        {"read of a register beyond 65535",
         [&] { return kor_modbus_read_holding_register(sut, 0x10000, &value); }, EINVAL},
        {"read without a place for the word",
         [&] { return kor_modbus_read_holding_register(sut, 7, nullptr); }, EINVAL},
        {"read without a link",
         [&] { return kor_modbus_read_holding_register(nullptr, 7, &value); }, EINVAL},
        {"write of a register beyond 65535",
         [&] { return kor_modbus_write_holding_register(sut, 0x10000, 1); }, EINVAL},
        {"write without a link", [&] { return kor_modbus_write_holding_register(nullptr, 7, 1); },
         EINVAL},
    };
    for (const Case &c : cases) {
        errno = 0;
        EXPECT_EQ(-1, c.call()) << c.what;
        EXPECT_EQ(c.err, errno) << c.what;
    }
}

TEST_F(ModbusTransport, QueuedWritesReachTheBusInQueueOrder) {
    ASSERT_EQ(0, open());
    EXPECT_EQ(0, kor_modbus_write_holding_register(sut, 10, 0x1234));   // A
    EXPECT_EQ(0, kor_modbus_write_holding_register(sut, 11, 0x10005));  // B, cut to 16 bits
    ASSERT_TRUE(fake.wait_for(Op::WriteRegister, 2));
    auto writes = fake.calls(Op::WriteRegister);
    ASSERT_EQ(2u, writes.size());
    EXPECT_EQ(10, writes[0].address);
    EXPECT_EQ(0x1234u, writes[0].value);
    EXPECT_EQ(11, writes[1].address);
    EXPECT_EQ(5u, writes[1].value);

    // A burst from several threads: nothing lost, each thread's writes in its own order.
    constexpr int kThreads = 4;
    constexpr int kEach = 50;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([this, t] {
            for (int i = 0; i < kEach; ++i) {
                EXPECT_EQ(
                    0, kor_modbus_write_holding_register(sut, 1000 + t, static_cast<uint32_t>(i)));
            }
        });
    }
    for (auto &w : writers) {
        w.join();
    }
    ASSERT_TRUE(fake.wait_for(Op::WriteRegister, 2 + kThreads * kEach));
    std::vector<int> next(kThreads, 0);
    for (const auto &c : fake.calls(Op::WriteRegister)) {
        if (c.address >= 1000) {
            EXPECT_EQ(static_cast<uint32_t>(next[c.address - 1000]++), c.value);
        }
    }
    EXPECT_EQ(2 + kThreads * kEach, fake.count(Op::WriteRegister));

    EXPECT_EQ(-1, kor_modbus_write_holding_register(nullptr, 10, 1));
    EXPECT_EQ(-1, kor_modbus_write_holding_register(sut, 0x10000, 1));
}

TEST_F(ModbusTransport, FailingWriteIsDroppedAfterRetryCountAttempts) {
    ASSERT_EQ(0, open(3));
    fake.script_n(Op::WriteRegister, 3, failing(EMBXSBUSY));
    EXPECT_EQ(0, kor_modbus_write_holding_register(sut, 56, 425));  // fails on the bus
    EXPECT_EQ(0, kor_modbus_write_holding_register(sut, 57, 9));
    ASSERT_TRUE(fake.wait_for(Op::WriteRegister, 4));
    auto writes = fake.calls(Op::WriteRegister);
    ASSERT_EQ(4u, writes.size());
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(56, writes[static_cast<size_t>(i)].address);
        EXPECT_EQ(1, log.count(write_failure(i, EMBXSBUSY))) << log.dump();
    }
    EXPECT_EQ(57, writes[3].address);
    EXPECT_EQ(0, log.count(write_failure(3, EMBXSBUSY)));
    EXPECT_TRUE(wait_until([&] { return fake.register_value(57) == 9; }));
    EXPECT_EQ(0, fake.register_value(56));
}

TEST_F(ModbusTransport, WaitingForWritesReturnsOnlyOnceTheQueueIsEmpty) {
    ASSERT_EQ(0, open());
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    fake.set_hook([released](const Call &c) {
        if (c.op == Op::WriteRegister && c.address == 70) {
            released.wait();  // the board sits on the first write
        }
    });
    for (uint32_t address : {70u, 71u, 72u}) {
        ASSERT_EQ(0, kor_modbus_write_holding_register(sut, address, address));
    }
    ASSERT_TRUE(fake.wait_for(Op::WriteRegister, 1));
    errno = 0;
    EXPECT_EQ(-1, kor_modbus_wait_writes(sut, 50));
    EXPECT_EQ(ETIMEDOUT, errno);

    release.set_value();
    EXPECT_EQ(0, kor_modbus_wait_writes(sut, 10000));
    EXPECT_EQ(3, fake.count(Op::WriteRegister));
    EXPECT_EQ(72, fake.register_value(72));
    EXPECT_EQ(0, kor_modbus_wait_writes(sut, 0)) << "an empty queue needs no wait";
    EXPECT_EQ(-1, kor_modbus_wait_writes(nullptr, 10));
    EXPECT_EQ(-1, kor_modbus_wait_writes(sut, -1));
}

TEST_F(ModbusTransport, QueuingAWriteNeverWaitsForTheBus) {
    ASSERT_EQ(0, open());
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    fake.set_hook([released](const Call &c) {
        if (c.op == Op::ReadRegister) {
            released.wait();  // the board sits on the read until the write has been queued
        }
    });
    fake.script(Op::ReadRegister, words({42}));
    uint16_t value = 0;
    std::thread reader([&] { EXPECT_EQ(0, kor_modbus_read_holding_register(sut, 3, &value)); });
    ASSERT_TRUE(fake.wait_for(Op::ReadRegister, 1));  // the reader now holds the bus

    // A write that waited for the bus would still wait when the bus is released below.
    auto queued = std::async(std::launch::async,
                             [&] { return kor_modbus_write_holding_register(sut, 60, 1); });
    EXPECT_EQ(std::future_status::ready, queued.wait_for(5s)) << "queuing waited for the bus";
    EXPECT_EQ(0, fake.count(Op::WriteRegister)) << "the write waits for the bus, not the caller";
    release.set_value();
    EXPECT_EQ(0, queued.get());

    reader.join();
    EXPECT_EQ(42, value);
    EXPECT_TRUE(fake.wait_for(Op::WriteRegister, 1));
}

TEST_F(ModbusTransport, SubscriptionBlockArgumentsAreChecked) {
    ASSERT_EQ(0, open());
    EXPECT_EQ(-1, kor_modbus_init_data_subscription_block(nullptr, 0, 99, 21));
    EXPECT_EQ(-1, kor_modbus_init_data_subscription_block(sut, -1, 99, 21));
    EXPECT_EQ(-1, kor_modbus_init_data_subscription_block(sut, 0, -1, 21));
    EXPECT_EQ(-1, kor_modbus_init_data_subscription_block(sut, 0, 99, 0));
    EXPECT_EQ(-1, kor_modbus_init_data_subscription_block(sut, 0, 99,
                                                          KOR_MODBUS_MAX_BLOCK_REGISTERS + 1));
    EXPECT_EQ(0, kor_modbus_init_data_subscription_block(sut, 0, 99, 21));
    EXPECT_EQ(0,
              kor_modbus_init_data_subscription_block(sut, 1, 199, KOR_MODBUS_MAX_BLOCK_REGISTERS));

    uint16_t out[KOR_MODBUS_MAX_BLOCK_REGISTERS] = {};
    EXPECT_EQ(-1, kor_modbus_read_data_subscription_block(nullptr, 0, out));
    EXPECT_EQ(-1, kor_modbus_read_data_subscription_block(sut, -1, out));
    EXPECT_EQ(-1, kor_modbus_read_data_subscription_block(sut, 0, nullptr));
    EXPECT_EQ(-1, kor_modbus_read_data_subscription_block(sut, 5, out));
    // Until the first poll a block reads as zeros.
    EXPECT_EQ(std::vector<uint16_t>(21, 0), block(0, 21));
}

TEST_F(ModbusTransport, PollingRefreshesBlocksInCreationOrder) {
    ASSERT_EQ(0, open(3, 5));
    for (int r = 99; r < 120; ++r) {
        fake.set_register(r, static_cast<uint16_t>(r * 3));
    }
    fake.set_register(199, 0x0102);
    fake.set_register(200, 0x0304);
    ASSERT_EQ(0, kor_modbus_init_data_subscription_block(sut, 0, 99, 21));
    ASSERT_EQ(0, kor_modbus_init_data_subscription_block(sut, 1, 199, 2));
    EXPECT_EQ(0, fake.count(Op::ReadRegisters)) << "no polling before start";
    ASSERT_EQ(0, kor_modbus_start_polling(sut));

    ASSERT_TRUE(fake.wait_for(Op::ReadRegisters, 2));
    auto reads = fake.calls(Op::ReadRegisters);
    EXPECT_EQ(99, reads[0].address);
    EXPECT_EQ(21, reads[0].count);
    EXPECT_EQ(199, reads[1].address);
    EXPECT_EQ(2, reads[1].count);
    EXPECT_TRUE(wait_until([&] { return block(1, 2) == std::vector<uint16_t>{0x0102, 0x0304}; }));
    auto status = block(0, 21);
    for (int i = 0; i < 21; ++i) {
        EXPECT_EQ((99 + i) * 3, status[static_cast<size_t>(i)]);
    }

    // The next rounds pick up what the board changed.
    fake.set_register(200, 0x0A0B);
    EXPECT_TRUE(wait_until([&] { return block(1, 2) == std::vector<uint16_t>{0x0102, 0x0A0B}; }));
}

TEST_F(ModbusTransport, ShortOrFailedBlockReadKeepsTheLastGoodData) {
    ASSERT_EQ(0, open(3, 5));
    fake.set_register(199, 1);
    fake.set_register(200, 2);
    fake.set_register(201, 3);
    ASSERT_EQ(0, kor_modbus_init_data_subscription_block(sut, 1, 199, 3));
    ASSERT_EQ(0, kor_modbus_start_polling(sut));
    ASSERT_TRUE(wait_until([&] { return block(1, 3) == std::vector<uint16_t>{1, 2, 3}; }));

    fake.set_register(199, 7);
    fake.set_register(200, 8);
    fake.set_register(201, 9);
    Outcome short_read = words({7, 8});
    fake.set_default(Op::ReadRegisters, short_read);
    int seen = fake.count(Op::ReadRegisters);
    ASSERT_TRUE(fake.wait_for(Op::ReadRegisters, seen + 3));
    EXPECT_EQ((std::vector<uint16_t>{1, 2, 3}), block(1, 3));

    fake.set_default(Op::ReadRegisters, failing(EMBXILADD));
    seen = fake.count(Op::ReadRegisters);
    ASSERT_TRUE(fake.wait_for(Op::ReadRegisters, seen + 3));
    EXPECT_EQ((std::vector<uint16_t>{1, 2, 3}), block(1, 3));
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::string line = "Failed reading modbus register block 199 : 3. Retry Count: " +
                           std::to_string(attempt) +
                           " Error: -1 errno: " + std::to_string(EMBXILADD) +
                           " desc: Illegal data address";
        EXPECT_TRUE(wait_until([&] { return log.count(line) > 0; })) << line << log.dump();
    }
    EXPECT_EQ(KOR_MODBUS_STATE_RUNNING, kor_modbus_get_state(sut)) << "exceptions do not count";

    // A board that stops answering takes the link down; the next good round brings it back.
    fake.set_default(Op::ReadRegisters, failing(ETIMEDOUT));
    EXPECT_TRUE(
        wait_until([&] { return kor_modbus_get_state(sut) == KOR_MODBUS_STATE_DISCONNECTED; }));
    fake.set_default(Op::ReadRegisters, words({7, 8, 9}));
    EXPECT_TRUE(wait_until([&] { return kor_modbus_get_state(sut) == KOR_MODBUS_STATE_RUNNING; }));
    EXPECT_TRUE(wait_until([&] { return block(1, 3) == std::vector<uint16_t>{7, 8, 9}; }));
}

TEST_F(ModbusTransport, CpiModeAndDisabledPollingSkipRoundsUntilResumed) {
    ASSERT_EQ(0, open(3, 5));
    ASSERT_EQ(0, kor_modbus_init_data_subscription_block(sut, 0, 99, 4));
    ASSERT_EQ(0, kor_modbus_start_polling(sut));
    ASSERT_TRUE(fake.wait_for(Op::ReadRegisters, 2));

    // A round under way when pausing may still finish, late on a busy machine; then no read for
    // twenty poll periods. Polling that goes on never falls quiet.
    auto expect_paused = [&] {
        EXPECT_TRUE(wait_until([&] {
            const int before = fake.count(Op::ReadRegisters);
            std::this_thread::sleep_for(100ms);
            return before == fake.count(Op::ReadRegisters);
        }));
    };

    ASSERT_EQ(0, kor_modbus_start_cpi_file_transfer(sut));
    EXPECT_TRUE(log.contains("Switching into CPI transfer mode - modbus polling paused..."));
    expect_paused();
    // The link itself stays usable: writes still go out.
    EXPECT_EQ(0, kor_modbus_write_holding_register(sut, 70, 1));
    EXPECT_TRUE(fake.wait_for(Op::WriteRegister, 1));
    int paused_at = fake.count(Op::ReadRegisters);
    ASSERT_EQ(0, kor_modbus_end_cpi_file_transfer(sut));
    EXPECT_TRUE(log.contains("CPI transfer mode ended - modbus polling resumed..."));
    EXPECT_TRUE(fake.wait_for(Op::ReadRegisters, paused_at + 1));

    ASSERT_EQ(0, kor_modbus_enable_polling(sut, 0));
    expect_paused();
    EXPECT_EQ(KOR_MODBUS_STATE_RUNNING, kor_modbus_get_state(sut)) << "pausing keeps the link";
    paused_at = fake.count(Op::ReadRegisters);
    ASSERT_EQ(0, kor_modbus_enable_polling(sut, 1));
    EXPECT_TRUE(fake.wait_for(Op::ReadRegisters, paused_at + 1));

    EXPECT_EQ(-1, kor_modbus_enable_polling(nullptr, 1));
    EXPECT_EQ(-1, kor_modbus_start_cpi_file_transfer(nullptr));
    EXPECT_EQ(-1, kor_modbus_end_cpi_file_transfer(nullptr));
}

TEST_F(ModbusTransport, DebugLogsTheTimeOfEveryBlockRead) {
    const std::string prefix = "libmodbus read_registers time: ";
    ASSERT_EQ(0, open(3, 5, 1500, 7));
    EXPECT_EQ(1, fake.calls(Op::SetDebug).back().address);
    ASSERT_EQ(0, kor_modbus_init_data_subscription_block(sut, 0, 99, 4));
    ASSERT_EQ(0, kor_modbus_start_polling(sut));
    ASSERT_TRUE(wait_until([&] { return log.count_containing(prefix) >= 2; }));
    const std::regex timing("libmodbus read_registers time: [0-9]+ microseconds");
    for (const auto &line : log.lines()) {
        if (line.message.rfind(prefix, 0) == 0) {
            EXPECT_TRUE(std::regex_match(line.message, timing)) << line.message;
            EXPECT_EQ(6, line.level);
            EXPECT_EQ("kor_oven_modbus", line.module);
        }
    }

    reopen(3, 5);
    log.clear();
    ASSERT_EQ(0, kor_modbus_init_data_subscription_block(sut, 0, 99, 4));
    ASSERT_EQ(0, kor_modbus_start_polling(sut));
    int seen = fake.count(Op::ReadRegisters);
    ASSERT_TRUE(fake.wait_for(Op::ReadRegisters, seen + 3));
    EXPECT_EQ(0, log.count_containing(prefix));
}

TEST_F(ModbusTransport, FreeIsPromptAndReleasesTheLink) {
    ASSERT_EQ(0, open(3, 10000));  // a long poll period: free must not sleep through it
    ASSERT_EQ(0, kor_modbus_init_data_subscription_block(sut, 0, 99, 4));
    ASSERT_EQ(0, kor_modbus_start_polling(sut));
    ASSERT_EQ(0, kor_modbus_start_polling(sut)) << "a second start is harmless";
    ASSERT_TRUE(fake.wait_for(Op::ReadRegisters, 1));

    // A dead line under a long queue: three slow time-outs per write.
    fake.set_default(Op::WriteRegister, failing(ETIMEDOUT, 50ms));
    for (int i = 0; i < 30; ++i) {
        ASSERT_EQ(0, kor_modbus_write_holding_register(sut, 50, static_cast<uint32_t>(i)));
    }
    ASSERT_TRUE(fake.wait_for(Op::WriteRegister, 1));

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(0, kor_modbus_free(sut));
    sut = nullptr;
    // All the attempts would take 4.5 s; one under way takes 50 ms, a busy machine more.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2000ms);
    EXPECT_LT(fake.count(Op::WriteRegister), 90) << "the queue was not abandoned on free";
    EXPECT_EQ(1, fake.count(Op::Close));
    EXPECT_EQ(1, fake.count(Op::Free));
    EXPECT_EQ(0, fake.live_contexts());
    EXPECT_EQ(-1, kor_modbus_free(nullptr));
}

TEST_F(ModbusTransport, StoppingIsFinalEvenForALateTimeout) {
    ASSERT_EQ(0, open(1, 5));
    uint16_t value = 0;
    fake.script_n(Op::ReadRegister, 4, failing(ETIMEDOUT));
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(-1, kor_modbus_read_holding_register(sut, 1, &value));
    }
    ASSERT_EQ(KOR_MODBUS_STATE_RUNNING, kor_modbus_get_state(sut));

    // The polling thread's block read times out (the fifth in a row) only once free has set
    // the link stopping; the state seen while free releases the link must still be stopping.
    modbus_data_t *link = sut;
    std::atomic<int> state_at_release{-99};
    fake.set_default(Op::ReadRegisters, failing(ETIMEDOUT));
    fake.set_hook([&](const Call &c) {
        if (c.op == Op::ReadRegisters) {
            wait_until([&] { return kor_modbus_get_state(link) == KOR_MODBUS_STATE_STOPPING; },
                       2000ms);
        } else if (c.op == Op::Free) {
            state_at_release = kor_modbus_get_state(link);
        }
    });
    ASSERT_EQ(0, kor_modbus_init_data_subscription_block(sut, 0, 99, 4));
    ASSERT_EQ(0, kor_modbus_start_polling(sut));
    ASSERT_TRUE(fake.wait_for(Op::ReadRegisters, 1));
    EXPECT_EQ(0, kor_modbus_free(sut));
    sut = nullptr;
    EXPECT_EQ(1, fake.count(Op::ReadRegisters));
    EXPECT_EQ(KOR_MODBUS_STATE_STOPPING, state_at_release.load());
}

TEST(ModbusTransportNull, NullContextIsRefusedEverywhere) {
    uint16_t value = 0;
    EXPECT_EQ(-1, kor_modbus_is_running(nullptr));
    EXPECT_EQ(-1, kor_modbus_get_state(nullptr));
    EXPECT_EQ(-1, kor_modbus_start_polling(nullptr));
    EXPECT_EQ(-1, kor_modbus_read_holding_register(nullptr, 0, &value));
    EXPECT_EQ(-1, kor_modbus_write_holding_register(nullptr, 0, 0));
    EXPECT_EQ(-1, kor_modbus_free(nullptr));
}

}  // namespace
