#include "exporter_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gnutls/gnutls.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

namespace exporter_test {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

pid_t start_background(const std::vector<std::string>& argv, const std::string& out,
                       const std::string& err) {
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        const int in_fd = open("/dev/null", O_RDONLY);
        const int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        const int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        dup2(in_fd, STDIN_FILENO);
        dup2(out_fd, STDOUT_FILENO);
        dup2(err_fd, STDERR_FILENO);
        std::vector<char*> raw;
        for (const auto& a : argv) {
            raw.push_back(const_cast<char*>(a.c_str()));
        }
        raw.push_back(nullptr);
        execvp(raw[0], raw.data());
        _exit(127);
    }
    EXPECT_GT(pid, 0) << "fork: " << std::strerror(errno);
    return pid;
}

namespace {

int connect_loopback(int port, const char* source) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    if (fd >= 0 && source != nullptr &&
        (inet_pton(AF_INET, source, &local.sin_addr) != 1 ||
         bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)) {
        close(fd);
        return -1;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const timeval patience{30, 0};
    if (fd >= 0 && (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience) != 0 ||
                    connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

HttpResponse parsed(const std::string& raw) {
    HttpResponse response;
    const std::size_t end_of_head = raw.find("\r\n\r\n");
    if (raw.compare(0, 5, "HTTP/") != 0 || raw.size() < 12 || end_of_head == std::string::npos) {
        return response;
    }
    response.status = std::atoi(raw.c_str() + 9);
    response.head = raw.substr(0, end_of_head);
    response.body = raw.substr(end_of_head + 4);
    return response;
}

}  // namespace

HttpResponse https_exchange(int port, const std::string& request, const char* source) {
    const int fd = connect_loopback(port, source);
    if (fd < 0) {
        return {};
    }
    gnutls_certificate_credentials_t credentials = nullptr;
    gnutls_session_t session = nullptr;
    gnutls_certificate_allocate_credentials(&credentials);
    gnutls_init(&session, GNUTLS_CLIENT | GNUTLS_NO_SIGNAL);
    gnutls_set_default_priority(session);
    gnutls_credentials_set(session, GNUTLS_CRD_CERTIFICATE, credentials);
    gnutls_transport_set_int(session, fd);
    gnutls_handshake_set_timeout(session, 30000);
    std::string raw;
    int rc;
    do {
        rc = gnutls_handshake(session);
    } while (rc < 0 && gnutls_error_is_fatal(rc) == 0);
    if (rc >= 0 && gnutls_record_send(session, request.data(), request.size()) ==
                       static_cast<ssize_t>(request.size())) {
        char buffer[8192];
        for (ssize_t n; (n = gnutls_record_recv(session, buffer, sizeof buffer)) > 0;) {
            raw.append(buffer, static_cast<std::size_t>(n));
        }
    }
    gnutls_deinit(session);
    gnutls_certificate_free_credentials(credentials);
    close(fd);
    return parsed(raw);
}

int connect_to(int port, const char* source) {
    return connect_loopback(port, source);
}

KeepAliveClient::KeepAliveClient(int port, const char* source)
    : fd_(connect_loopback(port, source)) {}

KeepAliveClient::~KeepAliveClient() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

HttpResponse KeepAliveClient::exchange(const std::string& request) {
    if (fd_ < 0 || send(fd_, request.data(), request.size(), MSG_NOSIGNAL) !=
                       static_cast<ssize_t>(request.size())) {
        return {};
    }
    const auto read_more = [this] {
        char buffer[8192];
        const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
        if (n > 0) {
            pending_.append(buffer, static_cast<std::size_t>(n));
        }
        return n > 0;
    };
    std::size_t end_of_head;
    while ((end_of_head = pending_.find("\r\n\r\n")) == std::string::npos) {
        if (!read_more()) {
            return {};
        }
    }
    const std::size_t length_at = pending_.find("Content-Length: ");
    const std::size_t length =
        length_at < end_of_head ? std::strtoul(pending_.c_str() + length_at + 16, nullptr, 10) : 0;
    while (pending_.size() < end_of_head + 4 + length) {
        if (!read_more()) {
            return {};
        }
    }
    HttpResponse response = parsed(pending_.substr(0, end_of_head + 4 + length));
    pending_.erase(0, end_of_head + 4 + length);
    return response;
}

int free_port() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ADD_FAILURE() << "no free port: " << std::strerror(errno);
    }
    close(fd);
    return ntohs(address.sin_port);
}

double value_of(const std::string& exposition, const std::string& series) {
    std::istringstream lines(exposition);
    const std::string prefix = series + " ";
    for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, prefix.size(), prefix) == 0) {
            return std::strtod(line.c_str() + prefix.size(), nullptr);
        }
    }
    return NAN;
}

