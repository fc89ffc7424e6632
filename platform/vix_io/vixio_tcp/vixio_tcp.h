/* TCP transport of the IO channel, built as the plug-in library "libvixio-tcp.so" and loaded by
 * the channel library on its first open (see vix_io.h for where it is looked for).
 *
 * Channel names: "tcp://HOST:PORT" with HOST "127.0.0.1" or "localhost" and PORT a decimal
 * number 1-65535. The transport talks to this machine only; any other name fails the open.
 * There is no authentication: every local user and process can connect to a receiver and send it
 * events. Use it where that is acceptable, and the message queue (whose mode limits its users)
 * where it is not.
 *
 * Connection flood: a receiver keeps at most $VIXIO_TCP_MAX_CONNECTIONS senders at a time (1-1024,
 * default 64); a sender beyond that is accepted and closed at once and fails on a later send.
 * When the process is out of descriptors or memory the receiver stops taking connections for
 * 200 ms instead of retrying at once; a non-blocking receive still returns at once.
 *
 * Modes:
 * - VIX_IO_MODE_RECEIVE listens on 127.0.0.1:PORT and takes messages from any number of
 *   senders; each sender's messages arrive whole and in the order sent. The open fails when
 *   the port is taken (one receiver per channel).
 * - VIX_IO_MODE_SEND connects to the receiver; the open fails when nobody listens there. When
 *   the receiver has gone away and come back, the next send connects again once.
 * - VIX_IO_MODE_EITHER and any other value fail the open: a TCP end must know whether it listens.
 * - VIX_IO_FLAG_NONBLOCK: a receive with no whole message waiting fails at once with
 *   VIX_IO_ERROR_QUEUE_EMPTY (system error ENOMSG); a send the socket cannot take at all fails
 *   with VIX_IO_ERROR_ACCESS (EAGAIN). A message the socket took only in part is kept and
 *   finished before the next message goes (or on close), so the stream never carries half a
 *   message.
 *
 * Framing: a message is one encoded event, sent as it is; its first four bytes (the event's
 * total size, host byte order) frame it on the stream. A send whose buffer is shorter than the
 * event header or whose total size field differs from its used size fails (EINVAL), as does a
 * message above VIXIO_TCP_MAX_MESSAGE (EMSGSIZE). A sender whose stream carries an impossible
 * size is disconnected by the receiver.
 *
 * Error codes as the message queue's: EINTR 5, EAGAIN/EWOULDBLOCK/EACCES 3, ENOMEM 2,
 * ENOMSG 4, ETIMEDOUT 6, anything else 1.
 * grow_buffer(size) sets the kernel socket buffer sizes to size bytes (0, or -1);
 * max_message returns VIXIO_TCP_MAX_MESSAGE. */
#ifndef VIXIO_TCP_H
#define VIXIO_TCP_H

#include <stdint.h>

#include "vix_io.h"

#ifdef __cplusplus
extern "C" {
#endif

#define VIXIO_TCP_PREFIX "tcp://"
#define VIXIO_TCP_MAX_MESSAGE (1024 * 1024)

/* Entry looked up by the channel library: the transport's constant operations record. */
const vix_io_transport_t *vix_io_tcp_register(void);

#ifdef __cplusplus
}
#endif

#endif /* VIXIO_TCP_H */
