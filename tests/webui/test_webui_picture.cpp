// The console's temperature history: a flood of notifications keeps one sample a second, with the
// second's newest values, so the ring stays bounded by its span whatever rate they come at.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cmath>

#include "webui_picture.hpp"

TEST(WebuiPicture, AFloodOfTemperaturesKeepsOneSampleASecond) {
    kor_webui::Picture picture;
    auto notify = [&](std::int64_t temperature) {
        zebctl::Decoded d;
        for (const auto &[name, value] :
             {std::pair{"temperature", temperature}, {"target", 500}, {"heat_percent", 43}}) {
            zebctl::Field f;
            f.name = name;
            f.kind = zebctl::FieldKind::Signed;
            f.width = 4;
            f.ints = {value};
            d.fields.push_back(f);
        }
        picture.update("zeb.varlo.temperature_notify", d);
    };
    const auto start = std::chrono::steady_clock::now();
    const int flood = 20000;
    for (int i = 1; i <= flood; ++i) {
        notify(i % 600);
    }
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LE(picture.history_size(), static_cast<std::size_t>(std::ceil(elapsed)) + 1);

    const auto history = nlohmann::json::parse(picture.history_json(3600));
    ASSERT_FALSE(history["samples"].empty());
    EXPECT_EQ(flood % 600, history["samples"].back()["temperature"]);
}
