// The control's dialogue as scenario files (tests/data/smtp/*.txt, the format
// is in support/ScriptedPeer.h), a test each, with the message of
// LoopbackSmtp. The "!" lines, in file order:
//   send: recipient        sends the message to recipient; it must succeed
//                          unless the next lines say how it failed (code)
//   username: u | password: p | connect-timeout: s | transfer-timeout: s
//   security: auto|tls|starttls|none
//                          settings, from here on
//   code: N M ...          the last send failed with one of these codes
//   code: failed           ... with any code and a description
//   description-starts: text | description-has: text
//                          the last send's description; {port} stands for
//                          the server's port
//   statuses: 1 2          the statuses the last send reported, in order
//   data-starts: text | data-has: text
//                          the last message the server received in full
//   connections: N         the connections made so far
//   wire: exact            checked at the end, once the control is gone
// Every send is given 20 s: one that waits for ever fails its test instead
// of hanging it. The end also checks that the file sent is unchanged.
#include "SmtpTestSupport.h"

#include <QTimer>
#include <algorithm>
#include <functional>
#include <optional>
#include <sstream>

#include "support/ScenarioRun.h"

namespace {

std::vector<std::string> Words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string w; in >> w;) {
        words.push_back(w);
    }
    return words;
}

std::string Joined(const std::vector<int>& numbers) {
    std::string all;
    for (int n : numbers) {
        all += (all.empty() ? "" : " ") + std::to_string(n);
    }
    return all;
}

class SmtpScenario : public ::testing::TestWithParam<std::string>, public LoopbackSmtp {
protected:
    void Send(const std::string& recipient) {
        ExpectFailureClaimed();
        Address(recipient);
        statuses.clear();
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, [this] { smtp.reset(); });
        guard.start(20000);
        code_ = smtp->Send(message, -1, description_);
        ASSERT_NE(smtp, nullptr) << "the send to " << recipient << " never ended";
        claimed_ = false;
    }

    void ExpectFailureClaimed() {
        if (!claimed_) {
            EXPECT_EQ(code_, 0) << description_;
        }
        claimed_ = true;
    }

    void ExpectCode(const std::string& codes) {
        claimed_ = true;
        if (codes == "failed") {
            EXPECT_NE(code_, 0);
            EXPECT_FALSE(description_.empty());
            return;
        }
        const std::vector<std::string> allowed = Words(codes);
        EXPECT_NE(std::find(allowed.begin(), allowed.end(), std::to_string(code_)), allowed.end())
            << code_ << " " << description_;
    }

    std::string WithPort(std::string text) const {
        std::size_t at = text.find("{port}");
        if (at != std::string::npos) {
            text.replace(at, 6, std::to_string(peer.Port()));
        }
        return text;
    }

    std::string LastMessage() const {
        std::vector<std::string> messages = peer.Messages();
        return messages.empty() ? "" : messages.back();
    }

    ScriptedPeer peer;
    int code_ = 0;
    std::string description_;
    bool claimed_ = true;
};

TEST_P(SmtpScenario, Plays) {
    const ScenarioFile file = LoadScenario(peer, GetParam());
    smtp->SetSmtpPort(peer.Port());
    PlayOutcome(
        file,
        {
            {"send", [&](const std::string& to) { Send(to); }},
            {"username", [&](const std::string& v) { smtp->SetSmtpUsername(v); }},
            {"password", [&](const std::string& v) { smtp->SetSmtpPassword(v); }},
            {"auth",
             [&](const std::string& v) {
                 std::optional<TAuthMethod> method = ParseAuthMethod(v);
                 ASSERT_TRUE(method) << v;
                 smtp->SetSmtpAuth(*method);
             }},
            {"security",
             [&](const std::string& v) {
                 std::optional<TSecurity> security = ParseSecurity(v);
                 ASSERT_TRUE(security) << v;
                 smtp->SetSecurity(*security);
             }},
            {"connect-timeout",
             [&](const std::string& v) { smtp->SetConnectTimeout(std::stoi(v)); }},
            {"transfer-timeout",
             [&](const std::string& v) { smtp->SetTransferTimeout(std::stoi(v)); }},
            {"code", [&](const std::string& v) { ExpectCode(v); }},
            {"description-starts",
             [&](const std::string& v) {
                 EXPECT_EQ(description_.rfind(WithPort(v), 0), 0u) << description_;
             }},
            {"description-has",
             [&](const std::string& v) {
                 EXPECT_NE(description_.find(WithPort(v)), std::string::npos) << description_;
             }},
            {"statuses", [&](const std::string& v) { EXPECT_EQ(Joined(statuses), v); }},
            {"data-starts",
             [&](const std::string& v) {
                 EXPECT_EQ(LastMessage().rfind(v, 0), 0u) << LastMessage().substr(0, 300);
             }},
            {"data-has",
             [&](const std::string& v) { EXPECT_NE(LastMessage().find(v), std::string::npos); }},
            {"connections",
             [&](const std::string& v) { EXPECT_EQ(std::to_string(peer.Connections()), v); }},
        });
    if (HasFatalFailure()) {
        return;
    }
    ExpectFailureClaimed();

    smtp.reset(); // ends the connections it keeps
    ExpectScriptsKept(peer, file);
    EXPECT_EQ(dir.Read("file.bin"), std::string(200000, 'x'));
}

INSTANTIATE_TEST_SUITE_P(Files, SmtpScenario,
                         ::testing::ValuesIn(ScenarioFile::In(MAILGATE_TEST_DATA "/smtp")),
                         [](const auto& info) { return ScenarioFile::TestName(info.param); });

} // namespace
