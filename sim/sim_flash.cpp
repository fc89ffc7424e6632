// Flash and reboot of the virtual IO board; see sim_flash.hpp.
#include "sim_flash.hpp"

#include <cstdio>

namespace kor_sim {

void Flasher::set(std::chrono::milliseconds flash_time, int version) {
    flash_time_ = flash_time;
    version_ = version;
}

void Flasher::on_transfer_complete(Clock::time_point now) {
    if (flash_time_.count() <= 0 || flashing_) {
        return;
    }
    flashing_ = true;
    reboot_at_ = now + flash_time_;
    // The trailer's confirmation is already made; from the next request on the line is quiet.
    link_.silence(flash_time_);
}

int Flasher::timeout_ms(Clock::time_point now) const {
    if (!flashing_) {
        return -1;
    }
    const auto left = reboot_at_ - now;
    return left <= Clock::duration::zero()
               ? 0
               : static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

void Flasher::on_timeout(Clock::time_point now) {
    if (!flashing_ || now < reboot_at_) {
        return;
    }
    flashing_ = false;
    ++reboots_;
    uint16_t before = 0;
    bank_.get(0, before);
    bank_.set(0,
              version_ >= 0 ? static_cast<uint16_t>(version_) : static_cast<uint16_t>(before + 1));
    oven_.forget();
    link_.silence(std::chrono::milliseconds(0));
}

std::string Flasher::status_fields() const {
    const double left =
        flashing_ ? std::chrono::duration<double>(reboot_at_ - Clock::now()).count() : 0.0;
    char text[64];
    std::snprintf(text, sizeof text, "flash=%.3f reboots=%llu", left > 0.0 ? left : 0.0,
                  static_cast<unsigned long long>(reboots_));
    return text;
}

void add_flash_commands(CommandTable &table, Flasher &flasher) {
    table.add("flash", [&flasher](std::span<const std::string_view> args) {
        double seconds = 0;
        long version = -1;
        if (args.empty() || args.size() > 2 || !parse_seconds(args[0], seconds) ||
            (args.size() == 2 && !parse_int(args[1], 0, 65535, version))) {
            return std::string("error: usage: flash SECONDS (0 turns it off) [VERSION] (0-65535)");
        }
        flasher.set(std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000.0 + 0.5)),
                    static_cast<int>(version));
        return std::string("ok");
    });
}

}  // namespace kor_sim
