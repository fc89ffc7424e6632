// The oven operation service: the layer between the oven manager's control logic and everything
// it drives (IO board registers, fault manager, configuration, statistics, cloud reports, UI
// notifications). The service never calls those directly: every outside operation is an entry of
// one record, oven_operation_srv_t, bound by kor_srv_init, so a test can replace any of them.
//
// The record is internal to the oven manager and its tests (C++): each entry is named after the
// operation it is bound to and has that operation's exact type.
#pragma once

#include <stdint.h>

#include "kor_belt.h"
#include "kor_blower.h"
#include "kor_heater.h"
#include "kor_modbus.h"
#include "kor_operation_state.h"
#include "kor_oven_config.h"
#include "kor_oven_conversions.h"
#include "kor_oven_notify.h"
#include "kor_oven_stats.h"
#include "kor_oven_status.h"
#include "kor_oven_telvo.h"
#include "zeb_common.h"
#include "zeb_faultman.h"

#define KOR_SRV_ENTRY(fn) decltype(&::fn) fn

// The 81 entries in their order; entry 43 is never bound and never called.
struct oven_operation_srv_t {
    KOR_SRV_ENTRY(kor_oven_set_oven_enable);                     // 1
    KOR_SRV_ENTRY(kor_oven_set_machine_config);                  // 2
    KOR_SRV_ENTRY(kor_set_heater_target_temp);                   // 3
    KOR_SRV_ENTRY(kor_set_belt_speed);                           // 4
    KOR_SRV_ENTRY(kor_set_belt_min_rpm);                         // 5
    KOR_SRV_ENTRY(kor_set_belt_max_rpm);                         // 6
    KOR_SRV_ENTRY(kor_set_belt_enable_test);                     // 7
    KOR_SRV_ENTRY(kor_set_belt_direction);                       // 8
    KOR_SRV_ENTRY(kor_set_belt_enabled);                         // 9
    KOR_SRV_ENTRY(kor_state_set_belt_cook_time);                 // 10
    KOR_SRV_ENTRY(kor_stats_set_belt_time);                      // 11
    KOR_SRV_ENTRY(kor_stats_set_belt_run_time);                  // 12
    KOR_SRV_ENTRY(kor_set_photoeye_timeout);                     // 13
    KOR_SRV_ENTRY(kor_set_blower_speed);                         // 14
    KOR_SRV_ENTRY(kor_set_blower_enable_relay_test);             // 15
    KOR_SRV_ENTRY(kor_set_blower_hz_startup);                    // 16
    KOR_SRV_ENTRY(kor_set_blower_hz_cooldown);                   // 17
    KOR_SRV_ENTRY(kor_set_blower_speed_sense_error);             // 18
    KOR_SRV_ENTRY(kor_set_blower_speed_sensor_configuration);    // 19
    KOR_SRV_ENTRY(kor_set_heater_photocell_enable);              // 20
    KOR_SRV_ENTRY(kor_set_heater_photocell_delay);               // 21
    KOR_SRV_ENTRY(kor_set_heater_attenuation_enable);            // 22
    KOR_SRV_ENTRY(kor_set_heater_attenuation_threshold);         // 23
    KOR_SRV_ENTRY(kor_set_heater_attenuation_delay);             // 24
    KOR_SRV_ENTRY(kor_set_heater_pid_p);                         // 25
    KOR_SRV_ENTRY(kor_set_heater_pid_i);                         // 26
    KOR_SRV_ENTRY(kor_set_heater_pid_d);                         // 27
    KOR_SRV_ENTRY(kor_set_heater_tc_enable);                     // 28
    KOR_SRV_ENTRY(kor_set_heater_enable_relay_test);             // 29
    KOR_SRV_ENTRY(kor_set_heater_energy_limit);                  // 30
    KOR_SRV_ENTRY(kor_set_heater_level_setting_test);            // 31
    KOR_SRV_ENTRY(kor_set_heater_manifold_valve_test);           // 32
    KOR_SRV_ENTRY(kor_set_heater_attenuation_relay_no_nc);       // 33
    KOR_SRV_ENTRY(kor_set_heater_autotune_enable);               // 34
    KOR_SRV_ENTRY(kor_set_inverter_pulse_threshold);             // 35
    KOR_SRV_ENTRY(kor_oven_set_panel_switch_enable);             // 36
    KOR_SRV_ENTRY(kor_oven_set_heat_high_limit_enable);          // 37
    KOR_SRV_ENTRY(kor_oven_set_time);                            // 38
    KOR_SRV_ENTRY(kor_oven_get_faults);                          // 39
    KOR_SRV_ENTRY(kor_oven_clear_fault);                         // 40
    KOR_SRV_ENTRY(kor_oven_get_diagnostic_reg_data);             // 41
    KOR_SRV_ENTRY(notify_diagnostic_registers);                  // 42
    void *unused_43;                                             // 43
    KOR_SRV_ENTRY(kor_oven_init_structures);                     // 44
    KOR_SRV_ENTRY(kor_oven_init);                                // 45
    KOR_SRV_ENTRY(kor_init_blower);                              // 46
    KOR_SRV_ENTRY(kor_heater_init);                              // 47
    KOR_SRV_ENTRY(kor_belt_init);                                // 48
    KOR_SRV_ENTRY(kor_oven_subscribe_to_register_blocks);        // 49
    KOR_SRV_ENTRY(zeb_faultman_check);                           // 50
    KOR_SRV_ENTRY(zeb_faultman_set);                             // 51
    KOR_SRV_ENTRY(zeb_faultman_clear);                           // 52
    KOR_SRV_ENTRY(zeb_timer_initialize);                         // 53
    KOR_SRV_ENTRY(zeb_timer_set_interval);                       // 54
    KOR_SRV_ENTRY(kor_oven_get_thermocouple_reg);                // 55
    KOR_SRV_ENTRY(kor_oven_get_reset_ignition_reg);              // 56
    KOR_SRV_ENTRY(kor_oven_get_blower_speed_reg);                // 57
    KOR_SRV_ENTRY(kor_oven_get_belt_speed_reg);                  // 58
    KOR_SRV_ENTRY(kor_oven_get_modbus_connection_state);         // 59
    KOR_SRV_ENTRY(kor_telvo_report_fault_io_comm_lost);          // 60
    KOR_SRV_ENTRY(kor_telvo_report_fault_all_probes_open);       // 61
    KOR_SRV_ENTRY(kor_telvo_report_fault_belt_comm_lost);        // 62
    KOR_SRV_ENTRY(kor_telvo_report_fault_sensor_open);           // 63
    KOR_SRV_ENTRY(kor_telvo_report_fault_sensor_closed);         // 64
    KOR_SRV_ENTRY(kor_telvo_report_fault_belt_stalled);          // 65
    KOR_SRV_ENTRY(kor_telvo_report_fault_all_belts_stalled);     // 66
    KOR_SRV_ENTRY(kor_telvo_report_fault_heating_error);         // 67
    KOR_SRV_ENTRY(kor_telvo_report_fault_probe_open);            // 68
    KOR_SRV_ENTRY(kor_telvo_report_fault_oven_over_temp);        // 69
    KOR_SRV_ENTRY(kor_telvo_report_fault_reset_ignition);        // 70
    KOR_SRV_ENTRY(kor_telvo_report_fault_high_temp_check_fans);  // 71
    KOR_SRV_ENTRY(kor_telvo_report_fault_over_temp_check_fans);  // 72
    KOR_SRV_ENTRY(kor_telvo_report_fault_fan_fault);             // 73
    KOR_SRV_ENTRY(kor_telvo_report_photocell_override);          // 74
    KOR_SRV_ENTRY(kor_telvo_report_serial_number_changed);       // 75
    KOR_SRV_ENTRY(kor_get_operation_state);                      // 76
    KOR_SRV_ENTRY(kor_get_oven_config);                          // 77
    KOR_SRV_ENTRY(kor_config_update_setting_int);                // 78
    KOR_SRV_ENTRY(kor_config_update_setting_str);                // 79
    KOR_SRV_ENTRY(kor_config_update_setting_flt);                // 80
    KOR_SRV_ENTRY(notify_tc_enable_changed);                     // 81
};

