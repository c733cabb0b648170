// A handler that fails where the socket cannot hand its failure to a caller
// (a socket notification, a status report, the clean-up after a time-out) is
// reported through the application's one entry point, exactly once, and the
// socket goes on as if the handler had returned.
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "net/Psock.h"
#include "platform/GuardedApplication.h"
#include "support/ScriptedPeer.h"
#include "support/WaitFor.h"

namespace {

// What reaches the application's OnException while it lives, as
// "<class>: <message>".
class ReportedFailures {
public:
    ReportedFailures() : app_(TGuardedApplication::Instance()) {
        saved_ = app_->OnException;
        app_->OnException = [this](const std::exception& e) {
            texts.push_back(ExceptionClassName(e) + ": " + e.what());
        };
    }
    ~ReportedFailures() { app_->OnException = saved_; }
    ReportedFailures(const ReportedFailures&) = delete;
    ReportedFailures& operator=(const ReportedFailures&) = delete;

    std::vector<std::string> texts;

private:
    TGuardedApplication* app_;
    std::function<void(const std::exception&)> saved_;
};

struct CallbackFailure : ::testing::Test {
    ScriptedPeer peer;
    TPowersock sock;
    ReportedFailures reports;

    void SetUp() override { ASSERT_NE(TGuardedApplication::Instance(), nullptr); }

    void Connect() {
        sock.SetHost("127.0.0.1");
        sock.SetPort(peer.Port());
        sock.Connect();
        ASSERT_TRUE(sock.Connected());
    }
};

TEST_F(CallbackFailure, OnConnectFromTheConnectNotification) {
    peer.Add({"C: NOOP", "S: +OK"});
    int calls = 0;
    sock.OnConnect = [&](TObject*) {
        ++calls;
        throw ESockError("connect handler failed");
    };
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
    int calls = 0;
    sock.OnReadReady = [&](TObject*) {
        ++calls;
        throw Exception("read handler failed");
    };
    ASSERT_NO_FATAL_FAILURE(Connect());
    ASSERT_TRUE(WaitFor([&] { return calls > 0; }));
    EXPECT_EQ(reports.texts,
              std::vector<std::string>(std::size_t(calls), "Exception: read handler failed"));
    // The bytes the notification brought in are still there to be read.
    EXPECT_EQ(sock.ReadLn(), "+OK unasked\r\n");
}

TEST_F(CallbackFailure, OnDisconnectFromThePeersClose) {
    peer.Add({"CLOSE"});
    int calls = 0;
    sock.OnDisconnect = [&](TObject*) {
        ++calls;
        throw Exception("disconnect handler failed");
    };
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
    int calls = 0;
    sock.OnDisconnect = [&](TObject*) {
        ++calls;
        throw Exception("disconnect handler failed");
    };
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
