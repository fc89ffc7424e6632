// The oven manager's request side in process: event dispatch and its data checks, the handlers in
// normal and demo mode, client registration, factory reset, firmware offers, the cloud heartbeat
// and the IO board initialisation. Board writes go to recording fakes bound into the operation
// service record; reads reach a link on the recording fake link; notifications arrive on a real
// bus channel of the test process, which is "zeb_update" so it also receives update responses.
#include <gtest/gtest.h>
#include <pty.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "fake_link.hpp"
#include "kor_oven_mgr.h"
#include "log_capture.hpp"

namespace {

// ---- recording fakes for the record's board writes and the cloud ----
std::mutex g_lock;
std::vector<std::string> g_calls;
oven_config_t g_config{};
int g_blower_failures = 0;   // kor_init_blower fails this many times, then succeeds
int g_heater_set_temp = -1;  // the target of the last heater initialisation

int record(const std::string &call) {
    std::lock_guard guard(g_lock);
    g_calls.push_back(call);
    return 0;
}

std::vector<std::string> calls() {
    std::lock_guard guard(g_lock);
    return g_calls;
}

template <typename... T>
std::string join(const char *name, T... values) {
    std::string s = name;
    ((s += " " + std::to_string(values)), ...);
    return s;
}

void bind_fakes(oven_operation_srv_t *srv) {
    srv->kor_oven_set_oven_enable = [](modbus_data_t *, uint16_t v) {
        return record(join("oven_enable", v));
    };
    srv->kor_set_heater_target_temp = [](modbus_data_t *, uint16_t v) {
        return record(join("target_temp", v));
    };
    srv->kor_set_blower_speed = [](modbus_data_t *, int32_t b, uint16_t v) {
        return record(join("blower_speed", b, v));
    };
    srv->kor_set_belt_speed = [](modbus_data_t *, int32_t b, uint16_t v) {
        return record(join("belt_speed", b, v));
    };
    srv->kor_set_photoeye_timeout = [](modbus_data_t *, uint16_t v) {
        return record(join("photoeye_timeout", v));
    };
    srv->kor_stats_set_belt_time = [](int32_t, uint32_t) { return 0; };
    srv->kor_stats_set_belt_run_time = [](int32_t, int32_t) { return 0; };
    srv->kor_telvo_report_serial_number_changed = [] { return record("telvo_serial_changed"); };
    srv->kor_config_update_setting_int = [](uint32_t s, int32_t i, int32_t v) {
        return record(join("config_int", s, i, v));
    };
    srv->kor_get_oven_config = [](oven_config_t *dst) {
        *dst = g_config;
        return 0;
    };
    // The IO board initialisation.
    srv->kor_oven_set_time = [](modbus_data_t *, uint32_t) { return record("set_time"); };
    srv->kor_init_blower = [](modbus_data_t *, int32_t b, uint16_t, uint16_t, uint16_t, uint16_t,
                              uint16_t, uint16_t, uint16_t, uint16_t, uint16_t) {
        record(join("init_blower", b));
        std::lock_guard guard(g_lock);
        return g_blower_failures-- > 0 ? -5 : 0;
    };
    srv->kor_set_inverter_pulse_threshold = [](modbus_data_t *, int32_t, uint16_t) { return 0; };
    srv->kor_set_blower_speed_sense_error = [](modbus_data_t *, uint16_t) { return 0; };
    srv->kor_set_blower_speed_sensor_configuration = [](modbus_data_t *, uint16_t) { return 0; };
    srv->kor_belt_init = [](modbus_data_t *, int32_t b, uint16_t, uint16_t, uint16_t, uint16_t,
                            uint16_t, uint16_t, uint16_t) { return record(join("belt_init", b)); };
    srv->kor_set_belt_enabled = [](modbus_data_t *, uint16_t) { return 0; };
    srv->kor_set_heater_photocell_enable = [](modbus_data_t *, uint16_t) { return 0; };
    srv->kor_telvo_report_photocell_override = [] { return 0; };
    srv->kor_heater_init = [](modbus_data_t *, uint16_t, uint16_t, uint16_t, uint16_t set_temp,
                              uint16_t, uint16_t, uint16_t, uint16_t, uint16_t) {
        {
            std::lock_guard guard(g_lock);
            g_heater_set_temp = set_temp;
        }
        return record("heater_init");
    };
    srv->kor_oven_init = [](modbus_data_t *, uint16_t en, uint16_t, uint16_t) {
        return record(join("oven_init", en));
    };
}

// ---- events ----
using Bytes = std::vector<char>;

Bytes ints(std::initializer_list<int32_t> values) {
    Bytes out;
    for (int32_t v : values) {
        const char *p = reinterpret_cast<const char *>(&v);
        out.insert(out.end(), p, p + sizeof v);
    }
    return out;
}

Bytes operator+(Bytes a, const std::string &text) {
    a.insert(a.end(), text.begin(), text.end());
    return a;
}

// Dispatches an event whose data buffer is exactly the given bytes (no NUL after them), so a read
// past the data shows under the address sanitizer. sender is the channel it claims to come from.
void dispatch(const char *name, const Bytes &data = {}, const char *sender = "") {
    std::unique_ptr<char[]> copy;
    if (!data.empty()) {
        copy = std::make_unique<char[]>(data.size());
        std::memcpy(copy.get(), data.data(), data.size());
    }
    std::string event_name = name;
    char empty[1] = {'\0'};
    std::string sender_name = sender;
    zeb_event_t ev{};
    ev.name = event_name.data();
    ev.format = empty;
    ev.sender = sender_name.data();
    ev.data = copy.get();
    ev.length = static_cast<int32_t>(data.size());
    kor_oven_dispatch_event(&ev);
}

struct EventDeleter {
    void operator()(zeb_event_t *ev) const { zeb_service_free_event(ev); }
};
using Event = std::unique_ptr<zeb_event_t, EventDeleter>;

Event next_event(int32_t timeout_ms = 2000) {
    zeb_event_t *ev = nullptr;
    if (zeb_service_wait_event_timeout(&ev, timeout_ms) != 0) {
        return nullptr;
    }
    return Event(ev);
}

std::vector<int32_t> values(const zeb_event_t *ev) {
    std::vector<int32_t> out(static_cast<std::size_t>(ev->length) / 4);
    if (!out.empty()) {
        std::memcpy(out.data(), ev->data, out.size() * 4);
    }
    return out;
}

operation_state_t state() {
    operation_state_t s{};
    kor_get_operation_state(&s);
    return s;
}

void set_demo_mode(uint8_t on) {
    std::lock_guard guard(demo_mode_mutex);
    demo_mode = on;
}

class OvenRequests : public ::testing::Test {
  protected:
    void SetUp() override {
        ::setenv("ZEB_BUS_DIR", scratch_.file("bus").c_str(), 1);
        ::setenv("KOR_INIT_WAIT_MS", "0", 1);
        {
            std::lock_guard guard(g_lock);
            g_calls.clear();
            g_blower_failures = 0;
        }
        ASSERT_EQ(0, zeb_logger_open(&logger));
        const std::string dir = kor_test::source_dir() + "/data/config";
        ASSERT_EQ(0, kor_load_oven_config(dir.c_str(), nullptr));
        ASSERT_EQ(0, kor_get_oven_config(&g_config));
        ASSERT_EQ(0, kor_initialize_operation_state(&g_config));
        ASSERT_EQ(0, kor_srv_init(&oven_operation_srv));
        bind_fakes(oven_operation_srv);
        kor_oven_free();
        kor_oven_init_structures();
        ASSERT_EQ(0, kor_modbus_init(&modbus, "fake", 1, 100, 10, 1, 0, link_.table()));
        ASSERT_EQ(0, zeb_service_initialize("zeb_update"));
        set_demo_mode(0);
    }

