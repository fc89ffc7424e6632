/* The bridges' own log file: one text line per call, flushed at once so that a bridge that dies
 * leaves every line it wrote. The bridges run beside the UI engine without the platform logger,
 * so they keep this small file of their own. */
#ifndef PMX_LOG_H
#define PMX_LOG_H

#ifdef __cplusplus
extern "C" {
#endif

/* Recreates the log file at path (an older file is emptied). 0, or -1 when it cannot be opened;
 * pmx_printf then writes nothing. Opening again closes the file opened before. */
int pmx_log_open(const char *path);
/* Closes the log file; later lines go nowhere. */
void pmx_log_close(void);
/* Formats like printf, appends a newline and flushes. Safe from several threads: lines never
 * interleave. Does nothing while no log file is open. */
void pmx_printf(const char *format, ...)
#ifdef __GNUC__
    __attribute__((format(printf, 1, 2)))
#endif
    ;

#ifdef __cplusplus
}
#endif

#endif /* PMX_LOG_H */
