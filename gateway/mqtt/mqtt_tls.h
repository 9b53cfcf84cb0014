// TLS to the broker on an OpenSSL context the gateway builds itself (CA, client certificate,
// lowest version, the broker's name) and hands to libmosquitto, so that it sees the handshake
// and can say why it failed: libmosquitto alone reports most failures as "A TLS error occurred.".
#pragma once

#include <string>

#include "gateway/config/mqtt_config.h"

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;
typedef struct x509_store_ctx_st X509_STORE_CTX;

namespace vpisd::gateway {

class MqttTls {
  public:
    explicit MqttTls(const BrokerConfig &config) : config_(config) {}
    ~MqttTls();
    MqttTls(const MqttTls &) = delete;
    MqttTls &operator=(const MqttTls &) = delete;

    // Loads the CA, the client certificate and its key; false with the reason in `error`.
    bool Setup(std::string &error);
    SSL_CTX *context() const { return context_; }

    // What one connection attempt saw of the handshake. Written by OpenSSL's callbacks on the
    // client's network thread, read there too.
    void BeginAttempt() { attempt_ = Attempt{}; }
    // A line libmosquitto logged about OpenSSL ("OpenSSL Error[0]: ..."), the last resort cause.
    void NoteLibraryError(const std::string &text);
    // Why the latest attempt failed, in words, when the TLS handshake is to blame; empty when
    // it never began (the broker was not reached) or went through.
    std::string Cause() const;

  private:
    struct Attempt {
        bool helloSent = false;        // the handshake began: the TCP connection was made
        bool brokerSpoke = false;      // a TLS handshake message or alert came from the broker
        bool certificateAsked = false; // the broker sent a CertificateRequest
        int alert = -1;                // the alert the broker ended the handshake with
        int verifyError = 0;           // X509_V_ERR_* of the broker's certificate chain
        int verifyDepth = 0;           // 0: the broker's own certificate
        std::string subject, notBefore, notAfter; // of the certificate that failed
        std::string libraryError;
    };

    static int Verify(int ok, X509_STORE_CTX *store);
    static void Watch(int writing, int version, int contentType, const void *bytes, size_t size,
                      SSL *ssl, void *self);
    std::string CertificateCause() const;
    std::string AlertCause() const;

    const BrokerConfig &config_;
    SSL_CTX *context_ = nullptr;
    Attempt attempt_;
};

} // namespace vpisd::gateway
