// IO channel message buffer and event codec. One encoding serves the UI engine IO channel and the
// platform service bus, so everything that decodes a message from another process comes through
// vix_io_unserialize: it trusts none of the lengths in the header and checks each one against the
// bytes that really arrived before it points anywhere into the message.
//
// The buffer record and its storage are malloc'ed because the record crosses the C interface and
// is grown with realloc; nothing else here allocates.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>

#include "vix_io.h"

namespace {

constexpr std::size_t kNameLengthAt = 4;
constexpr std::size_t kTargetLengthAt = 6;
constexpr std::size_t kFormatLengthAt = 8;
constexpr std::size_t kMaxStringLength = UINT16_MAX;  // NUL included

// Padding that makes the three strings end on a multiple of 8.
constexpr std::size_t padding_for(std::size_t strings) {
    return (8 - strings % 8) % 8;
}

std::uint16_t read_u16(std::span<const char> bytes, std::size_t at) {
    std::uint16_t v;
    std::memcpy(&v, bytes.data() + at, sizeof v);
    return v;
}

std::uint32_t read_u32(std::span<const char> bytes, std::size_t at) {
    std::uint32_t v;
    std::memcpy(&v, bytes.data() + at, sizeof v);
    return v;
}

void clear_outputs(char **target, char **name, char **format, void **data) {
    if (target != nullptr) {
        *target = nullptr;
    }
    if (name != nullptr) {
        *name = nullptr;
    }
    if (format != nullptr) {
        *format = nullptr;
    }
    if (data != nullptr) {
        *data = nullptr;
    }
}

}  // namespace

extern "C" vix_io_buffer *vix_io_size_buffer(vix_io_buffer *buffer, int32_t size) {
    if (size < 0) {
        return nullptr;
    }
    if (buffer == nullptr) {
        auto *fresh = static_cast<vix_io_buffer *>(std::calloc(1, sizeof(vix_io_buffer)));
        if (fresh == nullptr) {
            return nullptr;
        }
        // Never a null data pointer, even for size 0, so a created buffer is always usable.
        fresh->data = static_cast<char *>(std::calloc(size > 0 ? size : 1, 1));
        if (fresh->data == nullptr) {
            std::free(fresh);
            return nullptr;
        }
        fresh->size = size;
        return fresh;
    }
    if (buffer->data != nullptr && buffer->size >= size) {
        return buffer;
    }
    auto *grown = static_cast<char *>(std::realloc(buffer->data, size > 0 ? size : 1));
    if (grown == nullptr) {
        return nullptr;  // the old storage stays with the buffer
    }
    buffer->data = grown;
    buffer->size = size;
    if (buffer->used > size) {
        buffer->used = size;
    }
    return buffer;
}

extern "C" void vix_io_zero_buffer(vix_io_buffer *buffer) {
    if (buffer != nullptr) {
        buffer->used = 0;
    }
}

extern "C" vix_io_buffer *vix_io_free_buffer(vix_io_buffer *buffer) {
    if (buffer != nullptr) {
        std::free(buffer->data);
        std::free(buffer);
    }
    return nullptr;
}

extern "C" vix_io_buffer *vix_io_serialize(vix_io_buffer *buffer, const char *target,
                                           const char *name, const char *format, const void *data,
                                           int32_t length) {
    const std::string_view strings[3] = {name != nullptr ? name : "",
                                         target != nullptr ? target : "",
                                         format != nullptr ? format : ""};
    std::size_t lengths[3];
    std::size_t sum = 0;
    for (int i = 0; i < 3; ++i) {
        lengths[i] = strings[i].size() + 1;
        if (lengths[i] > kMaxStringLength) {
            return nullptr;  // does not fit its 16-bit length field
        }
        sum += lengths[i];
    }
    const std::size_t data_length = data != nullptr && length > 0 ? std::size_t(length) : 0;
    const std::size_t padding = padding_for(sum);
    // At most 12 + 3 * 65535 + 7 + INT32_MAX: no overflow in size_t, but it may exceed the
    // buffer's signed 32-bit size.
    const std::size_t total = VIX_IO_HEADER_SIZE + sum + padding + data_length;
    if (total > std::size_t(INT32_MAX)) {
        return nullptr;
    }
    vix_io_buffer *out = vix_io_size_buffer(buffer, static_cast<int32_t>(total));
    if (out == nullptr) {
        return nullptr;
    }

    char *p = out->data;
    const auto total32 = static_cast<std::uint32_t>(total);
    const std::uint16_t header16[4] = {static_cast<std::uint16_t>(lengths[0]),
                                       static_cast<std::uint16_t>(lengths[1]),
                                       static_cast<std::uint16_t>(lengths[2]), 0};
    std::memcpy(p, &total32, sizeof total32);
    std::memcpy(p + kNameLengthAt, header16, sizeof header16);
    p += VIX_IO_HEADER_SIZE;
    for (int i = 0; i < 3; ++i) {
        std::memcpy(p, strings[i].data(), strings[i].size());
        p[strings[i].size()] = '\0';
        p += lengths[i];
    }
    std::memset(p, 0, padding);
    p += padding;
    if (data_length > 0) {
        std::memcpy(p, data, data_length);
    }
    out->used = static_cast<int32_t>(total);
    return out;
}

extern "C" int32_t vix_io_unserialize(vix_io_buffer *buffer, char **target, char **name,
                                      char **format, void **data) {
    clear_outputs(target, name, format, data);
    if (buffer == nullptr) {
        return 0;
    }
    if (buffer->data == nullptr || buffer->used < VIX_IO_HEADER_SIZE ||
        buffer->used > buffer->size) {
        return -1;
    }
    const std::span<const char> message(buffer->data, static_cast<std::size_t>(buffer->used));
    if (read_u32(message, 0) != message.size()) {
        return -1;
    }
    const std::size_t lengths[3] = {read_u16(message, kNameLengthAt),
                                    read_u16(message, kTargetLengthAt),
                                    read_u16(message, kFormatLengthAt)};
    std::size_t at = VIX_IO_HEADER_SIZE;
    std::size_t starts[3];
    for (int i = 0; i < 3; ++i) {
        // Each length is at most 65535, so "at" stays far below any overflow.
        if (lengths[i] == 0 || lengths[i] > message.size() - at) {
            return -1;
        }
        starts[i] = at;
        at += lengths[i];
        if (message[at - 1] != '\0') {
            return -1;
        }
    }
    const std::size_t padding = padding_for(at - VIX_IO_HEADER_SIZE);
    if (padding > message.size() - at) {
        return -1;
    }
    at += padding;
    const std::size_t data_length = message.size() - at;

    if (name != nullptr) {
        *name = buffer->data + starts[0];
    }
    if (target != nullptr) {
        *target = buffer->data + starts[1];
    }
    if (format != nullptr) {
        *format = buffer->data + starts[2];
    }
    if (data != nullptr) {
        *data = data_length > 0 ? buffer->data + at : nullptr;
    }
    return static_cast<int32_t>(data_length);
}
