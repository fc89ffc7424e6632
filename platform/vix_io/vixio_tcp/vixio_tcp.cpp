// TCP transport plug-in of the IO channel: a receiver that listens on the loopback interface and
// senders that connect to it, one encoded event per frame.
//
// The receiver owns its listening socket and every accepted connection with the bytes read from
// it so far; a receive hands out the first whole message of any connection, taking them in turn
// so one busy sender cannot starve the others. A sender owns its connected socket and the unsent
// tail of a message the kernel took only in part under the non-blocking flag.
//
// Anyone on this machine can connect, so the receiver bounds what a flood of connections costs:
// at most VIXIO_TCP_MAX_CONNECTIONS senders at a time (a connection beyond it is accepted and
// closed at once), and when the process is out of descriptors or memory the listener is left
// alone for a while instead of being polled again and again (it stays readable while the
// connection waits in the backlog). A non-blocking receive ends as soon as a round brings
// nothing new: no bytes, no new sender.
#include "vixio_tcp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

#include "zeb_unique_fd.hpp"

namespace {

constexpr std::uint32_t kMaxMessage = VIXIO_TCP_MAX_MESSAGE;
constexpr std::size_t kReadChunk = 64 * 1024;
constexpr int kCloseFlushMs = 1000;
constexpr std::size_t kDefaultMaxConnections = 64;
constexpr std::size_t kLimitMaxConnections = 1024;
// Connections taken from the backlog per round, so a flood of them cannot hold a receive.
constexpr int kAcceptsPerRound = 16;
// How long the listener rests when the process is out of descriptors or memory.
constexpr std::chrono::milliseconds kAcceptPause{200};

using Clock = std::chrono::steady_clock;

using zeb::UniqueFd;

std::int32_t code_for_errno(int error) {
    switch (error) {
        case EINTR:
            return VIX_IO_ERROR_QUEUE_FULL;
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
        case EACCES:
            return VIX_IO_ERROR_ACCESS;
        case ENOMEM:
            return VIX_IO_ERROR_NO_MEMORY;
        case ENOMSG:
            return VIX_IO_ERROR_QUEUE_EMPTY;
        case ETIMEDOUT:
            return VIX_IO_ERROR_TIMEOUT;
        default:
            return VIX_IO_ERROR_UNKNOWN;
    }
}

// Parses "tcp://HOST:PORT" with a loopback host; 0 when the name is not one.
std::uint16_t parse_port(const char *name) {
    std::string_view text(name);
    constexpr std::string_view prefix = VIXIO_TCP_PREFIX;
    if (!text.starts_with(prefix)) {
        return 0;
    }
    text.remove_prefix(prefix.size());
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos) {
        return 0;
    }
    const std::string_view host = text.substr(0, colon);
    const std::string_view port = text.substr(colon + 1);
    if (host != "127.0.0.1" && host != "localhost") {
        return 0;
    }
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
    if (ec != std::errc{} || end != port.data() + port.size() || port.empty() || value == 0 ||
        value > 65535) {
        return 0;
    }
    return static_cast<std::uint16_t>(value);
}

// VIXIO_TCP_MAX_CONNECTIONS: a whole number 1-1024, else the default.
std::size_t max_connections() {
    const char *text = std::getenv("VIXIO_TCP_MAX_CONNECTIONS");
    if (text == nullptr) {
        return kDefaultMaxConnections;
    }
    const std::string_view value(text);
    std::size_t count = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), count);
    if (ec != std::errc{} || end != value.data() + value.size() || count == 0 ||
        count > kLimitMaxConnections) {
        return kDefaultMaxConnections;
    }
    return count;
}

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

bool set_nonblocking(int fd, bool on) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0) {
        return false;
    }
    return fcntl(fd, F_SETFL, on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK)) == 0;
}

struct Connection {
    UniqueFd fd;
    std::vector<char> bytes;  // read but not yet handed out, from offset on
    std::size_t offset = 0;

