// The format descriptor decoder of zebctl: every descriptor the oven manager and its clients
// use, packed as they pack them, and malformed descriptors and data, which must end in an error
// and a raw field rather than a read past the data. The JSON rendering is checked by parsing it.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "zeb_format.hpp"

using zebctl::decode;
using zebctl::Decoded;
using zebctl::FieldKind;

namespace {

// Packs values in host byte order, as the senders on the bus do.
class Pack {
  public:
    template <typename T>
    Pack &put(T v) {
        const auto *p = reinterpret_cast<const std::uint8_t *>(&v);
        bytes.insert(bytes.end(), p, p + sizeof v);
        return *this;
    }
    Pack &text(const std::string &s, std::size_t field = 0) {
        bytes.insert(bytes.end(), s.begin(), s.end());
        const std::size_t fill = field > s.size() ? field - s.size() : 1;
        bytes.insert(bytes.end(), fill, 0);
        return *this;
    }
    std::vector<std::uint8_t> bytes;
};

Decoded run(const std::string &format, const std::vector<std::uint8_t> &data) {
    return decode(format, std::span<const std::uint8_t>(data.data(), data.size()));
}

nlohmann::json fields_of(const Decoded &d) {
    return nlohmann::json::parse(zebctl::json_line("e", "s", d)).at("fields");
}

std::int64_t int_of(const Decoded &d, const std::string &name) {
    std::int64_t v = -999999;
    EXPECT_TRUE(zebctl::field_int(d, name, v)) << name;
    return v;
}

TEST(ZebFormat, NotificationDescriptorsDecodeTheirFields) {
    {
        Decoded d = run("4s1 mode 4s1 board_mode", Pack().put<int32_t>(3).put<int32_t>(6).bytes);
        EXPECT_TRUE(d.error.empty()) << d.error;
        EXPECT_EQ(fields_of(d), nlohmann::json({{"mode", 3}, {"board_mode", 6}}));
    }
    {
        // Thermocouples: a negative reading stays negative.
        Pack p;
        for (int32_t v : {-5, 0, 350, 351, 352, -40}) {
            p.put(v);
        }
        Decoded d = run("4s1 tc1 4s1 tc2 4s1 tc3 4s1 tc4 4s1 tc5 4s1 tc6", p.bytes);
        EXPECT_TRUE(d.error.empty());
        ASSERT_EQ(d.fields.size(), 6u);
        EXPECT_EQ(int_of(d, "tc1"), -5);
        EXPECT_EQ(int_of(d, "tc6"), -40);
    }
    {
        Pack p;
        for (int32_t v : {1200, 1100, 900, 0}) {
            p.put(v);
        }
        for (float f : {45.5f, 44.25f, 0.0f, -1.5f}) {
            p.put(f);
        }
        p.put<int32_t>(1);
        Decoded d =
            run("4s1 fan1_rpm 4s1 fan2_rpm 4s1 fan3_rpm 4s1 fan4_rpm 4f1 fan1_hz 4f1 fan2_hz 4f1 "
                "fan3_hz 4f1 fan4_hz 4s1 cooling_fan_status",
                p.bytes);
        EXPECT_TRUE(d.error.empty());
        nlohmann::json f = fields_of(d);
        EXPECT_EQ(f["fan1_rpm"], 1200);
        EXPECT_DOUBLE_EQ(f["fan1_hz"].get<double>(), 45.5);
        EXPECT_DOUBLE_EQ(f["fan4_hz"].get<double>(), -1.5);
        EXPECT_EQ(f["cooling_fan_status"], 1);
        EXPECT_EQ(zebctl::text_line("zeb.varlo.fan_hz_rpm_notify", d),
                  "zeb.varlo.fan_hz_rpm_notify fan1_rpm=1200 fan2_rpm=1100 fan3_rpm=900 "
                  "fan4_rpm=0 fan1_hz=45.5 fan2_hz=44.25 fan3_hz=0 fan4_hz=-1.5 "
                  "cooling_fan_status=1");
    }
    {
        // A float that is not exact in binary prints as the sender wrote it.
        Decoded d = run("4f1 hz", Pack().put(45.3f).bytes);
        EXPECT_EQ(zebctl::text_line("x", d), "x hz=45.3");
    }
    {
        // The thermocouple text sits in an 8-byte field after the integer: 12 bytes in all.
        Decoded d = run("4s1 enabled_tcs 1s0 format", Pack().put<int32_t>(0x3f).text("K", 8).bytes);
        EXPECT_TRUE(d.error.empty()) << d.error;
        EXPECT_EQ(fields_of(d), nlohmann::json({{"enabled_tcs", 63}, {"format", "K"}}));
    }
    {
        // The update subscription: 260 bytes.
        Pack p;
        p.put<int32_t>(1).text("zeb_backend", 256);
        ASSERT_EQ(p.bytes.size(), 260u);
        Decoded d = run("4s1 enable 1s0 channel", p.bytes);
        EXPECT_TRUE(d.error.empty());
        EXPECT_EQ(zebctl::text_line("zeb.update.register", d),
                  "zeb.update.register enable=1 channel=zeb_backend");
    }
    {
        // The diagnostic block: 38 named values, 152 bytes.
        std::string format;
        Pack p;
        const char *groups[] = {"di", "oc", "dac", "mcp", "tcstate"};
        const int sizes[] = {8, 8, 8, 7, 7};
        int32_t value = 0;
        for (int g = 0; g < 5; ++g) {
            for (int i = 1; i <= sizes[g]; ++i) {
                format +=
                    std::string(format.empty() ? "" : " ") + "4s1 " + groups[g] + std::to_string(i);
                p.put(value++);
            }
        }
        ASSERT_EQ(p.bytes.size(), 152u);
        Decoded d = run(format, p.bytes);
        EXPECT_TRUE(d.error.empty());
        ASSERT_EQ(d.fields.size(), 38u);
        EXPECT_EQ(int_of(d, "di1"), 0);
        EXPECT_EQ(int_of(d, "mcp1"), 24);
        EXPECT_EQ(int_of(d, "tcstate7"), 37);
    }
    {
        // The four state events: empty descriptor, no data, no fields.
        Decoded d = run("", {});
        EXPECT_TRUE(d.error.empty());
        EXPECT_TRUE(d.fields.empty());
        EXPECT_EQ(zebctl::text_line("zeb.varlo.power_on", d), "zeb.varlo.power_on");
        EXPECT_EQ(zebctl::json_line("zeb.varlo.power_on", "zeb_backend", d),
                  R"({"event":"zeb.varlo.power_on","sender":"zeb_backend","fields":{}})");
    }
}

TEST(ZebFormat, RequestDescriptorsWithStrings) {
    {
        Decoded d = run("4s1 value 1s0 channel", Pack().put<int32_t>(1).text("ui_main").bytes);
        EXPECT_TRUE(d.error.empty());
        EXPECT_EQ(fields_of(d), nlohmann::json({{"value", 1}, {"channel", "ui_main"}}));
    }
    {
        // Component id in a 255-byte field, then the path.
        Pack p;
        p.text("dravik_kor_board", 255).text("/tmp/fw.cpi");
        Decoded d = run("1s255 component_id 1s0 path", p.bytes);
        EXPECT_TRUE(d.error.empty()) << d.error;
        EXPECT_EQ(fields_of(d),
                  nlohmann::json({{"component_id", "dravik_kor_board"}, {"path", "/tmp/fw.cpi"}}));
    }
    {
        // A JSON payload is shown as its own text on a line, and as an escaped string in JSON.
        const std::string body = R"({"event":"heartbeat","temp":450})";
        Decoded d = run("1s0 json", Pack().text(body).bytes);
        EXPECT_EQ(zebctl::text_line("zeb.telvo.send", d), "zeb.telvo.send json=" + body);
        EXPECT_EQ(fields_of(d)["json"], body);
    }
    {
        // A string without its NUL ends with the data.
        Decoded d = run("4s1 belt 1s0 name", {1, 0, 0, 0, 'a', 'b', 'c'});
        EXPECT_TRUE(d.error.empty());
        EXPECT_EQ(fields_of(d)["name"], "abc");
    }
    {
        // A string that is not the last field ends at its NUL and the next field follows.
        Pack p;
        p.text("ab").put<int32_t>(7);
        Decoded d = run("1s0 s 4s1 n", p.bytes);
        EXPECT_TRUE(d.error.empty()) << d.error;
        EXPECT_EQ(fields_of(d), nlohmann::json({{"s", "ab"}, {"n", 7}}));
    }
}

TEST(ZebFormat, WidthsTypesAndArrays) {
    Pack p;
    p.put<int8_t>(-3)
        .put<uint8_t>(250)
        .put<int16_t>(-2)
        .put<uint16_t>(0xFFFF)
        .put<uint32_t>(0xFFFFFFFFu)
        .put<int64_t>(-1234567890123LL)
        .put<double>(2.5)
        .put<int32_t>(1)
        .put<int32_t>(2)
        .put<int32_t>(3);
    Decoded d = run("1s1 a 1u1 b 2s1 c 2u1 d 4u1 e 8s1 f 8f1 g 4s3 h", p.bytes);
    EXPECT_TRUE(d.error.empty()) << d.error;
    nlohmann::json f = fields_of(d);
    EXPECT_EQ(f["a"], -3);
    EXPECT_EQ(f["b"], 250);
    EXPECT_EQ(f["c"], -2);
    EXPECT_EQ(f["d"], 65535);
    EXPECT_EQ(f["e"], 4294967295u);
    EXPECT_EQ(f["f"], -1234567890123LL);
    EXPECT_DOUBLE_EQ(f["g"].get<double>(), 2.5);
    EXPECT_EQ(f["h"], nlohmann::json({1, 2, 3}));
    EXPECT_NE(zebctl::text_line("x", d).find(" h=1,2,3"), std::string::npos);
}

TEST(ZebFormat, MalformedDescriptorsStopWithAnErrorAndKeepTheBytes) {
    const std::vector<std::uint8_t> eight = Pack().put<int32_t>(1).put<int32_t>(2).bytes;
    for (const char *bad : {"4x1 a", "3s1 a", "4s a", "s1 a", "4s0 a", "2f1 a", "x", "4s1a b",
                            "4s99999999 a", "99999999s1 a", "-4s1 a", "4s-1 a"}) {
        SCOPED_TRACE(bad);
        Decoded d = run(bad, eight);
        EXPECT_FALSE(d.error.empty());
        ASSERT_EQ(d.fields.size(), 1u);
        EXPECT_EQ(d.fields[0].kind, FieldKind::Raw);
        EXPECT_EQ(d.fields[0].text.size(), 8u);
        // The JSON line stays valid and says what went wrong.
        nlohmann::json j = nlohmann::json::parse(zebctl::json_line("e", "", d));
        EXPECT_EQ(j["fields"]["_raw"], "0100000002000000");
        EXPECT_TRUE(j.contains("error"));
    }
    {
        // The good fields before a bad entry are kept.
        Decoded d = run("4s1 a 4q1 b", eight);
        EXPECT_EQ(int_of(d, "a"), 1);
        EXPECT_EQ(zebctl::find_field(d, "_raw")->text.size(), 4u);
        EXPECT_NE(zebctl::text_line("e", d).find("error="), std::string::npos);
    }
    {
        // A missing name gets a made-up one; a repeated name a suffix.
        Decoded d = run("4s1 x 4s1", eight);
        EXPECT_TRUE(d.error.empty());
        EXPECT_EQ(fields_of(d), nlohmann::json({{"x", 1}, {"field2", 2}}));
        d = run("4s1 x 4s1 x", eight);
        EXPECT_EQ(fields_of(d), nlohmann::json({{"x", 1}, {"x_2", 2}}));
    }
    {
        // Blanks of any kind and number separate entries.
        Decoded d = run("  4s1\ta \t 4s1   b ", eight);
        EXPECT_TRUE(d.error.empty());
        EXPECT_EQ(fields_of(d), nlohmann::json({{"a", 1}, {"b", 2}}));
    }
}

TEST(ZebFormat, DataShorterOrLongerThanTheDescriptor) {
    {
        Decoded d = run("4s1 a 4s1 b 4s1 c", {1, 0, 0, 0, 2, 0});
        EXPECT_EQ(int_of(d, "a"), 1);
        EXPECT_EQ(zebctl::find_field(d, "b"), nullptr);
        EXPECT_NE(d.error.find("needs 4 bytes, 2 left"), std::string::npos) << d.error;
        EXPECT_EQ(zebctl::find_field(d, "_raw")->text, std::string("\x02\x00", 2));
    }
    {
        Decoded d = run("1s16 name", {'a', 'b'});
        EXPECT_FALSE(d.error.empty());
        EXPECT_EQ(zebctl::find_field(d, "name"), nullptr);
    }
    {
        // No data at all (a null pointer), also for a string field.
        Decoded d = decode("1s0 text", std::span<const std::uint8_t>());
        EXPECT_TRUE(d.error.empty());
        EXPECT_EQ(fields_of(d)["text"], "");
    }
    {
        Decoded d = run("4s1 status", {});
        EXPECT_FALSE(d.error.empty());
        EXPECT_TRUE(d.fields.empty());
    }
    {
        Decoded d = run("4s1 a", {1, 0, 0, 0, 9, 9});
        EXPECT_EQ(int_of(d, "a"), 1);
        EXPECT_EQ(fields_of(d)["_extra"], "0909");
        EXPECT_FALSE(d.error.empty());
    }
    {
        // Data with no descriptor at all is shown raw.
        Decoded d = run("", {0xde, 0xad});
        EXPECT_EQ(fields_of(d), nlohmann::json({{"_extra", "dead"}}));
    }
}

TEST(ZebFormat, TextsAreEscapedForOneLineAndForJson) {
    const std::string nasty = std::string("a\"b\\c\nd\te\x01") + "\xc2\xb0" + "F\xff";
    Decoded d = run("1s0 t", Pack().text(nasty).bytes);
    const std::string line = zebctl::text_line("ev", d);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    EXPECT_EQ(line,
              "ev t=a\"b\\c\\nd\\te\\x01\xc2\xb0"
              "F\xff");
    // Valid UTF-8 passes, a stray byte becomes a code point: the JSON always parses.
    nlohmann::json j = nlohmann::json::parse(zebctl::json_line("ev", "s\"x", d));
    EXPECT_EQ(j["sender"], "s\"x");
    EXPECT_EQ(j["fields"]["t"], std::string("a\"b\\c\nd\te\x01") + "\xc2\xb0" + "F\xc3\xbf");
}

TEST(ZebFormat, RandomDescriptorsAndDataNeverBreakTheOutput) {
    // The data comes from other processes: whatever arrives, decode stays inside it and the
    // JSON line parses. Run under the sanitizers, an out-of-bounds read fails here.
    std::mt19937 rng(12345);
    const char *tokens[] = {"4s1", "4u1", "4f1", "8f1", "2s1", "1s0", "1s7", "1u3", "4s2",
                            "8s1", "x",   "4z1", "0s1", "1s",  "a",   "b",   "",    "9s9"};
    for (int round = 0; round < 3000; ++round) {
        std::string format;
        const int n = static_cast<int>(rng() % 8);
        for (int i = 0; i < n; ++i) {
            format += tokens[rng() % std::size(tokens)];
            format += ' ';
        }
        std::vector<std::uint8_t> data(rng() % 40);
        for (auto &b : data) {
            b = static_cast<std::uint8_t>(rng());
        }
        // An exact-size heap block, so a read past it is caught.
        auto block = std::make_unique<std::uint8_t[]>(data.size() + 1);
        if (!data.empty()) {
            std::memcpy(block.get(), data.data(), data.size());
        }
        Decoded d = decode(format, std::span<const std::uint8_t>(block.get(), data.size()));
        std::size_t bytes = 0;
        for (const auto &f : d.fields) {
            if (f.kind == FieldKind::Raw) {
                bytes += f.text.size();
            }
        }
        ASSERT_LE(bytes, data.size()) << format;
        ASSERT_NO_THROW(nlohmann::json::parse(zebctl::json_line("e", "", d))) << format;
        ASSERT_EQ(zebctl::text_line("e", d).find('\n'), std::string::npos);
    }
}

}  // namespace
