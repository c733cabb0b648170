// The socket component against scripted peers on loopback.
#include <QCoreApplication>
#include <QTimer>
#include <arpa/inet.h>
#include <cerrno>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "NetTestHelpers.h"
#include "net/Psock.h"
#include "support/ScriptedPeer.h"
#include "support/WaitFor.h"

namespace {

double CpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Where `sock` connects to, and its time-out.
void Aim(TPowersock& sock, const char* host, int port, int timeOutMs) {
    sock.SetHost(host);
    sock.SetPort(port);
    sock.SetTimeOut(timeOutMs);
}

} // namespace

TEST(ExtractField, CutsAtEverySeparator) {
    EXPECT_EQ(ExtractField("a,,b", ',', 1), "a");
    EXPECT_EQ(ExtractField("a,,b", ',', 2), "");
    EXPECT_EQ(ExtractField("a,,b", ',', 3), "b");
    EXPECT_EQ(ExtractField("a,,b", ',', 4), "");
    EXPECT_EQ(ExtractField("+OK 2 320\r\n", ' ', 2), "2");
    EXPECT_EQ(ExtractField(" lead", ' ', 1), "");
    EXPECT_EQ(ExtractField("", ' ', 1), "");
    EXPECT_EQ(ExtractField("abc", ' ', 0), "");
}

TEST(SocketErrorText, TableUnknownAndNone) {
    EXPECT_EQ(SocketErrorText(10061), "10061:Connection refused");
    EXPECT_EQ(SocketErrorText(11004), "11004:Valid name, no data record of requested type");
    EXPECT_EQ(SocketErrorText(12345), "Unknown Error No. 12345");
    EXPECT_EQ(SocketErrorText(0), "");
    EXPECT_EQ(WinsockErrorFromErrno(ECONNREFUSED), 10061);
    EXPECT_EQ(WinsockErrorFromErrno(ETIMEDOUT), 10060);
    EXPECT_EQ(WinsockErrorFromErrno(EINPROGRESS), 10035);
    EXPECT_EQ(WinsockErrorFromErrno(EWOULDBLOCK), 10035);
}

TEST(SocketErrorText, CheckSocketErrorRaisesAllButTolerated) {
    TPowersock sock;
    std::string text;
    errno = EWOULDBLOCK;
    EXPECT_NO_THROW(sock.CheckSocketError(10035, text));
    EXPECT_EQ(text, "");
    errno = ECONNREFUSED;
    int reported = 0;
    sock.OnSocketError = [&](TObject*, std::uint16_t no, const std::string&) { reported = no; };
    EXPECT_EQ(FailureOf<ESockError>([&] { sock.CheckSocketError(10035, text); }),
              "10061:Connection refused");
    EXPECT_EQ(reported, 10061);
    EXPECT_EQ(sock.LastErrorNo(), 10061);
}

// --- ReadLn -----------------------------------------------------------------

