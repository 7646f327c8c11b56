// The parts of the exporter's web server that cannot be reached from outside: the web
// configuration reader's refusals, the password checker's memory of verified pairs, the
// Accept-Encoding reading and gzip, and the splitting of "--name=value" arguments.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cpu/exporter/basic_auth.h"
#include "cpu/exporter/compression.h"
#include "cpu/exporter/config_watcher.h"
#include "cpu/exporter/exporter_options.h"
#include "cpu/exporter/web_config.h"

namespace {

namespace fs = std::filesystem;
using vorlix::kestrel::exporter::accepts_gzip;
using vorlix::kestrel::exporter::BasicAuth;
using vorlix::kestrel::exporter::ClientAuth;
using vorlix::kestrel::exporter::ConfigWatcher;
using vorlix::kestrel::exporter::gzip_compress;
using vorlix::kestrel::exporter::parse_web_config;
using vorlix::kestrel::exporter::split_option_values;
using vorlix::kestrel::exporter::TlsVersion;
using vorlix::kestrel::exporter::WebConfig;

// "pw" at cost 4, made with htpasswd -nbBC 4.
constexpr const char* kHash = "$2y$04$TrfN.6y7wTfWyZb7Y3unDOZul.5nazi7GpGfF8XacA3zwTPHOpUhS";

class WebConfigTest : public testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("kestrel-webcfg-" + std::to_string(getpid()));
        fs::create_directories(dir_);
        std::ofstream(dir_ / "a.crt") << "CERT";
        std::ofstream(dir_ / "a.key") << "KEY";
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string error_of(const std::string& text) {
        WebConfig config;
        std::string error;
        EXPECT_FALSE(parse_web_config(text, dir_.string(), &config, &error)) << text;
        return error;
    }
    fs::path dir_;
};

TEST_F(WebConfigTest, ReadsEveryKey) {
    WebConfig config;
    std::string error;
    ASSERT_TRUE(parse_web_config(std::string("tls_server_config:\n"
                                             "  cert_file: a.crt\n"
                                             "  key_file: ") +
                                     (dir_ / "a.key").string() +
                                     "\n"
                                     "  client_ca_file: a.crt\n"
                                     "  client_auth_type: RequireAndVerifyClientCert\n"
                                     "  min_version: TLS13\n"
                                     "basic_auth_users:\n"
                                     "  alice: " +
                                     kHash +
                                     "\n"
                                     "http_server_config:\n"
                                     "  headers:\n"
                                     "    X-Frame-Options: deny\n",
                                 dir_.string(), &config, &error))
        << error;
    EXPECT_TRUE(config.tls);
    EXPECT_EQ(config.tls_server.cert_file, (dir_ / "a.crt").string());
    EXPECT_EQ(config.tls_server.cert_pem, "CERT");
    EXPECT_EQ(config.tls_server.key_pem, "KEY");
    EXPECT_EQ(config.tls_server.client_auth, ClientAuth::kRequireAndVerifyClientCert);
    EXPECT_EQ(config.tls_server.min_version, TlsVersion::kTls13);
    EXPECT_EQ(config.tls_server.max_version, TlsVersion::kTls13);
    ASSERT_EQ(config.users.size(), 1u);
    EXPECT_EQ(config.users[0].second, kHash);
    ASSERT_EQ(config.headers.size(), 1u);
    EXPECT_EQ(config.headers[0].first, "X-Frame-Options");
    EXPECT_TRUE(parse_web_config("", dir_.string(), &config, &error));
}

TEST_F(WebConfigTest, RefusesWithTheKeyAndTheReason) {
    const std::string tls = "tls_server_config:\n  cert_file: a.crt\n  key_file: a.key\n";
    const struct {
        std::string text;
        std::string error;
    } rows[] = {
        {"tls_config: {}\n", "tls_config: unknown key"},
        {"tls_server_config:\n  key_file: a.key\n", "tls_server_config.cert_file: missing"},
        {"tls_server_config:\n  cert_file: none.crt\n  key_file: a.key\n",
         "tls_server_config.cert_file: cannot read "},
        {tls + "  cipher_suites: []\n", "tls_server_config.cipher_suites: unknown key"},
        {tls + "  client_auth_type: RequireAnyClientCert\n",
         "tls_server_config.client_auth_type: \"RequireAnyClientCert\" is not"},
        {tls + "  client_auth_type: RequireAndVerifyClientCert\n",
         "tls_server_config.client_ca_file: missing"},
        {tls + "  client_ca_file: a.crt\n", "tls_server_config.client_auth_type: client_ca_file"},
        {tls + "  min_version: TLS11\n", "tls_server_config.min_version: \"TLS11\" is not"},
        {tls + "  min_version: TLS13\n  max_version: TLS12\n",
         "tls_server_config.max_version: lower than min_version"},
        {"basic_auth_users:\n  alice: $2y$04$tooshort\n",
         "basic_auth_users.alice: not a bcrypt hash"},
        {std::string("basic_auth_users:\n  alice: $2y$03$") + (kHash + 7) + "\n",
         "basic_auth_users.alice: not a bcrypt hash"},
        {"basic_auth_users: [alice]\n", "basic_auth_users: expected a mapping"},
        {"http_server_config:\n  http2: true\n", "http_server_config.http2: unknown key"},
        {"http_server_config:\n  headers:\n    Content-Type: x\n",
         "http_server_config.headers.Content-Type: set by the server itself"},
        {"http_server_config:\n  headers:\n    \"Bad Name\": x\n",
         "http_server_config.headers.Bad Name: not a valid header name"},
        // A NUL byte (a YAML escape) in a header name, or in a hash's variant letter.
        {"http_server_config:\n  headers:\n    \"X-A\\0B\": x\n", "http_server_config.headers.X-A"},
        {std::string("basic_auth_users:\n  alice: \"$2\\0$04$") + (kHash + 7) + "\"\n",
         "basic_auth_users.alice: not a bcrypt hash"},
        {"basic_auth_users:\n  alice: [\n", "line "},
        {"- a\n", "expected a mapping"},
    };
    for (const auto& row : rows) {
        const std::string error = error_of(row.text);
        EXPECT_EQ(error.rfind(row.error, 0), 0u) << row.text << "gave: " << error;
    }
}

