// The POP3 client over TLS against the real Dovecot that scripts/mailservers
// starts: STLS on one port, POP3S on another, a certificate for localhost and
// 127.0.0.1 from a throwaway CA. Log-ins only (STAT): nothing is retrieved or
// deleted, so other tests may use the same mailbox meanwhile. A recording
// relay shows what crosses the wire.
#include <arpa/inet.h>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "pop3/NMpop3.h"
#include "support/Failure.h"
#include "support/RealServers.h"
#include "support/WaitFor.h"

namespace {

struct TlsServers {
    int plainPort = 0;
    int stlsPort = 0;
    int pop3sPort = 0;
    std::string caFile;
    std::string host;      // a name the certificate carries
    std::string wrongHost; // one it does not
    std::string fingerprint;
    std::string user;
    std::string password;

    static TlsServers FromEnvironment() {
        TlsServers s;
        s.plainPort = std::atoi(RealServers::Env("MAILGATE_POP3_PORT").c_str());
        s.stlsPort = std::atoi(RealServers::Env("MAILGATE_POP3_STLS_PORT").c_str());
        s.pop3sPort = std::atoi(RealServers::Env("MAILGATE_POP3S_PORT").c_str());
        s.caFile = RealServers::Env("MAILGATE_CA_FILE");
        s.host = RealServers::Env("MAILGATE_TLS_HOST");
        s.wrongHost = RealServers::Env("MAILGATE_TLS_WRONG_HOST");
        s.fingerprint = RealServers::Env("MAILGATE_TLS_FINGERPRINT");
        s.user = RealServers::Env("MAILGATE_MAIL_USER");
        s.password = RealServers::Env("MAILGATE_MAIL_PASSWORD");
        return s;
    }
    bool Complete() const {
        return plainPort != 0 && stlsPort != 0 && pop3sPort != 0 && !caFile.empty() &&
               !host.empty() && !wrongHost.empty() && !fingerprint.empty() && !user.empty() &&
               !password.empty();
    }
};

#define NEED_TLS_SERVERS(servers)                                                                  \
    do {                                                                                           \
        if (!(servers).Complete()) {                                                               \
            if (RealServers::Required())                                                           \
                FAIL() << "real mail servers required but the MAILGATE_POP3_*/MAILGATE_TLS_* "     \
                          "variables are unset";                                                   \
            GTEST_SKIP() << "no POP3 server with TLS (run scripts/mailservers start and "          \
                            "eval \"$(scripts/mailservers env)\")";                                \
        }                                                                                          \
    } while (0)

void Configure(TNMPOP3& pop, const TlsServers& servers, int port, TSecurity security) {
    pop.SetHost(servers.host);
    pop.SetPort(port);
    pop.SetSecurity(security);
    pop.SetUserID(servers.user);
    pop.SetPassword(servers.password);
    pop.SetTimeOut(20000);
}

// Logs in, reads the count and quits; raises what Connect raises.
void LogInAndQuit(TNMPOP3& pop) {
    pop.Connect();
    EXPECT_TRUE(pop.MailCountValid());
    EXPECT_TRUE(pop.TlsActive());
    pop.Disconnect();
}

struct Refusal {
    TTlsFailure reason = TTlsFailure::None;
    std::string text = NothingRaised;
};

Refusal TlsRefusalOf(TNMPOP3& pop) {
    Refusal out;
    try {
        pop.Connect();
    } catch (const ETlsError& e) {
        out.reason = e.Reason();
        out.text = e.Message();
    }
    return out;
}

// Relays one connection from 127.0.0.1:Port() to 127.0.0.1:target and keeps
// what the client sent. Every wait is bounded.
class RecordingRelay {
public:
    explicit RecordingRelay(int target) : target_(target) {
        listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(listen_, 1) != 0) {
            ADD_FAILURE() << "relay cannot listen";
        }
        socklen_t len = sizeof addr;
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { Run(); });
    }
    ~RecordingRelay() {
        stop_ = true;
        thread_.join();
        ::close(listen_);
    }
    int Port() const { return port_; }
    bool Finished() const { return finished_; }
    std::string FromClient() {
        std::lock_guard<std::mutex> lock(mutex_);
        return fromClient_;
    }

