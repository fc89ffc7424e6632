// Loading and checking the fleet agent's configuration store (see kor_fleet_config.hpp).
#include "kor_fleet_config.hpp"

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string_view>

#include "zeb_config.h"

namespace kor_fleet {

namespace {

struct ConfigCloser {
    void operator()(zeb_config_t *handle) const { zeb_config_close(handle); }
};

bool id_char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '.' || c == '-';
}

// A topic level or prefix must not carry MQTT wildcards or NUL; a prefix may hold inner "/".
bool valid_prefix(const std::string &p) {
    if (p.empty() || p.size() > 128 || p.front() == '/' || p.back() == '/') {
        return false;
    }
    for (char c : p) {
        if (c == '+' || c == '#' || c == '\0' || static_cast<unsigned char>(c) < 0x20) {
            return false;
        }
    }
    return p.find("//") == std::string::npos;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

class Reader {
  public:
    Reader(zeb_config_t *store, std::string *error) : store_(store), error_(error) {}

    // 1 when present (value set), 0 when absent.
    int string(const char *key, std::string &value) {
        char *raw = nullptr;
        if (zeb_config_get_string(store_, key, &raw) != 0 || raw == nullptr) {
            return 0;
        }
        value = raw;
        std::free(raw);
        return 1;
    }

    // false after naming the key: present but not a whole number within [low, high].
    bool number(const char *key, std::int64_t low, std::int64_t high, std::int64_t &value) {
        std::string text;
        if (string(key, text) == 0) {
            return true;
        }
        std::int64_t parsed = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), parsed);
        if (ec != std::errc() || end != text.data() + text.size() || parsed < low ||
            parsed > high) {
            return fail(key, "a whole number from " + std::to_string(low) + " to " +
                                 std::to_string(high) + " (got \"" + text + "\")");
        }
        value = parsed;
        return true;
    }

    bool fail(const char *key, const std::string &what) {
        if (error_ != nullptr) {
            *error_ = std::string("configuration key ") + key + " must be " + what;
        }
        return false;
    }

  private:
    zeb_config_t *store_;
    std::string *error_;
};

}  // namespace

std::string Config::topic(const std::string &leaf) const {
    return topic_prefix + "/" + oven_id + "/" + leaf;
}

int load_config(const char *path, Config &out, std::string *error) {
    zeb_config_t *raw = nullptr;
    const int rc = zeb_config_open(path, &raw);
    if (rc != 0 || raw == nullptr) {
        if (error != nullptr) {
            *error = std::string("cannot read the configuration file ") + path + ": " +
                     std::strerror(rc < 0 ? -rc : EIO);
        }
        return -1;
    }
    std::unique_ptr<zeb_config_t, ConfigCloser> store(raw);
    Reader r(store.get(), error);
    Config c;

    if (r.string("oven_id", c.oven_id) == 0) {
        r.fail("oven_id", "set: 1 to 64 characters of A-Z a-z 0-9 _ . - (it is missing)");
        return -1;
    }
    bool id_ok = !c.oven_id.empty() && c.oven_id.size() <= 64;
    for (char ch : c.oven_id) {
        id_ok = id_ok && id_char(ch);
    }
    if (!id_ok) {
        r.fail("oven_id", "1 to 64 characters of A-Z a-z 0-9 _ . - (got \"" + c.oven_id + "\")");
        return -1;
    }
    r.string("broker_host", c.broker_host);
    if (c.broker_host.empty()) {
        r.fail("broker_host", "a host name or address");
        return -1;
    }
    r.string("topic_prefix", c.topic_prefix);
    if (!valid_prefix(c.topic_prefix)) {
        r.fail("topic_prefix",
               "a topic without + # or empty levels (got \"" + c.topic_prefix + "\")");
        return -1;
    }
    r.string("tls_ca_file", c.tls_ca_file);
    r.string("tls_cert_file", c.tls_cert_file);
    r.string("tls_key_file", c.tls_key_file);
    if (c.tls_cert_file.empty() != c.tls_key_file.empty()) {
        r.fail(c.tls_cert_file.empty() ? "tls_cert_file" : "tls_key_file",
               "set together with " +
                   std::string(c.tls_cert_file.empty() ? "tls_key_file" : "tls_cert_file"));
        return -1;
    }
    if (!c.tls_cert_file.empty() && c.tls_ca_file.empty()) {
        r.fail("tls_ca_file", "set when a client certificate is configured");
        return -1;
    }
    for (auto [key, file] : {std::pair{"tls_ca_file", &c.tls_ca_file},
                             {"tls_cert_file", &c.tls_cert_file},
                             {"tls_key_file", &c.tls_key_file}}) {
        if (!file->empty() && ::access(file->c_str(), R_OK) != 0) {
            r.fail(key, "a readable file (" + *file + ": " + std::strerror(errno) + ")");
            return -1;
        }
    }
    r.string("username", c.username);
    r.string("password_file", c.password_file);
    if (!c.password_file.empty() && c.username.empty()) {
        r.fail("username", "set when password_file is");
        return -1;
    }
    std::int64_t port = c.tls() ? 8883 : 1883;
    if (!r.number("broker_port", 1, 65535, port)) {
        return -1;
    }
    c.broker_port = static_cast<int>(port);
    r.string("queue_dir", c.queue_dir);
    r.string("firmware_dir", c.firmware_dir);
    if (c.queue_dir.empty() || c.firmware_dir.empty()) {
        r.fail(c.queue_dir.empty() ? "queue_dir" : "firmware_dir", "a folder");
        return -1;
    }
    std::int64_t sync = c.queue_sync_ms;
    if (!r.number("queue_max_bytes", 65536, std::int64_t{1} << 40, c.queue_max_bytes) ||
        !r.number("queue_sync_ms", 0, 60000, sync) ||
        !r.number("firmware_max_bytes", 1, 64 * 1024 * 1024, c.firmware_max_bytes)) {
        return -1;
    }
    c.queue_sync_ms = static_cast<int>(sync);
    std::string key;
    if (r.string("firmware_public_key", key) != 0 && !key.empty()) {
        bool ok = key.size() == 64;
        for (std::size_t i = 0; ok && i < 32; ++i) {
            const int hi = hex_value(key[2 * i]);
            const int lo = hex_value(key[2 * i + 1]);
            ok = hi >= 0 && lo >= 0;
            c.firmware_public_key[i] = static_cast<unsigned char>(hi * 16 + lo);
        }
        if (!ok) {
            r.fail("firmware_public_key", "64 hex digits (an Ed25519 public key)");
            return -1;
        }
        c.has_public_key = true;
    }
    out = std::move(c);
    return 0;
}

