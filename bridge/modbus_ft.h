/* Modbus file transfer of the master bridges: pushes a file (a firmware image) to slave 1 in
 * numbered blocks of up to 128 bytes, each carried by a raw request with the user function 0x41:
 *
 *   byte 0 slave 1, 1 function 0x41, 2 zero, 3 file id (low 8 bits), 4-5 block index (big
 *   endian), 6... the block's data; libmodbus adds the RTU framing and CRC.
 *
 * Every block waits for the slave's 8-byte confirmation (the six header bytes echoed and their
 * CRC) within the context's response time-out: without it a silent slave would look like a
 * successful transfer, and the unread replies would be taken for the answers of the next
 * register reads. Progress and failures go to the bridge log (pmx_printf). */
#ifndef MODBUS_FT_H
#define MODBUS_FT_H

#include <modbus.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define MODBUS_FT_FUNCTION 0x41
#define MODBUS_FT_BLOCK_SIZE 128
#define MODBUS_FT_HEADER_SIZE 6
#define MODBUS_FT_REPLY_SIZE 8

/* Sends filePath as file fileID over ctx, blocks 0, 1, ... in order; the last block holds what
 * is left, so every byte goes. A failed block is sent again under its own index, up to three
 * times. Returns the number of blocks (0 for an empty file, nothing sent), -1 when the file
 * cannot be opened (or a null argument, or a file of more than 65536 blocks, which the 16-bit
 * block index cannot number), -2 when a block cannot be read from it, -3 when a block still
 * fails after its retries. Blocks the calling thread for at least the pause times the blocks. */
int modbus_ft_write_file(modbus_t *ctx, int fileID, const char *filePath);

/* CRC-16 of Modbus RTU (initial 0xFFFF, reflected polynomial 0xA001) over length bytes; 0xFFFF
 * for null data or a length of 0 or less. */
uint16_t modbus_ft_calculate_crc(const uint8_t *data, int length);

/* The pause after every confirmed block that paces the slave, 100 ms unless set. For tests:
 * the bridges never change it. Negative values count as 0. */
void modbus_ft_set_block_pause_ms(int32_t milliseconds);

#ifdef __cplusplus
}
#endif

#endif /* MODBUS_FT_H */
