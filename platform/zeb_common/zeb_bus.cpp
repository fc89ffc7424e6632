// Service bus over Unix-domain SOCK_SEQPACKET sockets, one listening socket per channel under
// $ZEB_BUS_DIR. Connected sequenced packets keep message boundaries, order and flow control per
// connection and show a vanished peer at once (EPIPE, ECONNRESET), which is what a burst of UI
// notifications needs; a datagram socket would drop beyond its ten-message queue.
//
// Senders never block: connects and sends are non-blocking, and a receiver whose connection is
// full or gone loses that event while the sender goes on. A client channel that is gone is
// dropped from the notification list. The receiving side trusts nothing it reads: every message
// goes through the IO channel decoder, and a connection that sends something undecodable is
// closed. The endpoint owns every descriptor it opens; the C functions below act on one
// process-wide endpoint.
#include "zeb_bus.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <utility>

namespace zeb {

namespace {

constexpr const char *kModule = "zeb_common";
constexpr const char *kDefaultBusDir = "/run/zeb";
constexpr int kListenBacklog = 64;
// Senders are the UI, the update and reporting services and tools; far more connections than
// this means something is wrong, and each one costs a descriptor. A channel that is full closes
// its longest idle connection to take a new one: whoever holds many connections without using
// them cannot lock out a client that comes later (the UI), whatever user or process it is, and a
// client whose idle connection went simply connects again on its next send.
constexpr std::size_t kMaxIncoming = 256;
// A full channel or a process out of descriptors says so at most this often, with a count.
constexpr std::int64_t kWarningPeriodMs = 10000;
// Messages read from one connection per round, so one busy sender cannot starve the others.
constexpr int kReadsPerRound = 32;
// How long accepting pauses when the process is out of descriptors or memory.
constexpr std::int64_t kAcceptPauseMs = 100;

std::int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// The peer's end is gone: the connection is worth one reconnect, the client may be dropped.
bool peer_gone(int err) {
    return err == EPIPE || err == ECONNRESET || err == ENOTCONN || err == ECONNREFUSED ||
           err == ENOENT;
}

bool make_address(const std::string &path, sockaddr_un &addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        return false;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return true;
}

int new_socket() {
    return ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
}

int ensure_bus_dir(const std::string &dir) {
    if (::mkdir(dir.c_str(), 0770) == 0) {
        // The umask must not narrow the group's access. Through a descriptor: the name may
        // lead elsewhere by now.
        Fd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (fd.valid()) {
            ::fchmod(fd.get(), 0770);
        }
        return 0;
    }
    return errno == EEXIST ? 0 : -errno;
}

// A folder of our own inside the bus folder, for the socket to be made and given its mode in:
// the bus folder is the group's to write, so a name there may be swapped for a symlink between
// any two calls; inside a folder only this user can write, the socket's name stays ours.
class PrivateFolder {
  public:
    // 0, or a negative errno.
    int make(const std::string &parent) {
        std::string name = parent + "/.XXXXXX";
        if (::mkdtemp(name.data()) == nullptr) {
            return -errno;
        }
        path_ = name;
        fd_.reset(::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat st;
        if (!fd_.valid() || ::fstat(fd_.get(), &st) != 0 || st.st_uid != ::geteuid() ||
            (st.st_mode & 077) != 0) {
            fd_.reset();
            return -EPERM;  // swapped before we could hold it
        }
        return 0;
    }
    ~PrivateFolder() {
        if (fd_.valid()) {
            ::unlinkat(fd_.get(), kSocketName, 0);
            ::rmdir(path_.c_str());
        }
    }
    int fd() const { return fd_.get(); }
    std::string socket_path() const { return path_ + "/" + kSocketName; }
    static constexpr const char *kSocketName = "s";

  private:
    std::string path_;
    Fd fd_;
};

int fail(int err) {
    errno = err;
    return -err;
}

}  // namespace

bool valid_channel_name(const char *name) {
    if (name == nullptr || name[0] == '\0' || name[0] == '.') {
        return false;
    }
    std::size_t n = 0;
    for (const char *p = name; *p != '\0'; ++p, ++n) {
        const char c = *p;
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '_' || c == '.' || c == '-';
        if (!ok || n >= ZEB_CHANNEL_NAME_MAX) {
            return false;
        }
    }
    return true;
}

std::string bus_dir() {
    const char *dir = std::getenv("ZEB_BUS_DIR");
    return dir != nullptr && *dir != '\0' ? dir : kDefaultBusDir;
}

BusEndpoint::BusEndpoint(Key, std::string channel)
    : channel_(std::move(channel)), owner_(::getpid()) {
    zeb_logger_open(&log_);
}

BusEndpoint::~BusEndpoint() {
    remove_socket_file();
    vix_io_free_buffer(encoded_);
    zeb_logger_close(log_);
}

int BusEndpoint::open(const char *channel, std::unique_ptr<BusEndpoint> &out) {
    const bool named = channel != nullptr && *channel != '\0';
    if (named && !valid_channel_name(channel)) {
        return -EINVAL;
    }
    auto ep = std::make_unique<BusEndpoint>(Key{}, named ? channel : "");
    ep->stop_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!ep->stop_.valid()) {
        return -errno;
    }
    ep->scratch_.resize(ZEB_MAX_EVENT_SIZE);
    if (named) {
        if (int rc = ep->bind_channel(); rc != 0) {
            return rc;
        }
    }
    out = std::move(ep);
    return 0;
}

std::string BusEndpoint::path_of(const std::string &channel) const {
    return bus_dir() + "/" + channel;
}

int BusEndpoint::bind_channel() {
    const std::string dir = bus_dir();
    if (int rc = ensure_bus_dir(dir); rc != 0) {
        return rc;
    }
    const std::string path = path_of(channel_);
    sockaddr_un addr;
    if (!make_address(path, addr)) {
        return -ENAMETOOLONG;
    }
    // The socket listens under a private name first and only then appears under the channel's
    // name (a hard link is atomic and never replaces a file): a sender that sees the channel's
    // file can connect at once, and a process starting up never takes a live channel that has
    // not reached listen() yet for a stale file. The private name is in a folder of our own, so
    // its mode is set on our socket and nothing else (a chmod in the bus folder itself could be
    // led through a symlink; the umask is the whole process's, other threads included). Channel
    // names never start with a dot, so the private folder cannot be a channel.
    PrivateFolder folder;
    if (int rc = folder.make(dir); rc != 0) {
        return rc;
    }
    sockaddr_un temp_addr;
    if (!make_address(folder.socket_path(), temp_addr)) {
        return -ENAMETOOLONG;
    }
    Fd fd(new_socket());
    if (!fd.valid()) {
        return -errno;
    }
    // Should the folder's name be swapped before this bind, the socket lands elsewhere and the
    // calls by descriptor below find nothing: the channel fails to open, nothing is touched.
    if (::bind(fd.get(), reinterpret_cast<sockaddr *>(&temp_addr), sizeof temp_addr) != 0) {
        return -errno;
    }
    if (::fchmodat(folder.fd(), PrivateFolder::kSocketName, 0660, 0) != 0 ||
        ::listen(fd.get(), kListenBacklog) != 0) {
        return -errno;
    }
    // A socket file may be left by a process that crashed; a live channel answers a connect.
    bool bound = false;
    for (int attempt = 0; attempt < 3 && !bound; ++attempt) {
        if (::linkat(folder.fd(), PrivateFolder::kSocketName, AT_FDCWD, path.c_str(), 0) == 0) {
            bound = true;
            break;
        }
        if (errno != EEXIST) {
            return -errno;
        }
        struct stat st;
        if (::lstat(path.c_str(), &st) == 0 && !S_ISSOCK(st.st_mode)) {
            return -EADDRINUSE;  // not ours to remove
        }
        Fd probe(new_socket());
        if (!probe.valid()) {
            return -errno;
        }
        if (::connect(probe.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 ||
            errno == EAGAIN || errno == EINPROGRESS) {
            return -EADDRINUSE;  // a running process holds the channel
        }
        if (errno == ECONNREFUSED) {
            zeb_logger_log(log_, ZEB_LOG_WARNING, kModule,
                           "zeb_service: replacing the stale socket %s", path.c_str());
            ::unlink(path.c_str());
        } else if (errno != ENOENT) {
            return -errno;
        }
    }
    if (!bound) {
        return -EADDRINUSE;
    }
    struct stat st;
    if (::fstatat(folder.fd(), PrivateFolder::kSocketName, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        int err = errno;
        ::unlink(path.c_str());
        return -err;
    }
    socket_path_ = path;
    socket_dev_ = st.st_dev;
    socket_ino_ = st.st_ino;
    listener_ = std::move(fd);
    return 0;
}

void BusEndpoint::remove_socket_file() {
    std::lock_guard<std::mutex> guard(file_lock_);
    if (file_removed_ || socket_path_.empty()) {
        return;
    }
    file_removed_ = true;
    // Only our own file: another process may have taken the name over since, and a forked
    // child that drops its inherited copy of the endpoint must leave the parent's channel be.
    struct stat st;
    if (::getpid() == owner_ && ::stat(socket_path_.c_str(), &st) == 0 &&
        st.st_dev == socket_dev_ && st.st_ino == socket_ino_) {
        ::unlink(socket_path_.c_str());
    }
}

void BusEndpoint::shutdown() {
    // The eventfd is shared with the parent after a fork; only the forking thread lives on in
    // a child, so there is no waiter of its own to wake, and waking the parent's would break it.
    if (::getpid() == owner_) {
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(stop_.get(), &one, sizeof one);
    }
    remove_socket_file();
}

// ---- sending ----

int BusEndpoint::register_client(const char *client, int32_t value) {
    if (!valid_channel_name(client)) {
        return -EINVAL;
    }
    std::lock_guard<std::mutex> guard(send_lock_);
    for (auto &c : clients_) {
        if (c.name == client) {
            c.value = value;
            return 0;
        }
    }
    if (clients_.size() >= ZEB_MAX_CLIENTS) {
        return -ENOSPC;
    }
    clients_.push_back({client, value});
    return 0;
}

std::size_t BusEndpoint::client_count() const {
    std::lock_guard<std::mutex> guard(send_lock_);
    return clients_.size();
}

int BusEndpoint::encode_locked(const char *event, const char *format, const void *data,
                               int32_t length) {
    if (event == nullptr || (data == nullptr && length > 0)) {
        return -EINVAL;
    }
    if (length > ZEB_MAX_EVENT_SIZE) {
        return -EMSGSIZE;
    }
    vix_io_buffer *out = vix_io_serialize(encoded_, channel_.c_str(), event, format, data, length);
    if (out == nullptr) {
        // Only a string beyond 64 KiB or no memory; either way it could not be sent.
        return -EMSGSIZE;
    }
    encoded_ = out;
    return encoded_->used > ZEB_MAX_EVENT_SIZE ? -EMSGSIZE : 0;
}

int BusEndpoint::connect_to(const std::string &target, Fd &out) const {
    sockaddr_un addr;
    if (!make_address(path_of(target), addr)) {
        return -ENAMETOOLONG;
    }
    Fd fd(new_socket());
    if (!fd.valid()) {
        return -errno;
    }
    int rc;
    do {
        rc = ::connect(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    } while (rc != 0 && errno == EINTR);
    // A Unix-domain connect completes at once or fails (EAGAIN when the backlog is full).
    if (rc != 0 && errno != EINPROGRESS) {
        return -errno;
    }
    out = std::move(fd);
    return 0;
}

int BusEndpoint::send_locked(const std::string &target) {
    auto it = outgoing_.find(target);
    bool fresh = false;
    for (;;) {
        if (it == outgoing_.end()) {
            Fd fd;
            if (int rc = connect_to(target, fd); rc != 0) {
                return rc;
            }
            it = outgoing_.emplace(target, std::move(fd)).first;
            fresh = true;
        }
        ssize_t n;
        do {
            n = ::send(it->second.get(), encoded_->data, static_cast<std::size_t>(encoded_->used),
                       MSG_DONTWAIT | MSG_NOSIGNAL);
        } while (n < 0 && errno == EINTR);
        if (n == encoded_->used) {
            return 0;
        }
        const int err = n < 0 ? errno : EMSGSIZE;
        if (!peer_gone(err)) {
            return -err;  // full (EAGAIN): this event is lost, the connection stays
        }
        outgoing_.erase(it);
        it = outgoing_.end();
        if (fresh) {
            return -err;
        }
        // A kept connection whose peer went away (restart): reconnect once.
    }
}

int BusEndpoint::notify_all(const char *event, const char *format, const void *data,
                            int32_t length) {
    std::lock_guard<std::mutex> guard(send_lock_);
    if (int rc = encode_locked(event, format, data, length); rc != 0) {
        return rc;
    }
    int reached = 0;
    for (auto c = clients_.begin(); c != clients_.end();) {
        const int rc = send_locked(c->name);
        if (rc == 0) {
            ++reached;
        } else if (peer_gone(-rc)) {
            zeb_logger_log(log_, ZEB_LOG_WARNING, kModule,
                           "zeb_service: client %s is gone (%s), dropped", c->name.c_str(),
                           std::strerror(-rc));
            c = clients_.erase(c);
            continue;
        }
        ++c;
    }
    return reached;
}

int BusEndpoint::send_event(const char *target, const char *event, const char *format,
                            const void *data, int32_t length) {
    if (!valid_channel_name(target)) {
        return -EINVAL;
    }
    std::lock_guard<std::mutex> guard(send_lock_);
    if (int rc = encode_locked(event, format, data, length); rc != 0) {
        return rc;
    }
    return send_locked(target);
}

// ---- receiving ----

EventPtr BusEndpoint::decode(const char *bytes, std::size_t size) const {
    vix_io_buffer view{const_cast<char *>(bytes), static_cast<int32_t>(size),
                       static_cast<int32_t>(size)};
    char *sender = nullptr;
    char *name = nullptr;
    char *format = nullptr;
    void *data = nullptr;
    const int32_t length = vix_io_unserialize(&view, &sender, &name, &format, &data);
    if (length < 0) {
        return nullptr;
    }
    // One block: the record, the data with an extra NUL (a "1s0" string is always terminated),
    // then the three strings. The data starts on a 16-byte boundary.
    const std::size_t head = (sizeof(zeb_event_t) + 15) & ~std::size_t(15);
    const std::size_t name_len = std::strlen(name) + 1;
    const std::size_t format_len = std::strlen(format) + 1;
    const std::size_t sender_len = std::strlen(sender) + 1;
    const std::size_t data_len = static_cast<std::size_t>(length);
    char *block =
        static_cast<char *>(std::malloc(head + data_len + 1 + name_len + format_len + sender_len));
    if (block == nullptr) {
        return nullptr;
    }
    auto *ev = reinterpret_cast<zeb_event_t *>(block);
    char *p = block + head;
    char *data_at = p;
    if (data_len > 0) {
        std::memcpy(p, data, data_len);
    }
    p[data_len] = '\0';
    p += data_len + 1;
    ev->name = static_cast<char *>(std::memcpy(p, name, name_len));
    p += name_len;
    ev->format = static_cast<char *>(std::memcpy(p, format, format_len));
    p += format_len;
    ev->sender = static_cast<char *>(std::memcpy(p, sender, sender_len));
    ev->data = data_len > 0 ? data_at : nullptr;
    ev->length = length;
    return EventPtr(ev);
}

bool BusEndpoint::Warning::due(std::int64_t now, std::int64_t period_ms) {
    if (said && now - said_ms < period_ms) {
        ++count;
        return false;
    }
    ++count;
    said = true;
    said_ms = now;
    return true;
}

int BusEndpoint::accept_all() {
    // At most a backlog's worth per round: a peer that keeps connecting cannot hold the channel
    // in here while the messages of the others wait.
    for (int taken = 0; taken < kListenBacklog; ++taken) {
        int fd = ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) {
            const std::int64_t now = now_ms();
            if (incoming_.size() >= kMaxIncoming) {
                auto idlest = std::min_element(incoming_.begin(), incoming_.end(),
                                               [](const Incoming &a, const Incoming &b) {
                                                   return a.last_active_ms < b.last_active_ms;
                                               });
                // What it sent before it goes is still served.
                read_some(*idlest);
                incoming_.erase(idlest);
                if (full_warning_.due(now, kWarningPeriodMs)) {
                    zeb_logger_log(log_, ZEB_LOG_WARNING, kModule,
                                   "zeb_service: channel %s has %zu connections, closed the "
                                   "longest idle one for a new one (%u closed since the last "
                                   "warning)",
                                   channel_.c_str(), kMaxIncoming, full_warning_.count);
                    full_warning_.count = 0;
                }
            }
            incoming_.push_back({Fd(fd), false, now});
            continue;
        }
        const int err = errno;
        switch (err) {
            case EAGAIN:
                return 0;
            case EINTR:
            case ECONNABORTED:
            case EPROTO:
                continue;
            case EMFILE:
            case ENFILE:
            case ENOBUFS:
            case ENOMEM:
                // Not the channel's fault; wait a little instead of spinning on the backlog.
                if (accept_warning_.due(now_ms(), kWarningPeriodMs)) {
                    zeb_logger_log(log_, ZEB_LOG_WARNING, kModule,
                                   "zeb_service: cannot accept on channel %s (%s; %u failures "
                                   "since the last warning)",
                                   channel_.c_str(), std::strerror(err), accept_warning_.count);
                    accept_warning_.count = 0;
                }
                accept_paused_until_ms_ = now_ms() + kAcceptPauseMs;
                return 0;
            default:
                return -err;
        }
    }
    return 0;
}

void BusEndpoint::read_some(Incoming &conn) {
    for (int i = 0; i < kReadsPerRound; ++i) {
        iovec iov{scratch_.data(), scratch_.size()};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        ssize_t n;
        do {
            n = ::recvmsg(conn.fd.get(), &msg, MSG_DONTWAIT);
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            if (errno != EAGAIN) {
                conn.broken = true;  // ECONNRESET and the like: the sender is gone
            }
            return;
        }
        if (n == 0) {
            conn.broken = true;  // orderly close
            return;
        }
        if ((msg.msg_flags & MSG_TRUNC) != 0) {
            zeb_logger_log(log_, ZEB_LOG_WARNING, kModule,
                           "zeb_service: dropping a message above %d bytes on channel %s, closing "
                           "its connection",
                           ZEB_MAX_EVENT_SIZE, channel_.c_str());
            conn.broken = true;
            return;
        }
        EventPtr ev = decode(scratch_.data(), static_cast<std::size_t>(n));
        if (!ev) {
            zeb_logger_log(log_, ZEB_LOG_WARNING, kModule,
                           "zeb_service: dropping an undecodable message of %zd bytes on channel "
                           "%s, closing its connection",
                           n, channel_.c_str());
            conn.broken = true;
            return;
        }
        pending_.push_back(std::move(ev));
        conn.last_active_ms = now_ms();
    }
}

int BusEndpoint::wait_event(zeb_event_t **event, int timeout_ms) {
    if (event == nullptr) {
        return fail(EINVAL);
    }
    *event = nullptr;
    if (!listener_.valid()) {
        return fail(ENOTCONN);
    }
    std::lock_guard<std::mutex> guard(recv_lock_);
    const std::int64_t deadline = timeout_ms >= 0 ? now_ms() + timeout_ms : -1;
    std::vector<pollfd> fds;
    bool polled = false;
    for (;;) {
        if (!pending_.empty()) {
            *event = pending_.front().release();
            pending_.pop_front();
            return 0;
        }
        const std::int64_t now = now_ms();
        // Checked only after one round of polling, so a zero time-out still reads what is there.
        if (polled && deadline >= 0 && now >= deadline) {
            return 1;
        }
        polled = true;
        std::int64_t wait = deadline >= 0 ? std::max<std::int64_t>(deadline - now, 0) : -1;
        const bool accepting = now >= accept_paused_until_ms_;
        if (!accepting) {
            const std::int64_t pause = accept_paused_until_ms_ - now;
            wait = wait < 0 ? pause : std::min(wait, pause);
        }

        fds.clear();
        fds.push_back({stop_.get(), POLLIN, 0});
        fds.push_back({accepting ? listener_.get() : -1, POLLIN, 0});
        for (const auto &conn : incoming_) {
            fds.push_back({conn.fd.get(), POLLIN, 0});
        }
        const int n = ::poll(fds.data(), fds.size(), static_cast<int>(wait));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return fail(errno);
        }
        if ((fds[0].revents & POLLIN) != 0) {
            return fail(ESHUTDOWN);
        }
        if ((fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            int err = 0;
            socklen_t len = sizeof err;
            ::getsockopt(listener_.get(), SOL_SOCKET, SO_ERROR, &err, &len);
            return fail(err != 0 ? err : EPIPE);
        }
        for (std::size_t i = 0; i < incoming_.size(); ++i) {
            const short revents = fds[i + 2].revents;
            if ((revents & POLLNVAL) != 0) {
                incoming_[i].broken = true;
            } else if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                read_some(incoming_[i]);
            }
        }
        std::erase_if(incoming_, [](const Incoming &conn) { return conn.broken; });
        if ((fds[1].revents & POLLIN) != 0) {
            if (int rc = accept_all(); rc != 0) {
                return fail(-rc);
            }
        }
    }
}

}  // namespace zeb

// ---- the process-wide endpoint behind the C interface ----

namespace {

std::mutex g_lock;
std::shared_ptr<zeb::BusEndpoint> g_bus;     // opened by zeb_service_initialize
std::shared_ptr<zeb::BusEndpoint> g_sender;  // send-only, for senders without a channel

std::shared_ptr<zeb::BusEndpoint> current() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_bus;
}

// No C++ exception may leave through the C interface; a failed allocation becomes -ENOMEM.
template <typename Fn>
int guarded(Fn &&fn) {
    try {
        return fn();
    } catch (const std::bad_alloc &) {
        return -ENOMEM;
    } catch (...) {
        return -EIO;
    }
}

}  // namespace

