// The POP3 client's dialogue where a test needs code of its own: handlers,
// generated messages, an unwritable folder. The plain dialogues are scenario
// files (tests/data/pop3), run by Pop3ScenarioTest.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "ScriptedPop3.h"
#include "support/Failure.h"
#include "support/WaitFor.h"

namespace {

using Script = std::vector<std::string>;

Script Join(std::initializer_list<Script> parts) {
    Script all;
    for (const Script& p : parts) {
        all.insert(all.end(), p.begin(), p.end());
    }
    return all;
}

Script LogIn(const std::string& stat = "+OK 3 960") {
    return {"S: +OK POP3 ready", "C: CAPA",        "S: -ERR", "C: USER bob", "S: +OK",
            "C: PASS secret",    "S: +OK welcome", "C: STAT", "S: " + stat};
}

const std::string kLogInSent = "CAPA\r\nUSER bob\r\nPASS secret\r\nSTAT\r\n";

// One short message as the server sends it, terminator included.
Script Message(int number, const std::string& subject, const std::string& text) {
    return {"C: RETR " + std::to_string(number),
            "S: +OK message follows",
            "S: From: alice@example.org",
            "S: Subject: " + subject,
            "S: ",
            "S: " + text,
            "S: ."};
}

struct Pop3Fixture : ::testing::Test, ScriptedPop3 {
    // What the client sent on connection `index`, once the client has closed.
    std::string Sent(int index = 0) {
        EXPECT_TRUE(WaitFor([&] { return peer.Finished(); }));
        EXPECT_EQ(peer.Errors(), "");
        return peer.Received(index);
    }
};

} // namespace

// --- Session ------------------------------------------------------------------

TEST_F(Pop3Fixture, MissingCredentialsFailBeforeConnecting) {
    pop.SetPassword("");
    EXPECT_EQ(FailureOf([&] { pop.Connect(); }), "Authentication failed");
    EXPECT_EQ(peer.Connections(), 0);

    int asked = 0;
    pop.OnAuthenticationNeeded = [&](bool& handled) {
        ++asked;
        handled = true; // but supplies nothing: the values are used as they are
    };
    peer.Add({"S: +OK", "C: CAPA", "S: -ERR", "C: USER bob", "S: +OK", "C: PASS ", "S: -ERR empty",
              "C: QUIT", "S: +OK"});
    EXPECT_EQ(FailureOf([&] { pop.Connect(); }), "Authentication failed");
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(Sent(), "CAPA\r\nUSER bob\r\nPASS \r\nQUIT\r\n");
}

TEST_F(Pop3Fixture, RefusedPassWithHandledBuysOneMoreAttempt) {
    peer.Add({"S: +OK ready", "C: CAPA", "S: -ERR", "C: USER bob", "S: +OK", "C: PASS secret",
              "S: -ERR wrong", "C: USER bob", "S: +OK", "C: PASS second", "S: -ERR wrong again",
              "C: QUIT", "S: +OK"});
    int calls = 0;
    pop.OnAuthenticationFailed = [&](bool& handled) {
        ++calls;
        pop.SetPassword("second");
        handled = true;
    };
    EXPECT_EQ(FailureOf([&] { pop.Connect(); }), "Authentication failed");
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(Sent(), "CAPA\r\nUSER bob\r\nPASS secret\r\nUSER bob\r\nPASS second\r\nQUIT\r\n");
}

TEST_F(Pop3Fixture, SecondAttemptCanSucceed) {
    peer.Add(Join({{"S: +OK ready", "C: CAPA", "S: -ERR", "C: USER bob", "S: +OK", "C: PASS secret",
                    "S: -ERR wrong", "C: USER bob", "S: +OK", "C: PASS right", "S: +OK", "C: STAT",
                    "S: +OK 1 10"},
                   {"C: QUIT", "S: +OK"}}));
    pop.OnAuthenticationFailed = [&](bool& handled) {
        pop.SetPassword("right");
        handled = true;
    };
    pop.Connect();
    EXPECT_EQ(pop.MailCount(), 1);
    pop.Disconnect();
    EXPECT_EQ(Sent(),
              "CAPA\r\nUSER bob\r\nPASS secret\r\nUSER bob\r\nPASS right\r\nSTAT\r\nQUIT\r\n");
}

