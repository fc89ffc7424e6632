// The IO channel event codec: the exact byte layout, round trips through every padding length,
// and refusal of every message whose lengths do not fit, including random damage. Messages are
// decoded from buffers of exactly their size, so a read past the end shows under ASan.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "vix_io.h"

namespace {

struct BufferDeleter {
    void operator()(vix_io_buffer *b) const { vix_io_free_buffer(b); }
};
using Buffer = std::unique_ptr<vix_io_buffer, BufferDeleter>;

std::uint32_t u32_at(const vix_io_buffer *b, std::size_t at) {
    std::uint32_t v;
    std::memcpy(&v, b->data + at, sizeof v);
    return v;
}

std::uint16_t u16_at(const vix_io_buffer *b, std::size_t at) {
    std::uint16_t v;
    std::memcpy(&v, b->data + at, sizeof v);
    return v;
}

void put_u16(std::vector<char> &m, std::size_t at, std::uint16_t v) {
    std::memcpy(m.data() + at, &v, sizeof v);
}

void put_u32(std::vector<char> &m, std::size_t at, std::uint32_t v) {
    std::memcpy(m.data() + at, &v, sizeof v);
}

std::vector<char> encode(const char *target, const char *name, const char *format,
                         const std::string &data) {
    Buffer b(vix_io_serialize(nullptr, target, name, format, data.data(),
                              static_cast<int32_t>(data.size())));
    EXPECT_NE(nullptr, b);
    return std::vector<char>(b->data, b->data + b->used);
}

// A buffer holding exactly these bytes, nothing after them.
Buffer exact(const std::vector<char> &bytes) {
    Buffer b(vix_io_size_buffer(nullptr, static_cast<int32_t>(bytes.size())));
    if (!bytes.empty()) {
        std::memcpy(b->data, bytes.data(), bytes.size());
    }
    b->used = static_cast<int32_t>(bytes.size());
    return b;
}

struct Decoded {
    int32_t length;
    char *target;
    char *name;
    char *format;
    void *data;
};

Decoded decode(vix_io_buffer *b) {
    // Sentinels, so a refusal that forgets to clear an output shows.
    static char sentinel[] = "x";
    Decoded d{0, sentinel, sentinel, sentinel, sentinel};
    d.length = vix_io_unserialize(b, &d.target, &d.name, &d.format, &d.data);
    return d;
}

void expect_refused(const std::vector<char> &bytes, const char *why) {
    SCOPED_TRACE(why);
    Buffer b = exact(bytes);
    Decoded d = decode(b.get());
    EXPECT_EQ(-1, d.length);
    EXPECT_EQ(nullptr, d.target);
    EXPECT_EQ(nullptr, d.name);
    EXPECT_EQ(nullptr, d.format);
    EXPECT_EQ(nullptr, d.data);
}

}  // namespace

TEST(Codec, WorkedExampleHasTheDocumentedLayout) {
    const char payload[5] = {'1', '2', '3', '4', '\0'};
    Buffer sut(
        vix_io_serialize(nullptr, nullptr, "modbus_ret", "1s0 modbus_read_data", payload, 5));
    ASSERT_NE(nullptr, sut);
    ASSERT_EQ(57, sut->used);
    EXPECT_GE(sut->size, 57);
    EXPECT_EQ(57u, u32_at(sut.get(), 0));
    EXPECT_EQ(11, u16_at(sut.get(), 4));
    EXPECT_EQ(1, u16_at(sut.get(), 6));
    EXPECT_EQ(21, u16_at(sut.get(), 8));
    EXPECT_EQ(0, u16_at(sut.get(), 10));
    EXPECT_STREQ("modbus_ret", sut->data + 12);
    EXPECT_EQ('\0', sut->data[23]);  // the empty target
    EXPECT_STREQ("1s0 modbus_read_data", sut->data + 24);
    for (int i = 45; i < 52; ++i) {
        EXPECT_EQ('\0', sut->data[i]) << "padding byte " << i;
    }
    EXPECT_EQ(0, std::memcmp(sut->data + 52, payload, 5));

    Decoded d = decode(sut.get());
    EXPECT_EQ(5, d.length);
    EXPECT_EQ(sut->data + 52, d.data);
    EXPECT_STREQ("modbus_ret", d.name);
    EXPECT_STREQ("", d.target);
    EXPECT_STREQ("1s0 modbus_read_data", d.format);
}

