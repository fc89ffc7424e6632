// Firmware offers from the fleet: {"component", "version", "sha256", "signature", "image"}.
// An image reaches the oven manager only when it is at most firmware_max_bytes, its SHA-256 is
// the one given and the Ed25519 signature over its bytes verifies with the configured key; it
// is then written into firmware_dir (atomic rename, mode 0640) under its hash. Everything else
// is refused with a reason and leaves nothing on disk.
#pragma once

#include <cstdint>
#include <string>

#include "kor_fleet_config.hpp"

namespace kor_fleet {

struct CheckedOffer {
    std::string component;
    std::string version;
    std::string sha256;  // as given, when it was a string (also for a refused offer)
    std::string path;    // the image written, on success
    std::string reason;  // why it was refused
};

// 0 with the image written and offer.path set, -1 with offer.reason.
int check_and_store_offer(const Config &config, const std::string &payload, CheckedOffer &offer);

// The payload bound before any parsing: the base64 of firmware_max_bytes and the other fields.
std::size_t max_offer_payload(const Config &config);

// libsodium's start-up; 0 or -1.
int crypto_init();

}  // namespace kor_fleet