TEST_F(Pop3Fixture, RetrieveFromAHandlerOfARunningOperationDoesNothing) {
    peer.Add(
        {"S: +OK ready", "C: CAPA", "S: -ERR", "C: USER bob", "S: -ERR no", "C: QUIT", "S: +OK"});
    pop.OnAuthenticationFailed = [&](bool& handled) {
        EXPECT_TRUE(pop.Busy());
        pop.RetrieveMessage(1);
        handled = false;
    };
    EXPECT_EQ(FailureOf([&] { pop.Connect(); }), "Authentication failed");
    EXPECT_TRUE(events.empty());
    EXPECT_FALSE(pop.Busy());
    EXPECT_EQ(Sent(), "CAPA\r\nUSER bob\r\nQUIT\r\n");
}

// --- Retrieval ----------------------------------------------------------------

TEST_F(Pop3Fixture, RetrieveFromRetrieveStartDoesNothing) {
    peer.Add(Join({LogIn("+OK 1 20"), Message(1, "one", "first"), {"C: QUIT", "S: +OK"}}));
    pop.OnRetrieveStart = [&](TObject*) { pop.RetrieveMessage(1); };
    pop.Connect();
    pop.RetrieveMessage(1);
    pop.Disconnect();
    EXPECT_EQ(Sent(), kLogInSent + "RETR 1\r\nQUIT\r\n");
}

// --- Ending the session -----------------------------------------------------

TEST_F(Pop3Fixture, DisconnectWhenNotConnectedDoesNothing) {
    int disconnects = 0;
    pop.OnDisconnect = [&](TObject*) { ++disconnects; };
    EXPECT_NO_THROW(pop.Disconnect());
    EXPECT_EQ(disconnects, 0);
}

TEST_F(Pop3Fixture, DestroyWhileConnectedSendsNoQuit) {
    peer.Add(LogIn("+OK 1 10"));
    auto client = std::make_unique<TNMPOP3>();
    client->SetHost("127.0.0.1");
    client->SetPort(peer.Port());
    client->SetUserID("bob");
    client->SetPassword("secret");
    client->Connect();
    client.reset();
    EXPECT_EQ(Sent(), kLogInSent);
}

// --- Properties ---------------------------------------------------------------

TEST(Pop3Properties, DefaultsAndAttachFilePath) {
    TNMPOP3 pop;
    EXPECT_EQ(pop.Port(), 110);
    EXPECT_FALSE(pop.Parse());
    EXPECT_FALSE(pop.DeleteOnRead());
    EXPECT_FALSE(pop.Busy());
    EXPECT_EQ(pop.MailCount(), 0);
    EXPECT_EQ(pop.AttachFilePath(), "");
    pop.SetAttachFilePath("/data/In");
    EXPECT_EQ(pop.AttachFilePath(), "/data/In/");
    pop.SetAttachFilePath("/data/In/");
    EXPECT_EQ(pop.AttachFilePath(), "/data/In/");
    pop.SetAttachFilePath("");
    EXPECT_EQ(pop.AttachFilePath(), "");
}

// --- Messages whose processing fails ----------------------------------------

namespace {

Script MultipartWithFile(int number) {
    return {"C: RETR " + std::to_string(number),
            "S: +OK",
            "S: Subject: with file",
            "S: Content-Type: multipart/mixed; boundary=\"XX\"",
            "S: ",
            "S: --XX",
            "S: Content-Type: text/plain",
            "S: ",
            "S: see the file",
            "S: --XX",
            "S: Content-Type: application/octet-stream; name=\"data.bin\"",
            "S: Content-Transfer-Encoding: base64",
            "S: Content-Disposition: attachment; filename=\"data.bin\"",
            "S: ",
            "S: aGVsbG8=",
            "S: --XX--",
            "S: ."};
}

} // namespace