TEST_F(WebConfigTest, TheWatcherSeesEveryEditWithinOneSecond) {
    const std::string path = (dir_ / "web.yml").string();
    // Rewritten in place (the same inode), the modification time set to the nanosecond.
    const auto edit = [&](const std::string& text, long nanoseconds) {
        std::ofstream(path, std::ios::trunc) << text;
        const timespec times[2] = {{1700000000, nanoseconds}, {1700000000, nanoseconds}};
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    };
    edit("a", 100);
    int changes = 0;
    ConfigWatcher watcher([&] { return std::vector<std::string>{path}; }, [&] { ++changes; });
    watcher.look();
    EXPECT_EQ(changes, 0);
    // The same size, in the same second.
    edit("b", 200);
    watcher.look();
    EXPECT_EQ(changes, 1);
    // Another size, the same time to the nanosecond.
    edit("bb", 200);
    watcher.look();
    EXPECT_EQ(changes, 2);
    watcher.look();
    EXPECT_EQ(changes, 2);
    // An edit between the file's reading and the start of a watch is seen at its first look.
    const std::string read = vorlix::kestrel::exporter::file_stamp(path);
    edit("c", 300);
    ConfigWatcher late([&] { return std::vector<std::string>{path}; }, [&] { ++changes; }, {read});
    late.look();
    EXPECT_EQ(changes, 3);
}

TEST(BasicAuthTest, VerifiesAndRemembersOnlyVerifiedPairs) {
    BasicAuth auth(std::vector<std::pair<std::string, std::string>>{{"alice", kHash}});
    EXPECT_FALSE(auth.verify("alice", "wrong"));
    EXPECT_FALSE(auth.verify("bob", "pw"));
    EXPECT_FALSE(auth.verify("alic", "pw"));
    EXPECT_EQ(auth.cached(), 0u);
    EXPECT_TRUE(auth.verify("alice", "pw"));
    EXPECT_TRUE(auth.verify("alice", "pw"));
    EXPECT_EQ(auth.cached(), 1u);
    // A password that only starts like the right one is not taken for it.
    EXPECT_FALSE(auth.verify("alice", "pw2"));
    EXPECT_EQ(auth.cached(), 1u);
}

TEST(Compression, AcceptEncodingAndGzipRoundTrip) {
    EXPECT_FALSE(accepts_gzip(nullptr));
    EXPECT_TRUE(accepts_gzip("gzip"));
    EXPECT_TRUE(accepts_gzip("deflate, GZIP;q=0.5"));
    EXPECT_TRUE(accepts_gzip("*"));
    EXPECT_FALSE(accepts_gzip("gzip;q=0, *"));
    EXPECT_FALSE(accepts_gzip("identity, deflate"));

    const std::string text(10000, 'k');
    std::string packed;
    ASSERT_TRUE(gzip_compress(text, &packed));
    ASSERT_GT(packed.size(), 2u);
    EXPECT_EQ(static_cast<unsigned char>(packed[0]), 0x1f);
    EXPECT_EQ(static_cast<unsigned char>(packed[1]), 0x8b);
    std::string unpacked(text.size() + 16, '\x55');
    z_stream stream{};
    ASSERT_EQ(inflateInit2(&stream, 15 + 16), Z_OK);
    stream.next_in = reinterpret_cast<Bytef*>(packed.data());
    stream.avail_in = static_cast<uInt>(packed.size());
    stream.next_out = reinterpret_cast<Bytef*>(unpacked.data());
    stream.avail_out = static_cast<uInt>(unpacked.size());
    EXPECT_EQ(inflate(&stream, Z_FINISH), Z_STREAM_END);
    unpacked.resize(stream.total_out);
    inflateEnd(&stream);
    EXPECT_EQ(unpacked, text);
}

TEST(ExporterOptions, SplitsEqualsSignValuesOfOptionsThatTakeOne) {
    const char* argv[] = {"kestrel-exporter",
                          "--web.listen-address=:9846",
                          "--listen=a=b",
                          "--once=1",
                          "--unknown=x",
                          "--sample_time",
                          "--x=y"};
    EXPECT_EQ(
        split_option_values(7, argv),
        (std::vector<std::string>{"kestrel-exporter", "--web.listen-address", ":9846", "--listen",
                                  "a=b", "--once=1", "--unknown=x", "--sample_time", "--x=y"}));
}

}  // namespace
