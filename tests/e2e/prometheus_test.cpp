// Real Prometheus servers (Debian's prometheus) with kestrel-exporter on the virtual board: one
// scraping it every second over TLS and with a password, whose query API then has the
// utilisation of every core and engine with the board's loads and returns data for every query
// of the packaged Grafana dashboard; and a fleet, boards with host names of their own whose
// agents remote-write to a central server under one instance, and one scraped directly, every
// board told apart in every panel of the dashboard.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
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
            for (std::size_t at; (at = expr.find("$board")) != std::string::npos;) {
                expr.replace(at, 6, ".*");
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

// A panel's legend for one series of its result: the legend format with each {{label}} replaced
// by the series' label ("" for a label it does not have), as Grafana draws it.
std::string legend(const std::string& format, const json& metric) {
    static const std::regex label(R"(\{\{\s*([A-Za-z_][A-Za-z0-9_]*)\s*\}\})");
    std::string out;
    auto at = format.cbegin();
    for (std::sregex_iterator it(format.begin(), format.end(), label), end; it != end; ++it) {
        out.append(at, format.cbegin() + it->position());
        out += metric.value((*it)[1].str(), "");
        at = format.cbegin() + it->position() + it->length();
    }
    return out.append(at, format.cend());
}

TEST(Prometheus, EveryBoardOfAFleetIsToldApartWhateverItsPathToTheCentralServer) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "a host name of its own for each board (a UTS namespace) needs root";
    }
    const auto with_host = [](const std::string& host) {
        return std::vector<std::string>{
            "unshare", "-u", "sh", "-c", "hostname " + host + " && exec \"$@\"", "sh"};
    };
    // Boards a and b, two of a kind, push through an agent on the board, whose target is the
    // exporter at 127.0.0.1:9846 (the instance is set to it here, where the exporters share one
    // machine); board c is scraped directly. Each sets its board label in one line.
    ExporterOnBoard a("sa8797p", {"--sample_time", "500"}, {}, with_host("board-a"));
    ExporterOnBoard b("sa8797p", {"--sample_time", "500"}, {}, with_host("board-b"));
    ExporterOnBoard c("qcs9075", {"--sample_time", "500"});
    PrometheusServer central(scrape_config(c.port()) + "        labels: {board: board-c}\n");
    const auto agent = [&central](const ExporterOnBoard& exporter, const std::string& board) {
        return "global:\n  scrape_interval: 1s\n  external_labels:\n    board: " + board +
               "\nscrape_configs:\n  - job_name: kestrel\n    static_configs:\n"
               "      - targets: ['127.0.0.1:" +
               std::to_string(exporter.port()) +
               "']\n    relabel_configs:\n      - target_label: instance\n"
               "        replacement: '127.0.0.1:9846'\nremote_write:\n"
               "  - url: 'http://127.0.0.1:" +
               std::to_string(central.port()) + "/api/v1/write'\n";
    };
    PrometheusServer agent_a(agent(a, "board-a"), /*agent=*/true);
    PrometheusServer agent_b(agent(b, "board-b"), /*agent=*/true);

    // The dashboard's board variable lists all three; the exporters name their own hosts.
    const json boards = central.query_until("count by (board) (kestrel_dsp_up)",
                                            [](const json& r) { return r.size() == 3; });
    ASSERT_EQ(boards.size(), 3u) << "agent a: " << agent_a.log() << "\ncentral: " << central.log();
    const json hosts = central.query("count by (board, host) (kestrel_dsp_info)");
    std::map<std::string, std::string> host_of;
    for (const auto& series : hosts) {
        host_of[series["metric"].value("board", "")] = series["metric"].value("host", "");
    }
    EXPECT_EQ(host_of["board-a"], "board-a");
    EXPECT_EQ(host_of["board-b"], "board-b");

    // Every panel of the dashboard, all boards chosen: each series has a legend of its own.
    std::ifstream dashboard_file(KESTREL_DASHBOARD);
    const json dashboard = json::parse(dashboard_file);
    EXPECT_EQ(dashboard["templating"]["list"][0]["definition"],
              "label_values(kestrel_dsp_up, board)");
    for (const auto& panel : dashboard["panels"]) {
        for (const auto& target : panel["targets"]) {
            // Every value of the dashboard's variables.
            const std::string expr =
                std::regex_replace(target["expr"].get<std::string>(), std::regex(R"(\$\w+)"), ".*");
            const json result = central.query_until(
                expr, [](const json& r) { return r.size() >= 3; }, std::chrono::seconds(30));
            const std::string format = target.value("legendFormat", "");
            std::set<std::string> legends;
            for (const auto& series : result) {
                EXPECT_NE(series["metric"].value("board", ""), "") << expr;
                legends.insert(format.empty() ? series["metric"].dump()
                                              : legend(format, series["metric"]));
            }
            EXPECT_EQ(legends.size(), result.size()) << panel["title"] << ": " << expr;
            EXPECT_FALSE(result.empty()) << panel["title"] << ": " << expr;
        }
    }
    for (ExporterOnBoard* exporter : {&a, &b, &c}) {
        EXPECT_EQ(exporter->stop(SIGTERM).result.exit_code, 0);
    }
}

}  // namespace
