// The event stream's fan-out with bounded per-client queues.
#include "webui_stream.hpp"

#include <algorithm>

namespace kor_webui {

std::optional<std::string> Broadcaster::Client::next(std::chrono::milliseconds timeout,
                                                     bool &ended) {
    std::unique_lock guard(lock_);
    ready_.wait_for(guard, timeout, [&] { return ended_ || !queue_.empty(); });
    ended = ended_;
    if (ended_ || queue_.empty()) {
        return std::nullopt;
    }
    // Everything queued goes out in one write: the manager sends its notifications in bursts,
    // one per control cycle, and a wake-up and a write per message would cost more than the rest.
    std::string messages;
    for (const std::string &m : queue_) {
        messages += m;
    }
    queue_.clear();
    return messages;
}

std::shared_ptr<Broadcaster::Client> Broadcaster::subscribe() {
    std::lock_guard guard(lock_);
    if (clients_.size() >= kMaxClients) {
        return nullptr;
    }
    clients_.push_back(std::make_shared<Client>());
    return clients_.back();
}

void Broadcaster::unsubscribe(const std::shared_ptr<Client> &client) {
    std::lock_guard guard(lock_);
    clients_.erase(std::remove(clients_.begin(), clients_.end(), client), clients_.end());
}

void Broadcaster::publish(const std::string &message) {
    std::lock_guard guard(lock_);
    for (auto it = clients_.begin(); it != clients_.end();) {
        Client &c = **it;
        bool drop = false;
        {
            std::lock_guard client_guard(c.lock_);
            if (c.queue_.size() >= kQueueLimit) {
                c.ended_ = true;
                c.queue_.clear();
                drop = true;
            } else {
                c.queue_.push_back(message);
            }
        }
        c.ready_.notify_one();
        if (drop) {
            ++dropped_;
            it = clients_.erase(it);
        } else {
            ++it;
        }
    }
}

void Broadcaster::close_all() {
    std::lock_guard guard(lock_);
    for (auto &c : clients_) {
        {
            std::lock_guard client_guard(c->lock_);
            c->ended_ = true;
        }
        c->ready_.notify_one();
    }
    clients_.clear();
}

std::size_t Broadcaster::clients() const {
    std::lock_guard guard(lock_);
    return clients_.size();
}

long Broadcaster::dropped() const {
    std::lock_guard guard(lock_);
    return dropped_;
}

}  // namespace kor_webui
