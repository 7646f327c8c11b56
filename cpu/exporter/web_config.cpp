// The web configuration file, read with yaml-cpp.
#include "cpu/exporter/web_config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <set>

#include <yaml-cpp/yaml.h>

namespace vorlix::kestrel::exporter {

namespace {

// A failure in the file: the key it is under ("tls_server_config.cert_file") and why.
struct ConfigError {
    std::string key;
    std::string reason;
};

// Headers the server writes itself; a configured one would contradict or duplicate it.
constexpr const char* kReservedHeaders[] = {
    "authorization", "connection", "content-encoding", "content-length",
    "content-type",  "date",       "keep-alive",       "transfer-encoding",
    "upgrade",       "vary",       "www-authenticate",
};

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string too_large(const std::string& path) {
    return path + ": larger than " + std::to_string(kWebConfigFileCap / (1024 * 1024)) +
           " MiB, the most a web configuration file (or a file it names) may hold";
}

// The whole file, when it holds no more than the cap: a larger one is refused by its size
// before anything is read (and one that grows while read, by what was read).
bool read_file(const std::string& path, std::string* out, std::string* why) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0) {
        *why = "cannot read " + path + ": " + std::strerror(errno);
        if (fd >= 0) {
            close(fd);
        }
        return false;
    }
    std::string text;
    bool fits = !S_ISREG(st.st_mode) || static_cast<std::uint64_t>(st.st_size) <= kWebConfigFileCap;
    char buffer[16384];
    while (fits) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            *why = "cannot read " + path + ": " + std::strerror(errno);
            close(fd);
            return false;
        }
        if (n == 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(n));
        fits = text.size() <= kWebConfigFileCap;
    }
    close(fd);
    if (!fits) {
        *why = too_large(path);
        return false;
    }
    *out = std::move(text);
    return true;
}

std::string resolve(const std::string& dir, const std::string& name) {
    if (name.empty() || name.front() == '/' || dir.empty()) {
        return name;
    }
    return dir.back() == '/' ? dir + name : dir + "/" + name;
}

// The map under `key`, each of its keys once and each one of `allowed`; throws ConfigError.
void check_map(const YAML::Node& node, const std::string& key,
               std::initializer_list<const char*> allowed) {
    if (!node.IsMap()) {
        throw ConfigError{key, "expected a mapping"};
    }
    std::set<std::string> seen;
    for (const auto& entry : node) {
        if (!entry.first.IsScalar()) {
            throw ConfigError{key, "a key must be a plain name"};
        }
        const std::string name = entry.first.Scalar();
        const std::string full = key.empty() ? name : key + "." + name;
        if (std::find_if(allowed.begin(), allowed.end(),
                         [&](const char* a) { return name == a; }) == allowed.end()) {
            throw ConfigError{full, "unknown key"};
        }
        if (!seen.insert(name).second) {
            throw ConfigError{full, "given twice"};
        }
    }
}

std::string scalar(const YAML::Node& node, const std::string& key) {
    if (!node.IsScalar()) {
        throw ConfigError{key, "expected a single value"};
    }
    return node.Scalar();
}

TlsVersion tls_version(const YAML::Node& node, const std::string& key) {
    const std::string text = scalar(node, key);
    if (text == "TLS12") {
        return TlsVersion::kTls12;
    }
    if (text == "TLS13") {
        return TlsVersion::kTls13;
    }
    throw ConfigError{key, "\"" + text + "\" is not TLS12 or TLS13"};
}

void read_tls(const YAML::Node& node, const std::string& dir, TlsServerConfig* tls) {
    const std::string base = "tls_server_config";
    check_map(node, base,
              {"cert_file", "key_file", "client_ca_file", "client_auth_type", "min_version",
               "max_version"});
    const auto file = [&](const char* name, std::string* path, std::string* pem, bool required) {
        const std::string key = base + "." + name;
        if (!node[name]) {
            if (required) {
                throw ConfigError{key, "missing"};
            }
            return;
        }
        *path = resolve(dir, scalar(node[name], key));
        std::string why;
        if (path->empty() || !read_file(*path, pem, &why)) {
            throw ConfigError{key, path->empty() ? "empty" : why};
        }
    };
    file("cert_file", &tls->cert_file, &tls->cert_pem, true);
    file("key_file", &tls->key_file, &tls->key_pem, true);
    file("client_ca_file", &tls->client_ca_file, &tls->client_ca_pem, false);
    if (node["client_auth_type"]) {
        const std::string key = base + ".client_auth_type";
        const std::string type = scalar(node["client_auth_type"], key);
        if (type == "NoClientCert") {
            tls->client_auth = ClientAuth::kNoClientCert;
        } else if (type == "RequireAndVerifyClientCert") {
            tls->client_auth = ClientAuth::kRequireAndVerifyClientCert;
        } else {
            throw ConfigError{key,
                              "\"" + type + "\" is not NoClientCert or RequireAndVerifyClientCert"};
        }
    }
    if (tls->client_auth == ClientAuth::kRequireAndVerifyClientCert &&
        tls->client_ca_file.empty()) {
        throw ConfigError{base + ".client_ca_file",
                          "missing: RequireAndVerifyClientCert needs the CA that signs the "
                          "clients' certificates"};
    }
    if (tls->client_auth == ClientAuth::kNoClientCert && !tls->client_ca_file.empty()) {
        throw ConfigError{base + ".client_auth_type",
                          "client_ca_file is given but no client certificate is asked for "
                          "(set RequireAndVerifyClientCert)"};
    }
    if (node["min_version"]) {
        tls->min_version = tls_version(node["min_version"], base + ".min_version");
    }
    if (node["max_version"]) {
        tls->max_version = tls_version(node["max_version"], base + ".max_version");
    }
    if (tls->max_version < tls->min_version) {
        throw ConfigError{base + ".max_version", "lower than min_version"};
    }
}

