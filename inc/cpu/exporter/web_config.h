// The web configuration file (--web.config.file): TLS, passwords and extra response headers, in
// the YAML layout and key spellings that Prometheus exporters share. Reading checks everything
// that can be checked without a connection, so that a bad file is refused at start (and a bad
// edit is refused on reload) with the file, the key and the reason.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace vorlix::kestrel::exporter {

// The most a web configuration file, and each file it names, may hold: far more than any real
// one (a few hundred bytes, certificates a few KiB), and little for the exporter to read.
inline constexpr std::size_t kWebConfigFileCap = 1024 * 1024;

enum class ClientAuth {
    kNoClientCert,                // no client certificate is asked for
    kRequireAndVerifyClientCert,  // a client without a certificate signed by the CA is refused
};

enum class TlsVersion { kTls12, kTls13 };

struct TlsServerConfig {
    // The files as named in the configuration (relative names resolved against the folder of
    // the configuration file), and their contents as read.
    std::string cert_file;
    std::string key_file;
    std::string client_ca_file;  // empty for none
    std::string cert_pem;
    std::string key_pem;
    std::string client_ca_pem;
    ClientAuth client_auth = ClientAuth::kNoClientCert;
    TlsVersion min_version = TlsVersion::kTls12;
    TlsVersion max_version = TlsVersion::kTls13;
};

struct WebConfig {
    bool tls = false;  // tls_server_config is present
    TlsServerConfig tls_server;
    // basic_auth_users: user name and bcrypt hash, in the file's order.
    std::vector<std::pair<std::string, std::string>> users;
    // http_server_config.headers: name and value, in the file's order.
    std::vector<std::pair<std::string, std::string>> headers;
};

// Reads and checks the file. False, with "PATH: KEY: reason" (or "PATH: reason" when no key is
// at fault) in `error`, when it cannot be read or is not valid.
bool load_web_config(const std::string& path, WebConfig* out, std::string* error);

// The same for a text; relative file names are resolved against `dir`, and errors name the key
// and the reason only.
bool parse_web_config(const std::string& text, const std::string& dir, WebConfig* out,
                      std::string* error);

// Whether `hash` is a bcrypt hash crypt(3) verifies: $2a$, $2b$ or $2y$, a two-digit cost from
// 04 to 31, then 53 characters of bcrypt's base-64 alphabet.
bool is_bcrypt_hash(const std::string& hash);

}  // namespace vorlix::kestrel::exporter
