/* IO board link, transport layer: the one RS-485 Modbus RTU link to the IO board, with a polling
 * thread that keeps subscribed holding-register blocks fresh, a write thread that drains a queue
 * of single-register writes in the order they were queued, and synchronous single-register
 * reads. Every libmodbus call goes through a modbus_interface_t, so a caller (or a test) can
 * substitute its own link. */
#ifndef KOR_MODBUS_H
#define KOR_MODBUS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Connection states */
#define KOR_MODBUS_STATE_DISCONNECTED 0
#define KOR_MODBUS_STATE_CONNECTED 1
#define KOR_MODBUS_STATE_RUNNING 2
#define KOR_MODBUS_STATE_STOPPING 3

/* Serial mode for set_serial_mode (libmodbus MODBUS_RTU_RS485) */
#define KOR_MODBUS_RTU_RS485 1

/* Error codes of the CPI file transfer reply check, left in errno. Like libmodbus's own codes
 * they sit far above the system's; the strerror slot gives their texts. */
#define KOR_CPI_ECRC 42827423     /* "CRC check failed" */
#define KOR_CPI_EADDRESS 42827435 /* "Wrong controller address response" */
#define KOR_CPI_EFILE 42827436    /* "Wrong file number response" */
#define KOR_CPI_ECOMMAND 42827437 /* "Wrong modbus command response" */
#define KOR_CPI_EBLOCK 42827438   /* "Wrong block ID response" */
#define KOR_CPI_ELENGTH 42827439  /* "Wrong CPI response length" */

/* Largest subscription block: what one Modbus read of holding registers can carry. */
#define KOR_MODBUS_MAX_BLOCK_REGISTERS 125

/* Holder of the libmodbus context (modbus_t *); a substitute link keeps its own object here. */
typedef struct mbs_ctx {
    void *ctx;
} mbs_ctx_t;

/* The fourteen operations of the link, in this order. */
typedef struct modbus_interface {
    mbs_ctx_t *(*new_rtu)(const char *device, int baud, char parity, int data_bit, int stop_bit);
    int (*connect)(mbs_ctx_t *ctx);
    int (*close)(mbs_ctx_t *ctx);
    void (*free)(mbs_ctx_t *ctx);
    const char *(*strerror)(int code);
    int (*set_serial_mode)(mbs_ctx_t *ctx, int mode);
    int (*set_slave)(mbs_ctx_t *ctx, int slave);
    int (*set_debug)(mbs_ctx_t *ctx, int flag);
    int (*set_response_timeout)(mbs_ctx_t *ctx, uint32_t seconds, uint32_t microseconds);
    int (*read_register)(mbs_ctx_t *ctx, int address, uint16_t *value);
    int (*read_registers)(mbs_ctx_t *ctx, int address, int count, uint16_t *values);
    int (*write_register)(mbs_ctx_t *ctx, int address, uint32_t value);
    int (*send_raw_request)(mbs_ctx_t *ctx, const uint8_t *request, int length);
    int (*receive_raw)(mbs_ctx_t *ctx, uint8_t *buffer, int size);
} modbus_interface_t;

typedef struct modbus_data modbus_data_t;

/* Opens the link. interface may be null (the libmodbus table is used); a given table is copied,
 * the caller keeps its own. 0 and *context set, or -1 with *context untouched. */
int kor_modbus_init(modbus_data_t **context, const char *device, int32_t slave_id,
                    int32_t response_timeout_ms, int32_t poll_period_ms, int32_t retry_count,
                    int32_t debug, const modbus_interface_t *interface);
int kor_modbus_start_polling(modbus_data_t *context);
/* 0 pauses and 1 resumes the polling of subscribed blocks without closing the link; read at the
 * start of every polling round. 0, or -1 for a null context. */
int kor_modbus_enable_polling(modbus_data_t *context, int32_t enable);
/* -1 for a null context; else 1 when the state is running (2), 0 otherwise. */
int kor_modbus_is_running(modbus_data_t *context);
/* The connection state, or -1 for a null context. */
int kor_modbus_get_state(modbus_data_t *context);
/* Reads one register (address 0-65535) with the link's retry count: 0, or -1 with errno saying
 * why (EINVAL for a null argument or an address beyond 65535, else the last attempt's). */
