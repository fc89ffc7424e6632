// The virtual IO board's CPI receiver: the private function 0x41 that carries a firmware update.
// It owns the image being received and the file it goes to.
//
// File 1 is the image, in blocks numbered from 0; file 2 block 0 is the 4-byte trailer. Blocks
// must come in order. The block just accepted may come again (the sender retries when our reply
// was lost or garbled): it is answered again and its data replaces what that block brought
// before, so nothing is stored twice. Block 0 always starts a new image. Any other block number,
// an unknown file, a trailer that is not 4 bytes, or a frame of the wrong size is refused with no
// reply, as the real board does; the sender's time-out tells it.
//
// The image is written to --firmware-out as the blocks arrive (each block at its offset, the
// file cut after it), so the file always holds what the board has received so far, also after a
// transfer that broke off. The trailer goes to PATH.trailer when it arrives, and the `cpi`
// control command reports both. Without --firmware-out the board still checks and answers, and
// counts what it received.
//
// On command the next replies go out spoiled, one fault a reply: a broken CRC, a reply cut short
// by its last byte, or one that names the next block or another file (with a good CRC). A stored
// trailer completes the transfer; whoever listens (the flash and reboot) hears of it after its
// reply is made.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim_control.hpp"
#include "sim_fd.hpp"

namespace kor_sim {

constexpr std::size_t kCpiMaxData = 247;

enum class CpiFault { Crc, Short, Block, File };

struct CpiStatus {
    uint32_t blocks = 0;  // image blocks held
    uint64_t bytes = 0;   // image bytes held
    bool has_trailer = false;
    uint8_t trailer[4] = {};
    uint64_t refused = 0;  // requests left without a reply
    int corrupt_pending = 0;
};

class CpiReceiver {
  public:
    // firmware_out: where the image goes; empty: nowhere.
    explicit CpiReceiver(std::string firmware_out) : path_(std::move(firmware_out)) {}

    // One request frame, CRC included (already checked by the link). The 8-byte confirmation,
    // or an empty frame when the request is refused.
    std::vector<uint8_t> handle(std::span<const uint8_t> frame);
    // The next count replies go out spoiled by fault (count 0 cancels that kind).
    void corrupt_next(CpiFault fault, int count = 1);
    // Called once a trailer is stored, i.e. a transfer is complete.
    void on_complete(std::function<void()> listener) { on_complete_ = std::move(listener); }
    CpiStatus status() const;
    // Stderr lines say why a block could not be stored; the last one is kept here.
    const std::string &last_error() const { return error_; }

  private:
    bool store_image_block(uint16_t block, std::span<const uint8_t> data);
    bool store_trailer(std::span<const uint8_t> data);
    bool fail(const std::string &what);

    std::string path_;
    UniqueFd image_;
    uint32_t next_block_ = 0;  // the block the image waits for
    uint64_t bytes_ = 0;
    uint64_t last_block_offset_ = 0;
    bool has_trailer_ = false;
    uint8_t trailer_[4] = {};
    uint64_t refused_ = 0;
    std::deque<CpiFault> faults_;
    std::function<void()> on_complete_;
    std::string error_;
};

// cpi and cpi-corrupt on the control socket.
void add_cpi_commands(CommandTable &table, CpiReceiver &cpi);
// The receiver's fields for the status line.
std::string cpi_status_fields(const CpiReceiver &cpi);

}  // namespace kor_sim
