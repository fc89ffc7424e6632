/* The bridges' own log file: one text line per call, flushed at once so that a bridge that dies
 * leaves every line it wrote. The bridges run beside the UI engine without the platform logger,
 * so they keep this small file of their own. */
#ifndef PMX_LOG_H
#define PMX_LOG_H

#ifdef __cplusplus
extern "C" {
#endif

/* Recreates the log file at path: the bridge's own earlier log (a regular file of this user with
 * no other name) is emptied; anything else at path (a symlink, a hard link, a FIFO, a file of
 * another user) is never followed, emptied or written: its name is removed and a new file made.
 * 0, or -1 when no log can be had (a line on stderr says why); pmx_printf then writes nothing and
 * the bridge goes on. Opening again closes the file opened before. */
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
