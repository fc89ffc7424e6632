// The broker link: one libmosquitto client (MQTT 3.1.1) with its own network thread, which
// connects, reconnects with backoff and keeps QoS 1 messages in flight until the broker
// acknowledged them, resending them after a reconnect. The callbacks only hand events to the
// agent's loop (MqttEvents); they never block the network thread.
#pragma once

#include <memory>
#include <string>

#include "kor_fleet_config.hpp"
#include "zeb_logger.h"

struct mosquitto;
struct mosquitto_message;

namespace kor_fleet {

class MqttEvents {
  public:
    virtual ~MqttEvents() = default;
    virtual void on_connected() = 0;
    virtual void on_disconnected(int reason) = 0;
    virtual void on_published(int mid) = 0;
    virtual void on_message(std::string topic, std::string payload) = 0;
};

class MqttLink {
  public:
    // Sets the client up: credentials, TLS, the last will "offline" on will_topic. 0, or -1
    // after logging why (a file that cannot be read names the key, never a secret).
    static int create(const Config &config, const std::string &password,
                      const std::string &will_topic, MqttEvents *events, zeb_logger_t *log,
                      std::unique_ptr<MqttLink> &out);
    ~MqttLink();
    MqttLink(const MqttLink &) = delete;
    MqttLink &operator=(const MqttLink &) = delete;

    // Starts the network thread and the first connection attempt; a broker that is not there
    // yet is tried again with backoff. 0 or -1.
    int start();
    // Publishes; the message id into *mid. 0, or -1 when the client refused it (not connected).
    int publish(const std::string &topic, const std::string &payload, int qos, bool retain,
                int *mid = nullptr);
    int subscribe(const std::string &topic, int qos);
    // A clean disconnect (the broker then keeps the last will to itself) and the end of the
    // network thread.
    void stop();

  private:
    MqttLink(MqttEvents *events, zeb_logger_t *log);
    static void connect_cb(mosquitto *m, void *obj, int rc);
    static void disconnect_cb(mosquitto *m, void *obj, int rc);
    static void publish_cb(mosquitto *m, void *obj, int mid);
    static void message_cb(mosquitto *m, void *obj, const mosquitto_message *msg);

    MqttEvents *events_;
    zeb_logger_t *log_;
    mosquitto *mosq_ = nullptr;
    std::string host_;
    int port_ = 0;
    bool started_ = false;
};

}  // namespace kor_fleet