    void TearDown() override {
        set_demo_mode(0);
        zeb_service_uninitialize();
        if (modbus != nullptr) {
            kor_modbus_free(modbus);
            modbus = nullptr;
        }
        kor_oven_free();
        kor_srv_uninitialize(oven_operation_srv);
        oven_operation_srv = nullptr;
        kor_uninitialize_operation_state();
        zeb_logger_close(logger);
        logger = nullptr;
        ::unsetenv("KOR_INIT_WAIT_MS");
        ::unsetenv("ZEB_BUS_DIR");
    }

    // The test's channel is "zeb_update", a name a registration request may not give: it is
    // added as a client directly, and a UI's registration request starts the synchronisation.
    void register_ui() {
        ASSERT_EQ(0, zeb_service_register("zeb_update", 1));
        dispatch("zeb.varlo.register", ints({1}) + std::string("ui_main", 8));
    }

    int warnings() const {
        return log_.count_containing("process_client_requests: dropping malformed event");
    }

    kor_test::LogCapture log_;
    kor_test::ScratchDir scratch_;
    kor_test::FakeLink link_;
};

using Calls = std::vector<std::string>;

TEST_F(OvenRequests, DataRuleOfEachRequestAndUnknownNames) {
    dispatch("zeb.varlo.power_onoff");  // needs data: dropped without a word
    EXPECT_TRUE(calls().empty());
    EXPECT_EQ(0, warnings());
    EXPECT_EQ(0u, state().power);
    EXPECT_TRUE(log_.contains("process_client_requests: Received event: zeb.varlo.power_onoff"));

    dispatch("zeb.varlo.serial_number_changed");  // needs none
    EXPECT_EQ((Calls{"telvo_serial_changed"}), calls());

    dispatch("zeb.varlo.no_such_request", ints({1, 2}));
    dispatch("zeb.varlo.power_onoff_extra", ints({1}));  // names match exactly, never as prefixes
    EXPECT_EQ((Calls{"telvo_serial_changed"}), calls());
    EXPECT_TRUE(
        log_.contains("process_client_requests: Received event: zeb.varlo.no_such_request"));
    EXPECT_EQ(0, warnings());

    dispatch("zeb.varlo.power_onoff", ints({1}));
    EXPECT_EQ((Calls{"telvo_serial_changed", "oven_enable 1"}), calls());
    EXPECT_EQ(1u, state().power);
    dispatch("zeb.varlo.set_target_temperature", ints({475}));
    EXPECT_EQ(
        (Calls{"telvo_serial_changed", "oven_enable 1", "target_temp 475", "config_int 30 0 475"}),
        calls());
    EXPECT_EQ(475u, state().target_temp);
}

TEST_F(OvenRequests, FanTargetThatCannotBeConvertedIsStoredButNotWritten) {
    // 10 % gives a frequency below the configured minimum of 45.0 Hz.
    dispatch("zeb.varlo.set_target_fan_speed", ints({2, 10}));
    EXPECT_EQ(10u, state().blower_percent_target[1]);
    EXPECT_TRUE(calls().empty());

    // 80 %: (80 + 5) / (100 / 700) = 595 tenths of Hz.
    dispatch("zeb.varlo.set_target_fan_speed", ints({3, 80}));
    EXPECT_EQ(80u, state().blower_percent_target[2]);
    EXPECT_EQ((Calls{"blower_speed 3 595"}), calls());
}

TEST_F(OvenRequests, ValuesTheirFieldCannotHoldAreRefusedBeforeAnythingIsStored) {
    // The sample store bounds the target temperature to 300-600 F; state fields and registers are
    // 16 bits. A refused request writes nothing, stores nothing and names its event.
    struct Case {
        const char *event;
        Bytes data;
        int32_t value;  // the refused value, as the warning shows it
    };
    const Case cases[] = {
        {"zeb.varlo.set_target_temperature", ints({-5}), -5},
        {"zeb.varlo.set_target_temperature", ints({65986}), 65986},  // 450 once cut to 16 bits
        {"zeb.varlo.set_target_temperature", ints({2000}), 2000},
        {"zeb.varlo.set_target_temperature", ints({299}), 299},
        {"zeb.varlo.set_target_fan_speed", ints({2, -5}), -5},
        {"zeb.varlo.set_target_fan_speed", ints({2, 65536}), 65536},
        {"zeb.varlo.set_belt_cook_time", ints({1, -5}), -5},
        {"zeb.varlo.set_belt_cook_time", ints({2, 65866}), 65866},
        {"zeb.varlo.power_onoff", ints({-1}), -1},
        {"zeb.varlo.photo_cell_enable", ints({70000}), 70000},
        {"zeb.varlo.idle_mode_onoff", ints({1, 65866, 330, 0, 0, 0, 0}), 65866},
        {"zeb.varlo.idle_mode_onoff", ints({1, 330, 330, 0, 65586, 0, 0}), 65586},
    };
    for (const bool demo : {false, true}) {
        set_demo_mode(demo ? 1 : 0);
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(c.event) + " " + std::to_string(c.value) +
                         (demo ? " demo" : ""));
            const operation_state_t before = state();
            log_.clear();
            dispatch(c.event, c.data);
            EXPECT_TRUE(calls().empty()) << ::testing::PrintToString(calls());
            const operation_state_t after = state();
            EXPECT_EQ(0, std::memcmp(&before, &after, sizeof before));
            EXPECT_EQ(1, log_.count_containing(std::string("Refusing ") + c.event + ": value " +
                                               std::to_string(c.value) + " out of range"))
                << log_.dump();
            EXPECT_EQ(0, warnings());
        }
    }
    // The bounds themselves are taken.
    set_demo_mode(0);
    dispatch("zeb.varlo.set_target_temperature", ints({600}));
    dispatch("zeb.varlo.set_target_temperature", ints({300}));
    EXPECT_EQ(
        (Calls{"target_temp 600", "config_int 30 0 600", "target_temp 300", "config_int 30 0 300"}),
        calls());
    EXPECT_EQ(300u, state().target_temp);
}

