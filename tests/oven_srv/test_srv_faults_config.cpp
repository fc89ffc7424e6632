// Fault handling and configuration changes of the operation service, driven through fakes bound
// into the service record: a scripted IO board fault list, a recording fault manager, recording
// cloud reports and IO board writes. Configuration changes run against the real configuration
// library loaded from the sample store, with its real update operations bound.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "kor_oven_operation_srv.h"
#include "log_capture.hpp"

namespace {

struct Report {
    std::string name;
    int fs;
    int32_t state;
    int32_t temp;
    int32_t sp;
    std::vector<uint16_t> values;
};

struct Recorder {
    // IO board
    std::vector<board_fault_t> board;
    int get_faults_rc = 0;
    int32_t link_state = 1;
    std::vector<uint32_t> board_clears;
    int board_clear_rc = 0;
    // fault manager
    std::set<int32_t> raised;
    std::vector<int32_t> sets;
    std::vector<int32_t> clears;
    std::vector<std::string> set_modules;
    std::vector<std::string> set_descriptions;
    int checks = 0;
    int set_rc = 0;
    int clear_rc = 0;
    // cloud reports
    std::vector<Report> reports;
    int report_rc = 0;
    // other writes, as "name:arg,arg"
    std::vector<std::string> writes;
    int config_int_fail_key = -1;
    int config_int_fail_index = -1;
    std::vector<std::string> tc_texts;
    std::vector<uint16_t> tc_masks;
    operation_state_t state{};
};

Recorder rec;

std::vector<uint16_t> values_of(const uint16_t *items, int32_t count) {
    if (items == nullptr || count <= 0)
        return {};
    return std::vector<uint16_t>(items, items + count);
}

int32_t record_report(const char *name, uint8_t fs, int32_t state, int32_t temp, int32_t sp,
                      const uint16_t *items, int32_t count) {
    rec.reports.push_back({name, fs, state, temp, sp, values_of(items, count)});
    return rec.report_rc;
}

int32_t record_write(const std::string &what) {
    rec.writes.push_back(what);
    return 0;
}

std::string w(const char *name, long a) {
    return std::string(name) + ":" + std::to_string(a);
}
std::string w(const char *name, long a, long b) {
    return std::string(name) + ":" + std::to_string(a) + "," + std::to_string(b);
}

// Every entry the code under test may reach, each recording into rec.
oven_operation_srv_t make_record() {
    oven_operation_srv_t s{};
    s.kor_oven_get_faults = [](board_fault_t **faults, int32_t *count) -> int {
        *faults = rec.board.data();
        *count = static_cast<int32_t>(rec.board.size());
        return rec.get_faults_rc;
    };
    s.kor_oven_get_modbus_connection_state = []() -> int32_t { return rec.link_state; };
    s.kor_oven_clear_fault = [](modbus_data_t *, uint32_t reg) -> int {
        rec.board_clears.push_back(reg);
        return rec.board_clear_rc;
    };
    s.zeb_faultman_check = [](zeb_faultman_t *, int32_t fault) -> int {
        ++rec.checks;
        return rec.raised.count(fault) ? 1 : 0;
    };
    s.zeb_faultman_set = [](zeb_faultman_t *, zeb_logger_t *, const char *module, int32_t fault,
                            const char *desc) -> int {
        rec.sets.push_back(fault);
        rec.set_modules.emplace_back(module);
        rec.set_descriptions.emplace_back(desc);
        if (rec.set_rc == 0)
            rec.raised.insert(fault);
        return rec.set_rc;
    };
    s.zeb_faultman_clear = [](zeb_faultman_t *, int32_t fault) -> int {
        rec.clears.push_back(fault);
        if (rec.clear_rc == 0)
            rec.raised.erase(fault);
        return rec.clear_rc;
    };
    s.kor_telvo_report_fault_io_comm_lost = [](uint8_t fs, int32_t state) {
        return record_report("io_comm_lost", fs, state, 0, 0, nullptr, 0);
    };
    s.kor_telvo_report_fault_all_probes_open = [](uint8_t fs, int32_t state) {
        return record_report("all_probes_open", fs, state, 0, 0, nullptr, 0);
    };
    s.kor_telvo_report_fault_belt_comm_lost = [](uint8_t fs, const uint16_t *t, int32_t n) {
        return record_report("belt_comm_lost", fs, 0, 0, 0, t, n);
    };
    s.kor_telvo_report_fault_sensor_open = [](uint8_t fs, int32_t st, const uint16_t *f,
                                              int32_t n) {
        return record_report("sensor_open", fs, st, 0, 0, f, n);
    };
    s.kor_telvo_report_fault_sensor_closed = [](uint8_t fs, int32_t st, const uint16_t *f,
                                                int32_t n) {
        return record_report("sensor_closed", fs, st, 0, 0, f, n);
    };
    s.kor_telvo_report_fault_belt_stalled = [](uint8_t fs, int32_t st, const uint16_t *t,
                                               int32_t n) {
        return record_report("belt_stalled", fs, st, 0, 0, t, n);
    };
    s.kor_telvo_report_fault_heating_error = [](uint8_t fs, int32_t st, int32_t temp, int32_t sp,
                                                const uint16_t *t, int32_t n) {
        return record_report("heating_error", fs, st, temp, sp, t, n);
    };
    s.kor_telvo_report_fault_probe_open = [](uint8_t fs, int32_t st, int32_t temp, int32_t sp,
                                             const uint16_t *t, int32_t n) {
        return record_report("probe_open", fs, st, temp, sp, t, n);
    };
    s.kor_telvo_report_fault_oven_over_temp = [](uint8_t fs, int32_t st, int32_t temp, int32_t sp,
                                                 const uint16_t *t, int32_t n) {
        return record_report("oven_over_temp", fs, st, temp, sp, t, n);
    };
    s.kor_telvo_report_fault_reset_ignition = [](uint8_t fs, int32_t st, int32_t temp, int32_t sp,
                                                 const uint16_t *t, int32_t n) {
        return record_report("reset_ignition", fs, st, temp, sp, t, n);
    };
    s.kor_telvo_report_fault_fan_fault = [](uint8_t fs) {
        return record_report("fan_fault", fs, 0, 0, 0, nullptr, 0);
    };
    s.kor_telvo_report_fault_high_temp_check_fans = [](uint8_t fs) {
        return record_report("high_temp_check_fans", fs, 0, 0, 0, nullptr, 0);
    };
    s.kor_telvo_report_fault_over_temp_check_fans = [](uint8_t fs) {
        return record_report("over_temp_check_fans", fs, 0, 0, 0, nullptr, 0);
    };
    // Thermocouple enabling (the faults' TC5 disable) and the IO board writes of settings.
    s.kor_config_update_setting_str = [](uint32_t key, const char *text) -> int32_t {
        rec.tc_texts.emplace_back(text);
        return record_write(std::string("cfg_str:") + std::to_string(key) + "," + text);
    };
    s.kor_config_update_setting_int = [](uint32_t key, int32_t index, int32_t value) -> int32_t {
        return record_write("cfg_int:" + std::to_string(key) + "," + std::to_string(index) + "," +
                            std::to_string(value));
    };
    s.kor_set_heater_tc_enable = [](modbus_data_t *, uint16_t mask) -> int {
        rec.tc_masks.push_back(mask);
        return record_write(w("tc_enable", mask));
    };
    s.notify_tc_enable_changed = [](int32_t count, const char *text) -> int32_t {
        return record_write(std::string("notify_tc:") + std::to_string(count) + "," + text);
    };
    s.kor_set_belt_speed = [](modbus_data_t *, int32_t belt, uint16_t v) -> int {
        return record_write(w("belt_speed", belt, v));
    };
    s.kor_set_belt_min_rpm = [](modbus_data_t *, int32_t belt, uint16_t v) -> int {
        return record_write(w("belt_min_rpm", belt, v));
    };
    s.kor_set_belt_max_rpm = [](modbus_data_t *, int32_t belt, uint16_t v) -> int {
        return record_write(w("belt_max_rpm", belt, v));
    };
    s.kor_set_belt_enabled = [](modbus_data_t *, uint16_t mask) -> int {
        return record_write(w("belt_enabled", mask));
    };
    s.kor_set_blower_speed = [](modbus_data_t *, int32_t blower, uint16_t v) -> int {
        return record_write(w("blower_speed", blower, v));
    };
    s.kor_set_blower_hz_startup = [](modbus_data_t *, int32_t blower, uint16_t v) -> int {
        return record_write(w("hz_startup", blower, v));
    };
    s.kor_set_inverter_pulse_threshold = [](modbus_data_t *, int32_t inv, uint16_t v) -> int {
        return record_write(w("pulse_threshold", inv, v));
    };
    s.kor_set_photoeye_timeout = [](modbus_data_t *, uint16_t v) -> int {
        return record_write(w("photoeye_timeout", v));
    };
    s.kor_state_set_belt_cook_time = [](int32_t index, uint16_t t) -> int32_t {
        return record_write(w("state_cook_time", index, t));
    };
    s.kor_stats_set_belt_time = [](int32_t belt, uint32_t rpm) -> int32_t {
        return record_write(w("stats_belt_time", belt, rpm));
    };
    s.kor_stats_set_belt_run_time = [](int32_t belt, int32_t rpm) -> int32_t {
        return record_write(w("stats_run_time", belt, rpm));
    };
    s.kor_get_operation_state = [](operation_state_t *dst) -> int32_t {
        *dst = rec.state;
        return 0;
    };
    return s;
}

modbus_data_t *fake_modbus() {
    static int dummy;
    return reinterpret_cast<modbus_data_t *>(&dummy);
}

zeb_faultman_t *fake_faultman() {
    static int dummy;
    return reinterpret_cast<zeb_faultman_t *>(&dummy);
}

int count_of(const std::vector<std::string> &v, const std::string &item) {
    return static_cast<int>(std::count(v.begin(), v.end(), item));
}

// ---------------------------------------------------------------------------------------------
// Board fault words to UI faults

std::vector<int> active_faults(const ui_fault_t *table) {
    std::vector<int> out;
    for (int n = 1; n < KOR_UI_FAULT_COUNT; ++n) {
        if (table[n].active == 1)
            out.push_back(n);
    }
    return out;
}

class FaultConversion : public ::testing::Test {
  protected:
    void SetUp() override { kor_srv_fill_ui_faults(table); }
    ui_fault_t table[KOR_UI_FAULT_COUNT];
};

TEST_F(FaultConversion, SubFaultBitsSelectTheirEntries) {
    const board_fault_t probes[] = {{203, 0x11}};
    ASSERT_EQ(kor_srv_convert_board_to_ui_fault(probes, 1, table, KOR_UI_FAULT_COUNT), 0);
    EXPECT_EQ(active_faults(table), (std::vector<int>{5, 24}));
    EXPECT_STREQ(table[5].description, "Thermocouple #1 is broken.");
    EXPECT_STREQ(table[24].description, "Thermocouple #5 is broken.");

    // A new list replaces the old picture.
    const board_fault_t blowers[] = {{199, 0}, {200, 0x0E}, {212, 0}};
    ASSERT_EQ(kor_srv_convert_board_to_ui_fault(blowers, 3, table, KOR_UI_FAULT_COUNT), 0);
    EXPECT_EQ(active_faults(table), (std::vector<int>{17, 18, 19}));
}

TEST_F(FaultConversion, AnyCodesNeedANonzeroFieldAndUnknownDataIsIgnored) {
    const board_fault_t quiet[] = {{202, 0}, {206, 0}, {211, 0}};
    ASSERT_EQ(kor_srv_convert_board_to_ui_fault(quiet, 3, table, KOR_UI_FAULT_COUNT), 0);
    EXPECT_TRUE(active_faults(table).empty());

    const board_fault_t any[] = {{206, 0x40}, {211, 0x8000}};
    ASSERT_EQ(kor_srv_convert_board_to_ui_fault(any, 2, table, KOR_UI_FAULT_COUNT), 0);
    EXPECT_EQ(active_faults(table), (std::vector<int>{8, 14}));

    // Codes nobody knows, bits beyond the known sub-faults, and a code that would read as -1.
    const board_fault_t odd[] = {{198, 0xFFFF}, {213, 1}, {203, 0xFFE0}, {0xFFFFFFFFu, 0xFFFF}};
    ASSERT_EQ(kor_srv_convert_board_to_ui_fault(odd, 4, table, KOR_UI_FAULT_COUNT), 0);
    EXPECT_TRUE(active_faults(table).empty());
}

TEST_F(FaultConversion, EmptyOrMissingInputIsRefused) {
    kor_test::LogCapture log;
    const board_fault_t one[] = {{205, 1}};
    EXPECT_EQ(kor_srv_convert_board_to_ui_fault(nullptr, 1, table, KOR_UI_FAULT_COUNT), -1);
    EXPECT_EQ(kor_srv_convert_board_to_ui_fault(one, 0, table, KOR_UI_FAULT_COUNT), -1);
    EXPECT_EQ(kor_srv_convert_board_to_ui_fault(one, 1, nullptr, KOR_UI_FAULT_COUNT), -1);
    EXPECT_EQ(kor_srv_convert_board_to_ui_fault(one, 1, table, 0), -1);
    EXPECT_EQ(log.count_containing("Invalid input parameter (kor_srv_faults:"), 4);
    EXPECT_TRUE(active_faults(table).empty());
    // A smaller table is filled only as far as it reaches.
    EXPECT_EQ(kor_srv_convert_board_to_ui_fault(one, 1, table, 7), 0);
    EXPECT_EQ(active_faults(table), (std::vector<int>{}));
    EXPECT_EQ(table[7].active, 0);
    EXPECT_EQ(kor_srv_convert_board_to_ui_fault(one, 1, table, 8), 0);
    EXPECT_EQ(active_faults(table), (std::vector<int>{7}));
}

// ---------------------------------------------------------------------------------------------
// Change detection, fault manager, board clears and cloud reports

class FaultNotify : public ::testing::Test {
  protected:
    void SetUp() override {
        rec = Recorder{};
        kor_srv_fill_ui_faults(ui_faults);
        srv = make_record();
        std::memset(&config, 0, sizeof(config));
        config.num_belts = 2;
        config.num_blowers = 4;
        config.inverter_hz_min = 450;
        config.inverter_hz_max = 700;
        std::strcpy(config.heating_active_probes, "12345x");
        config.heating_num_cavity_active_probes = 5;
        state.io_board_state = 6;
        state.belt_cook_time[0] = 330;
        state.belt_cook_time[1] = 200;
        // 75 % -> 560, 100 % -> 700, 65 % -> 490, 50 % -> 385 (below the minimum: reported 0)
        const uint16_t targets[4] = {75, 100, 65, 50};
        std::memcpy(state.blower_percent_target, targets, sizeof(targets));
        state.temp = 480;
        state.target_temp = 500;
        const uint16_t tcs[4] = {478, 481, 479, 482};
        std::memcpy(state.tc_readout, tcs, sizeof(tcs));
    }
    int32_t notify() {
        return kor_srv_notify_io_board_fault(&srv, fake_modbus(), fake_faultman(), &config, &state);
    }
    const Report *report_named(const std::string &name) const {
        for (const Report &r : rec.reports) {
            if (r.name == name)
                return &r;
        }
        return nullptr;
    }

