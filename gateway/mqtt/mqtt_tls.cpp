#include "gateway/mqtt/mqtt_tls.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <memory>
#include <string_view>

namespace vpisd::gateway {
namespace {

// The slot of an SSL_CTX that points back at its MqttTls, for the verify callback.
int ContextIndex() {
    static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

// The reason of OpenSSL's latest error, or `fallback` when it left none.
std::string OpenSslReason(const char *fallback) {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    const char *reason = code == 0 ? nullptr : ERR_reason_error_string(code);
    return reason != nullptr ? reason : fallback;
}

template <typename Print> std::string Printed(Print print) {
    const std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
    if (!bio || print(bio.get()) <= 0)
        return "?";
    char *text = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &text);
    return std::string(text, static_cast<size_t>(size));
}

// A key protected by a passphrase is refused rather than asked for on a terminal.
int NoPassphrase(char *, int, int, void *) {
    return 0;
}

// Alerts a broker sends when it does not accept the client's certificate (or its absence).
constexpr int kCertificateAlerts[] = {SSL_AD_BAD_CERTIFICATE,     SSL_AD_UNSUPPORTED_CERTIFICATE,
                                      SSL_AD_CERTIFICATE_REVOKED, SSL_AD_CERTIFICATE_EXPIRED,
                                      SSL_AD_CERTIFICATE_UNKNOWN, SSL_AD_UNKNOWN_CA,
                                      SSL_AD_ACCESS_DENIED,       SSL_AD_CERTIFICATE_REQUIRED};

constexpr int kHandshakeClientHello = 1;
constexpr int kHandshakeCertificateRequest = 13;

} // namespace

MqttTls::~MqttTls() {
    if (context_ != nullptr)
        SSL_CTX_free(context_); // libmosquitto holds a reference of its own
}

bool MqttTls::Setup(std::string &error) {
    context_ = SSL_CTX_new(TLS_client_method());
    if (context_ == nullptr) {
        error = "cannot create the TLS context: " + OpenSslReason("out of memory");
        return false;
    }
    SSL_CTX_set_ex_data(context_, ContextIndex(), this);
    SSL_CTX_set_default_passwd_cb(context_, NoPassphrase);
    // TLS 1.2 unless told otherwise, as libmosquitto sets it for its own context.
    SSL_CTX_set_min_proto_version(context_, config_.tlsVersion == "tlsv1.3" ? TLS1_3_VERSION
                                                                            : TLS1_2_VERSION);
    if (SSL_CTX_load_verify_locations(context_, config_.cafile.c_str(), nullptr) != 1) {
        error = "cafile " + config_.cafile + ": " + OpenSslReason("no CA certificate in it");
        return false;
    }
    if (!config_.certfile.empty()) {
        if (SSL_CTX_use_certificate_chain_file(context_, config_.certfile.c_str()) != 1) {
            error = "certfile " + config_.certfile + ": " + OpenSslReason("no certificate in it");
            return false;
        }
        // The key is checked against the certificate as it is loaded.
        if (SSL_CTX_use_PrivateKey_file(context_, config_.keyfile.c_str(), SSL_FILETYPE_PEM) != 1) {
            bool mismatch = false, locked = false;
            for (unsigned long code = ERR_get_error(); code != 0; code = ERR_get_error()) {
                const char *reason = ERR_reason_error_string(code);
                mismatch |= ERR_GET_LIB(code) == ERR_LIB_X509 &&
                            ERR_GET_REASON(code) == X509_R_KEY_VALUES_MISMATCH;
                locked |= reason != nullptr && std::string_view(reason) == "bad decrypt";
            }
            error =
                "keyfile " + config_.keyfile +
                (mismatch ? " is not the key of certfile " + config_.certfile
                 : locked ? std::string(" is under a passphrase, which the gateway does not take")
                          : std::string(" holds no private key the gateway can read"));
            ERR_clear_error();
            return false;
        }
    }
    // The broker's certificate must name the host of `broker`, as an address or as a name.
    X509_VERIFY_PARAM *param = SSL_CTX_get0_param(context_);
    in6_addr address{};
    const bool isAddress = inet_pton(AF_INET, config_.host.c_str(), &address) == 1 ||
                           inet_pton(AF_INET6, config_.host.c_str(), &address) == 1;
    if ((isAddress ? X509_VERIFY_PARAM_set1_ip_asc(param, config_.host.c_str())
                   : X509_VERIFY_PARAM_set1_host(param, config_.host.c_str(), 0)) != 1) {
        error = "cannot check the broker's certificate against " + config_.host;
        return false;
    }
    SSL_CTX_set_verify(context_, SSL_VERIFY_PEER, Verify);
    SSL_CTX_set_msg_callback(context_, Watch);
    SSL_CTX_set_msg_callback_arg(context_, this);
    return true;
}

int MqttTls::Verify(int ok, X509_STORE_CTX *store) {
    auto *ssl =
        static_cast<SSL *>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto *self =
        ssl == nullptr
            ? nullptr
            : static_cast<MqttTls *>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), ContextIndex()));
    if (ok == 1 || self == nullptr || self->attempt_.verifyError != 0)
        return ok;
    Attempt &attempt = self->attempt_;
    attempt.verifyError = X509_STORE_CTX_get_error(store);
    attempt.verifyDepth = X509_STORE_CTX_get_error_depth(store);
    if (const X509 *cert = X509_STORE_CTX_get_current_cert(store)) {
        attempt.subject = Printed([&](BIO *bio) {
            return X509_NAME_print_ex(bio, X509_get_subject_name(cert), 0, XN_FLAG_RFC2253);
        });
        attempt.notBefore = Printed([&](BIO *bio) {
            return ASN1_TIME_print_ex(bio, X509_get0_notBefore(cert), ASN1_DTFLGS_ISO8601);
        });
        attempt.notAfter = Printed([&](BIO *bio) {
            return ASN1_TIME_print_ex(bio, X509_get0_notAfter(cert), ASN1_DTFLGS_ISO8601);
        });
    }
    return ok;
}

