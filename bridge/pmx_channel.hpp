// The bridges' side of the UI engine IO channels: owners for channels and message buffers, one
// event received without blocking, a text reply sent, and a channel drained. Bridge-internal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "vix_io.h"

namespace pmx {

struct BufferFree {
    void operator()(vix_io_buffer *buffer) const { vix_io_free_buffer(buffer); }
};
using BufferOwner = std::unique_ptr<vix_io_buffer, BufferFree>;

struct ChannelClose {
    void operator()(vix_io_channel_t *channel) const { vix_io_close(channel); }
};
using ChannelOwner = std::unique_ptr<vix_io_channel_t, ChannelClose>;

// A received event; it points into the receive buffer and lasts until the next receive.
struct Event {
    std::string_view name;
    std::span<const uint8_t> data;

    // Number of whole 16-bit fields in the data.
    std::size_t fields() const { return data.size() / 2; }
    // Field i as an unsigned 16-bit value in host byte order; 0 when the data ends before it.
    uint16_t field(std::size_t i) const;
};

enum class Received { nothing, malformed, event };

// Receives one message into buffer and decodes it. nothing: no message (or a failed receive);
// malformed: a message whose lengths do not fit it.
Received receive_event(vix_io_channel_t *channel, BufferOwner &buffer, Event &event);

// Sends one event whose data is text with its NUL. 0, or -1 when it could not be encoded or sent.
int send_text(vix_io_channel_t *channel, BufferOwner &buffer, const char *name, const char *format,
              const std::string &text);

// Receives and discards what waits on a non-blocking channel; the number of messages discarded.
int drain(vix_io_channel_t *channel, BufferOwner &buffer);

}  // namespace pmx
