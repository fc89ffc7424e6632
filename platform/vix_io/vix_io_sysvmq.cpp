// The "sysvmq://" transport of the IO channel: one System V message queue per channel name.
//
// The queue's key comes from the channel name: a 32-bit FNV-1 hash of the whole name plus one,
// folded into the 8-bit project byte of ftok() on QVIO_FTOK_PATH (or "/"). The UI engine computes
// the same key from the same name, so both ends meet without any other rendezvous. Only 256
// project bytes exist per path, so two names can share a queue; giving each installation (or each
// test) its own QVIO_FTOK_PATH keeps them apart.
//
// Who may use a queue: its creator's user and group (mode 0660), or the mode in QVIO_SYSV_MODE
// for an installation whose UI runs as another user. A side that joins a queue it did not create
// checks who did: a queue of a user other than this one or root may be someone's trap (replies
// read by a stranger, requests fed to the bridge), so it is refused unless QVIO_SYSV_MODE says
// the installation shares its queues between users.
//
// The side that created the queue owns it (keeps a copy of the name) and removes it on close.
// Each open owns one state record; its scratch storage for outgoing messages is kept between
// sends so a steady stream of events does not allocate.
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "vix_io.h"

namespace {

constexpr std::int32_t kMinReceiveBuffer = 100;
// Room kept in the receive storage for the message type that msgrcv writes in front of the text.
constexpr std::int32_t kTypeRoom = 16;
constexpr long kMessageType = 1;

struct SysvState {
    std::int32_t last_code = VIX_IO_ERROR_NONE;
    std::int32_t last_errno = 0;
    std::string name;  // set only on the side that created the queue
    bool owner = false;
    std::int32_t mode = 0;
    std::int32_t key = -1;
    int queue = -1;
    std::vector<char> outgoing;  // message type followed by the text, reused between sends
};

std::int32_t code_for_errno(int error) {
    switch (error) {
        case EINTR:
            return VIX_IO_ERROR_QUEUE_FULL;
        case EAGAIN:
        case EACCES:
            return VIX_IO_ERROR_ACCESS;
        case ENOMEM:
            return VIX_IO_ERROR_NO_MEMORY;
        case ENOMSG:
            return VIX_IO_ERROR_QUEUE_EMPTY;
        default:
            return VIX_IO_ERROR_UNKNOWN;
    }
}

void record_failure(SysvState &state, int error) {
    state.last_errno = error;
    state.last_code = code_for_errno(error);
}

std::uint32_t fnv1_key(const char *name) {
    std::uint32_t hash = 2166136261u;
    for (const char *p = name; *p != '\0'; ++p) {
        hash *= 16777619u;
        hash ^= static_cast<unsigned char>(*p);
    }
    return hash + 1u;
}

int project_byte(std::uint32_t key) {
    if (std::getenv("QVIO_SYSV_OLD_KEY") != nullptr) {
        return static_cast<int>((key ^ (key >> 8) ^ (key >> 16) ^ (key >> 24)) & 0xffu);
    }
    return static_cast<int>((key ^ (key >> 8)) & 0xffu);
}

constexpr int kDefaultQueueMode = 0660;

// QVIO_SYSV_MODE as an octal mode of at most 0777, else the default (said once on stderr).
int queue_mode() {
    const char *text = std::getenv("QVIO_SYSV_MODE");
    if (text == nullptr || *text == '\0') {
        return kDefaultQueueMode;
    }
    char *end = nullptr;
    errno = 0;
    const unsigned long mode = std::strtoul(text, &end, 8);
    if (errno != 0 || *end != '\0' || mode > 0777) {
        static std::atomic<bool> said{false};
        if (!said.exchange(true)) {
            std::fprintf(stderr, "vix_io: QVIO_SYSV_MODE=%s is not an octal mode, using %04o\n",
                         text, kDefaultQueueMode);
        }
        return kDefaultQueueMode;
    }
    return static_cast<int>(mode);
}

bool shared_between_users() {
    const char *text = std::getenv("QVIO_SYSV_MODE");
    return text != nullptr && *text != '\0';
}

// Whether a queue this side did not create may be used: made and owned by this user or root.
// Both are checked: the creator can hand the ownership to anyone, root included. A refusal is
// said once per queue: the bridges try again every few milliseconds until the UI is there.
bool trusted(int queue, const char *name) {
    if (shared_between_users()) {
        return true;
    }
    static std::atomic<int> said_for{-1};
    msqid_ds info{};
    if (msgctl(queue, IPC_STAT, &info) != 0) {
        const int error = errno;
        if (said_for.exchange(queue) != queue) {
            std::fprintf(stderr, "vix_io: cannot tell who made the queue of channel %s (%s)\n",
                         name, std::strerror(error));
        }
        errno = error;
        return false;
    }
    const uid_t self = geteuid();
    const auto ours = [self](uid_t uid) { return uid == self || uid == 0; };
    if (ours(info.msg_perm.cuid) && ours(info.msg_perm.uid)) {
        return true;
    }
    if (said_for.exchange(queue) != queue) {
        std::fprintf(stderr,
                     "vix_io: refusing the queue of channel %s: made by user %u, owned by user %u, "
                     "neither this user nor root (QVIO_SYSV_MODE shares queues between users)\n",
                     name, static_cast<unsigned>(info.msg_perm.cuid),
                     static_cast<unsigned>(info.msg_perm.uid));
    }
    errno = EACCES;
    return false;
}

// Creates the queue exclusively; on the receiving side an older queue with the key goes first.
int create_queue(key_t key, bool replace) {
    if (replace) {
        int old = msgget(key, 0);
        if (old >= 0) {
            msgctl(old, IPC_RMID, nullptr);
        }
    }
    return msgget(key, IPC_CREAT | IPC_EXCL | queue_mode());
}

// Joins the queue someone else created.
int join_queue(key_t key, const char *name) {
    const int queue = msgget(key, 0);
    return queue >= 0 && trusted(queue, name) ? queue : -1;
}

void *sysvmq_open(const char *name, std::int32_t mode) {
    if (name == nullptr) {
        return nullptr;
    }
    const std::int32_t side = mode & VIX_IO_MODE_MASK;
    if ((mode & ~(VIX_IO_MODE_MASK | VIX_IO_FLAG_NONBLOCK)) != 0 ||
        (side != VIX_IO_MODE_EITHER && side != VIX_IO_MODE_RECEIVE && side != VIX_IO_MODE_SEND)) {
        return nullptr;
    }

    const std::uint32_t key = fnv1_key(name);
    const bool show = std::getenv("QVIO_SYSV_KEY") != nullptr;
    if (show) {
        std::printf("SYSV 32 bit KEY for [%s] is 0x%08x\n", name, key);
    }
    const int project = project_byte(key);
    if (show) {
        std::printf("SYSV 8 bit KEY for [%s] is 0x%02x\n", name, project);
        std::fflush(stdout);
    }
    const char *path = std::getenv("QVIO_FTOK_PATH");
    const key_t ipc_key = ftok(path != nullptr ? path : "/", project);
    if (ipc_key == static_cast<key_t>(-1)) {
        return nullptr;
    }

    int queue = -1;
    bool owner = false;
    if (side == VIX_IO_MODE_RECEIVE) {
        queue = create_queue(ipc_key, true);
        owner = queue >= 0;
    } else if (side == VIX_IO_MODE_SEND) {
        queue = join_queue(ipc_key, name);
    } else {
        // Either side: create the queue when it is missing, else join it. Only the creator
        // removes it, so a late joiner does not pull the queue away from its receiver. The queue
        // can vanish between the two calls, hence the few rounds.
        for (int round = 0; round < 3 && queue < 0; ++round) {
            queue = create_queue(ipc_key, false);
            owner = queue >= 0;
            if (queue < 0 && errno == EEXIST) {
                queue = msgget(ipc_key, 0);
                if (queue >= 0 && !trusted(queue, name)) {
                    return nullptr;
                }
            } else if (queue < 0) {
                break;
            }
        }
    }
    if (queue < 0) {
        return nullptr;
    }

    try {
        auto state = std::make_unique<SysvState>();
        state->mode = mode;
        state->key = static_cast<std::int32_t>(ipc_key);
        state->queue = queue;
        state->owner = owner;
        if (owner) {
            state->name = name;
        }
        return state.release();
    } catch (const std::bad_alloc &) {
        if (owner) {
            msgctl(queue, IPC_RMID, nullptr);
        }
        return nullptr;
    }
}

void sysvmq_close(void *raw) {
    std::unique_ptr<SysvState> state(static_cast<SysvState *>(raw));
    if (state && state->owner) {
        msgctl(state->queue, IPC_RMID, nullptr);
    }
}

std::int32_t sysvmq_send(void *raw, const vix_io_buffer *buffer) {
    auto *state = static_cast<SysvState *>(raw);
    if (state == nullptr) {
        return -1;
    }
    if (buffer == nullptr || buffer->used < 0 || (buffer->used > 0 && buffer->data == nullptr) ||
        buffer->used > buffer->size) {
        record_failure(*state, EINVAL);
        return -1;
    }
    const auto used = static_cast<std::size_t>(buffer->used);
    try {
        if (state->outgoing.size() < sizeof(long) + used) {
            state->outgoing.resize(sizeof(long) + used);
        }
    } catch (const std::bad_alloc &) {
        record_failure(*state, ENOMEM);
        return -1;
    }
    std::memcpy(state->outgoing.data(), &kMessageType, sizeof kMessageType);
    if (used > 0) {
        std::memcpy(state->outgoing.data() + sizeof(long), buffer->data, used);
    }
    const int flags = (state->mode & VIX_IO_FLAG_NONBLOCK) != 0 ? IPC_NOWAIT : 0;
    if (msgsnd(state->queue, state->outgoing.data(), used, flags) != 0) {
        // Keep the real reason: a full queue under the non-blocking flag must be told apart
        // from a queue that is gone.
        record_failure(*state, errno);
        return -1;
    }
    return 0;
}

std::int32_t sysvmq_receive(void *raw, vix_io_buffer **slot) {
    auto *state = static_cast<SysvState *>(raw);
    if (state == nullptr) {
        return -1;
    }
    if (slot == nullptr) {
        record_failure(*state, EINVAL);
        return -1;
    }
    const bool created = *slot == nullptr;
    vix_io_buffer *buffer = *slot;
    if (buffer == nullptr || buffer->size < kMinReceiveBuffer) {
        vix_io_buffer *sized = vix_io_size_buffer(buffer, kMinReceiveBuffer);
        if (sized == nullptr) {
            record_failure(*state, ENOMEM);
            return -1;
        }
        buffer = sized;
        *slot = buffer;
    }

    const int flags = (state->mode & VIX_IO_FLAG_NONBLOCK) != 0 ? IPC_NOWAIT : 0;
    for (;;) {
        const ssize_t got = msgrcv(state->queue, buffer->data,
                                   static_cast<std::size_t>(buffer->size - kTypeRoom), 0, flags);
        if (got >= 0) {
            std::memmove(buffer->data, buffer->data + sizeof(long), static_cast<std::size_t>(got));
            buffer->used = static_cast<std::int32_t>(got);
            return buffer->used;
        }
        int error = errno;
        if (error == E2BIG) {
            if (buffer->size > INT32_MAX / 2 ||
                vix_io_size_buffer(buffer, buffer->size * 2) == nullptr) {
                error = ENOMEM;
            } else {
                continue;
            }
        }
        record_failure(*state, error);
        if (created) {
            vix_io_free_buffer(buffer);
            *slot = nullptr;
        }
        return -1;
    }
}

std::int32_t sysvmq_unsupported(void *, std::int32_t) {
    return -1;
}

std::int32_t sysvmq_max_message(void *) {
    return -1;
}

std::int32_t sysvmq_get_error_codes(void *raw, vix_io_error_codes_t *codes) {
    auto *state = static_cast<SysvState *>(raw);
    if (state == nullptr || codes == nullptr) {
        return -1;
    }
    codes->code = state->last_code;
    codes->system_error = state->last_errno;
    return 0;
}

constexpr vix_io_transport_t kSysvmq = {
    "sysvmq://",    sysvmq_open,        sysvmq_close,       sysvmq_send,
    sysvmq_receive, sysvmq_unsupported, sysvmq_max_message, sysvmq_get_error_codes,
};

}  // namespace

extern "C" const vix_io_transport_t *vix_io_sysvmq_register(void) {
    return &kSysvmq;
}
