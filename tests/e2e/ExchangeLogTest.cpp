// The exchange log of two real runs: a file sent through the real SMTP
// server and received back through the real POP3 server leave a `sent` and
// a `received` line that tell the same file, with the server's verdict.
#include "Gateway.h"

namespace e2e {
namespace {

std::vector<std::string> FieldsOfLine(const std::string& text, const std::string& event) {
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::vector<std::string> fields;
        std::istringstream cells(line);
        std::string cell;
        while (std::getline(cells, cell, '\t')) {
            fields.push_back(cell);
        }
        if (fields.size() > 1 && fields[1] == event) {
            return fields;
        }
    }
    return {};
}

TEST_F(Gateway, ExchangeLogTellsWhatWentOutAndCameInAcrossARotation) {
    const std::string data = PutOutboxFile("report.txt", "for the exchange log\n");
    auto send = RunOnce();
    EXPECT_EQ(send->ExitCode(), 0) << Transcript(*send);
    ASSERT_TRUE(WaitForMailbox(1));
    // Rotated between the runs: the receiving run starts a new file.
    const std::string log = temp_.File("options.log");
    fs::rename(log, log + ".1");
    auto receive = RunOnce();
    EXPECT_EQ(receive->ExitCode(), 0) << Transcript(*receive);
    ExpectInboxHolds({{"report.txt", data}});

    const std::string sentText = ReadFile(log + ".1");
    const std::string receivedText = ReadFile(log);
    const std::vector<std::string> sent = FieldsOfLine(sentText, "sent");
    const std::vector<std::string> received = FieldsOfLine(receivedText, "received");
    ASSERT_EQ(sent.size(), 8u) << sentText;
    ASSERT_EQ(received.size(), 8u) << receivedText;
    EXPECT_EQ(FieldsOfLine(sentText, "received").size(), 0u) << sentText;
    // name, size and digest of the same bytes on both sides
    EXPECT_EQ(sent[2], "report.txt");
    EXPECT_EQ(sent[3], std::to_string(data.size()));
    EXPECT_EQ(sent[4].size(), 16u);
    EXPECT_EQ(std::vector<std::string>(received.begin() + 2, received.begin() + 5),
              std::vector<std::string>(sent.begin() + 2, sent.begin() + 5));
    EXPECT_EQ(sent[5], servers_.address);
    EXPECT_EQ(sent[6].rfind("<mg.", 0), 0u) << sent[6];
    EXPECT_EQ(sent[7].rfind("250 ", 0), 0u) << sent[7];
    EXPECT_FALSE(received[5].empty()) << "the UIDL";
    EXPECT_EQ(received[6], sent[6]) << "the Message-ID mailgate gave it";
    EXPECT_NE(received[7].find(servers_.address), std::string::npos) << received[7];
    for (const std::string* text : {&sentText, &receivedText}) {
        EXPECT_EQ(text->find(servers_.password), std::string::npos) << "a password is in the log";
    }
}

} // namespace
} // namespace e2e
