// The console's requests and their bounds.
#include "webui_requests.hpp"

#include <cstdint>
#include <cstring>
#include <nlohmann/json.hpp>

namespace kor_webui {

namespace {

struct Arg {
    const char *name;
    std::int64_t low, high;
};

struct Allowed {
    const char *event;
    std::vector<Arg> args;
};

// Temperatures in degrees F, cook times in seconds, fan speeds in percent. The manager checks the
// target against its configured limits again; these bounds keep obvious nonsense off the bus.
const std::vector<Allowed> &allowed() {
    static const std::vector<Allowed> table = {
        {"zeb.varlo.power_onoff", {{"power", 0, 1}}},
        {"zeb.varlo.set_target_temperature", {{"target_temperature", 0, 999}}},
        {"zeb.varlo.set_belt_cook_time", {{"belt_num", 1, 2}, {"cook_time", 1, 65535}}},
        {"zeb.varlo.set_target_fan_speed", {{"fan_num", 1, 4}, {"fan_speed", 0, 100}}},
        {"zeb.varlo.idle_mode_onoff",
         {{"onoff", 0, 1},
          {"belt1_cook_time", 0, 65535},
          {"belt2_cook_time", 0, 65535},
          {"fan1_percent", -1, 100},
          {"fan2_percent", -1, 100},
          {"fan3_percent", -1, 100},
          {"fan4_percent", -1, 100}}},
    };
    return table;
}

}  // namespace

int parse_request(const std::string &body, BusRequest &out, std::string &error) {
    const nlohmann::json j = nlohmann::json::parse(body, nullptr, false);
    if (j.is_discarded() || !j.is_object()) {
        error = "the body is not a JSON object";
        return -1;
    }
    if (!j.contains("name") || !j["name"].is_string()) {
        error = "\"name\" must be a string";
        return -1;
    }
    const std::string name = j["name"].get<std::string>();
    const Allowed *request = nullptr;
    for (const Allowed &a : allowed()) {
        if (name == a.event) {
            request = &a;
        }
    }
    if (request == nullptr) {
        error = "request not allowed from the console: " + name;
        return -1;
    }
    if (!j.contains("values") || !j["values"].is_array() ||
        j["values"].size() != request->args.size()) {
        error = name + " takes " + std::to_string(request->args.size()) + " values";
        return -1;
    }
    out = BusRequest{name, "", {}};
    for (std::size_t i = 0; i < request->args.size(); ++i) {
        const Arg &arg = request->args[i];
        const nlohmann::json &v = j["values"][i];
        if (!v.is_number_integer() || v.get<std::int64_t>() < arg.low ||
            v.get<std::int64_t>() > arg.high) {
            error = std::string(arg.name) + " must be a whole number from " +
                    std::to_string(arg.low) + " to " + std::to_string(arg.high);
            return -1;
        }
        const auto value = static_cast<std::int32_t>(v.get<std::int64_t>());
        const std::size_t at = out.data.size();
        out.data.resize(at + 4);
        std::memcpy(out.data.data() + at, &value, 4);
        out.format += (i == 0 ? "4s1 " : " 4s1 ") + std::string(arg.name);
    }
    return 0;
}

}  // namespace kor_webui
