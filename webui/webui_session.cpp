// Logins of the web console.
#include "webui_session.hpp"

#include <sodium.h>

#include <algorithm>

namespace kor_webui {

Sessions::Sessions(std::string password_hash) : hash_(std::move(password_hash)) {
    if (sodium_init() < 0) {
        hash_.clear();  // without a random source no token can be trusted: stay read-only
    }
}

void Sessions::forget_clients(Clock::time_point now) {
    // Addresses whose wait is over go first; with many addresses at once, every one not being
    // checked right now, rather than grow without end.
    std::erase_if(clients_, [&](const auto &c) {
        return !c.second.checking && c.second.locked_until <= now;
    });
    if (clients_.size() >= kMaxClientsTracked) {
        std::erase_if(clients_, [](const auto &c) { return !c.second.checking; });
    }
}

Sessions::Login Sessions::login(const std::string &client, const std::string &password,
                                std::string &token, std::chrono::milliseconds &retry_after) {
    using std::chrono::milliseconds;
    retry_after = milliseconds(0);
    {
        std::lock_guard guard(lock_);
        const auto now = Clock::now();
        if (clients_.size() >= kMaxClientsTracked && !clients_.contains(client)) {
            forget_clients(now);
        }
        Client &c = clients_[client];
        if (c.checking || now < c.locked_until) {
            // Rounded up, so a client that waits as told is not refused again.
            retry_after =
                std::max(std::chrono::ceil<milliseconds>(c.locked_until - now), milliseconds(1));
            if (c.checking) {
                retry_after = std::max(retry_after, kFirstDelay);
            }
            return Login::wait;
        }
        c.checking = true;
    }
    // The hash check is slow (and takes memory) on purpose and runs outside the lock; one at a
    // time per client.
    const bool right =
        enabled() && crypto_pwhash_str_verify(hash_.c_str(), password.data(), password.size()) == 0;
    std::lock_guard guard(lock_);
    const auto now = Clock::now();
    Client &c = clients_[client];
    c.checking = false;
    if (!right) {
        c.failures = std::min(c.failures + 1, 16);
        retry_after = std::min<milliseconds>(kFirstDelay * (1 << (c.failures - 1)), kMaxDelay);
        c.locked_until = now + retry_after;
        return Login::wrong;
    }
    clients_.erase(client);
    std::erase_if(sessions_, [&](const auto &s) { return now - s.second > kIdleLimit; });
    if (sessions_.size() >= kMaxSessions) {
        // The session used longest ago makes room.
        sessions_.erase(
            std::min_element(sessions_.begin(), sessions_.end(),
                             [](const auto &a, const auto &b) { return a.second < b.second; }));
    }
    unsigned char bytes[32];
    randombytes_buf(bytes, sizeof bytes);
    char hex[sizeof bytes * 2 + 1];
    sodium_bin2hex(hex, sizeof hex, bytes, sizeof bytes);
    token = hex;
    sessions_[token] = now;
    return Login::ok;
}

bool Sessions::valid(const std::string &token) {
    if (token.empty()) {
        return false;
    }
    std::lock_guard guard(lock_);
    const auto it = sessions_.find(token);
    if (it == sessions_.end()) {
        return false;
    }
    const auto now = Clock::now();
    if (now - it->second > kIdleLimit) {
        sessions_.erase(it);
        return false;
    }
    it->second = now;
    return true;
}

void Sessions::logout(const std::string &token) {
    std::lock_guard guard(lock_);
    sessions_.erase(token);
}

}  // namespace kor_webui
