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

// Every setting the UI can change: which field of the record it changes (key and element index),
// how its value is scaled, what reaches the board, and whether a belt's speed is rewritten from
// the operator's cook time (330 s for both belts here) with the new constants.
class ConfigChangeTable : public ConfigChange {
  protected:
    void SetUp() override {
        ConfigChange::SetUp();
#define RECORD_WORD(entry, name) \
    srv.entry = [](modbus_data_t *, uint16_t v) -> int { return record_write(w(name, v)); }
        RECORD_WORD(kor_set_belt_enable_test, "belt_enable_test");
        RECORD_WORD(kor_set_heater_enable_relay_test, "heater_relay_test");
        RECORD_WORD(kor_set_heater_level_setting_test, "heater_level_test");
        RECORD_WORD(kor_set_heater_energy_limit, "energy_limit");
        RECORD_WORD(kor_set_heater_attenuation_enable, "attenuation_enable");
        RECORD_WORD(kor_set_heater_attenuation_threshold, "attenuation_threshold");
        RECORD_WORD(kor_set_heater_attenuation_delay, "attenuation_delay");
        RECORD_WORD(kor_set_heater_pid_p, "pid_p");
        RECORD_WORD(kor_set_heater_pid_i, "pid_i");
        RECORD_WORD(kor_set_heater_pid_d, "pid_d");
        RECORD_WORD(kor_oven_set_machine_config, "machine_config");
        RECORD_WORD(kor_set_heater_manifold_valve_test, "manifold_test");
        RECORD_WORD(kor_set_heater_attenuation_relay_no_nc, "attenuation_relay");
        RECORD_WORD(kor_set_blower_enable_relay_test, "blower_relay_test");
        RECORD_WORD(kor_set_heater_photocell_enable, "photocell_enable");
        RECORD_WORD(kor_set_heater_photocell_delay, "photocell_delay");
        RECORD_WORD(kor_set_heater_autotune_enable, "autotune");
        RECORD_WORD(kor_oven_set_panel_switch_enable, "panel_switch");
        RECORD_WORD(kor_oven_set_heat_high_limit_enable, "high_limit");
#undef RECORD_WORD
        srv.kor_set_belt_direction = [](modbus_data_t *, int32_t belt, uint16_t v) -> int {
            return record_write(w("belt_direction", belt, v));
        };
        srv.kor_set_blower_hz_cooldown = [](modbus_data_t *, int32_t blower, uint16_t v) -> int {
            return record_write(w("hz_cooldown", blower, v));
        };
    }
};

