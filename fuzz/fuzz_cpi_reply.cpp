// Fuzz target: the check of a CPI block transfer reply. Any bytes are judged against a few slave,
// file and block values without reading past the reply; a reply judged good has the fixed length.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "kor_modbus.h"

namespace {

struct Expected {
    int32_t slave;
    uint16_t file;
    uint16_t block;
};

constexpr Expected kExpected[] = {
    {1, 1, 0}, {1, 1, 1}, {1, 2, 0x1234}, {247, 0xFFFF, 0xFFFF}, {0, 0, 0}, {17, 3, 512},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, std::size_t size) {
    if (size > 4096) {
        return -1;
    }
    // A copy of exactly the reply's size, so an over-read shows.
    std::unique_ptr<uint8_t[]> reply = std::make_unique<uint8_t[]>(size > 0 ? size : 1);
    for (std::size_t i = 0; i < size; ++i) {
        reply[i] = bytes[i];
    }
    for (const Expected &e : kExpected) {
        errno = 0;
        const int rc = kor_modbus_verify_cpi_response_packet(e.slave, e.file, e.block, reply.get(),
                                                             static_cast<int32_t>(size));
        if (rc == 0 && size != KOR_CPI_REPLY_LENGTH) {
            std::fprintf(stderr, "fuzz_cpi_reply: a reply of %zu bytes was accepted\n", size);
            std::abort();
        }
        if (rc != 0 && (rc != -1 || errno == 0)) {
            std::fprintf(stderr, "fuzz_cpi_reply: refusal %d without an error code\n", rc);
            std::abort();
        }
    }
    // A null reply is refused, whatever the length claims.
    if (kor_modbus_verify_cpi_response_packet(1, 1, 0, nullptr, static_cast<int32_t>(size)) != -1) {
        std::abort();
    }
    return 0;
}
