// The identity of a sent Outbox file: the same unchanged file gives the same
// Message-ID at every sending, any change of the file a different one, and
// only mailgate's own form is taken for one of its identities. Then the
// control carrying it to a scripted server.
#include "SmtpTestSupport.h"

#include "platform/Exception.h"
#include "smtp/MessageIdentity.h"
#include "support/RowName.h"
#include "support/ScriptedPeer.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace {

const char* const kFrom = "gateway@example.org";

// The file's modification time, to the nanosecond.
void SetModified(const std::string& path, time_t seconds, long nanoseconds) {
    const timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

// Writes `content` as "a.dat" in `dir`, modified at the given time; returns
// its path.
std::string WriteDated(const TempDir& dir, const std::string& content, time_t seconds,
                       long nanoseconds) {
    dir.Write("a.dat", content);
    SetModified(dir.File("a.dat"), seconds, nanoseconds);
    return dir.File("a.dat");
}

struct ChangeRow {
    const char* name;
    // Changes the file "a.dat" (or its path) in `dir`; returns the path to
    // take the identity of afterwards.
    std::string (*change)(const TempDir& dir);
    bool sameId;
};

void PrintTo(const ChangeRow& row, std::ostream* os) {
    *os << row.name;
}

class IdentityAfter : public ::testing::TestWithParam<ChangeRow> {};

TEST_P(IdentityAfter, FollowsTheFileAndNothingElse) {
    TempDir dir;
    const std::string before = MailgateMessageId(
        WriteDated(dir, "HDR\tfields\r\nthe content\r\n", 1700000000, 123456789), kFrom);
    EXPECT_TRUE(IsMailgateMessageId(before)) << before;

    const std::string path = GetParam().change(dir);
    const std::string after = MailgateMessageId(path, kFrom);
    EXPECT_TRUE(IsMailgateMessageId(after)) << after;
    if (GetParam().sameId) {
        EXPECT_EQ(after, before);
    } else {
        EXPECT_NE(after, before);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, IdentityAfter,
    ::testing::Values(
        ChangeRow{"NothingSameId", [](const TempDir& d) { return d.File("a.dat"); }, true},
        ChangeRow{"ReadingAgainAfterAnAccessSameId",
                  [](const TempDir& d) {
                      (void)d.Read("a.dat"); // a send reads it; its access time moves
                      return d.File("a.dat");
                  },
                  true},
        ChangeRow{"SameFileInAnotherFolderSameId",
                  [](const TempDir& d) {
                      ::mkdir(d.File("moved").c_str(), 0755);
                      std::rename(d.File("a.dat").c_str(), d.File("moved/a.dat").c_str());
                      return d.File("moved/a.dat");
                  },
                  true},
        ChangeRow{"OneByteOfContentSameSizeAndTime",
                  [](const TempDir& d) {
                      return WriteDated(d, "HDR\tfields\r\nthe Content\r\n", 1700000000, 123456789);
                  },
                  false},
        ChangeRow{"SizeAppendedByte",
                  [](const TempDir& d) {
                      return WriteDated(d, "HDR\tfields\r\nthe content\r\n.", 1700000000,
                                        123456789);
                  },
                  false},
        ChangeRow{"NameRenamedInPlace",
                  [](const TempDir& d) {
                      std::rename(d.File("a.dat").c_str(), d.File("b.dat").c_str());
                      return d.File("b.dat");
                  },
                  false},
        ChangeRow{"ModificationTimeByANanosecond",
                  [](const TempDir& d) {
                      SetModified(d.File("a.dat"), 1700000000, 123456790);
                      return d.File("a.dat");
                  },
                  false},
        ChangeRow{"RewrittenWithTheSameBytes",
                  [](const TempDir& d) {
                      // The producer wrote the file again: a new order, the
                      // same text. It must not be taken for a repeat.
                      return WriteDated(d, "HDR\tfields\r\nthe content\r\n", 1700000060, 0);
                  },
                  false}),
    RowName());

TEST(MessageIdentity, FormAndDomainComeFromTheFromAddress) {
    TempDir dir;
    dir.Write("a.dat", "x");
    const std::string id = MailgateMessageId(dir.File("a.dat"), kFrom);
    ASSERT_EQ(id.size(), std::string("<mg.@example.org>").size() + 32) << id;
    EXPECT_EQ(id.substr(0, 4), "<mg.");
    EXPECT_EQ(id.substr(36), "@example.org>");
    EXPECT_EQ(id.find_first_not_of("0123456789abcdef", 4), 36u) << id;

    const std::string hex = id.substr(4, 32);
    struct {
        const char* from;
        const char* domain;
    } const rows[] = {
        {"Gate Way <gateway@Mail.Example.ORG>", "mail.example.org"},
        {"a@b@sub.example.test", "sub.example.test"},
        {"no-at-sign", "localhost"},
        {"", "localhost"},
        {"a@", "localhost"},
        {"a@[192.0.2.1]", "localhost"},
        {"a@bad..example", "localhost"},
        {"a@xn--bcher-kva.example", "xn--bcher-kva.example"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.from);
        const std::string other = MailgateMessageId(dir.File("a.dat"), row.from);
        EXPECT_EQ(other, "<mg." + hex + "@" + row.domain + ">");
        EXPECT_TRUE(IsMailgateMessageId(other));
    }
}

TEST(MessageIdentity, UnreadableFileRaisesWithItsPath) {
    TempDir dir;
    try {
        MailgateMessageId(dir.File("missing.dat"), kFrom);
        ADD_FAILURE() << "no exception";
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.Message(),
                  "Unable to read " + dir.File("missing.dat") + ": No such file or directory");
    }
    try {
        MailgateMessageId(dir.Path(), kFrom);
        ADD_FAILURE() << "no exception";
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.Message(), "Unable to read " + dir.Path() + ": not a regular file");
    }
}

