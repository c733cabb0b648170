// One `mailgate --once` sends the Outbox through the real SMTP server into the
// local mailbox; the next one receives it back through the real POP3 server.
#include "CuttingProxy.h"
#include "Gateway.h"

#include <QTimer>

namespace e2e {
namespace {

constexpr size_t MiB = 1024 * 1024;

TEST_F(Gateway, SendsEveryAddressedFileThenReceivesThemByteForByte) {
    std::map<std::string, std::string> files;
    files["a-empty.txt"] = PutOutboxFile("a-empty.txt", "");
    files["b-one.txt"] = PutOutboxFile("b-one.txt", "1");
    files["c-1mib.bin"] = PutOutboxFile("c-1mib.bin", RandomBytes(MiB, 1));
    RoundTrip(files);
}

TEST_F(Gateway, TwentyMebibyteFileSurvivesTheRoundTrip) {
    std::map<std::string, std::string> files;
    files["big.bin"] = PutOutboxFile("big.bin", RandomBytes(20 * MiB, 2));
    RoundTrip(files);
}

TEST_F(Gateway, BinaryContentSurvivesTheRoundTrip) {
    std::string every;
    for (int round = 0; round < 4; ++round) {
        for (int b = 0; b < 256; ++b) {
            every += static_cast<char>(b);
        }
    }
    // Line ends of every kind, a lone dot line and a "From " line: what a
    // text transport would mangle.
    std::string awkward = std::string("\0\0\r\r\n\n.\r\n..\r\nFrom me\r\n\x1a", 23);
    std::map<std::string, std::string> files;
    files["all-bytes.bin"] = PutOutboxFile("all-bytes.bin", "\n" + every + awkward);
    files["random.bin"] = PutOutboxFile("random.bin", "\n" + RandomBytes(64 * 1024 + 7, 3));
    files["no-newline.txt"] = PutOutboxFile("no-newline.txt", "last line without end");
    RoundTrip(files);
}

TEST_F(Gateway, NamesWithBlanksAndNonAsciiLettersArriveUnderTheSameName) {
    std::map<std::string, std::string> files;
    for (const char* name : {"order 2024 final.txt", "Grüße aus Köln.txt", "naïve café.dat",
                             "Ελληνικά και 日本語.txt", "two  blanks.csv"}) {
        files[name] = PutOutboxFile(name, std::string("content of ") + name + "\n");
    }
    RoundTrip(files);
}

TEST_F(Gateway, DisplayNameAfterTheBarIsNotPartOfTheAddress) {
    // The SMTP server refuses anything but the plain address, so arriving
    // at all shows the display name was cut.
    std::map<std::string, std::string> files;
    files["named.txt"] = PutOutboxFile("named.txt", "to a named recipient\n",
                                       servers_.address + "|Test User, Example Dept.");
    RoundTrip(files);
}

TEST_F(Gateway, FilesWithoutRecipientStayUntouched) {
    std::string exactly28Tabs = "HDR";
    for (int i = 0; i < 27; ++i) {
        exactly28Tabs += "\tx";
    }
    exactly28Tabs += "\t" + servers_.address + "\r\nbody\r\n";
    std::map<std::string, std::string> kept = {
        {"last-field.txt", exactly28Tabs},
        {"late-header.txt", "no header here\r\n" + HeaderLine(servers_.address) + "body\r\n"},
        {"empty.txt", ""},
        {"empty-address.txt", HeaderLine("") + "body\r\n"},
        {"second-line-decides.txt", HeaderLine(servers_.address) + "HDR\tshort\r\nbody\r\n"},
    };
    for (const auto& [name, data] : kept) {
        PutRawOutboxFile(name, data);
    }
    std::map<std::string, std::string> sent;
    sent["addressed.txt"] = PutOutboxFile("addressed.txt", "goes\n");

    auto send = RunOnce();
    EXPECT_EQ(send->ExitCode(), 0) << Transcript(*send);
    std::set<std::string> keptNames;
    for (const auto& [name, data] : kept) {
        keptNames.insert(name);
        EXPECT_EQ(ReadFile(outbox_ + "/" + name), data) << name;
    }
    EXPECT_EQ(Names(outbox_), keptNames);
    ASSERT_TRUE(WaitForMailbox(1)) << MailboxCount() << " messages in the mailbox";

    auto receive = RunOnce();
    EXPECT_EQ(receive->ExitCode(), 0) << Transcript(*receive);
    ExpectInboxHolds(sent);
    EXPECT_EQ(Names(outbox_), keptNames) << "kept files stay through every pass";
}

TEST_F(Gateway, FileStillBeingWrittenWaitsForTheNextPass) {
    std::string data = PutOutboxFile("fresh.txt", "still being written\n");
    // Its producer goes on appending for as long as the first run takes.
    QTimer producer;
    QObject::connect(&producer, &QTimer::timeout,
                     [&] { std::ofstream(outbox_ + "/fresh.txt", std::ios::app) << "more\n"; });
    producer.start(100);
    auto first = RunOnce();
    producer.stop();
    EXPECT_EQ(first->ExitCode(), 0) << Transcript(*first);
    EXPECT_EQ(ReadFile(outbox_ + "/fresh.txt").rfind(data, 0), 0u) << "the file must stay unsent";

    auto second = RunOnce();
    EXPECT_EQ(second->ExitCode(), 0) << Transcript(*second);
    EXPECT_TRUE(Names(outbox_).empty());
    EXPECT_TRUE(WaitForMailbox(1));
}

TEST_F(Gateway, AttachmentsOfZeroAndOneByteAreWrittenToTheInbox) {
    DeliverToMailbox(MessageWithAttachment("zero.dat", ""));
    DeliverToMailbox(MessageWithAttachment("one.dat", "\xff"));
    auto receive = RunOnce();
    EXPECT_EQ(receive->ExitCode(), 0) << Transcript(*receive);
    EXPECT_TRUE(receive->Said("status: 2 messages in your mailbox")) << Transcript(*receive);
    EXPECT_TRUE(receive->Said("status: Files To Received")) << Transcript(*receive);
    ExpectInboxHolds({{"zero.dat", ""}, {"one.dat", "\xff"}});
    EXPECT_EQ(MailboxCount(), 0);
}

TEST_F(Gateway, SameNameTwiceGetsANumberedSecondFile) {
    DeliverToMailbox(MessageWithAttachment("report.txt", "first\n"));
    DeliverToMailbox(MessageWithAttachment("report.txt", "second\n"));
    auto receive = RunOnce();
    EXPECT_EQ(receive->ExitCode(), 0) << Transcript(*receive);
    std::set<std::string> names = Names(inbox_);
    ASSERT_EQ(names.size(), 2u) << "neither file may overwrite the other";
    std::multiset<std::string> contents;
    for (const auto& n : names) {
        contents.insert(ReadFile(inbox_ + "/" + n));
    }
    EXPECT_EQ(contents, (std::multiset<std::string>{"first\n", "second\n"}));
    EXPECT_TRUE(names.count("report.txt"));
}

TEST_F(Gateway, EmptyMailboxAndEmptyOutboxEndCleanly) {
    auto run = RunOnce();
    EXPECT_EQ(run->ExitCode(), 0) << Transcript(*run);
    EXPECT_TRUE(run->Said("status: No Messages to Get")) << Transcript(*run);
    EXPECT_FALSE(run->Said("Sending...")) << Transcript(*run);
    EXPECT_TRUE(Names(inbox_).empty());
}

TEST_F(Gateway, UnconfiguredSettingsFileExitsWithTwo) {
    WriteFile(config_, "[Account]\nUserId=test\n");
    auto run = RunOnce();
    EXPECT_EQ(run->ExitCode(), 2) << Transcript(*run);
}

} // namespace
} // namespace e2e