TEST(Codec, RoundTripsThroughEveryPaddingLength) {
    const std::string data = "\x01\x02\x03\x04payload";
    for (int extra = 0; extra < 8; ++extra) {
        const std::string name = "ev" + std::string(static_cast<std::size_t>(extra), 'n');
        const std::size_t strings = (name.size() + 1) + (3 + 1) + (3 + 1);  // "tgt", "4s1"
        const std::size_t padding = (8 - strings % 8) % 8;
        SCOPED_TRACE("padding " + std::to_string(padding));
        Buffer sut(vix_io_serialize(nullptr, "tgt", name.c_str(), "4s1", data.data(),
                                    static_cast<int32_t>(data.size())));
        ASSERT_NE(nullptr, sut);
        ASSERT_EQ(static_cast<int32_t>(12 + strings + padding + data.size()), sut->used);
        EXPECT_EQ(0u, (12 + strings + padding) % 4);

        Buffer copy = exact(std::vector<char>(sut->data, sut->data + sut->used));
        Decoded d = decode(copy.get());
        ASSERT_EQ(static_cast<int32_t>(data.size()), d.length);
        EXPECT_EQ(name, d.name);
        EXPECT_STREQ("tgt", d.target);
        EXPECT_STREQ("4s1", d.format);
        EXPECT_EQ(data, std::string(static_cast<char *>(d.data), data.size()));

        // Without data: the message ends with the padding, and no data is pointed at.
        Buffer bare(vix_io_serialize(nullptr, "tgt", name.c_str(), "4s1", nullptr, 0));
        ASSERT_NE(nullptr, bare);
        EXPECT_EQ(static_cast<int32_t>(12 + strings + padding), bare->used);
        Decoded e = decode(bare.get());
        EXPECT_EQ(0, e.length);
        EXPECT_EQ(nullptr, e.data);
        EXPECT_EQ(name, e.name);
    }
}

TEST(Codec, BufferSizingAndReuse) {
    Buffer sut(vix_io_size_buffer(nullptr, 16));
    ASSERT_NE(nullptr, sut);
    EXPECT_EQ(16, sut->size);
    EXPECT_EQ(0, sut->used);
    EXPECT_EQ(sut.get(), vix_io_size_buffer(sut.get(), 8));  // big enough: unchanged
    EXPECT_EQ(16, sut->size);
    std::memcpy(sut->data, "keep", 5);
    ASSERT_EQ(sut.get(), vix_io_size_buffer(sut.get(), 4096));
    EXPECT_EQ(4096, sut->size);
    EXPECT_STREQ("keep", sut->data);
    EXPECT_EQ(nullptr, vix_io_size_buffer(nullptr, -1));

    // serialize reuses a buffer, growing it only when needed.
    ASSERT_EQ(sut.get(), vix_io_serialize(sut.get(), "a", "b", "c", "xyz", 3));
    EXPECT_EQ(4096, sut->size);
    EXPECT_EQ(12 + 6 + 2 + 3, sut->used);
    vix_io_zero_buffer(sut.get());
    EXPECT_EQ(0, sut->used);
    EXPECT_EQ(nullptr, vix_io_free_buffer(sut.release()));
    vix_io_zero_buffer(nullptr);
    EXPECT_EQ(nullptr, vix_io_free_buffer(nullptr));
}

TEST(Codec, NullBufferAndNegativeLength) {
    Decoded d = decode(nullptr);
    EXPECT_EQ(0, d.length);
    EXPECT_EQ(nullptr, d.name);
    EXPECT_EQ(nullptr, d.data);
    // A length of 0 or less writes no data bytes, whatever the pointer.
    Buffer sut(vix_io_serialize(nullptr, "", "n", "", "ignored", -5));
    ASSERT_NE(nullptr, sut);
    EXPECT_EQ(12 + 2 + 1 + 1 + 4, sut->used);
}

TEST(Codec, StringsBeyondTheirLengthFieldFailSerialize) {
    const std::string fits(65534, 'a');  // 65535 with its NUL
    const std::string too_long(65535, 'a');
    Buffer ok(vix_io_serialize(nullptr, nullptr, fits.c_str(), nullptr, nullptr, 0));
    ASSERT_NE(nullptr, ok);
    EXPECT_EQ(65535, u16_at(ok.get(), 4));
    Decoded d = decode(ok.get());
    EXPECT_EQ(0, d.length);
    EXPECT_EQ(fits.size(), std::strlen(d.name));

    EXPECT_EQ(nullptr, vix_io_serialize(nullptr, nullptr, too_long.c_str(), nullptr, nullptr, 0));
    EXPECT_EQ(nullptr, vix_io_serialize(nullptr, too_long.c_str(), "n", nullptr, nullptr, 0));
    EXPECT_EQ(nullptr, vix_io_serialize(nullptr, nullptr, "n", too_long.c_str(), nullptr, 0));
    // A buffer given to a failing serialize stays the caller's, with its message intact.
    Buffer mine(vix_io_serialize(nullptr, "t", "n", "f", "dd", 2));
    const std::vector<char> before(mine->data, mine->data + mine->used);
    EXPECT_EQ(nullptr, vix_io_serialize(mine.get(), too_long.c_str(), "n", "f", nullptr, 0));
    EXPECT_EQ(before, std::vector<char>(mine->data, mine->data + mine->used));
}