TEST_F(OvenRequests, MalformedRequestsAreRefusedBeforeAnyIndexIsUsed) {
    const operation_state_t before = state();
    dispatch("zeb.varlo.set_belt_cook_time", ints({3, 200}));
    dispatch("zeb.varlo.set_belt_cook_time", ints({0, 200}));
    dispatch("zeb.varlo.set_target_fan_speed", ints({5, 80}));
    dispatch("zeb.varlo.set_target_fan_speed", ints({-1, 80}));
    dispatch("zeb.varlo.set_belt_cook_time", ints({1}));                     // cook time missing
    dispatch("zeb.varlo.set_target_fan_speed", Bytes{1, 0, 0, 0, 80});       // five bytes
    dispatch("zeb.varlo.idle_mode_onoff", ints({1, 300, 300, 50, 50, 50}));  // six of seven
    dispatch("zeb.varlo.set_target_temperature", Bytes{1, 2});
    dispatch("zeb.varlo.menu_preset_changed", ints({3}) + std::string("pizza", 6));
    dispatch("zeb.varlo.menu_preset_changed", ints({1}));  // no name at all
    dispatch("zeb.varlo.register", Bytes{1, 0});
    dispatch("zeb.update.firmware.available", Bytes(100, 'a'), "zeb_update");  // no path field
    EXPECT_EQ(12, warnings()) << log_.dump();
    EXPECT_TRUE(calls().empty());

    const operation_state_t after = state();
    EXPECT_EQ(0, std::memcmp(&before, &after, sizeof before));
}