private:
    void Run() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        auto late = [&] { return stop_ || std::chrono::steady_clock::now() > deadline; };
        int client = -1;
        while (client < 0 && !late()) {
            pollfd p{listen_, POLLIN, 0};
            if (::poll(&p, 1, 100) > 0) {
                client = ::accept(listen_, nullptr, nullptr);
            }
        }
        if (client < 0) {
            finished_ = true;
            return;
        }
        int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<std::uint16_t>(target_));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
            char buffer[16384];
            bool open = true;
            while (open && !late()) {
                pollfd p[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
                if (::poll(p, 2, 100) <= 0) {
                    continue;
                }
                for (int i = 0; i < 2 && open; ++i) {
                    if ((p[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                        continue;
                    }
                    long n = ::recv(p[i].fd, buffer, sizeof buffer, 0);
                    if (n <= 0) {
                        open = false;
                        break;
                    }
                    if (i == 0) {
                        std::lock_guard<std::mutex> lock(mutex_);
                        fromClient_.append(buffer, static_cast<std::size_t>(n));
                    }
                    const int to = i == 0 ? server : client;
                    if (::send(to, buffer, static_cast<std::size_t>(n), MSG_NOSIGNAL) != n) {
                        open = false;
                    }
                }
            }
        }
        ::close(server);
        ::close(client);
        finished_ = true;
    }

    int target_;
    int listen_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<bool> finished_{false};
    std::mutex mutex_;
    std::string fromClient_;
    std::thread thread_;
};

// What the client sent through a relay to `target` in one log-in.
std::string CapturedLogIn(const TlsServers& servers, int target, TSecurity security) {
    RecordingRelay relay(target);
    TNMPOP3 pop;
    Configure(pop, servers, relay.Port(), security);
    pop.SetCaFile(servers.caFile);
    pop.Connect();
    EXPECT_TRUE(pop.MailCountValid());
    pop.Disconnect();
    EXPECT_TRUE(WaitFor([&] { return relay.Finished(); }, 20000));
    return relay.FromClient();
}

} // namespace

// --- Verified sessions ----------------------------------------------------------

TEST(NMpop3TlsDovecot, StlsWithTheCaFileLogsIn) {
    TlsServers servers = TlsServers::FromEnvironment();
    NEED_TLS_SERVERS(servers);
    TNMPOP3 pop;
    Configure(pop, servers, servers.stlsPort, TSecurity::StartTls);
    pop.SetCaFile(servers.caFile);
    LogInAndQuit(pop);
}

TEST(NMpop3TlsDovecot, AutoOnLoopbackTakesTheOfferedStls) {
    TlsServers servers = TlsServers::FromEnvironment();
    NEED_TLS_SERVERS(servers);
    TNMPOP3 pop;
    Configure(pop, servers, servers.stlsPort, TSecurity::Auto);
    pop.SetCaFile(servers.caFile);
    LogInAndQuit(pop);
}

TEST(NMpop3TlsDovecot, Pop3sWithTheCaFileLogsIn) {
    TlsServers servers = TlsServers::FromEnvironment();
    NEED_TLS_SERVERS(servers);
    TNMPOP3 pop;
    Configure(pop, servers, servers.pop3sPort, TSecurity::Tls);
    pop.SetCaFile(servers.caFile);
    LogInAndQuit(pop);
}

