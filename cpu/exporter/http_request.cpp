// Reading a request's credentials and route.
#include "cpu/exporter/http_request.h"

#include <string.h>

#include <cctype>

namespace vorlix::kestrel::exporter {

namespace {

// The value of a base-64 digit of the standard alphabet, -1 for any other byte.
int digit_value(char c) {
    if (c >= 'A' && c <= 'Z') {
        return c - 'A';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 26;
    }
    if (c >= '0' && c <= '9') {
        return c - '0' + 52;
    }
    return c == '+' ? 62 : c == '/' ? 63 : -1;
}

// Standard base 64 with its padding; false for anything else, including bits left over.
bool decode_base64(std::string_view text, std::string* out) {
    if (text.size() % 4 != 0) {
        return false;
    }
    std::size_t padding = 0;
    while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') {
        ++padding;
    }
    std::string bytes;
    unsigned buffer = 0;
    int bits = 0;
    for (std::size_t i = 0; i < text.size() - padding; ++i) {
        const int value = digit_value(text[i]);
        if (value < 0) {
            return false;
        }
        buffer = (buffer << 6) | static_cast<unsigned>(value);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            bytes += static_cast<char>((buffer >> bits) & 0xff);
        }
    }
    if ((buffer & ((1u << bits) - 1)) != 0) {
        explicit_bzero(bytes.data(), bytes.size());
        return false;
    }
    *out = std::move(bytes);
    return true;
}

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && is_blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && is_blank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

}  // namespace

Credentials::~Credentials() {
    explicit_bzero(password.data(), password.size());
}

bool decode_basic_credentials(std::string_view header, Credentials* out) {
    header = trimmed(header);
    constexpr std::string_view kScheme = "basic";
    if (header.size() <= kScheme.size() || !is_blank(header[kScheme.size()])) {
        return false;
    }
    for (std::size_t i = 0; i < kScheme.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(header[i])) != kScheme[i]) {
            return false;
        }
    }
    std::string decoded;
    if (!decode_base64(trimmed(header.substr(kScheme.size())), &decoded)) {
        return false;
    }
    const std::size_t colon = decoded.find(':');
    const bool usable = colon != std::string::npos && decoded.find('\0') == std::string::npos;
    if (usable) {
        out->user.assign(decoded, 0, colon);
        out->password.assign(decoded, colon + 1, std::string::npos);
    }
    explicit_bzero(decoded.data(), decoded.size());
    return usable;
}

Route route_of(std::string_view method, std::string_view path, std::string_view telemetry_path) {
    if (method != "GET" && method != "HEAD") {
        return Route::kMethodNotAllowed;
    }
    if (path == telemetry_path) {
        return Route::kMetrics;
    }
    return path == "/" ? Route::kIndex : Route::kNotFound;
}

}  // namespace vorlix::kestrel::exporter
