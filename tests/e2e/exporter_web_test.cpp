// kestrel-exporter's web server on the virtual board: passwords, TLS (client certificates and
// protocol versions included), the web configuration read again (TLS turned on and off, servers
// that cannot start), socket activation, clients that hold connections or send oversized
// requests, the request limit, gzip, the exporter's own metrics under promtool, several
// addresses and a stop signal at the first moments of a run.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e_support.h"
#include "exporter_support.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using exporter_test::bcrypt_hash;
using exporter_test::count_series;
using exporter_test::curl;
using exporter_test::ExporterOnBoard;
using exporter_test::http_exchange;
using exporter_test::http_get;
using exporter_test::value_of;
using exporter_test::write_file;

// A temporary folder for one test's files.
class TempDir {
  public:
    TempDir() {
        char pattern[] = "/tmp/kestrel-web-XXXXXX";
        path_ = mkdtemp(pattern);
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

std::string url(const ExporterOnBoard& exporter, const std::string& scheme = "https") {
    return scheme + "://127.0.0.1:" + std::to_string(exporter.port()) + "/metrics";
}

// Polls until `done` holds (a readiness wait with a short deadline).
bool eventually(const std::function<bool()>& done,
                std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
    const auto end = Clock::now() + deadline;
    while (Clock::now() < end) {
        if (done()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return done();
}

// Certificates made once for the TLS tests.
class ExporterTls : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir();
        ASSERT_TRUE(exporter_test::make_certificates(dir_->path()));
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    static std::string file(const std::string& name) { return *dir_ / name; }
    // A web configuration with the server certificate and `more` lines under
    // tls_server_config.
    static std::string config(const std::string& name, const std::string& more = "") {
        const std::string path = file(name);
        write_file(path,
                   "tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n" + more);
        return path;
    }
    static TempDir* dir_;
};
TempDir* ExporterTls::dir_ = nullptr;

TEST(ExporterPasswords, OnlyAListedUserWithTheRightPasswordGetsTheMetrics) {
    TempDir dir;
    write_file(dir / "web.yml", "basic_auth_users:\n  alice: " + bcrypt_hash("secret") + "\n");
    ExporterOnBoard exporter("sm8650", {"--web.config.file", dir / "web.yml"});
    const auto none = http_get(exporter.port(), "/metrics");
    EXPECT_EQ(none.status, 401);
    EXPECT_NE(none.head.find("WWW-Authenticate: Basic realm=\""), std::string::npos) << none.head;
    // Every path is behind the password, the index page and unknown paths too.
    EXPECT_EQ(http_get(exporter.port(), "/").status, 401);
    EXPECT_EQ(http_get(exporter.port(), "/nothing").status, 401);
    const std::string plain = "http";
    EXPECT_EQ(curl({"-u", "alice:wrong"}, url(exporter, plain)).status, "401");
    EXPECT_EQ(curl({"-u", "bob:secret"}, url(exporter, plain)).status, "401");
    const auto right = curl({"-u", "alice:secret"}, url(exporter, plain));
    EXPECT_EQ(right.status, "200");
    EXPECT_NE(right.body.find("kestrel_exporter_build_info{"), std::string::npos);
    // Failures are counted by their code.
    EXPECT_GE(value_of(curl({"-u", "alice:secret"}, url(exporter, plain)).body,
                       "kestrel_exporter_scrapes_total{code=\"401\"}"),
              3);
}

TEST(ExporterPasswords, WrongPasswordsFromManyAddressesNeverHoldUpAVerifiedScraper) {
    // Cost 12: about 0.4 s a verification on the machines we run on.
    TempDir dir;
    write_file(dir / "web.yml", "basic_auth_users:\n  alice: " + bcrypt_hash("secret", 12) + "\n");
    ExporterOnBoard exporter("sm8650", {"--web.config.file", dir / "web.yml"});
    const auto request = [](const std::string& credentials, const std::string& more = "") {
        return "GET /metrics HTTP/1.1\r\nHost: x\r\nAuthorization: Basic " + credentials + "\r\n" +
               more + "\r\n";
    };
    exporter_test::KeepAliveClient scraper(exporter.port(), "127.0.5.1");
    ASSERT_EQ(scraper.exchange(request("YWxpY2U6c2VjcmV0")).status, 200);  // alice:secret

    // 16 addresses, two connections each at once, with wrong passwords (alice:wrong) and
    // unknown users (mallory:secret).
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::map<int, int> answers;
    std::vector<std::thread> attackers;
    for (int i = 0; i < 32; ++i) {
        attackers.emplace_back([&, i] {
            const std::string source = "127.0.6." + std::to_string(i / 2 + 1);
            const std::string bad = request(
                i % 2 == 0 ? "YWxpY2U6d3Jvbmc=" : "bWFsbG9yeTpzZWNyZXQ=", "Connection: close\r\n");
            while (!stop) {
                const int status = http_exchange(exporter.port(), bad, source.c_str()).status;
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    ++answers[status];
                }
                if (status != 401) {
                    // Refused at once: a pause, to leave the processor to the exporter.
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                }
            }
        });
    }
    // The verified scraper, every 100 ms for 3 s, on its keep-alive connection.
    double slowest = 0;
    int lost = 0;
    for (int i = 0; i < 30; ++i) {
        const auto start = Clock::now();
        if (scraper.exchange(request("YWxpY2U6c2VjcmV0")).status != 200) {
            ++lost;
        }
        slowest = std::max(slowest, std::chrono::duration<double>(Clock::now() - start).count());
        std::this_thread::sleep_until(start + std::chrono::milliseconds(100));
    }
    // A stop while verifications wait ends the run at once, and in order.
    stop = true;
    const auto stopping = Clock::now();
    EXPECT_EQ(exporter.stop(SIGTERM).result.exit_code, 0);
    EXPECT_LT(Clock::now() - stopping, std::chrono::seconds(5));
    for (auto& attacker : attackers) {
        attacker.join();
    }
    EXPECT_EQ(lost, 0);
    EXPECT_LT(slowest, 1.0);
    // The attackers' checks ran, and what went beyond the bounds was answered at once.
    EXPECT_GT(answers[401], 0);
    EXPECT_GT(answers[429], 0);
    EXPECT_GT(answers[503], 0);
}

TEST(ExporterPasswords, AnEditTakesEffectAndABadEditKeepsTheLastGoodOne) {
    TempDir dir;
    const std::string path = dir / "web.yml";
    write_file(path, "basic_auth_users:\n  alice: " + bcrypt_hash("old") + "\n");
    ExporterOnBoard exporter("sm8650", {"--web.config.file", path});
    const std::string metrics = url(exporter, "http");
    EXPECT_EQ(curl({"-u", "alice:old"}, metrics).status, "200");

    write_file(path, "basic_auth_users:\n  alice: " + bcrypt_hash("new") + "\n");
    EXPECT_TRUE(eventually([&] { return curl({"-u", "alice:new"}, metrics).status == "200"; }));
    EXPECT_EQ(curl({"-u", "alice:old"}, metrics).status, "401");

    write_file(path, "basic_auth_users:\n  alice: not-a-hash\n");
    EXPECT_TRUE(eventually([&] {
        return exporter.err().find(path + ": basic_auth_users.alice: not a bcrypt hash") !=
               std::string::npos;
    })) << exporter.err();
    EXPECT_NE(exporter.err().find("the last good configuration stays in effect"),
              std::string::npos);
    EXPECT_EQ(curl({"-u", "alice:new"}, metrics).status, "200");
}

TEST(ExporterPasswords, AMalformedHashIsRefusedAtStartWithTheFileAndTheKey) {
    TempDir dir;
    write_file(dir / "web.yml", "basic_auth_users:\n  alice: $2y$10$short\n");
    const e2e::BoardRun run = e2e::run_on_board(
        "sm8650", {"--listen", "127.0.0.1:0", "--web.config.file", dir / "web.yml"}, {},
        KESTREL_EXPORTER_BIN);
    EXPECT_EQ(run.result.exit_code, 255);
    EXPECT_NE(run.result.err.find("web config " + (dir / "web.yml") +
                                  ": basic_auth_users.alice: not a bcrypt hash"),
              std::string::npos)
        << run.result.err;
    EXPECT_TRUE(e2e::no_session(run));
}

// The resident memory of a process, in KiB (VmRSS).
long resident_kib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.compare(0, 6, "VmRSS:") == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

// A file of `size` bytes that takes no room (zeros, sparse).
void sparse_file(const std::string& path, off_t size) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, size), 0);
    close(fd);
}

