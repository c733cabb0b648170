// The POP3 client's dialogue as scenario files (tests/data/pop3/*.txt, the
// format is in support/ScriptedPeer.h), a test each. The client logs in as
// "bob" with "secret", keeps files in a fresh Inbox and waits 10 s at most.
// The "!" lines, in file order:
//   connect | retrieve: N | disconnect | abort
//                          a client action; it must not raise unless the
//                          next lines say what it raised (error)
//   delete-on-read: yes | parse: yes | max-message-bytes: N | timeout: ms
//   security: auto | tls | starttls | none
//   auth: auto | user | plain | login | cram-md5 | xoauth2 | oauthbearer
//   password: text         settings, from here on
//   error: text            the last action raised Exception text
//   events: connect start end
//                          the handlers the last action called, in order
//   count: N | connected: yes|no | busy: yes|no
//   body: text             the last message's body lines, each ended by \n
//   files: a.txt b.txt     everything in the Inbox, sorted ("" for nothing)
//   file: name = text      the content of one Inbox file
//   wire: exact            checked at the end, once the client has closed
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ScriptedPop3.h"
#include "support/Failure.h"
#include "support/ScenarioRun.h"

namespace {

std::string Joined(const std::vector<std::string>& words) {
    std::string all;
    for (const std::string& w : words) {
        all += (all.empty() ? "" : " ") + w;
    }
    return all;
}

std::string YesNo(bool value) {
    return value ? "yes" : "no";
}

class Pop3Scenario : public ::testing::TestWithParam<std::string>, public ScriptedPop3 {
protected:
    // Runs a client action, after making sure what the one before raised
    // was expected.
    void Act(const std::string& name, const std::function<void()>& action) {
        ExpectRaisedClaimed();
        action_ = name;
        events.clear();
        raised_ = FailureOf(action);
        claimed_ = false;
    }

    void ExpectRaisedClaimed() {
        if (!claimed_) {
            EXPECT_EQ(raised_, NothingRaised) << "raised by " << action_;
        }
        claimed_ = true;
    }

    std::string Body() const {
        std::string text;
        const TStringList& body = pop.MailMessage().RawBody;
        for (int i = 0; i < body.Count(); ++i) {
            text += body[i] + "\n";
        }
        return text;
    }

    std::string InboxListing() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(inbox.Path())) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return Joined(names);
    }

    void ExpectFile(const std::string& value) {
        std::size_t split = value.find(" = ");
        ASSERT_NE(split, std::string::npos) << "file: " << value;
        EXPECT_EQ(inbox.Read(value.substr(0, split)), value.substr(split + 3));
    }

    std::string action_;
    std::string raised_;
    bool claimed_ = true;
};

TEST_P(Pop3Scenario, Plays) {
    const ScenarioFile file = LoadScenario(peer, GetParam());
    PlayOutcome(
        file,
        {
            {"connect", [&](const std::string&) { Act("connect", [&] { pop.Connect(); }); }},
            {"retrieve",
             [&](const std::string& n) {
                 Act("retrieve " + n, [&] { pop.RetrieveMessage(std::stoi(n)); });
             }},
            {"disconnect",
             [&](const std::string&) { Act("disconnect", [&] { pop.Disconnect(); }); }},
            {"abort", [&](const std::string&) { Act("abort", [&] { pop.Abort(); }); }},
            {"delete-on-read", [&](const std::string& v) { pop.SetDeleteOnRead(v == "yes"); }},
            {"parse", [&](const std::string& v) { pop.SetParse(v == "yes"); }},
            {"max-message-bytes",
             [&](const std::string& v) { pop.SetMaxMessageBytes(std::stoul(v)); }},
            {"timeout", [&](const std::string& v) { pop.SetTimeOut(std::stoi(v)); }},
            {"security",
             [&](const std::string& v) {
                 std::optional<TSecurity> security = ParseSecurity(v);
                 ASSERT_TRUE(security.has_value()) << "security: " << v;
                 pop.SetSecurity(*security);
             }},
            {"auth",
             [&](const std::string& v) {
                 std::optional<TAuthMethod> method = ParseAuthMethod(v);
                 ASSERT_TRUE(method.has_value()) << "auth: " << v;
                 pop.SetAuth(*method);
             }},
            {"password", [&](const std::string& v) { pop.SetPassword(v); }},
            {"error",
             [&](const std::string& text) {
                 EXPECT_EQ(raised_, text);
                 claimed_ = true;
             }},
            {"events", [&](const std::string& v) { EXPECT_EQ(Joined(events), v); }},
            {"count", [&](const std::string& v) { EXPECT_EQ(std::to_string(pop.MailCount()), v); }},
            {"connected", [&](const std::string& v) { EXPECT_EQ(YesNo(pop.Connected()), v); }},
            {"busy", [&](const std::string& v) { EXPECT_EQ(YesNo(pop.Busy()), v); }},
            {"body", [&](const std::string& v) { EXPECT_EQ(Body(), v); }},
            {"files", [&](const std::string& v) { EXPECT_EQ(InboxListing(), v); }},
            {"file", [&](const std::string& v) { ExpectFile(v); }},
        });
    ExpectRaisedClaimed();
    ExpectScriptsKept(peer, file);
}

INSTANTIATE_TEST_SUITE_P(Files, Pop3Scenario,
                         ::testing::ValuesIn(ScenarioFile::In(MAILGATE_TEST_DATA "/pop3")),
                         [](const auto& info) { return ScenarioFile::TestName(info.param); });

} // namespace