#undef KOR_SRV_ENTRY

// UI fault table: 28 entries, entry 0 empty; entry n describes UI fault n.
#define KOR_UI_FAULT_COUNT 28
#define KOR_UI_FAULT_DESC_SIZE 129
struct ui_fault_t {
    uint32_t fault;
    int32_t board_code;  // -1: no board code (the link itself)
    int16_t active;
    uint8_t resettable;
    char description[KOR_UI_FAULT_DESC_SIZE];
};
// The service's own table, filled by kor_srv_init (through kor_srv_fill_ui_faults).
extern ui_fault_t ui_faults[KOR_UI_FAULT_COUNT];
// Clears the table and fills entries 1-27 with their numbers, board codes, resettable flags and
// descriptions (active 0).
void kor_srv_fill_ui_faults(ui_fault_t *table);

// ---- start-up (record, fault table, IO board initialisation) ----
int32_t kor_srv_init(oven_operation_srv_t **srv);
int32_t kor_srv_uninitialize(oven_operation_srv_t *srv);
int32_t kor_srv_init_subscribe_registers(oven_operation_srv_t *srv, modbus_data_t *modbus);
int32_t kor_srv_init_oven_status_structures(oven_operation_srv_t *srv);
int32_t kor_srv_init_oven_status(oven_operation_srv_t *srv, modbus_data_t *modbus,
                                 uint16_t oven_enable, const oven_config_t *config);
int32_t kor_srv_init_blowers(oven_operation_srv_t *srv, modbus_data_t *modbus,
                             const oven_config_t *config);
