// The fleet agent's threads and loop (see kor_fleet_agent.hpp).
#include "kor_fleet_agent.hpp"

#include <malloc.h>
#include <systemd/sd-daemon.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>

#include <nlohmann/json.hpp>

#include "kor_fleet_firmware.hpp"
#include "kor_fleet_report.hpp"
#include "zeb_bus.hpp"

namespace kor_fleet {

namespace {

using json = nlohmann::json;

constexpr std::size_t kWindow = 64;            // reports handed to the client, unacknowledged
constexpr int kTickMs = 100;                   // the loop looks at its clocks this often
constexpr std::int64_t kAnswerMs = 60 * 1000;  // for the manager's first answer to an offer
constexpr std::int64_t kTransferMs = 30 * 60 * 1000;  // for the end of an accepted transfer
constexpr std::size_t kComponentField = 255;

std::int64_t mono_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

// The text of a bus event's data, up to its NUL or its end.
std::string event_text(const zeb_event_t &ev, std::size_t from = 0) {
    if (ev.data == nullptr || ev.length <= 0 || from >= static_cast<std::size_t>(ev.length)) {
        return {};
    }
    const char *p = static_cast<const char *>(ev.data) + from;
    const std::size_t n = static_cast<std::size_t>(ev.length) - from;
    return std::string(p, strnlen(p, n));
}

}  // namespace

Agent::Agent(Config config, std::string password, zeb_logger_t *log)
    : config_(std::move(config)),
      password_(std::move(password)),
      log_(log),
      offer_topic_(config_.topic("firmware/offer")),
      status_topic_(config_.topic("status")),
      firmware_status_topic_(config_.topic("firmware/status")),
      started_ms_(now_ms()) {}

Agent::~Agent() {
    shutdown();
}

int Agent::start() {
    if (crypto_init() != 0) {
        zeb_logger_log(log_, 3, kModule, "Cannot initialise libsodium");
        return -1;
    }
    if (ReportQueue::open({config_.queue_dir, config_.queue_max_bytes, config_.queue_sync_ms}, log_,
                          queue_) != 0) {
        return -1;
    }
    for (auto [name, endpoint] : {std::pair{kTelvoChannel, &telvo_}, {kUpdateChannel, &update_}}) {
        if (const int rc = zeb::BusEndpoint::open(name, *endpoint); rc != 0) {
            zeb_logger_log(log_, 3, kModule, "Cannot open the bus channel %s in %s: %s", name,
                           zeb::bus_dir().c_str(),
                           rc == -EADDRINUSE ? "another process holds it" : std::strerror(-rc));
            return -1;
        }
    }
    if (MqttLink::create(config_, password_, status_topic_, this, log_, link_) != 0) {
        return -1;
    }
    telvo_thread_ = std::thread([this] { telvo_thread(); });
    update_thread_ = std::thread([this] { update_thread(); });
    if (link_->start() != 0) {
        return -1;
    }
    zeb_logger_log(log_, 6, kModule,
                   "Fleet agent %s started for oven %s: broker %s:%d%s, queue %s (next seq %" PRIu64
                   ", acknowledged %" PRIu64 ")",
                   kVersion, config_.oven_id.c_str(), config_.broker_host.c_str(),
                   config_.broker_port, config_.tls() ? " (TLS)" : "", config_.queue_dir.c_str(),
                   queue_->next_seq(), queue_->acked());
    return 0;
}

void Agent::push(Event event) {
    {
        std::lock_guard<std::mutex> hold(inbox_lock_);
        inbox_.push_back(std::move(event));
    }
    inbox_cv_.notify_one();
}

void Agent::request_stop() {
    {
        std::lock_guard<std::mutex> hold(inbox_lock_);
        stop_ = true;
    }
    inbox_cv_.notify_one();
}

void Agent::on_connected() {
    push({Kind::kConnected});
}
void Agent::on_disconnected(int reason) {
    push({Kind::kDisconnected, reason});
}
void Agent::on_published(int mid) {
    push({Kind::kPublished, mid});
}
void Agent::on_message(std::string topic, std::string payload) {
    push({Kind::kMessage, 0, std::move(topic), std::move(payload)});
}

void Agent::telvo_thread() {
    int quiet = 0;
    for (;;) {
        zeb_event_t *raw = nullptr;
        // At a stop, what already waits in the connections is read before the thread ends: the
        // manager took those reports as sent. A connection accepted in one round of the wait is
        // read in the next, so the channel counts as drained after two empty rounds.
        const bool draining = draining_.load();
        const int rc = telvo_->wait_event(&raw, draining ? 0 : kTickMs);
        if (rc == 1) {
            if (draining && ++quiet >= 2) {
                return;
            }
            continue;
        }
        quiet = 0;
        if (rc < 0) {
            if (rc != -ESHUTDOWN) {
                zeb_logger_log(log_, 3, kModule, "The bus channel %s failed: %s", kTelvoChannel,
                               std::strerror(-rc));
            }
            return;
        }
        zeb::EventPtr ev(raw);
        if (ev == nullptr) {
            continue;
        }
        if (std::strcmp(ev->name, "zeb.telvo.send") != 0) {
            zeb_logger_log(log_, 4, kModule, "Ignoring %s on %s", ev->name, kTelvoChannel);
            continue;
        }
        // The durable queue first: from here on the report survives a crash of the agent.
        const std::string text = event_text(*ev);
        if (text.size() > kMaxReportBytes) {
            zeb_logger_log(log_, 4, kModule, "Refusing a report of %zu bytes from %s (at most %zu)",
                           text.size(), ev->sender, kMaxReportBytes);
            continue;
        }
        queue_->append(text, now_ms());
        {
            std::lock_guard<std::mutex> hold(inbox_lock_);
            reports_waiting_ = true;
        }
        inbox_cv_.notify_one();
    }
}

void Agent::update_thread() {
    for (;;) {
        zeb_event_t *raw = nullptr;
        const int rc = update_->wait_event(&raw, -1);
        if (rc < 0) {
            if (rc != -ESHUTDOWN) {
                zeb_logger_log(log_, 3, kModule, "The bus channel %s failed: %s", kUpdateChannel,
                               std::strerror(-rc));
            }
            return;
        }
        zeb::EventPtr ev(raw);
        if (ev == nullptr) {
            continue;
        }
        int32_t value = 0;
        const bool has_value = ev->data != nullptr && ev->length >= 4;
        if (has_value) {
            std::memcpy(&value, ev->data, 4);
        }
        if (std::strcmp(ev->name, "zeb.update.register") == 0 && has_value) {
            push({Kind::kRegister, value, event_text(*ev, 4)});
        } else if (std::strcmp(ev->name, "zeb.update.firmware.response") == 0 && has_value) {
            push({Kind::kResponse, value, ev->sender});
        } else {
            zeb_logger_log(log_, 4, kModule, "Ignoring %s (%d bytes) on %s", ev->name, ev->length,
                           kUpdateChannel);
        }
    }
}

int Agent::run() {
    sd_notify(0, "READY=1");
    uint64_t watchdog_us = 0;
    const bool watchdog = sd_watchdog_enabled(0, &watchdog_us) > 0;
    std::int64_t last_watchdog = 0;
    std::vector<Event> events;
    for (;;) {
        bool stopping = false;
        {
            std::unique_lock<std::mutex> hold(inbox_lock_);
            inbox_cv_.wait_for(hold, std::chrono::milliseconds(kTickMs),
                               [&] { return stop_ || reports_waiting_ || !inbox_.empty(); });
            events.assign(std::make_move_iterator(inbox_.begin()),
                          std::make_move_iterator(inbox_.end()));
            inbox_.clear();
            reports_waiting_ = false;
            stopping = stop_;
        }
        for (Event &e : events) {
            handle(e);
        }
        events.clear();
        if (stopping) {
            break;
        }
        pump();
        queue_->flush();
        const std::int64_t now = mono_ms();
        if (pending_ && now > pending_->deadline_ms) {
            zeb_logger_log(log_, 3, kModule, "No answer from %s to the firmware offer %s",
                           pending_->channel.c_str(), pending_->sha256.c_str());
            publish_firmware_status(pending_->sha256, "failed", "no answer from the oven manager");
            pending_.reset();
        }
        if (watchdog && now - last_watchdog >= static_cast<std::int64_t>(watchdog_us / 2000)) {
            sd_notify(0, "WATCHDOG=1");
            last_watchdog = now;
        }
    }
    sd_notify(0, "STOPPING=1");
    shutdown();
    return 0;
}

void Agent::handle(Event &e) {
    switch (e.kind) {
        case Kind::kConnected:
            connected_ = true;
            publish_status();
            if (link_->subscribe(offer_topic_, 1) != 0) {
                zeb_logger_log(log_, 4, kModule, "Cannot subscribe %s", offer_topic_.c_str());
            }
            break;
        case Kind::kDisconnected:
            connected_ = false;
            break;
        case Kind::kPublished: {
            const auto it = std::find_if(inflight_.begin(), inflight_.end(),
                                         [&](const Inflight &f) { return f.mid == e.number; });
            if (it == inflight_.end()) {
                break;  // a status message
            }
            it->acked = true;
            // The acknowledged mark moves only over an unbroken run from the oldest.
            while (!inflight_.empty() && inflight_.front().acked) {
                queue_->acknowledge(inflight_.front().seq);
                inflight_.pop_front();
            }
            break;
        }
        case Kind::kMessage:
            handle_offer(e.a, e.b);
            // An offer brings the whole image, in base64 with its signature in hex, and its parse
            // and checks take several times that. Freed, those pages would stay with the agent
            // at the size of the largest offer so far; offers are rare, so they go back at once.
            std::string().swap(e.b);
            malloc_trim(0);
            break;
        case Kind::kRegister:
            if (e.number == 1 && zeb::valid_channel_name(e.a.c_str())) {
                update_client_ = e.a;
                zeb_logger_log(log_, 6, kModule, "Update client %s registered", e.a.c_str());
            } else {
                zeb_logger_log(log_, 4, kModule, "Ignoring zeb.update.register %d \"%s\"", e.number,
                               e.a.c_str());
            }
            break;
        case Kind::kResponse:
            handle_response(e.a, e.number);
            break;
    }
}

void Agent::pump() {
    while (connected_ && inflight_.size() < kWindow) {
        if (!held_) {
            QueueRecord rec;
            if (queue_->next(rec) != 0) {
                return;
            }
            held_ = std::move(rec);
        }
        const ReportMessage m = build_report_message(held_->seq, held_->time_ms, held_->text);
        if (m.board_versions && *m.board_versions != board_versions_) {
            board_versions_ = *m.board_versions;
            publish_status();
        }
        int mid = 0;
        if (link_->publish(config_.topic("report/" + m.type), m.payload, 1, false, &mid) != 0) {
            return;  // not connected after all: the record waits for the next connection
        }
        inflight_.push_back({mid, held_->seq, false});
        held_.reset();
    }
}

void Agent::publish_status() {
    const std::string payload = "{\"state\": \"online\", \"oven_id\": \"" + config_.oven_id +
                                "\", \"agent_version\": \"" + kVersion +
                                "\", \"board\": " + board_versions_ + ", \"since\": \"" +
                                iso_time(started_ms_) + "\"}";
    link_->publish(status_topic_, payload, 1, true);
}

void Agent::publish_firmware_status(const std::string &sha256, const char *state,
                                    const std::string &reason) {
    const json j = {{"sha256", sha256}, {"state", state}, {"reason", reason}};
    if (link_->publish(firmware_status_topic_,
                       j.dump(-1, ' ', false, json::error_handler_t::replace), 1, false) != 0) {
        zeb_logger_log(log_, 4, kModule, "Cannot publish the firmware status %s of %s", state,
                       sha256.c_str());
    }
}

void Agent::handle_offer(const std::string &topic, const std::string &payload) {
    if (topic != offer_topic_) {
        zeb_logger_log(log_, 4, kModule, "Ignoring a message on %s", topic.c_str());
        return;
    }
    CheckedOffer offer;
    if (pending_) {
        if (payload.size() <= max_offer_payload(config_)) {
            const json j = json::parse(payload, nullptr, false);
            if (j.is_object() && j.contains("sha256") && j["sha256"].is_string()) {
                offer.sha256 = j["sha256"].get<std::string>();
            }
        }
        const std::string why = "another offer is pending (sha256 " + pending_->sha256 + ")";
        zeb_logger_log(log_, 4, kModule, "Refused a firmware offer: %s", why.c_str());
        publish_firmware_status(offer.sha256, "refused", why);
        return;
    }
    if (check_and_store_offer(config_, payload, offer) != 0) {
        zeb_logger_log(log_, 4, kModule, "Refused a firmware offer: %s", offer.reason.c_str());
        publish_firmware_status(offer.sha256, "refused", offer.reason);
        return;
    }
    std::vector<char> data(kComponentField, '\0');
    std::memcpy(data.data(), offer.component.data(), offer.component.size());
    data.insert(data.end(), offer.path.begin(), offer.path.end());
    data.push_back('\0');
    const int rc = update_->send_event(update_client_.c_str(), "zeb.update.firmware.available",
                                       "1s255 component_id 1s0 path", data.data(),
                                       static_cast<int32_t>(data.size()));
    if (rc != 0) {
        const std::string why =
            "oven manager not reachable on " + update_client_ + ": " + std::strerror(-rc);
        zeb_logger_log(log_, 3, kModule, "Firmware offer %s: %s", offer.sha256.c_str(),
                       why.c_str());
        publish_firmware_status(offer.sha256, "failed", why);
        return;
    }
    zeb_logger_log(log_, 6, kModule, "Offered firmware %s %s (%s) to %s", offer.component.c_str(),
                   offer.version.c_str(), offer.sha256.c_str(), update_client_.c_str());
    pending_ = PendingOffer{offer.sha256, update_client_, mono_ms() + kAnswerMs};
}

void Agent::handle_response(const std::string &sender, int code) {
    if (!pending_ || sender != pending_->channel) {
        zeb_logger_log(log_, 4, kModule,
                       "Ignoring firmware response %d from %s: no offer pending there", code,
                       sender.c_str());
        return;
    }
    const std::string sha = pending_->sha256;
    switch (code) {
        case 1:
            publish_firmware_status(sha, "accepted", "");
            pending_->deadline_ms = mono_ms() + kTransferMs;
            return;
        case 2:
            publish_firmware_status(sha, "not_for_this_board",
                                    "the oven manager does not take this component");
            break;
        case 3:
            publish_firmware_status(sha, "transferred", "");
            break;
        case 4:
            publish_firmware_status(sha, "failed", "the oven manager could not transfer the image");
            break;
        default:
            zeb_logger_log(log_, 4, kModule, "Ignoring firmware response %d from %s", code,
                           sender.c_str());
            return;
    }
    zeb_logger_log(log_, 6, kModule, "Firmware %s: response %d from %s", sha.c_str(), code,
                   sender.c_str());
    pending_.reset();
}

void Agent::shutdown() {
    if (shut_down_) {
        return;
    }
    shut_down_ = true;
    draining_ = true;
    if (telvo_thread_.joinable()) {
        telvo_thread_.join();
    }
    if (telvo_) {
        telvo_->shutdown();
    }
    if (update_) {
        update_->shutdown();
    }
    if (update_thread_.joinable()) {
        update_thread_.join();
    }
    if (link_) {
        if (connected_) {
            // A clean disconnect keeps the last will back: say it ourselves.
            static const std::string kOffline = "{\"state\": \"offline\"}";
            link_->publish(status_topic_, kOffline, 1, true);
        }
        link_->stop();
    }
    if (queue_) {
        queue_->flush(true);
    }
}

}  // namespace kor_fleet
