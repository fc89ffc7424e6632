// The fleet agent: serves the bus channels "zeb_telvo" (cloud reports in) and "zeb_update"
// (firmware offers out to the oven manager, its answers in) and links them to the broker.
//
// Threads: one per bus channel, waiting on the channel; libmosquitto's network thread;
// and the loop (run), which alone owns the agent's state. The report thread appends each report
// to the durable queue at once and wakes the loop; every other event reaches the loop through
// one inbox. The loop publishes queued reports while connected, at most a window of them
// unacknowledged, and moves the queue's acknowledged mark as the broker's acknowledgements come
// in, in order. libmosquitto resends what was in flight after a reconnect, so within one process
// a report is handed to it once, and within one connection it is never sent twice.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "kor_fleet_config.hpp"
#include "kor_fleet_mqtt.hpp"
#include "kor_fleet_queue.hpp"
#include "zeb_logger.h"

namespace zeb {
class BusEndpoint;
}

namespace kor_fleet {

inline constexpr const char *kTelvoChannel = "zeb_telvo";
inline constexpr const char *kUpdateChannel = "zeb_update";
// The oven manager's channel, until one registers with "zeb.update.register".
inline constexpr const char *kDefaultManager = "zeb_backend";
// Reports longer than this are refused: the manager's are at most 1 KiB.
inline constexpr std::size_t kMaxReportBytes = 8192;

class Agent final : public MqttEvents {
  public:
    Agent(Config config, std::string password, zeb_logger_t *log);
    ~Agent() override;
    Agent(const Agent &) = delete;
    Agent &operator=(const Agent &) = delete;

    // Opens the queue, the two bus channels and the broker link, and starts the threads.
    // 0, or -1 after logging why.
    int start();
    // The loop, until request_stop. Returns 0.
    int run();
    // From any thread (the signal thread).
    void request_stop();

    // MqttEvents, on the network thread.
    void on_connected() override;
    void on_disconnected(int reason) override;
    void on_published(int mid) override;
    void on_message(std::string topic, std::string payload) override;

  private:
    enum class Kind { kConnected, kDisconnected, kPublished, kMessage, kRegister, kResponse };
    struct Event {
        Kind kind;
        int number = 0;
        std::string a;  // topic, channel or sender
        std::string b;  // payload
    };
    struct Inflight {
        int mid;
        std::uint64_t seq;
        bool acked;
    };
    struct PendingOffer {
        std::string sha256;
        std::string channel;
        std::int64_t deadline_ms;
    };

    void push(Event event);
    void telvo_thread();
    void update_thread();
    void handle(Event &event);
    void pump();
    void publish_status();
    void publish_firmware_status(const std::string &sha256, const char *state,
                                 const std::string &reason);
    void handle_offer(const std::string &topic, const std::string &payload);
    void handle_response(const std::string &sender, int code);
    void shutdown();

    const Config config_;
    const std::string password_;
    zeb_logger_t *log_;
    const std::string offer_topic_;
    const std::string status_topic_;
    const std::string firmware_status_topic_;
    const std::int64_t started_ms_;

    std::unique_ptr<ReportQueue> queue_;
    std::unique_ptr<zeb::BusEndpoint> telvo_;
    std::unique_ptr<zeb::BusEndpoint> update_;
    std::unique_ptr<MqttLink> link_;
    std::thread telvo_thread_;
    std::thread update_thread_;

    std::mutex inbox_lock_;
    std::condition_variable inbox_cv_;
    std::deque<Event> inbox_;
    bool reports_waiting_ = false;
    bool stop_ = false;

    // Owned by the loop.
    bool connected_ = false;
    std::deque<Inflight> inflight_;
    std::optional<QueueRecord> held_;  // read from the queue, not yet taken by the client
    std::string board_versions_ = "null";
    std::string update_client_ = kDefaultManager;
    std::optional<PendingOffer> pending_;
    bool shut_down_ = false;
    std::atomic<bool> draining_{false};  // the report thread reads what waits, then ends
};

}  // namespace kor_fleet
