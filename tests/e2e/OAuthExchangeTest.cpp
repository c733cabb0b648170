// The round trip against a mailbox that takes OAuth2 access tokens only, as
// providers that no longer take passwords do: `mailgate --sign-in both`
// through the device grant of the local provider (scripts/oauth-provider),
// approved the way a user would, then `mailgate --once` logging in with
// XOAUTH2 on POP3 and OAUTHBEARER on SMTP from the kept refresh tokens. A
// sign-in the provider revoked stops both legs, and none of the tokens ever
// issued shows up in the output, the logs or the settings file.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QUrl>

#include <regex>

#include "Gateway.h"

namespace e2e {
namespace {

constexpr int SignInDeadlineMs = 60000;
constexpr int HttpDeadlineMs = 10000;

// The provider's answer: HTTP status and JSON body; status 0 when it could
// not be reached.
struct HttpReply {
    int status = 0;
    QJsonObject json;
};

// One request to the provider, HTTP/1.0 so that it closes when done.
HttpReply Http(int port, const std::string& method, const std::string& path,
               const std::map<std::string, std::string>& form = {}) {
    std::string body;
    for (const auto& [key, value] : form) {
        body += (body.empty() ? "" : "&") + key + "=" +
                QUrl::toPercentEncoding(QString::fromStdString(value)).toStdString();
    }
    std::string request = method + " " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n";
    if (method == "POST") {
        request += "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                   std::to_string(body.size()) + "\r\n";
    }
    request += "\r\n" + body;

    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), static_cast<quint16>(port));
    if (!socket.waitForConnected(HttpDeadlineMs)) {
        return {};
    }
    socket.write(request.data(), static_cast<qint64>(request.size()));
    QByteArray answer;
    QDeadlineTimer deadline(HttpDeadlineMs);
    while (socket.state() == QAbstractSocket::ConnectedState && !deadline.hasExpired()) {
        socket.waitForReadyRead(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())));
        answer += socket.readAll();
    }
    answer += socket.readAll();
    const qsizetype headerEnd = answer.indexOf("\r\n\r\n");
    if (!answer.startsWith("HTTP/1.") || headerEnd < 0 || answer.size() < 12) {
        return {};
    }
    HttpReply reply;
    reply.status = answer.mid(9, 3).toInt();
    reply.json = QJsonDocument::fromJson(answer.mid(headerEnd + 4)).object();
    return reply;
}

class OAuthGateway : public Gateway {
protected:
    void SetUp() override {
        Gateway::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        MAILGATE_NEED_OAUTH_SERVERS(oauth_);
        // No password anywhere: the legs have their tokens or nothing.
        WriteSettings({{"InPort", std::to_string(oauth_.pop3Port)},
                       {"OutPort", std::to_string(oauth_.smtpPort)},
                       {"InAuth", "xoauth2"},
                       {"OutAuth", "oauthbearer"},
                       {"Password", ""},
                       {"Password2", ""},
                       {"OAuthDeviceUrl", oauth_.url + "/device"},
                       {"OAuthTokenUrl", oauth_.url + "/token"},
                       {"OAuthClientId", oauth_.clientId},
                       {"OAuthScope", "pop smtp offline_access"}});
        // The exception reporter's log goes where the test can read it.
        environment_ = QProcessEnvironment::systemEnvironment();
        environment_.insert(QStringLiteral("XDG_STATE_HOME"),
                            QString::fromStdString(temp_.File("state")));
        fs::create_directories(temp_.File("state"));
    }

    std::string InTokenFile() const { return temp_.File("options.in.token"); }
    std::string OutTokenFile() const { return temp_.File("options.out.token"); }

    // The refresh token a file keeps (one line).
    static std::string TokenIn(const std::string& file) {
        std::string token = ReadFile(file);
        while (!token.empty() && (token.back() == '\n' || token.back() == '\r')) {
            token.pop_back();
        }
        return token;
    }

    // Every token the provider has issued (access and refresh tokens).
    std::vector<std::string> IssuedTokens() const {
        std::vector<std::string> tokens;
        const HttpReply reply = Http(oauth_.providerPort, "GET", "/issued");
        for (const QJsonValue& token : reply.json.value(QStringLiteral("tokens")).toArray()) {
            tokens.push_back(token.toString().toStdString());
        }
        return tokens;
    }