int read_password(const std::string &path, std::string &out, std::string *error) {
    std::ifstream in(path);
    if (!in) {
        if (error != nullptr) {
            *error = "cannot read password_file " + path + ": " + std::strerror(errno);
        }
        return -1;
    }
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) {
        line.pop_back();
    }
    out = std::move(line);
    return 0;
}

const char *const kHelpText =
    "Usage: kor_fleet_agent --config FILE\n"
    "\n"
    "Links the oven to a fleet's MQTT broker. It serves the bus channels zeb_telvo (the cloud\n"
    "reports of the oven manager) and zeb_update (firmware offers to the oven manager), keeps\n"
    "every report in a durable queue until the broker acknowledged it, keeps the oven's presence\n"
    "on the broker, and hands signed firmware images offered by the fleet to the oven manager.\n"
    "\n"
    "Options:\n"
    "  --config FILE  the configuration store (one \"key = value\" a line; # starts a comment)\n"
    "  --help         show this text and exit\n"
    "  --version      show the version and exit\n"
    "\n"
    "Configuration keys:\n"
    "  oven_id             required: 1 to 64 characters of A-Z a-z 0-9 _ . -\n"
    "  broker_host         the broker's host name or address (127.0.0.1)\n"
    "  broker_port         the broker's port (1883; 8883 with TLS)\n"
    "  topic_prefix        the first topic levels (kor)\n"
    "  tls_ca_file         CA certificates (PEM) that sign the broker's certificate; turns TLS\n"
    "                      on, and the broker's name must match its certificate\n"
    "  tls_cert_file       client certificate (PEM), with tls_key_file\n"
    "  tls_key_file        the client certificate's private key (PEM, not encrypted)\n"
    "  username            user name at the broker\n"
    "  password_file       a file whose first line is the password (never logged)\n"
    "  queue_dir           the durable report queue (/var/lib/kor/fleet)\n"
    "  queue_max_bytes     the queue's bound; when full the oldest reports give way to one\n"
    "                      fleet_dropped report (16777216, at least 65536)\n"
    "  queue_sync_ms       how often queued reports are flushed to the storage (200); 0 flushes\n"
    "                      every report before it is published. A power cut takes at most the\n"
    "                      reports of this last period; a crash of the agent takes none\n"
    "  firmware_dir        where accepted firmware images are written "
    "(/var/lib/kor/fleet/firmware)\n"
    "  firmware_public_key the fleet's Ed25519 public key, 64 hex digits; without it every\n"
    "                      firmware offer is refused\n"
    "  firmware_max_bytes  the largest firmware image accepted (1048576)\n"
    "\n"
    "Topics (<p> = topic_prefix/oven_id):\n"
    "  <p>/report/<t>       out, QoS 1: {\"seq\": N, \"time\": \"...\", \"report\": {...}}\n"
    "  <p>/status           out, retained: {\"state\": \"online\", ...}; \"offline\" as last will\n"
    "  <p>/firmware/offer   in, QoS 1: {\"component\", \"version\", \"sha256\", \"signature\", "
    "\"image\"}\n"
    "  <p>/firmware/status  out, QoS 1: {\"sha256\", \"state\", \"reason\"}\n"
    "\n"
    "Environment:\n"
    "  ZEB_BUS_DIR         the service bus folder (/run/zeb)\n"
    "  ZEB_LOG             stderr (default), syslog or file:PATH\n"
    "  ZEB_LOG_LEVEL       the highest level logged (6)\n"
    "\n"
    "Exit status: 0 after SIGTERM or SIGINT, 1 when the queue, the bus or the broker link cannot\n"
    "be set up, 2 for a usage or configuration error.\n";

}  // namespace kor_fleet