TEST(ExporterWebConfig, AFileBeyondTheCapIsRefusedAtStartByItsSize) {
    TempDir dir;
    sparse_file(dir / "web.yml", 200 << 20);
    const e2e::BoardRun run = e2e::run_on_board(
        "sm8650", {"--listen", "127.0.0.1:0", "--web.config.file", dir / "web.yml"}, {},
        KESTREL_EXPORTER_BIN);
    EXPECT_EQ(run.result.exit_code, 255);
    EXPECT_NE(run.result.err.find("web config " + (dir / "web.yml") + ": larger than 1 MiB"),
              std::string::npos)
        << run.result.err;
    EXPECT_TRUE(e2e::no_session(run));
}

TEST(ExporterWebConfig, AnOversizedOrHeavyReloadKeepsTheLastGoodAndLeavesNoMemoryBehind) {
    TempDir dir;
    const std::string path = dir / "web.yml";
    write_file(path, "basic_auth_users:\n  alice: " + bcrypt_hash("secret") + "\n");
    ExporterOnBoard exporter("sm8650", {"--web.config.file", path});
    const std::string metrics = url(exporter, "http");
    ASSERT_EQ(curl({"-u", "alice:secret"}, metrics).status, "200");
    const long before = resident_kib(exporter.pid());
    const auto refused = [&](int times) {
        const std::string err = exporter.err();
        int n = 0;
        for (auto at = err.find("the last good configuration stays in effect");
             at != std::string::npos;
             at = err.find("the last good configuration stays in effect", at + 1)) {
            ++n;
        }
        return n == times;
    };

    // 200 MB: refused by its size, nothing read.
    sparse_file(path + ".new", 200 << 20);
    fs::rename(path + ".new", path);
    EXPECT_TRUE(eventually([&] { return refused(1); })) << exporter.err();
    EXPECT_NE(exporter.err().find(path + ": larger than 1 MiB"), std::string::npos);
    // Just under the cap, a YAML tree of a hundred times its size that fails its check at the
    // end: read, refused, and its memory given back.
    std::string heavy = "http_server_config:\n  headers:\n";
    for (int i = 0; heavy.size() < 1000000; ++i) {
        heavy += "    X-H" + std::to_string(i) + ": [v, {a: b}]\n";
    }
    write_file(path, heavy);
    EXPECT_TRUE(eventually([&] { return refused(2); })) << exporter.err();
    // The C library's allocator gives it back (AddressSanitizer's keeps freed memory aside).
    if (!KESTREL_E2E_SANITIZED) {
        EXPECT_LT(resident_kib(exporter.pid()), before + 8192);
    }
    EXPECT_EQ(curl({"-u", "alice:secret"}, metrics).status, "200");
    EXPECT_EQ(curl({}, metrics).status, "401");
}

