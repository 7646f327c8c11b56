// The server's TLS credentials with GnuTLS.
#include "cpu/exporter/tls.h"

#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

namespace vorlix::kestrel::exporter {

namespace {

gnutls_datum_t datum(const std::string& text) {
    gnutls_datum_t d;
    d.data = reinterpret_cast<unsigned char*>(const_cast<char*>(text.data()));
    d.size = static_cast<unsigned>(text.size());
    return d;
}

const char* version_name(TlsVersion version) {
    return version == TlsVersion::kTls13 ? "+VERS-TLS1.3" : "+VERS-TLS1.2";
}

}  // namespace

std::shared_ptr<const TlsCredentials> TlsCredentials::create(const TlsServerConfig& config,
                                                             std::string* error) {
    std::shared_ptr<TlsCredentials> tls(new TlsCredentials());
    gnutls_certificate_credentials_t credentials = nullptr;
    if (gnutls_certificate_allocate_credentials(&credentials) != GNUTLS_E_SUCCESS) {
        *error = "tls_server_config: GnuTLS cannot allocate credentials";
        return nullptr;
    }
    tls->credentials_ = credentials;
    const gnutls_datum_t cert = datum(config.cert_pem);
    const gnutls_datum_t key = datum(config.key_pem);
    int rc = gnutls_certificate_set_x509_key_mem(credentials, &cert, &key, GNUTLS_X509_FMT_PEM);
    if (rc < 0) {
        *error = "tls_server_config.cert_file: " + config.cert_file + " with " + config.key_file +
                 ": " + gnutls_strerror(rc);
        return nullptr;
    }
    if (!config.client_ca_pem.empty()) {
        const gnutls_datum_t ca = datum(config.client_ca_pem);
        rc = gnutls_certificate_set_x509_trust_mem(credentials, &ca, GNUTLS_X509_FMT_PEM);
        if (rc <= 0) {
            *error = "tls_server_config.client_ca_file: " + config.client_ca_file + ": " +
                     (rc < 0 ? gnutls_strerror(rc) : "no certificate in it");
            return nullptr;
        }
    }
    // The versions from min_version to max_version, GnuTLS's defaults for everything else.
    std::string priorities = "NORMAL:-VERS-ALL";
    priorities += ":";
    priorities += version_name(config.min_version);
    if (config.max_version != config.min_version) {
        priorities += ":";
        priorities += version_name(config.max_version);
    }
    gnutls_priority_t priority = nullptr;
    rc = gnutls_priority_init(&priority, priorities.c_str(), nullptr);
    if (rc < 0) {
        *error = std::string("tls_server_config.min_version: ") + gnutls_strerror(rc);
        return nullptr;
    }
    tls->priority_ = priority;
    tls->verify_clients_ = config.client_auth == ClientAuth::kRequireAndVerifyClientCert;
    tls->cert_pem_ = config.cert_pem;
    tls->key_pem_ = config.key_pem;
    return tls;
}

TlsCredentials::~TlsCredentials() {
    if (priority_ != nullptr) {
        gnutls_priority_deinit(static_cast<gnutls_priority_t>(priority_));
    }
    if (credentials_ != nullptr) {
        gnutls_certificate_free_credentials(
            static_cast<gnutls_certificate_credentials_t>(credentials_));
    }
}

void TlsCredentials::apply(void* session_handle) const {
    const auto session = static_cast<gnutls_session_t>(session_handle);
    gnutls_credentials_set(session, GNUTLS_CRD_CERTIFICATE, credentials_);
    gnutls_priority_set(session, static_cast<gnutls_priority_t>(priority_));
    if (verify_clients_) {
        // Required, and checked against the CA during the handshake (not only asked for).
        gnutls_certificate_server_set_request(session, GNUTLS_CERT_REQUIRE);
        gnutls_session_set_verify_cert(session, nullptr, 0);
    } else {
        gnutls_certificate_server_set_request(session, GNUTLS_CERT_IGNORE);
    }
}

}  // namespace vorlix::kestrel::exporter
