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

int Sessions::login(const std::string &client, const std::string &password, std::string &token,
                    std::chrono::milliseconds &delay) {
    delay = std::chrono::milliseconds(0);
    // The hash check is slow on purpose and runs outside the lock.
    const bool right =
        enabled() && crypto_pwhash_str_verify(hash_.c_str(), password.data(), password.size()) == 0;
    std::lock_guard guard(lock_);
    if (!right) {
        if (failures_.size() >= kMaxClientsTracked && !failures_.contains(client)) {
            failures_.clear();  // many addresses at once: forget them rather than grow without end
        }
        const int n = std::min(++failures_[client], 16);
        delay = std::min<std::chrono::milliseconds>(kFirstDelay * (1 << (n - 1)), kMaxDelay);
        return -1;
    }
    failures_.erase(client);
    const auto now = Clock::now();
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
    return 0;
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
