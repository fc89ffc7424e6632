// The broker link over libmosquitto (see kor_fleet_mqtt.hpp).
#include "kor_fleet_mqtt.hpp"

#include <mosquitto.h>

#include <atomic>
#include <cstring>
#include <mutex>

namespace kor_fleet {

namespace {

constexpr int kKeepaliveS = 30;
constexpr int kMaxInflight = 64;

// mosquitto_lib_init once per process, however many links.
void lib_init() {
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

}  // namespace

MqttLink::MqttLink(MqttEvents *events, zeb_logger_t *log) : events_(events), log_(log) {}

MqttLink::~MqttLink() {
    stop();
    if (mosq_ != nullptr) {
        mosquitto_destroy(mosq_);
    }
}

int MqttLink::create(const Config &config, const std::string &password,
                     const std::string &will_topic, MqttEvents *events, zeb_logger_t *log,
                     std::unique_ptr<MqttLink> &out) {
    lib_init();
    std::unique_ptr<MqttLink> link(new MqttLink(events, log));
    // A persistent session: the broker keeps the firmware subscription, and offers sent while
    // the oven was away, for the client id of this oven.
    const std::string client_id = "kor_fleet_" + config.oven_id;
    link->mosq_ = mosquitto_new(client_id.c_str(), false, link.get());
    if (link->mosq_ == nullptr) {
        zeb_logger_log(log, 3, kModule, "Cannot create the MQTT client: %s", std::strerror(errno));
        return -1;
    }
    mosquitto *m = link->mosq_;
    mosquitto_int_option(m, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_max_inflight_messages_set(m, kMaxInflight);
    mosquitto_reconnect_delay_set(m, 1, 30, true);
    mosquitto_connect_callback_set(m, &MqttLink::connect_cb);
    mosquitto_disconnect_callback_set(m, &MqttLink::disconnect_cb);
    mosquitto_publish_callback_set(m, &MqttLink::publish_cb);
    mosquitto_message_callback_set(m, &MqttLink::message_cb);
    // The library's own errors (a refused TLS handshake, a name that does not resolve) say why
    // a connection does not come up.
    mosquitto_log_callback_set(m, [](mosquitto *, void *obj, int level, const char *text) {
        if ((level & (MOSQ_LOG_ERR | MOSQ_LOG_WARNING)) != 0 && text != nullptr) {
            zeb_logger_log(static_cast<MqttLink *>(obj)->log_, 4, kModule, "MQTT: %s", text);
        }
    });

    static const char kOffline[] = "{\"state\": \"offline\"}";
    int rc = mosquitto_will_set(m, will_topic.c_str(), static_cast<int>(sizeof kOffline - 1),
                                kOffline, 1, true);
    if (rc != MOSQ_ERR_SUCCESS) {
        zeb_logger_log(log, 3, kModule, "Cannot set the last will: %s", mosquitto_strerror(rc));
        return -1;
    }
    if (!config.username.empty()) {
        rc = mosquitto_username_pw_set(m, config.username.c_str(),
                                       config.password_file.empty() ? nullptr : password.c_str());
        if (rc != MOSQ_ERR_SUCCESS) {
            zeb_logger_log(log, 3, kModule, "Cannot set the broker credentials: %s",
                           mosquitto_strerror(rc));
            return -1;
        }
    }
    if (config.tls()) {
        rc = mosquitto_tls_set(
            m, config.tls_ca_file.c_str(), nullptr,
            config.tls_cert_file.empty() ? nullptr : config.tls_cert_file.c_str(),
            config.tls_key_file.empty() ? nullptr : config.tls_key_file.c_str(), nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            zeb_logger_log(log, 3, kModule, "Cannot set TLS up with tls_ca_file %s%s%s: %s",
                           config.tls_ca_file.c_str(),
                           config.tls_cert_file.empty() ? "" : ", tls_cert_file ",
                           config.tls_cert_file.c_str(), mosquitto_strerror(rc));
            return -1;
        }
        // The broker's certificate is checked, and its name against broker_host.
        mosquitto_tls_opts_set(m, 1, nullptr, nullptr);
        mosquitto_tls_insecure_set(m, false);
    }
    link->host_ = config.broker_host;
    link->port_ = config.broker_port;
    out = std::move(link);
    return 0;
}

int MqttLink::start() {
    int rc = mosquitto_loop_start(mosq_);
    if (rc != MOSQ_ERR_SUCCESS) {
        zeb_logger_log(log_, 3, kModule, "Cannot start the MQTT thread: %s",
                       mosquitto_strerror(rc));
        return -1;
    }
    started_ = true;
    rc = mosquitto_connect_async(mosq_, host_.c_str(), port_, kKeepaliveS);
    if (rc != MOSQ_ERR_SUCCESS) {
        // The network thread keeps trying.
        zeb_logger_log(log_, 4, kModule, "Broker %s:%d not reachable yet: %s", host_.c_str(), port_,
                       rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc));
    }
    return 0;
}

int MqttLink::publish(const std::string &topic, const std::string &payload, int qos, bool retain,
                      int *mid) {
    const int rc = mosquitto_publish(mosq_, mid, topic.c_str(), static_cast<int>(payload.size()),
                                     payload.data(), qos, retain);
    return rc == MOSQ_ERR_SUCCESS ? 0 : -1;
}

int MqttLink::subscribe(const std::string &topic, int qos) {
    const int rc = mosquitto_subscribe(mosq_, nullptr, topic.c_str(), qos);
    return rc == MOSQ_ERR_SUCCESS ? 0 : -1;
}

void MqttLink::stop() {
    if (!started_) {
        return;
    }
    started_ = false;
    // The network thread ends by itself once the disconnect is out (or, with no connection, as
    // soon as it is woken): cancelling it could leave one of the library's locks held.
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, false);
}

void MqttLink::connect_cb(mosquitto *, void *obj, int rc) {
    auto *self = static_cast<MqttLink *>(obj);
    if (rc != 0) {
        zeb_logger_log(self->log_, 3, kModule, "Broker %s:%d refused the connection: %s",
                       self->host_.c_str(), self->port_, mosquitto_connack_string(rc));
        return;
    }
    zeb_logger_log(self->log_, 6, kModule, "Connected to the broker %s:%d", self->host_.c_str(),
                   self->port_);
    self->events_->on_connected();
}

void MqttLink::disconnect_cb(mosquitto *, void *obj, int rc) {
    auto *self = static_cast<MqttLink *>(obj);
    if (rc != 0) {
        zeb_logger_log(self->log_, 4, kModule, "Lost the broker %s:%d: %s", self->host_.c_str(),
                       self->port_, mosquitto_strerror(rc));
    }
    self->events_->on_disconnected(rc);
}

void MqttLink::publish_cb(mosquitto *, void *obj, int mid) {
    static_cast<MqttLink *>(obj)->events_->on_published(mid);
}

void MqttLink::message_cb(mosquitto *, void *obj, const mosquitto_message *msg) {
    auto *self = static_cast<MqttLink *>(obj);
    std::string payload;
    if (msg->payload != nullptr && msg->payloadlen > 0) {
        payload.assign(static_cast<const char *>(msg->payload),
                       static_cast<std::size_t>(msg->payloadlen));
    }
    self->events_->on_message(msg->topic != nullptr ? msg->topic : "", std::move(payload));
}

}  // namespace kor_fleet