TEST_F(OvenRequests, TextFieldsAreReadOnlyUpToTheEndOfTheData) {
    // No NUL after the name: exactly the bytes that are there.
    dispatch("zeb.varlo.menu_preset_changed", ints({2}) + std::string("margherita"));
    EXPECT_STREQ("margherita", state().menu_preset[1]);
    dispatch("zeb.varlo.menu_preset_changed", ints({1}) + std::string("calzone\0junk", 12));
    EXPECT_STREQ("calzone", state().menu_preset[0]);
    EXPECT_EQ(0, warnings());

    // A component id that fills its 255-byte field without a NUL is not read into the path.
    Bytes offer(255, 'x');
    offer = offer + std::string("/tmp/fw.bin");
    dispatch("zeb.update.firmware.available", offer, "zeb_update");
    EXPECT_TRUE(log_.contains("Notify available update " + std::string(255, 'x') + ":/tmp/fw.bin"))
        << log_.dump();
}

TEST_F(OvenRequests, RegistrationInBakeSendsStateBeltsThenPreheatComplete) {
    link_.set_register(1, 1);   // oven enable
    link_.set_register(69, 1);  // photo-eye enable
    link_.set_register(99, 6);  // bake
    link_.set_register(122, 230);
    dispatch("zeb.varlo.set_belt_cook_time", ints({2, 240}));
    g_config.num_belts = 2;

    register_ui();
    std::vector<std::string> names;
    std::vector<std::vector<int32_t>> data;
    while (Event ev = next_event(500)) {
        names.emplace_back(ev->name);
        data.push_back(values(ev.get()));
        if (names.back() == "zeb.varlo.preheat_complete") {
            break;
        }
    }
    EXPECT_EQ((std::vector<std::string>{
                  "zeb.varlo.power_on", "zeb.varlo.photoeye_enable",
                  "zeb.varlo.firmware_versions_notify", "zeb.varlo.oven_voltage_notify",
                  "zeb.varlo.mode_notify", "zeb.varlo.belt_status_notify",
                  "zeb.varlo.belt_target_cook_time_notify", "zeb.varlo.belt_status_notify",
                  "zeb.varlo.belt_target_cook_time_notify", "zeb.varlo.preheat_complete"}),
              names);
    ASSERT_EQ(10u, data.size());
    EXPECT_EQ((std::vector<int32_t>{1}), data[1]);
    EXPECT_EQ((std::vector<int32_t>{230}), data[3]);
    EXPECT_EQ((std::vector<int32_t>{KOR_UI_STATE_BAKE, 6}), data[4]);
    EXPECT_EQ((std::vector<int32_t>{1, 2}), data[5]);
    EXPECT_EQ((std::vector<int32_t>{1, 330}), data[6]);
    EXPECT_EQ((std::vector<int32_t>{2, 2}), data[7]);
    EXPECT_EQ((std::vector<int32_t>{2, 240}), data[8]);
    EXPECT_EQ(2, state().belt_state);
    EXPECT_TRUE(log_.contains("Synchronizing oven state with UI"));
}