int count_series(const std::string& exposition, const std::string& name) {
    std::istringstream lines(exposition);
    int count = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, name.size() + 1, name + "{") == 0 ||
            line.compare(0, name.size() + 1, name + " ") == 0) {
            ++count;
        }
    }
    return count;
}

ExporterOnBoard::ExporterOnBoard(const std::string& board, const std::vector<std::string>& args,
                                 const std::vector<std::string>& env,
                                 const std::vector<std::string>& wrapper) {
    char pattern[] = "/tmp/kestrel-exporter-XXXXXX";
    const char* dir = mkdtemp(pattern);
    if (dir == nullptr) {
        ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
        return;
    }
    dir_ = dir;
    const bool is_file = board.size() > 5 && board.compare(board.size() - 5, 5, ".json") == 0;
    // The runner's --exporter names the build's kestrel-exporter (KESTREL_EXPORTER_BIN).
    std::vector<std::string> argv{KESTREL_RUN_BOARD,
                                  "--build",
                                  KESTREL_BUILD_DIR,
                                  "--exporter",
                                  "--board",
                                  is_file ? std::string(KESTREL_E2E_BOARDS) + "/" + board : board,
                                  "--trace",
                                  dir_ + "/trace.jsonl",
                                  "--",
                                  "--listen",
                                  "127.0.0.1:0"};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.insert(argv.begin(), wrapper.begin(), wrapper.end());
    if (!env.empty()) {
        // env execs the runner: the pid stays the exporter's.
        argv.insert(argv.begin(), env.begin(), env.end());
        argv.insert(argv.begin(), "env");
    }
    const std::string out = dir_ + "/stdout";
    const std::string err = dir_ + "/stderr";
    pid_ = start_background(argv, out, err);
    // Ready when it names the address it listens on.
    static const std::regex listening(R"(listening on https?://127\.0\.0\.1:([0-9]+)/)");
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (Clock::now() < deadline) {
        std::smatch m;
        const std::string text = read_file(err);
        if (std::regex_search(text, m, listening)) {
            port_ = std::stoi(m[1]);
            return;
        }
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            ADD_FAILURE() << "the exporter ended before it listened:\n" << text;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ADD_FAILURE() << "the exporter did not listen:\n" << read_file(err);
}

bool ExporterOnBoard::running(int* signal) {
    if (ended_status_ < 0 && pid_ > 0) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            ended_status_ = status;
        }
    }
    if (signal != nullptr) {
        *signal = ended_status_ >= 0 && WIFSIGNALED(ended_status_) ? WTERMSIG(ended_status_) : 0;
    }
    return ended_status_ < 0;
}

std::string ExporterOnBoard::err() const {
    return read_file(dir_ + "/stderr");
}

bool make_certificates(const std::string& dir) {
    const std::string script = R"(
set -e
cd ")" + dir + R"("
ca() { openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=$1" -keyout "$1.key" -out "$1.crt"; }
signed() { # NAME CA [EXTFILE]
    openssl req -newkey rsa:2048 -nodes -subj "/CN=$1" -keyout "$1.key" -out "$1.csr"
    openssl x509 -req -days 2 -in "$1.csr" -CA "$2.crt" -CAkey "$2.key" -CAcreateserial         -out "$1.crt" ${3:+-extfile "$3"}
}
printf 'subjectAltName=IP:127.0.0.1
' >server.ext
ca ca
ca otherca
signed server ca server.ext
signed otherserver otherca server.ext
signed client ca
signed stranger otherca
)";
    const auto result = kestrel_test::run_process({"bash", "-c", script});
    EXPECT_EQ(result.exit_code, 0) << result.err;
    return result.exit_code == 0;
}

std::string bcrypt_hash(const std::string& password, int cost) {
    const auto result =
        kestrel_test::run_process({"htpasswd", "-nbBC", std::to_string(cost), "user", password});
    const std::size_t colon = result.out.find(':');
    EXPECT_EQ(result.exit_code, 0) << result.err;
    if (result.exit_code != 0 || colon == std::string::npos) {
        return "";
    }
    std::string hash = result.out.substr(colon + 1);
    hash.erase(hash.find_last_not_of("\n") + 1);
    return hash;
}

void write_file(const std::string& path, const std::string& text) {
    const std::string temporary = path + ".new";
    std::ofstream(temporary) << text;
    fs::rename(temporary, path);
}

