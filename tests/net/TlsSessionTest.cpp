// The TLS session over a non-blocking socket, driven by poll, against an
// OpenSSL server in a thread with certificates made for each test.
#include <arpa/inet.h>
#include <chrono>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/TlsSession.h"
#include "support/Failure.h"
#include "support/RealTlsServers.h"
#include "support/TempDir.h"
#include "support/TlsPeer.h"

namespace {

using Clock = std::chrono::steady_clock;

// A connected, non-blocking client socket to 127.0.0.1:port.
class ClientSocket {
public:
    explicit ClientSocket(int port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<std::uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            ADD_FAILURE() << "connect to port " << port << " failed";
        }
        ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
    }
    ~ClientSocket() { ::close(fd_); }
    int Fd() const { return fd_; }

private:
    int fd_ = -1;
};

// Waits (at most until deadline) for what the session asked for.
bool AwaitSocket(int fd, TTlsStatus want, Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
        return false;
    }
    pollfd p{fd, static_cast<short>(want == TTlsStatus::WantRead ? POLLIN : POLLOUT), 0};
    return ::poll(&p, 1, static_cast<int>(left.count())) >= 0;
}

// Calls step until it stops asking for the socket; a deadline fails the test.
template <class Step> TTlsResult Drive(int fd, Step step) {
    auto deadline = Clock::now() + std::chrono::seconds(10);
    for (;;) {
        TTlsResult r = step();
        if (r.status != TTlsStatus::WantRead && r.status != TTlsStatus::WantWrite) {
            return r;
        }
        if (!AwaitSocket(fd, r.status, deadline)) {
            ADD_FAILURE() << "TLS step did not finish in time";
            return r;
        }
    }
}

void HandshakeOver(int fd, TTlsSession& session) {
    TTlsResult r = Drive(fd, [&] { return session.Handshake(); });
    ASSERT_EQ(r.status, TTlsStatus::Done);
    ASSERT_TRUE(session.HandshakeDone());
}

// A client socket to `port` and a session over it, its handshake done.
struct Handshaken {
    ClientSocket socket;
    TTlsSession session;
    Handshaken(int port, const TTlsSettings& settings)
        : socket(port), session(socket.Fd(), settings) {
        HandshakeOver(socket.Fd(), session);
    }
    int Fd() const { return socket.Fd(); }
};

// Adds the socket event `r` waits for to `events`; false when `r` waits for
// none (and did not succeed), which fails the test.
bool AddWait(const TTlsResult& r, short& events, const char* what) {
    if (r.status == TTlsStatus::WantRead) {
        events |= POLLIN;
    } else if (r.status == TTlsStatus::WantWrite) {
        events |= POLLOUT;
    } else {
        ADD_FAILURE() << what << " ended with status " << static_cast<int>(r.status);
        return false;
    }
    return true;
}

// Sends Data and reads the echo back, both at once as far as the socket
// allows, so that writes are partial and reads wait on writes and back.
std::string EchoThrough(int fd, TTlsSession& session, const std::string& data) {
    std::string echoed;
    std::size_t sent = 0;
    char buffer[8192];
    auto deadline = Clock::now() + std::chrono::seconds(20);
    while (echoed.size() < data.size()) {
        short events = 0;
        if (sent < data.size()) {
            TTlsResult w = session.Write(data.data() + sent, data.size() - sent);
            if (w.status == TTlsStatus::Done) {
                sent += w.bytes;
            } else if (!AddWait(w, events, "write")) {
                break;
            }
        }
        TTlsResult r = session.Read(buffer, sizeof buffer);
        if (r.status == TTlsStatus::Done) {
            echoed.append(buffer, r.bytes);
            continue;
        }
        if (!AddWait(r, events, "read")) {
            break;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            ADD_FAILURE() << "echo did not finish in time";
            break;
        }
        pollfd p{fd, events, 0};
        ::poll(&p, 1, static_cast<int>(left.count()));
    }
    return echoed;
}

std::string Payload(std::size_t size) {
    std::string data(size, '\0');
    unsigned x = 12345;
    for (char& c : data) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 16);
    }
    return data;
}

TTlsSettings Settings(const std::string& name, int port, const std::string& caFile = "",
                      const std::string& pin = "") {
    TTlsSettings s;
    s.serverName = name;
    s.port = port;
    s.caFile = caFile;
    s.fingerprint = pin;
    return s;
}