extern "C" int zeb_service_initialize(const char *channel) {
    if (!zeb::valid_channel_name(channel)) {
        return -EINVAL;
    }
    return guarded([&] {
        std::lock_guard<std::mutex> guard(g_lock);
        if (g_bus) {
            return -EALREADY;
        }
        std::unique_ptr<zeb::BusEndpoint> ep;
        if (int rc = zeb::BusEndpoint::open(channel, ep); rc != 0) {
            return rc;
        }
        g_bus = std::move(ep);
        return 0;
    });
}

extern "C" int zeb_service_register(const char *client_channel, int32_t value) {
    return guarded([&] {
        auto bus = current();
        return bus ? bus->register_client(client_channel, value) : -ENOTCONN;
    });
}

extern "C" int zeb_service_notify_all(const char *event, const char *format, const void *data,
                                      int32_t length) {
    return guarded([&] {
        auto bus = current();
        return bus ? bus->notify_all(event, format, data, length) : -ENOTCONN;
    });
}

extern "C" int zeb_service_send_event(const char *target, const char *event, const char *format,
                                      const void *data, int32_t length) {
    return guarded([&] {
        std::shared_ptr<zeb::BusEndpoint> bus;
        {
            std::lock_guard<std::mutex> guard(g_lock);
            if (!g_bus && !g_sender) {
                std::unique_ptr<zeb::BusEndpoint> ep;
                if (int rc = zeb::BusEndpoint::open(nullptr, ep); rc != 0) {
                    return rc;
                }
                g_sender = std::move(ep);
            }
            bus = g_bus ? g_bus : g_sender;
        }
        return bus->send_event(target, event, format, data, length);
    });
}

extern "C" int zeb_service_wait_event_timeout(zeb_event_t **event, int32_t timeout_ms) {
    if (event != nullptr) {
        *event = nullptr;
    }
    return guarded([&] {
        auto bus = current();
        if (!bus) {
            errno = ENOTCONN;
            return -ENOTCONN;
        }
        return bus->wait_event(event, timeout_ms);
    });
}

extern "C" int zeb_service_wait_event(zeb_event_t **event) {
    return zeb_service_wait_event_timeout(event, -1);
}

extern "C" void zeb_service_free_event(zeb_event_t *event) {
    std::free(event);
}

extern "C" int zeb_service_uninitialize(void) {
    std::shared_ptr<zeb::BusEndpoint> bus;
    std::shared_ptr<zeb::BusEndpoint> sender;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        bus = std::move(g_bus);
        sender = std::move(g_sender);
    }
    // A thread still waiting holds its own reference: it wakes up, fails with ESHUTDOWN, and
    // the last reference closes the descriptors.
    if (bus) {
        bus->shutdown();
    }
    return 0;
}
