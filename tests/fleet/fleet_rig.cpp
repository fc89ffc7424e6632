// The fleet agent's test rig (see fleet_rig.hpp).
#include "fleet_rig.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <signal.h>
#include <sodium.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "zeb_common.h"

namespace kor_test {

namespace {

bool port_accepts(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

void lib_init() {
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

}  // namespace

// ---- ChildProcess ----

ChildProcess::~ChildProcess() {
    stop(SIGKILL, Millis(5000));
}

bool ChildProcess::start(const std::string &program, const std::vector<std::string> &args,
                         const std::map<std::string, std::string> &env,
                         const std::string &out_file) {
    status_ = -1;
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
        return false;
    }
    if (pid == 0) {
        // The child goes when the test process dies.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) {
            ::_exit(127);
        }
        const int out = ::open(out_file.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (out >= 0) {
            ::dup2(out, 1);
            ::dup2(out, 2);
        }
        if (!ChildUser::become()) {
            ::_exit(127);
        }
        for (const auto &[k, v] : env) {
            ::setenv(k.c_str(), v.c_str(), 1);
        }
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(program.c_str()));
        for (const auto &a : args) {
            argv.push_back(const_cast<char *>(a.c_str()));
        }
        argv.push_back(nullptr);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    pid_ = pid;
    return true;
}

bool ChildProcess::running() {
    if (pid_ <= 0) {
        return false;
    }
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        pid_ = -1;
        return false;
    }
    return true;
}

int ChildProcess::wait_exit(Millis timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (running()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return -1;
        }
        std::this_thread::sleep_for(Millis(5));
    }
    return status_;
}

int ChildProcess::stop(int sig, Millis grace) {
    if (!running()) {
        return status_;
    }
    ::kill(pid_, sig);
    const int rc = wait_exit(grace);
    if (rc != -1 || !running()) {
        return rc;
    }
    ::kill(pid_, SIGKILL);
    wait_exit(Millis(10000));
    return -1;
}

void ChildProcess::kill(int sig) {
    if (running()) {
        ::kill(pid_, sig);
    }
}

// ---- MosquittoBroker ----

MosquittoBroker::~MosquittoBroker() {
    stop();
}

bool MosquittoBroker::start(const std::vector<std::string> &listener_lines) {
    // A port taken by someone else between the probe and the broker's bind: try another.
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (port_ == 0 || attempt > 0) {
            port_ = free_loopback_port();
        }
        const std::string conf = scratch_.file("mosquitto.conf");
        {
            std::ofstream c(conf);
            // As root the broker would drop to the user "mosquitto", which cannot read the
            // scratch folder.
            if (::geteuid() == 0) {
                c << "user root\n";
            }
            c << "persistence true\n"
              << "persistence_location " << scratch_.path() << "/\n"
              << "max_queued_messages 0\n"
              << "log_dest file " << scratch_.file("mosquitto.log") << "\n"
              << "log_type error\nlog_type warning\nlog_type notice\n"
              << "listener " << port_ << " 127.0.0.1\n";
            bool anonymous_set = false;
            for (const auto &line : listener_lines) {
                c << line << "\n";
                anonymous_set = anonymous_set || line.rfind("allow_anonymous", 0) == 0;
            }
            if (!anonymous_set) {
                c << "allow_anonymous true\n";
            }
        }
        if (!proc_.start("/usr/sbin/mosquitto", {"-c", conf}, {}, scratch_.file("mosquitto.out"))) {
            return false;
        }
        if (wait_until([&] { return !proc_.running() || port_accepts(port_); }, Millis(10000)) &&
            proc_.running()) {
            return true;
        }
        proc_.stop(SIGKILL);
    }
    return false;
}

void MosquittoBroker::stop() {
    proc_.stop(SIGTERM, Millis(5000));
}

std::string MosquittoBroker::log_text() const {
    return read_file(scratch_.file("mosquitto.log")) + read_file(scratch_.file("mosquitto.out"));
}

// ---- MqttSubscriber ----