    oven_operation_srv_t srv{};
    oven_config_t config{};
    operation_state_t state{};
    kor_test::LogCapture log;
};

TEST_F(FaultNotify, ResettableFaultIsRaisedClearedOnTheBoardAndClearedAgainInOneCall) {
    rec.board = {{206, 1}};
    ASSERT_EQ(notify(), 0);
    EXPECT_EQ(rec.sets, (std::vector<int32_t>{8}));
    EXPECT_EQ(rec.set_descriptions, (std::vector<std::string>{"Cooling fan is not running."}));
    EXPECT_EQ(rec.set_modules, (std::vector<std::string>{"kor_oven_operation_service"}));
    EXPECT_EQ(rec.board_clears, (std::vector<uint32_t>{206}));
    EXPECT_EQ(rec.clears, (std::vector<int32_t>{8}));
    EXPECT_TRUE(rec.raised.empty());
    ASSERT_EQ(rec.reports.size(), 1u);
    EXPECT_EQ(rec.reports[0].name, "fan_fault");
    EXPECT_EQ(rec.reports[0].fs, 1);

    // The lines in their order.
    std::vector<std::string> msgs;
    for (const auto &l : log.lines())
        msgs.push_back(l.message);
    const std::vector<std::string> expected = {
        "Reported - Fault: 8 - Reg: 206 - Value: 1 - Desc: Cooling fan is not running.",
        "Clear fault:206 on IO Board", "Reporting fault to Vellor - Fault: 8 - Status: 1"};
    auto at = std::search(msgs.begin(), msgs.end(), expected.begin(), expected.end());
    EXPECT_NE(at, msgs.end()) << log.dump();
}

// Every UI fault, raised alone through the real fault manager: the board word that raises it, the
// number and text the fault manager gets, whether the board word is cleared at once, and the
// cloud report it makes.
TEST_F(FaultNotify, EveryFaultOfTheTableIsRaisedByItsOwnBoardWordAlone) {
    constexpr int kAny = -1;
    constexpr int kLink = -2;
    struct Row {
        int n;
        int32_t code;
        int bit;  // kAny: any nonzero field; kLink: the Modbus link is down
        bool resettable;
        const char *report;  // nullptr: no cloud report
        const char *text;
    };
    const char *const closed =
        " sensor started closed at beginning of blower sense state and does not open before "
        "closing again (threshold 0 only).";
    const std::string blower_closed[] = {
        std::string("Blower #1") + closed, std::string("Blower #2") + closed,
        std::string("Blower #3") + closed, std::string("Blower #4") + closed};
    const Row rows[] = {
        {1, 199, 0, false, "belt_comm_lost", "Unable to communicate with drive board #1."},
        {2, 200, 0, true, "sensor_open", "Blower #1 is not running."},
        {3, 201, 0, false, "belt_stalled", "Belt #1 RPM is not close."},
        {4, 202, kAny, true, "heating_error", "Oven heat is insufficient."},
        {5, 203, 0, false, "probe_open", "Thermocouple #1 is broken."},
        {6, 204, kAny, false, "all_probes_open", "No thermocouples are available for PID."},
        {7, 205, kAny, false, "oven_over_temp", "Oven temperature goes above 650F."},
        {8, 206, kAny, true, "fan_fault", "Cooling fan is not running."},
        {9, 207, kAny, true, "reset_ignition", "Ignition Module is in lockout state."},
        {10, 208, 0, true, "sensor_closed", blower_closed[0].c_str()},
        {11, -1, kLink, false, "io_comm_lost", "Communication with IO board lost."},
        {12, 209, kAny, false, "high_temp_check_fans", "Control box above 150F"},
        {13, 210, kAny, false, "over_temp_check_fans", "Control box above 165F"},
        {14, 211, kAny, false, "probe_open", "Ambient Thermocouple Open"},
        {15, 212, kAny, false, nullptr, "IO Detects high limit relay has opened."},
        {16, 199, 1, false, "belt_comm_lost", "Unable to communicate with drive board #2."},
        {17, 200, 1, true, "sensor_open", "Blower #2 is not running."},
        {18, 200, 2, true, "sensor_open", "Blower #3 is not running."},
        {19, 200, 3, true, "sensor_open", "Blower #4 is not running."},
        {20, 201, 1, false, "belt_stalled", "Belt #2 RPM is not close."},
        {21, 203, 1, false, "probe_open", "Thermocouple #2 is broken."},
        {22, 203, 2, false, "probe_open", "Thermocouple #3 is broken."},
        {23, 203, 3, false, "probe_open", "Thermocouple #4 is broken."},
        {24, 203, 4, false, "probe_open", "Thermocouple #5 is broken."},
        {25, 208, 1, true, "sensor_closed", blower_closed[1].c_str()},
        {26, 208, 2, true, "sensor_closed", blower_closed[2].c_str()},
        {27, 208, 3, true, "sensor_closed", blower_closed[3].c_str()},
    };
    ASSERT_EQ(std::size(rows), static_cast<size_t>(KOR_UI_FAULT_COUNT - 1));
    srv.zeb_faultman_check = ::zeb_faultman_check;
    srv.zeb_faultman_set = ::zeb_faultman_set;
    srv.zeb_faultman_clear = ::zeb_faultman_clear;

    for (const Row &row : rows) {
        SCOPED_TRACE("fault " + std::to_string(row.n));
        zeb_faultman_t *fm = nullptr;
        ASSERT_EQ(0, zeb_faultman_init(KOR_UI_FAULT_COUNT, &fm));
        rec = Recorder{};
        log.clear();
        // "Any" codes get a high bit only, so a fault read as bit 0 would stay quiet.
        if (row.bit == kLink) {
            rec.board = {{199, 0}};
            rec.link_state = 0;
        } else {
            rec.board = {{static_cast<uint32_t>(row.code),
                          static_cast<uint16_t>(row.bit == kAny ? 0x8000 : 1U << row.bit)}};
        }
        EXPECT_EQ(0, kor_srv_notify_io_board_fault(&srv, fake_modbus(), fm, &config, &state));

        EXPECT_EQ(1, log.count_containing("Reported - Fault: ")) << log.dump();
        EXPECT_EQ(1, log.count("Reported - Fault: " + std::to_string(row.n) + " - Reg: " +
                               std::to_string(row.code) + " - Value: 1 - Desc: " + row.text))
            << log.dump();
        EXPECT_EQ(1, log.count("Fault " + std::to_string(row.n) + " raised: " + row.text));
        // A one-shot fault is cleared on the board and in the fault manager in the same call.
        EXPECT_EQ(row.resettable ? 0 : 1, zeb_faultman_check(fm, row.n));
        EXPECT_EQ(row.resettable ? std::vector<uint32_t>{static_cast<uint32_t>(row.code)}
                                 : std::vector<uint32_t>{},
                  rec.board_clears);
        std::vector<std::string> reports;
        for (const Report &r : rec.reports) {
            EXPECT_EQ(1, r.fs);
            reports.push_back(r.name);
        }
        EXPECT_EQ(row.report != nullptr ? std::vector<std::string>{row.report}
                                        : std::vector<std::string>{},
                  reports);
        EXPECT_EQ(0, zeb_faultman_uninit(fm));
    }
}

TEST_F(FaultNotify, AmbientThermocoupleOpenDisablesThermocoupleFive) {
    rec.board = {{211, 1}};
    ASSERT_EQ(notify(), 0);
    EXPECT_EQ(rec.sets, (std::vector<int32_t>{14}));
    EXPECT_TRUE(rec.board_clears.empty());
    EXPECT_EQ(rec.tc_texts, (std::vector<std::string>{"1234xx"}));
    EXPECT_EQ(rec.tc_masks, (std::vector<uint16_t>{0x0F}));
    EXPECT_EQ(count_of(rec.writes, "cfg_int:24,0,4"), 1);
    const Report *r = report_named("probe_open");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->fs, 1);