TEST(MessageIdentity, OnlyMailgatesOwnFormIsRecognised) {
    const std::string hex = "0123456789abcdef0123456789abcdef";
    for (const std::string& id : {"<mg." + hex + "@example.org>", "<mg." + hex + "@localhost>",
                                  "<mg." + hex + "@a-b.c1.example>"}) {
        EXPECT_TRUE(IsMailgateMessageId(id)) << id;
    }
    const std::string upper = "0123456789ABCDEF0123456789abcdef";
    const std::string notHex = "0123456789abcdeg0123456789abcdef";
    for (const std::string& id :
         {// Other senders' identities.
          std::string("<CAF=+xyz123@mail.gmail.com>"),
          std::string("<20240101120000.1234.5678@mg.example.org>"),
          std::string("<1704110400000.1.123456@example.org>"), std::string("<mg.1234@example.org>"),
          // Near misses of the form.
          "mg." + hex + "@example.org",             // no brackets
          "<mg." + hex + "@example.org",            // no closing bracket
          " <mg." + hex + "@example.org>",          // white space around
          "<mg." + hex + "@example.org> ",          //
          "<MG." + hex + "@example.org>",           // prefix case
          "<mgx" + hex + "@example.org>",           // prefix
          "<mg." + hex.substr(1) + "@example.org>", // 31 digits
          "<mg." + hex + "0@example.org>",          // 33 digits
          "<mg." + upper + "@example.org>",         // upper-case digits
          "<mg." + notHex + "@example.org>",        // not a digit
          "<mg." + hex + "@>",                      // no domain
          "<mg." + hex + "example.org>",            // no @
          "<mg." + hex + "@Example.org>",           // not as made
          "<mg." + hex + "@example..org>",          //
          "<mg." + hex + "@.example.org>",          //
          "<mg." + hex + "@example.org.>",          //
          "<mg." + hex + "@exa mple.org>",          //
          "<mg." + hex + "@example.org>>",          //
          "<mg." + hex + "@[192.0.2.1]>",           //
          "<mg." + hex + "@" + std::string(254, 'a') + ">", std::string(""), std::string("<>"),
          std::string("<mg.>")}) {
        EXPECT_FALSE(IsMailgateMessageId(id)) << id;
    }
}

