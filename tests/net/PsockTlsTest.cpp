// The socket component over TLS: the handshake and every read and send after
// it run in the component's own wait, with its time-out and cancel, against
// an OpenSSL server in a thread (TlsPeer) or a scripted peer that never
// answers the handshake.
#include <QTimer>
#include <chrono>
#include <gtest/gtest.h>
#include <string>

#include "NetTestHelpers.h"
#include "net/Psock.h"
#include "support/ScriptedPeer.h"
#include "support/TlsPeer.h"
#include "support/WaitFor.h"

namespace {

using Clock = std::chrono::steady_clock;

// Settings for a server named localhost, trusted through `caFile` if any.
TTlsSettings Localhost(int port, const std::string& caFile = "") {
    TTlsSettings s;
    s.serverName = "localhost";
    s.port = port;
    s.caFile = caFile;
    return s;
}

// A socket with `timeOutMs`, connected to `peer`.
template <class Peer> void ConnectWithin(TPowersock& sock, const Peer& peer, int timeOutMs) {
    sock.SetTimeOut(timeOutMs);
    ConnectTo(sock, peer);
}

// A socket connected to a TLS echo server and secured.
struct EchoOverTls {
    TestPki pki;
    TlsPeer peer{TlsPeerOptions{pki.server.cert.get(), pki.server.key.get()}};
    TPowersock sock;

    EchoOverTls() {
        ConnectWithin(sock, peer, 10000);
        sock.StartTls(Localhost(peer.Port(), pki.caFile));
    }
};

// Reason and text of the EAbortError f raises.
template <class F> std::pair<TSockErrorReason, std::string> AbortOf(F&& f) {
    try {
        f();
    } catch (const EAbortError& e) {
        return {e.Reason(), e.Message()};
    }
    return {TSockErrorReason::Unspecified, NothingRaised};
}

} // namespace

TEST(PsockTls, LinesAndTransactionsGoThroughTheSession) {
    EchoOverTls t;
    ASSERT_TRUE(t.sock.TlsActive());
    t.sock.Writeln("hello");
    EXPECT_EQ(t.sock.ReadLn(), "hello\r\n");
    EXPECT_EQ(t.sock.Transaction("250 fine"), "250 fine\r\n");
    EXPECT_EQ(t.sock.ReplyNumber(), 250);

    std::string piece;
    t.sock.Writeln(std::string(100, 'p'));
    EXPECT_FALSE(t.sock.ReadLnPiece(piece, 60));
    EXPECT_EQ(piece, std::string(60, 'p'));
    EXPECT_TRUE(t.sock.ReadLnPiece(piece, 60));
    EXPECT_EQ(piece, std::string(40, 'p') + "\r\n");
    EXPECT_FALSE(t.sock.DataAvailable());

    TTlsCertificateFacts facts = t.sock.TlsCertificateFacts();
    EXPECT_TRUE(facts.verified);
    EXPECT_EQ(facts.fingerprint, TestFingerprint(t.pki.server.cert.get()));
}

// Many records at once: OpenSSL holds decrypted bytes the socket no longer
// signals, and every line must still come without a wait on the socket.
TEST(PsockTls, ManyLinesSentAtOnceAllArrive) {
    EchoOverTls t;
    std::string lines;
    for (int i = 0; i < 2000; ++i) {
        lines += "line " + std::to_string(i) + " " + std::string(200, 'a' + i % 26) + "\r\n";
    }
    std::size_t sent = 0;
    while (sent < lines.size()) {
        std::size_t n = std::min<std::size_t>(60000, lines.size() - sent);
        t.sock.SendBuffer(lines.data() + sent, static_cast<std::uint16_t>(n));
        sent += n;
    }
    std::string back;
    for (int i = 0; i < 2000; ++i) {
        back += t.sock.ReadLn();
    }
    EXPECT_EQ(back, lines);
}

TEST(PsockTls, SilentServerTimesOutAndDropsTheConnection) {
    EchoOverTls t;
    t.sock.SetTimeOut(300);
    auto start = Clock::now();
    auto [reason, text] = AbortOf([&] { t.sock.ReadLn(); });
    EXPECT_EQ(text, "Socket readln aborted");
    EXPECT_EQ(reason, TSockErrorReason::TimedOut);
    EXPECT_LT(SecondsSince(start), 10.0);
    EXPECT_FALSE(t.sock.Connected());
    EXPECT_FALSE(t.sock.TlsActive());
}

// As over plain text, a cancel ends the read but keeps the connection, and
// the TLS stream stays in step.
TEST(PsockTls, CancelledReadKeepsTheSession) {
    EchoOverTls t;
    QTimer::singleShot(100, [&] { t.sock.Cancel(); });
    auto [reason, text] = AbortOf([&] { t.sock.ReadLn(); });
    EXPECT_EQ(text, "Socket readln aborted");
    EXPECT_EQ(reason, TSockErrorReason::Canceled);
    ASSERT_TRUE(t.sock.Connected());
    EXPECT_EQ(t.sock.Transaction("after"), "after\r\n");
}