    // Still active next cycle: nothing new, TC5 not touched again.
    ASSERT_EQ(notify(), 0);
    EXPECT_EQ(rec.tc_masks.size(), 1u);
}

TEST_F(FaultNotify, LinkLossIsFaultElevenAndItsReturnClearsIt) {
    rec.board = {{199, 0}};
    rec.link_state = 0;
    ASSERT_EQ(notify(), 0);
    EXPECT_EQ(rec.sets, (std::vector<int32_t>{11}));
    ASSERT_EQ(rec.reports.size(), 1u);
    EXPECT_EQ(rec.reports[0].name, "io_comm_lost");
    EXPECT_EQ(rec.reports[0].fs, 1);
    EXPECT_EQ(rec.reports[0].state, 6);
    EXPECT_TRUE(log.contains(
        "Reported - Fault: 11 - Reg: -1 - Value: 1 - Desc: Communication with IO board lost."));

    rec.reports.clear();
    rec.link_state = 1;
    state.io_board_state = 0;
    ASSERT_EQ(notify(), 0);
    EXPECT_EQ(rec.clears, (std::vector<int32_t>{11}));
    ASSERT_EQ(rec.reports.size(), 1u);
    EXPECT_EQ(rec.reports[0].name, "io_comm_lost");
    EXPECT_EQ(rec.reports[0].fs, 0);
    EXPECT_EQ(rec.reports[0].state, 0);
    EXPECT_TRUE(log.contains(
        "Cleared - Fault: 11 - Reg: -1 - Value: 0 - Desc: Communication with IO board lost."));
    EXPECT_TRUE(log.contains("Reporting fault to Vellor - Fault: 11 - Status: 0"));
}

