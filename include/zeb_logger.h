/* Platform logger: one line per message, with a millisecond time stamp, the level name and the
 * module identity. The output is chosen by ZEB_LOG ("stderr", "syslog" or "file:PATH") and
 * ZEB_LOG_LEVEL (syslog numbers, default 6) drops the lines above that level before they are
 * formatted. Tests capture lines in process through a sink. */
#ifndef ZEB_LOGGER_H
#define ZEB_LOGGER_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* syslog level numbers */
#define ZEB_LOG_ERR 3
#define ZEB_LOG_WARNING 4
#define ZEB_LOG_NOTICE 5
#define ZEB_LOG_INFO 6
#define ZEB_LOG_DEBUG 7

typedef struct zeb_logger zeb_logger_t;

/* Opens a handle; 0 on success, -EINVAL for a null place, -ENOMEM. */
int zeb_logger_open(zeb_logger_t **handle);

/* Formats and writes one line; 0 on success (also when the level is filtered out),
 * -EINVAL for a null handle or format. */
int zeb_logger_log(zeb_logger_t *handle, int level, const char *module, const char *format, ...)
    __attribute__((format(printf, 4, 5)));

/* Releases the handle; a null handle is ignored. Returns 0. */
int zeb_logger_close(zeb_logger_t *handle);

/* A sink receives every line that passes the level filter, already formatted (no time stamp,
 * no newline), instead of the configured output. Pass null to restore the output. Meant for
 * tests that check exact texts; process-wide. */
typedef void (*zeb_logger_sink_fn)(void *user, int level, const char *module, const char *message);
void zeb_logger_set_sink(zeb_logger_sink_fn sink, void *user);

#ifdef __cplusplus
}
#endif

#endif /* ZEB_LOGGER_H */
