// Shared pieces of the IO channel tests: owners for channels and buffers, event building, a free
// loopback port, and a check that no message queue of a test's key path is left behind.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "log_capture.hpp"
#include "vix_io.h"

namespace channel_test {

struct ChannelCloser {
    void operator()(vix_io_channel_t *channel) const { vix_io_close(channel); }
};
using Channel = std::unique_ptr<vix_io_channel_t, ChannelCloser>;

struct BufferFree {
    void operator()(vix_io_buffer *buffer) const { vix_io_free_buffer(buffer); }
};
using Buffer = std::unique_ptr<vix_io_buffer, BufferFree>;

inline Channel open_channel(const std::string &name, int32_t mode) {
    return Channel(vix_io_open(name.c_str(), mode));
}

inline Buffer make_event(const char *name, const std::string &data, const char *target = nullptr,
                         const char *format = "1s0 text") {
    return Buffer(vix_io_serialize(nullptr, target, name, format, data.data(),
                                   static_cast<int32_t>(data.size())));
}

// Receives one message into *slot (which keeps ownership) and returns its data as text, or
// "<failed>" when the receive or the decoding failed.
inline std::string receive_text(vix_io_channel_t *channel, Buffer &slot,
                                std::string *name = nullptr) {
    vix_io_buffer *raw = slot.release();
    const int32_t got = vix_io_receive(channel, &raw);
    slot.reset(raw);
    if (got < 0) {
        return "<failed>";
    }
    char *event = nullptr;
    void *data = nullptr;
    const int32_t length = vix_io_unserialize(slot.get(), nullptr, &event, nullptr, &data);
    if (length < 0) {
        return "<failed>";
    }
    if (name != nullptr) {
        *name = event;
    }
    return std::string(static_cast<const char *>(data), static_cast<std::size_t>(length));
}

inline vix_io_error_codes_t error_codes(vix_io_channel_t *channel) {
    vix_io_error_codes_t codes{-1, -1};
    vix_io_get_error_codes(channel, &codes);
    return codes;
}

// A loopback port nobody listens on at the moment of asking.
inline int free_port() {
    return kor_test::free_loopback_port();
}

// Project bytes whose queue still exists for key path path.
inline std::vector<int> queues_left(const std::string &path) {
    std::vector<int> left;
    for (int project = 0; project < 256; ++project) {
        const key_t key = ftok(path.c_str(), project);
        if (key != static_cast<key_t>(-1) && msgget(key, 0) >= 0) {
            left.push_back(project);
        }
    }
    return left;
}

}  // namespace channel_test