TEST_F(FaultNotify, FaultAlreadyRaisedAndStillActiveIsQuiet) {
    rec.board = {{205, 2}};
    rec.raised = {7};
    ASSERT_EQ(notify(), 0);
    EXPECT_TRUE(rec.sets.empty());
    EXPECT_TRUE(rec.clears.empty());
    EXPECT_TRUE(rec.reports.empty());
    EXPECT_EQ(log.count_containing("Fault: 7"), 0) << log.dump();
    EXPECT_EQ(rec.checks, KOR_UI_FAULT_COUNT - 1);
}

TEST_F(FaultNotify, ReportsCarryTheReadingsOfTheirKind) {
    rec.board = {{199, 0x01}, {200, 0x01}, {203, 0x02}, {208, 0x08}, {204, 1}};
    rec.raised = {3};  // belt 1 RPM was off and is fine now
    ASSERT_EQ(notify(), 0);

    const Report *belt = report_named("belt_comm_lost");
    ASSERT_NE(belt, nullptr);
    EXPECT_EQ(belt->fs, 1);
    EXPECT_EQ(belt->values, (std::vector<uint16_t>{330, 200}));

    const Report *blower = report_named("sensor_open");
    ASSERT_NE(blower, nullptr);
    EXPECT_EQ(blower->state, 6);
    EXPECT_EQ(blower->values, (std::vector<uint16_t>{560, 700, 490, 0}));

    const Report *closed = report_named("sensor_closed");
    ASSERT_NE(closed, nullptr);
    EXPECT_EQ(closed->values, (std::vector<uint16_t>{560, 700, 490, 0}));

    const Report *tc = report_named("probe_open");
    ASSERT_NE(tc, nullptr);
    EXPECT_EQ(tc->state, 6);
    EXPECT_EQ(tc->temp, 480);
    EXPECT_EQ(tc->sp, 500);
    // Five configured probes, but the snapshot holds four read-outs: never more are sent.
    EXPECT_EQ(tc->values, (std::vector<uint16_t>{478, 481, 479, 482}));

    const Report *none = report_named("all_probes_open");
    ASSERT_NE(none, nullptr);
    EXPECT_EQ(none->state, 6);

    const Report *stalled = report_named("belt_stalled");
    ASSERT_NE(stalled, nullptr);
    EXPECT_EQ(stalled->fs, 0);
    EXPECT_EQ(stalled->state, 6);
    EXPECT_EQ(stalled->values, (std::vector<uint16_t>{330, 200}));

    // Resettable blower faults went back to the board with their own codes.
    EXPECT_EQ(rec.board_clears, (std::vector<uint32_t>{200, 208}));
    EXPECT_EQ(rec.raised, (std::set<int32_t>{1, 6, 21}));
}

