// A handler that fails where the socket cannot hand its failure to a caller
// (a socket notification, a status report, the clean-up after a time-out) is
// reported through the application's one entry point, exactly once, and the
// socket goes on as if the handler had returned.
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "NetTestHelpers.h"
#include "net/Psock.h"
#include "platform/GuardedApplication.h"
#include "support/ReportedFailures.h"
#include "support/ScriptedPeer.h"
#include "support/WaitFor.h"

namespace {

struct CallbackFailure : ::testing::Test {
    ScriptedPeer peer;
    TPowersock sock;
    ReportedFailures reports;

    void SetUp() override { ASSERT_NE(TGuardedApplication::Instance(), nullptr); }

    void Connect() { ConnectTo(sock, peer); }

    // A handler that counts its calls in `calls` and fails each time.
    template <class E = Exception> TNotifyEvent FailingHandler(const std::string& text) {
        return [this, text](TObject*) {
            ++calls;
            throw E(text);
        };
    }
    int calls = 0;
};

TEST_F(CallbackFailure, OnConnectFromTheConnectNotification) {
    peer.Add({"C: NOOP", "S: +OK"});
    sock.OnConnect = FailingHandler<ESockError>("connect handler failed");
    ASSERT_NO_FATAL_FAILURE(Connect());
    EXPECT_EQ(sock.Transaction("NOOP"), "+OK\r\n");
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(reports.texts, (std::vector<std::string>{"ESockError: connect handler failed"}));
}

TEST_F(CallbackFailure, OnStatusInTheMiddleOfAnOperation) {
    peer.Add({"C: NOOP", "S: +OK"});
    sock.SetReportLevel(4);
    std::vector<std::string> expected;
    sock.OnStatus = [&](TObject*, const std::string& status) {
        expected.push_back("Exception: status handler failed on " + status);
        throw Exception("status handler failed on " + status);
    };
    ASSERT_NO_FATAL_FAILURE(Connect());
    EXPECT_EQ(sock.Transaction("NOOP"), "+OK\r\n");
    sock.Disconnect();
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(reports.texts, expected);
}

TEST_F(CallbackFailure, OnReadReadyFromAnIdleNotification) {
    peer.Add({"S: +OK unasked"});
    sock.OnReadReady = FailingHandler("read handler failed");
    ASSERT_NO_FATAL_FAILURE(Connect());
    ASSERT_TRUE(WaitFor([&] { return calls > 0; }));
    EXPECT_EQ(reports.texts,
              std::vector<std::string>(std::size_t(calls), "Exception: read handler failed"));
    // The bytes the notification brought in are still there to be read.
    EXPECT_EQ(sock.ReadLn(), "+OK unasked\r\n");
}

TEST_F(CallbackFailure, OnDisconnectFromThePeersClose) {
    peer.Add({"CLOSE"});
    sock.OnDisconnect = FailingHandler("disconnect handler failed");
    ASSERT_NO_FATAL_FAILURE(Connect());
    ASSERT_TRUE(WaitFor([&] { return !sock.Connected(); }));
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(reports.texts, (std::vector<std::string>{"Exception: disconnect handler failed"}));

    // The socket is usable again.
    peer.Add({"C: NOOP", "S: +OK"});
    sock.OnDisconnect = nullptr;
    ASSERT_NO_FATAL_FAILURE(Connect());
    EXPECT_EQ(sock.Transaction("NOOP"), "+OK\r\n");
}

TEST_F(CallbackFailure, OnDisconnectAfterATimeOutWhileTheCallerHearsOfTheTimeOut) {
    peer.Add({"HANG"});
    sock.SetTimeOut(200);
    sock.OnDisconnect = FailingHandler("disconnect handler failed");
    ASSERT_NO_FATAL_FAILURE(Connect());
    try {
        sock.ReadLn();
        ADD_FAILURE() << "ReadLn returned on a silent server";
    } catch (const EAbortError& e) {
        EXPECT_EQ(e.Reason(), TSockErrorReason::TimedOut);
        EXPECT_EQ(e.Message(), "Socket readln aborted");
    }
    EXPECT_FALSE(sock.Connected());
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(reports.texts, (std::vector<std::string>{"Exception: disconnect handler failed"}));
}

} // namespace