TEST_F(OvenRequests, RegistrationInCooldownAndWithOneBelt) {
    link_.set_register(99, 8);
    register_ui();
    std::vector<std::string> names;
    while (Event ev = next_event(300)) {
        names.emplace_back(ev->name);
    }
    // Oven enable 0: no power-on.
    EXPECT_EQ(
        (std::vector<std::string>{"zeb.varlo.photoeye_enable", "zeb.varlo.firmware_versions_notify",
                                  "zeb.varlo.oven_voltage_notify", "zeb.varlo.mode_notify",
                                  "zeb.varlo.power_cooldown"}),
        names);

    link_.set_register(99, 5);
    g_config.num_belts = 1;
    kor_oven_register_client();
    names.clear();
    while (Event ev = next_event(300)) {
        names.emplace_back(ev->name);
    }
    ASSERT_EQ(7u, names.size());
    EXPECT_EQ("zeb.varlo.belt_status_notify", names[4]);
    EXPECT_EQ("zeb.varlo.belt_target_cook_time_notify", names[5]);
    EXPECT_EQ("zeb.varlo.preheat_complete", names[6]);
    EXPECT_EQ(1, state().belt_state);
}

TEST_F(OvenRequests, ARefusedRegistrationSynchronisesNobody) {
    // The test's channel and 31 more fill every client place.
    ASSERT_EQ(0, zeb_service_register("zeb_update", 1));
    for (int i = 2; i <= ZEB_MAX_CLIENTS; ++i) {
        ASSERT_EQ(0, zeb_service_register(("ui_" + std::to_string(i)).c_str(), 1));
    }
    // No free place, then a name the bus refuses: the registered clients hear nothing.
    for (const std::string name : {"ui_33", "../escape"}) {
        dispatch("zeb.varlo.register", ints({1}) + name + std::string(1, '\0'));
        Event ev = next_event(300);
        EXPECT_FALSE(ev) << name << ": " << ev->name;
        EXPECT_EQ(1, log_.count_containing("Registration of client " + name + " refused"))
            << log_.dump();
    }
    EXPECT_EQ(0, log_.count("Synchronizing oven state with UI"));

    // A client that registers again goes through and is synchronised.
    dispatch("zeb.varlo.register", ints({1}) + std::string("ui_2", 5));
    EXPECT_TRUE(next_event());
    EXPECT_EQ(1, log_.count("Synchronizing oven state with UI"));
}

TEST_F(OvenRequests, DemoModeRequestsOnlyChangeTheState) {
    set_demo_mode(1);
    dispatch("zeb.varlo.power_onoff", ints({1}));
    EXPECT_EQ(4, state().io_board_state);
    EXPECT_TRUE(log_.contains("DEMO_MODE: power on request, set oven state to PREHEAT."));
    dispatch("zeb.varlo.power_onoff", ints({0}));
    EXPECT_EQ(8, state().io_board_state);
    EXPECT_TRUE(log_.contains("DEMO_MODE: power off request, set oven state to COOLDOWN."));
    dispatch("zeb.varlo.power_onoff", ints({7}));
    EXPECT_EQ(8, state().io_board_state);
    EXPECT_EQ(0u, state().power);

    dispatch("zeb.varlo.set_target_temperature", ints({420}));
    dispatch("zeb.varlo.set_belt_cook_time", ints({2, 180}));
    dispatch("zeb.varlo.set_target_fan_speed", ints({1, 80}));
    EXPECT_EQ(420u, state().target_temp);
    EXPECT_EQ(180u, state().belt_cook_time[1]);
    EXPECT_EQ(80u, state().blower_percent_target[0]);
    EXPECT_TRUE(calls().empty());
}

