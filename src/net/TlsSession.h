#pragma once
// TlsSession: one TLS client session (OpenSSL 3) that never touches a socket.
//
// The socket component moves the bytes: what arrives from the server goes in with Feed, the
// plain text comes out of Read; plain text goes in with Write and the encrypted bytes to send
// come out of TakeOutput. Because OpenSSL works on memory here, it never waits: "wants read"
// means that more bytes from the server are needed (the next read notification brings them),
// "wants write" is simply output waiting in TakeOutput, which the socket sends as the
// connection takes it. Renegotiation and key updates run inside Read the same way.
//
// The certificate is checked during the handshake against the system's trusted CAs (OpenSSL's
// default paths, so SSL_CERT_FILE / SSL_CERT_DIR apply) and against the server's name: a host
// name is checked against the certificate's names (and sent as SNI), a dotted address against
// its IP entries. The handshake completes whatever the outcome; Verified() and Peer() tell it,
// and the owner decides before any credential is sent. TLS 1.2 is the lowest version offered.
#include <cstddef>
#include <string>

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;
typedef struct bio_st BIO;

namespace pb {

// What the handshake negotiated and whom the certificate names.
struct TlsPeer {
    std::string Protocol;      // "TLSv1.3"
    std::string Cipher;        // "TLS_AES_256_GCM_SHA384"
    std::string Subject;       // the certificate's subject, one line ("CN=pop.example.com")
    std::string Issuer;
    std::string Fingerprint;   // SHA-256 of the certificate (DER), 64 lower-case hex digits
};

class TlsSession {
public:
    // A session for a connection to `host` (a name or a dotted IPv4 address). Throws
    // pb::ESockError when OpenSSL cannot set one up.
    explicit TlsSession(const std::string& host);
    ~TlsSession();
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;

    enum class Step { Done, Again, Failed };
    // Drives the handshake as far as the bytes fed so far allow. Again: more bytes from the
    // server are needed. Failed: Error() says why.
    Step Handshake();
    bool Established() const { return established_; }

    // Bytes received from the server.
    void Feed(const char* data, std::size_t count);
    // Plain text received: > 0 bytes; 0 nothing more for now; -1 the session is over (the
    // server's close_notify, or a fault: Error() then holds the reason).
    long Read(char* buffer, std::size_t length);
    // Plain text to send: all `count` bytes are taken (returns count), 0 when the session must
    // first read (a renegotiation under way), -1 on a fault.
    long Write(const char* data, std::size_t count);
    // Appends the encrypted bytes that wait to be sent to `out`.
    void TakeOutput(std::string& out);
    // Queues the close_notify alert.
    void Shutdown();
    bool Closed() const { return closed_; }

    // The OpenSSL reason of the last failure.
    const std::string& Error() const { return error_; }

    // After the handshake: the certificate passed the CA and name check.
    bool Verified() const;
    // Why it did not, in German ("unbekannter Aussteller", "Name passt nicht", "abgelaufen", ...).
    std::string VerifyFailure() const;
    TlsPeer Peer() const;

private:
    void Fail(int rc);

    SSL_CTX* ctx_ = nullptr;
    SSL* ssl_ = nullptr;
    BIO* in_ = nullptr;    // bytes from the server, owned by ssl_
    BIO* out_ = nullptr;   // bytes for the server, owned by ssl_
    bool established_ = false;
    bool closed_ = false;
    std::string error_;
};

} // namespace pb
