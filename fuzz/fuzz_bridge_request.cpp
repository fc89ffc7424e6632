// Fuzz target: the Modbus master bridge's request handler (both variants' requests: this is built
// as pmx_backend2, which serves every request name of calder_backend and two more). The input is
// first taken as one encoded IO channel message, as the bridge's receive thread decodes it; an
// input that does not decode is used the quick way: its first byte picks a request name and the
// rest is the data. The bridge's libmodbus context talks to a Modbus slave thread on a loopback
// TCP socket that serves a full register map, so reads and writes succeed at wire-free speed;
// requests beyond the map get the slave's exception and go through the retries. Replies go to a
// send channel that is not open: they are built and then refused.
#define PMX_VARIANT_2 1
#define PMX_BRIDGE_NO_MAIN 1
#include "calder_backend.cpp"  // NOLINT: the bridge lives in that file's anonymous namespace

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr const char *kRequestNames[] = {"modbus_r", "modbus_p", "modbus_ft",
                                         "sys",      "mb_ir",    "mb_const_rw"};
constexpr std::size_t kRequestCount = sizeof kRequestNames / sizeof kRequestNames[0];

Bridge *g_bridge = nullptr;

void require(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_bridge_request: set-up failed: %s\n", what);
        std::abort();
    }
}

// The slave: one connection, served until it closes. Lives until the process ends.
void serve(modbus_t *server, int listener, modbus_mapping_t *map) {
    int socket = listener;
    if (modbus_tcp_accept(server, &socket) < 0) {
        return;
    }
    uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
    for (;;) {
        const int rc = modbus_receive(server, query);
        if (rc > 0) {
            modbus_reply(server, query, rc, map);
        } else if (rc == -1) {
            return;
        }
    }
}

void dispatch(const char *name, const uint8_t *data, std::size_t size) {
    pmx::Event event;
    event.name = name;
    event.data = std::span<const uint8_t>(data, size);
    g_bridge->dispatch(event);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The slave on an ephemeral loopback port.
    modbus_t *server = modbus_new_tcp("127.0.0.1", 0);
    require(server != nullptr, "slave context");
    const int listener = modbus_tcp_listen(server, 1);
    require(listener >= 0, "slave listen");
    sockaddr_in address{};
    socklen_t length = sizeof address;
    require(::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) == 0,
            "slave port");
    modbus_mapping_t *map = modbus_mapping_new(0, 0, 65536, 65536);
    require(map != nullptr, "register map");
    std::thread(serve, server, listener, map).detach();

    modbus_t *ctx = modbus_new_tcp("127.0.0.1", ntohs(address.sin_port));
    require(ctx != nullptr, "bridge context");
    modbus_set_response_timeout(ctx, 1, 0);
    require(modbus_connect(ctx) == 0, "bridge connect");
    // The firmware file does not exist: a transfer request fails at once.
    static Bridge bridge(ctx, nullptr, "/nonexistent/kor_fuzz_firmware.bin");
    g_bridge = &bridge;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, std::size_t size) {
    if (size > 4096) {
        return -1;
    }
    // The message in a buffer of exactly its size, decoded as the receive thread does.
    std::unique_ptr<char[]> message = std::make_unique<char[]>(size > 0 ? size : 1);
    std::memcpy(message.get(), bytes, size);
    vix_io_buffer view{message.get(), static_cast<int32_t>(size), static_cast<int32_t>(size)};
    char *name = nullptr;
    void *data = nullptr;
    const int32_t length = vix_io_unserialize(&view, nullptr, &name, nullptr, &data);
    if (length >= 0 && name != nullptr) {
        dispatch(name, static_cast<const uint8_t *>(data), static_cast<std::size_t>(length));
    } else if (size > 0) {
        dispatch(kRequestNames[bytes[0] % kRequestCount], bytes + 1, size - 1);
    }
    return 0;
}