TEST_F(Pop3Fixture, FailedProcessingKeepsTheMessageAndTheSession) {
    peer.Add(Join({LogIn("+OK 2 20"),
                   MultipartWithFile(1),
                   Message(2, "two", "second"),
                   {"C: DELE 2", "S: +OK"},
                   {"C: QUIT", "S: +OK"}}));
    pop.SetDeleteOnRead(true);
    pop.SetAttachFilePath(inbox.Path() + "/no/such/folder");
    pop.Connect();
    events.clear();
    EXPECT_THROW(pop.RetrieveMessage(1), std::exception);
    EXPECT_EQ(events, (std::vector<std::string>{"start", "end"}));
    EXPECT_TRUE(pop.Connected());
    EXPECT_FALSE(pop.Busy());
    pop.RetrieveMessage(2);
    pop.Disconnect();
    EXPECT_EQ(Sent(), kLogInSent + "RETR 1\r\nRETR 2\r\nDELE 2\r\nQUIT\r\n");
}

TEST_F(Pop3Fixture, ExtractedFilesAreInTheInboxWhenDeleIsSent) {
    peer.Add(Join(
        {LogIn("+OK 1 20"), MultipartWithFile(1), {"C: DELE 1", "S: +OK"}, {"C: QUIT", "S: +OK"}}));
    pop.SetDeleteOnRead(true);
    std::vector<std::string> atDele;
    pop.SetReportLevel(8);
    pop.OnStatus = [&](TObject*, const std::string& status) {
        if (status == "Transaction" && pop.Parser().WrittenFiles().size() > 0) {
            for (const std::string& f : pop.Parser().WrittenFiles()) {
                atDele.push_back(inbox.Read(f.substr(f.rfind('/') + 1)));
            }
        }
    };
    pop.Connect();
    pop.RetrieveMessage(1);
    pop.Disconnect();
    EXPECT_EQ(atDele, (std::vector<std::string>{"hello", "hello"})); // at DELE and at QUIT
    EXPECT_EQ(Sent(), kLogInSent + "RETR 1\r\nDELE 1\r\nQUIT\r\n");
}

// --- Messages of any size and shape -------------------------------------------

namespace {

std::string Base64(const std::string& bytes) {
    static const char* kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        uint32_t v = static_cast<uint8_t>(bytes[i]) << 16 |
                     static_cast<uint8_t>(bytes[i + 1]) << 8 | static_cast<uint8_t>(bytes[i + 2]);
        for (int k = 18; k >= 0; k -= 6) {
            out += kAlphabet[(v >> k) & 63];
        }
    }
    if (i + 1 == bytes.size()) {
        uint32_t v = static_cast<uint8_t>(bytes[i]) << 16;
        out += std::string{kAlphabet[v >> 18], kAlphabet[(v >> 12) & 63], '=', '='};
    } else if (i + 2 == bytes.size()) {
        uint32_t v = static_cast<uint8_t>(bytes[i]) << 16 | static_cast<uint8_t>(bytes[i + 1]) << 8;
        out += std::string{kAlphabet[v >> 18], kAlphabet[(v >> 12) & 63], kAlphabet[(v >> 6) & 63],
                           '='};
    }
    return out;
}

std::string Pattern(size_t size) {
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        s[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    }
    return s;
}

// A message whose parts follow its text part, each a base64 file.
Script WithFiles(int number, const std::vector<std::pair<std::string, std::string>>& files) {
    Script s = {"C: RETR " + std::to_string(number),
                "S: +OK",
                "S: Subject: files",
                "S: Content-Type: multipart/mixed; boundary=\"XX\"",
                "S: ",
                "S: --XX",
                "S: Content-Type: text/plain",
                "S: ",
                "S: see the files"};
    for (const auto& [name, encoded] : files) {
        s.insert(s.end(), {"S: --XX", "S: Content-Type: application/octet-stream",
                           "S: Content-Transfer-Encoding: base64",
                           "S: Content-Disposition: attachment; filename=\"" + name + "\"",
                           "S: ", "S: " + encoded});
    }
    s.insert(s.end(), {"S: --XX--", "S: ."});
    return s;
}