TEST_F(FaultNotify, HighLimitRelayIsRaisedWithoutACloudReport) {
    rec.board = {{212, 1}};
    config.num_belts = 1;
    ASSERT_EQ(notify(), 0);
    EXPECT_EQ(rec.sets, (std::vector<int32_t>{15}));
    EXPECT_TRUE(rec.reports.empty());
}

TEST_F(FaultNotify, FailuresDoNotStopTheLoop) {
    rec.board = {{203, 0x03}, {206, 1}};
    rec.set_rc = -5;
    EXPECT_EQ(notify(), -1);
    EXPECT_EQ(rec.sets, (std::vector<int32_t>{5, 8, 21}));
    EXPECT_EQ(rec.reports.size(), 3u);
    EXPECT_EQ(log.count("Fault manager operation FAILED! Error: -5."), 3);

    // Board clear and cloud report both refused: the fault manager is still cleared, every
    // fault is still reported.
    rec = Recorder{};
    rec.board = {{206, 1}, {207, 1}, {209, 1}};
    rec.board_clear_rc = -1;
    rec.report_rc = -3;
    log.clear();
    EXPECT_EQ(notify(), -1);
    EXPECT_EQ(rec.board_clears, (std::vector<uint32_t>{206, 207}));
    EXPECT_EQ(rec.clears, (std::vector<int32_t>{8, 9}));
    EXPECT_EQ(rec.raised, (std::set<int32_t>{12}));
    EXPECT_EQ(rec.reports.size(), 3u);
    EXPECT_TRUE(log.contains("Clear resettable fault FAILED! Fault:206 - Error: -1."));
    EXPECT_TRUE(log.contains("Telvo fault report FAILED! Error: -3. Fault: 12"));

    // TC5 cannot be disabled: logged, and the report still goes out.
    rec = Recorder{};
    rec.board = {{211, 1}};
    srv.kor_set_heater_tc_enable = [](modbus_data_t *, uint16_t) -> int { return -7; };
    log.clear();
    EXPECT_EQ(notify(), -1);
    EXPECT_TRUE(log.contains("Disable TC5 after error FAILED! Error: -7."));
    EXPECT_NE(report_named("probe_open"), nullptr);
}

