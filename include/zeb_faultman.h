/* Platform fault manager: keeps the set faults in memory with their description and the time
 * they were raised, logs each set and clear, and writes the list of active faults atomically to
 * $ZEB_FAULT_FILE when that variable names a file. Fault numbers run 1 to count.
 *
 * The list file (read from the environment at init, written at init and after every change):
 * one line per raised fault, in fault-number order, three fields separated by a tab:
 *   <fault number> TAB <time raised, UTC, YYYY-MM-DDTHH:MM:SSZ> TAB <description>
 * Control characters of a description are written as blanks. No raised fault: an empty file.
 *
 * Results: 0 on success; -EINVAL for a bad handle, count or fault number; set and clear return
 * the negative errno of a failed list write (the fault is set or cleared all the same). Setting
 * a raised fault or clearing a clear one changes nothing and returns 0. A set is logged at level
 * 4 through the logger and module given (the manager's own when null), a clear at level 6 with
 * module "zeb_faultman". A handle may be used from several threads. */
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