TEST_F(ExporterTls, ServesWithTheCertificateAndNothingOverPlainHttp) {
    ExporterOnBoard exporter("sm8650", {"--web.config.file", config("web.yml")});
    const auto verified = curl({"--cacert", file("ca.crt")}, url(exporter));
    EXPECT_EQ(verified.status, "200");
    EXPECT_NE(verified.body.find("kestrel_dsp_up{"), std::string::npos);
    // Without the CA, curl refuses the server (60: certificate not verified).
    EXPECT_EQ(curl({}, url(exporter)).exit_code, 60);
    // Plain HTTP is told what went wrong, in one line, as Go's servers tell it; the log names
    // the client, once.
    for (int i = 0; i < 3; ++i) {
        const auto plain = exporter_test::http_exchange(
            exporter.port(), "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n", "127.0.0.9");
        EXPECT_EQ(plain.status, 400);
        EXPECT_EQ(plain.body, "Client sent an HTTP request to an HTTPS server.\n");
    }
    EXPECT_TRUE(eventually([&] {
        return exporter.err().find(
                   "TLS handshake with 127.0.0.9 failed, the last: the client "
                   "spoke plain HTTP (answered 400)") != std::string::npos;
    })) << exporter.err();
    EXPECT_EQ(exporter.err().find("127.0.0.9 failed 2 times"), std::string::npos);
}

