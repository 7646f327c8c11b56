// HTTP basic authentication against bcrypt hashes (basic_auth_users of the web configuration),
// verified with libcrypt's crypt_r. Every verification of a pair not yet known costs one bcrypt
// of the configured cost, whether the user exists or not; a pair verified once is remembered
// (by a keyed hash of it, never the password itself) so that a scraper that comes every second
// does not pay bcrypt each time.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

namespace vorlix::kestrel::exporter {

class BasicAuth {
  public:
    // The users and their hashes, already checked (is_bcrypt_hash).
    explicit BasicAuth(std::vector<std::pair<std::string, std::string>> users);
    BasicAuth(const BasicAuth&) = delete;
    BasicAuth& operator=(const BasicAuth&) = delete;

    // True when `user` is listed and `password` matches its hash: one bcrypt unless the pair
    // was verified before.
    bool verify(const std::string& user, const std::string& password);
    // True when the pair was verified before (no bcrypt): a request with it needs no more.
    bool known(const std::string& user, const std::string& password) const;

    // How many verified pairs are remembered (never more than kCacheLimit).
    std::size_t cached() const;

    // Remembered pairs at most; the memory is emptied when it is full.
    static constexpr std::size_t kCacheLimit = 1024;

  private:
    std::string pair_key(const std::string& user, const std::string& password) const;

    std::vector<std::pair<std::string, std::string>> users_;
    // Verified against when the user is not listed: a hash of the highest configured cost that
    // no password matches.
    std::string dummy_hash_;
    unsigned char key_[32];  // random key of the pair hash
    mutable std::mutex mutex_;
    std::unordered_set<std::string> verified_;
};

}  // namespace vorlix::kestrel::exporter
