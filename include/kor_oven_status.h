/* IO board link, oven-wide registers: version, enable, machine configuration, panel switch, clock,
 * soak, supply voltage and drive board versions, and the library's own copy of the three register
 * ranges the transport polls (status 99-119, faults 199-212, diagnostics 299-336) with accessors
 * that read single words from that copy without touching the bus.
 *
 * One IO board per process: the polled copies, the fault table and the last connection state are
 * library-wide. Writers return 0 once their write is queued; readers are synchronous. */
#ifndef KOR_OVEN_STATUS_H
#define KOR_OVEN_STATUS_H

#include <stdint.h>

#include "kor_modbus.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Polled ranges: subscription block ids, first registers and counts. */
#define KOR_OVEN_STATUS_BLOCK 0
#define KOR_OVEN_STATUS_FIRST_REGISTER 99
#define KOR_OVEN_STATUS_COUNT 21
#define KOR_OVEN_FAULT_BLOCK 1
#define KOR_OVEN_FAULT_FIRST_REGISTER 199
#define KOR_OVEN_FAULT_COUNT 14
#define KOR_OVEN_DIAGNOSTIC_BLOCK 2
#define KOR_OVEN_DIAGNOSTIC_FIRST_REGISTER 299
#define KOR_OVEN_DIAGNOSTIC_COUNT 38

/* The fault word whose value 1 asks for an ignition reset. */
#define KOR_OVEN_RESET_IGNITION_REGISTER 207

/* What kor_oven_get_test_flag_reg returns when the flag cannot be read. */
#define KOR_OVEN_TEST_FLAG_UNKNOWN 65535

/* One board fault: the fault register (199-212) and its sub-fault bit flags. */
typedef struct board_fault {
    uint32_t reg;
    uint16_t value;
} board_fault_t;

/* The diagnostic registers 299-336, each widened to 32 bits, in register order. */
typedef struct diagnostic_reg_data {
    int32_t di1, di2, di3, di4, di5, di6, di7, di8;
    int32_t oc1, oc2, oc3, oc4, oc5, oc6, oc7, oc8;
    int32_t dac1, dac2, dac3, dac4, dac5, dac6, dac7, dac8;
    int32_t mcp1, mcp2, mcp3, mcp4, mcp5, mcp6, mcp7;
    int32_t tcstate1, tcstate2, tcstate3, tcstate4, tcstate5, tcstate6, tcstate7;
} diagnostic_reg_data_t;

/* Writes oven enable (1), machine configuration (2) and panel switch enable (82) in that order;
 * stops at the first refused enqueue and returns its code. */
int kor_oven_init(modbus_data_t *ctx, uint16_t oven_enable, uint16_t machine_config,
                  uint16_t panel_switch_enable);

/* Synchronous reads: 0 with *value set, or -1 (null argument or failed read). */
int kor_oven_get_version(modbus_data_t *ctx, uint16_t *value);    /* 0 */
int kor_oven_get_oven_state(modbus_data_t *ctx, uint16_t *value); /* 99 */
int kor_oven_get_oven_enable(modbus_data_t *ctx, uint16_t *value);
int kor_oven_get_machine_config(modbus_data_t *ctx, uint16_t *value);
int kor_oven_get_soak_time(modbus_data_t *ctx, uint16_t *seconds);       /* 120, soak start */
int kor_oven_get_soak_timer_time(modbus_data_t *ctx, uint16_t *seconds); /* 121, soak left */
int kor_oven_get_oven_voltage(modbus_data_t *ctx, uint16_t *value);      /* 122 */
/* Firmware version of drive board 1 (123) or 2 (124); any other board number is refused. */
int kor_oven_get_bldc_version(modbus_data_t *ctx, int32_t board, uint16_t *value);

/* The relay/belt test selector (74), or KOR_OVEN_TEST_FLAG_UNKNOWN when it cannot be read. */
uint16_t kor_oven_get_test_flag_reg(modbus_data_t *ctx);

/* Queued writes: 0 once queued, -1 for a null context, else the transport's code. */
int kor_oven_set_oven_enable(modbus_data_t *ctx, uint16_t value);            /* 1 */
int kor_oven_set_machine_config(modbus_data_t *ctx, uint16_t value);         /* 2 */
int kor_oven_set_panel_switch_enable(modbus_data_t *ctx, uint16_t value);    /* 82 */
int kor_oven_set_heat_high_limit_enable(modbus_data_t *ctx, uint16_t value); /* 80 */
/* The 32-bit clock value: low word to 401, then high word to 402 (not sent if 401 is refused). */
int kor_oven_set_time(modbus_data_t *ctx, uint32_t time);
/* Writes 0 to a fault register; registers outside 199-212 are refused. */
int kor_oven_clear_fault(modbus_data_t *ctx, uint32_t reg);

/* Zeroes the fault table and numbers it 199-212. 0. */
int kor_oven_init_structures(void);
/* Allocates the three local copies (zeroed) and subscribes blocks 0, 1, 2 at the transport;
 * stops at the first failure with -1. */
int kor_oven_subscribe_to_register_blocks(modbus_data_t *ctx);
/* Takes a copy of each polled block (each block consistent in itself); stops at the first
 * failure with -1, also when the blocks were never subscribed. */
int kor_oven_read_subscription_blocks(modbus_data_t *ctx);
/* Releases the local copies; the accessors return 0 afterwards. 0. */
int kor_oven_free(void);

/* Stores the transport's connection state for kor_oven_get_modbus_connection_state; -1 for a null
 * context. */
int kor_oven_read_connection_status(modbus_data_t *ctx);
int32_t kor_oven_get_modbus_connection_state(void);

/* Refreshes the calling thread's fault table from the polled copy and hands it out (valid until
 * the same thread's next call) with its count, always 14 entries 199-212. -1 for a null
 * argument. */
int kor_oven_get_faults(board_fault_t **faults, int32_t *count);
/* Fills the record from the polled diagnostic copy (zeros before the first poll). -1 for null. */
int kor_oven_get_diagnostic_reg_data(diagnostic_reg_data_t *data);

/* Single words of the polled copies, no bus traffic. 0 before the blocks are subscribed or
 * polled; the numbered ones return 0 for a number outside their range. */
uint16_t kor_oven_get_status_reg(void);                       /* 99 */
uint16_t kor_oven_get_thermocouple_reg(int32_t thermocouple); /* 1-6: 100-105 */
uint16_t kor_oven_get_temp_reg(void);                         /* 106 */
uint16_t kor_oven_get_photo_eye_reg(void);                    /* 107 */
uint16_t kor_oven_get_blower_speed_reg(int32_t blower);       /* 1-4: 108-111 */
uint16_t kor_oven_get_cooling_fan_status_reg(void);           /* 112 */
uint16_t kor_oven_get_belt_speed_reg(int32_t belt);           /* 1-2: 115-116 */
uint16_t kor_oven_get_ignition_status_reg(void);              /* 117 */
uint16_t kor_oven_get_air_shutter_pos_reg(void);              /* 118 */
uint16_t kor_oven_get_heat_output_percent_reg(void);          /* 119 */
uint16_t kor_oven_get_reset_ignition_reg(void);               /* fault 207 */

#ifdef __cplusplus
}
#endif

#endif /* KOR_OVEN_STATUS_H */