    // A text fit for a failure message: every issued token blotted out.
    std::string Shown(std::string text) const {
        for (const std::string& token : IssuedTokens()) {
            for (std::size_t at; !token.empty() && (at = text.find(token)) != std::string::npos;) {
                text.replace(at, token.size(), "<token>");
            }
        }
        return text;
    }
    std::string Shown(const MailgateRun& run) const { return Shown(Transcript(run)); }

    std::shared_ptr<MailgateRun> Run(const QStringList& arguments) {
        auto run = std::make_shared<MailgateRun>(arguments, environment_);
        runs_.push_back(run);
        return run;
    }

    std::shared_ptr<MailgateRun> RunOnceHere() {
        auto run = Run({QStringLiteral("--once"), QStringLiteral("--config"),
                        QString::fromStdString(config_)});
        EXPECT_TRUE(run->Finish())
            << "mailgate --once did not end within " << RunDeadlineMs << " ms\n"
            << Shown(*run);
        ExpectNoSanitizerReport(*run);
        return run;
    }

    // `mailgate --sign-in both`, approved at the provider as soon as it
    // shows its code, to its end.
    void SignIn() {
        auto run = Run({QStringLiteral("--sign-in"), QStringLiteral("both"),
                        QStringLiteral("--config"), QString::fromStdString(config_)});
        ASSERT_TRUE(run->WaitForOutput("Waiting for the sign-in", SignInDeadlineMs)) << Shown(*run);
        std::smatch code;
        const std::string output = run->Output();
        ASSERT_TRUE(std::regex_search(output, code, std::regex("enter the code ([A-Z0-9-]+)")))
            << Shown(*run);
        EXPECT_NE(output.find("open " + oauth_.url + "/approve"), std::string::npos) << Shown(*run);
        const HttpReply approved =
            Http(oauth_.providerPort, "POST", "/approve", {{"user_code", code[1].str()}});
        ASSERT_EQ(approved.status, 200) << "the provider did not take the code " << code[1];
        ASSERT_TRUE(run->Finish(SignInDeadlineMs)) << Shown(*run);
        ASSERT_EQ(run->ExitCode(), 0) << Shown(*run);
        EXPECT_TRUE(run->Said("Signed in")) << Shown(*run);
    }

    void Revoke(const std::string& tokenFile) {
        const HttpReply reply =
            Http(oauth_.providerPort, "POST", "/revoke", {{"token", TokenIn(tokenFile)}});
        ASSERT_EQ(reply.status, 200) << "the provider did not revoke the token in " << tokenFile;
    }

    // No issued token in what the program printed, logged or kept in its
    // settings. The failure names the place, never the token.
    void ExpectNoTokenLeaked() const {
        std::vector<std::pair<std::string, std::string>> places;
        for (const auto& run : runs_) {
            places.emplace_back("the output of a run", Transcript(*run));
        }
        places.emplace_back(config_, ReadFile(config_));
        places.emplace_back(temp_.File("options.log"), ReadFile(temp_.File("options.log")));
        places.emplace_back("ExcMagic.Log",
                            ReadFile(temp_.File("state") + "/mailgate/ExcMagic.Log"));
        const std::vector<std::string> tokens = IssuedTokens();
        ASSERT_FALSE(tokens.empty()) << "the provider tells no issued tokens";
        for (const auto& [place, text] : places) {
            for (const std::string& token : tokens) {
                EXPECT_EQ(text.find(token), std::string::npos) << "an issued token is in " << place;
            }
        }
    }

    RealOAuthServers oauth_;
    QProcessEnvironment environment_;
    std::vector<std::shared_ptr<MailgateRun>> runs_; // every run of the test, for the leak check
};

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

