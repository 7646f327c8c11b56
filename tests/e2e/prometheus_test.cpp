// Real Prometheus servers (Debian's prometheus) with kestrel-exporter on the virtual board: one
// scraping it every second over TLS and with a password, whose query API then has the
// utilisation of every core and engine with the board's loads and returns data for every query
// of the packaged Grafana dashboard; and the fleet path, an agent on the board that scrapes the
// exporter and remote-writes to a central server, which then answers for every core.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "exporter_support.h"

namespace {

using exporter_test::ExporterOnBoard;
using exporter_test::PrometheusServer;
using json = nlohmann::json;

// A prometheus.yml that scrapes the exporter every second, with `job` (further keys of the
// scrape job, indented by four) and `extra` (top-level keys).
std::string scrape_config(int exporter_port, const std::string& job = "",
                          const std::string& extra = "") {
    return "global:\n"
           "  scrape_interval: 1s\n"
           "  evaluation_interval: 1s\n"
           "scrape_configs:\n"
           "  - job_name: kestrel\n" +
           job +
           "    static_configs:\n"
           "      - targets: ['127.0.0.1:" +
           std::to_string(exporter_port) + "']\n" + extra;
}

const std::map<std::string, std::map<std::string, double>> kSa8797pLoads = {
    {"nsp0", {{"qdsp6", 0.45}, {"hvx", 0.25}, {"hmx", 0.12}}},
    {"nsp1", {{"qdsp6", 0.30}, {"hvx", 0.10}, {"hmx", 0.05}}},
    {"nsp2", {{"qdsp6", 0.70}, {"hvx", 0.40}, {"hmx", 0.20}}},
    {"nsp3", {{"qdsp6", 0.10}, {"hvx", 0.00}, {"hmx", 0.00}}}};

// The utilisation series of a query result, by domain and engine; every one of the job.
std::map<std::string, std::map<std::string, double>> utilisations(const json& result) {
    std::map<std::string, std::map<std::string, double>> seen;
    for (const auto& series : result) {
        const auto& metric = series["metric"];
        EXPECT_EQ(metric["job"], "kestrel");
        seen[metric["domain"]][metric["engine"]] =
            std::strtod(series["value"][1].get<std::string>().c_str(), nullptr);
    }
    return seen;
}

void expect_sa8797p_loads(const json& result) {
    auto seen = utilisations(result);
    ASSERT_EQ(seen.size(), kSa8797pLoads.size()) << result;
    for (const auto& [domain, engines] : kSa8797pLoads) {
        ASSERT_EQ(seen[domain].size(), 3u) << domain;
        for (const auto& [engine, load] : engines) {
            EXPECT_NEAR(seen[domain][engine], load, 0.001) << domain << " " << engine;
        }
    }
}

TEST(Prometheus, ScrapesEveryCoreAndEngineOverTlsWithAPasswordAndEveryDashboardQueryHasData) {
    char pattern[] = "/tmp/kestrel-web-XXXXXX";
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
    PrometheusServer prometheus(scrape_config(exporter.port(),
                                              "    scheme: https\n"
                                              "    tls_config:\n"
                                              "      ca_file: " +
                                                  dir +
                                                  "/ca.crt\n"
                                                  "    basic_auth:\n"
                                                  "      username: prometheus\n"
                                                  "      password: scrape\n"));

    const json result = prometheus.query_until("kestrel_dsp_utilization_ratio",
                                               [](const json& r) { return r.size() == 12; });
    ASSERT_EQ(result.size(), 12u) << prometheus.log();
    expect_sa8797p_loads(result);

    // Every query of the packaged Grafana dashboard, for every board, returns series (the rates
    // once two scrapes are in).
    std::ifstream dashboard_file(KESTREL_DASHBOARD);
    const json dashboard = json::parse(dashboard_file);
    for (const auto& panel : dashboard["panels"]) {
        for (const auto& target : panel["targets"]) {
            std::string expr = target["expr"];
            for (std::size_t at; (at = expr.find("$instance")) != std::string::npos;) {
                expr.replace(at, 9, ".*");
            }
            const json answer = prometheus.query_until(
                expr, [](const json& r) { return !r.empty(); }, std::chrono::seconds(30));
            EXPECT_FALSE(answer.is_null() || answer.empty())
                << panel["title"] << ": " << expr << " returns no data";
        }
    }
    EXPECT_EQ(exporter.stop(SIGTERM).result.exit_code, 0);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

TEST(Prometheus, AnAgentOnTheBoardRemoteWritesEveryCoreToTheCentralServer) {
    ExporterOnBoard exporter("sa8797p", {"--sample_time", "500"});
    PrometheusServer central("global:\n  scrape_interval: 1s\n");
    PrometheusServer agent(scrape_config(exporter.port(), "",
                                         "remote_write:\n  - url: 'http://127.0.0.1:" +
                                             std::to_string(central.port()) + "/api/v1/write'\n"),
                           /*agent=*/true);

    const json result = central.query_until("kestrel_dsp_utilization_ratio",
                                            [](const json& r) { return r.size() == 12; });
    ASSERT_EQ(result.size(), 12u) << "agent: " << agent.log() << "\ncentral: " << central.log();
    expect_sa8797p_loads(result);
    EXPECT_EQ(exporter.stop(SIGTERM).result.exit_code, 0);
}

}  // namespace
