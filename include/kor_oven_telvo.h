/* Cloud reporting library (libkor_oven_telvo): turns oven facts into short JSON texts and sends
 * each to the cloud-reporting service on the service bus (channel "zeb_telvo", event
 * "zeb.telvo.send", format "1s0 json", the text with its NUL).
 *
 * Every report returns the bus send's result (0 on success), or -1 when an argument check fails
 * or the text would not fit its buffer; then nothing is sent. Text values are escaped ('"', '\',
 * control characters; bytes that are not UTF-8 become U+FFFD), so every text is valid JSON.
 *
 * The builders write one report into a caller's buffer (KOR_TELVO_EVENT_LEN bytes for a report),
 * clearing it first; they return 0, or -1 with the buffer cleared when an argument is missing
 * or the text does not fit out_len bytes with its NUL. Booleans are bytes: 0 is false. */
#ifndef KOR_OVEN_TELVO_H
#define KOR_OVEN_TELVO_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KOR_TELVO_EVENT_LEN 1024 /* one report */
#define KOR_TELVO_BLOCK_LEN 256  /* the items of one JSON array, without brackets */
#define KOR_TELVO_TEXT_LEN 256   /* one item of a string array, NUL-terminated */
#define KOR_TELVO_CHANNEL "zeb_telvo"
#define KOR_TELVO_EVENT "zeb.telvo.send"
#define KOR_TELVO_FORMAT "1s0 json"

/* Opens the library's logger; the logger's result. Call once before any report. */
int32_t kor_telvo_init(void);

int32_t kor_telvo_heartbeat(int32_t state, int32_t sp, const uint16_t *fanset, int32_t fanset_count,
                            const uint16_t *bake_tm, int32_t bake_tm_count, int32_t temp,
                            const uint16_t *therm, int32_t therm_count,
                            const char (*menu)[KOR_TELVO_TEXT_LEN], int32_t menu_count);

int32_t kor_telvo_report_fault_belt_comm_lost(uint8_t fs, const uint16_t *bake_tm, int32_t count);
int32_t kor_telvo_report_fault_sensor_open(uint8_t fs, int32_t state, const uint16_t *fanset,
                                           int32_t count);
int32_t kor_telvo_report_fault_belt_stalled(uint8_t fs, int32_t state, const uint16_t *bake_tm,
                                            int32_t count);
int32_t kor_telvo_report_fault_heating_error(uint8_t fs, int32_t state, int32_t temp, int32_t sp,
                                             const uint16_t *therm, int32_t count);
int32_t kor_telvo_report_fault_probe_open(uint8_t fs, int32_t state, int32_t temp, int32_t sp,
                                          const uint16_t *therm, int32_t count);
int32_t kor_telvo_report_fault_all_probes_open(uint8_t fs, int32_t state);
int32_t kor_telvo_report_fault_oven_over_temp(uint8_t fs, int32_t state, int32_t temp, int32_t sp,
                                              const uint16_t *therm, int32_t count);
int32_t kor_telvo_report_fault_fan_fault(uint8_t fs);
int32_t kor_telvo_report_fault_reset_ignition(uint8_t fs, int32_t state, int32_t temp, int32_t sp,
                                              const uint16_t *therm, int32_t count);
int32_t kor_telvo_report_fault_sensor_closed(uint8_t fs, int32_t state, const uint16_t *fanset,
                                             int32_t count);
int32_t kor_telvo_report_fault_io_comm_lost(uint8_t fs, int32_t state);
int32_t kor_telvo_report_fault_all_belts_stalled(uint8_t fs, int32_t state, const uint16_t *bake_tm,
                                                 int32_t count);
int32_t kor_telvo_report_fault_high_temp_check_fans(uint8_t fs);
int32_t kor_telvo_report_fault_over_temp_check_fans(uint8_t fs);
int32_t kor_telvo_report_photocell_override(void);
int32_t kor_telvo_report_serial_number_changed(void);
/* serial and group must be present; a null ui_version is sent as "". */
int32_t kor_telvo_report_settings_changed(const char *serial, const char *group, uint8_t split,
                                          int32_t on_tm, int32_t tot_cook_tm,
                                          const char *ui_version, int32_t io_version,
                                          int32_t drive_f_version, int32_t drive_r_version,
                                          int32_t belt_f_time, int32_t belt_r_time);

/* Array blocks: "1,2,3" and "\"a\",\"b\"". */
int32_t build_int_array_block(const uint16_t *items, int32_t count, char *block,
                              uint32_t block_len);
int32_t build_str_array_block(const char (*items)[KOR_TELVO_TEXT_LEN], int32_t count, char *block,
                              uint32_t block_len);

/* Builders; fc is a fault code such as "f2". */
int32_t create_telvo_heartbeat_event(int32_t state, int32_t sp, const uint16_t *fanset,
                                     int32_t fanset_count, const uint16_t *bake_tm,
                                     int32_t bake_tm_count, int32_t temp, const uint16_t *therm,
                                     int32_t therm_count, const char (*menu)[KOR_TELVO_TEXT_LEN],
                                     int32_t menu_count, char *out, uint32_t out_len);
int32_t create_telvo_fault_oven_state_event(const char *fc, uint8_t fs, int32_t state, char *out,
                                            uint32_t out_len);
int32_t create_telvo_fault_belt_comm_lost_event(uint8_t fs, const uint16_t *bake_tm, int32_t count,
                                                char *out, uint32_t out_len);
int32_t create_telvo_fault_blower_reading_event(const char *fc, uint8_t fs, int32_t state,
                                                const uint16_t *fanset, int32_t count, char *out,
                                                uint32_t out_len);
int32_t create_telvo_fault_belt_reading_event(const char *fc, uint8_t fs, int32_t state,
                                              const uint16_t *bake_tm, int32_t count, char *out,
                                              uint32_t out_len);
int32_t create_telvo_fault_tc_reading_event(const char *fc, uint8_t fs, int32_t state, int32_t temp,
                                            int32_t sp, const uint16_t *therm, int32_t count,
                                            char *out, uint32_t out_len);
int32_t create_telvo_fault_state_event(const char *fc, uint8_t fs, char *out, uint32_t out_len);
int32_t create_telvo_photocell_override_event(char *out, uint32_t out_len);
int32_t create_telvo_serial_number_changed_event(char *out, uint32_t out_len);
int32_t create_settings_changed_event(const char *serial, const char *group, uint8_t split,
                                      int32_t on_tm, int32_t tot_cook_tm, const char *ui_version,
                                      int32_t io_version, int32_t drive_f_version,
                                      int32_t drive_r_version, int32_t belt_f_time,
                                      int32_t belt_r_time, char *out, uint32_t out_len);

/* Logs the text at level 6 (module "kor_vellor_service") and sends it; the send's result, -1
 * for a null text. */
int32_t dispatch_json_event(const char *json);

#ifdef __cplusplus
}
#endif

#endif /* KOR_OVEN_TELVO_H */