TEST(NMpop3TlsDovecot, Pop3sWithThePinAndNoCaFileLogsIn) {
    TlsServers servers = TlsServers::FromEnvironment();
    NEED_TLS_SERVERS(servers);
    TNMPOP3 pop;
    Configure(pop, servers, servers.pop3sPort, TSecurity::Tls);
    // Any form the setting takes: lower case, no colons.
    std::string pin;
    for (char c : servers.fingerprint) {
        if (c != ':') {
            pin += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
    }
    pop.SetFingerprint(pin);
    LogInAndQuit(pop);
}

// --- Refusals: no log-in, the connection dropped ------------------------------

TEST(NMpop3TlsDovecot, UntrustedCertificateIsRefused) {
    TlsServers servers = TlsServers::FromEnvironment();
    NEED_TLS_SERVERS(servers);
    TNMPOP3 pop;
    Configure(pop, servers, servers.pop3sPort, TSecurity::Tls);
    Refusal r = TlsRefusalOf(pop);
    EXPECT_EQ(r.reason, TTlsFailure::NotTrusted);
    EXPECT_EQ(r.text.rfind("TLS: the certificate of " + servers.host + ":" +
                               std::to_string(servers.pop3sPort) + " is not trusted (",
                           0),
              0u)
        << r.text;
    EXPECT_FALSE(pop.Connected());
}

TEST(NMpop3TlsDovecot, UntrustedCertificateAfterStlsIsRefused) {
    TlsServers servers = TlsServers::FromEnvironment();
    NEED_TLS_SERVERS(servers);
    TNMPOP3 pop;
    Configure(pop, servers, servers.stlsPort, TSecurity::StartTls);
    EXPECT_EQ(TlsRefusalOf(pop).reason, TTlsFailure::NotTrusted);
    EXPECT_FALSE(pop.Connected());
}

TEST(NMpop3TlsDovecot, NameTheCertificateDoesNotCarryIsRefused) {
    TlsServers servers = TlsServers::FromEnvironment();
    NEED_TLS_SERVERS(servers);
    TNMPOP3 pop;
    Configure(pop, servers, servers.pop3sPort, TSecurity::Tls);
    pop.SetHost(servers.wrongHost);
    pop.SetCaFile(servers.caFile);
    Refusal r = TlsRefusalOf(pop);
    EXPECT_EQ(r.reason, TTlsFailure::HostNameMismatch);
    EXPECT_EQ(r.text, "TLS: the certificate of " + servers.wrongHost + ":" +
                          std::to_string(servers.pop3sPort) + " is not valid for the name " +
                          servers.wrongHost);
}

TEST(NMpop3TlsDovecot, WrongPinIsRefusedNamingTheOneSeen) {
    TlsServers servers = TlsServers::FromEnvironment();
    NEED_TLS_SERVERS(servers);
    TNMPOP3 pop;
    Configure(pop, servers, servers.pop3sPort, TSecurity::Tls);
    pop.SetCaFile(servers.caFile); // a pin counts even where the CA would do
    pop.SetFingerprint(std::string(64, 'a'));
    Refusal r = TlsRefusalOf(pop);
    EXPECT_EQ(r.reason, TTlsFailure::FingerprintMismatch);
    EXPECT_EQ(r.text, "TLS: the certificate of " + servers.host + ":" +
                          std::to_string(servers.pop3sPort) +
                          " does not match the pinned fingerprint; its fingerprint is " +
                          servers.fingerprint);
}

TEST(NMpop3TlsDovecot, StlsRequiredOnThePlainPortIsRefused) {
    TlsServers servers = TlsServers::FromEnvironment();
    NEED_TLS_SERVERS(servers);
    TNMPOP3 pop;
    Configure(pop, servers, servers.plainPort, TSecurity::StartTls);
    pop.SetCaFile(servers.caFile);
    EXPECT_EQ(FailureOf([&] { pop.Connect(); }),
              "The POP3 server " + servers.host +
                  " does not offer STLS; it is required to protect the password");
    EXPECT_FALSE(pop.Connected());
}

// --- The certificate shown ----------------------------------------------------

TEST(NMpop3TlsDovecot, ProbeShowsAnUntrustedCertificateWithItsFingerprint) {
    TlsServers servers = TlsServers::FromEnvironment();
    NEED_TLS_SERVERS(servers);
    TNMPOP3 pop;
    Configure(pop, servers, servers.pop3sPort, TSecurity::Tls);
    TTlsCertificateFacts facts = pop.ProbeCertificate();
    EXPECT_FALSE(facts.verified);
    EXPECT_FALSE(facts.verifyError.empty());
    EXPECT_EQ(facts.fingerprint, servers.fingerprint);
    EXPECT_FALSE(pop.Connected());

    // The fingerprint shown is the one a pin takes.
    pop.SetFingerprint(facts.fingerprint);
    LogInAndQuit(pop);
}

TEST(NMpop3TlsDovecot, ProbeAfterStlsVerifiesWithTheCaFile) {
    TlsServers servers = TlsServers::FromEnvironment();
    NEED_TLS_SERVERS(servers);
    RecordingRelay relay(servers.stlsPort);
    TNMPOP3 pop;
    Configure(pop, servers, relay.Port(), TSecurity::Auto);
    pop.SetCaFile(servers.caFile);
    TTlsCertificateFacts facts = pop.ProbeCertificate();
    EXPECT_TRUE(facts.verified) << facts.verifyError;
    EXPECT_EQ(facts.fingerprint, servers.fingerprint);
    EXPECT_FALSE(facts.protocol.empty());
    EXPECT_TRUE(WaitFor([&] { return relay.Finished(); }, 20000));
    const std::string sent = relay.FromClient();
    EXPECT_EQ(sent.rfind("CAPA\r\nSTLS\r\n", 0), 0u);
    EXPECT_EQ(sent.find("USER"), std::string::npos);
}

// --- The wire -----------------------------------------------------------------

TEST(NMpop3TlsDovecot, PasswordNeverCrossesTheWireInClearText) {
    TlsServers servers = TlsServers::FromEnvironment();
    NEED_TLS_SERVERS(servers);
    // The relay records what it carries: in plain text the password shows.
    std::string plain = CapturedLogIn(servers, servers.plainPort, TSecurity::None);
    EXPECT_NE(plain.find("PASS " + servers.password), std::string::npos);

    std::string stls = CapturedLogIn(servers, servers.stlsPort, TSecurity::StartTls);
    EXPECT_EQ(stls.rfind("CAPA\r\nSTLS\r\n", 0), 0u);
    EXPECT_EQ(stls.find(servers.password), std::string::npos);
    EXPECT_EQ(stls.find("USER"), std::string::npos);

    std::string tls = CapturedLogIn(servers, servers.pop3sPort, TSecurity::Tls);
    EXPECT_EQ(tls.find(servers.password), std::string::npos);
    EXPECT_EQ(tls.find("CAPA"), std::string::npos);
}