    std::size_t waiting() const { return bytes.size() - offset; }
    std::uint32_t frame_size() const {
        std::uint32_t total;
        std::memcpy(&total, bytes.data() + offset, sizeof total);
        return total;
    }
    bool has_message() const { return waiting() >= 4 && waiting() >= frame_size(); }
    bool frame_impossible() const {
        return waiting() >= 4 && (frame_size() < VIX_IO_HEADER_SIZE || frame_size() > kMaxMessage);
    }
};

struct TcpState {
    std::int32_t mode = 0;
    std::uint16_t port = 0;
    std::int32_t last_code = VIX_IO_ERROR_NONE;
    std::int32_t last_errno = 0;
    std::int32_t socket_buffer = 0;  // set by grow_buffer, applied to later sockets too
    // Receiving side.
    UniqueFd listener;
    std::vector<Connection> connections;
    std::size_t turn = 0;
    std::size_t max_connections = kDefaultMaxConnections;
    Clock::time_point accept_paused_until{};
    // Sending side.
    UniqueFd peer;
    std::vector<char> unsent;

    bool nonblocking() const { return (mode & VIX_IO_FLAG_NONBLOCK) != 0; }
    std::int32_t fail(int error) {
        last_errno = error;
        last_code = code_for_errno(error);
        return -1;
    }
};

void apply_buffer_size(const TcpState &state, int fd) {
    if (state.socket_buffer > 0) {
        const int size = state.socket_buffer;
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
}

bool open_listener(TcpState &state) {
    UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) {
        return false;
    }
    const int on = 1;
    setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in address = loopback(state.port);
    if (bind(fd.get(), reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 ||
        listen(fd.get(), 16) != 0 || !set_nonblocking(fd.get(), true)) {
        return false;
    }
    state.listener = std::move(fd);
    return true;
}

bool connect_peer(TcpState &state) {
    UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) {
        return false;
    }
    const int on = 1;
    setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    apply_buffer_size(state, fd.get());
    const sockaddr_in address = loopback(state.port);
    int result;
    do {
        result = connect(fd.get(), reinterpret_cast<const sockaddr *>(&address), sizeof address);
    } while (result != 0 && errno == EINTR);
    if (result != 0 || (state.nonblocking() && !set_nonblocking(fd.get(), true))) {
        return false;
    }
    state.peer = std::move(fd);
    state.unsent.clear();
    return true;
}

