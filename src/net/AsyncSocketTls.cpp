// The socket component's TLS steps: the handshake, and what receiving and sending do when the
// connection runs over TLS.
#include "net/AsyncSocket.h"

#include "net/TlsSession.h"
#include "platform/AnsiText.h"
#include "platform/Clock.h"
#include "platform/MessageLoop.h"
#include "platform/SocketNotify.h"

#include <utility>

namespace pb {

using namespace winsock;

long TAsyncSocket::ReceiveChunk() {
    // Plain bytes are received straight into the buffer; TLS records go through `chunk` and
    // the session, whose plain text again lands in the buffer itself.
    char chunk[ChunkSize];
    const long n = socket_->recv(tls_ ? chunk : InBuffer.Reserve(ChunkSize), ChunkSize);
    if (n < 0) {
        lastSocketError_ = WSAGetLastError();
        return n;
    }
    if (n > 0)
        lastTraffic_ = nowMs();
    if (!tls_) {
        InBuffer.Commit(static_cast<std::size_t>(n));
        return n;
    }
    tls_->Feed(chunk, static_cast<std::size_t>(n));
    if (!tls_->Established() && tls_->Handshake() == TlsSession::Step::Failed)
        tlsFailed_ = true;
    if (tls_->Established()) {
        long m = 0;
        while ((m = tls_->Read(InBuffer.Reserve(ChunkSize), ChunkSize)) > 0)
            InBuffer.Commit(static_cast<std::size_t>(m));
    }
    // Handshake messages, renegotiation, key updates and alerts answer at once.
    tls_->TakeOutput(tlsOut_);
    FlushTls();
    if (std::exchange(tlsWriteWaits_, false))
        socketWindow_->post(ContinueSendMessage, 0, 0);
    return n;
}

long TAsyncSocket::SendChunk(const char* data, std::size_t count) {
    if (!tls_) {
        const long n = socket_->send(data, count);
        if (n > 0)
            lastTraffic_ = nowMs();
        return n;
    }
    if (!FlushTls()) {
        WSASetLastError(WSAEWOULDBLOCK);
        return SOCKET_ERROR;
    }
    const long n = tls_->Write(data, count);
    if (n == 0) {
        tlsWriteWaits_ = true;   // the next read notification brings what it needs
        WSASetLastError(WSAEWOULDBLOCK);
        return SOCKET_ERROR;
    }
    if (n < 0) {
        // A broken session cannot carry anything more: as a lost connection.
        connected_ = false;
        RequestCloseSocket();
        WSASetLastError(WSAECONNABORTED);
        return SOCKET_ERROR;
    }
    tls_->TakeOutput(tlsOut_);
    FlushTls();
    return n;
}

bool TAsyncSocket::FlushTls() {
    std::size_t sent = 0;
    while (sent < tlsOut_.size() && socket_) {
        const long n = socket_->send(tlsOut_.data() + sent, tlsOut_.size() - sent);
        if (n <= 0) {
            if (n < 0)
                lastSocketError_ = WSAGetLastError();
            break;   // a write notification follows when there is room again
        }
        sent += static_cast<std::size_t>(n);
        lastTraffic_ = nowMs();
    }
    tlsOut_.erase(0, sent);
    return tlsOut_.empty();
}

void TAsyncSocket::EndTls() {
    tls_.reset();
    tlsOut_.clear();
    tlsWriteWaits_ = false;
    tlsFailed_ = false;
}

bool TAsyncSocket::Secure() const {
    return tls_ && tls_->Established();
}

std::string TAsyncSocket::TlsDescription() const {
    if (!Secure())
        return {};
    const TlsPeer peer = tls_->Peer();
    return peer.Protocol + ", " + peer.Cipher + ", Zertifikat " + peer.Subject + " von " + peer.Issuer;
}

void TAsyncSocket::StartTls() {
    StatusMessage(8, "Start TLS");
    if (!connected_ || !socket_)
        throw Exception("Not Connected");
    auto fail = [this](const std::string& why) {
        DropConnection();
        throw ESockError(why);
    };
    // Whatever came with or after the server's go-ahead was sent before the protection began;
    // taken into the protected session it could pass for the server's protected answer.
    if (!InBuffer.Empty())
        fail("Data before TLS handshake");
    try {
        tls_ = std::make_unique<TlsSession>(Host);
    } catch (const ESockError& e) {
        fail(e.what());
    }
    tlsFailed_ = false;
    if (tls_->Handshake() == TlsSession::Step::Failed)
        tlsFailed_ = true;
    tls_->TakeOutput(tlsOut_);   // the ClientHello
    FlushTls();

    TimerOn();
    pumpUntil([this] {
        return !connected_ || !tls_ || tls_->Established() || tlsFailed_ || timedOut_ || canceled_;
    });
    TimerOff();
    if (!(connected_ && tls_ && tls_->Established() && !tlsFailed_)) {
        std::string why = timedOut_   ? "TLS Handshake Timed out"
                          : canceled_ ? "TLS Handshake Canceled"
                                      : "TLS Handshake Failed: ";
        if (!timedOut_ && !canceled_)
            why += tls_ && !tls_->Error().empty() ? tls_->Error() : std::string("Connection closed");
        fail(why);
    }

    const TlsPeer peer = tls_->Peer();
    if (!tls_->Verified() && (TrustedFingerprint.empty() || peer.Fingerprint != TrustedFingerprint)) {
        const std::string reason = tls_->VerifyFailure();
        DropConnection();
        throw ECertificateError(ansi("Zertifikat von ") + Host + ansi(" abgelehnt: ") + reason +
                                    ansi(". SHA-256-Fingerabdruck: ") + peer.Fingerprint,
                                Host, Port, reason, peer.Fingerprint, TrustedFingerprint);
    }
    lastTraffic_ = nowMs();
}

} // namespace pb