std::vector<std::string> InboxListing(const TempDir& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

TEST_F(Pop3Fixture, Base64LineOf70000CharactersIsDecodedAndDeleted) {
    const std::string data = Pattern(52500);
    const std::string encoded = Base64(data);
    ASSERT_EQ(encoded.size(), 70000u);
    peer.Add(Join({LogIn("+OK 1 80000"),
                   WithFiles(1, {{"long.bin", encoded}}),
                   {"C: DELE 1", "S: +OK"},
                   {"C: QUIT", "S: +OK"}}));
    pop.SetDeleteOnRead(true);
    pop.Connect();
    pop.RetrieveMessage(1);
    EXPECT_TRUE(inbox.Read("long.bin") == data);
    pop.Disconnect();
    EXPECT_EQ(Sent(), kLogInSent + "RETR 1\r\nDELE 1\r\nQUIT\r\n");
}

TEST_F(Pop3Fixture, MessageOverTheCapIsSkippedInStepAndTheNextOneDeleted) {
    Script big = {"C: RETR 1", "S: +OK", "S: Subject: big", "S: "};
    for (int i = 0; i < 100; ++i) {
        big.push_back("S: " + std::string(98, 'x'));
    }
    big.push_back("S: .");
    peer.Add(Join({LogIn("+OK 2 20000"),
                   big,
                   Message(2, "two", "second"),
                   {"C: DELE 2", "S: +OK"},
                   {"C: QUIT", "S: +OK"}}));
    pop.SetDeleteOnRead(true);
    pop.SetMaxMessageBytes(4000);
    pop.Connect();
    events.clear();
    EXPECT_EQ(FailureOf([&] { pop.RetrieveMessage(1); }),
              "Message 1 is larger than 4000 bytes: left on the server");
    EXPECT_EQ(events, (std::vector<std::string>{"start", "end"}));
    EXPECT_TRUE(pop.Connected());
    EXPECT_LE(pop.MailMessage().RawBody.Count(), 40);
    pop.RetrieveMessage(2);
    EXPECT_EQ(pop.MailMessage().RawBody[0], "second");
    pop.Disconnect();
    EXPECT_EQ(Sent(), kLogInSent + "RETR 1\r\nRETR 2\r\nDELE 2\r\nQUIT\r\n");
}

TEST_F(Pop3Fixture, FailureOnTheSecondAttachmentLeavesNoFileAndKeepsTheSession) {
    peer.Add(Join({LogIn("+OK 2 20"),
                   WithFiles(1, {{"first.bin", Base64("one")}, {"second.bin", Base64("two")}}),
                   Message(2, "two", "second"),
                   {"C: DELE 2", "S: +OK"},
                   {"C: QUIT", "S: +OK"}}));
    pop.SetDeleteOnRead(true);
    int decodes = 0;
    std::vector<std::string> seenWhileDecoding;
    pop.Parser().Processor.OnBeginDecode = [&](TObject*) {
        seenWhileDecoding = InboxListing(inbox);
        if (++decodes == 2) {
            throw EInOutError("Write error on second.bin: No space left on device");
        }
    };
    pop.Connect();
    EXPECT_EQ(FailureOf([&] { pop.RetrieveMessage(1); }),
              "Write error on second.bin: No space left on device");
    EXPECT_EQ(seenWhileDecoding, std::vector<std::string>{TMessageParser::TempFolderName});
    EXPECT_EQ(InboxListing(inbox), std::vector<std::string>{});
    EXPECT_TRUE(pop.Connected());
    pop.Parser().Processor.OnBeginDecode = nullptr;
    pop.RetrieveMessage(2);
    pop.Disconnect();
    EXPECT_EQ(Sent(), kLogInSent + "RETR 1\r\nRETR 2\r\nDELE 2\r\nQUIT\r\n");
}

TEST_F(Pop3Fixture, ConnectTellsWhetherTheCountCameFromStat) {
    peer.Add(Join({LogIn("+OK 2 100"), {"C: QUIT", "S: +OK"}}));
    peer.Add(Join({LogIn("-ERR mailbox locked"), {"C: QUIT", "S: +OK"}}));
    std::vector<bool> valid;
    pop.OnConnect = [&](TObject*) { valid.push_back(pop.MailCountValid()); };
    pop.Connect();
    pop.Disconnect();
    EXPECT_EQ(FailureOf([&] { pop.Connect(); }), "-ERR mailbox locked\r\n");
    EXPECT_EQ(valid, (std::vector<bool>{true, false}));
    EXPECT_EQ(Sent(1), kLogInSent + "QUIT\r\n");
}