void *tcp_open(const char *name, std::int32_t mode) {
    if (name == nullptr || (mode & ~(VIX_IO_MODE_MASK | VIX_IO_FLAG_NONBLOCK)) != 0) {
        return nullptr;
    }
    const std::int32_t side = mode & VIX_IO_MODE_MASK;
    const std::uint16_t port = parse_port(name);
    if (port == 0 || (side != VIX_IO_MODE_RECEIVE && side != VIX_IO_MODE_SEND)) {
        return nullptr;
    }
    try {
        auto state = std::make_unique<TcpState>();
        state->mode = mode;
        state->port = port;
        state->max_connections = max_connections();
        const bool opened =
            side == VIX_IO_MODE_RECEIVE ? open_listener(*state) : connect_peer(*state);
        return opened ? state.release() : nullptr;
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

// Sends what it can of bytes; returns the count sent, or -1 with errno when nothing went.
ssize_t send_some(int fd, const char *bytes, std::size_t length, bool nonblocking) {
    std::size_t sent = 0;
    while (sent < length) {
        const ssize_t n = ::send(fd, bytes + sent, length - sent,
                                 MSG_NOSIGNAL | (nonblocking ? MSG_DONTWAIT : 0));
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;  // a frame must never be left half sent in blocking mode
        }
        if (sent > 0 && n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        }
        return -1;
    }
    return static_cast<ssize_t>(sent);
}

// True when the receiver has closed its end: it never writes, so readable means gone.
bool peer_gone(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

void tcp_close(void *raw) {
    std::unique_ptr<TcpState> state(static_cast<TcpState *>(raw));
    if (state && state->peer && !state->unsent.empty()) {
        // Finish the message already promised to the receiver, within a bound.
        set_nonblocking(state->peer.get(), false);
        timeval limit{kCloseFlushMs / 1000, (kCloseFlushMs % 1000) * 1000};
        setsockopt(state->peer.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        send_some(state->peer.get(), state->unsent.data(), state->unsent.size(), false);
    }
}

bool would_block(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}

std::int32_t tcp_send(void *raw, const vix_io_buffer *buffer) {
    auto *state = static_cast<TcpState *>(raw);
    if (state == nullptr) {
        return -1;
    }
    if (state->listener) {
        return state->fail(EBADF);  // a receiving end does not send
    }
    if (buffer == nullptr || buffer->data == nullptr || buffer->used < VIX_IO_HEADER_SIZE ||
        buffer->used > buffer->size) {
        return state->fail(EINVAL);
    }
    std::uint32_t total;
    std::memcpy(&total, buffer->data, sizeof total);
    if (total != static_cast<std::uint32_t>(buffer->used)) {
        return state->fail(EINVAL);
    }
    if (total > kMaxMessage) {
        return state->fail(EMSGSIZE);
    }

    const bool nonblocking = state->nonblocking();
    if (state->peer && !state->unsent.empty()) {
        const ssize_t n =
            send_some(state->peer.get(), state->unsent.data(), state->unsent.size(), nonblocking);
        if (n < 0 && would_block(errno)) {
            return state->fail(errno);
        }
        if (n < 0) {
            state->peer.reset();  // the tail is lost with its connection; start afresh below
        } else {
            state->unsent.erase(state->unsent.begin(), state->unsent.begin() + n);
            if (!state->unsent.empty()) {
                return state->fail(EAGAIN);
            }
        }
    }
    if ((!state->peer || peer_gone(state->peer.get())) && !connect_peer(*state)) {
        const int error = errno;
        state->peer.reset();
        return state->fail(error);
    }

    ssize_t n = send_some(state->peer.get(), buffer->data, total, nonblocking);
    if (n < 0 && (errno == EPIPE || errno == ECONNRESET)) {
        if (!connect_peer(*state)) {
            const int error = errno;
            state->peer.reset();
            return state->fail(error);
        }
        n = send_some(state->peer.get(), buffer->data, total, nonblocking);
    }
    if (n < 0) {
        const int error = errno;
        if (!would_block(error)) {
            state->peer.reset();  // part of the frame may have gone: this stream is spoilt
        }
        return state->fail(error);
    }
    if (static_cast<std::uint32_t>(n) < total) {
        try {
            state->unsent.assign(buffer->data + n, buffer->data + total);
        } catch (const std::bad_alloc &) {
            state->peer.reset();  // the stream holds half a frame; only a new connection helps
            return state->fail(ENOMEM);
        }
    }
    return 0;
}

// Reads what one connection has; false when the connection is finished and must go. progress
// is set when bytes came.
bool read_connection(Connection &connection, bool &progress) {
    if (connection.offset > 0 && connection.offset * 2 >= connection.bytes.size()) {
        connection.bytes.erase(
            connection.bytes.begin(),
            connection.bytes.begin() + static_cast<std::ptrdiff_t>(connection.offset));
        connection.offset = 0;
    }
    const std::size_t old = connection.bytes.size();
    connection.bytes.resize(old + kReadChunk);
    const ssize_t n =
        recv(connection.fd.get(), connection.bytes.data() + old, kReadChunk, MSG_DONTWAIT);
    connection.bytes.resize(old + (n > 0 ? static_cast<std::size_t>(n) : 0));
    if (n > 0) {
        progress = true;
    }
    if (n == 0) {
        return false;
    }
    if (n < 0) {
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    }
    return !connection.frame_impossible();
}

// Takes waiting connections from the backlog; true when a new sender was taken on. Beyond the
// cap a connection is closed at once; out of descriptors or memory the listener rests.
bool accept_some(TcpState &state) {
    bool taken = false;
    for (int i = 0; i < kAcceptsPerRound; ++i) {
        UniqueFd accepted(accept4(state.listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!accepted) {
            const int error = errno;
            if (error == EINTR || error == ECONNABORTED) {
                continue;
            }
            if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
                state.accept_paused_until = Clock::now() + kAcceptPause;
            }
            break;
        }
        if (state.connections.size() >= state.max_connections) {
            continue;  // refused: the descriptor closes here
        }
        apply_buffer_size(state, accepted.get());
        state.connections.push_back(Connection{std::move(accepted), {}, 0});
        taken = true;
    }
    return taken;
}

std::int32_t deliver(TcpState &state, Connection &connection, vix_io_buffer **slot) {
    const std::uint32_t total = connection.frame_size();
    vix_io_buffer *buffer = vix_io_size_buffer(*slot, static_cast<std::int32_t>(total));
    if (buffer == nullptr) {
        return state.fail(ENOMEM);  // the message stays for the next try
    }
    *slot = buffer;
    std::memcpy(buffer->data, connection.bytes.data() + connection.offset, total);
    buffer->used = static_cast<std::int32_t>(total);
    connection.offset += total;
    return buffer->used;
}

std::int32_t tcp_receive(void *raw, vix_io_buffer **slot) {
    auto *state = static_cast<TcpState *>(raw);
    if (state == nullptr) {
        return -1;
    }
    if (slot == nullptr || !state->listener) {
        return state->fail(EINVAL);
    }
    try {
        std::vector<pollfd> polled;
        bool progress = true;
        for (;;) {
            const std::size_t count = state->connections.size();
            for (std::size_t i = 0; i < count; ++i) {
                const std::size_t at = (state->turn + i) % count;
                if (state->connections[at].has_message()) {
                    state->turn = at + 1;
                    return deliver(*state, state->connections[at], slot);
                }
            }
            if (state->nonblocking() && !progress) {
                return state->fail(ENOMSG);
            }
            progress = false;

            const auto now = Clock::now();
            const bool listening = now >= state->accept_paused_until;
            int timeout = -1;
            if (state->nonblocking()) {
                timeout = 0;
            } else if (!listening) {
                timeout = static_cast<int>(
                    std::chrono::ceil<std::chrono::milliseconds>(state->accept_paused_until - now)
                        .count());
            }
            polled.clear();
            polled.push_back({listening ? state->listener.get() : -1, POLLIN, 0});
            for (const Connection &connection : state->connections) {
                polled.push_back({connection.fd.get(), POLLIN, 0});
            }
            const int ready = poll(polled.data(), polled.size(), timeout);
            if (ready < 0) {
                return state->fail(errno);
            }
            // Connections first: the indexes of polled match them only before accepting more.
            for (std::size_t i = state->connections.size(); i-- > 0;) {
                if (polled[i + 1].revents != 0 &&
                    !read_connection(state->connections[i], progress)) {
                    state->connections.erase(state->connections.begin() +
                                             static_cast<std::ptrdiff_t>(i));
                }
            }
            if ((polled[0].revents & POLLIN) != 0 && accept_some(*state)) {
                progress = true;
            }
        }
    } catch (const std::bad_alloc &) {
        return state->fail(ENOMEM);
    }
}

std::int32_t tcp_grow_buffer(void *raw, std::int32_t size) {
    auto *state = static_cast<TcpState *>(raw);
    if (state == nullptr) {
        return -1;
    }
    if (size <= 0) {
        return state->fail(EINVAL);
    }
    state->socket_buffer = size;
    if (state->peer) {
        apply_buffer_size(*state, state->peer.get());
    }
    for (const Connection &connection : state->connections) {
        apply_buffer_size(*state, connection.fd.get());
    }
    return 0;
}

std::int32_t tcp_max_message(void *raw) {
    return raw == nullptr ? -1 : static_cast<std::int32_t>(kMaxMessage);
}

std::int32_t tcp_get_error_codes(void *raw, vix_io_error_codes_t *codes) {
    auto *state = static_cast<TcpState *>(raw);
    if (state == nullptr || codes == nullptr) {
        return -1;
    }
    codes->code = state->last_code;
    codes->system_error = state->last_errno;
    return 0;
}

constexpr vix_io_transport_t kTcp = {
    VIXIO_TCP_PREFIX, tcp_open,        tcp_close,       tcp_send,
    tcp_receive,      tcp_grow_buffer, tcp_max_message, tcp_get_error_codes,
};

}  // namespace

extern "C" const vix_io_transport_t *vix_io_tcp_register(void) {
    return &kTcp;
}