TEST(PsockTls, DisconnectEndsTheSessionAndPlainSocketFollows) {
    EchoOverTls t;
    t.sock.Disconnect();
    EXPECT_FALSE(t.sock.Connected());
    EXPECT_FALSE(t.sock.TlsActive());
    EXPECT_TRUE(t.peer.Finished());
    EXPECT_EQ(t.sock.ReadLn(), "");
}

TEST(PsockTls, CancelDuringTheHandshakeDropsTheConnection) {
    ScriptedPeer peer;
    peer.Add({"HANG"});
    TPowersock sock;
    ConnectWithin(sock, peer, 10000);
    QTimer::singleShot(100, [&] { sock.Cancel(); });
    auto start = Clock::now();
    auto [reason, text] = AbortOf([&] { sock.StartTls(Localhost(peer.Port())); });
    EXPECT_EQ(text, "TLS handshake aborted");
    EXPECT_EQ(reason, TSockErrorReason::Canceled);
    EXPECT_LT(SecondsSince(start), 10.0);
    EXPECT_FALSE(sock.Connected());
    EXPECT_FALSE(sock.TlsActive());
    EXPECT_FALSE(sock.Canceled()); // the cancel was used up
    EXPECT_TRUE(WaitFor([&] { return peer.Finished(); }));
}

TEST(PsockTls, SilentHandshakeTimesOut) {
    ScriptedPeer peer;
    peer.Add({"HANG"});
    TPowersock sock;
    ConnectWithin(sock, peer, 300);
    auto [reason, text] = AbortOf([&] { sock.StartTls(Localhost(peer.Port())); });
    EXPECT_EQ(text, "TLS handshake aborted");
    EXPECT_EQ(reason, TSockErrorReason::TimedOut);
    EXPECT_FALSE(sock.Connected());
}

TEST(PsockTls, RefusedCertificateRaisesAndDropsTheConnection) {
    TestPki pki;
    TestCertificate stranger = SelfSigned("localhost", "DNS:localhost");
    TlsPeer peer(TlsPeerOptions{stranger.cert.get(), stranger.key.get()});
    TPowersock sock;
    ConnectWithin(sock, peer, 10000);
    TTlsFailure reason = TTlsFailure::None;
    try {
        sock.StartTls(Localhost(peer.Port(), pki.caFile));
    } catch (const ETlsError& e) {
        reason = e.Reason();
    }
    EXPECT_EQ(reason, TTlsFailure::NotTrusted);
    EXPECT_FALSE(sock.Connected());
    EXPECT_FALSE(sock.TlsActive());
}

TEST(PsockTls, StartTlsNeedsAConnection) {
    TPowersock sock;
    EXPECT_EQ(FailureOf<ESockError>([&] { sock.StartTls(TTlsSettings{}); }),
              "10057:Socket is not connected");
}

TEST(PsockTls, ServerClosingAfterTheHandshakeEndsReads) {
    TestPki pki;
    TlsPeer peer({pki.server.cert.get(), pki.server.key.get(), TlsPeerMode::CloseAfterHandshake});
    TPowersock sock;
    ConnectWithin(sock, peer, 10000);
    sock.StartTls(Localhost(peer.Port(), pki.caFile));
    EXPECT_EQ(sock.ReadLn(), "");
    EXPECT_TRUE(WaitFor([&] { return !sock.Connected(); }));
}

// A line injected behind the reply to the upgrade command reaches the client
// in plain text before the handshake; read after it, it would pass for one
// the server sent over TLS (the STARTTLS injection of CVE-2011-0411).
TEST(PsockTls, PlainBytesBeforeTheHandshakeAreDroppedNotReadAsProtected) {
    TestPki pki;
    TlsPeer peer(
        {pki.server.cert.get(), pki.server.key.get(), TlsPeerMode::Talk},
        [](SSL* ssl) {
            const std::string line = "+OK secure\r\n";
            SSL_write(ssl, line.data(), static_cast<int>(line.size()));
            char buffer[64];
            (void)SSL_read(ssl, buffer, sizeof buffer); // until the client goes
        },
        "+OK Begin TLS\r\n+OK injected\r\n");
    TPowersock sock;
    ConnectWithin(sock, peer, 10000);
    ASSERT_EQ(sock.ReadLn(), "+OK Begin TLS\r\n");
    ASSERT_TRUE(WaitFor([&] { return sock.DataAvailable(); }, 5000)); // the injected line is here
    sock.StartTls(Localhost(peer.Port(), pki.caFile));
    EXPECT_EQ(sock.ReadLn(), "+OK secure\r\n");
    sock.Disconnect();
    EXPECT_TRUE(peer.Finished());
}
