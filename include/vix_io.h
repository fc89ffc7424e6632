/* IO channel: a growable message buffer, the encoding of one event, and named channels that
 * carry encoded events between processes.
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

/* ---- IO channels ------------------------------------------------------------------------
 *
 * A channel is opened by name; the transport is the first whose name prefix begins the name,
 * else the System V message queue. The transports are the message queue ("sysvmq://", always
 * there) and TCP ("tcp://"), loaded on the first open from the plug-in "libvixio-tcp.so" through
 * its entry "vix_io_tcp_register". The plug-in is looked for in $VIX_IO_PLUGIN_DIR only when that
 * variable is set and not empty; otherwise through the normal library search, then beside the
 * channel library itself. Without it only the message queue exists.
 *
 * Message queue: the whole channel name as given (prefix included, if any) is hashed into the
 * queue's key, so "CalderChannelIn" and "sysvmq://CalderChannelIn" are different queues. Modes:
 * VIX_IO_MODE_RECEIVE replaces any queue with that key by a new one and removes it on close;
 * VIX_IO_MODE_SEND needs the queue to exist; VIX_IO_MODE_EITHER creates the queue when missing
 * (and then removes it on close) or uses the existing one. Any other mode value, and any flag
 * bit other than VIX_IO_FLAG_NONBLOCK, fails the open.
 * Queues are created with mode 0660 (their creator's user and group), or the octal mode in
 * $QVIO_SYSV_MODE for an installation whose UI runs as another user. An existing queue is joined
 * only when its creator and its owner are this process's user or root; otherwise the open fails
 * with a line on stderr. With QVIO_SYSV_MODE set, queues of other users are joined as well.
 *
 * A channel handle is used by one thread at a time. */

#define VIX_IO_MODE_EITHER 0
#define VIX_IO_MODE_RECEIVE 1
#define VIX_IO_MODE_SEND 2
#define VIX_IO_MODE_MASK 15
#define VIX_IO_FLAG_NONBLOCK 16

/* Error codes of vix_io_get_error_codes, texts from vix_io_get_error_message. */
#define VIX_IO_ERROR_NONE 0
#define VIX_IO_ERROR_UNKNOWN 1
#define VIX_IO_ERROR_NO_MEMORY 2
#define VIX_IO_ERROR_ACCESS 3
#define VIX_IO_ERROR_QUEUE_EMPTY 4
#define VIX_IO_ERROR_QUEUE_FULL 5
#define VIX_IO_ERROR_TIMEOUT 6

/* The last failure of a channel: its code and the system error number behind it. */
typedef struct vix_io_error_codes_t {
    int32_t code;
    int32_t system_error;
} vix_io_error_codes_t;

/* Operations of one transport, in this order. Each takes the state its open returned.
 * open: null on failure. send: 0 or -1. receive: *buffer may be null (a buffer is created) and
 * comes back possibly grown; returns the bytes received or -1 (a buffer the call created is then
 * released and *buffer set to null). grow_buffer, max_message: -1 when not supported.
 * get_error_codes: 0, or -1 for a null output. */
typedef struct vix_io_transport_t {
    const char *prefix;
    void *(*open)(const char *name, int32_t mode);
    void (*close)(void *state);
    int32_t (*send)(void *state, const vix_io_buffer *buffer);
    int32_t (*receive)(void *state, vix_io_buffer **buffer);
    int32_t (*grow_buffer)(void *state, int32_t size);
    int32_t (*max_message)(void *state);
    int32_t (*get_error_codes)(void *state, vix_io_error_codes_t *codes);
} vix_io_transport_t;

/* Entry of a transport: returns its constant operations record. */
typedef const vix_io_transport_t *(*vix_io_register_fn)(void);

/* Channel handle: the transport's operations and the transport's own state. */
typedef struct vix_io_channel_t vix_io_channel_t;

/* Opens a channel; null when no transport could open it. */
vix_io_channel_t *vix_io_open(const char *name, int32_t mode);
/* Closes the channel and frees the handle; a null handle does nothing. */
void vix_io_close(vix_io_channel_t *channel);
/* Sends the buffer's used bytes as one message: 0, or -1 (null handle or buffer, failure). */
int32_t vix_io_send(vix_io_channel_t *channel, const vix_io_buffer *buffer);
/* Receives one message into *buffer (created when null, grown as needed) and sets its used
 * size: the bytes received, or -1 (null handle or buffer pointer, failure). */
int32_t vix_io_receive(vix_io_channel_t *channel, vix_io_buffer **buffer);
int32_t vix_io_grow_buffer(vix_io_channel_t *channel, int32_t size);
int32_t vix_io_max_message(vix_io_channel_t *channel);
/* Fills codes with the channel's last failure: 0, or -1 for a null handle or output. */
int32_t vix_io_get_error_codes(vix_io_channel_t *channel, vix_io_error_codes_t *codes);
/* Text of an error code; 0 and unknown codes give "No error". Never null. */
const char *vix_io_get_error_message(int32_t code);

/* The message-queue transport's operations ("sysvmq://"). */
const vix_io_transport_t *vix_io_sysvmq_register(void);

#ifdef __cplusplus
}
#endif

#endif /* VIX_IO_H */
