// TimeOut bounds every wait on the server, as a limit on silence: a reply
// that keeps coming is not cut, one that stops is. Limits here are generous
// and the tests look at outcomes; durations only as an upper bound.
#include <QTimer>
#include <chrono>
#include <functional>
#include <gtest/gtest.h>

#include "NetTestHelpers.h"
#include "PacedPeer.h"
#include "net/Psock.h"
#include "support/ScriptedPeer.h"
#include "support/WaitFor.h"

namespace {

using Clock = std::chrono::steady_clock;

// Sends chunks of 60,000 bytes until a send raises.
void SendUntilRaised(TPowersock& sock) {
    const std::string chunk(60000, 'x');
    for (int i = 0; i < 100000; ++i) {
        sock.Write(chunk);
    }
}

// f ends by raising EAbortError `text`, and within ten seconds.
template <class F> void ExpectAbortedSoon(const std::string& text, F&& f) {
    auto start = Clock::now();
    EXPECT_EQ(FailureOf<EAbortError>(f), text);
    EXPECT_LT(SecondsSince(start), 10.0);
}

// The line a peer trickles, 20 bytes a tenth of a second apart (two seconds
// in all, twice the limit set, but never silent for more than a tenth of it),
// as `read` takes it.
std::string TrickledLine(const std::function<std::string(TPowersock&)>& read) {
    PacedPeer peer(PacedPeer::Trickle(20, 100));
    TPowersock sock;
    ConnectTo(sock, peer);
    sock.SetTimeOut(1000);
    std::string line = read(sock);
    EXPECT_FALSE(sock.TimedOut());
    EXPECT_TRUE(sock.Connected());
    return line;
}

} // namespace

TEST(TimeOut, ServerSilentAfterGreetingEndsTheReadAndDropsTheConnection) {
    ScriptedPeer peer;
    peer.Add({"S: +OK ready", "HANG"});
    TPowersock sock;
    int disconnects = 0;
    sock.OnDisconnect = [&](TObject*) { ++disconnects; };
    ConnectTo(sock, peer);
    sock.SetTimeOut(300);
    EXPECT_EQ(sock.ReadLn(), "+OK ready\r\n");
    ExpectAbortedSoon("Socket readln aborted", [&] { sock.Transaction("STAT"); });
    EXPECT_TRUE(sock.TimedOut());
    EXPECT_FALSE(sock.Canceled());
    EXPECT_FALSE(sock.Connected());
    EXPECT_EQ(disconnects, 1);
    // The server sees the connection end.
    ASSERT_TRUE(WaitFor([&] { return peer.Finished(); }));
    EXPECT_EQ(peer.Received(0), "STAT\r\n");
}

TEST(TimeOut, ServerSilentInTheMiddleOfAReplyEndsTheRead) {
    ScriptedPeer peer;
    peer.Add({"C: LIST", "S: +OK 2 messages", "S: 1 120", "S~ 2 3", "HANG"});
    TPowersock sock;
    ConnectTo(sock, peer);
    sock.SetTimeOut(300);
    EXPECT_EQ(sock.Transaction("LIST"), "+OK 2 messages\r\n");
    EXPECT_EQ(sock.ReadLn(), "1 120\r\n");
    ExpectAbortedSoon("Socket readln aborted", [&] { sock.ReadLn(); });
    EXPECT_TRUE(sock.TimedOut());
    EXPECT_FALSE(sock.Connected());
}

TEST(TimeOut, ReplyThatKeepsComingIsNotCut) {
    const std::string expected = "abcdefghijklmnopqrst\r\n";
    EXPECT_EQ(TrickledLine([](TPowersock& sock) { return sock.ReadLn(); }), expected);
    EXPECT_EQ(TrickledLine([](TPowersock& sock) {
                  // Pieces longer than the limit lasts.
                  std::string all;
                  std::string piece;
                  while (!sock.ReadLnPiece(piece, 16) && !piece.empty()) {
                      all += piece;
                  }
                  return all + piece;
              }),
              expected);
}

TEST(TimeOut, BytesSlowerThanTheLimitEndTheRead) {
    PacedPeer peer(PacedPeer::Trickle(5, 3000));
    TPowersock sock;
    ConnectTo(sock, peer);
    sock.SetTimeOut(300);
    ExpectAbortedSoon("Socket readln aborted", [&] { sock.ReadLn(); });
    EXPECT_TRUE(sock.TimedOut());
    EXPECT_FALSE(sock.Connected());
}

TEST(TimeOut, SendOnAFullBufferEndsAndDropsTheConnection) {
    PacedPeer peer({}); // never reads
    TPowersock sock;
    ConnectTo(sock, peer);
    sock.SetTimeOut(300);
    ExpectAbortedSoon("Socket send aborted", [&] { SendUntilRaised(sock); });
    EXPECT_TRUE(sock.TimedOut());
    EXPECT_FALSE(sock.Canceled());
    EXPECT_FALSE(sock.Connected());
}

TEST(TimeOut, ZeroMeansNoLimit) {
    PacedPeer peer({{1500, "late\r\n"}});
    TPowersock sock;
    ConnectTo(sock, peer);
    sock.SetTimeOut(0);
    EXPECT_EQ(sock.ReadLn(), "late\r\n");
    EXPECT_FALSE(sock.TimedOut());
}

// --- A cancel from a handler that runs inside a wait ------------------------

TEST(CancelInsideAWait, EndsAReadWithoutLimit) {
    ScriptedPeer peer;
    peer.Add({"HANG"});
    TPowersock sock;
    ConnectTo(sock, peer);
    QTimer::singleShot(100, [&] { sock.Abort(); });
    ExpectAbortedSoon("Socket readln aborted", [&] { sock.ReadLn(); });
    EXPECT_FALSE(sock.TimedOut());
    EXPECT_FALSE(sock.Canceled());
    // A cancel leaves the connection to the caller.
    EXPECT_TRUE(sock.Connected());
}

TEST(CancelInsideAWait, EndsASendOnAFullBuffer) {
    // Without a limit, only the cancel can end this send; the peer resets the
    // connection after ten seconds, which would fail the test instead.
    PacedPeer peer({});
    TPowersock sock;
    ConnectTo(sock, peer);
    QTimer::singleShot(200, [&] { sock.Cancel(); });
    ExpectAbortedSoon("Socket send aborted", [&] { SendUntilRaised(sock); });
    EXPECT_FALSE(sock.TimedOut());
    EXPECT_FALSE(sock.Canceled());
}

TEST(CancelInsideAWait, TimeOutEndsTheWaitEvenWhenAbortDoesNotCancel) {
    // A component whose Abort does not cancel: the time-out alone still ends
    // the wait.
    struct StubbornSock : TPowersock {
        void Abort() override {}
    };
    PacedPeer peer({}); // silent; resets after ten seconds
    StubbornSock sock;
    ConnectTo(sock, peer);
    sock.SetTimeOut(300);
    ExpectAbortedSoon("Socket readln aborted", [&] { sock.ReadLn(); });
    EXPECT_TRUE(sock.TimedOut());
}
