// Fixture of the register-map tests: a transport over the recording fake link, what reached the
// "bus" (the fake's write and read calls), and the library-wide polled copies reset around each
// test.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "fake_link.hpp"
#include "kor_iocomms.h"
#include "log_capture.hpp"

namespace kor_test {

// A register write as the board saw it: address := value.
using Write = std::pair<int, uint32_t>;

class RegisterMapTest : public ::testing::Test {
  protected:
    // No register of the map lives here; the tests use it to mark the end of what was queued.
    static constexpr uint32_t kMarkerRegister = 499;
    static constexpr uint32_t kMarkerValue = 0xBEEF;

    void SetUp() override {
        kor_oven_free();
        kor_oven_init_structures();
        ASSERT_EQ(0, kor_modbus_init(&ctx, "fake", 1, 100, 10, 3, 0, fake.table()));
    }

    void TearDown() override {
        if (ctx != nullptr) {
            EXPECT_EQ(0, kor_modbus_free(ctx));
        }
        kor_oven_free();
    }

    // Every write queued so far, in the order it reached the board: a marker write is queued
    // last and waited for, and the write thread keeps the queue's order.
    std::vector<Write> drain_writes() {
        EXPECT_EQ(0, kor_modbus_write_holding_register(ctx, kMarkerRegister, kMarkerValue));
        EXPECT_TRUE(wait_until([&] {
            for (const Call &c : fake.calls(Op::WriteRegister)) {
                if (c.address == static_cast<int>(kMarkerRegister) && c.value == kMarkerValue) {
                    return true;
                }
            }
            return false;
        })) << "the marker write never reached the board";
        std::vector<Write> out;
        for (const Call &c : fake.calls(Op::WriteRegister)) {
            if (c.address == static_cast<int>(kMarkerRegister)) {
                continue;
            }
            out.emplace_back(c.address, c.value);
        }
        return out;
    }

    // Addresses of the synchronous reads made so far.
    std::vector<int> reads() const {
        std::vector<int> out;
        for (const Call &c : fake.calls(Op::ReadRegister)) {
            out.push_back(c.address);
        }
        return out;
    }

    // Lines at level 3 of the link's module matching "<what> (<file>:<line>)".
    int argument_lines(const std::string &what, const std::string &file) const {
        const std::regex pattern(what + " \\(" + file + ":[0-9]+\\)");
        int n = 0;
        for (const LogLine &l : log.lines()) {
            if (l.level == 3 && l.module == "kor_oven_modbus" &&
                std::regex_match(l.message, pattern)) {
                ++n;
            }
        }
        return n;
    }

    static Outcome failed_read() {
        Outcome o;
        o.result = -1;
        o.err = 5;  // EIO: an answer that went wrong, not a time-out, so the state stays
        return o;
    }

    LogCapture log;
    FakeLink fake;
    modbus_data_t *ctx = nullptr;
};

}  // namespace kor_test