int32_t kor_srv_init_belts(oven_operation_srv_t *srv, modbus_data_t *modbus,
                           const oven_config_t *config);
int32_t kor_srv_init_heater(oven_operation_srv_t *srv, modbus_data_t *modbus,
                            const oven_config_t *config);
int32_t kor_srv_set_belt_photoeye_timeout(oven_operation_srv_t *srv, modbus_data_t *modbus,
                                          int32_t belt1_cook_time, int32_t belt2_cook_time);
int32_t kor_srv_set_photo_cell_enable(oven_operation_srv_t *srv, modbus_data_t *modbus,
                                      int32_t enable);
int32_t kor_srv_create_tc_enable_bitmask(const char *text, uint16_t *mask);
int32_t kor_srv_create_blower_speed_sense_error_bitmask(const char *text, uint16_t *mask);
int32_t kor_srv_create_blower_speed_sensor_config_bitmask(const char *text, uint16_t *mask);

// ---- setpoint commands ----
int32_t kor_srv_oven_enable(oven_operation_srv_t *srv, modbus_data_t *modbus, int32_t enable);
int32_t kor_srv_set_target_temp(oven_operation_srv_t *srv, modbus_data_t *modbus,
                                int32_t temperature);
int32_t kor_srv_set_belt_cook_time(oven_operation_srv_t *srv, modbus_data_t *modbus,
                                   const oven_config_t *config, int32_t belt, int32_t cook_time);
int32_t kor_srv_set_blower_speed(oven_operation_srv_t *srv, modbus_data_t *modbus, int32_t blower,
                                 int32_t speed);
int32_t kor_srv_serial_number_changed(oven_operation_srv_t *srv);

// ---- fault handling ----
int32_t kor_srv_convert_board_to_ui_fault(const board_fault_t *faults, int32_t count,
                                          ui_fault_t *table, int32_t size);
int32_t kor_srv_notify_io_board_fault(oven_operation_srv_t *srv, modbus_data_t *modbus,
                                      zeb_faultman_t *faultman, const oven_config_t *config,
                                      const operation_state_t *state);
int32_t kor_srv_resend_io_board_fault(oven_operation_srv_t *srv, zeb_faultman_t *faultman);

// ---- readings and diagnostics ----
int32_t kor_srv_read_active_tc_values(oven_operation_srv_t *srv, int16_t *values, int32_t count,
                                      const oven_config_t *config);
int32_t kor_srv_read_all_tc_values(oven_operation_srv_t *srv, int16_t *values, int32_t count);
int32_t kor_srv_read_all_blower_values(oven_operation_srv_t *srv, uint16_t *values, int32_t count);
int32_t kor_srv_read_all_belt_values(oven_operation_srv_t *srv, uint16_t *values, int32_t count);
int32_t kor_srv_calculate_ignitor_status(oven_operation_srv_t *srv, int32_t *status);
int32_t kor_srv_calculate_manifold_valve_status_attenuation(oven_operation_srv_t *srv,
                                                            const oven_config_t *config,
                                                            int32_t *status);
int32_t kor_srv_notify_ui_diagnostic_registers(oven_operation_srv_t *srv);
// text: room for KOR_CONFIG_TEXT_LEN bytes (the probes text and its NUL).
int32_t kor_srv_update_tc_enable_str(const oven_config_t *config, int32_t tc, int32_t enable,
                                     char *text);
int32_t kor_srv_enable_tc(oven_operation_srv_t *srv, modbus_data_t *modbus,
                          const oven_config_t *config, int32_t tc, int32_t enable);
int32_t kor_srv_notify_firmware_versions(modbus_data_t *modbus);
int32_t kor_srv_update_firmware_versions(modbus_data_t *modbus);
int32_t kor_srv_notify_oven_voltage(modbus_data_t *modbus);

// ---- configuration changes ----
int32_t kor_srv_config_setting_changed(oven_operation_srv_t *srv, modbus_data_t *modbus,
                                       int32_t setting, int32_t value);

// ---- timers ----
int32_t kor_srv_init_timer_service(oven_operation_srv_t *srv, zeb_timer_service_t **service);
int32_t kor_srv_init_telvo_timer(oven_operation_srv_t *srv, zeb_timer_service_t *service,
                                 zeb_timer_t **timer, zeb_timer_callback_t callback);
int32_t kor_srv_init_io_board_clock_timer(oven_operation_srv_t *srv, zeb_timer_service_t *service,
                                          zeb_timer_t **timer, zeb_timer_callback_t callback);
int32_t kor_srv_init_soak_timer(oven_operation_srv_t *srv, zeb_timer_service_t *service,
                                zeb_timer_t **timer, zeb_timer_callback_t callback);
int32_t kor_srv_set_io_board_clock_time(oven_operation_srv_t *srv, modbus_data_t *modbus);