TEST_F(ExporterTls, EditsTurnTlsOnSwapTheCertificateAndTurnTlsOff) {
    const std::string path = file("switch.yml");
    write_file(path, "");
    ExporterOnBoard exporter("sm8650", {"--web.config.file", path});
    const std::vector<std::string> ca{"--cacert", file("ca.crt")};
    const std::vector<std::string> other_ca{"--cacert", file("otherca.crt")};
    EXPECT_EQ(http_get(exporter.port(), "/metrics").status, 200);

    config("switch.yml");
    EXPECT_TRUE(eventually([&] { return curl(ca, url(exporter)).status == "200"; }))
        << exporter.err();
    EXPECT_EQ(http_get(exporter.port(), "/metrics").status, 400);

    write_file(path,
               "tls_server_config:\n  cert_file: otherserver.crt\n  key_file: otherserver.key\n");
    EXPECT_TRUE(eventually([&] { return curl(other_ca, url(exporter)).status == "200"; }))
        << exporter.err();
    EXPECT_EQ(curl(ca, url(exporter)).exit_code, 60);

    write_file(path, "");
    EXPECT_TRUE(eventually([&] { return http_get(exporter.port(), "/metrics").status == 200; }))
        << exporter.err();
    EXPECT_NE(curl(other_ca, url(exporter)).status, "200");
    // No restart failed (libmicrohttpd's own lines tell of the polls in the wrong scheme).
    EXPECT_EQ(exporter.err().find("[ERROR] [EXPORTER] web config"), std::string::npos)
        << exporter.err();
}

TEST_F(ExporterTls, ASwitchThatCannotStartKeepsTheLastGoodServerAndTheNextEditRetries) {
    // Servers cannot start while the flag file exists: their threads cannot be created.
    const std::string flag = file("no-threads");
    const std::string path = file("retry.yml");
    write_file(path, "");
    ExporterOnBoard exporter(
        "sm8650", {"--web.config.file", path},
        {std::string("LD_PRELOAD=") + KESTREL_E2E_THREAD_FAULT, "KESTREL_TEST_THREAD_FAULT=" + flag,
         "ASAN_OPTIONS=verify_asan_link_order=0"});
    const std::string kept = "the last good configuration stays in effect";
    const auto count = [&](const std::string& text) {
        const std::string err = exporter.err();
        int n = 0;
        for (auto at = err.find(text); at != std::string::npos; at = err.find(text, at + 1)) {
            ++n;
        }
        return n;
    };

    // The TLS server cannot start (its first thread fails): the plain one goes on serving.
    write_file(flag, "once");
    config("retry.yml");
    EXPECT_TRUE(eventually([&] { return count(kept) == 1; })) << exporter.err();
    EXPECT_EQ(http_get(exporter.port(), "/metrics").status, 200);

    // Nor while no thread can be made at all; the plain one still serves.
    write_file(flag, "");
    config("retry.yml");
    EXPECT_TRUE(eventually([&] { return count(kept) == 2; })) << exporter.err();
    EXPECT_EQ(http_get(exporter.port(), "/metrics").status, 200);

    // The next edit starts its server.
    fs::remove(flag);
    config("retry.yml");
    EXPECT_TRUE(eventually([&] {
        return curl({"--cacert", file("ca.crt")}, url(exporter)).status == "200";
    })) << exporter.err();
}

// A client that scrapes over one scheme again and again, each time on a new connection from
// its own address, and keeps when each scrape started and what came of it.
class Scraper {
  public:
    struct Attempt {
        Clock::time_point start;
        int status = 0;
        bool exposition = false;  // the answer holds the DSP families
    };

    Scraper(int port, bool tls, int number)
        : tls_(tls), source_("127.0.2." + std::to_string(number + 1)) {
        thread_ = std::thread([this, port] {
            // user:pw, which some of the configurations ask for and the others ignore.
            const std::string request =
                "GET /metrics HTTP/1.1\r\nHost: x\r\nAuthorization: Basic dXNlcjpwdw==\r\n"
                "Connection: close\r\n\r\n";
            while (!stop_) {
                Attempt attempt;
                attempt.start = Clock::now();
                const auto answer =
                    tls_ ? exporter_test::https_exchange(port, request, source_.c_str())
                         : http_exchange(port, request, source_.c_str());
                attempt.status = answer.status;
                attempt.exposition = answer.body.find("kestrel_dsp_up{") != std::string::npos;
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    attempts_.push_back(attempt);
                }
                // A scrape that failed (the other scheme is served) is tried again at once:
                // those are the bytes a server that stops has to cope with.
                if (attempt.status == 200) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                }
            }
        });
    }
    ~Scraper() {
        stop_ = true;
        thread_.join();
    }
    bool tls() const { return tls_; }
    // The attempts that started in [from, to).
    std::vector<Attempt> between(Clock::time_point from, Clock::time_point to) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<Attempt> out;
        for (const Attempt& a : attempts_) {
            if (a.start >= from && a.start < to) {
                out.push_back(a);
            }
        }
        return out;
    }

  private:
    const bool tls_;
    const std::string source_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<Attempt> attempts_;
    std::thread thread_;
};

