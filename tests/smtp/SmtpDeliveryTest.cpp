// Sending through the real Postfix (with AUTH) that scripts/mailservers
// starts, and reading back what it delivered.
#include "SmtpTestSupport.h"

#include <QTimer>
#include <sys/stat.h>

namespace {

std::string Bytes(size_t size, unsigned seed) {
    std::string s(size, '\0');
    unsigned v = seed;
    for (char& c : s) {
        v = v * 1103515245u + 12345u;
        c = char(v >> 16);
    }
    return s;
}

struct FileState {
    std::string bytes;
    struct timespec mtime;
};

FileState StateOf(const TempDir& dir, const std::string& name) {
    struct stat st {};
    stat(dir.File(name).c_str(), &st);
    return {dir.Read(name), st.st_mtim};
}

using SmtpDelivery = RealSmtpFixture;

TEST_F(SmtpDelivery, DeliversSenderRecipientTextAndTheFileUnchanged) {
    MAILGATE_NEED_SERVERS(servers);
    const std::string subject = UniqueSubject("QX7");
    message->SetSubject(subject);
    dir.Write("report.bin", Bytes(100000, 1));
    FileState before = StateOf(dir, "report.bin");
    Address(ProbeAddress(), dir.File("report.bin"));

    std::string description = "untouched";
    int code = smtp.Send(message, -1, description);

    ASSERT_EQ(code, 0) << description;
    EXPECT_EQ(description, "");
    ASSERT_EQ(statuses.size(), 2u);
    EXPECT_EQ(statuses[0].second, TSmtpMail::StatusSending);
    EXPECT_EQ(statuses[1].second, TSmtpMail::StatusSent);
    EXPECT_EQ(statuses[0].first, statuses[1].first);
    EXPECT_EQ(smtp.GetErrorCode(statuses[1].first), 0);

    std::string delivered = WaitForDelivered(ProbeMaildir(servers), subject);
    ASSERT_FALSE(delivered.empty()) << "not delivered";
    ParsedMail mail = ParseWithPython(delivered, dir);
    const QJsonObject& j = mail.json;
    EXPECT_EQ(j["From"].toString(), "gateway@example.org");
    EXPECT_EQ(j["Sender"].toString(), "gateway@example.org");
    EXPECT_EQ(j["To"].toString().toStdString(), ProbeAddress());
    EXPECT_EQ(j["recipients"].toInt(), 1);
    EXPECT_FALSE(j["Date"].isNull());
    EXPECT_FALSE(j["Message-ID"].isNull());
    EXPECT_EQ(j["MIME-Version"].toString(), "1.0");
    EXPECT_EQ(j["type"].toString(), "multipart/mixed");
    QJsonArray parts = j["parts"].toArray();
    ASSERT_EQ(parts.size(), 2);
    EXPECT_EQ(parts[0].toObject()["type"].toString(), "text/plain");
    EXPECT_FALSE(parts[0].toObject()["text"].toString().isEmpty());
    QJsonObject file = parts[1].toObject();
    EXPECT_EQ(file["type"].toString(), "application/octet-stream");
    EXPECT_EQ(file["disposition"].toString(), "attachment");
    EXPECT_EQ(file["cte"].toString(), "base64");
    EXPECT_EQ(file["filename"].toString(), "report.bin");
    EXPECT_EQ(file["name"].toString(), "report.bin");
    EXPECT_EQ(mail.partBytes[1], before.bytes);

    FileState after = StateOf(dir, "report.bin");
    EXPECT_EQ(after.bytes, before.bytes);
    EXPECT_EQ(after.mtime.tv_sec, before.mtime.tv_sec);
    EXPECT_EQ(after.mtime.tv_nsec, before.mtime.tv_nsec);
}

TEST_F(SmtpDelivery, FileNamesWithBlanksNonAsciiLettersAndQuotesArriveAsTheyWere) {
    MAILGATE_NEED_SERVERS(servers);
    for (const std::string name : {"with blanks in it.txt", "Grüße, Ærø & 東京.dat",
                                   "say \"cheese\".txt", "a 'single' back\\slash %41*=;.txt"}) {
        SCOPED_TRACE(name);
        const std::string subject = UniqueSubject("names");
        message->SetSubject(subject);
        dir.Write(name, "content of " + name);
        Address(ProbeAddress(), dir.File(name));
        std::string description;
        ASSERT_EQ(smtp.Send(message, -1, description), 0) << description;
        std::string delivered = WaitForDelivered(ProbeMaildir(servers), subject);
        ASSERT_FALSE(delivered.empty());
        ParsedMail mail = ParseWithPython(delivered, dir);
        QJsonObject file = mail.json["parts"].toArray()[1].toObject();
        EXPECT_EQ(file["filename"].toString().toStdString(), name);
        EXPECT_EQ(file["name"].toString().toStdString(), name);
        EXPECT_EQ(mail.partBytes[1], "content of " + name);
    }
}

TEST_F(SmtpDelivery, EmptyAndTwentyFiveMegabyteFilesArriveWhole) {
    MAILGATE_NEED_SERVERS(servers);
    const std::vector<std::pair<std::string, size_t>> files = {{"empty.dat", 0},
                                                               {"big.dat", 25 * 1000 * 1000}};
    for (const auto& [name, size] : files) {
        SCOPED_TRACE(name);
        const std::string subject = UniqueSubject("size");
        message->SetSubject(subject);
        const std::string content = Bytes(size, unsigned(size));
        dir.Write(name, content);
        Address(ProbeAddress(), dir.File(name));
        int64_t lastSent = -1, total = -1;
        smtp.OnProgress = [&](TObject*, int, int64_t sent, int64_t all) {
            lastSent = sent;
            total = all;
        };
        int ticks = 0;
        QTimer timer;
        timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
        timer.start(1);
        std::string description;
        ASSERT_EQ(smtp.Send(message, -1, description), 0) << description;
        timer.stop();
        EXPECT_EQ(lastSent, total);
        if (size > 0) {
            EXPECT_GT(ticks, 0) << "the event loop did not run while sending";
        }
        std::string delivered = WaitForDelivered(ProbeMaildir(servers), subject, 60000);
        ASSERT_FALSE(delivered.empty());
        ParsedMail mail = ParseWithPython(delivered, dir);
        ASSERT_EQ(mail.json["parts"].toArray().size(), 2);
        EXPECT_TRUE(mail.partBytes[1] == content) << "decoded size " << mail.partBytes[1].size();
    }
}

TEST_F(SmtpDelivery, SecondSendAfterClearingCarriesNothingOfTheFirst) {
    MAILGATE_NEED_SERVERS(servers);
    dir.Write("first.txt", "first");
    dir.Write("second.txt", "second");
    const std::string firstSubject = UniqueSubject("first");
    message->SetSubject(firstSubject);
    Address("test@example.test", dir.File("first.txt"));
    // The first goes to a recipient the server refuses, so whatever of it
    // leaked into the second would make the second fail or arrive twice.
    message->ClearRecipients();
    IMailAddressPtr refused = CoMailAddress::Create();
    refused->SetAddress("nobody@example.test");
    message->AddRecipient(refused);
    std::string description;
    EXPECT_EQ(smtp.Send(message, -1, description), 550);

    const std::string subject = UniqueSubject("second");
    message->SetSubject(subject);
    Address(ProbeAddress(), dir.File("second.txt"));
    ASSERT_EQ(message->Recipients().size(), 1u);
    ASSERT_EQ(message->Attachments().size(), 1u);
    ASSERT_EQ(smtp.Send(message, -1, description), 0) << description;
    std::string delivered = WaitForDelivered(ProbeMaildir(servers), subject);
    ASSERT_FALSE(delivered.empty());
    ParsedMail mail = ParseWithPython(delivered, dir);
    EXPECT_EQ(mail.json["To"].toString().toStdString(), ProbeAddress());
    QJsonArray parts = mail.json["parts"].toArray();
    ASSERT_EQ(parts.size(), 2);
    EXPECT_EQ(parts[1].toObject()["filename"].toString(), "second.txt");
    EXPECT_EQ(mail.partBytes[1], "second");
}

TEST_F(SmtpDelivery, WrongPasswordIsRefusedWithTheServersCodeAndText) {
    MAILGATE_NEED_SERVERS(servers);
    smtp.SetSmtpPassword("not-" + servers.password);
    dir.Write("f.txt", "x");
    Address(ProbeAddress(), dir.File("f.txt"));
    std::string description;
    int code = smtp.Send(message, -1, description);
    EXPECT_EQ(code, 535);
    EXPECT_NE(description.find("refused the user name or password"), std::string::npos)
        << description;
    EXPECT_NE(description.find("server reply: \"535"), std::string::npos) << description;
    ASSERT_EQ(statuses.size(), 2u);
    EXPECT_EQ(statuses[1].second, TSmtpMail::StatusFailed);
    EXPECT_EQ(smtp.GetErrorCode(statuses[1].first), 535);
    EXPECT_EQ(smtp.GetErrorText(statuses[1].first), description);

    // The right password on the same control works again at once.
    smtp.SetSmtpPassword(servers.password);
    EXPECT_EQ(smtp.Send(message, -1, description), 0) << description;
}

TEST_F(SmtpDelivery, WithoutCredentialsTheServerRefusesTheRecipient) {
    MAILGATE_NEED_SERVERS(servers);
    smtp.SetSmtpUsername("");
    dir.Write("f.txt", "x");
    Address(ProbeAddress(), dir.File("f.txt"));
    std::string description;
    EXPECT_EQ(smtp.Send(message, -1, description), 554) << description;
}

TEST_F(SmtpDelivery, RefusedRecipientGivesTheReplyCodeAndNamesTheRecipient) {
    MAILGATE_NEED_SERVERS(servers);
    dir.Write("f.txt", "x");
    Address("nobody@example.test", dir.File("f.txt"));
    std::string description;
    EXPECT_EQ(smtp.Send(message, -1, description), 550);
    EXPECT_NE(description.find("refused the recipient <nobody@example.test>"), std::string::npos)
        << description;
    EXPECT_NE(description.find("server reply: \"550"), std::string::npos) << description;
}

TEST_F(SmtpDelivery, MissingOrUnreadableAttachmentFailsBeforeConnecting) {
    MAILGATE_NEED_SERVERS(servers);
    smtp.SetSmtpPort(1); // nothing listens: proves no connection was tried
    std::string description;
    Address(ProbeAddress(), dir.File("gone.txt"));
    EXPECT_EQ(smtp.Send(message, -1, description), TSmtpMail::ErrorReadAttachment);
    EXPECT_NE(description.find("Cannot open file " + dir.File("gone.txt")), std::string::npos)
        << description;
    ASSERT_EQ(statuses.size(), 2u);
    EXPECT_EQ(statuses[1].second, TSmtpMail::StatusFailed);

    // Root reads any file, so a folder stands for an unreadable attachment.
    Address(ProbeAddress(), dir.Path());
    EXPECT_EQ(smtp.Send(message, -1, description), TSmtpMail::ErrorReadAttachment);
    EXPECT_NE(description.find("not a regular file"), std::string::npos) << description;
}

} // namespace