TEST_F(FaultNotify, FailedReadOrConversionLeavesTheFaultManagerAlone) {
    rec.raised = {5};
    rec.get_faults_rc = -4;
    rec.board = {{211, 1}};
    EXPECT_EQ(notify(), -4);
    EXPECT_TRUE(log.contains("Read oven faults FAILED! Error: -4"));

    rec.get_faults_rc = 0;
    rec.board.clear();  // an empty list cannot be converted
    rec.link_state = 0;
    EXPECT_EQ(notify(), -1);
    EXPECT_TRUE(log.contains("Conversion from board to UI faults FAILED! Error: -1"));

    EXPECT_EQ(rec.checks, 0);
    EXPECT_TRUE(rec.sets.empty());
    EXPECT_TRUE(rec.clears.empty());
    EXPECT_TRUE(rec.reports.empty());
    EXPECT_EQ(rec.raised, (std::set<int32_t>{5}));
}

// The control thread's fault detection and a power-on's re-send at the same time, on the real
// board fault table and the real fault manager: both rewrite the UI fault table, and both take
// the board's table. Meant for ThreadSanitizer, which reports any access the locks leave open.
TEST(FaultScanRace, DetectionAndResendRunTogether) {
    kor_test::LogCapture log;
    rec = Recorder{};
    kor_srv_fill_ui_faults(ui_faults);
    ASSERT_EQ(0, kor_oven_init_structures());
    oven_operation_srv_t srv = make_record();
    srv.kor_oven_get_faults = ::kor_oven_get_faults;
    srv.kor_oven_get_modbus_connection_state = ::kor_oven_get_modbus_connection_state;
    srv.zeb_faultman_check = ::zeb_faultman_check;
    srv.zeb_faultman_set = ::zeb_faultman_set;
    srv.zeb_faultman_clear = ::zeb_faultman_clear;
    zeb_faultman_t *fm = nullptr;
    ASSERT_EQ(0, zeb_faultman_init(KOR_UI_FAULT_COUNT, &fm));
    oven_config_t config{};
    operation_state_t state{};

    // No link yet: the communication fault is the one active fault for both.
    constexpr int kRounds = 200;
    int notify_failures = 0;
    int resend_failures = 0;
    std::thread control([&] {
        for (int i = 0; i < kRounds; ++i) {
            notify_failures +=
                kor_srv_notify_io_board_fault(&srv, fake_modbus(), fm, &config, &state) != 0;
        }
    });
    for (int i = 0; i < kRounds; ++i) {
        resend_failures += kor_srv_resend_io_board_fault(&srv, fm) != 0;
    }
    control.join();
    EXPECT_EQ(0, notify_failures);
    EXPECT_EQ(0, resend_failures);
    EXPECT_EQ(1, zeb_faultman_check(fm, 11));
    EXPECT_EQ(1, ui_faults[11].active);
    EXPECT_EQ(0, zeb_faultman_uninit(fm));
}

