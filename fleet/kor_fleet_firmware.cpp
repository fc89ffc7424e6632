// Checking and storing firmware offers (see kor_fleet_firmware.hpp).
#include "kor_fleet_firmware.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include <nlohmann/json.hpp>

#include "zeb_unique_fd.hpp"

namespace kor_fleet {

namespace {

using json = nlohmann::json;

bool hex_to_bin(const std::string &hex, unsigned char *out, std::size_t size) {
    std::size_t len = 0;
    return hex.size() == 2 * size &&
           sodium_hex2bin(out, size, hex.data(), hex.size(), nullptr, &len, nullptr) == 0 &&
           len == size;
}

int write_image(const std::string &dir, const std::string &name,
                const std::vector<unsigned char> &image, std::string &path, std::string &reason) {
    if (::mkdir(dir.c_str(), 0750) != 0 && errno != EEXIST) {
        reason = "cannot create firmware_dir: " + std::string(std::strerror(errno));
        return -1;
    }
    path = dir + "/" + name;
    const std::string tmp = path + ".tmp";
    zeb::UniqueFd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640));
    if (!fd) {
        reason = "cannot write the image: " + std::string(std::strerror(errno));
        return -1;
    }
    ::fchmod(fd.get(), 0640);  // whatever the umask
    std::size_t done = 0;
    int err = 0;
    while (done < image.size()) {
        const ssize_t n = zeb::retry_eintr(
            [&] { return ::write(fd.get(), image.data() + done, image.size() - done); });
        if (n <= 0) {
            err = n < 0 ? errno : ENOSPC;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (err == 0 && ::fsync(fd.get()) != 0) {
        err = errno;
    }
    if (err == 0) {
        const int rc = fd.close_checked();
        err = rc < 0 ? -rc : 0;
    }
    if (err == 0 && ::rename(tmp.c_str(), path.c_str()) != 0) {
        err = errno;
    }
    if (err != 0) {
        ::unlink(tmp.c_str());
        reason = "cannot write the image: " + std::string(std::strerror(err));
        return -1;
    }
    if (zeb::UniqueFd d(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)); d) {
        ::fsync(d.get());
    }
    // Only the newest image stays: the flash is small.
    if (DIR *dp = ::opendir(dir.c_str())) {
        while (dirent *e = ::readdir(dp)) {
            const std::string other = e->d_name;
            if (other != name && other.size() > 4 &&
                other.compare(other.size() - 4, 4, ".bin") == 0) {
                ::unlink((dir + "/" + other).c_str());
            }
        }
        ::closedir(dp);
    }
    return 0;
}

}  // namespace

int crypto_init() {
    return sodium_init() < 0 ? -1 : 0;
}

std::size_t max_offer_payload(const Config &config) {
    return sodium_base64_encoded_len(static_cast<std::size_t>(config.firmware_max_bytes),
                                     sodium_base64_VARIANT_ORIGINAL) +
           4096;
}

int check_and_store_offer(const Config &config, const std::string &payload, CheckedOffer &offer) {
    auto refuse = [&](std::string why) {
        offer.reason = std::move(why);
        return -1;
    };
    if (payload.size() > max_offer_payload(config)) {
        return refuse("image larger than firmware_max_bytes (" +
                      std::to_string(config.firmware_max_bytes) + ")");
    }
    const json j = json::parse(payload, nullptr, false);
    if (j.is_discarded() || !j.is_object()) {
        return refuse("offer is not a JSON object");
    }
    if (const auto s = j.find("sha256"); s != j.end() && s->is_string()) {
        offer.sha256 = s->get<std::string>();
    }
    for (const char *key : {"component", "version", "sha256", "signature", "image"}) {
        const auto v = j.find(key);
        if (v == j.end() || !v->is_string()) {
            return refuse(std::string("missing field ") + key);
        }
    }
    offer.component = j["component"].get<std::string>();
    offer.version = j["version"].get<std::string>();
    // The manager takes the component id in a 255-byte field.
    if (offer.component.empty() || offer.component.size() > 254 ||
        offer.component.find('\0') != std::string::npos) {
        return refuse("component must be 1 to 254 characters");
    }
    if (!config.has_public_key) {
        return refuse("no firmware_public_key configured");
    }
    unsigned char digest[crypto_hash_sha256_BYTES];
    unsigned char signature[crypto_sign_BYTES];
    if (!hex_to_bin(offer.sha256, digest, sizeof digest)) {
        return refuse("sha256 must be 64 hex digits");
    }
    if (!hex_to_bin(j["signature"].get<std::string>(), signature, sizeof signature)) {
        return refuse("signature must be 128 hex digits");
    }
    const std::string &b64 = j["image"].get_ref<const std::string &>();
    std::vector<unsigned char> image(b64.size() / 4 * 3 + 3);
    std::size_t size = 0;
    const char *end = nullptr;
    if (sodium_base642bin(image.data(), image.size(), b64.data(), b64.size(), nullptr, &size, &end,
                          sodium_base64_VARIANT_ORIGINAL) != 0 ||
        end != b64.data() + b64.size()) {
        return refuse("image is not valid base64");
    }
    image.resize(size);
    if (size == 0) {
        return refuse("image is empty");
    }
    if (size > static_cast<std::size_t>(config.firmware_max_bytes)) {
        return refuse("image larger than firmware_max_bytes (" +
                      std::to_string(config.firmware_max_bytes) + ")");
    }
    unsigned char actual[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(actual, image.data(), image.size());
    if (sodium_memcmp(actual, digest, sizeof digest) != 0) {
        return refuse("sha256 does not match the image");
    }
    if (crypto_sign_verify_detached(signature, image.data(), image.size(),
                                    config.firmware_public_key.data()) != 0) {
        return refuse("signature does not verify with firmware_public_key");
    }
    char hex[2 * crypto_hash_sha256_BYTES + 1];
    sodium_bin2hex(hex, sizeof hex, actual, sizeof actual);
    offer.sha256 = hex;
    // Named by its hash: nothing of the offer's text becomes part of a path.
    return write_image(config.firmware_dir, offer.sha256 + ".bin", image, offer.path, offer.reason);
}

}  // namespace kor_fleet
