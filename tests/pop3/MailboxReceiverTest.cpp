// The receive step against scripted servers, as transcripts: RETRs sent
// ahead only to a server that lists PIPELINING, DELEs only after the batch
// is recorded, a lost connection with RETRs on the way, messages the ledger
// knows, refused messages and repeats of a mailgate Message-ID.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "ScriptedPop3.h"
#include "pop3/MailboxReceiver.h"
#include "pop3/UidlLedger.h"
#include "support/Failure.h"
#include "support/WaitFor.h"

namespace {

namespace fs = std::filesystem;
using Script = std::vector<std::string>;

void Append(Script& script, const Script& more) {
    script.insert(script.end(), more.begin(), more.end());
}

// Greeting, CAPA with `capabilities`, log-in and STAT of `count` messages.
Script LogIn(const Script& capabilities, int count) {
    Script s = {"S: +OK POP3 ready", "C: CAPA"};
    if (capabilities.empty()) {
        s.push_back("S: -ERR");
    } else {
        s.push_back("S: +OK");
        for (const std::string& c : capabilities) {
            s.push_back("S: " + c);
        }
        s.push_back("S: .");
    }
    Append(s, {"C: USER bob", "S: +OK", "C: PASS secret", "S: +OK", "C: STAT",
               "S: +OK " + std::to_string(count) + " 999"});
    return s;
}
const std::string kLogInSent = "CAPA\r\nUSER bob\r\nPASS secret\r\nSTAT\r\n";

// The UIDL list of messages 1.. with these ids.
Script Uidl(const std::vector<std::string>& ids) {
    Script s = {"C: UIDL", "S: +OK"};
    for (std::size_t i = 0; i < ids.size(); ++i) {
        s.push_back("S: " + std::to_string(i + 1) + " " + ids[i]);
    }
    s.push_back("S: .");
    return s;
}

// The reply to a RETR: a message whose one attachment `name` holds "abc".
Script FileMessage(const std::string& name, const std::string& messageId = "") {
    Script s = {"S: +OK"};
    if (!messageId.empty()) {
        s.push_back("S: Message-ID: " + messageId);
    }
    Append(s, {"S: From: a@example.test", "S: Content-Type: multipart/mixed; boundary=\"B\"",
               "S: ", "S: --B", "S: Content-Type: application/octet-stream; name=\"" + name + "\"",
               "S: Content-Transfer-Encoding: base64", "S: ", "S: YWJj", "S: --B--", "S: ."});
    return s;
}

struct Receiver : ::testing::Test, ScriptedPop3 {
    TempDir config;
    TUidlLedger ledger{config.File("options.uidl")};
    std::vector<std::string> failures;

    Receiver() { pop.SetDeleteOnRead(true); }