MqttSubscriber::MqttSubscriber(const std::string &client_id) {
    lib_init();
    mosq_ = mosquitto_new(client_id.empty() ? nullptr : client_id.c_str(), client_id.empty(), this);
    mosquitto_reconnect_delay_set(mosq_, 1, 1, false);
    mosquitto_message_callback_set(mosq_, &MqttSubscriber::on_message);
    mosquitto_publish_callback_set(mosq_, &MqttSubscriber::on_event);
    mosquitto_subscribe_callback_set(mosq_, [](mosquitto *, void *obj, int mid, int, const int *) {
        auto *self = static_cast<MqttSubscriber *>(obj);
        std::lock_guard<std::mutex> hold(self->lock_);
        self->subscribed_mid_ = mid;
        self->changed_.notify_all();
    });
}

MqttSubscriber::~MqttSubscriber() {
    disconnect();
    mosquitto_destroy(mosq_);
}

bool MqttSubscriber::connect(int port, const std::string &filter, const std::string &tls_ca,
                             const std::string &cert, const std::string &key,
                             const std::string &user, const std::string &password) {
    if (!tls_ca.empty()) {
        mosquitto_tls_set(mosq_, tls_ca.c_str(), nullptr, cert.empty() ? nullptr : cert.c_str(),
                          key.empty() ? nullptr : key.c_str(), nullptr);
    }
    if (!user.empty()) {
        mosquitto_username_pw_set(mosq_, user.c_str(), password.c_str());
    }
    const bool connected = wait_until(
        [&] { return mosquitto_connect(mosq_, "127.0.0.1", port, 30) == MOSQ_ERR_SUCCESS; },
        Millis(10000));
    if (!connected || mosquitto_loop_start(mosq_) != MOSQ_ERR_SUCCESS) {
        return false;
    }
    started_ = true;
    int mid = 0;
    if (mosquitto_subscribe(mosq_, &mid, filter.c_str(), 1) != MOSQ_ERR_SUCCESS) {
        return false;
    }
    std::unique_lock<std::mutex> hold(lock_);
    return changed_.wait_for(hold, Millis(10000), [&] { return subscribed_mid_ == mid; });
}

void MqttSubscriber::disconnect() {
    if (started_) {
        mosquitto_disconnect(mosq_);
        mosquitto_loop_stop(mosq_, false);
        started_ = false;
    }
}

bool MqttSubscriber::publish(const std::string &topic, const std::string &payload, bool retain) {
    int mid = 0;
    if (mosquitto_publish(mosq_, &mid, topic.c_str(), static_cast<int>(payload.size()),
                          payload.data(), 1, retain) != MOSQ_ERR_SUCCESS) {
        return false;
    }
    std::unique_lock<std::mutex> hold(lock_);
    return changed_.wait_for(hold, Millis(10000), [&] { return acked_mid_ == mid; });
}

void MqttSubscriber::on_message(mosquitto *, void *obj, const mosquitto_message *msg) {
    auto *self = static_cast<MqttSubscriber *>(obj);
    MqttMessage m;
    m.topic = msg->topic;
    if (msg->payloadlen > 0) {
        m.payload.assign(static_cast<const char *>(msg->payload),
                         static_cast<std::size_t>(msg->payloadlen));
    }
    m.retained = msg->retain;
    m.qos = msg->qos;
    std::lock_guard<std::mutex> hold(self->lock_);
    self->messages_.push_back(std::move(m));
    self->changed_.notify_all();
}

void MqttSubscriber::on_event(mosquitto *, void *obj, int mid) {
    auto *self = static_cast<MqttSubscriber *>(obj);
    std::lock_guard<std::mutex> hold(self->lock_);
    self->acked_mid_ = mid;
    self->changed_.notify_all();
}

std::vector<MqttMessage> MqttSubscriber::messages() const {
    std::lock_guard<std::mutex> hold(lock_);
    return messages_;
}

std::size_t MqttSubscriber::count() const {
    std::lock_guard<std::mutex> hold(lock_);
    return messages_.size();
}

std::optional<MqttMessage> MqttSubscriber::wait(const std::string &topic,
                                                const MessagePredicate &pred, Millis timeout,
                                                std::size_t *cursor) {
    std::unique_lock<std::mutex> hold(lock_);
    std::size_t at = cursor != nullptr ? *cursor : 0;
    std::optional<MqttMessage> found;
    changed_.wait_for(hold, timeout, [&] {
        for (; at < messages_.size(); ++at) {
            const MqttMessage &m = messages_[at];
            if ((topic.empty() || m.topic == topic) && (!pred || pred(m))) {
                found = m;
                if (cursor != nullptr) {
                    *cursor = at + 1;
                }
                return true;
            }
        }
        return false;
    });
    return found;
}

