/* Platform fault manager: keeps the set faults in memory with their description and the time
 * they were raised, logs each set and clear, and writes the list of active faults atomically to
 * $ZEB_FAULT_FILE when that variable names a file. Fault numbers run 1 to count. */
#ifndef ZEB_FAULTMAN_H
#define ZEB_FAULTMAN_H

#include <stdint.h>

#include "zeb_logger.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct zeb_faultman zeb_faultman_t;

int zeb_faultman_init(int32_t count, zeb_faultman_t **handle);
/* 1 when the fault is set, 0 when not; -EINVAL for a bad handle or number. */
int zeb_faultman_check(zeb_faultman_t *handle, int32_t fault);
int zeb_faultman_set(zeb_faultman_t *handle, zeb_logger_t *logger, const char *module,
                     int32_t fault, const char *description);
int zeb_faultman_clear(zeb_faultman_t *handle, int32_t fault);
int zeb_faultman_uninit(zeb_faultman_t *handle);

#ifdef __cplusplus
}
#endif

#endif /* ZEB_FAULTMAN_H */