    // Logs in, runs the receive step, logs out; what Run raised, if anything.
    std::string Session(int window = 32, int batch = 64) {
        pop.Connect();
        TMailboxReceiver receiver(pop, ledger);
        receiver.Window = window;
        receiver.BatchMessages = batch;
        receiver.IsOwnMessageId = [](std::string_view id) { return id.rfind("<mg.", 0) == 0; };
        receiver.OnMessageFailed = [this](const std::exception& e) {
            failures.push_back(e.what());
        };
        const std::string failure = FailureOf([&] { receiver.Run(pop.MailCount()); });
        if (pop.Connected()) {
            // A server that closes instead of answering QUIT is part of a script.
            (void)FailureOf([&] { pop.Disconnect(); });
        }
        return failure;
    }
    std::string Sent(int index) {
        EXPECT_TRUE(WaitFor([&] { return peer.Finished(); }));
        EXPECT_EQ(peer.Errors(), "");
        return peer.Received(index);
    }
    std::vector<std::string> InboxNames() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(inbox.Path())) {
            names.push_back(e.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    TUidlLedger::TState OnDisk(const std::string& key) const {
        TUidlLedger disk(config.File("options.uidl"));
        EXPECT_EQ(disk.Load(), "");
        return disk.StateOf(key);
    }
};

TEST_F(Receiver, PipelinedWindowSendsRetrsAheadAndEachBatchsDelesAfterItIsRecorded) {
    Script s = LogIn({"PIPELINING", "UIDL", "TOP"}, 3);
    Append(s, Uidl({"a", "b", "c"}));
    // Two RETRs go out before any reply: a client that waited would stall here.
    Append(s, {"C: RETR 1", "C: RETR 2"});
    Append(s, FileMessage("one.bin"));
    s.push_back("C: RETR 3"); // the window is refilled as a reply is read
    Append(s, FileMessage("two.bin"));
    // The first batch (two messages) is recorded: its DELEs follow the RETR.
    Append(s, {"C: DELE 1", "C: DELE 2"});
    Append(s, FileMessage("three.bin"));
    Append(s, {"S: +OK", "S: +OK", "C: DELE 3", "S: +OK", "C: QUIT", "S: +OK"});
    peer.Add(s);

    EXPECT_EQ(Session(2, 2), NothingRaised);
    EXPECT_EQ(Sent(0), kLogInSent + "UIDL\r\nRETR 1\r\nRETR 2\r\nRETR 3\r\nDELE 1\r\nDELE 2\r\n"
                                    "DELE 3\r\nQUIT\r\n");
    EXPECT_EQ(InboxNames(), (std::vector<std::string>{"one.bin", "three.bin", "two.bin"}));
    EXPECT_EQ(inbox.Read("two.bin"), "abc");
    for (const char* key : {"u:a", "u:b", "u:c"}) {
        EXPECT_EQ(OnDisk(key), TUidlLedger::TState::Done) << key;
    }
    EXPECT_TRUE(failures.empty());
}

TEST_F(Receiver, AServerWithoutPipeliningGetsOneCommandAtATime) {
    Script s = LogIn({"UIDL"}, 2);
    Append(s, Uidl({"a", "b"}));
    s.push_back("C: RETR 1");
    Append(s, FileMessage("one.bin"));
    Append(s, {"C: DELE 1", "S: +OK", "C: RETR 2"});
    Append(s, FileMessage("two.bin"));
    Append(s, {"C: DELE 2", "S: +OK", "C: QUIT", "S: +OK"});
    peer.Add(s);

    EXPECT_EQ(Session(), NothingRaised);
    EXPECT_EQ(Sent(0), kLogInSent + "UIDL\r\nRETR 1\r\nDELE 1\r\nRETR 2\r\nDELE 2\r\nQUIT\r\n");
    EXPECT_EQ(InboxNames(), (std::vector<std::string>{"one.bin", "two.bin"}));
}

TEST_F(Receiver, LostConnectionWithRetrsOnTheWayKeepsWhatIsWholeAndDeletesNothing) {
    Script s = LogIn({"PIPELINING", "UIDL"}, 3);
    Append(s, Uidl({"a", "b", "c"}));
    Append(s, {"C: RETR 1", "C: RETR 2", "C: RETR 3"});
    Append(s, FileMessage("one.bin"));
    Append(s,
           {"S: +OK", "S: From: a@example.test", "S: Content-Type: multipart/mixed; boundary=\"B\"",
            "S: ", "S: --B", "S: Content-Type: application/octet-stream; name=\"two.bin\"",
            "S: Content-Transfer-Encoding: base64", "S: ", "S: YWJj", "CLOSE"});
    peer.Add(s);
    // The next session: message 1 is recorded, so it is only deleted.
    Script next = LogIn({"PIPELINING", "UIDL"}, 3);
    Append(next, Uidl({"a", "b", "c"}));
    Append(next, {"C: DELE 1", "C: RETR 2", "C: RETR 3", "S: +OK"});
    Append(next, FileMessage("two.bin"));
    Append(next, FileMessage("three.bin"));
    Append(next, {"C: DELE 2", "C: DELE 3", "S: +OK", "S: +OK", "C: QUIT", "S: +OK"});
    peer.Add(next);

    EXPECT_EQ(Session(), TNMPOP3::ConnectionClosedText);
    EXPECT_FALSE(pop.Connected());
    EXPECT_EQ(peer.Received(0), kLogInSent + "UIDL\r\nRETR 1\r\nRETR 2\r\nRETR 3\r\n");
    // The whole message is in the Inbox and recorded; nothing of the cut one.
    EXPECT_EQ(InboxNames(), std::vector<std::string>{"one.bin"});
    EXPECT_EQ(OnDisk("u:a"), TUidlLedger::TState::Done);
    EXPECT_EQ(OnDisk("u:b"), TUidlLedger::TState::Unknown);

    EXPECT_EQ(Session(), NothingRaised);
    EXPECT_EQ(Sent(1), kLogInSent + "UIDL\r\nDELE 1\r\nRETR 2\r\nRETR 3\r\nDELE 2\r\nDELE 3\r\n"
                                    "QUIT\r\n");
    EXPECT_EQ(InboxNames(), (std::vector<std::string>{"one.bin", "three.bin", "two.bin"}));
}

TEST_F(Receiver, ARefusedMessageStaysReportedOnceAndIsNotFetchedAgain) {
    Script s = LogIn({"UIDL"}, 2);
    Append(s, Uidl({"bad", "good"}));
    Append(s, {"C: RETR 1", "S: +OK", "S: Content-Type: multipart/mixed; boundary=\"QQ\"",
               "S: ", "S: no boundary line anywhere", "S: .", "C: RETR 2"});
    Append(s, FileMessage("good.bin"));
    Append(s, {"C: DELE 2", "S: +OK", "C: QUIT", "S: +OK"});
    peer.Add(s);
    Script next = LogIn({"UIDL"}, 1);
    Append(next, Uidl({"bad"}));
    Append(next, {"C: QUIT", "S: +OK"});
    peer.Add(next);

    EXPECT_EQ(Session(), NothingRaised);
    EXPECT_EQ(failures, std::vector<std::string>{TMessageParser::NoBoundaryText});
    EXPECT_EQ(OnDisk("u:bad"), TUidlLedger::TState::Refused);
    EXPECT_EQ(OnDisk("u:good"), TUidlLedger::TState::Done);

    EXPECT_EQ(Session(), NothingRaised);
    EXPECT_EQ(Sent(1), kLogInSent + "UIDL\r\nQUIT\r\n");
    EXPECT_EQ(failures.size(), 1u);
    // The server no longer lists "good": its entry went.
    EXPECT_EQ(OnDisk("u:good"), TUidlLedger::TState::Unknown);
    EXPECT_EQ(OnDisk("u:bad"), TUidlLedger::TState::Refused);
}

TEST_F(Receiver, ARepeatOfAMailgateMessageIdIsDeletedUnextractedOthersAreNot) {
    Script s = LogIn({"UIDL", "PIPELINING"}, 4);
    Append(s, Uidl({"a", "b", "c", "d"}));
    Append(s, {"C: RETR 1", "C: RETR 2", "C: RETR 3", "C: RETR 4"});
    Append(s, FileMessage("sent.bin", "<mg.0123abcd@example.test>"));
    Append(s, FileMessage("sent.bin", "<mg.0123abcd@example.test>"));
    Append(s, FileMessage("other.bin", "<same@elsewhere.test>"));
    Append(s, FileMessage("other.bin", "<same@elsewhere.test>"));
    Append(s, {"C: DELE 1", "C: DELE 2", "C: DELE 3", "C: DELE 4", "S: +OK", "S: +OK", "S: +OK",
               "S: +OK", "C: QUIT", "S: +OK"});
    peer.Add(s);

    EXPECT_EQ(Session(), NothingRaised);
    EXPECT_EQ(Sent(0), kLogInSent + "UIDL\r\nRETR 1\r\nRETR 2\r\nRETR 3\r\nRETR 4\r\n"
                                    "DELE 1\r\nDELE 2\r\nDELE 3\r\nDELE 4\r\nQUIT\r\n");
    EXPECT_EQ(InboxNames(), (std::vector<std::string>{"other.bin", "other_1.bin", "sent.bin"}));
    TUidlLedger disk(config.File("options.uidl"));
    ASSERT_EQ(disk.Load(), "");
    EXPECT_TRUE(disk.HasMessageId("<mg.0123abcd@example.test>"));
    EXPECT_FALSE(disk.HasMessageId("<same@elsewhere.test>"));
}

TEST_F(Receiver, WithoutUidlTheHeaderDigestKnowsAMessageWhoseDeleWasLost) {
    // The first session ends without QUIT: its DELE is forgotten.
    Script s = LogIn({}, 1);
    s.push_back("C: RETR 1");
    Append(s, FileMessage("one.bin", "<x@example.test>"));
    Append(s, {"C: DELE 1", "S: +OK", "C: QUIT", "CLOSE"});
    peer.Add(s);
    Script next = LogIn({}, 1);
    next.push_back("C: RETR 1");
    Append(next, FileMessage("one.bin", "<x@example.test>"));
    Append(next, {"C: DELE 1", "S: +OK", "C: QUIT", "S: +OK"});
    peer.Add(next);

    Session();
    EXPECT_EQ(Session(), NothingRaised);
    EXPECT_EQ(Sent(1), kLogInSent + "RETR 1\r\nDELE 1\r\nQUIT\r\n");
    EXPECT_EQ(InboxNames(), std::vector<std::string>{"one.bin"});
    EXPECT_TRUE(failures.empty());
}

} // namespace
