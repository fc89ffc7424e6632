// Configuration of the fleet agent: the store file named by --config (one "key = value" a line),
// read once at start-up, checked key by key. A missing or malformed key is named in one line and
// the agent does not start: a half-configured agent would publish under the wrong oven or accept
// unsigned images.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace kor_fleet {

inline constexpr const char *kVersion = "0.1.0";
inline constexpr const char *kModule = "kor_fleet_agent";

struct Config {
    std::string oven_id;
    std::string broker_host = "127.0.0.1";
    int broker_port = 0;  // 0 until loaded: 1883, or 8883 with TLS
    std::string topic_prefix = "kor";
    std::string tls_ca_file;
    std::string tls_cert_file;
    std::string tls_key_file;
    std::string username;
    std::string password_file;
    std::string queue_dir = "/var/lib/kor/fleet";
    std::int64_t queue_max_bytes = 16 * 1024 * 1024;
    int queue_sync_ms = 200;
    std::string firmware_dir = "/var/lib/kor/fleet/firmware";
    bool has_public_key = false;
    std::array<unsigned char, 32> firmware_public_key{};
    std::int64_t firmware_max_bytes = 1024 * 1024;

    bool tls() const { return !tls_ca_file.empty(); }
    // <prefix>/<oven_id>/<leaf>
    std::string topic(const std::string &leaf) const;
};

// Loads and checks the store at path. 0, or -1 with the one line naming the key (or the file)
// in *error.
int load_config(const char *path, Config &out, std::string *error);

// Reads the password from password_file: its first line without the line end. 0 or -1 with
// *error (never containing the secret).
int read_password(const std::string &path, std::string &out, std::string *error);

// The --help text: every option and every configuration key.
extern const char *const kHelpText;

}  // namespace kor_fleet