void read_users(const YAML::Node& node, WebConfig* config) {
    const std::string base = "basic_auth_users";
    if (node.IsNull()) {
        return;
    }
    if (!node.IsMap()) {
        throw ConfigError{base, "expected a mapping of user names to bcrypt hashes"};
    }
    std::set<std::string> seen;
    for (const auto& entry : node) {
        const std::string user = scalar(entry.first, base);
        const std::string key = base + "." + user;
        if (user.empty() || user.find(':') != std::string::npos) {
            throw ConfigError{key, "a user name must be non-empty and without ':'"};
        }
        if (!seen.insert(user).second) {
            throw ConfigError{key, "given twice"};
        }
        const std::string hash = scalar(entry.second, key);
        if (!is_bcrypt_hash(hash)) {
            throw ConfigError{key,
                              "not a bcrypt hash ($2a$, $2b$ or $2y$, a cost from 04 to 31, "
                              "53 characters of salt and hash)"};
        }
        config->users.emplace_back(user, hash);
    }
}

bool is_token_char(unsigned char c) {
    // strchr finds the terminating NUL too: a NUL byte is no token character.
    return std::isalnum(c) != 0 || (c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

void read_headers(const YAML::Node& headers, WebConfig* config) {
    const std::string base = "http_server_config.headers";
    if (!headers.IsMap()) {
        throw ConfigError{base, "expected a mapping of header names to values"};
    }
    std::set<std::string> seen;
    for (const auto& entry : headers) {
        const std::string name = scalar(entry.first, base);
        const std::string key = base + "." + name;
        if (name.empty() || !std::all_of(name.begin(), name.end(), [](char c) {
                return is_token_char(static_cast<unsigned char>(c));
            })) {
            throw ConfigError{key, "not a valid header name"};
        }
        const std::string low = lower(name);
        if (std::find_if(std::begin(kReservedHeaders), std::end(kReservedHeaders),
                         [&](const char* r) { return low == r; }) != std::end(kReservedHeaders)) {
            throw ConfigError{key, "set by the server itself"};
        }
        if (!seen.insert(low).second) {
            throw ConfigError{key, "given twice"};
        }
        const std::string value = scalar(entry.second, key);
        if (value.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
            throw ConfigError{key, "a value must be one line"};
        }
        config->headers.emplace_back(name, value);
    }
}

void read_config(const YAML::Node& root, const std::string& dir, WebConfig* config) {
    if (root.IsNull()) {
        return;
    }
    check_map(root, "", {"tls_server_config", "basic_auth_users", "http_server_config"});
    if (root["tls_server_config"]) {
        config->tls = true;
        read_tls(root["tls_server_config"], dir, &config->tls_server);
    }
    if (root["basic_auth_users"]) {
        read_users(root["basic_auth_users"], config);
    }
    if (root["http_server_config"]) {
        const YAML::Node http = root["http_server_config"];
        if (!http.IsNull()) {
            check_map(http, "http_server_config", {"headers"});
            if (http["headers"] && !http["headers"].IsNull()) {
                read_headers(http["headers"], config);
            }
        }
    }
}

}  // namespace

bool is_bcrypt_hash(const std::string& hash) {
    if (hash.size() != 60 || hash.compare(0, 2, "$2") != 0 || hash[2] == '\0' ||
        std::strchr("aby", hash[2]) == nullptr || hash[3] != '$' || hash[6] != '$' ||
        std::isdigit(static_cast<unsigned char>(hash[4])) == 0 ||
        std::isdigit(static_cast<unsigned char>(hash[5])) == 0) {
        return false;
    }
    const int cost = (hash[4] - '0') * 10 + (hash[5] - '0');
    if (cost < 4 || cost > 31) {
        return false;
    }
    return std::all_of(hash.begin() + 7, hash.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '/';
    });
}

bool parse_web_config(const std::string& text, const std::string& dir, WebConfig* out,
                      std::string* error) {
    WebConfig config;
    try {
        read_config(YAML::Load(text), dir, &config);
    } catch (const ConfigError& e) {
        *error = e.key.empty() ? e.reason : e.key + ": " + e.reason;
        return false;
    } catch (const YAML::Exception& e) {
        // The mark is zero-based; editors count from 1.
        *error = "line " + std::to_string(e.mark.line + 1) + ", column " +
                 std::to_string(e.mark.column + 1) + ": " + e.msg;
        return false;
    }
    *out = std::move(config);
    return true;
}

bool load_web_config(const std::string& path, WebConfig* out, std::string* error) {
    std::string text;
    std::string why;
    if (!read_file(path, &text, &why)) {
        *error = why;
        return false;
    }
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
    if (!parse_web_config(text, slash == 0 ? "/" : dir, out, &why)) {
        *error = path + ": " + why;
        return false;
    }
    return true;
}

}  // namespace vorlix::kestrel::exporter