// The failure the handshake raises, with its reason.
struct Refusal {
    std::string text = NothingRaised;
    TTlsFailure reason = TTlsFailure::None;
};

// A server that serves `pki`'s certificate for localhost in `mode`.
TlsPeerOptions Serving(const TestPki& pki, TlsPeerMode mode = TlsPeerMode::Echo) {
    return {pki.server.cert.get(), pki.server.key.get(), mode};
}

Refusal HandshakeRefusal(int port, const TTlsSettings& settings) {
    ClientSocket socket(port);
    Refusal out;
    try {
        TTlsSession session(socket.Fd(), settings);
        Drive(socket.Fd(), [&] { return session.Handshake(); });
    } catch (const ETlsError& e) {
        out.text = e.Message();
        out.reason = e.Reason();
    }
    return out;
}

} // namespace

// --- Fingerprints -------------------------------------------------------------

TEST(TlsFingerprint, NormalisesTheFormsAPinMayTake) {
    const std::string canonical = "09:86:15:72:F6:96:64:70:30:8E:36:14:63:8C:3F:5C:BB:2C:2E:10:8F:"
                                  "D4:05:92:CD:66:72:4A:1A:F3:D5:02";
    struct Case {
        const char* name;
        const char* input;
        bool valid;
    } cases[] = {
        {"uppercase with colons", canonical.c_str(), true},
        {"lowercase with colons",
         "09:86:15:72:f6:96:64:70:30:8e:36:14:63:8c:3f:5c:bb:2c:2e:10:8f:d4:05:92:cd:66:72:4a:1a:"
         "f3:d5:02",
         true},
        {"bare hex", "09861572F6966470308E3614638C3F5CBB2C2E108FD40592CD66724A1AF3D502", true},
        {"blanks around", "  09861572f6966470308e3614638c3f5cbb2c2e108fd40592cd66724a1af3d502\n",
         true},
        {"SHA-1 length", "09:86:15:72:F6:96:64:70:30:8E:36:14:63:8C:3F:5C:BB:2C:2E:10", false},
        {"one digit short", "09861572F6966470308E3614638C3F5CBB2C2E108FD40592CD66724A1AF3D50",
         false},
        {"not hex", "G9861572F6966470308E3614638C3F5CBB2C2E108FD40592CD66724A1AF3D502", false},
        {"blank inside", "0986 1572F6966470308E3614638C3F5CBB2C2E108FD40592CD66724A1AF3D502",
         false},
        {"empty", "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto n = NormalizeFingerprint(c.input);
        EXPECT_EQ(n.has_value(), c.valid);
        if (c.valid) {
            EXPECT_EQ(*n, canonical);
            EXPECT_TRUE(SameFingerprint(c.input, canonical));
        } else {
            EXPECT_FALSE(SameFingerprint(c.input, c.input));
        }
    }
    EXPECT_FALSE(SameFingerprint(canonical, "19:86:15:72:F6:96:64:70:30:8E:36:14:63:8C:3F:5C:BB:2C:"
                                            "2E:10:8F:D4:05:92:CD:66:72:4A:1A:F3:D5:02"));
}

// --- Settings -----------------------------------------------------------------

TEST(TlsSettings, UnusableCaFileOrPinIsRefusedBeforeAnythingIsSent) {
    TestPki pki;
    TlsPeer peer(Serving(pki));
    ClientSocket socket(peer.Port());
    TempDir dir;
    dir.Write("empty.pem", "no certificate in here\n");
    try {
        TTlsSession session(socket.Fd(), Settings("localhost", peer.Port(), dir.File("empty.pem")));
        ADD_FAILURE() << "a CA file without certificates was taken";
    } catch (const ETlsError& e) {
        EXPECT_EQ(e.Reason(), TTlsFailure::BadSettings);
        EXPECT_EQ(e.Message(), "TLS: the CA file " + dir.File("empty.pem") +
                                   " cannot be used (no certificate or crl found)");
    }
    EXPECT_EQ(FailureOf<ETlsError>([&] {
                  TTlsSession s(socket.Fd(), Settings("localhost", peer.Port(), "", "AB:CD"));
              }),
              "TLS: the fingerprint setting is not a SHA-256 fingerprint (64 hex digits)");
    EXPECT_EQ(FailureOf<ETlsError>([&] { TTlsSession s(socket.Fd(), Settings("", peer.Port())); }),
              "TLS: the server name is empty");
}

// --- Handshake and data -------------------------------------------------------

TEST(TlsSession, TrustedWithCaFileEchoesLargeDataAndEndsWithClose) {
    TestPki pki;
    TlsPeer peer(Serving(pki));
    Handshaken t(peer.Port(), Settings("localhost", peer.Port(), pki.caFile));
    EXPECT_EQ(t.session.Failure(), TTlsFailure::None);

    const std::string data = Payload(1 << 20);
    EXPECT_TRUE(EchoThrough(t.Fd(), t.session, data) == data) << "echo differs";

    // Our close, then the server's: a read sees the end.
    t.session.Shutdown();
    char byte;
    TTlsResult end = Drive(t.Fd(), [&] { return t.session.Read(&byte, 1); });
    EXPECT_EQ(end.status, TTlsStatus::Closed);
    ASSERT_TRUE(peer.Finished());
    EXPECT_EQ(peer.Received(), data.size());
}

TEST(TlsSession, IpLiteralIsCheckedAgainstTheCertificatesAddresses) {
    TestPki pki;
    TlsPeer peer(Serving(pki));
    Handshaken t(peer.Port(), Settings("127.0.0.1", peer.Port(), pki.caFile));
    EXPECT_EQ(EchoThrough(t.Fd(), t.session, "+OK\r\n"), "+OK\r\n");
}

// The server's kernel answers the first write with a reset; the next one
// fails with EPIPE, which kills a process that writes with plain write().
TEST(TlsSession, WriteAfterTheServerClosedIsASocketErrorNotSigpipe) {
    TestPki pki;
    TlsPeer peer(Serving(pki, TlsPeerMode::CloseAfterHandshake));
    Handshaken t(peer.Port(), Settings("localhost", peer.Port(), pki.caFile));
    ASSERT_TRUE(peer.Finished());
    const std::string chunk(4096, 'x');
    TTlsResult r;
    auto deadline = Clock::now() + std::chrono::seconds(10);
    do {
        r = Drive(t.Fd(), [&] { return t.session.Write(chunk.data(), chunk.size()); });
    } while (r.status == TTlsStatus::Done && Clock::now() < deadline);
    EXPECT_EQ(r.status, TTlsStatus::SocketError);
    EXPECT_TRUE(r.error == ECONNRESET || r.error == EPIPE) << r.error;
}

// The pin alone: no CaFile, and a name the certificate lacks.
TEST(TlsSession, ExpiredCertificateIsAcceptedWithTheRightPin) {
    TestPki pki;
    TestCertificate expired =
        pki.ca.Issue("localhost", "DNS:localhost", {"20200101000000Z", "20210630120000Z"});
    TlsPeer peer({expired.cert.get(), expired.key.get()});
    std::string pin = TestFingerprint(expired.cert.get());
    for (char& c : pin) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    Handshaken t(peer.Port(), Settings("other.example.test", peer.Port(), "", pin));
    EXPECT_EQ(t.session.Failure(), TTlsFailure::None);
    EXPECT_EQ(EchoThrough(t.Fd(), t.session, "USER test\r\n"), "USER test\r\n");
}

// --- Refusals -----------------------------------------------------------------

// A handshake the session refuses: the server shows `shows` in `mode` (up to
// `maxVersion`), the client names `name`, trusts the CA file or not, pins
// `pin`. In `text`, "<server>" stands for "<name>:<port>".
struct RefusalCase {
    const char* what;
    const TestCertificate& shows;
    TlsPeerMode mode;
    int maxVersion;
    std::string name;
    bool withCaFile;
    std::string pin;
    TTlsFailure reason;
    std::string text;
};

TEST(TlsRefusal, EachRefusalNamesItsReason) {
    TestPki pki;
    TestCertificate self = SelfSigned("localhost", "DNS:localhost");
    TestCertificate expired =
        pki.ca.Issue("localhost", "DNS:localhost", {"20200101000000Z", "20210630120000Z"});
    TestCertificate future =
        pki.ca.Issue("localhost", "DNS:localhost", {"20980101000000Z", "20991231235959Z"});
    const auto echo = TlsPeerMode::Echo;
    const std::string certificateOf = "TLS: the certificate of <server>";
    const RefusalCase cases[] = {
        {"untrusted without CaFile", pki.server, echo, 0, "localhost", false, "",
         TTlsFailure::NotTrusted,
         certificateOf + " is not trusted (unable to get local issuer certificate)"},
        {"self-signed without pin", self, echo, 0, "localhost", false, "", TTlsFailure::NotTrusted,
         certificateOf + " is not trusted (self-signed certificate)"},
        {"host name the certificate lacks", pki.server, echo, 0, "mail.example.test", true, "",
         TTlsFailure::HostNameMismatch,
         certificateOf + " is not valid for the name mail.example.test"},
        // The address connected to is in the certificate; the name typed is not.
        {"address the certificate lacks", pki.server, echo, 0, "127.0.0.2", true, "",
         TTlsFailure::HostNameMismatch, certificateOf + " is not valid for the name 127.0.0.2"},
        {"expired", expired, echo, 0, "localhost", true, "", TTlsFailure::Expired,
         certificateOf + " has expired (valid until 2021-06-30 12:00:00 UTC)"},
        {"not yet valid", future, echo, 0, "localhost", true, "", TTlsFailure::NotYetValid,
         certificateOf + " is not valid yet (valid from 2098-01-01 00:00:00 UTC)"},
        // Even for a trusted certificate, naming the fingerprint seen.
        {"wrong pin", pki.server, echo, 0, "localhost", true, std::string(64, 'a'),
         TTlsFailure::FingerprintMismatch,
         certificateOf + " does not match the pinned fingerprint; its fingerprint is " +
             TestFingerprint(pki.server.cert.get())},
        {"server speaking only TLS 1.1", pki.server, echo, TLS1_1_VERSION, "localhost", true, "",
         TTlsFailure::HandshakeFailed,
         "TLS: the handshake with <server> failed (tlsv1 alert protocol version)"},
        {"peer closing mid-handshake", pki.server, TlsPeerMode::CloseMidHandshake, 0, "localhost",
         true, "", TTlsFailure::HandshakeFailed,
         "TLS: <server> closed the connection during the handshake"},
    };
    for (const RefusalCase& c : cases) {
        SCOPED_TRACE(c.what);
        TlsPeer peer({c.shows.cert.get(), c.shows.key.get(), c.mode, c.maxVersion});
        Refusal r = HandshakeRefusal(
            peer.Port(), Settings(c.name, peer.Port(), c.withCaFile ? pki.caFile : "", c.pin));
        EXPECT_EQ(r.reason, c.reason);
        std::string text = c.text;
        text.replace(text.find("<server>"), 8, c.name + ":" + std::to_string(peer.Port()));
        EXPECT_EQ(r.text, text);
    }
}

TEST(TlsRefusal, PeerResettingMidHandshakeIsASocketError) {
    TestPki pki;
    TlsPeer peer(Serving(pki, TlsPeerMode::ResetMidHandshake));
    ClientSocket socket(peer.Port());
    TTlsSession session(socket.Fd(), Settings("localhost", peer.Port(), pki.caFile));
    TTlsResult r = Drive(socket.Fd(), [&] { return session.Handshake(); });
    EXPECT_EQ(r.status, TTlsStatus::SocketError);
    EXPECT_EQ(r.error, ECONNRESET);
    EXPECT_FALSE(session.HandshakeDone());
}

TEST(TlsRefusal, RefusedSessionStaysRefused) {
    TestPki pki;
    TlsPeer peer(Serving(pki));
    ClientSocket socket(peer.Port());
    TTlsSession session(socket.Fd(), Settings("localhost", peer.Port()));
    std::string first =
        FailureOf<ETlsError>([&] { Drive(socket.Fd(), [&] { return session.Handshake(); }); });
    EXPECT_NE(first, NothingRaised);
    EXPECT_EQ(session.Failure(), TTlsFailure::NotTrusted);
    EXPECT_EQ(session.FailureText(), first);
    EXPECT_EQ(FailureOf<ETlsError>([&] { session.Handshake(); }), first);
    char byte;
    EXPECT_EQ(FailureOf<ETlsError>([&] { session.Read(&byte, 1); }), first);
    EXPECT_EQ(FailureOf<ETlsError>([&] { session.Write("x", 1); }), first);
}

// --- Certificate facts ----------------------------------------------------------

TEST(TlsCertificateFacts, TrustedServer) {
    TestPki pki;
    TestCertificate cert = pki.ca.Issue("localhost", "DNS:localhost,IP:127.0.0.1,IP:::1",
                                        {"20240102030405Z", "20380119031407Z"});
    TlsPeer peer({cert.cert.get(), cert.key.get()});
    Handshaken t(peer.Port(), Settings("localhost", peer.Port(), pki.caFile));
    TTlsCertificateFacts facts = t.session.CertificateFacts();
    EXPECT_EQ(facts.protocol, "TLSv1.3");
    EXPECT_EQ(facts.cipher.rfind("TLS_", 0), 0u) << facts.cipher;
    EXPECT_EQ(facts.subject, "CN=localhost,O=mailgate test");
    EXPECT_EQ(facts.issuer, "CN=mailgate test CA,O=mailgate test");
    EXPECT_EQ(facts.notBefore, "2024-01-02 03:04:05 UTC");
    EXPECT_EQ(facts.notAfter, "2038-01-19 03:14:07 UTC");
    EXPECT_EQ(facts.altNames,
              (std::vector<std::string>{"DNS:localhost", "IP:127.0.0.1", "IP:::1"}));
    EXPECT_EQ(facts.fingerprint, TestFingerprint(cert.cert.get()));
    EXPECT_TRUE(facts.verified);
    EXPECT_EQ(facts.verifyError, "");
}

TEST(TlsCertificateFacts, InspectingAnUntrustedServerFinishesAndTellsWhy) {
    TestPki pki;
    TlsPeer peer(Serving(pki));
    TTlsSettings settings = Settings("localhost", peer.Port());
    settings.inspectOnly = true;
    Handshaken t(peer.Port(), settings);
    EXPECT_EQ(t.session.Failure(), TTlsFailure::NotTrusted);
    EXPECT_EQ(t.session.FailureText(),
              "TLS: the certificate of localhost:" + std::to_string(peer.Port()) +
                  " is not trusted (unable to get local issuer certificate)");
    TTlsCertificateFacts facts = t.session.CertificateFacts();
    EXPECT_FALSE(facts.verified);
    EXPECT_EQ(facts.verifyError, "unable to get local issuer certificate");
    EXPECT_EQ(facts.fingerprint, TestFingerprint(pki.server.cert.get()));
}

TEST(TlsCertificateFacts, TrustIsReportedIndependentOfAMatchingPin) {
    TestCertificate self = SelfSigned("localhost", "DNS:localhost");
    TlsPeer peer({self.cert.get(), self.key.get()});
    Handshaken t(peer.Port(),
                 Settings("localhost", peer.Port(), "", TestFingerprint(self.cert.get())));
    EXPECT_EQ(t.session.Failure(), TTlsFailure::None);
    TTlsCertificateFacts facts = t.session.CertificateFacts();
    EXPECT_FALSE(facts.verified);
    EXPECT_EQ(facts.verifyError, "self-signed certificate");
}

// --- The local POP3S server -------------------------------------------------------

TEST(TlsRealServer, Pop3sGreetsOverVerifiedTlsAndRefusesTheWrongName) {
    const RealTlsServers servers;
    MAILGATE_NEED_TLS_SERVERS(servers);
    const int port = servers.pop3sPort;
    const std::string& wrongHost = servers.wrongHost;
    for (const TTlsSettings& settings : {Settings(servers.host, port, servers.caFile),
                                         Settings(wrongHost, port, "", servers.fingerprint)}) {
        SCOPED_TRACE(settings.caFile.empty() ? "pinned" : "with CaFile");
        Handshaken t(port, settings);
        EXPECT_TRUE(t.session.CertificateFacts().verified == !settings.caFile.empty());
        std::string greeting;
        char buffer[512];
        while (greeting.find('\n') == std::string::npos) {
            TTlsResult r = Drive(t.Fd(), [&] { return t.session.Read(buffer, sizeof buffer); });
            ASSERT_EQ(r.status, TTlsStatus::Done);
            greeting.append(buffer, r.bytes);
        }
        EXPECT_EQ(greeting.rfind("+OK", 0), 0u) << greeting;
        t.session.Shutdown();
    }
    Refusal r = HandshakeRefusal(port, Settings(wrongHost, port, servers.caFile));
    EXPECT_EQ(r.reason, TTlsFailure::HostNameMismatch);
    EXPECT_EQ(r.text, "TLS: the certificate of " + wrongHost + ":" + std::to_string(port) +
                          " is not valid for the name " + wrongHost);
}
