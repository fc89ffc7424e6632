// Logins of the web console: the password checked against its Argon2id hash (libsodium), random
// session tokens for the cookie, and a wait after each wrong password that doubles with every
// failure of the same client, so guessing from one address is slow. The wait is not slept by the
// server: during it the client's logins are refused at once, so a client that keeps guessing
// never holds the workers that serve the event streams and the other clients.
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

    enum class Login {
        ok,     // the right password: a new token
        wrong,  // a wrong password: retry_after is the wait before this client may try again
        wait,   // not checked: this client's wait (retry_after left) or its other check runs
    };

    // An empty hash: no logins at all (the console is read-only).
    explicit Sessions(std::string password_hash);

    bool enabled() const { return !hash_.empty(); }
    Login login(const std::string &client, const std::string &password, std::string &token,
                std::chrono::milliseconds &retry_after);
    bool valid(const std::string &token);
    void logout(const std::string &token);

  private:
    struct Client {
        int failures = 0;
        Clock::time_point locked_until{};
        bool checking = false;  // a check of this client's password is under way
    };

    // Makes room in clients_ for one more address (called with the lock held).
    void forget_clients(Clock::time_point now);

    std::string hash_;
    std::mutex lock_;
    std::map<std::string, Clock::time_point> sessions_;  // token -> last use
    std::map<std::string, Client> clients_;              // client address -> its wrong passwords
};

}  // namespace kor_webui
