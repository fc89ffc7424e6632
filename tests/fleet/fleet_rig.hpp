// Rig of the fleet agent's tests and benchmark: a real Mosquitto broker on 127.0.0.1 at a free
// port in a scratch folder, a subscriber written with libmosquitto that keeps every message it
// receives and lets a test wait for one, and the agent as a child process with its own
// configuration file. Everything stops when its owner goes, also when a test fails half-way.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "log_capture.hpp"

struct mosquitto;
struct mosquitto_message;

namespace kor_test {

using Millis = std::chrono::milliseconds;

// A child process: stdout and stderr into files of the given folder.
class ChildProcess {
  public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    bool start(const std::string &program, const std::vector<std::string> &args,
               const std::map<std::string, std::string> &env, const std::string &out_file);
    bool running();
    // The exit status, 128 + signal for a signal, -1 on a time-out.
    int wait_exit(Millis timeout);
    // sig, then SIGKILL after grace; the exit status as wait_exit gives it.
    int stop(int sig = 15, Millis grace = Millis(5000));
    void kill(int sig);
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
    int status_ = -1;
};

class MosquittoBroker {
  public:
    MosquittoBroker() = default;
    ~MosquittoBroker();
    MosquittoBroker(const MosquittoBroker &) = delete;
    MosquittoBroker &operator=(const MosquittoBroker &) = delete;

    // Starts on a free port (or the port of an earlier start, for a restart). Extra lines go
    // into the listener's configuration (TLS, passwords). Waits until it accepts connections.
    bool start(const std::vector<std::string> &listener_lines = {});
    void stop();
    // Sends sig to the broker (SIGSTOP freezes it with its connections open; SIGKILL loses what
    // it had not handled yet, and, without a clean stop, the sessions too).
    void kill(int sig) { proc_.kill(sig); }
    int wait_exit(Millis timeout) { return proc_.wait_exit(timeout); }
    bool running() { return proc_.running(); }
    int port() const { return port_; }
    std::string log_text() const;
    const std::string &folder() const { return scratch_.path(); }

  private:
    ScratchDir scratch_;
    ChildProcess proc_;
    int port_ = 0;
};

struct MqttMessage {
    std::string topic;
    std::string payload;
    bool retained = false;
    int qos = 0;
};

using MessagePredicate = std::function<bool(const MqttMessage &)>;

// A libmosquitto client that subscribes a topic filter and keeps what arrives, in order.
class MqttSubscriber {
  public:
    // With a client id the broker keeps the session (and queues what arrives for it) while the
    // subscriber or the broker is away; without one the session is clean.
    explicit MqttSubscriber(const std::string &client_id = "");
    ~MqttSubscriber();
    MqttSubscriber(const MqttSubscriber &) = delete;
    MqttSubscriber &operator=(const MqttSubscriber &) = delete;

    // Connects (retrying until the deadline) and subscribes filter with QoS 1; waits for the
    // broker's acknowledgement of the subscription. tls_ca and the client pair are optional.
    bool connect(int port, const std::string &filter, const std::string &tls_ca = "",
                 const std::string &cert = "", const std::string &key = "",
                 const std::string &user = "", const std::string &password = "");
    void disconnect();
    // QoS 1; waits for the broker's acknowledgement.
    bool publish(const std::string &topic, const std::string &payload, bool retain = false);

    std::vector<MqttMessage> messages() const;
    std::size_t count() const;
    // The first message at or after *cursor (from 0 without one) matching topic (exact; empty
    // matches all) and pred; moves *cursor past it.
    std::optional<MqttMessage> wait(const std::string &topic, const MessagePredicate &pred,
                                    Millis timeout, std::size_t *cursor = nullptr);
    // Waits until count messages on topic arrived.
    bool wait_count(const std::string &topic, std::size_t count, Millis timeout);

  private:
    static void on_message(mosquitto *, void *obj, const mosquitto_message *msg);
    static void on_event(mosquitto *, void *obj, int mid);

    mosquitto *mosq_ = nullptr;
    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::vector<MqttMessage> messages_;
    int acked_mid_ = -1;
    int subscribed_mid_ = -1;
    bool started_ = false;
};

// kor_fleet_agent as a child with its configuration file and log in a scratch folder.
class AgentProcess {
  public:
    AgentProcess();
    ~AgentProcess();
    AgentProcess(const AgentProcess &) = delete;
    AgentProcess &operator=(const AgentProcess &) = delete;

    // The configuration's keys; oven_id, broker_port, queue_dir and firmware_dir have defaults
    // in the scratch folder, set the port before start.
    std::map<std::string, std::string> config;
    // Further environment of the agent (NOTIFY_SOCKET, WATCHDOG_USEC).
    std::map<std::string, std::string> env;
    // Writes the configuration and starts the agent with the bus folder bus_dir; waits for its
    // start-up line unless wait_started is false.
    bool start(const std::string &bus_dir, bool wait_started = true);
    int stop(int sig = 15) { return proc_.stop(sig); }
    int wait_exit(Millis timeout) { return proc_.wait_exit(timeout); }
    void kill(int sig) { proc_.kill(sig); }
    bool running() { return proc_.running(); }
    pid_t pid() const { return proc_.pid(); }
    std::string log_text() const;
    int log_count(const std::string &part) const;
    bool wait_log(const std::string &part, Millis timeout, int count = 1) const;
    std::string file(const std::string &name) const { return scratch_.file(name); }
    std::string queue_dir() const { return config.at("queue_dir"); }
    std::string topic(const std::string &leaf) const;

  private:
    ScratchDir scratch_;
    ChildProcess proc_;
};

// An Ed25519 key pair for signing firmware offers.
struct SigningKeys {
    unsigned char pk[32];
    unsigned char sk[64];
    SigningKeys();
    std::string public_hex() const;
};

// The text of a firmware offer of image, signed with keys: sha256 and signature in hex, the
// image in base64.
std::string make_offer(const SigningKeys &keys, const std::string &image,
                       const std::string &component = "dravik_kor_board");

// Sends one report to "zeb_telvo" as the oven manager does ("1s0 json", the text and its NUL).
int send_report(const std::string &text);

}  // namespace kor_test
