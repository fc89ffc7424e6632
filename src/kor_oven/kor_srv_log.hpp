// The operation service's one logger handle, shared by every file of the service. It opens on
// first use (thread-safe, behind a mutex; defined in kor_oven_operation_srv.cpp) and
// kor_srv_uninitialize closes it; a later use opens a fresh one.
#pragma once

#include "zeb_logger.h"

// Module identity of every line the service writes.
inline constexpr const char *kKorSrvModule = "kor_oven_operation_service";

// The service's logger handle, opened on first use; null only when the logger cannot allocate.
zeb_logger_t *kor_srv_logger();
// Closes the handle (kor_srv_uninitialize); the next kor_srv_logger() opens a new one.
void kor_srv_logger_close();

// Log through the service's handle with the service's identity.
#define KOR_SRV_LOG(level, ...) \
    zeb_logger_log(kor_srv_logger(), (level), kKorSrvModule, __VA_ARGS__)
