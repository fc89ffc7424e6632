/* IO channel event encoding: a growable message buffer and the encoding of one event.
 *
 * Encoded event (host byte order):
 *   0-3   total size of the message (uint32)
 *   4-5   length of the event name, NUL included (uint16)
 *   6-7   length of the target, NUL included (uint16)
 *   8-9   length of the format descriptor, NUL included (uint16)
 *   10-11 0
 *   12... name, target, format (each NUL-terminated), then 0-7 zero bytes of padding so that
 *         the three strings end on a multiple of 8, then the data bytes.
 * A missing name, target or format is written as an empty string. */
#ifndef VIX_IO_H
#define VIX_IO_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct vix_io_buffer {
    char *data;   /* owned storage */
    int32_t size; /* allocated bytes */
    int32_t used; /* bytes of the message */
} vix_io_buffer;

#define VIX_IO_HEADER_SIZE 12

/* Creates (buffer null) or grows a buffer to at least size bytes. Null on allocation failure or
 * a negative size; an existing buffer then keeps its old storage. */
vix_io_buffer *vix_io_size_buffer(vix_io_buffer *buffer, int32_t size);
void vix_io_zero_buffer(vix_io_buffer *buffer);
vix_io_buffer *vix_io_free_buffer(vix_io_buffer *buffer);
/* Encodes one event into the buffer (created when null) and sets its used size. Null on
 * allocation failure, or when a string is longer than 65534 bytes or the message would exceed
 * INT32_MAX bytes; a buffer passed in then stays the caller's. Null data or a length of 0 or
 * less writes no data bytes. */
vix_io_buffer *vix_io_serialize(vix_io_buffer *buffer, const char *target, const char *name,
                                const char *format, const void *data, int32_t length);
/* Points the outputs into the buffer's message and returns the data length (the data output is
 * null when the length is 0). A null buffer sets all four to null and returns 0. A message whose
 * lengths do not fit its used size (total size field other than the used size, a zero length,
 * a string without its NUL at its stated end, padding or strings beyond the end) sets all four
 * to null and returns -1; nothing outside the used bytes is read. Null outputs are skipped. */
int32_t vix_io_unserialize(vix_io_buffer *buffer, char **target, char **name, char **format,
                           void **data);

#ifdef __cplusplus
}
#endif

#endif /* VIX_IO_H */
