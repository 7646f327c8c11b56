// Basic authentication: bcrypt through crypt_r, verified pairs remembered by HMAC-SHA-256.
#include "cpu/exporter/basic_auth.h"

#include <crypt.h>
#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace vorlix::kestrel::exporter {

namespace {

// Same length strings compared without an early exit.
bool equal_in_constant_time(const char* a, const char* b, std::size_t size) {
    unsigned char difference = 0;
    for (std::size_t i = 0; i < size; ++i) {
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    }
    return difference == 0;
}

// crypt_r of `password` with the salt and cost of `hash` equals `hash`.
bool bcrypt_matches(const std::string& password, const std::string& hash) {
    // crypt_data is large (about 32 KiB): on the heap, not the server thread's stack.
    auto data = std::make_unique<crypt_data>();
    std::memset(data.get(), 0, sizeof *data);
    const char* result = crypt_r(password.c_str(), hash.c_str(), data.get());
    const bool match = result != nullptr && std::strlen(result) == hash.size() &&
                       equal_in_constant_time(result, hash.c_str(), hash.size());
    explicit_bzero(data.get(), sizeof *data);
    return match;
}

}  // namespace

BasicAuth::BasicAuth(std::vector<std::pair<std::string, std::string>> users)
    : users_(std::move(users)) {
    // The cost is the two digits after "$2x$". The dummy is a salt of that cost and a hash
    // part no password gives: as slow as the slowest user's, and matching nothing.
    std::string cost = "04";
    for (const auto& [user, hash] : users_) {
        cost = std::max(cost, hash.substr(4, 2));
    }
    char salt[CRYPT_GENSALT_OUTPUT_SIZE] = {};
    if (crypt_gensalt_rn("$2b$", std::stoul(cost), nullptr, 0, salt, sizeof salt) != nullptr) {
        dummy_hash_ = std::string(salt) + std::string(31, '.');
    } else {
        dummy_hash_ = "$2b$" + cost + "$" + std::string(53, '.');
    }
    if (gnutls_rnd(GNUTLS_RND_KEY, key_, sizeof key_) != 0) {
        // Without a random key the pairs are still hashed, only with a key that is not secret.
        std::memset(key_, 0x5a, sizeof key_);
    }
}

std::string BasicAuth::pair_key(const std::string& user, const std::string& password) const {
    // user, a zero byte, password: no two pairs give the same text (a user name has no zero).
    std::string text = user;
    text += '\0';
    text += password;
    unsigned char digest[32];
    gnutls_hmac_fast(GNUTLS_MAC_SHA256, key_, sizeof key_, text.data(), text.size(), digest);
    explicit_bzero(text.data(), text.size());
    return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
}

bool BasicAuth::known(const std::string& user, const std::string& password) const {
    const std::string key = pair_key(user, password);
    std::lock_guard<std::mutex> lock(mutex_);
    return verified_.count(key) != 0;
}

bool BasicAuth::verify(const std::string& user, const std::string& password) {
    if (known(user, password)) {
        return true;
    }
    const std::string key = pair_key(user, password);
    const std::string* hash = &dummy_hash_;
    bool listed = false;
    for (const auto& entry : users_) {
        // The name is compared in full for each entry, so the time does not tell how many
        // leading characters matched.
        if (entry.first.size() == user.size() &&
            equal_in_constant_time(entry.first.data(), user.data(), user.size())) {
            hash = &entry.second;
            listed = true;
        }
    }
    const bool match = bcrypt_matches(password, *hash) && listed;
    if (match) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (verified_.size() >= kCacheLimit) {
            verified_.clear();
        }
        verified_.insert(key);
    }
    return match;
}

std::size_t BasicAuth::cached() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return verified_.size();
}

}  // namespace vorlix::kestrel::exporter