TEST_F(OvenRequests, FactoryReset) {
    // The UI's reset failed: nothing is reloaded or written.
    dispatch("zeb.varlo.factory_reset_end", ints({0}));
    EXPECT_TRUE(log_.contains("Perform configuration file factory reset."));
    EXPECT_TRUE(log_.contains("Config reset failed in UI. Abort!"));
    EXPECT_EQ(0, log_.count_containing("Start re-init"));

    // An oven that is still baking is not reset.
    kor_state_set_io_board_state(6);
    dispatch("zeb.varlo.factory_reset_end", ints({1}));
    EXPECT_TRUE(
        log_.contains("Cannot perform configuration file factory reset. Incorrect oven state 6"));
    EXPECT_EQ(0, log_.count_containing("Start re-init"));
    EXPECT_TRUE(calls().empty());

    // Step 1 with a board that never leaves bake: five tries, then "not ready".
    dispatch("zeb.varlo.factory_reset_start");
    EXPECT_EQ((Calls{"oven_enable 0"}), calls());
    EXPECT_TRUE(log_.contains("Oven did not POWER OFF for factory reset. Retry count 5"));
    EXPECT_EQ(0u, state().power);
}

TEST_F(OvenRequests, FactoryResetReadinessIsBroadcast) {
    ASSERT_EQ(0, zeb_service_register("zeb_update", 1));
    kor_state_set_io_board_state(6);
    kor_oven_perform_factory_reset_prepare();
    Event ev = next_event();
    ASSERT_TRUE(ev);
    EXPECT_STREQ("zeb.varlo.factory_reset_ready", ev->name);
    EXPECT_EQ((std::vector<int32_t>{0}), values(ev.get()));

    kor_state_set_io_board_state(8);
    kor_oven_perform_factory_reset_prepare();
    EXPECT_TRUE(log_.contains("Oven ready for factory reset!"));
    ev = next_event();
    ASSERT_TRUE(ev);
    EXPECT_EQ((std::vector<int32_t>{1}), values(ev.get()));
    EXPECT_EQ(0u, state().power);
}

Bytes firmware_offer(const std::string &component, const std::string &path) {
    Bytes field(255, '\0');
    std::memcpy(field.data(), component.data(), component.size());
    return field + path + std::string(1, '\0');
}

// Offers as the update service sends them: from its channel.
void offer(const std::string &component, const std::string &path) {
    dispatch("zeb.update.firmware.available", firmware_offer(component, path), "zeb_update");
}

TEST_F(OvenRequests, FirmwareOffers) {
    offer("dravik_ui", "/data/ui.bin");
    Event ev = next_event();
    ASSERT_TRUE(ev);
    EXPECT_STREQ("zeb.update.firmware.response", ev->name);
    EXPECT_EQ((std::vector<int32_t>{KOR_UPDATE_IGNORED}), values(ev.get()));
    EXPECT_EQ(0, state().update_io_board_mode);
    EXPECT_TRUE(log_.contains("Ignoring update dravik_ui:/data/ui.bin"));

    const std::string second = scratch_.file("io_board_2.bin");
    const std::string third = scratch_.file("io_board_3.bin");
    for (const std::string &path : {second, third}) {
        std::ofstream(path) << "firmware";
    }
    offer("dravik_kor_board", second);
    ev = next_event();
    ASSERT_TRUE(ev);
    EXPECT_EQ((std::vector<int32_t>{KOR_UPDATE_ACCEPTED}), values(ev.get()));
    EXPECT_EQ(1, state().update_io_board_mode);
    EXPECT_STREQ(second.c_str(), state().update_io_board_file_name);
    EXPECT_TRUE(log_.contains("Accepting update dravik_kor_board:" + second));

    // While that transfer is pending or running, a second offer gets its final answer at once and
    // leaves the accepted file alone; the first keeps its own answer to come.
    offer("dravik_kor_board", third);
    ev = next_event();
    ASSERT_TRUE(ev);
    EXPECT_EQ((std::vector<int32_t>{KOR_UPDATE_FAILED}), values(ev.get()));
    EXPECT_EQ(1, state().update_io_board_mode);
    EXPECT_STREQ(second.c_str(), state().update_io_board_file_name);
    EXPECT_EQ(0, log_.count("Accepting update dravik_kor_board:" + third));
}

// Paths the manager cannot or must not send are refused at once, before any transfer is set up.
TEST_F(OvenRequests, FirmwareOffersOfUnusablePathsAreRefused) {
    const std::string missing = scratch_.file("missing.bin");
    const std::string cases[] = {"/" + std::string(300, 'p'), missing, scratch_.path()};
    for (const std::string &path : cases) {
        SCOPED_TRACE(path.substr(0, 40));
        offer("dravik_kor_board", path);
        Event ev = next_event();
        ASSERT_TRUE(ev);
        EXPECT_EQ((std::vector<int32_t>{KOR_UPDATE_FAILED}), values(ev.get()));
        EXPECT_EQ(0, state().update_io_board_mode);
    }
}

