// The server's TLS credentials (GnuTLS): its certificate and key, the CA that signs client
// certificates, the client-certificate policy and the protocol versions of a web
// configuration. They are applied to each connection's TLS session before its handshake, so
// that a configuration read again serves new connections with its own certificates.
#pragma once

#include <memory>
#include <string>

#include "cpu/exporter/web_config.h"

namespace vorlix::kestrel::exporter {

class TlsCredentials {
  public:
    // Null, with the key at fault and the reason in `error`, when the certificate, the key or
    // the CA cannot be used.
    static std::shared_ptr<const TlsCredentials> create(const TlsServerConfig& config,
                                                        std::string* error);
    ~TlsCredentials();
    TlsCredentials(const TlsCredentials&) = delete;
    TlsCredentials& operator=(const TlsCredentials&) = delete;

    // Sets the credentials, the versions and the client-certificate policy on a server session
    // (a gnutls_session_t) whose handshake has not begun. With RequireAndVerifyClientCert the
    // handshake fails for a client without a certificate or with one the CA did not sign.
    void apply(void* session) const;

    // The certificate and key in PEM, which libmicrohttpd needs to start a TLS daemon at all
    // (each session then gets these credentials through apply).
    const std::string& cert_pem() const { return cert_pem_; }
    const std::string& key_pem() const { return key_pem_; }

  private:
    TlsCredentials() = default;

    void* credentials_ = nullptr;  // gnutls_certificate_credentials_t
    void* priority_ = nullptr;     // gnutls_priority_t
    bool verify_clients_ = false;
    std::string cert_pem_;
    std::string key_pem_;
};

}  // namespace vorlix::kestrel::exporter
