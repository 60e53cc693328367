#include "net/TlsSession.h"

#include "net/AsyncSocket.h"
#include "platform/AnsiText.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>

namespace pb {
namespace {

std::string openSslError(const char* fallback) {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return fallback;
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

std::string nameLine(const X509_NAME* name) {
    BIO* bio = BIO_new(BIO_s_mem());
    if (!bio)
        return {};
    X509_NAME_print_ex(bio, name, 0, XN_FLAG_RFC2253);
    char* data = nullptr;
    const long len = BIO_get_mem_data(bio, &data);
    std::string text(data, len > 0 ? static_cast<std::size_t>(len) : 0);
    BIO_free(bio);
    return text;
}

} // namespace

TlsSession::TlsSession(const std::string& host) {
    ctx_ = SSL_CTX_new(TLS_client_method());
    if (!ctx_)
        throw ESockError("TLS: " + openSslError("no context"));
    SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
    SSL_CTX_set_default_verify_paths(ctx_);
    // The handshake goes on whatever the check finds: the owner looks at the result and may
    // still accept a certificate the user trusts, before anything of the user's is sent.
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_NONE, nullptr);

    ssl_ = SSL_new(ctx_);
    in_ = BIO_new(BIO_s_mem());
    out_ = BIO_new(BIO_s_mem());
    if (!ssl_ || !in_ || !out_) {
        BIO_free(in_);
        BIO_free(out_);
        SSL_free(ssl_);
        SSL_CTX_free(ctx_);
        throw ESockError("TLS: " + openSslError("no session"));
    }
    BIO_set_mem_eof_return(in_, -1);   // an empty input means "wait for more", not the end
    SSL_set_bio(ssl_, in_, out_);
    SSL_set_connect_state(ssl_);

    in_addr address{};
    if (::inet_aton(host.c_str(), &address) != 0) {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), ::inet_ntoa(address));
    } else {
        SSL_set_tlsext_host_name(ssl_, host.c_str());
        SSL_set_hostflags(ssl_, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        SSL_set1_host(ssl_, host.c_str());
    }
}

TlsSession::~TlsSession() {
    SSL_free(ssl_);   // frees both memory BIOs
    SSL_CTX_free(ctx_);
}

void TlsSession::Fail(int rc) {
    const int kind = SSL_get_error(ssl_, rc);
    error_ = openSslError(kind == SSL_ERROR_SYSCALL ? "unexpected end of the connection"
                                                     : "protocol error");
    closed_ = true;
}

TlsSession::Step TlsSession::Handshake() {
    if (established_)
        return Step::Done;
    if (closed_)
        return Step::Failed;
    ERR_clear_error();
    const int rc = SSL_do_handshake(ssl_);
    if (rc == 1) {
        established_ = true;
        return Step::Done;
    }
    const int kind = SSL_get_error(ssl_, rc);
    if (kind == SSL_ERROR_WANT_READ || kind == SSL_ERROR_WANT_WRITE)
        return Step::Again;
    Fail(rc);
    return Step::Failed;
}

void TlsSession::Feed(const char* data, std::size_t count) {
    if (count > 0)
        BIO_write(in_, data, static_cast<int>(count));
}

long TlsSession::Read(char* buffer, std::size_t length) {
    if (closed_)
        return -1;
    ERR_clear_error();
    const int n = SSL_read(ssl_, buffer, static_cast<int>(length));
    if (n > 0)
        return n;
    switch (SSL_get_error(ssl_, n)) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
        return 0;
    case SSL_ERROR_ZERO_RETURN:   // the server's close_notify: answer it
        closed_ = true;
        SSL_shutdown(ssl_);
        return -1;
    default:
        Fail(n);
        return -1;
    }
}

long TlsSession::Write(const char* data, std::size_t count) {
    if (closed_)
        return -1;
    ERR_clear_error();
    const int n = SSL_write(ssl_, data, static_cast<int>(count));
    if (n > 0)
        return n;
    const int kind = SSL_get_error(ssl_, n);
    if (kind == SSL_ERROR_WANT_READ || kind == SSL_ERROR_WANT_WRITE)
        return 0;
    Fail(n);
    return -1;
}

void TlsSession::TakeOutput(std::string& out) {
    char chunk[16384];
    for (;;) {
        const int n = BIO_read(out_, chunk, sizeof chunk);
        if (n <= 0)
            return;
        out.append(chunk, static_cast<std::size_t>(n));
    }
}

void TlsSession::Shutdown() {
    if (established_ && !(SSL_get_shutdown(ssl_) & SSL_SENT_SHUTDOWN)) {
        ERR_clear_error();
        SSL_shutdown(ssl_);
        ERR_clear_error();
    }
    closed_ = true;
}

bool TlsSession::Verified() const {
    return established_ && SSL_get0_peer_certificate(ssl_) != nullptr &&
           SSL_get_verify_result(ssl_) == X509_V_OK;
}

std::string TlsSession::VerifyFailure() const {
    if (!SSL_get0_peer_certificate(ssl_))
        return ansi("kein Zertifikat");
    const long result = SSL_get_verify_result(ssl_);
    switch (result) {
    case X509_V_OK: return {};
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        return ansi("unbekannter Aussteller");
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return ansi("der Name im Zertifikat passt nicht zum Server");
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return ansi("abgelaufen");
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return ansi("noch nicht gültig");
    case X509_V_ERR_CERT_REVOKED:
        return ansi("zurückgezogen");
    default:
        return X509_verify_cert_error_string(result);
    }
}

TlsPeer TlsSession::Peer() const {
    TlsPeer peer;
    peer.Protocol = SSL_get_version(ssl_);
    if (const char* cipher = SSL_get_cipher_name(ssl_))
        peer.Cipher = cipher;
    if (X509* cert = SSL_get0_peer_certificate(ssl_)) {
        peer.Subject = nameLine(X509_get_subject_name(cert));
        peer.Issuer = nameLine(X509_get_issuer_name(cert));
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int len = 0;
        if (X509_digest(cert, EVP_sha256(), digest, &len) == 1) {
            static const char hex[] = "0123456789abcdef";
            for (unsigned int i = 0; i < len; ++i) {
                peer.Fingerprint += hex[digest[i] >> 4];
                peer.Fingerprint += hex[digest[i] & 15];
            }
        }
    }
    return peer;
}

} // namespace pb
