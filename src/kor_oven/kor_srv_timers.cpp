// The operation service's timers: creating the timer service, arming the cloud heartbeat, the
// daily IO board clock update and the soak countdown with the callbacks the oven manager passes
// in, and writing the current time into the IO board's clock. Every call goes through the
// service record; the timers themselves belong to the caller.
#include <ctime>

#include "kor_oven_operation_srv.h"
#include "kor_srv_log.hpp"

namespace {

constexpr const char *kSourceName = "kor_srv_timers";

constexpr uint32_t kTelvoPeriodMs = 60000;            // cloud heartbeat
constexpr uint32_t kIoBoardClockPeriodMs = 86400000;  // once a day
constexpr uint32_t kSoakPeriodMs = 800;               // soak countdown tick

#define KOR_SRV_INVALID_INPUT() \
    KOR_SRV_LOG(ZEB_LOG_ERR, "Invalid input parameter (%s:%d)", kSourceName, __LINE__)

// Arms one periodic timer; the two trailing arguments of the timer service are always 0.
int32_t arm(oven_operation_srv_t *srv, zeb_timer_service_t *service, zeb_timer_t **timer,
            zeb_timer_callback_t callback, uint32_t period_ms, const char *failure_line) {
    const int32_t rc = srv->zeb_timer_set_interval(service, timer, period_ms, callback, nullptr, 0);
    if (rc != 0) {
        KOR_SRV_LOG(ZEB_LOG_ERR, "%s%d", failure_line, rc);
    }
    return rc;
}

}  // namespace

int32_t kor_srv_init_timer_service(oven_operation_srv_t *srv, zeb_timer_service_t **service) {
    if (srv == nullptr || service == nullptr) {
        KOR_SRV_INVALID_INPUT();
        return -1;
    }
    KOR_SRV_LOG(ZEB_LOG_INFO, "Initializing timer service");
    const int32_t rc = srv->zeb_timer_initialize(service);
    if (rc != 0) {
        KOR_SRV_LOG(ZEB_LOG_ERR, "Timer service initialization FAILED! Error: %d", rc);
    }
    return rc;
}

int32_t kor_srv_init_telvo_timer(oven_operation_srv_t *srv, zeb_timer_service_t *service,
                                 zeb_timer_t **timer, zeb_timer_callback_t callback) {
    if (srv == nullptr || service == nullptr || timer == nullptr || callback == nullptr) {
        KOR_SRV_INVALID_INPUT();
        return -1;
    }
    KOR_SRV_LOG(ZEB_LOG_INFO, "Initializing telvo vellor timer");
    return arm(srv, service, timer, callback, kTelvoPeriodMs,
               "Telvo vellor timer initialization FAILED! Error: ");
}

int32_t kor_srv_init_io_board_clock_timer(oven_operation_srv_t *srv, zeb_timer_service_t *service,
                                          zeb_timer_t **timer, zeb_timer_callback_t callback) {
    if (srv == nullptr || service == nullptr || timer == nullptr || callback == nullptr) {
        KOR_SRV_INVALID_INPUT();
        return -1;
    }
    KOR_SRV_LOG(ZEB_LOG_INFO, "Initializing IO Board clock update timer");
    return arm(srv, service, timer, callback, kIoBoardClockPeriodMs,
               "IO Board clock update timer initialization FAILED! Error: ");
}

int32_t kor_srv_init_soak_timer(oven_operation_srv_t *srv, zeb_timer_service_t *service,
                                zeb_timer_t **timer, zeb_timer_callback_t callback) {
    if (srv == nullptr || service == nullptr || timer == nullptr || callback == nullptr) {
        KOR_SRV_INVALID_INPUT();
        return -1;
    }
    KOR_SRV_LOG(ZEB_LOG_INFO, "Initializing soak timer");
    return arm(srv, service, timer, callback, kSoakPeriodMs,
               "Soak timer initialization FAILED! Error: ");
}

int32_t kor_srv_set_io_board_clock_time(oven_operation_srv_t *srv, modbus_data_t *modbus) {
    // The record is the only way to the board; without it there is nothing to call.
    if (srv == nullptr) {
        KOR_SRV_INVALID_INPUT();
        return -1;
    }
    // Whole seconds since 1970-01-01 UTC; the board keeps them as a 32-bit value.
    const auto now = static_cast<uint32_t>(std::time(nullptr));
    KOR_SRV_LOG(ZEB_LOG_INFO, "Updating IO Board clock");
    const int32_t rc = srv->kor_oven_set_time(modbus, now);
    if (rc != 0) {
        KOR_SRV_LOG(ZEB_LOG_ERR, "Update IO Board clock FAILED! Error: %d", rc);
        return rc;
    }
    KOR_SRV_LOG(ZEB_LOG_INFO, "IO Board clock updated to %d", static_cast<int32_t>(now));
    return 0;
}