TEST_F(OvenRequests, HeartbeatFillsItsFieldsAndStaysQuietInDemoMode) {
    ASSERT_EQ(0, kor_telvo_init());
    set_demo_mode(1);
    kor_oven_telvo_vellor_callback(nullptr);
    EXPECT_EQ(0, log_.count("Telvo Vellor heartbeat"));
    EXPECT_EQ(0, log_.count_containing("\"state\""));

    set_demo_mode(0);
    kor_state_set_io_board_state(6);
    kor_state_set_temp(498);
    kor_state_set_blower_percent_target(0, 80);   // 595
    kor_state_set_blower_percent_target(1, 100);  // the maximum, 700
    kor_state_set_blower_percent_target(2, 10);   // below the minimum: 0
    kor_state_set_blower_percent_target(3, 90);   // 665
    kor_state_set_tc_readout(0, 501);
    kor_state_set_tc_readout(1, 502);
    kor_state_set_tc_readout(2, 503);
    kor_state_set_tc_readout(3, 504);
    kor_state_set_menu_preset(0, "pizza");
    kor_state_set_menu_preset(1, "wings");
    kor_oven_telvo_vellor_callback(nullptr);
    EXPECT_TRUE(log_.contains("Telvo Vellor heartbeat"));
    EXPECT_TRUE(log_.contains(
        "{ \"state\" : 6, \"sp\" : 500, \"fanset\" : [595,700,0,665], \"bake_tm\" : [330,330], "
        "\"temp\" : 498, \"therm\" : [501,502,503,504], \"menu\" : [\"pizza\",\"wings\"] }"))
        << log_.dump();
    // Nobody listens on "zeb_telvo" here: the failure is logged and the settings line follows.
    EXPECT_EQ(1, log_.count_containing("Telvo vellor heartbeat FAILED! Error: "));
    EXPECT_TRUE(log_.contains("Telvo Vellor settings changed"));
}

TEST_F(OvenRequests, BoardInitialisationOfAOneBeltOvenTimesThePhotoEyeByBeltOneAlone) {
    // The second belt's cook time (here longer) means nothing on a one-belt oven: neither the
    // belt initialisation nor the photo-eye step may time the photo-eye by it.
    g_config.num_belts = 1;
    operation_state_t s = state();
    s.belt_cook_time[0] = 330;
    s.belt_cook_time[1] = 600;
    link_.set_register(2, 1);
    EXPECT_EQ(0, oven_initialize_io_board(&g_config, &s));
    Calls timeouts;
    for (const std::string &c : calls())
        if (c.rfind("photoeye_timeout", 0) == 0)
            timeouts.push_back(c);
    ASSERT_FALSE(timeouts.empty());
    EXPECT_EQ(Calls(timeouts.size(), "photoeye_timeout 495"), timeouts);
}

// A target or a power on/off the operator sends while the board is being set up again (after the
// caller took its copies, before the initialisation's waits end) is what the board gets, not the
// copies' older values.
TEST_F(OvenRequests, BoardInitialisationWritesTheTargetAndPowerSetMeanwhile) {
    for (const uint16_t power : {1, 0}) {
        operation_state_t taken_state = state();
        taken_state.power = power == 1 ? 0 : 1;
        ASSERT_EQ(0, kor_state_set_power(power));
        link_.set_register(2, 1);
        oven_config_t taken_before = g_config;
        taken_before.heating_set_temp = 505;
        g_config.heating_set_temp = 470;  // the record, as the operator's request left it
        EXPECT_EQ(0, oven_initialize_io_board(&taken_before, &taken_state));
        std::lock_guard guard(g_lock);
        EXPECT_EQ(470, g_heater_set_temp);
        EXPECT_EQ(join("oven_init", power), g_calls.back()) << "power " << power;
    }
}