CurlResult curl(const std::vector<std::string>& args, const std::string& url) {
    std::vector<std::string> argv{"curl", "-s", "-m", "10", "-w", "\n%{http_code}"};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back(url);
    const auto result = kestrel_test::run_process(argv);
    CurlResult out;
    out.exit_code = result.exit_code;
    const std::size_t last = result.out.rfind('\n');
    out.status = last == std::string::npos ? result.out : result.out.substr(last + 1);
    out.body = last == std::string::npos ? "" : result.out.substr(0, last);
    return out;
}

ExporterOnBoard::~ExporterOnBoard() {
    if (pid_ > 0 && ended_status_ < 0) {
        kill(-pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (!dir_.empty()) {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
}

std::string ExporterOnBoard::scrape_until(const std::function<bool(const std::string&)>& ready,
                                          std::chrono::seconds deadline) {
    const auto end = Clock::now() + deadline;
    std::string text;
    while (Clock::now() < end) {
        const HttpResponse response = http_get(port_, "/metrics");
        text = response.body;
        if (response.status == 200 && ready(text)) {
            return text;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ADD_FAILURE() << "not ready within the deadline; last exposition:\n" << text;
    return text;
}

e2e::BoardRun ExporterOnBoard::stop(int signo) {
    e2e::BoardRun run;
    if (pid_ <= 0) {
        return run;
    }
    int status = ended_status_;
    if (status < 0) {
        kill(pid_, signo);
    }
    // Stopping ends the windows in progress at once; the deadline only guards against a hang.
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (status < 0 && waitpid(pid_, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            kill(-pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            run.result.timed_out = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    pid_ = -1;
    if (WIFEXITED(status)) {
        run.result.exit_code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        run.result.signal = WTERMSIG(status);
    }
    run.result.out = read_file(dir_ + "/stdout");
    run.result.err = read_file(dir_ + "/stderr");
    std::istringstream trace(read_file(dir_ + "/trace.jsonl"));
    for (std::string line; std::getline(trace, line);) {
        if (!line.empty()) {
            run.trace.push_back(e2e::json::parse(line));
        }
    }
    EXPECT_FALSE(run.result.timed_out) << "the exporter did not stop";
    return run;
}

std::string url_encode(const std::string& text) {
    std::string out;
    for (const unsigned char c : text) {
        if (std::isalnum(c) != 0 || c == '_' || c == '.' || c == '-') {
            out += static_cast<char>(c);
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", c);
            out += escaped;
        }
    }
    return out;
}

PrometheusServer::PrometheusServer(const std::string& config, bool agent) {
    char pattern[] = "/tmp/kestrel-prometheus-XXXXXX";
    const char* dir = mkdtemp(pattern);
    EXPECT_NE(dir, nullptr) << "mkdtemp: " << std::strerror(errno);
    dir_ = dir != nullptr ? dir : "/tmp";
    std::ofstream(dir_ + "/prometheus.yml") << config;
    port_ = free_port();
    std::vector<std::string> argv = {"prometheus", "--config.file=" + dir_ + "/prometheus.yml",
                                     "--web.listen-address=127.0.0.1:" + std::to_string(port_),
                                     "--log.level=warn"};
    if (agent) {
        argv.push_back("--enable-feature=agent");
        argv.push_back("--storage.agent.path=" + dir_ + "/data");
    } else {
        // A central server that also takes what agents push to it.
        argv.push_back("--storage.tsdb.path=" + dir_ + "/data");
        argv.push_back("--web.enable-remote-write-receiver");
    }
    pid_ = start_background(argv, dir_ + "/prometheus.log", dir_ + "/prometheus.log");
}

PrometheusServer::~PrometheusServer() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    std::error_code ec;
    fs::remove_all(dir_, ec);
}

nlohmann::json PrometheusServer::query(const std::string& expr, std::string* answer) const {
    const HttpResponse response =
        http_exchange(port_, "GET /api/v1/query?query=" + url_encode(expr) +
                                 " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    if (answer != nullptr) {
        *answer = response.body;
    }
    if (response.status != 200) {
        return nullptr;
    }
    const nlohmann::json body = nlohmann::json::parse(response.body, nullptr, false);
    if (body.is_discarded() || body.value("status", "") != "success") {
        return nullptr;
    }
    return body["data"]["result"];
}

nlohmann::json PrometheusServer::query_until(
    const std::string& expr, const std::function<bool(const nlohmann::json&)>& ready,
    std::chrono::seconds deadline) const {
    nlohmann::json result;
    for (const auto end = Clock::now() + deadline; Clock::now() < end;) {
        result = query(expr);
        if (!result.is_null() && ready(result)) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    return result;
}

std::string PrometheusServer::log() const {
    return read_file(dir_ + "/prometheus.log");
}

}  // namespace exporter_test
