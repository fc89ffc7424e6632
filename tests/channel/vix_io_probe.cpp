// Probe for the transport loader: a fresh process that opens a channel's receiving and sending
// ends, passes one event through them and prints what it saw. The tests run it with and without
// the TCP plug-in in reach, since the transport list is fixed on a process's first open.
#include <cstdio>
#include <cstring>

#include "vix_io.h"

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: vix_io_probe CHANNEL\n");
        return 2;
    }
    vix_io_channel_t *receiver = vix_io_open(argv[1], VIX_IO_MODE_RECEIVE);
    vix_io_channel_t *sender = vix_io_open(argv[1], VIX_IO_MODE_SEND);
    if (receiver == nullptr || sender == nullptr) {
        std::printf("open failed\n");
        vix_io_close(sender);
        vix_io_close(receiver);
        return 1;
    }
    const char text[] = "probe";
    vix_io_buffer *out = vix_io_serialize(nullptr, nullptr, "probe", "1s0 text", text, 6);
    vix_io_buffer *in = nullptr;
    const int sent = vix_io_send(sender, out);
    const int got = sent == 0 ? vix_io_receive(receiver, &in) : -1;
    char *name = nullptr;
    void *data = nullptr;
    const int length = got > 0 ? vix_io_unserialize(in, nullptr, &name, nullptr, &data) : -1;
    std::printf("max_message=%d received=%d data=%s\n", vix_io_max_message(receiver), got,
                length == 6 ? static_cast<const char *>(data) : "-");
    vix_io_free_buffer(in);
    vix_io_free_buffer(out);
    vix_io_close(sender);
    vix_io_close(receiver);
    return got > 0 && length == 6 ? 0 : 1;
}