TEST_F(OvenRequests, BoardInitialisationRetriesAndAlwaysResumesPolling) {
    operation_state_t s = state();
    s.power = 0;
    // A polled block at a register nothing else reads, so its reads are the polling rounds'.
    constexpr int kPolled = 300;
    ASSERT_EQ(0, kor_modbus_init_data_subscription_block(modbus, 7, kPolled, 2));
    ASSERT_EQ(0, kor_modbus_start_polling(modbus));
    const auto polls = [&] {
        const auto reads = link_.calls(kor_test::Op::ReadRegisters);
        return std::count_if(reads.begin(), reads.end(),
                             [](const kor_test::Call &c) { return c.address == kPolled; });
    };
    const auto polling_goes_on = [&] {
        const auto before = polls();
        return kor_test::wait_until([&] { return polls() >= before + 2; }, std::chrono::seconds(5));
    };
    ASSERT_TRUE(polling_goes_on());

    // The board never takes its configuration: four attempts, start-up goes on.
    link_.set_register(2, 0xFFFF);
    EXPECT_EQ(0, oven_initialize_io_board(&g_config, &s));
    for (int attempt = 1; attempt <= 4; ++attempt) {
        EXPECT_EQ(1,
                  log_.count("IO Board failed to initialize, attempt: " + std::to_string(attempt)));
        EXPECT_EQ(1, log_.count("End init, " + std::to_string(attempt) + " attempts"));
    }
    EXPECT_EQ(4, log_.count("Start init"));
    const Calls first = calls();
    EXPECT_EQ(4, std::count(first.begin(), first.end(), "oven_init 0"));
    EXPECT_TRUE(polling_goes_on()) << "polling not resumed after four failed attempts";

    // The blowers fail once: the second attempt runs all six steps again and succeeds.
    log_.clear();
    {
        std::lock_guard guard(g_lock);
        g_calls.clear();
        g_blower_failures = 1;
    }
    link_.set_register(2, 1);
    EXPECT_EQ(0, oven_initialize_io_board(&g_config, &s));
    EXPECT_EQ(1, log_.count("Unable to initialize blowers"));
    EXPECT_EQ(1, log_.count("End init, 2 attempts"));
    EXPECT_EQ(0, log_.count_containing("End init, 3"));
    const Calls c = calls();
    EXPECT_EQ(2, std::count(c.begin(), c.end(), "set_time"));
    EXPECT_EQ(1, std::count(c.begin(), c.end(), "heater_init"));
    EXPECT_EQ("oven_init 0", c.back());
    EXPECT_TRUE(polling_goes_on()) << "polling not resumed after a successful attempt";
}

// A start-up step that fails (here the channel of the two-argument form, a name the bus refuses)
// ends the program with its code after releasing everything set up before it: the logger, the
// fault manager, the statistics, the IO board link on its serial line, the operation service.
TEST(OvenManagerStartUp, AFailingStepReleasesWhatWasSetUpAndExitsWithItsCode) {
    kor_test::LogCapture log;
    kor_test::ScratchDir scratch;
    std::filesystem::copy(kor_test::source_dir() + "/data/config", scratch.file("config"),
                          std::filesystem::copy_options::recursive);
    ::setenv("KOR_CONFIG_DIR", scratch.file("config").c_str(), 1);
    ::setenv("ZEB_BUS_DIR", scratch.file("bus").c_str(), 1);
    int master = -1;
    int slave = -1;
    char device[128] = {};
    ASSERT_EQ(0, ::openpty(&master, &slave, device, nullptr, nullptr));
    ::close(slave);
    const auto open_fds = [] {
        std::vector<std::string> fds;
        for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd")) {
            std::error_code ec;
            fds.push_back(entry.path().filename().string() + " -> " +
                          std::filesystem::read_symlink(entry.path(), ec).string());
        }
        return fds;
    };
    const auto fds_before = open_fds();

    std::string program = "kor_oven_mgr";
    std::string channel = "bad/name";
    char *argv[] = {program.data(), device, channel.data(), nullptr};
    testing::internal::CaptureStdout();
    const int rc = kor_oven_mgr_main(3, argv);
    const std::string out = testing::internal::GetCapturedStdout();
    const auto fds_after = open_fds();
    ::close(master);
    ::unsetenv("KOR_CONFIG_DIR");
    ::unsetenv("ZEB_BUS_DIR");

    EXPECT_EQ(-EINVAL, rc);
    EXPECT_NE(std::string::npos, out.find("Unable to initialize service channel\n")) << out;
    EXPECT_NE(std::string::npos, out.find("main: exit code " + std::to_string(rc) + "\n")) << out;
    EXPECT_EQ(1, log.count("Initializing service channel bad/name"));
    EXPECT_EQ(1, log.count("Unable to initialize service channel. Err: " + std::to_string(rc)));
    EXPECT_EQ(1, log.count("ENCOUNTERED ERROR DURING INIT")) << log.dump();
    EXPECT_EQ(0, log.count_containing("successfully started"));
    // Released: the handles are gone, the statistics store is closed, no descriptor is left.
    EXPECT_EQ(nullptr, logger);
    EXPECT_EQ(nullptr, faultman);
    EXPECT_EQ(nullptr, modbus);
    EXPECT_EQ(nullptr, oven_operation_srv);
    EXPECT_NE(0, kor_close_stats());
    EXPECT_EQ(fds_before, fds_after);
}

}  // namespace