bool MqttSubscriber::wait_count(const std::string &topic, std::size_t count, Millis timeout) {
    std::unique_lock<std::mutex> hold(lock_);
    return changed_.wait_for(hold, timeout, [&] {
        std::size_t n = 0;
        for (const auto &m : messages_) {
            n += m.topic == topic ? 1 : 0;
        }
        return n >= count;
    });
}

// ---- AgentProcess ----

AgentProcess::AgentProcess() {
    config = {{"oven_id", "oven-7"},
              {"queue_dir", scratch_.file("queue")},
              {"firmware_dir", scratch_.file("firmware")}};
}

AgentProcess::~AgentProcess() {
    proc_.stop(SIGKILL);
}

bool AgentProcess::start(const std::string &bus_dir, bool wait_started) {
    const std::string conf = scratch_.file("fleet.conf");
    {
        std::ofstream c(conf);
        for (const auto &[k, v] : config) {
            c << k << " = " << v << "\n";
        }
    }
    const int before = log_count("Fleet agent ");
    std::map<std::string, std::string> all = env;
    all["ZEB_BUS_DIR"] = bus_dir;
    all["ZEB_LOG"] = "file:" + scratch_.file("agent.log");
    all["ZEB_LOG_LEVEL"] = "7";
    if (!proc_.start(bin_dir() + "/kor_fleet_agent", {"--config", conf}, all,
                     scratch_.file("agent.out"))) {
        return false;
    }
    if (!wait_started) {
        return true;
    }
    return wait_until([&] { return !proc_.running() || log_count("Fleet agent ") > before; },
                      Millis(10000)) &&
           proc_.running();
}

std::string AgentProcess::log_text() const {
    return read_file(scratch_.file("agent.log")) + read_file(scratch_.file("agent.out"));
}

int AgentProcess::log_count(const std::string &part) const {
    const std::string text = log_text();
    int n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

bool AgentProcess::wait_log(const std::string &part, Millis timeout, int count) const {
    return wait_until([&] { return log_count(part) >= count; }, timeout);
}

std::string AgentProcess::topic(const std::string &leaf) const {
    const auto p = config.find("topic_prefix");
    return (p == config.end() ? std::string("kor") : p->second) + "/" + config.at("oven_id") + "/" +
           leaf;
}

SigningKeys::SigningKeys() {
    if (sodium_init() < 0) {
        std::abort();
    }
    crypto_sign_keypair(pk, sk);
}

namespace {
std::string hex(const unsigned char *p, std::size_t n) {
    std::string out(2 * n + 1, '\0');
    sodium_bin2hex(out.data(), out.size(), p, n);
    out.pop_back();
    return out;
}
}  // namespace

std::string SigningKeys::public_hex() const {
    return hex(pk, sizeof pk);
}

std::string make_offer(const SigningKeys &keys, const std::string &image,
                       const std::string &component) {
    const auto *bytes = reinterpret_cast<const unsigned char *>(image.data());
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(digest, bytes, image.size());
    unsigned char sig[crypto_sign_BYTES];
    crypto_sign_detached(sig, nullptr, bytes, image.size(), keys.sk);
    std::string b64(sodium_base64_encoded_len(image.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(b64.data(), b64.size(), bytes, image.size(), sodium_base64_VARIANT_ORIGINAL);
    b64.pop_back();
    return "{\"component\": \"" + component + "\", \"version\": \"3.12\", \"sha256\": \"" +
           hex(digest, sizeof digest) + "\", \"signature\": \"" + hex(sig, sizeof sig) +
           "\", \"image\": \"" + b64 + "\"}";
}

int send_report(const std::string &text) {
    // The agent's connection may be full for a moment; the manager would lose the report, a
    // test waits.
    int rc = -EAGAIN;
    wait_until(
        [&] {
            rc = zeb_service_send_event("zeb_telvo", "zeb.telvo.send", "1s0 json", text.c_str(),
                                        static_cast<int32_t>(text.size() + 1));
            return rc != -EAGAIN;
        },
        Millis(10000));
    return rc;
}

}  // namespace kor_test
