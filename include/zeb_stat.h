/* Platform statistics store: the same text format as the configuration store, rewritten
 * atomically. Time unit: seconds. A run-time tracker keeps its accumulated seconds; start marks
 * the moment (monotonic clock); update with end flag 0 adds the elapsed time and goes on, with
 * end flag 1 adds it and stops. A period average keeps the average of the values recorded within
 * the period. Values survive a restart.
 *
 * The file never stops the store. One that cannot be used (unparsable, not a regular file,
 * larger than 16 MiB, unreadable) is set aside as "<file>.corrupt.<UTC time>" with a warning
 * (the newest three are kept) and the statistics start again from zero. A write that fails (a
 * full or read-only disk, a missing folder) keeps every value in memory: the operation still
 * succeeds, the failure is logged once with the file's name and shown by zeb_stat_write_status,
 * and every later change writes the whole file again until a write succeeds (logged once too).
 * The file is written by a thread of the handle's own, so no call waits for the disk: the file
 * follows the changes within one write, and zeb_stat_flush waits until it has caught up.
 *
 * The file, one "key = value" a line (comments and other lines are kept as they are):
 *   <tracker> = whole seconds accumulated (the part of a second not yet counted stays in
 *               memory, so a restart loses less than a second per tracker)
 *   <average> = the rounded average of the values recorded in the current period
 *   <average>.sum, <average>.count = sum and number of those values
 *   <average>.period_start = wall-clock second (Unix time) at which the period began; the first
 *               value at or after period_start + period (or before period_start, when the clock
 *               was set back) starts a new period.
 * Every value is a whole number of at least 0; anything else makes the file unparsable.
 * Entry names are keys without '.', blanks or '=' (-EINVAL otherwise); a name is either a
 * tracker or an average, and using it as the other kind is -EINVAL.
 *
 * Results: 0, or a negative errno: -EINVAL for bad arguments, -ENOENT for an entry that does
 * not exist. A missing file is created empty by open. Updating a stopped tracker is 0 and
 * changes nothing. Close adds the running stretches of the trackers, writes what is left and
 * returns zeb_stat_write_status after it. A handle may be used from several threads;
 * one handle per file and process is expected. */
#ifndef ZEB_STAT_H
#define ZEB_STAT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct zeb_stat zeb_stat_t;

int zeb_stat_open(const char *path, zeb_stat_t **handle);
int zeb_stat_runtime_start(zeb_stat_t *handle, const char *name);
int zeb_stat_runtime_update(zeb_stat_t *handle, const char *name, int32_t end);
/* The entry's current value: a tracker's seconds (including a running stretch), an average. */
int zeb_stat_get_field(zeb_stat_t *handle, const char *name, int32_t *value);
int zeb_stat_average_period(zeb_stat_t *handle, const char *name, uint32_t value, int32_t period_s);
/* 0 while the file is written, else the (negative) code of the last write that failed; -EINVAL
 * for a bad handle. */
int zeb_stat_write_status(zeb_stat_t *handle);
/* Waits until every change made before the call has been written (or tried), then returns
 * zeb_stat_write_status. */
int zeb_stat_flush(zeb_stat_t *handle);
int zeb_stat_close(zeb_stat_t *handle);

#ifdef __cplusplus
}
#endif

#endif /* ZEB_STAT_H */
