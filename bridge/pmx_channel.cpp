// IO channel helpers of the bridges; see pmx_channel.hpp.
#include "pmx_channel.hpp"

#include <cstring>

namespace pmx {

uint16_t Event::field(std::size_t i) const {
    if (data.size() < (i + 1) * sizeof(uint16_t)) {
        return 0;
    }
    uint16_t value = 0;
    std::memcpy(&value, data.data() + i * sizeof(uint16_t), sizeof value);
    return value;
}

Received receive_event(vix_io_channel_t *channel, BufferOwner &buffer, Event &event) {
    if (buffer) {
        vix_io_zero_buffer(buffer.get());
    }
    vix_io_buffer *raw = buffer.release();
    const int32_t received = vix_io_receive(channel, &raw);
    buffer.reset(raw);
    if (received < 0 || !buffer) {
        return Received::nothing;
    }
    char *name = nullptr;
    void *data = nullptr;
    const int32_t length = vix_io_unserialize(buffer.get(), nullptr, &name, nullptr, &data);
    if (length < 0 || name == nullptr) {
        return Received::malformed;
    }
    event.name = name;
    event.data = data != nullptr && length > 0
                     ? std::span<const uint8_t>(static_cast<const uint8_t *>(data),
                                                static_cast<std::size_t>(length))
                     : std::span<const uint8_t>();
    return Received::event;
}

int send_text(vix_io_channel_t *channel, BufferOwner &buffer, const char *name, const char *format,
              const std::string &text) {
    if (text.size() + 1 > static_cast<std::size_t>(INT32_MAX)) {
        return -1;
    }
    vix_io_buffer *encoded = vix_io_serialize(buffer.get(), nullptr, name, format, text.c_str(),
                                              static_cast<int32_t>(text.size() + 1));
    if (encoded == nullptr) {
        return -1;  // the old buffer stays ours
    }
    if (encoded != buffer.get()) {
        buffer.release();
        buffer.reset(encoded);
    }
    return vix_io_send(channel, buffer.get()) == 0 ? 0 : -1;
}

int drain(vix_io_channel_t *channel, BufferOwner &buffer) {
    int discarded = 0;
    Event event;
    while (receive_event(channel, buffer, event) != Received::nothing) {
        ++discarded;
    }
    return discarded;
}

}  // namespace pmx