TEST_F(FaultNotify, ResendClearsEverythingAndRaisesOnlyWhatIsActive) {
    rec.board = {{199, 0}, {205, 0}};
    rec.raised = {3, 7};
    ASSERT_EQ(kor_srv_resend_io_board_fault(&srv, fake_faultman()), 0);
    std::vector<int32_t> all;
    for (int n = 1; n < KOR_UI_FAULT_COUNT; ++n)
        all.push_back(n);
    EXPECT_EQ(rec.clears, all);
    EXPECT_TRUE(rec.sets.empty());
    EXPECT_TRUE(rec.raised.empty());
    EXPECT_TRUE(log.contains("Scanning IO Board for active faults."));
    EXPECT_TRUE(log.contains("No active faults found on IO Board."));

    rec = Recorder{};
    rec.board = {{205, 1}, {206, 1}};
    rec.link_state = 0;
    log.clear();
    ASSERT_EQ(kor_srv_resend_io_board_fault(&srv, fake_faultman()), 0);
    EXPECT_EQ(rec.sets, (std::vector<int32_t>{7, 8, 11}));
    EXPECT_TRUE(rec.board_clears.empty());
    EXPECT_TRUE(rec.reports.empty());
    EXPECT_FALSE(log.contains("No active faults found on IO Board."));
    EXPECT_TRUE(log.contains(
        "Reported - Fault: 8 - Reg: 206 - Value: 1 - Desc: Cooling fan is not running."));

    rec = Recorder{};
    rec.board = {{205, 1}};
    rec.clear_rc = -9;
    log.clear();
    EXPECT_EQ(kor_srv_resend_io_board_fault(&srv, fake_faultman()), -9);
    EXPECT_EQ(rec.clears, (std::vector<int32_t>{1}));
    EXPECT_TRUE(rec.sets.empty());
    EXPECT_TRUE(log.contains("Clearing faults has FAILED! Error: -9"));
    EXPECT_TRUE(log.contains("Reporting faults has FAILED! Error: -9"));
}

// ---------------------------------------------------------------------------------------------
// Configuration changes against the real configuration library

class ConfigChange : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        zeb_logger_open(&logger);
        ASSERT_EQ(kor_load_oven_config(store_dir().c_str(), logger), 0);
    }
    static void TearDownTestSuite() { zeb_logger_close(logger); }
    static std::string store_dir() { return kor_test::source_dir() + "/data/config"; }

    void SetUp() override {
        ASSERT_EQ(kor_reload_oven_config(store_dir().c_str(), logger), 0);
        rec = Recorder{};
        rec.state.belt_cook_time[0] = 330;
        rec.state.belt_cook_time[1] = 330;
        srv = make_record();
        srv.kor_get_oven_config = kor_get_oven_config;
        srv.kor_config_update_setting_int = [](uint32_t key, int32_t index,
                                               int32_t value) -> int32_t {
            if (static_cast<int>(key) == rec.config_int_fail_key &&
                index == rec.config_int_fail_index) {
                return -1;
            }
            return kor_config_update_setting_int(key, index, value);
        };
        srv.kor_config_update_setting_flt = kor_config_update_setting_flt;
        srv.kor_config_update_setting_str = kor_config_update_setting_str;
    }
    int32_t change(int32_t setting, int32_t value) {
        return kor_srv_config_setting_changed(&srv, fake_modbus(), setting, value);
    }
    static oven_config_t current() {
        oven_config_t c{};
        kor_get_oven_config(&c);
        return c;
    }

    static inline zeb_logger_t *logger = nullptr;
    oven_operation_srv_t srv{};
    kor_test::LogCapture log;
};

TEST_F(ConfigChange, RpmModifierRewritesTheBeltSpeedFromTheOperatorsCookTime) {
    ASSERT_EQ(change(56, 200), 0);
    EXPECT_EQ(current().belt[0].rpm_modifier_percent, 200);
    EXPECT_EQ(current().belt[1].rpm_modifier_percent, 100);
    EXPECT_EQ(count_of(rec.writes, "belt_speed:1,724"), 1);
    EXPECT_EQ(count_of(rec.writes, "state_cook_time:0,330"), 1);
    EXPECT_TRUE(log.contains("Oven config setting changed. Setting: 56, value: 200"));
    EXPECT_TRUE(log.contains("Recalculating belt RPM for IO Board"));
}