TEST_F(ConfigChangeTable, EverySettingChangesItsFieldScalesItsValueAndRewritesItsBelt) {
    using Edit = void (*)(oven_config_t &);
    using Writes = std::vector<std::string>;
    struct Row {
        int32_t setting;
        int32_t value;
        Edit edit;  // what the change does to the record; nullptr for nothing
        Writes board;
        int belt;  // belt whose speed follows, 0 for none
    };
    // The sample store: teeth 15/15, ratio 200, pitch 5.5, RPM 100-3000, cook times 60-1200,
    // probes 1234xx (4 active), two belts.
    const Row rows[] = {
        {0, 17, [](oven_config_t &c) { c.belt[0].belt_conveyor_teeth = 17; }, {}, 1},
        {1, 18, [](oven_config_t &c) { c.belt[1].belt_conveyor_teeth = 18; }, {}, 2},
        {2, 14, [](oven_config_t &c) { c.belt[0].belt_motor_teeth = 14; }, {}, 1},
        {3, 13, [](oven_config_t &c) { c.belt[1].belt_motor_teeth = 13; }, {}, 2},
        {4, 190, [](oven_config_t &c) { c.belt[0].belt_motor_ratio = 190; }, {}, 1},
        {5, 210, [](oven_config_t &c) { c.belt[1].belt_motor_ratio = 210; }, {}, 2},
        {6, 560, [](oven_config_t &c) { c.belt[0].belt_shaft = 5.6f; }, {}, 1},
        {7, 575, [](oven_config_t &c) { c.belt[1].belt_shaft = 5.75f; }, {}, 2},
        {8,
         150,
         [](oven_config_t &c) { c.belt[0].min_rpm = c.belt[1].min_rpm = 150; },
         {"belt_min_rpm:1,150", "belt_min_rpm:2,150"},
         0},
        {9,
         2800,
         [](oven_config_t &c) { c.belt[0].max_rpm = c.belt[1].max_rpm = 2800; },
         {"belt_max_rpm:1,2800", "belt_max_rpm:2,2800"},
         0},
        {10, 70, [](oven_config_t &c) { c.belt[0].belt_min_cook_time = 70; }, {}, 0},
        {11, 1100, [](oven_config_t &c) { c.belt[0].belt_max_cook_time = 1100; }, {}, 0},
        {12, 75, [](oven_config_t &c) { c.belt[1].belt_min_cook_time = 75; }, {}, 0},
        {13, 1150, [](oven_config_t &c) { c.belt[1].belt_max_cook_time = 1150; }, {}, 0},
        {14, 1, nullptr, {"belt_enable_test:1"}, 0},
        {15, 2, nullptr, {"belt_enable_test:2"}, 0},
        {16, 400, [](oven_config_t &c) { c.belt[0].cook_time = 400; }, {"belt_speed:1,400"}, 1},
        {17, 410, [](oven_config_t &c) { c.belt[1].cook_time = 410; }, {"belt_speed:2,410"}, 2},
        {18, 1, nullptr, {"belt_direction:1,1", "belt_direction:2,1"}, 0},
        {19, 1, [](oven_config_t &c) { c.num_belts = 1; }, {"belt_enabled:1"}, 0},
        {20, 21, nullptr, {"heater_relay_test:21"}, 0},
        {21, 22, nullptr, {"heater_level_test:22"}, 0},
        {22, 23, nullptr, {"energy_limit:23"}, 0},
        {23, 24, nullptr, {"attenuation_enable:24"}, 0},
        {24, 25, nullptr, {"attenuation_threshold:25"}, 0},
        {25, 26, nullptr, {"attenuation_delay:26"}, 0},
        {26, 27, nullptr, {"pid_p:27"}, 0},
        {27, 28, nullptr, {"pid_i:28"}, 0},
        {28, 29, nullptr, {"pid_d:29"}, 0},
        {29, 30, nullptr, {}, 0},
        {30,
         0,
         [](oven_config_t &c) { std::strcpy(c.heating_active_probes, "x234xx"); },
         {"tc_enable:14", "notify_tc:3,x234xx"},
         0},
        {31,
         0,
         [](oven_config_t &c) { std::strcpy(c.heating_active_probes, "1x34xx"); },
         {"tc_enable:13", "notify_tc:3,1x34xx"},
         0},
        {32,
         0,
         [](oven_config_t &c) { std::strcpy(c.heating_active_probes, "12x4xx"); },
         {"tc_enable:11", "notify_tc:3,12x4xx"},
         0},
        {33,
         0,
         [](oven_config_t &c) { std::strcpy(c.heating_active_probes, "123xxx"); },
         {"tc_enable:7", "notify_tc:3,123xxx"},
         0},
        {34,
         5,
         [](oven_config_t &c) { std::strcpy(c.heating_active_probes, "12345x"); },
         {"tc_enable:31", "notify_tc:5,12345x"},
         0},
        {35, 36, nullptr, {}, 0},
        {36, 2, nullptr, {"machine_config:2"}, 0},
        {37, 38, nullptr, {"manifold_test:38"}, 0},
        {38, 39, nullptr, {"attenuation_relay:39"}, 0},
        {39, 40, nullptr, {"blower_relay_test:40"}, 0},
        {40,
         46,
         nullptr,
         {"hz_startup:1,460", "hz_startup:2,460", "hz_startup:3,460", "hz_startup:4,460"},
         0},
        {41,
         47,
         nullptr,
         {"hz_cooldown:1,470", "hz_cooldown:2,470", "hz_cooldown:3,470", "hz_cooldown:4,470"},
         0},
        {42, 51, nullptr, {"blower_speed:1,510"}, 0},
        {43, 60, nullptr, {"blower_speed:2,600"}, 0},
        {44, 53, nullptr, {"blower_speed:3,530"}, 0},
        {45, 54, nullptr, {"blower_speed:4,540"}, 0},
        {46, 1201, nullptr, {"pulse_threshold:1,1201"}, 0},
        {47, 1202, nullptr, {"pulse_threshold:2,1202"}, 0},
        {48, 1203, nullptr, {"pulse_threshold:3,1203"}, 0},
        {49, 1500, nullptr, {"pulse_threshold:4,1500"}, 0},
        {50, 1, nullptr, {"photocell_enable:1"}, 0},
        {51, 52, nullptr, {"photocell_delay:52"}, 0},
        {52, 310, [](oven_config_t &c) { c.heating_temp_min = 310; }, {}, 0},
        {53, 590, [](oven_config_t &c) { c.heating_temp_max = 590; }, {}, 0},
        {54, 15, [](oven_config_t &c) { c.belt[0].tweak_speed_percent = 15; }, {}, 1},
        {55, -15, [](oven_config_t &c) { c.belt[1].tweak_speed_percent = -15; }, {}, 2},
        {56, 200, [](oven_config_t &c) { c.belt[0].rpm_modifier_percent = 200; }, {}, 1},
        {57, 30, [](oven_config_t &c) { c.belt[1].rpm_modifier_percent = 30; }, {}, 2},
        {58, 1, nullptr, {"autotune:1"}, 0},
        {59, 0, nullptr, {"panel_switch:0"}, 0},
        {60, 1, nullptr, {"high_limit:1"}, 0},
    };
    ASSERT_EQ(61u, std::size(rows));
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const Row &row = rows[i];
        ASSERT_EQ(static_cast<int32_t>(i), row.setting);
        SCOPED_TRACE("setting " + std::to_string(row.setting));
        ASSERT_EQ(kor_reload_oven_config(store_dir().c_str(), logger), 0);
        rec.writes.clear();
        oven_config_t expected = current();
        if (row.edit != nullptr) {
            row.edit(expected);
        }
        // The active-probe count follows the probes text.
        int32_t active = 0;
        for (int32_t p = 1; p <= 6 && expected.heating_active_probes[p - 1] != '\0'; ++p) {
            active += expected.heating_active_probes[p - 1] == '0' + p ? 1 : 0;
        }
        expected.heating_num_cavity_active_probes = active;

        ASSERT_EQ(change(row.setting, row.value), 0) << log.dump();
        const oven_config_t after = current();
        EXPECT_EQ(0, std::memcmp(&expected, &after, sizeof after))
            << "the record changed elsewhere than the setting's field";

        Writes board = row.board;
        if (row.belt != 0) {
            int32_t rpm = 0;
            ASSERT_EQ(0, kor_srv_convert_cook_time_to_rpm(330, row.belt, &after, &rpm));
            const std::string b = std::to_string(row.belt);
            const std::string r = std::to_string(rpm);
            board.insert(board.end(),
                         {"state_cook_time:" + std::to_string(row.belt - 1) + ",330",
                          "belt_speed:" + b + "," + r, "stats_belt_time:" + b + "," + r,
                          "stats_run_time:" + b + "," + r, "photoeye_timeout:495"});
        }
        EXPECT_EQ(board, rec.writes);
    }
}