TEST(Codec, MalformedMessagesAreRefused) {
    // name "ab" (3), target "t" (2), format "4s1" (4): strings 9, padding 7, data 4 -> 32 bytes.
    const std::vector<char> good = encode("t", "ab", "4s1", "\x01\x02\x03\x04");
    ASSERT_EQ(32u, good.size());
    {
        Buffer b = exact(good);
        ASSERT_EQ(4, decode(b.get()).length);
    }

    expect_refused({}, "empty");
    expect_refused(std::vector<char>(good.begin(), good.begin() + 11), "shorter than the header");
    for (std::size_t cut : {12u, 20u, 21u, 28u, 31u}) {
        std::vector<char> m(good.begin(), good.begin() + static_cast<long>(cut));
        expect_refused(m, "truncated, total field unchanged");
        put_u32(m, 0, static_cast<std::uint32_t>(cut));
        if (cut < 28) {  // strings or padding cut off: refused even with a matching total
            expect_refused(m, "truncated inside strings or padding");
        }
    }
    {
        std::vector<char> m = good;
        put_u32(m, 0, 33);
        expect_refused(m, "total above the used size");
        put_u32(m, 0, 31);
        expect_refused(m, "total below the used size");
        put_u32(m, 0, 0xFFFFFFFFu);
        expect_refused(m, "total huge");
    }
    for (std::size_t field : {4u, 6u, 8u}) {
        std::vector<char> m = good;
        put_u16(m, field, 0);
        expect_refused(m, "a zero length");
        put_u16(m, field, 0xFFFF);
        expect_refused(m, "a length beyond the message");
    }
    {
        std::vector<char> m = good;
        m[14] = 'x';  // name's NUL
        expect_refused(m, "name without its NUL");
        m = good;
        m[16] = 'x';  // target's NUL
        expect_refused(m, "target without its NUL");
        m = good;
        m[20] = 'x';  // format's NUL
        expect_refused(m, "format without its NUL");
        m = good;
        put_u16(m, 4, 2);  // name "a" claimed shorter: the NUL is not where the length says
        expect_refused(m, "lengths shifted");
    }
    {
        // Strings end exactly at the end, but the padding they need is missing.
        std::vector<char> m(good.begin(), good.begin() + 21);
        put_u32(m, 0, 21);
        expect_refused(m, "padding beyond the end");
    }
    {
        // used larger than the storage: never trusted.
        Buffer b = exact(good);
        b->used = b->size + 8;
        Decoded d = decode(b.get());
        EXPECT_EQ(-1, d.length);
        EXPECT_EQ(nullptr, d.name);
    }
}

TEST(Codec, RandomDamageNeverReadsOutOfBounds) {
    const std::vector<std::vector<char>> seeds = {
        encode(nullptr, "modbus_ret", "1s0 modbus_read_data", std::string("1234\0", 5)),
        encode("zeb_backend", "zeb.varlo.temperature_notify",
               "4s1 temperature 4s1 target 4s1 heat_percent", std::string(12, '\x7f')),
        encode("", "e", "", ""),
        encode("tgt", "name", "fmt", std::string(300, 'd')),
    };
    std::mt19937 rng(20261208);
    int accepted = 0;
    int refused = 0;
    for (int round = 0; round < 20000; ++round) {
        std::vector<char> m = seeds[static_cast<std::size_t>(round) % seeds.size()];
        const int kind = static_cast<int>(rng() % 4);
        if (kind == 0 || kind == 3) {
            m.resize(rng() % (m.size() + 1));
        }
        if (kind == 1 || kind == 3) {
            const int flips = 1 + static_cast<int>(rng() % 4);
            for (int f = 0; f < flips && !m.empty(); ++f) {
                // Mostly the header and strings, where the lengths live.
                const std::size_t at = rng() % std::min<std::size_t>(m.size(), 40);
                m[at] = static_cast<char>(rng());
            }
        }
        if (kind == 2 && m.size() >= 4) {
            m.resize(rng() % (m.size() + 1));
            if (m.size() >= 4) {
                put_u32(m, 0, static_cast<std::uint32_t>(m.size()));  // a consistent total
            }
        }
        Buffer b = exact(m);
        Decoded d = decode(b.get());
        if (d.length < 0) {
            ++refused;
            ASSERT_EQ(nullptr, d.name);
            ASSERT_EQ(nullptr, d.data);
            continue;
        }
        ++accepted;
        // Whatever was accepted lies wholly inside the message.
        const char *begin = b->data;
        const char *end = b->data + b->used;
        for (const char *s : {d.name, d.target, d.format}) {
            ASSERT_TRUE(s >= begin + 12 && s < end);
            ASSERT_NE(nullptr, std::memchr(s, '\0', static_cast<std::size_t>(end - s)));
        }
        if (d.length > 0) {
            ASSERT_EQ(end, static_cast<const char *>(d.data) + d.length);
        }
    }
    // Both outcomes occur, so the loop exercised the checks and the accepting path.
    EXPECT_GT(accepted, 100);
    EXPECT_GT(refused, 1000);
}
