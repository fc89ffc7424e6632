// The virtual IO board's flash and reboot after a firmware update. Off unless asked for: then,
// once a transfer is complete (its trailer confirmed), the board writes the image into its flash
// and says nothing on the line for the flash time, then reboots. It comes back, as a real board
// does, with the new firmware's version in its version register (0) and its configuration
// forgotten (machine configuration 0), so the master has to set it up again.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "sim_control.hpp"
#include "sim_link.hpp"
#include "sim_oven.hpp"
#include "sim_registers.hpp"

namespace kor_sim {

class Flasher {
  public:
    Flasher(RegisterBank &bank, SimLink &link, Oven &oven)
        : bank_(bank), link_(link), oven_(oven) {}

    // Flash time (zero: no flash and no reboot, the board goes on as it was) and the version
    // the board comes back with; -1: the version before, plus one.
    void set(std::chrono::milliseconds flash_time, int version);
    // A transfer is complete: the flash time starts now. Ignored while flashing.
    void on_transfer_complete(Clock::time_point now);
    // Milliseconds until the reboot is due; -1 when none is.
    int timeout_ms(Clock::time_point now) const;
    // Reboots when the flash time is over.
    void on_timeout(Clock::time_point now);
    // flash=SECONDS_LEFT reboots=N
    std::string status_fields() const;

  private:
    RegisterBank &bank_;
    SimLink &link_;
    Oven &oven_;
    std::chrono::milliseconds flash_time_{0};
    int version_ = -1;
    bool flashing_ = false;
    Clock::time_point reboot_at_{};
    uint64_t reboots_ = 0;
};

// flash on the control socket.
void add_flash_commands(CommandTable &table, Flasher &flasher);

}  // namespace kor_sim
