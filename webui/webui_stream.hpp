// The event stream's fan-out: every notification goes into a bounded queue per client. The bus
// thread only appends to queues and never waits for a client; a client whose queue is full has
// stopped reading and is dropped, so it slows neither the others nor the bus.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace kor_webui {

class Broadcaster {
  public:
    static constexpr std::size_t kMaxClients = 32;
    static constexpr std::size_t kQueueLimit = 256;

    class Client {
      public:
        // Every message queued, concatenated; nothing after the timeout. ended is set when the
        // client was dropped or the stream closed.
        std::optional<std::string> next(std::chrono::milliseconds timeout, bool &ended);

      private:
        friend class Broadcaster;
        std::mutex lock_;
        std::condition_variable ready_;
        std::deque<std::string> queue_;
        bool ended_ = false;
    };

    // A new client, null when kMaxClients stream already.
    std::shared_ptr<Client> subscribe();
    void unsubscribe(const std::shared_ptr<Client> &client);
    void publish(const std::string &message);
    // Ends every stream (at shutdown).
    void close_all();
    std::size_t clients() const;
    long dropped() const;

  private:
    mutable std::mutex lock_;
    std::vector<std::shared_ptr<Client>> clients_;
    long dropped_ = 0;
};

}  // namespace kor_webui
