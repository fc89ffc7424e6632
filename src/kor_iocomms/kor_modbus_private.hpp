// Inside of the IO board link context, shared by the modules of libkor_iocomms that talk to the
// board through the transport (register map, CPI block transfer). Owns nothing by itself: the
// transport (kor_modbus.cpp) creates and releases every member.
//
// Lock rules: every libmodbus exchange runs under bus_lock; state_lock guards state,
// timeout_count, cpi_mode and polling_enabled; list_lock the write list; signal_lock the
// write-pending flag; blocks_lock the blocks vector; each block's own lock its data. Locks are
// never nested.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kor_modbus.h"
#include "zeb_common.h"
#include "zeb_logger.h"

// Module identity of every transport log line.
inline constexpr const char *kKorModbusModule = "kor_oven_modbus";

// One subscribed register range, refreshed by the polling thread.
struct kor_modbus_block {
    int32_t id = 0;
    int32_t start_address = 0;
    int32_t count = 0;
    std::vector<uint16_t> data;  // count words, zero until the first good read
    std::mutex lock;
};

// One queued register write; a malloc'ed payload of the write list, which frees it.
struct kor_modbus_write_item {
    uint32_t address;
    uint16_t value;
};

struct modbus_data {
    int32_t state = KOR_MODBUS_STATE_DISCONNECTED;
    bool debug = false;
    int32_t poll_period_ms = 0;
    int32_t retry_count = 0;
    // Consecutive time-outs; the caller threads, the polling thread and the write thread all
    // count them. Changes with state, under state_lock, so that the two always agree.
    int32_t timeout_count = 0;
    std::string device;
    int32_t slave_id = 0;
    std::thread polling_thread;
    std::thread write_thread;
    std::mutex state_lock;
    zeb_logger_t *logger = nullptr;
    std::mutex bus_lock;
    mbs_ctx_t *mbs_ctx = nullptr;
    modbus_interface_t interface {};  // own copy of the call table
    zeb_list_t *write_list = nullptr;
    std::mutex list_lock;
    // Under list_lock: told each time the write list runs empty, or the write thread ends.
    std::condition_variable writes_drained;
    bool write_thread_done = false;
    std::mutex signal_lock;
    std::condition_variable write_signal;
    bool write_pending = false;
    std::mutex blocks_lock;
    std::vector<std::unique_ptr<kor_modbus_block>> blocks;
    bool cpi_mode = false;
    bool polling_enabled = true;
    // Wakes the polling thread's sleep between rounds when the link stops (under state_lock).
    std::condition_variable poll_wake;
};

// Attempts an operation makes: the retry count, but at least one.
int32_t kor_modbus_attempts(const modbus_data *ctx);

// Connection-state adjustment after a read, write or block read with result `result` and the
// errno saved at its last failure. State 3 (stopping) is final.
void kor_modbus_adjust_state(modbus_data *ctx, int result, int saved_errno);

// Text of an error code through the link's strerror slot ("" when it has none).
const char *kor_modbus_error_text(const modbus_data *ctx, int code);
