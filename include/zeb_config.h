/* Platform configuration store: a text file, one "key = value" a line. Blank lines and lines
 * starting with '#' are ignored; the key is the text before the first '=', the value the rest,
 * both trimmed of blanks, tabs and CR; the last line of a key wins. Writes replace the file
 * atomically (temporary file, fsync, rename, fsync of the directory), so a crash leaves the old
 * or the new file, never a torn one.
 * A handle reads the file as it was at open plus its own writes; a write starts from the file as
 * it is on disk, so keys written meanwhile by another handle are kept. A handle may be used from
 * several threads. */
#ifndef ZEB_CONFIG_H
#define ZEB_CONFIG_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct zeb_config zeb_config_t;

/* 0 and an open handle; -ENOENT when the store does not exist, -EISDIR for a folder, -EINVAL for
 * bad arguments or a file that is not a regular one (FIFO, device: never opened in a way that
 * blocks), -EFBIG over 16 MiB, -ENOMEM, -errno. */
int zeb_config_open(const char *path, zeb_config_t **handle);
/* Why zeb_config_open refused a file, as a technician reads it: "not a regular file", "larger
 * than 16 MiB", or the system's text for the code. Static text. */
const char *zeb_config_open_error_text(int rc);
/* On 0, *value is a newly allocated NUL-terminated copy (release with free). -ENOENT for a
 * missing key. */
int zeb_config_get_string(zeb_config_t *handle, const char *key, char **value);
/* Whole decimal integer only (within int32); -ENOENT missing, -EINVAL malformed, -ERANGE. */
int zeb_config_get_int(zeb_config_t *handle, const char *key, int32_t *value);
/* Whole float only; -ENOENT missing, -EINVAL malformed. */
int zeb_config_get_float(zeb_config_t *handle, const char *key, float *value);
/* Sets the key (replacing its last line, or appending) and rewrites the file atomically; comments
 * and the other lines stay as they are. The value is stored trimmed. -EINVAL for a key that could
 * not be read back (empty, with '=', a line break, blanks at an end, a leading '#') or a value
 * with a line break; the errno of a failed write, the file then unchanged. */
int zeb_config_set_string(zeb_config_t *handle, const char *key, const char *value);
int zeb_config_close(zeb_config_t *handle);

#ifdef __cplusplus
}
#endif

#endif /* ZEB_CONFIG_H */