TEST(ReadLn, EveryLineComesWholeWithItsEnding) {
    PeerScenario pieces{"S: first line", "S: one\r\ntwo"};
    pieces.byteAtATime = true; // a line in pieces, two lines in one piece
    PeerScenario lf{"S: bare", "S: "};
    lf.lfOnly = true; // an LF-only line keeps its LF
    const struct {
        const char* name;
        PeerScenario scenario;
        std::vector<std::string> lines;
    } cases[] = {
        {"byte at a time", pieces, {"first line\r\n", "one\r\n", "two\r\n"}},
        {"two lines arriving together", {"S: +OK a\r\n+OK b"}, {"+OK a\r\n", "+OK b\r\n"}},
        {"LF only", lf, {"bare\n", "\n"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedPeer peer;
        peer.Add(c.scenario);
        TPowersock sock;
        ConnectTo(sock, peer);
        for (const std::string& line : c.lines) {
            EXPECT_EQ(sock.ReadLn(), line);
        }
    }
}

TEST(ReadLn, PeerClosingBeforeLineEndGivesEmpty) {
    ScriptedPeer peer;
    peer.Add({"S~ partial", "CLOSE"});
    TPowersock sock;
    DisconnectCount disconnects(sock);
    ConnectTo(sock, peer);
    EXPECT_EQ(sock.ReadLn(), "");
    EXPECT_EQ(sock.ReadLn(), "");
    ASSERT_TRUE(WaitFor([&] { return !sock.Connected(); }));
    EXPECT_EQ(disconnects.count, 1);
}

TEST(ReadLn, ReusedStringHoldsOnlyTheNewestLineAndEndsEmpty) {
    ScriptedPeer peer;
    peer.Add({"S: a rather long first line of the reply", "S: x", "S~ cut", "CLOSE"});
    TPowersock sock;
    ConnectTo(sock, peer);
    std::string line = "left over from the caller";
    sock.ReadLn(line);
    EXPECT_EQ(line, "a rather long first line of the reply\r\n");
    sock.ReadLn(line);
    EXPECT_EQ(line, "x\r\n");
    sock.ReadLn(line);
    EXPECT_EQ(line, "");
}

TEST(ReadLn, LineLongerThanLimitIsRefused) {
    ScriptedPeer peer;
    peer.Add({"S: " + std::string(70000, 'x')});
    TPowersock sock;
    ConnectTo(sock, peer);
    EXPECT_EQ(FailureOf<ESockError>([&] { sock.ReadLn(); }), "Line too long");
}

TEST(ReadLn, LineOfExactlyTheLimitIsDelivered) {
    ScriptedPeer peer;
    std::string body(TPowersock::MaxLineLength - 2, 'y');
    peer.Add({"S: " + body, "S: next"});
    TPowersock sock;
    ConnectTo(sock, peer);
    EXPECT_EQ(sock.ReadLn(), body + "\r\n");
    EXPECT_EQ(sock.ReadLn(), "next\r\n");
}

TEST(ReadLn, NotConnectedGivesEmpty) {
    TPowersock sock;
    EXPECT_EQ(sock.ReadLn(), "");
}

TEST(ReadLn, TimeOutAbortsTheRead) {
    ScriptedPeer peer;
    peer.Add({"HANG"});
    TPowersock sock;
    ConnectTo(sock, peer);
    sock.SetTimeOut(300);
    EXPECT_EQ(FailureOf<EAbortError>([&] { sock.ReadLn(); }), "Socket readln aborted");
    EXPECT_TRUE(sock.TimedOut());
    EXPECT_FALSE(sock.Canceled());
}

TEST(ReadLn, TimerAndPostedEventRunWhileWaiting) {
    ScriptedPeer peer;
    peer.Add({"C: go", "S: done"});
    TPowersock sock;
    ConnectTo(sock, peer);
    bool ticked = false;
    bool posted = false;
    QTimer::singleShot(50, [&] {
        ticked = true;
        QMetaObject::invokeMethod(
            qApp,
            [&] {
                posted = true;
                sock.Writeln("go");
            },
            Qt::QueuedConnection);
    });
    EXPECT_EQ(sock.ReadLn(), "done\r\n");
    EXPECT_TRUE(ticked);
    EXPECT_TRUE(posted);
}

TEST(ReadLn, IdleWaitSleeps) {
    ScriptedPeer peer;
    peer.Add({"HANG"});
    TPowersock sock;
    ConnectTo(sock, peer);
    sock.SetTimeOut(600);
    double before = CpuSeconds();
    EXPECT_THROW(sock.ReadLn(), EAbortError);
    EXPECT_LT(CpuSeconds() - before, 0.2);
}

// --- Transaction and sending --------------------------------------------------

TEST(Transaction, SendsCommandAndReadsReplyNumber) {
    ScriptedPeer peer;
    peer.Add({"C: HELO x", "S: 250 OK", "C: STAT", "S: +OK 2 320"});
    TPowersock sock;
    ConnectTo(sock, peer);
    EXPECT_EQ(sock.Transaction("HELO x"), "250 OK\r\n");
    EXPECT_EQ(sock.ReplyNumber(), 250);
    EXPECT_EQ(sock.Transaction("STAT"), "+OK 2 320\r\n");
    EXPECT_EQ(sock.ReplyNumber(), 0);
    EXPECT_EQ(sock.LastReply(), "+OK 2 320\r\n");
    sock.Writeln("");
    sock.Disconnect();
    ASSERT_TRUE(WaitFor([&] { return peer.Finished(); }));
    EXPECT_EQ(peer.Received(0), "HELO x\r\nSTAT\r\n\r\n");
    EXPECT_EQ(peer.Errors(), "");
}

TEST(Transaction, CancelWhileIdleAbortsTheNextSend) {
    ScriptedPeer peer;
    peer.Add({});
    TPowersock sock;
    ConnectTo(sock, peer);
    sock.Cancel();
    EXPECT_EQ(FailureOf<EAbortError>([&] { sock.Transaction("NOOP"); }), "Socket send aborted");
    EXPECT_FALSE(sock.Canceled());
    sock.Disconnect();
    ASSERT_TRUE(WaitFor([&] { return peer.Finished(); }));
    EXPECT_EQ(peer.Received(0), "");
}

TEST(Transaction, ClearInputDropsWaitingLines) {
    ScriptedPeer peer;
    peer.Add({"S: stale", "C: NOOP", "S: +OK fresh"});
    TPowersock sock;
    ConnectTo(sock, peer);
    ASSERT_TRUE(WaitFor([&] { return sock.DataAvailable(); }));
    sock.ClearInput();
    EXPECT_FALSE(sock.DataAvailable());
    EXPECT_EQ(sock.Transaction("NOOP"), "+OK fresh\r\n");
}

// --- Connect ----------------------------------------------------------------

TEST(Connect, DottedHostNeedsNoLookup) {
    ScriptedPeer peer;
    peer.Add({});
    TPowersock sock;
    int resolved = 0;
    int connects = 0;
    sock.OnHostResolved = [&](TObject*) { ++resolved; };
    sock.OnConnect = [&](TObject*) { ++connects; };
    ConnectTo(sock, peer);
    EXPECT_EQ(resolved, 0);
    EXPECT_EQ(connects, 1);
    EXPECT_EQ(sock.RemoteAddress(), htonl(INADDR_LOOPBACK));
}

TEST(Connect, HostNameIsLookedUp) {
    ScriptedPeer peer;
    peer.Add({});
    TPowersock sock;
    int resolved = 0;
    sock.OnHostResolved = [&](TObject*) { ++resolved; };
    Aim(sock, "localhost", peer.Port(), 5000);
    sock.Connect();
    EXPECT_TRUE(sock.Connected());
    EXPECT_EQ(resolved, 1);
}

TEST(Connect, NoAddressGivesNullRemoteAddress) {
    TPowersock sock;
    sock.SetPort(ClosedPort());
    sock.SetHost("0.0.0.0");
    EXPECT_EQ(FailureOf<ESockError>([&] { sock.Connect(); }), "Null Remote Address");
    sock.SetHost("no-such-host.invalid");
    sock.SetTimeOut(20000);
    EXPECT_EQ(FailureOf<ESockError>([&] { sock.Connect(); }), "Null Remote Address");
    EXPECT_FALSE(sock.Connected());
}

TEST(Connect, InvalidHostHandlerCorrectsHostOnce) {
    ScriptedPeer peer;
    peer.Add({});
    TPowersock sock;
    int calls = 0;
    sock.OnInvalidHost = [&](bool& handled) {
        ++calls;
        sock.SetHost("127.0.0.1");
        handled = true;
    };
    sock.SetHost("0.0.0.0");
    sock.SetPort(peer.Port());
    sock.Connect();
    EXPECT_TRUE(sock.Connected());
    EXPECT_EQ(calls, 1);

    TPowersock other;
    int otherCalls = 0;
    other.OnInvalidHost = [&](bool& handled) {
        ++otherCalls;
        handled = true; // but leaves the bad host
    };
    other.SetHost("0.0.0.0");
    EXPECT_EQ(FailureOf<ESockError>([&] { other.Connect(); }), "Null Remote Address");
    EXPECT_EQ(otherCalls, 1);
}

TEST(Connect, RefusedCallsConnectionFailedFirst) {
    TPowersock sock;
    std::vector<std::string> order;
    sock.OnConnectionFailed = [&](TObject*) { order.push_back("failed event"); };
    sock.SetHost("127.0.0.1");
    sock.SetPort(ClosedPort());
    try {
        sock.Connect();
    } catch (const ESockError& e) {
        order.push_back(e.Message());
    }
    EXPECT_EQ(order, (std::vector<std::string>{"failed event", "Connection Failed"}));
    EXPECT_FALSE(sock.Connected());
    EXPECT_GE(sock.SocketHandle(), 0);
}

TEST(Connect, NeverCompletingConnectTimesOut) {
    // A listener whose backlog is full drops further connection requests.
    LoopbackListener listener(0);
    const sockaddr_in a = LoopbackAddress(listener.Port());
    std::vector<int> fillers;
    for (int i = 0; i < 3; ++i) {
        int f = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ::connect(f, reinterpret_cast<const sockaddr*>(&a), sizeof a);
        fillers.push_back(f);
    }
    TPowersock sock;
    int failedEvents = 0;
    sock.OnConnectionFailed = [&](TObject*) { ++failedEvents; };
    Aim(sock, "127.0.0.1", listener.Port(), 3000);
    EXPECT_EQ(FailureOf<ESockError>([&] { sock.Connect(); }), "Connection Timed out");
    EXPECT_EQ(failedEvents, 1);
    EXPECT_FALSE(sock.Connected());
    for (int f : fillers) {
        ::close(f);
    }
}

TEST(Connect, SecondConnectIsRefusedAndKeepsTheConnection) {
    ScriptedPeer peer;
    peer.Add({"C: PING", "S: PONG"});
    TPowersock sock;
    ConnectTo(sock, peer);
    EXPECT_EQ(FailureOf<ESockError>([&] { sock.Connect(); }), "Already connected");
    EXPECT_TRUE(sock.Connected());
    EXPECT_EQ(sock.Transaction("PING"), "PONG\r\n");
}

TEST(Connect, PeerClosingWhileIdleDisconnects) {
    ScriptedPeer peer;
    peer.Add({"CLOSE"});
    TPowersock sock;
    DisconnectCount disconnects(sock);
    ConnectTo(sock, peer);
    ASSERT_TRUE(WaitFor([&] { return !sock.Connected(); }));
    EXPECT_EQ(disconnects.count, 1);
    EXPECT_GE(sock.SocketHandle(), 0);
    // The fresh socket connects again.
    ScriptedPeer second;
    second.Add({"S: hello"});
    ConnectTo(sock, second);
    EXPECT_EQ(sock.ReadLn(), "hello\r\n");
}

TEST(Connect, DisconnectWithoutConnectionStillReports) {
    TPowersock sock;
    DisconnectCount disconnects(sock);
    sock.Disconnect();
    EXPECT_EQ(disconnects.count, 1);
    EXPECT_GE(sock.SocketHandle(), 0);
}

TEST(Connect, NotConnectedOffersOneRetry) {
    TPowersock sock;
    EXPECT_EQ(FailureOf<Exception>([&] { sock.CheckConnection(); }), "Not Connected");
    ScriptedPeer peer;
    peer.Add({});
    int calls = 0;
    sock.OnConnectionRequired = [&](bool& handled) {
        ++calls;
        sock.SetHost("127.0.0.1");
        sock.SetPort(peer.Port());
        sock.Connect();
        handled = true;
    };
    EXPECT_NO_THROW(sock.CheckConnection());
    EXPECT_EQ(calls, 1);
}

// --- Status reports and instances ---------------------------------------------

TEST(Status, ReportLevelFiltersAndHandlerFailuresAreSwallowed) {
    ScriptedPeer peer;
    peer.Add({"C: NOOP", "S: +OK"});
    TPowersock sock;
    sock.SetReportLevel(4);
    std::vector<std::string> seen;
    sock.OnStatus = [&](TObject* sender, const std::string& status) {
        EXPECT_EQ(sender, &sock);
        seen.push_back(status);
        throw Exception("handler failure");
    };
    ConnectTo(sock, peer);
    EXPECT_EQ(sock.Transaction("NOOP"), "+OK\r\n");
    sock.Disconnect();
    EXPECT_EQ(seen,
              (std::vector<std::string>{"Sending Buffer", "+OK\r\n", "Request Close Socket"}));
    EXPECT_EQ(sock.LastStatus(), "Request Close Socket");
}

TEST(Status, OnlyTheFirstInstanceDescribesTheSocketLayer) {
    auto first = std::make_unique<TPowersock>();
    int users = TPowersock::SocketUsers();
    {
        TPowersock second;
        EXPECT_EQ(TPowersock::SocketUsers(), users + 1);
        if (users == 1) {
            EXPECT_GT(first->WinsockInfo().Count(), 0);
        }
        EXPECT_EQ(second.WinsockInfo().Count(), 0);
    }
    EXPECT_EQ(TPowersock::SocketUsers(), users);
}
