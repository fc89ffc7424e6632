// Logins of the web console: the password checked against its Argon2id hash (libsodium), random
// session tokens for the cookie, and a delay before each answer to a wrong password that doubles
// with every failure of the same client, so guessing from one address is slow.
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <string>

namespace kor_webui {

class Sessions {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t kMaxSessions = 64;
    static constexpr std::chrono::hours kIdleLimit{12};
    static constexpr std::chrono::milliseconds kFirstDelay{200};
    static constexpr std::chrono::milliseconds kMaxDelay{10000};
    static constexpr std::size_t kMaxClientsTracked = 1024;

    // An empty hash: no logins at all (the console is read-only).
    explicit Sessions(std::string password_hash);

    bool enabled() const { return !hash_.empty(); }
    // 0 with a new token on the right password; -1 on a wrong one, with the delay the caller waits
    // before it answers.
    int login(const std::string &client, const std::string &password, std::string &token,
              std::chrono::milliseconds &delay);
    bool valid(const std::string &token);
    void logout(const std::string &token);

  private:
    std::string hash_;
    std::mutex lock_;
    std::map<std::string, Clock::time_point> sessions_;  // token -> last use
    std::map<std::string, int> failures_;                // client address -> wrong passwords
};

}  // namespace kor_webui