// ------------------------------------------------------------ on the wire

struct MessageIdOnTheWire : ::testing::Test, LoopbackSmtp {};

TEST_F(MessageIdOnTheWire, TheGivenIdentityIsTheMessagesHeaderAndTheSameAtASecondSending) {
    // Two sendings of one unchanged file: the second after a server that
    // took the mail but lost the connection before its answer.
    const std::string id = MailgateMessageId(dir.File("file.bin"), kFrom);
    ASSERT_TRUE(IsMailgateMessageId(id));
    message->SetMessageId(id);

    ScriptedPeer peer;
    PeerScenario first =
        ScenarioFile::Load(MAILGATE_TEST_DATA "/smtp/one-mail.txt").connections.at(0);
    first.script.resize(first.script.size() - 3); // up to the message, no answer
    first.script.push_back("CLOSE");
    peer.Add(first);
    peer.Add(ScenarioFile::Load(MAILGATE_TEST_DATA "/smtp/one-mail.txt").connections.at(0));
    smtp->SetSmtpPort(peer.Port());

    std::string description;
    EXPECT_NE(smtp->Send(message, -1, description), 0);
    message->SetMessageId(MailgateMessageId(dir.File("file.bin"), kFrom));
    EXPECT_EQ(smtp->Send(message, -1, description), 0) << description;
    smtp.reset(); // QUIT
    ASSERT_TRUE(WaitFor([&] { return peer.Finished(); }));
    EXPECT_EQ(peer.Errors(), "");

    const std::vector<std::string> mails = peer.Messages();
    ASSERT_EQ(mails.size(), 2u);
    for (const std::string& mail : mails) {
        const std::string head = mail.substr(0, mail.find("\r\n\r\n") + 2);
        EXPECT_NE(head.find("\r\nMessage-ID: " + id + "\r\n"), std::string::npos) << head;
        EXPECT_EQ(head.find("Message-ID:"), head.rfind("Message-ID:")) << "one Message-ID only";
    }
}

TEST_F(MessageIdOnTheWire, WithoutAGivenIdentityEachSendingMakesItsOwn) {
    ScriptedPeer peer;
    peer.Add(ScenarioFile::Load(MAILGATE_TEST_DATA "/smtp/one-mail.txt").connections.at(0));
    smtp->SetSmtpPort(peer.Port());
    std::string description;
    ASSERT_EQ(smtp->Send(message, -1, description), 0) << description;
    smtp.reset();
    ASSERT_TRUE(WaitFor([&] { return peer.Finished(); }));
    ASSERT_EQ(peer.Messages().size(), 1u);
    const std::string mail = peer.Messages()[0];
    const size_t at = mail.find("\r\nMessage-ID: <");
    ASSERT_NE(at, std::string::npos);
    const std::string id = mail.substr(at + 14, mail.find("\r\n", at + 2) - at - 14);
    EXPECT_EQ(id.substr(id.size() - 13), "@example.org>") << id;
    EXPECT_FALSE(IsMailgateMessageId(id)) << "made up ids are not file identities: " << id;
}

TEST(MessageIdSetting, IsCheckedWhenSet) {
    IMailMessagePtr m = CoMailMessage::Create();
    m->SetMessageId("<a.b@c>");
    EXPECT_EQ(m->GetMessageId(), "<a.b@c>");
    for (const std::string& bad :
         {std::string("a@b"), std::string("<a@b"), std::string("<ab>"), std::string("<a b@c>"),
          std::string("<a@b>\r\nBcc: x@y"), std::string("<a<b@c>"), std::string("<\xc3\xa9@b>"),
          "<" + std::string(900, 'a') + "@b>"}) {
        EXPECT_THROW(m->SetMessageId(bad), ESmtpMailError) << bad;
    }
    EXPECT_EQ(m->GetMessageId(), "<a.b@c>");
    m->SetMessageId("");
    EXPECT_EQ(m->GetMessageId(), "");
}

} // namespace
