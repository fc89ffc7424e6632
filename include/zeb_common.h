/* Platform service bus, interval timers and linked list.
 *
 * Bus: a channel is a Unix-domain SOCK_SEQPACKET socket listening at $ZEB_BUS_DIR/<channel>
 * (default /run/zeb). One message carries one event encoded as an IO channel event (see
 * vix_io.h): total size, the three lengths, name, target, format descriptor, padding, data. The
 * target field carries the sender's own channel name. Channel names are 1 to 32 characters of
 * A-Z a-z 0-9 _ . - and never start with a dot. The largest event is 64 KiB.
 *
 * The service functions act on one process-wide channel, opened by zeb_service_initialize. */
#ifndef ZEB_COMMON_H
#define ZEB_COMMON_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ZEB_CHANNEL_NAME_MAX 32
#define ZEB_MAX_CLIENTS 32
#define ZEB_MAX_EVENT_SIZE 65536

/* A received event; released with zeb_service_free_event. */
typedef struct zeb_event {
    char *name;     /* event name, NUL-terminated */
    char *format;   /* format descriptor, "" when none */
    char *sender;   /* the sender's channel name, "" when it has none */
    void *data;     /* the data bytes (followed by one extra NUL byte), null when length is 0 */
    int32_t length; /* data length in bytes */
} zeb_event_t;

/* Opens the process's own channel. 0, -EINVAL for a bad name, -EALREADY when already open,
 * or the negative errno of the failing system call. */
int zeb_service_initialize(const char *channel);
/* Adds a client channel for zeb_service_notify_all. The same name registers once (0 again);
 * -EINVAL for a bad name, -ENOSPC beyond 32 clients, -ENOTCONN before initialize. */
int zeb_service_register(const char *client_channel, int32_t value);
/* Sends the event to every registered client without blocking; a client whose channel is gone
 * is dropped. Returns the number of clients reached, or a negative code. */
int zeb_service_notify_all(const char *event, const char *format, const void *data, int32_t length);
/* Sends the event to one channel without blocking; 0 on success, a negative errno on failure
 * (-EAGAIN when the receiver's connection is full: the event is lost). Works before
 * zeb_service_initialize too; such events carry an empty sender. */
int zeb_service_send_event(const char *target, const char *event, const char *format,
                           const void *data, int32_t length);
/* Blocks for the next event on the own channel. 0 and *event set, or a negative errno (also
 * left in errno) when the channel itself fails, was left (-ESHUTDOWN) or was never opened
 * (-ENOTCONN). Undecodable messages are dropped with a warning and the wait goes on. */
int zeb_service_wait_event(zeb_event_t **event);
/* Like zeb_service_wait_event, but gives up after timeout_ms: returns 1 with *event null. */
int zeb_service_wait_event_timeout(zeb_event_t **event, int32_t timeout_ms);
void zeb_service_free_event(zeb_event_t *event);
/* Leaves the bus: closes every connection and removes the own socket. Returns 0. */
int zeb_service_uninitialize(void);

/* Timers: one thread per timer service; periods on CLOCK_MONOTONIC without drift. */
typedef struct zeb_timer_service zeb_timer_service_t;
typedef struct zeb_timer zeb_timer_t;
typedef void (*zeb_timer_callback_t)(void *arg);

#define ZEB_TIMER_ONESHOT 1u /* flag for zeb_timer_set_interval: fire once */

int zeb_timer_initialize(zeb_timer_service_t **service);
/* Arms a timer that calls callback(arg) every period_ms until cleared. flags 0 = periodic.
 * 0 on success; -EINVAL for a null place, callback or service or a zero period. A one-shot timer
 * that fired stays allocated until it is cleared or the service is uninitialized. */
int zeb_timer_set_interval(zeb_timer_service_t *service, zeb_timer_t **timer, uint32_t period_ms,
                           zeb_timer_callback_t callback, void *arg, uint32_t flags);
/* Stops and releases the timer. Works from inside the timer's own callback; from any other
 * thread it returns once a running callback of that timer is done. 0, or -EINVAL. */
int zeb_timer_clear_timer(zeb_timer_service_t *service, zeb_timer_t *timer);
/* Stops the thread (after a running callback returns) and releases every timer still armed.
 * -EDEADLK when called from a callback of the same service, -EINVAL for null. */
int zeb_timer_uninitialize(zeb_timer_service_t *service);

/* List: head insert + tail removal gives FIFO order. No locking of its own. Payloads are
 * released with free(). */
typedef struct zeb_list zeb_list_t;
typedef struct zeb_list_item zeb_list_item_t;

zeb_list_t *zeb_list_create(void);
int zeb_list_add_head(zeb_list_t *list, void *payload);
int32_t zeb_list_get_length(zeb_list_t *list);
zeb_list_item_t *zeb_list_get_tail(zeb_list_t *list);
void *zeb_list_item_get_data(zeb_list_item_t *item);
int zeb_list_delete_item(zeb_list_t *list, zeb_list_item_t *item);
void zeb_list_destroy(zeb_list_t *list);

#ifdef __cplusplus
}
#endif

#endif /* ZEB_COMMON_H */
