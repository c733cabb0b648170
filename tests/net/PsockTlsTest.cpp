// The socket component over TLS: the handshake and every read and send after
// it run in the component's own wait, with its time-out and cancel, against
// an OpenSSL server in a thread (TlsPeer) or a scripted peer that never
// answers the handshake.
#include <QTimer>
#include <chrono>
#include <gtest/gtest.h>
#include <string>

#include "NetTestHelpers.h"
#include "TlsPeer.h"
#include "net/Psock.h"
#include "support/ScriptedPeer.h"
#include "support/TempDir.h"
#include "support/WaitFor.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Pki {
    TestCa ca;
    TestCertificate server = ca.Issue("localhost", "DNS:localhost,IP:127.0.0.1");
    TempDir dir;
    std::string caFile;
    Pki() {
        dir.Write("ca.pem", ca.Pem());
        caFile = dir.File("ca.pem");
    }
};

TTlsSettings Trusting(const Pki& pki, int port) {
    TTlsSettings s;
    s.serverName = "localhost";
    s.port = port;
    s.caFile = pki.caFile;
    return s;
}

// A socket connected to a TLS echo server and secured.
struct EchoOverTls {
    Pki pki;
    TlsPeer peer{TlsPeerOptions{pki.server.cert.get(), pki.server.key.get()}};
    TPowersock sock;

    EchoOverTls() {
        sock.SetTimeOut(10000);
        ConnectTo(sock, peer);
        sock.StartTls(Trusting(pki, peer.Port()));
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
    sock.SetTimeOut(10000);
    ConnectTo(sock, peer);
    QTimer::singleShot(100, [&] { sock.Cancel(); });
    TTlsSettings settings;
    settings.serverName = "localhost";
    settings.port = peer.Port();
    auto start = Clock::now();
    auto [reason, text] = AbortOf([&] { sock.StartTls(settings); });
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
    sock.SetTimeOut(300);
    ConnectTo(sock, peer);
    TTlsSettings settings;
    settings.serverName = "localhost";
    settings.port = peer.Port();
    auto [reason, text] = AbortOf([&] { sock.StartTls(settings); });
    EXPECT_EQ(text, "TLS handshake aborted");
    EXPECT_EQ(reason, TSockErrorReason::TimedOut);
    EXPECT_FALSE(sock.Connected());
}

TEST(PsockTls, RefusedCertificateRaisesAndDropsTheConnection) {
    Pki pki;
    TestCertificate stranger = SelfSigned("localhost", "DNS:localhost");
    TlsPeer peer(TlsPeerOptions{stranger.cert.get(), stranger.key.get()});
    TPowersock sock;
    sock.SetTimeOut(10000);
    ConnectTo(sock, peer);
    TTlsFailure reason = TTlsFailure::None;
    try {
        sock.StartTls(Trusting(pki, peer.Port()));
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
    Pki pki;
    TlsPeerOptions options{pki.server.cert.get(), pki.server.key.get()};
    options.mode = TlsPeerMode::CloseAfterHandshake;
    TlsPeer peer(options);
    TPowersock sock;
    sock.SetTimeOut(10000);
    ConnectTo(sock, peer);
    sock.StartTls(Trusting(pki, peer.Port()));
    EXPECT_EQ(sock.ReadLn(), "");
    EXPECT_TRUE(WaitFor([&] { return !sock.Connected(); }));
}