namespace e2e {
namespace {

TEST_F(Gateway, ConnectionLostInTheMiddleOfADownloadLosesNothing) {
    constexpr int Count = 8;
    std::map<std::string, std::string> files;
    std::set<std::string> contents;
    for (int i = 0; i < Count; ++i) {
        std::string name = "part" + std::to_string(i) + ".bin";
        files[name] = RandomBytes(MiB, 10 + i);
        contents.insert(files[name]);
        DeliverToMailbox(MessageWithAttachment(name, files[name]));
    }
    // Whatever the Inbox shows is one of the files, whole.
    auto expectOnlyWholeFiles = [&] {
        for (const auto& name : Names(inbox_)) {
            EXPECT_TRUE(contents.count(ReadFile(inbox_ + "/" + name)))
                << name << " in the Inbox is not one of the files, whole";
        }
    };
    // Cut in the middle of the fourth message (each is about 1.4 MB encoded).
    CuttingProxy proxy(static_cast<quint16>(servers_.pop3Port), 4800 * 1024);
    WriteSettings({{"InPort", std::to_string(proxy.Port())}});

    auto cut = RunOnce();
    ASSERT_TRUE(proxy.HasCut()) << Transcript(*cut);
    EXPECT_EQ(cut->ExitCode(), 1) << Transcript(*cut);
    expectOnlyWholeFiles();
    EXPECT_LT(Names(inbox_).size(), static_cast<size_t>(Count));
    EXPECT_EQ(MailboxCount(), Count) << "nothing is deleted without a finished session";

    auto again = RunOnce();
    EXPECT_EQ(again->ExitCode(), 0) << Transcript(*again);
    expectOnlyWholeFiles();
    // Every file arrived under its own name; one written before the cut
    // arrives once more, under a numbered name.
    for (const auto& [name, data] : files) {
        EXPECT_EQ(ReadFile(inbox_ + "/" + name), data) << name;
    }
    EXPECT_EQ(MailboxCount(), 0);
}

} // namespace
} // namespace e2e