int kor_modbus_read_holding_register(modbus_data_t *context, uint32_t address, uint16_t *value);
/* Queues a write of the value's low 16 bits and returns at once: 0 when queued; -1 with errno
 * EINVAL (null context, address beyond 65535) or ENOMEM; else the list's non-zero code. */
int kor_modbus_write_holding_register(modbus_data_t *context, uint32_t address, uint32_t value);
/* Waits until the write queue is empty: every write queued so far has been sent, or has failed
 * after its tries. 0; -1 with errno ETIMEDOUT when timeout_ms passes first (or the write thread
 * has stopped with writes left), EINVAL for a null context or a negative time-out. */
int kor_modbus_wait_writes(modbus_data_t *context, int32_t timeout_ms);
/* Subscribes registers start_address .. start_address + count - 1 under id (id >= 0,
 * start_address >= 0, 1 <= count <= KOR_MODBUS_MAX_BLOCK_REGISTERS); 0 or -1. */
int kor_modbus_init_data_subscription_block(modbus_data_t *context, int32_t id,
                                            int32_t start_address, int32_t count);
/* Copies the block's count words (zero until first polled) into values; -1 for an unknown id. */
int kor_modbus_read_data_subscription_block(modbus_data_t *context, int32_t id, uint16_t *values);
/* CPI mode pauses polling while a firmware file is transferred. */
int kor_modbus_start_cpi_file_transfer(modbus_data_t *context);
int kor_modbus_end_cpi_file_transfer(modbus_data_t *context);
int kor_modbus_free(modbus_data_t *context);
/* A new table filled with the libmodbus operations (release with free()); null on no memory. */
modbus_interface_t *kor_create_modbus_instance(void);

/* CPI file transfer: the private function 0x41 that carries a firmware file to the board in
 * blocks. A request is slave id, 0x41, file number and block number (both big-endian) and 1 to
 * KOR_CPI_MAX_DATA data bytes (libmodbus appends the RTU CRC); the board confirms each block with
 * an 8-byte reply: slave id, 0x41, file, block, and the CRC of those six bytes, low byte first. */
#define KOR_CPI_FUNCTION 0x41
#define KOR_CPI_MAX_DATA 247
#define KOR_CPI_MAX_REQUEST (KOR_CPI_MAX_DATA + 6)
#define KOR_CPI_REPLY_LENGTH 8

/* CRC-16/MODBUS of length bytes (initial 0xFFFF, reflected polynomial 0xA001); the low byte of
 * the result is the first byte on the wire. */
uint16_t kor_modbus_calculate_crc(const uint8_t *data, int32_t length);
/* Builds the request for n data bytes (1..KOR_CPI_MAX_DATA) into out (out_size between n + 6 and
 * KOR_CPI_MAX_REQUEST; zeroed first). 0, or -1 with errno EINVAL. */
int kor_modbus_build_cpi_packet(int32_t slave_id, const uint8_t *data, int32_t n, uint8_t *out,
                                int32_t out_size, uint16_t file, uint16_t block);
/* Checks a reply against what was sent: 0 when good, else -1 with errno EINVAL (null reply) or,
 * checked in this order, KOR_CPI_ELENGTH, KOR_CPI_EADDRESS, KOR_CPI_ECOMMAND, KOR_CPI_EFILE,
 * KOR_CPI_EBLOCK, KOR_CPI_ECRC. */
int kor_modbus_verify_cpi_response_packet(int32_t slave_id, uint16_t file, uint16_t block,
                                          const uint8_t *reply, int32_t length);
/* Sends one block and waits for its confirmation, with the link's retry count. The link must be
 * in CPI mode (else EPERM); n is 1..KOR_CPI_MAX_DATA (else EINVAL). 0, or -1 with errno from the
 * last failure. */
int kor_modbus_transfer_cpi_block(modbus_data_t *context, const uint8_t *data, int32_t n,
                                  uint16_t file, uint16_t block);

#ifdef __cplusplus
}
#endif

#endif /* KOR_MODBUS_H */