TEST_F(ConfigChangeTable, ValuesTheirRegisterCannotHoldAreRefusedBeforeAnyWrite) {
    struct Row {
        int32_t setting;
        int32_t value;
    };
    // Board words are 16 bits; frequencies go in tenths of Hz, so 6553 Hz is the most.
    const Row rows[] = {{8, -1},    {9, 65536}, {16, 70000}, {18, -2},    {36, 65536},
                        {40, 6554}, {41, -1},   {42, 7000},  {49, 65536}, {60, -1}};
    const oven_config_t before = current();
    for (const Row &row : rows) {
        SCOPED_TRACE("setting " + std::to_string(row.setting));
        log.clear();
        EXPECT_EQ(change(row.setting, row.value), -1);
        EXPECT_TRUE(rec.writes.empty()) << ::testing::PrintToString(rec.writes);
        const oven_config_t after = current();
        EXPECT_EQ(0, std::memcmp(&before, &after, sizeof after));
        EXPECT_EQ(1, log.count_containing("Refusing config setting " + std::to_string(row.setting) +
                                          ": value " + std::to_string(row.value) + " out of range"))
            << log.dump();
    }
    // The largest values that fit are taken.
    EXPECT_EQ(change(40, 6553), 0);
    EXPECT_EQ(change(36, 65535), 0);
    EXPECT_EQ(rec.writes, (std::vector<std::string>{"hz_startup:1,65530", "hz_startup:2,65530",
                                                    "hz_startup:3,65530", "hz_startup:4,65530",
                                                    "machine_config:65535"}));
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
