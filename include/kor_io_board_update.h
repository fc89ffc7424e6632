/* IO board firmware update: sends a firmware file to the IO board over the board link with the
 * CPI block transfer (file 1 is the image in blocks of at most 247 bytes, file 2 its last four
 * bytes as the trailer). The link stays in CPI mode, with its polling paused, while an update
 * runs, and leaves it whatever happened. */
#ifndef KOR_IO_BOARD_UPDATE_H
#define KOR_IO_BOARD_UPDATE_H

#include <stdint.h>
#include <stdio.h>

#include "kor_modbus.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Largest block of the image that one CPI request carries. */
#define KOR_BOARD_UPDATE_BLOCK_SIZE 247

/* Opens the update logger (module "kor_io_board_update"). 0 or -1. Calling it again is harmless. */
int kor_board_update_init(void);

/* One read of up to size bytes from file into buffer (zeroed first); *count receives the bytes
 * read. 0 for a full block or a short block at end of file, -1 on a read error; EINVAL and -1 for a
 * null file, buffer or count or a size of 0 or less. */
int kor_board_update_read_file_block(FILE *file, uint8_t *buffer, int32_t size, int32_t *count);

/* One whole update from the file at path: 0 when every block and the trailer were acknowledged,
 * else -1 with errno from the failure. A file shorter than four bytes is refused before anything
 * is sent. */
int kor_board_update_transfer_file_to_io_board(modbus_data_t *ctx, const char *path);

/* Progress of an update: called after each acknowledged block of the image and after the trailer.
 * blocks_total counts the image blocks plus one for the trailer; bytes_total is the file size
 * (the trailer's four bytes are not counted again). */
typedef void (*kor_board_update_progress_fn)(void *user, int32_t blocks_sent, int32_t blocks_total,
                                             int64_t bytes_sent, int64_t bytes_total);

/* As kor_board_update_transfer_file_to_io_board, reporting progress to progress (may be null)
 * with user passed through. */
int kor_board_update_transfer_file_to_io_board_progress(modbus_data_t *ctx, const char *path,
                                                        kor_board_update_progress_fn progress,
                                                        void *user);

#ifdef __cplusplus
}
#endif

#endif /* KOR_IO_BOARD_UPDATE_H */