TEST_F(ExporterTls, SwitchesUnderScrapersOfBothSchemesNeverCrashAndSettleRight) {
    const std::string tls = "tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n";
    const std::string users = "basic_auth_users:\n  user: " + bcrypt_hash("pw") + "\n";
    // Plain; TLS; plain with a password; TLS with the other certificate, TLS 1.3 only, a
    // password and a header.
    const std::vector<std::string> configs = {
        "", tls, users,
        "tls_server_config:\n  cert_file: otherserver.crt\n  key_file: otherserver.key\n"
        "  min_version: TLS13\n" +
            users + "http_server_config:\n  headers:\n    X-Content-Type-Options: nosniff\n"};
    const std::string path = file("flap.yml");
    write_file(path, configs[0]);
    ExporterOnBoard exporter("sa8797p", {"--web.config.file", path, "--sample_time", "200"});
    std::vector<std::unique_ptr<Scraper>> scrapers;
    for (int i = 0; i < 6; ++i) {
        scrapers.push_back(std::make_unique<Scraper>(exporter.port(), i % 2 == 1, i));
    }
    const std::string probe =
        "GET /metrics HTTP/1.1\r\nHost: x\r\nAuthorization: Basic dXNlcjpwdw==\r\n"
        "Connection: close\r\n\r\n";
    int rounds = 0;
    for (const auto end = Clock::now() + std::chrono::seconds(60); Clock::now() < end; ++rounds) {
        // Three switches a little more than a second apart (the watcher looks once a second),
        // then the round's configuration, which must settle.
        int signal = 0;
        for (int i = 1; i <= 3; ++i) {
            write_file(path, configs[(rounds + i) % configs.size()]);
            std::this_thread::sleep_for(std::chrono::milliseconds(1100));
            ASSERT_TRUE(exporter.running(&signal))
                << "ended by signal " << signal << " in round " << rounds << "\n"
                << exporter.err();
        }
        const std::string& settled = configs[rounds % configs.size()];
        const bool on = settled.find("tls_server_config") != std::string::npos;
        write_file(path, settled);
        ASSERT_TRUE(eventually([&] {
            const auto answer = on ? exporter_test::https_exchange(exporter.port(), probe)
                                   : http_exchange(exporter.port(), probe);
            return answer.status == 200;
        })) << "round "
            << rounds << "\n"
            << exporter.err();
        // A second after it took effect, every scrape of its scheme is answered and none of
        // the other scheme gets the metrics.
        const auto from = Clock::now() + std::chrono::seconds(1);
        std::this_thread::sleep_until(from + std::chrono::seconds(1));
        for (const auto& scraper : scrapers) {
            for (const auto& attempt : scraper->between(from, from + std::chrono::seconds(1))) {
                if (scraper->tls() == on) {
                    EXPECT_EQ(attempt.status, 200) << "round " << rounds << ", tls " << on;
                    EXPECT_TRUE(attempt.exposition) << "round " << rounds;
                } else {
                    EXPECT_NE(attempt.status, 200) << "round " << rounds << ", tls " << on;
                }
            }
        }
    }
    scrapers.clear();
    EXPECT_GE(rounds, 5);
    const e2e::BoardRun run = exporter.stop(SIGTERM);
    EXPECT_EQ(run.result.signal, 0) << run.result.err;
    EXPECT_EQ(run.result.exit_code, 0) << run.result.err;
    EXPECT_TRUE(e2e::left_clean(run));
}

TEST_F(ExporterTls, RequiredClientCertificatesAreVerifiedAgainstTheCa) {
    ExporterOnBoard exporter(
        "sm8650", {"--web.config.file", config("clients.yml",
                                               "  client_auth_type: RequireAndVerifyClientCert\n"
                                               "  client_ca_file: ca.crt\n")});
    const std::vector<std::string> ca{"--cacert", file("ca.crt")};
    EXPECT_EQ(curl(ca, url(exporter)).status, "000");
    auto with = [&](const std::string& name) {
        std::vector<std::string> args = ca;
        args.insert(args.end(), {"--cert", file(name + ".crt"), "--key", file(name + ".key")});
        return curl(args, url(exporter)).status;
    };
    EXPECT_EQ(with("stranger"), "000");
    EXPECT_EQ(with("client"), "200");
}

