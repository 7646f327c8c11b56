// What the exporter reads of a request, apart from the server that received it: the user and
// password of a basic Authorization header, and which answer a method and path ask for.
#pragma once

#include <string>
#include <string_view>

namespace vorlix::kestrel::exporter {

// A user and password; the password's bytes are overwritten when it goes.
struct Credentials {
    Credentials() = default;
    Credentials(const Credentials& other) = default;
    Credentials& operator=(const Credentials& other) = default;
    ~Credentials();

    std::string user;
    std::string password;
};

// "Basic " (the scheme in any case) and the base64 of "USER:PASSWORD", with optional blanks
// around the token: false, with `out` left alone, for any other value (another scheme, bad
// base64, no colon, a NUL byte in the name or the password).
bool decode_basic_credentials(std::string_view header, Credentials* out);

// What a request asks for.
enum class Route {
    kMetrics,           // the telemetry path
    kIndex,             // "/"
    kNotFound,          // any other path
    kMethodNotAllowed,  // a method other than GET or HEAD
};
Route route_of(std::string_view method, std::string_view path, std::string_view telemetry_path);

}  // namespace vorlix::kestrel::exporter
