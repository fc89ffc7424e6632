// Service bus endpoint (internal to libzeb_common and its tests). One BusEndpoint is one
// process's place on the bus: the listening SOCK_SEQPACKET socket of its own channel, the
// connections it accepted from senders, the connections it keeps to each channel it sends to,
// and its registered clients. The zeb_service_* C functions act on one process-wide endpoint;
// tests create several in one process to play both sides.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "vix_io.h"
#include "zeb_common.h"
#include "zeb_logger.h"
#include "zeb_unique_fd.hpp"

namespace zeb {

using Fd = UniqueFd;

struct EventDeleter {
    void operator()(zeb_event_t *event) const { zeb_service_free_event(event); }
};
using EventPtr = std::unique_ptr<zeb_event_t, EventDeleter>;

// 1 to 32 characters of A-Z a-z 0-9 _ . - not starting with a dot: names become file paths.
bool valid_channel_name(const char *name);
// $ZEB_BUS_DIR, or /run/zeb.
std::string bus_dir();

class BusEndpoint {
    struct Key {
        explicit Key() = default;
    };

  public:
    // Built only through open(); public for std::make_unique.
    BusEndpoint(Key, std::string channel);
    // Opens a channel: creates the bus folder when missing, binds and listens at
    // <bus dir>/<channel>, replacing a stale socket file but never one a live process holds.
    // A null or empty channel gives a send-only endpoint (its events carry an empty sender).
    // 0, or a negative errno (-EINVAL bad name, -EADDRINUSE channel held, -ENAMETOOLONG).
    static int open(const char *channel, std::unique_ptr<BusEndpoint> &out);
    ~BusEndpoint();
    BusEndpoint(const BusEndpoint &) = delete;
    BusEndpoint &operator=(const BusEndpoint &) = delete;

    const std::string &channel() const { return channel_; }

    int register_client(const char *client, int32_t value);
    std::size_t client_count() const;
    int notify_all(const char *event, const char *format, const void *data, int32_t length);
    int send_event(const char *target, const char *event, const char *format, const void *data,
                   int32_t length);
    // timeout_ms < 0 waits for ever. 0 with *event set, 1 on time-out, or a negative errno (also
    // left in errno) when the channel itself fails or was shut down (-ESHUTDOWN).
    int wait_event(zeb_event_t **event, int timeout_ms);
    // Wakes a waiting wait_event (which then fails with ESHUTDOWN) and removes the socket file.
    // The descriptors are closed by the destructor, once no thread can be using them.
    void shutdown();

  private:
    struct Client {
        std::string name;
        int32_t value;
    };
    struct Incoming {
        Fd fd;
        bool broken = false;
        std::int64_t last_active_ms = 0;  // accepted or last message read
    };
    // A warning said at most once per period, with the count of its occurrences since the
    // last time it was said.
    struct Warning {
        std::int64_t said_ms = 0;
        bool said = false;
        unsigned count = 0;
        // Counts one occurrence; true when the warning is due now (count then holds the
        // occurrences it covers, reset by the caller's next call).
        bool due(std::int64_t now_ms, std::int64_t period_ms);
    };

    int bind_channel();
    void remove_socket_file();
    std::string path_of(const std::string &channel) const;

    // Sending side; callers hold send_lock_.
    int encode_locked(const char *event, const char *format, const void *data, int32_t length);
    int send_locked(const std::string &target);
    int connect_to(const std::string &target, Fd &out) const;

    // Receiving side; callers hold recv_lock_.
    int accept_all();
    void read_some(Incoming &conn);
    EventPtr decode(const char *bytes, std::size_t size) const;

    const std::string channel_;
    // The process that opened the endpoint. A forked child inherits a copy that shares the
    // descriptors, but the socket file and the stop signal stay the parent's.
    const pid_t owner_;
    zeb_logger_t *log_ = nullptr;

    // Fixed after open.
    Fd listener_;
    Fd stop_;  // eventfd, readable once shutdown() ran
    std::string socket_path_;
    dev_t socket_dev_ = 0;
    ino_t socket_ino_ = 0;
    std::mutex file_lock_;
    bool file_removed_ = false;

    mutable std::mutex send_lock_;
    std::map<std::string, Fd> outgoing_;
    std::vector<Client> clients_;
    vix_io_buffer *encoded_ = nullptr;

    std::mutex recv_lock_;
    std::vector<Incoming> incoming_;
    std::deque<EventPtr> pending_;
    std::vector<char> scratch_;
    std::int64_t accept_paused_until_ms_ = 0;
    Warning full_warning_;
    Warning accept_warning_;
};

}  // namespace zeb