TEST_F(ExporterTls, MinVersionTls13RefusesATls12Client) {
    ExporterOnBoard exporter("sm8650",
                             {"--web.config.file", config("tls13.yml", "  min_version: TLS13\n")});
    EXPECT_EQ(curl({"--cacert", file("ca.crt"), "--tls-max", "1.2"}, url(exporter)).status, "000");
    EXPECT_EQ(curl({"--cacert", file("ca.crt")}, url(exporter)).status, "200");
}

TEST(ExporterServing, SocketActivationServesOnTheSocketSystemdPasses) {
    TempDir dir;
    const int port = exporter_test::free_port();
    const pid_t pid = exporter_test::start_background(
        {"systemd-socket-activate", "-l", "127.0.0.1:" + std::to_string(port), KESTREL_RUN_BOARD,
         "--build", KESTREL_BUILD_DIR, "--exporter", "--board", "sm8650", "--trace",
         dir / "trace.jsonl", "--", "--web.systemd-socket", "--sample_time", "200"},
        dir / "out", dir / "err");
    // The first connection starts the exporter; later ones see its samples.
    bool served = eventually([&] {
        const auto answer = http_get(port, "/metrics");
        return answer.status == 200 &&
               answer.body.find("kestrel_dsp_samples_total{domain=\"cdsp\"} 1") !=
                   std::string::npos;
    });
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    std::ifstream err(dir / "err");
    std::stringstream text;
    text << err.rdbuf();
    EXPECT_TRUE(served) << text.str();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << text.str();
}

// Connections from `source` to the exporter, opened and left idle (closed on destruction).
class IdleConnections {
  public:
    IdleConnections(int port, const char* source, int count) {
        for (int i = 0; i < count; ++i) {
            const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in local{};
            local.sin_family = AF_INET;
            inet_pton(AF_INET, source, &local.sin_addr);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(static_cast<uint16_t>(port));
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
                connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
                fds_.push_back(fd);
            } else if (fd >= 0) {
                close(fd);
            }
        }
    }
    ~IdleConnections() {
        for (const int fd : fds_) {
            close(fd);
        }
    }

  private:
    std::vector<int> fds_;
};

// `each` idle connections from each of `addresses` addresses: PREFIX.1, PREFIX.2, ...
std::vector<std::unique_ptr<IdleConnections>> idle_from(int port, const std::string& prefix,
                                                        int addresses, int each) {
    std::vector<std::unique_ptr<IdleConnections>> idle;
    for (int i = 0; i < addresses; ++i) {
        const std::string source = prefix + "." + std::to_string(i + 1);
        idle.push_back(std::make_unique<IdleConnections>(port, source.c_str(), each));
    }
    return idle;
}

// The time another client's scrape takes to be answered, with its status.
std::pair<int, double> timed_scrape(int port, const char* source) {
    const auto start = Clock::now();
    const auto answer = http_exchange(
        port, "GET /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", source);
    return {answer.status, std::chrono::duration<double>(Clock::now() - start).count()};
}

TEST(ExporterServing, HeldConnectionsAndOversizedRequestsDoNotStopOtherScrapes) {
    ExporterOnBoard exporter("sm8650", {});
    {
        // 512 idle connections from eight addresses, 64 each.
        const auto idle = idle_from(exporter.port(), "127.0.1", 8, 64);
        const auto [status, seconds] = timed_scrape(exporter.port(), "127.0.0.2");
        EXPECT_EQ(status, 200);
        EXPECT_LT(seconds, 1.0);
    }
    {
        const IdleConnections one_client(exporter.port(), "127.0.0.1", 1100);
        const auto [status, seconds] = timed_scrape(exporter.port(), "127.0.0.2");
        EXPECT_EQ(status, 200);
        EXPECT_LT(seconds, 1.0);
    }
    {
        // 50 requests whose body never comes (more than the 40 answered at once): they hold
        // their connections until the request timeout, but not the places of answered requests.
        std::vector<int> heads;
        for (int i = 0; i < 50; ++i) {
            const int fd = exporter_test::connect_to(exporter.port(), "127.0.0.4");
            const std::string head =
                "GET /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 10\r\n\r\n";
            if (fd >= 0 && send(fd, head.data(), head.size(), MSG_NOSIGNAL) > 0) {
                heads.push_back(fd);
            }
        }
        EXPECT_EQ(heads.size(), 50u);
        const auto [status, seconds] = timed_scrape(exporter.port(), "127.0.0.2");
        EXPECT_EQ(status, 200);
        EXPECT_LT(seconds, 1.0);
        for (const int fd : heads) {
            close(fd);
        }
    }
    // 64 KiB of headers: refused at once, and the server goes on.
    std::string big = "GET /metrics HTTP/1.1\r\nHost: x\r\n";
    for (int i = 0; i < 640; ++i) {
        big += "X-Filler-" + std::to_string(i) + ": " + std::string(90, 'a') + "\r\n";
    }
    const int refused = http_exchange(exporter.port(), big + "\r\n").status;
    EXPECT_TRUE(refused == 431 || refused == 400) << refused;
    // A query of 500 parameters is answered at once.
    std::string query = "/metrics?";
    for (int i = 0; i < 500; ++i) {
        query += "p" + std::to_string(i) + "=" + std::to_string(i) + "&";
    }
    const auto start = Clock::now();
    EXPECT_EQ(http_get(exporter.port(), query).status, 200);
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 1.0);
}