// OpenSSL shows every handshake message and alert here, the encrypted ones of TLS 1.3 after
// decryption.
void MqttTls::Watch(int writing, int, int contentType, const void *bytes, size_t size, SSL *,
                    void *self) {
    Attempt &attempt = static_cast<MqttTls *>(self)->attempt_;
    const auto *data = static_cast<const unsigned char *>(bytes);
    if (contentType == SSL3_RT_HANDSHAKE && size >= 1) {
        if (writing != 0 && data[0] == kHandshakeClientHello)
            attempt.helloSent = true;
        if (writing == 0) {
            attempt.brokerSpoke = true;
            if (data[0] == kHandshakeCertificateRequest)
                attempt.certificateAsked = true;
        }
    } else if (contentType == SSL3_RT_ALERT && size >= 2 && writing == 0) {
        attempt.brokerSpoke = true;
        if (data[1] != SSL_AD_CLOSE_NOTIFY && attempt.alert < 0)
            attempt.alert = data[1];
    }
}

void MqttTls::NoteLibraryError(const std::string &text) {
    // "OpenSSL Error[0]: error:0A00010B:SSL routines::wrong version number"
    if (attempt_.libraryError.empty())
        attempt_.libraryError = text.substr(text.rfind(':') + 1);
}

std::string MqttTls::Cause() const {
    if (!attempt_.helloSent)
        return {};
    if (attempt_.verifyError != 0)
        return CertificateCause();
    // Under TLS 1.3 the broker judges the client's certificate after the handshake: asked for
    // one and given none, the gateway sees either the broker's alert or only its reset, as the
    // timing falls. Both are told alike, so that a retry that sees the other adds no line.
    const bool certificateAlert =
        std::find(std::begin(kCertificateAlerts), std::end(kCertificateAlerts), attempt_.alert) !=
            std::end(kCertificateAlerts) ||
        attempt_.alert == SSL_AD_HANDSHAKE_FAILURE;
    if (attempt_.certificateAsked && config_.certfile.empty() &&
        (attempt_.alert < 0 || certificateAlert))
        return "the broker requires a client certificate: give certfile and keyfile";
    if (attempt_.alert >= 0)
        return AlertCause();
    if (!attempt_.brokerSpoke)
        return "the broker does not speak TLS on port " + std::to_string(config_.port);
    if (!attempt_.libraryError.empty())
        return "the TLS connection failed: " + attempt_.libraryError;
    return {};
}

std::string MqttTls::CertificateCause() const {
    const std::string whose =
        attempt_.verifyDepth == 0
            ? "the broker's certificate (" + attempt_.subject + ")"
            : "the certificate " + attempt_.subject + " in the broker's chain";
    switch (attempt_.verifyError) {
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
        return whose + " is not signed by the CA in " + config_.cafile;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return whose + " does not name " + config_.host;
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return whose + " expired on " + attempt_.notAfter;
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return whose + " is not valid before " + attempt_.notBefore + " (is the clock right?)";
    default:
        return whose + " is not accepted: " + X509_verify_cert_error_string(attempt_.verifyError);
    }
}

std::string MqttTls::AlertCause() const {
    // OpenSSL 3.0 has no words for TLS 1.3's "certificate required".
    const std::string alert = attempt_.alert == SSL_AD_CERTIFICATE_REQUIRED
                                  ? "certificate required"
                                  : SSL_alert_desc_string_long(attempt_.alert);
    const bool aboutCertificate =
        std::find(std::begin(kCertificateAlerts), std::end(kCertificateAlerts), attempt_.alert) !=
            std::end(kCertificateAlerts) ||
        (attempt_.alert == SSL_AD_HANDSHAKE_FAILURE && attempt_.certificateAsked);
    if (aboutCertificate && config_.certfile.empty())
        return "the broker requires a client certificate (alert \"" + alert +
               "\"): give certfile and keyfile";
    if (aboutCertificate)
        return "the broker refused the client certificate " + config_.certfile + " (alert \"" +
               alert + "\")";
    if (attempt_.alert == SSL_AD_PROTOCOL_VERSION)
        return std::string("the broker accepts none of the TLS versions the gateway offers (") +
               (config_.tlsVersion == "tlsv1.3" ? "1.3" : "1.2 and 1.3") + ", alert \"" + alert +
               "\")";
    return "the broker ended the TLS handshake with alert \"" + alert + "\"";
}

} // namespace vpisd::gateway
