// Faults after which the socket must still report and read correctly.
#include <cerrno>
#include <gtest/gtest.h>

#include "NetTestHelpers.h"
#include "net/Psock.h"
#include "support/ScriptedPeer.h"
#include "support/WaitFor.h"

TEST(SendFault, EndedConnectionIsSocketNotConnected) {
    EXPECT_EQ(WinsockErrorFromErrno(EPIPE), 10057);
    EXPECT_EQ(WinsockErrorFromErrno(ENOTCONN), 10057);
    EXPECT_EQ(WinsockErrorFromErrno(ECONNRESET), 10054);

    TPowersock never;
    EXPECT_EQ(FailureOf<ESockError>([&] { never.Writeln("NOOP"); }),
              "10057:Socket is not connected");
    EXPECT_EQ(never.LastErrorNo(), 10057);

    ScriptedPeer peer;
    peer.Add({"CLOSE"});
    TPowersock sock;
    ConnectTo(sock, peer);
    ASSERT_TRUE(WaitFor([&] { return !sock.Connected(); }));
    EXPECT_EQ(FailureOf<ESockError>([&] { sock.Writeln("NOOP"); }),
              "10057:Socket is not connected");
}

TEST(LongLine, RefusedLineIsDroppedThroughItsLf) {
    ScriptedPeer peer;
    peer.Add({"S: " + std::string(70000, 'x'), "S: next"});
    TPowersock sock;
    ConnectTo(sock, peer);
    EXPECT_EQ(FailureOf<ESockError>([&] { sock.ReadLn(); }), "Line too long");
    EXPECT_EQ(sock.ReadLn(), "next\r\n");
}

TEST(LongLine, LfArrivingInALaterReadIsDroppedToo) {
    // The rest of the long line comes only after the client has spoken, so
    // its LF is surely not among the bytes read when the line was refused.
    ScriptedPeer peer;
    peer.Add({"S~ " + std::string(70000, 'x'), "C: go", "S: more of the long line", "S: next",
              "S: " + std::string(70000, 'y'), "S: last"});
    TPowersock sock;
    ConnectTo(sock, peer);
    EXPECT_EQ(FailureOf<ESockError>([&] { sock.ReadLn(); }), "Line too long");
    sock.Writeln("go");
    EXPECT_EQ(sock.ReadLn(), "next\r\n");
    EXPECT_EQ(FailureOf<ESockError>([&] { sock.ReadLn(); }), "Line too long");
    std::string piece;
    EXPECT_TRUE(sock.ReadLnPiece(piece, 4096));
    EXPECT_EQ(piece, "last\r\n");
}

// --- Reasons: what callers decide on instead of the text ----------------------

template <class E, class F> TSockErrorReason ReasonOf(F&& f) {
    try {
        f();
    } catch (const E& e) {
        return e.Reason();
    }
    return TSockErrorReason::Unspecified;
}

TEST(ErrorReason, EveryFailureSaysWhy) {
    TPowersock sock;
    EXPECT_EQ(ReasonOf<ESockError>([&] { sock.Writeln("NOOP"); }), TSockErrorReason::SocketError);
    sock.SetHost("127.0.0.1");
    sock.SetPort(ClosedPort());
    EXPECT_EQ(ReasonOf<ESockError>([&] { sock.Connect(); }), TSockErrorReason::ConnectFailed);
    sock.SetHost("0.0.0.0");
    EXPECT_EQ(ReasonOf<ESockError>([&] { sock.Connect(); }), TSockErrorReason::NullRemoteAddress);

    ScriptedPeer peer;
    peer.Add({"S: " + std::string(70000, 'x'), "HANG"});
    ConnectTo(sock, peer);
    EXPECT_EQ(ReasonOf<ESockError>([&] { sock.Connect(); }), TSockErrorReason::AlreadyConnected);
    EXPECT_EQ(ReasonOf<ESockError>([&] { sock.ReadLn(); }), TSockErrorReason::LineTooLong);
    sock.Cancel();
    EXPECT_EQ(ReasonOf<EAbortError>([&] { sock.ReadLn(); }), TSockErrorReason::Canceled);
    sock.SetTimeOut(300);
    EXPECT_EQ(ReasonOf<EAbortError>([&] { sock.ReadLn(); }), TSockErrorReason::TimedOut);
}

TEST(ErrorReason, CanceledLookupEndsConnect) {
    // The cancel comes from a handler that runs once the lookup's time-out
    // has started; Connect passes the lookup's own error on.
    ScriptedPeer peer;
    peer.Add({});
    TPowersock sock;
    sock.SetReportLevel(8);
    sock.OnStatus = [&](TObject*, const std::string& status) {
        if (status == "Timer On") {
            sock.Cancel();
        }
    };
    sock.SetHost("localhost");
    sock.SetPort(peer.Port());
    sock.SetTimeOut(5000);
    try {
        sock.Connect();
        FAIL() << "connected";
    } catch (const ESockError& e) {
        EXPECT_EQ(e.Message(), "Host Lookup Canceled");
        EXPECT_EQ(e.Reason(), TSockErrorReason::LookupCanceled);
    }
    EXPECT_FALSE(sock.Connected());
}