TEST_F(OAuthGateway, SignedInOnceBothLegsLogInWithTokensRunAfterRun) {
    ASSERT_NO_FATAL_FAILURE(SignIn());
    for (const std::string& file : {InTokenFile(), OutTokenFile()}) {
        EXPECT_EQ(ModeOf(file), 0600u) << file;
        EXPECT_FALSE(TokenIn(file).empty()) << file;
    }
    const std::string signedIn = TokenIn(InTokenFile());

    const std::string data = PutOutboxFile("token-leg.txt", "sent and fetched with tokens\r\n");
    auto send = RunOnceHere();
    EXPECT_EQ(send->ExitCode(), 0) << Shown(*send);
    EXPECT_TRUE(send->Said("status: Files are Sent")) << Shown(*send);
    EXPECT_TRUE(Names(outbox_).empty()) << "a sent file must leave the Outbox";
    ASSERT_TRUE(WaitForMailbox(1)) << "mailbox holds " << MailboxCount() << " messages";
    // The provider rotates refresh tokens: the successor is what is kept.
    EXPECT_NE(TokenIn(InTokenFile()), signedIn);

    // A second run starts from the refresh tokens the first one left.
    auto receive = RunOnceHere();
    EXPECT_EQ(receive->ExitCode(), 0) << Shown(*receive);
    ExpectInboxHolds({{"token-leg.txt", data}});
    EXPECT_EQ(MailboxCount(), 0) << "a received message must be deleted on the server";
    for (const std::string& file : {InTokenFile(), OutTokenFile()}) {
        EXPECT_EQ(ModeOf(file), 0600u) << file << " after a rotation";
    }
    EXPECT_FALSE(ReadFile(temp_.File("options.log")).empty()) << "the exchange log was written";
    ExpectNoTokenLeaked();
}

TEST_F(OAuthGateway, RevokedSignInStopsBothLegsUntilSignedInAgain) {
    ASSERT_NO_FATAL_FAILURE(SignIn());
    ASSERT_NO_FATAL_FAILURE(Revoke(InTokenFile()));
    ASSERT_NO_FATAL_FAILURE(Revoke(OutTokenFile()));
    const std::string waiting = "Subject: waiting\r\n\r\nfor a new sign-in\r\n";
    DeliverToMailbox(waiting);
    PutOutboxFile("held.txt", "held until signed in again\r\n");

    // A new process has no access token of its own: only the refresh token.
    auto refused = RunOnceHere();
    EXPECT_TRUE(refused->Said("Sign-in expired: run mailgate --sign-in")) << Shown(*refused);
    EXPECT_FALSE(refused->Said("Files are Sent")) << Shown(*refused);
    EXPECT_EQ(Names(outbox_), std::set<std::string>{"held.txt"}) << "nothing may be sent";
    EXPECT_TRUE(Names(inbox_).empty()) << "nothing may be received";
    EXPECT_EQ(MailboxCount(), 1) << "the waiting message must stay on the server";

    ASSERT_NO_FATAL_FAILURE(SignIn());
    auto again = RunOnceHere();
    EXPECT_EQ(again->ExitCode(), 0) << Shown(*again);
    EXPECT_TRUE(again->Said("status: Files are Sent")) << Shown(*again);
    EXPECT_TRUE(Names(outbox_).empty()) << "the held file must go once signed in again";
    ExpectNoTokenLeaked();
}

// The mailbox really is closed to passwords, so the round trips above prove
// the tokens: the right password opens neither leg.
TEST_F(OAuthGateway, PasswordOpensNeitherLeg) {
    WriteSettings({{"InPort", std::to_string(oauth_.pop3Port)}, {"InAuth", "plain"}});
    DeliverToMailbox("Subject: kept\r\n\r\nfor token holders only\r\n");
    auto pop3 = RunOnceHere();
    EXPECT_TRUE(pop3->Said("does not offer PLAIN")) << Transcript(*pop3);
    EXPECT_EQ(MailboxCount(), 1) << Transcript(*pop3);
    EXPECT_TRUE(Names(inbox_).empty());

    // The POP3 leg through the password mailbox, so that the cycle gets as
    // far as sending.
    WriteSettings({{"OutPort", std::to_string(oauth_.smtpPort)}, {"OutAuth", "plain"}});
    PutOutboxFile("refused.txt", "not with a password\r\n");
    auto smtp = RunOnceHere();
    EXPECT_TRUE(smtp->Said("Send failed")) << Transcript(*smtp);
    EXPECT_FALSE(smtp->Said("Files are Sent")) << Transcript(*smtp);
    EXPECT_EQ(Names(outbox_), std::set<std::string>{"refused.txt"}) << Transcript(*smtp);
}

} // namespace
} // namespace e2e
