// Transport of the IO board link: owns the link context, its polling thread (keeps the
// subscribed register blocks fresh), its write thread (drains the queue of register writes in
// the order they were queued) and the connection state the oven manager watches.
//
// The board has no way to tell us it is gone, so the state follows the exchanges: five
// time-outs in a row mark the link disconnected, the next good exchange marks it running again.
// Nothing here reconnects by itself; the oven manager decides what a lost board means.
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <new>
#include <system_error>

#include "kor_modbus.h"
#include "kor_modbus_private.hpp"
#include "zeb_common.h"
#include "zeb_logger.h"

namespace {

constexpr const char *kFile = "kor_modbus";
constexpr int kBaud = 57600;
constexpr char kParity = 'N';
constexpr int kDataBits = 8;
constexpr int kStopBits = 1;
// A fifth time-out in a row means the board is gone.
constexpr int32_t kTimeoutsBeforeDisconnect = 4;
// Scratch room of a block read: more than one Modbus read can carry.
constexpr int kScratchRegisters = 256;

#define KOR_LOG(ctx, level, ...) \
    zeb_logger_log((ctx)->logger, (level), kKorModbusModule, __VA_ARGS__)

void set_state(modbus_data *ctx, int32_t state) {
    std::lock_guard lock(ctx->state_lock);
    if (ctx->state != KOR_MODBUS_STATE_STOPPING) {
        ctx->state = state;
    }
}

// The -1 of a failed call, with errno set last: a log line written after the failure may have
// changed it, and the caller (a console prints it) must see why the call failed.
int fail_with(int err) {
    errno = err;
    return -1;
}

bool is_stopping(modbus_data *ctx) {
    std::lock_guard lock(ctx->state_lock);
    return ctx->state == KOR_MODBUS_STATE_STOPPING;
}

bool interface_complete(const modbus_interface_t &t) {
    return t.new_rtu && t.connect && t.close && t.free && t.strerror && t.set_serial_mode &&
           t.set_slave && t.set_debug && t.set_response_timeout && t.read_register &&
           t.read_registers && t.write_register && t.send_raw_request && t.receive_raw;
}

// Releases what init or the link made, in reverse order; threads must be joined already.
void release_context(modbus_data *ctx) {
    if (ctx->write_list != nullptr) {
        std::lock_guard lock(ctx->list_lock);
        zeb_list_destroy(ctx->write_list);
        ctx->write_list = nullptr;
    }
    {
        std::lock_guard lock(ctx->blocks_lock);
        ctx->blocks.clear();
    }
    // The libmodbus context goes too: the port's descriptor and buffers would leak otherwise.
    if (ctx->mbs_ctx != nullptr && ctx->interface.free != nullptr) {
        ctx->interface.free(ctx->mbs_ctx);
        ctx->mbs_ctx = nullptr;
    }
    zeb_logger_close(ctx->logger);
    ctx->logger = nullptr;
}

struct ContextDeleter {
    void operator()(modbus_data *ctx) const {
        release_context(ctx);
        delete ctx;
    }
};
using ContextOwner = std::unique_ptr<modbus_data, ContextDeleter>;

ContextOwner make_context() {
    try {
        return ContextOwner(std::make_unique<modbus_data>().release());
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

// Starts a thread running fn(ctx); false when the system has no thread left to give.
template <typename Fn>
bool start_thread(modbus_data *ctx, std::thread &place, Fn fn) {
    try {
        place = std::thread(fn, ctx);
        return true;
    } catch (const std::system_error &) {
        KOR_LOG(ctx, ZEB_LOG_ERR, "Could not create a new thread (%s:%d)", kFile, __LINE__);
        return false;
    }
}

// Takes the oldest queued write, or false when the queue is empty.
bool take_oldest_write(modbus_data *ctx, zeb_list_item_t **item, kor_modbus_write_item *out) {
    std::lock_guard lock(ctx->list_lock);
    *item = zeb_list_get_tail(ctx->write_list);
    if (*item == nullptr) {
        return false;
    }
    *out = *static_cast<kor_modbus_write_item *>(zeb_list_item_get_data(*item));
    return true;
}

void send_write(modbus_data *ctx, const kor_modbus_write_item &write) {
    const int32_t attempts = kor_modbus_attempts(ctx);
    int result = -1;
    int saved_errno = 0;
    for (int32_t attempt = 0; attempt < attempts; ++attempt) {
        {
            std::lock_guard bus(ctx->bus_lock);
            result = ctx->interface.write_register(ctx->mbs_ctx, static_cast<int>(write.address),
                                                   write.value);
            saved_errno = errno;
        }
        if (result == 1) {
            break;
        }
        KOR_LOG(ctx, ZEB_LOG_ERR,
                "Failed modbus write operation. Retry Count: %d Error: %d errno: %d desc: %s",
                attempt, result, saved_errno, kor_modbus_error_text(ctx, saved_errno));
    }
    kor_modbus_adjust_state(ctx, result, saved_errno);
}

void write_thread_loop(modbus_data *ctx) {
    for (;;) {
        {
            // The predicate makes a signal sent before the wait count as well.
            std::unique_lock lock(ctx->signal_lock);
            ctx->write_signal.wait(lock, [ctx] { return ctx->write_pending; });
            ctx->write_pending = false;
        }
        if (is_stopping(ctx)) {
            return;
        }
        int32_t queued = 0;
        {
            std::lock_guard lock(ctx->list_lock);
            queued = zeb_list_get_length(ctx->write_list);
        }
        for (int32_t i = 0; i < queued; ++i) {
            // A dead line costs retry count time-outs per write; stopping must not wait for all.
            if (is_stopping(ctx)) {
                return;
            }
            zeb_list_item_t *item = nullptr;
            kor_modbus_write_item write{};
            if (!take_oldest_write(ctx, &item, &write)) {
                break;
            }
            send_write(ctx, write);
            std::lock_guard lock(ctx->list_lock);
            zeb_list_delete_item(ctx->write_list, item);
            if (zeb_list_get_length(ctx->write_list) == 0) {
                ctx->writes_drained.notify_all();
            }
        }
    }
}

void write_thread_main(modbus_data *ctx) {
    write_thread_loop(ctx);
    std::lock_guard lock(ctx->list_lock);
    ctx->write_thread_done = true;
    ctx->writes_drained.notify_all();
}

long elapsed_us(const timespec &from, const timespec &to) {
    return static_cast<long>(to.tv_sec - from.tv_sec) * 1000000L +
           (to.tv_nsec - from.tv_nsec) / 1000L;
}

void poll_block(modbus_data *ctx, kor_modbus_block *block) {
    const int32_t attempts = kor_modbus_attempts(ctx);
    int result = -1;
    int saved_errno = 0;
    for (int32_t attempt = 0; attempt < attempts; ++attempt) {
        uint16_t scratch[kScratchRegisters] = {};
        timespec start{};
        timespec end{};
        {
            std::lock_guard bus(ctx->bus_lock);
            clock_gettime(CLOCK_MONOTONIC_RAW, &start);
            result = ctx->interface.read_registers(ctx->mbs_ctx, block->start_address, block->count,
                                                   scratch);
            if (result == -1) {
                saved_errno = errno;
            }
            clock_gettime(CLOCK_MONOTONIC_RAW, &end);
        }
        if (ctx->debug) {
            KOR_LOG(ctx, ZEB_LOG_INFO, "libmodbus read_registers time: %d microseconds",
                    static_cast<int>(elapsed_us(start, end)));
        }
        if (result == block->count) {
            std::lock_guard lock(block->lock);
            std::copy(scratch, scratch + block->count, block->data.begin());
        }
        if (result != -1) {
            break;  // a short read leaves the data as it was
        }
        KOR_LOG(ctx, ZEB_LOG_ERR,
                "Failed reading modbus register block %d : %d. Retry Count: %d Error: %d errno: "
                "%d desc: %s",
                block->start_address, block->count, attempt, result, saved_errno,
                kor_modbus_error_text(ctx, saved_errno));
    }
    kor_modbus_adjust_state(ctx, result, saved_errno);
}

void polling_thread_main(modbus_data *ctx) {
    for (;;) {
        bool paused = false;
        {
            std::lock_guard lock(ctx->state_lock);
            if (ctx->state == KOR_MODBUS_STATE_STOPPING) {
                return;
            }
            paused = ctx->cpi_mode || !ctx->polling_enabled;
        }
        if (!paused) {
            // Blocks are only added while the link lives and freed after this thread has
            // ended, so the pointers stay good outside the lock.
            std::vector<kor_modbus_block *> round;
            {
                std::lock_guard lock(ctx->blocks_lock);
                for (auto &block : ctx->blocks) {
                    round.push_back(block.get());
                }
            }
            for (kor_modbus_block *block : round) {
                poll_block(ctx, block);
            }
        }
        std::unique_lock lock(ctx->state_lock);
        ctx->poll_wake.wait_for(lock, std::chrono::milliseconds(ctx->poll_period_ms),
                                [ctx] { return ctx->state == KOR_MODBUS_STATE_STOPPING; });
        if (ctx->state == KOR_MODBUS_STATE_STOPPING) {
            return;
        }
    }
}

// Opens the port in RS-485 mode and starts the write thread.
int connect_link(modbus_data *ctx) {
    {
        std::lock_guard lock(ctx->state_lock);
        if (ctx->state == KOR_MODBUS_STATE_CONNECTED || ctx->state == KOR_MODBUS_STATE_RUNNING) {
            return 0;
        }
    }
    bool ok = false;
    if (ctx->interface.connect(ctx->mbs_ctx) != 0) {
        int err = errno;
        KOR_LOG(ctx, ZEB_LOG_ERR, "Could not connect to modbus - errno: %s (%s:%d)",
                kor_modbus_error_text(ctx, err), kFile, __LINE__);
    } else if (ctx->interface.set_serial_mode(ctx->mbs_ctx, KOR_MODBUS_RTU_RS485) != 0) {
        int err = errno;
        KOR_LOG(ctx, ZEB_LOG_ERR, "Could not set serial mode to RS485 - errno: %s (%s:%d)",
                kor_modbus_error_text(ctx, err), kFile, __LINE__);
    } else {
        set_state(ctx, KOR_MODBUS_STATE_CONNECTED);
        ok = start_thread(ctx, ctx->write_thread, write_thread_main);
    }
    if (!ok) {
        ctx->interface.close(ctx->mbs_ctx);
        set_state(ctx, KOR_MODBUS_STATE_DISCONNECTED);
        return -1;
    }
    set_state(ctx, KOR_MODBUS_STATE_RUNNING);
    return 0;
}

}  // namespace

int32_t kor_modbus_attempts(const modbus_data *ctx) {
    return std::max<int32_t>(ctx->retry_count, 1);
}

void kor_modbus_adjust_state(modbus_data *ctx, int result, int saved_errno) {
    // Count and state change as one: were they apart, a fifth time-out on one thread and a
    // success on another could end with the link lost and the count already cleared, and no
    // later success would bring the link back.
    std::lock_guard lock(ctx->state_lock);
    if (result == -1 && saved_errno == ETIMEDOUT) {
        if (++ctx->timeout_count > kTimeoutsBeforeDisconnect &&
            ctx->state != KOR_MODBUS_STATE_STOPPING) {
            ctx->state = KOR_MODBUS_STATE_DISCONNECTED;
        }
    } else if (result > 0 && ctx->timeout_count != 0) {
        ctx->timeout_count = 0;
        if (ctx->state != KOR_MODBUS_STATE_STOPPING) {
            ctx->state = KOR_MODBUS_STATE_RUNNING;
        }
    }
}

const char *kor_modbus_error_text(const modbus_data *ctx, int code) {
    const char *text = ctx->interface.strerror != nullptr ? ctx->interface.strerror(code) : nullptr;
    return text != nullptr ? text : "";
}

extern "C" int kor_modbus_init(modbus_data_t **context, const char *device, int32_t slave_id,
                               int32_t response_timeout_ms, int32_t poll_period_ms,
                               int32_t retry_count, int32_t debug,
                               const modbus_interface_t *interface) {
    zeb_logger_t *logger = nullptr;
    if (zeb_logger_open(&logger) != 0) {
        return -1;
    }
    if (context == nullptr || device == nullptr) {
        zeb_logger_log(logger, ZEB_LOG_ERR, kKorModbusModule, "Parameter NULL (%s:%d)", kFile,
                       __LINE__);
        zeb_logger_close(logger);
        return -1;
    }
    if (response_timeout_ms <= 0 || poll_period_ms < 0 ||
        (interface != nullptr && !interface_complete(*interface))) {
        zeb_logger_log(logger, ZEB_LOG_ERR, kKorModbusModule, "Invalid input parameter (%s:%d)",
                       kFile, __LINE__);
        zeb_logger_close(logger);
        return -1;
    }
    ContextOwner ctx = make_context();
    if (!ctx) {
        zeb_logger_log(logger, ZEB_LOG_ERR, kKorModbusModule,
                       "Could not allocate modbus_data_t memory (%s:%d)", kFile, __LINE__);
        zeb_logger_close(logger);
        return -1;
    }
    ctx->logger = logger;  // from here the context owns the logger

    if (interface != nullptr) {
        ctx->interface = *interface;
    } else {
        modbus_interface_t *table = kor_create_modbus_instance();
        if (table == nullptr) {
            KOR_LOG(ctx, ZEB_LOG_ERR, "Could not allocate modbus_interface_t memory (%s:%d)", kFile,
                    __LINE__);
            return -1;
        }
        ctx->interface = *table;
        std::free(table);
    }

    ctx->mbs_ctx = ctx->interface.new_rtu(device, kBaud, kParity, kDataBits, kStopBits);
    if (ctx->mbs_ctx == nullptr) {
        KOR_LOG(ctx, ZEB_LOG_ERR, "Could not create mbs_ctx_t modbus object (%s:%d)", kFile,
                __LINE__);
        return -1;
    }
    if (ctx->interface.set_slave(ctx->mbs_ctx, slave_id) != 0) {
        int err = errno;
        KOR_LOG(ctx, ZEB_LOG_ERR, "Could not set modbus slave id %d - errno: %s (%s:%d)",
                static_cast<int>(slave_id), kor_modbus_error_text(ctx.get(), err), kFile, __LINE__);
        return -1;
    }
    // libmodbus refuses a microsecond part of a second or more and would silently keep its
    // default, so a time-out of 1500 ms goes as 1 s and 500000 us.
    const auto timeout_s = static_cast<uint32_t>(response_timeout_ms / 1000);
    const auto timeout_us = static_cast<uint32_t>(response_timeout_ms % 1000) * 1000u;
    if (ctx->interface.set_response_timeout(ctx->mbs_ctx, timeout_s, timeout_us) != 0) {
        int err = errno;
        KOR_LOG(ctx, ZEB_LOG_ERR, "Could not set modbus response timeout %d ms - errno: %s (%s:%d)",
                static_cast<int>(response_timeout_ms), kor_modbus_error_text(ctx.get(), err), kFile,
                __LINE__);
        return -1;
    }
    ctx->interface.set_debug(ctx->mbs_ctx, debug != 0 ? 1 : 0);

    ctx->state = KOR_MODBUS_STATE_DISCONNECTED;
    ctx->debug = debug != 0;
    try {
        ctx->device = device;
    } catch (const std::bad_alloc &) {
        KOR_LOG(ctx, ZEB_LOG_ERR, "Could not allocate memory (%s:%d)", kFile, __LINE__);
        return -1;
    }
    ctx->slave_id = slave_id;
    ctx->poll_period_ms = poll_period_ms;
    ctx->retry_count = retry_count;
    ctx->timeout_count = 0;
    ctx->cpi_mode = false;
    ctx->polling_enabled = true;

    ctx->write_list = zeb_list_create();
    if (ctx->write_list == nullptr) {
        KOR_LOG(ctx, ZEB_LOG_ERR, "Could not create write data zeb list (%s:%d)", kFile, __LINE__);
        return -1;
    }
    if (connect_link(ctx.get()) != 0) {
        return -1;
    }
    *context = ctx.release();
    return 0;
}

extern "C" int kor_modbus_start_polling(modbus_data_t *context) {
    if (context == nullptr) {
        return -1;
    }
    if (context->polling_thread.joinable()) {
        return 0;  // already polling
    }
    if (!start_thread(context, context->polling_thread, polling_thread_main)) {
        context->interface.close(context->mbs_ctx);
        set_state(context, KOR_MODBUS_STATE_DISCONNECTED);
        return -1;
    }
    return 0;
}

extern "C" int kor_modbus_enable_polling(modbus_data_t *context, int32_t enable) {
    if (context == nullptr) {
        return -1;
    }
    std::lock_guard lock(context->state_lock);
    context->polling_enabled = enable != 0;
    return 0;
}

extern "C" int kor_modbus_wait_writes(modbus_data_t *context, int32_t timeout_ms) {
    if (context == nullptr || timeout_ms < 0) {
        return fail_with(EINVAL);
    }
    std::unique_lock lock(context->list_lock);
    if (context->write_list == nullptr) {
        return fail_with(EINVAL);
    }
    // Also ends when the write thread has stopped: what it left stays queued for good.
    context->writes_drained.wait_for(lock, std::chrono::milliseconds(timeout_ms), [context] {
        return zeb_list_get_length(context->write_list) == 0 || context->write_thread_done;
    });
    return zeb_list_get_length(context->write_list) == 0 ? 0 : fail_with(ETIMEDOUT);
}

extern "C" int kor_modbus_is_running(modbus_data_t *context) {
    if (context == nullptr) {
        return -1;
    }
    return kor_modbus_get_state(context) == KOR_MODBUS_STATE_RUNNING ? 1 : 0;
}

extern "C" int kor_modbus_get_state(modbus_data_t *context) {
    if (context == nullptr) {
        return -1;
    }
    std::lock_guard lock(context->state_lock);
    return context->state;
}

extern "C" int kor_modbus_read_holding_register(modbus_data_t *context, uint32_t address,
                                                uint16_t *value) {
    if (context == nullptr || value == nullptr) {
        if (context != nullptr) {
            KOR_LOG(context, ZEB_LOG_ERR, "Parameter NULL (%s:%d)", kFile, __LINE__);
        }
        return fail_with(EINVAL);
    }
    if (address > 0xFFFFu) {
        KOR_LOG(context, ZEB_LOG_ERR, "Invalid input parameter (%s:%d)", kFile, __LINE__);
        return fail_with(EINVAL);
    }
    const int32_t attempts = kor_modbus_attempts(context);
    int result = -1;
    int saved_errno = 0;
    uint16_t word = 0;
    for (int32_t attempt = 0; attempt < attempts; ++attempt) {
        {
            std::lock_guard bus(context->bus_lock);
            result = context->interface.read_register(context->mbs_ctx, static_cast<int>(address),
                                                      &word);
            saved_errno = errno;
        }
        if (result == 1) {
            break;
        }
        KOR_LOG(context, ZEB_LOG_ERR,
                "Failed modbus read operation. Retry Count: %d Error: %d errno: %d desc: %s",
                attempt, result, saved_errno, kor_modbus_error_text(context, saved_errno));
    }
    kor_modbus_adjust_state(context, result, saved_errno);
    if (result != 1) {
        return fail_with(saved_errno != 0 ? saved_errno : EIO);
    }
    *value = word;
    return 0;
}

extern "C" int kor_modbus_write_holding_register(modbus_data_t *context, uint32_t address,
                                                 uint32_t value) {
    if (context == nullptr) {
        return fail_with(EINVAL);
    }
    if (address > 0xFFFFu) {
        KOR_LOG(context, ZEB_LOG_ERR, "Invalid input parameter (%s:%d)", kFile, __LINE__);
        return fail_with(EINVAL);
    }
    // A malloc'ed payload: the list frees it with free() when the item goes.
    auto *item = static_cast<kor_modbus_write_item *>(std::malloc(sizeof(kor_modbus_write_item)));
    if (item == nullptr) {
        KOR_LOG(context, ZEB_LOG_ERR, "Could not allocate memory (%s:%d)", kFile, __LINE__);
        return fail_with(ENOMEM);
    }
    item->address = address;
    item->value = static_cast<uint16_t>(value & 0xFFFFu);
    int result = 0;
    {
        std::lock_guard lock(context->list_lock);
        result = zeb_list_add_head(context->write_list, item);
    }
    if (result != 0) {
        std::free(item);
        KOR_LOG(context, ZEB_LOG_ERR, "Could not insert write payload into list. Error: %d (%s:%d)",
                result, kFile, __LINE__);
        return result;
    }
    {
        std::lock_guard lock(context->signal_lock);
        context->write_pending = true;
    }
    context->write_signal.notify_one();
    return 0;
}

extern "C" int kor_modbus_init_data_subscription_block(modbus_data_t *context, int32_t id,
                                                       int32_t start_address, int32_t count) {
    if (context == nullptr) {
        return -1;
    }
    // The count is bounded too: a read of more than 125 registers cannot be made, and the
    // polling scratch buffer must hold every block.
    if (id < 0 || start_address < 0 || count <= 0 || count > KOR_MODBUS_MAX_BLOCK_REGISTERS ||
        start_address + count - 1 > 0xFFFF) {
        KOR_LOG(context, ZEB_LOG_ERR, "Invalid input parameter (%s:%d)", kFile, __LINE__);
        return -1;
    }
    try {
        auto block = std::make_unique<kor_modbus_block>();
        block->id = id;
        block->start_address = start_address;
        block->count = count;
        block->data.assign(static_cast<size_t>(count), 0);
        std::lock_guard lock(context->blocks_lock);
        context->blocks.push_back(std::move(block));
    } catch (const std::bad_alloc &) {
        KOR_LOG(context, ZEB_LOG_ERR, "Could not allocate memory (%s:%d)", kFile, __LINE__);
        return -1;
    }
    return 0;
}

extern "C" int kor_modbus_read_data_subscription_block(modbus_data_t *context, int32_t id,
                                                       uint16_t *values) {
    if (context == nullptr || values == nullptr) {
        if (context != nullptr) {
            KOR_LOG(context, ZEB_LOG_ERR, "Parameter NULL (%s:%d)", kFile, __LINE__);
        }
        return -1;
    }
    if (id < 0) {
        KOR_LOG(context, ZEB_LOG_ERR, "Invalid input parameter (%s:%d)", kFile, __LINE__);
        return -1;
    }
    kor_modbus_block *found = nullptr;
    {
        std::lock_guard lock(context->blocks_lock);
        for (auto &block : context->blocks) {
            if (block->id == id) {
                found = block.get();
                break;
            }
        }
    }
    if (found == nullptr) {
        return -1;
    }
    std::lock_guard lock(found->lock);
    std::copy(found->data.begin(), found->data.end(), values);
    return 0;
}

extern "C" int kor_modbus_start_cpi_file_transfer(modbus_data_t *context) {
    if (context == nullptr) {
        return -1;
    }
    {
        std::lock_guard lock(context->state_lock);
        context->cpi_mode = true;
    }
    KOR_LOG(context, ZEB_LOG_INFO, "Switching into CPI transfer mode - modbus polling paused...");
    return 0;
}

extern "C" int kor_modbus_end_cpi_file_transfer(modbus_data_t *context) {
    if (context == nullptr) {
        return -1;
    }
    {
        std::lock_guard lock(context->state_lock);
        context->cpi_mode = false;
    }
    KOR_LOG(context, ZEB_LOG_INFO, "CPI transfer mode ended - modbus polling resumed...");
    return 0;
}

extern "C" int kor_modbus_free(modbus_data_t *context) {
    if (context == nullptr) {
        return -1;
    }
    ContextOwner ctx(context);
    {
        std::lock_guard lock(ctx->state_lock);
        ctx->state = KOR_MODBUS_STATE_STOPPING;
    }
    ctx->poll_wake.notify_all();
    {
        std::lock_guard lock(ctx->signal_lock);
        ctx->write_pending = true;
    }
    ctx->write_signal.notify_one();
    if (ctx->polling_thread.joinable()) {
        ctx->polling_thread.join();
    }
    if (ctx->write_thread.joinable()) {
        ctx->write_thread.join();
    }
    {
        std::lock_guard lock(ctx->state_lock);
        ctx->interface.close(ctx->mbs_ctx);
    }
    return 0;  // the owner releases the list, the blocks, the libmodbus context and the logger
}