TEST_F(ConfigChange, ConveyorPitchArrivesInHundredths) {
    ASSERT_EQ(change(6, 275), 0);
    EXPECT_FLOAT_EQ(current().belt[0].belt_shaft, 2.75f);
    EXPECT_EQ(count_of(rec.writes, "belt_speed:1,724"), 1);
    rec.writes.clear();
    ASSERT_EQ(change(6, 550), 0);
    EXPECT_FLOAT_EQ(current().belt[0].belt_shaft, 5.5f);
    EXPECT_EQ(count_of(rec.writes, "belt_speed:1,362"), 1);

    ASSERT_EQ(change(7, 1100), 0);
    EXPECT_FLOAT_EQ(current().belt[1].belt_shaft, 11.0f);
    EXPECT_EQ(count_of(rec.writes, "belt_speed:2,181"), 1);
}

TEST_F(ConfigChange, CookTimeSettingWritesTheBeltTwice) {
    ASSERT_EQ(change(16, 400), 0);
    EXPECT_EQ(current().belt[0].cook_time, 400);
    const std::vector<std::string> speeds = {"belt_speed:1,400", "belt_speed:1,362"};
    std::vector<std::string> got;
    for (const auto &s : rec.writes)
        if (s.rfind("belt_speed:", 0) == 0)
            got.push_back(s);
    EXPECT_EQ(got, speeds);
}

TEST_F(ConfigChange, BoardWritesOfBlowersAndBelts) {
    ASSERT_EQ(change(43, 60), 0);
    EXPECT_EQ(rec.writes, (std::vector<std::string>{"blower_speed:2,600"}));

    rec.writes.clear();
    ASSERT_EQ(change(40, 45), 0);
    EXPECT_EQ(rec.writes, (std::vector<std::string>{"hz_startup:1,450", "hz_startup:2,450",
                                                    "hz_startup:3,450", "hz_startup:4,450"}));

    rec.writes.clear();
    ASSERT_EQ(change(49, 1500), 0);
    EXPECT_EQ(rec.writes, (std::vector<std::string>{"pulse_threshold:4,1500"}));

    rec.writes.clear();
    ASSERT_EQ(change(19, 2), 0);
    EXPECT_EQ(current().num_belts, 2);
    EXPECT_EQ(rec.writes, (std::vector<std::string>{"belt_enabled:3"}));
    rec.writes.clear();
    ASSERT_EQ(change(19, 1), 0);
    EXPECT_EQ(current().num_belts, 1);
    EXPECT_EQ(rec.writes, (std::vector<std::string>{"belt_enabled:1"}));
}

TEST_F(ConfigChange, ThermocoupleSettingsGoThroughTcEnable) {
    ASSERT_EQ(change(32, 0), 0);
    EXPECT_STREQ(current().heating_active_probes, "12x4xx");
    EXPECT_EQ(current().heating_num_cavity_active_probes, 3);
    EXPECT_EQ(rec.tc_masks, (std::vector<uint16_t>{0x0B}));
    EXPECT_EQ(count_of(rec.writes, "notify_tc:3,12x4xx"), 1);

    // Works on the record as it is now, not on an older copy.
    ASSERT_EQ(change(34, 1), 0);
    EXPECT_STREQ(current().heating_active_probes, "12x45x");
    EXPECT_EQ(current().heating_num_cavity_active_probes, 4);
    EXPECT_EQ(rec.tc_masks, (std::vector<uint16_t>{0x0B, 0x1B}));
}

TEST_F(ConfigChange, SettingsWithoutActionOnlyLog) {
    for (int32_t setting : {29, 35, 61, -1, 1000}) {
        log.clear();
        EXPECT_EQ(change(setting, 7), 0);
        EXPECT_EQ(log.count("Oven config setting changed. Setting: " + std::to_string(setting) +
                            ", value: 7"),
                  1);
        EXPECT_EQ(log.lines().size(), 1u) << log.dump();
    }
    EXPECT_TRUE(rec.writes.empty());
}

TEST_F(ConfigChange, FirstFailureEndsTheChangeWithoutRollback) {
    rec.config_int_fail_key = KOR_CONFIG_BELT_MIN_RPM;
    rec.config_int_fail_index = 1;
    EXPECT_EQ(change(8, 150), -1);
    EXPECT_EQ(current().belt[0].min_rpm, 150);
    EXPECT_EQ(current().belt[1].min_rpm, 100);
    EXPECT_TRUE(rec.writes.empty());
    EXPECT_TRUE(log.contains("Oven config setting changed FAILED! Error: -1"));

    // A failed constant change skips the belt recalculation.
    rec.config_int_fail_key = KOR_CONFIG_BELT_RPM_MODIFIER_PERCENT;
    rec.config_int_fail_index = 0;
    EXPECT_EQ(change(56, 200), -1);
    EXPECT_TRUE(rec.writes.empty());
    EXPECT_TRUE(log.contains("Recalculating belt RPM for IO Board"));

    // Without the failure both belts get the new bound.
    rec.config_int_fail_key = -1;
    EXPECT_EQ(change(8, 150), 0);
    EXPECT_EQ(rec.writes, (std::vector<std::string>{"belt_min_rpm:1,150", "belt_min_rpm:2,150"}));
    EXPECT_EQ(current().belt[1].min_rpm, 150);

    EXPECT_EQ(kor_srv_config_setting_changed(nullptr, fake_modbus(), 8, 1), -1);
    EXPECT_EQ(kor_srv_config_setting_changed(&srv, nullptr, 8, 1), -1);
    EXPECT_EQ(log.count_containing("Invalid input parameter (kor_srv_config_changes:"), 2);
}

}  // namespace