TEST(ExporterServing, IdleConnectionsUnderASoftLimitOf1024DoNotHoldANewScraperUp) {
    // Run as a service manager starts it, with a soft limit of 1024 descriptors (systemd's
    // default); the test itself needs more than that for its idle connections.
    rlimit limits{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limits), 0);
    if (limits.rlim_max < 2048) {
        GTEST_SKIP() << "the hard descriptor limit is " << limits.rlim_max
                     << ": 1,100 idle connections cannot be opened under it";
    }
    limits.rlim_cur = limits.rlim_max;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limits), 0);
    ExporterOnBoard exporter("sm8650", {}, {},
                             {"prlimit", "--nofile=1024:" + std::to_string(limits.rlim_max), "--"});
    // 1,100 idle connections from 22 addresses, 50 each (fewer than one address may hold).
    const auto idle = idle_from(exporter.port(), "127.0.4", 22, 50);
    const auto [status, seconds] = timed_scrape(exporter.port(), "127.0.0.3");
    EXPECT_EQ(status, 200);
    EXPECT_LT(seconds, 1.5);
}

TEST(ExporterServing, RequestsBeyondTheLimitGet503) {
    // A slow bcrypt (a wrong password at a high cost) holds one request in flight.
    TempDir dir;
    write_file(dir / "web.yml", "basic_auth_users:\n  alice: " + bcrypt_hash("pw", 13) + "\n");
    ExporterOnBoard exporter("sm8650",
                             {"--web.config.file", dir / "web.yml", "--web.max-requests", "1"});
    auto slow = std::async(std::launch::async, [&] {
        return curl({"-u", "alice:wrong"}, url(exporter, "http")).status;
    });
    const bool limited =
        eventually([&] { return http_get(exporter.port(), "/metrics").status == 503; },
                   std::chrono::seconds(5));
    EXPECT_EQ(slow.get(), "401");
    EXPECT_TRUE(limited);
    // Once the slow one has ended (its end is counted just after its answer went out), the
    // next request is answered again.
    EXPECT_TRUE(eventually([&] { return http_get(exporter.port(), "/metrics").status == 401; },
                           std::chrono::seconds(5)));
}

TEST(ExporterServing, OwnMetricsPassPromtoolGzipAndTheirSwitch) {
    ExporterOnBoard exporter("sa8797p", {"--sample_time", "200"});
    const std::string text = exporter.scrape_until([](const std::string& t) {
        return value_of(t, "kestrel_dsp_samples_total{domain=\"nsp0\"}") >= 1;
    });
    for (const char* family :
         {"process_cpu_seconds_total", "process_resident_memory_bytes",
          "process_virtual_memory_bytes", "process_open_fds", "process_max_fds",
          "process_start_time_seconds", "kestrel_exporter_scrapes_in_flight"}) {
        EXPECT_EQ(count_series(text, family), 1) << family;
    }
    EXPECT_GT(value_of(text, "process_start_time_seconds"), 1.7e9);
    EXPECT_EQ(value_of(text, "kestrel_exporter_scrapes_total{code=\"503\"}"), 0);
    EXPECT_EQ(count_series(text, "kestrel_exporter_scrapes_total"), 5);
    EXPECT_GE(value_of(text, "kestrel_exporter_scrape_duration_seconds_count"), 1);
    TempDir dir;
    std::ofstream(dir / "m.prom") << text;
    const auto lint =
        kestrel_test::run_process({"sh", "-c", "promtool check metrics < " + (dir / "m.prom")});
    EXPECT_EQ(lint.exit_code, 0) << lint.out << lint.err;
    EXPECT_EQ(lint.out + lint.err, "");

    const auto gzip = curl({"--compressed", "-D", dir / "head"}, url(exporter, "http"));
    std::ifstream head_file(dir / "head");
    std::stringstream head;
    head << head_file.rdbuf();
    EXPECT_NE(head.str().find("Content-Encoding: gzip"), std::string::npos) << head.str();
    EXPECT_NE(head.str().find("Vary: Accept-Encoding"), std::string::npos);
    EXPECT_NE(gzip.body.find("kestrel_dsp_up{domain=\"nsp3\"}"), std::string::npos);

    ExporterOnBoard bare("sm8650", {"--web.disable-exporter-metrics"});
    const auto plain = http_get(bare.port(), "/metrics");
    EXPECT_EQ(plain.body.find("process_"), std::string::npos);
    EXPECT_EQ(plain.body.find("kestrel_exporter_scrape"), std::string::npos);
    EXPECT_NE(plain.body.find("kestrel_exporter_build_info{"), std::string::npos);
}

