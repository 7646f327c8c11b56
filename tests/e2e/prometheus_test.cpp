// A real Prometheus server scrapes kestrel-exporter on the virtual board every second, over TLS
// and with a password; its query API then has the utilisation of every core and engine with the
// board's loads, and accepts every query of the packaged Grafana dashboard.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include "exporter_support.h"

namespace {

namespace fs = std::filesystem;
using exporter_test::ExporterOnBoard;
using exporter_test::free_port;
using exporter_test::http_get;
using exporter_test::start_background;
using json = nlohmann::json;

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

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(Prometheus, ScrapesEveryCoreAndEngineWithTheBoardsLoadsOverTlsWithAPassword) {
    char pattern[] = "/tmp/kestrel-prometheus-XXXXXX";
    const std::string dir = mkdtemp(pattern);
    ASSERT_TRUE(exporter_test::make_certificates(dir));
    exporter_test::write_file(dir + "/web.yml",
                              "tls_server_config:\n"
                              "  cert_file: server.crt\n"
                              "  key_file: server.key\n"
                              "basic_auth_users:\n"
                              "  prometheus: " +
                                  exporter_test::bcrypt_hash("scrape") + "\n");
    ExporterOnBoard exporter("sa8797p",
                             {"--sample_time", "500", "--web.config.file", dir + "/web.yml"});
    std::ofstream(dir + "/prometheus.yml") << "global:\n"
                                              "  scrape_interval: 1s\n"
                                              "  evaluation_interval: 1s\n"
                                              "scrape_configs:\n"
                                              "  - job_name: kestrel\n"
                                              "    scheme: https\n"
                                              "    tls_config:\n"
                                              "      ca_file: "
                                           << dir
                                           << "/ca.crt\n"
                                              "    basic_auth:\n"
                                              "      username: prometheus\n"
                                              "      password: scrape\n"
                                              "    static_configs:\n"
                                              "      - targets: ['127.0.0.1:"
                                           << exporter.port() << "']\n";
    const int port = free_port();
    const pid_t prometheus = start_background(
        {"prometheus", "--config.file=" + dir + "/prometheus.yml",
         "--storage.tsdb.path=" + dir + "/data",
         "--web.listen-address=127.0.0.1:" + std::to_string(port), "--log.level=warn"},
        dir + "/prometheus.log", dir + "/prometheus.log");

    // Waits (up to a deadline, for readiness only) until the query finds all twelve series.
    json result;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    while (std::chrono::steady_clock::now() < deadline) {
        const auto answer = http_get(port, "/api/v1/query?query=kestrel_dsp_utilization_ratio");
        if (answer.status == 200) {
            const json body = json::parse(answer.body, nullptr, false);
            if (!body.is_discarded() && body.value("status", "") == "success" &&
                body["data"]["result"].size() == 12) {
                result = body["data"]["result"];
                break;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    // Every query of the packaged Grafana dashboard is one that this server accepts.
    std::ifstream dashboard_file(KESTREL_DASHBOARD);
    const json dashboard = json::parse(dashboard_file);
    for (const auto& panel : dashboard["panels"]) {
        for (const auto& target : panel["targets"]) {
            std::string expr = target["expr"];
            for (std::size_t at; (at = expr.find("$instance")) != std::string::npos;) {
                expr.replace(at, 9, ".*");
            }
            const auto answer = exporter_test::http_exchange(
                port, "GET /api/v1/query?query=" + url_encode(expr) +
                          " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
            EXPECT_EQ(answer.status, 200) << expr << "\n" << answer.body;
        }
    }
    kill(prometheus, SIGTERM);
    waitpid(prometheus, nullptr, 0);
    ASSERT_EQ(result.size(), 12u) << read_file(dir + "/prometheus.log");

    const std::map<std::string, std::map<std::string, double>> loads = {
        {"nsp0", {{"qdsp6", 0.45}, {"hvx", 0.25}, {"hmx", 0.12}}},
        {"nsp1", {{"qdsp6", 0.30}, {"hvx", 0.10}, {"hmx", 0.05}}},
        {"nsp2", {{"qdsp6", 0.70}, {"hvx", 0.40}, {"hmx", 0.20}}},
        {"nsp3", {{"qdsp6", 0.10}, {"hvx", 0.00}, {"hmx", 0.00}}}};
    std::map<std::string, std::map<std::string, double>> seen;
    for (const auto& series : result) {
        const auto& metric = series["metric"];
        EXPECT_EQ(metric["job"], "kestrel");
        seen[metric["domain"]][metric["engine"]] =
            std::strtod(series["value"][1].get<std::string>().c_str(), nullptr);
    }
    ASSERT_EQ(seen.size(), loads.size());
    for (const auto& [domain, engines] : loads) {
        ASSERT_EQ(seen[domain].size(), 3u) << domain;
        for (const auto& [engine, load] : engines) {
            EXPECT_NEAR(seen[domain][engine], load, 0.001) << domain << " " << engine;
        }
    }
    std::error_code ec;
    fs::remove_all(dir, ec);

    EXPECT_EQ(exporter.stop(SIGTERM).result.exit_code, 0);
}

}  // namespace