TEST(ExporterServing, EveryAddressServesTheTelemetryPathAndEqualsSignValuesWork) {
    const int second = exporter_test::free_port();
    ExporterOnBoard exporter("sm8650", {"--web.listen-address=127.0.0.2:" + std::to_string(second),
                                        "--web.telemetry-path=/m"});
    EXPECT_EQ(http_get(exporter.port(), "/m").status, 200);
    EXPECT_EQ(http_get(exporter.port(), "/metrics").status, 404);
    const auto other = curl({}, "http://127.0.0.2:" + std::to_string(second) + "/m");
    EXPECT_EQ(other.status, "200");
}

// Whether the stop signals are held: blocked in the runner (or the env it execs to block them), or
// the runner has become the exporter, which blocks them from its first instruction: the moment
// from which the run must end in order whenever it is stopped. The exporter's own mask is not
// looked at: its main thread waits for them in sigtimedwait, during which the kernel takes them
// out of its blocked set (the mask /proc shows), so that a look that comes late (on a busy
// machine, once the runner has become the exporter) would never see them blocked.
bool runner_holds_stop_signals(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line == "Name:\tkestrel-exporte") {
            return true;
        }
        if (line.compare(0, 7, "SigBlk:") == 0) {
            const unsigned long mask = std::stoul(line.substr(7), nullptr, 16);
            return (mask & 0x4003) == 0x4003;  // SIGHUP, SIGINT, SIGTERM
        }
    }
    return false;
}

TEST(ExporterEnds, SigtermAtTheFirstMomentsEndsWithZeroAndNothingOpen) {
    for (const int ms : {0, 1, 5, 20, 100}) {
        SCOPED_TRACE("SIGTERM after " + std::to_string(ms) + " ms");
        TempDir dir;
        const std::string trace = dir / "trace.jsonl";
        std::vector<std::string> argv{KESTREL_RUN_BOARD, "--build",    KESTREL_BUILD_DIR,
                                      "--exporter",      "--board",    "sa8797p",
                                      "--trace",         trace,        "--",
                                      "--listen",        "127.0.0.1:0"};
        std::vector<char*> raw;
        for (auto& a : argv) {
            raw.push_back(a.data());
        }
        raw.push_back(nullptr);
        // posix_spawn returns once the runner runs (the child exec'd): the moments count from
        // the runner's first line on, which holds the stop signals for the rest of the run.
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, (dir / "out").c_str(),
                                         O_WRONLY | O_CREAT, 0644);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, (dir / "err").c_str(),
                                         O_WRONLY | O_CREAT, 0644);
        pid_t pid = 0;
        ASSERT_EQ(posix_spawn(&pid, raw[0], &actions, nullptr, raw.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        // Looked at once per turn: a moment later the runner may have become the exporter.
        bool held = false;
        for (const auto deadline = Clock::now() + std::chrono::seconds(5);
             !held && Clock::now() < deadline;) {
            held = runner_holds_stop_signals(pid);
        }
        EXPECT_TRUE(held) << "the runner did not block the signals";
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        kill(pid, SIGTERM);
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), 0);
        // The exporter, if it got as far as the platform, left nothing open.
        std::ifstream lines(trace);
        e2e::BoardRun run;
        for (std::string line; std::getline(lines, line);) {
            run.trace.push_back(e2e::json::parse(line));
        }
        EXPECT_TRUE(run.exit_line().is_null() ? e2e::no_session(run) : e2e::left_clean(run));
    }
}

}  // namespace
