// The POP3 client against the real Dovecot that scripts/mailservers starts.
#include <QDir>
#include <QFile>
#include <algorithm>
#include <gtest/gtest.h>
#include <iostream>
#include <set>
#include <string>
#include <unistd.h>

#include "pop3/NMpop3.h"
#include "support/RealServers.h"
#include "support/TempDir.h"

namespace {

// Delivers a message into the Maildir the server serves, as its delivery
// agent would: written under tmp/, then moved into new/.
void Deliver(const RealServers& servers, const std::string& name, const std::string& text) {
    std::string tmp = servers.maildir + "/tmp/" + name;
    std::string target = servers.maildir + "/new/" + name;
    QFile file(QString::fromStdString(tmp));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << tmp;
    file.write(text.data(), static_cast<qint64>(text.size()));
    file.close();
    // The server reads its mail as this user; ignore failure when we are it.
    (void)!::chown(tmp.c_str(), 65534, 65534);
    ASSERT_EQ(::rename(tmp.c_str(), target.c_str()), 0) << target;
}

int MessagesIn(const std::string& folder) {
    return static_cast<int>(
        QDir(QString::fromStdString(folder)).entryList(QDir::Files | QDir::NoDotAndDotDot).size());
}

TNMPOP3& Configure(TNMPOP3& pop, const RealServers& servers, const TempDir& inbox) {
    pop.SetHost(servers.host);
    pop.SetPort(servers.pop3Port);
    pop.SetUserID(servers.user);
    pop.SetPassword(servers.password);
    pop.SetAttachFilePath(inbox.Path());
    pop.SetParse(true);
    pop.SetDeleteOnRead(true);
    pop.SetTimeOut(20000);
    return pop;
}

// A client configured for the real server, attachments into a fresh inbox;
// the test skips without the server.
class NMpop3Dovecot : public ::testing::Test {
protected:
    void SetUp() override {
        MAILGATE_NEED_SERVERS(servers);
        Configure(pop, servers, inbox);
    }

    RealServers servers = RealServers::FromEnvironment();
    TempDir inbox;
    TNMPOP3 pop;
};

} // namespace

TEST_F(NMpop3Dovecot, RetrievesEveryMessageAndEmptiesTheMailbox) {

    // Whatever an earlier run left behind goes first.
    pop.Connect();
    for (int i = 1; i <= pop.MailCount(); ++i) {
        pop.RetrieveMessage(i);
    }
    pop.Disconnect();

    std::string id = std::to_string(::getpid());
    Deliver(servers, id + ".a.mailgate",
            "From: a@example.test\r\nSubject: first\r\n\r\nline one\r\n..dotted\r\n");
    Deliver(servers, id + ".b.mailgate",
            "From: b@example.test\r\nSubject: second\r\n\r\nsecond body\r\n");
    Deliver(servers, id + ".c.mailgate",
            "From: c@example.test\r\nSubject: third\r\n\r\nthird body\r\n");

    pop.Connect();
    // Other tests may deliver into the same mailbox meanwhile.
    ASSERT_GE(pop.MailCount(), 3);
    std::vector<std::string> bodies;
    for (int i = 1; i <= pop.MailCount(); ++i) {
        pop.RetrieveMessage(i);
        const TStringList& raw = pop.MailMessage().RawBody;
        std::string joined;
        for (const std::string& line : raw) {
            joined += line + "|";
        }
        bodies.push_back(joined);
    }
    pop.Disconnect();
    EXPECT_FALSE(pop.Connected());
    for (const char* expected : {"line one|..dotted|", "second body|", "third body|"}) {
        EXPECT_NE(std::find(bodies.begin(), bodies.end(), expected), bodies.end()) << expected;
    }

    pop.Connect();
    EXPECT_EQ(pop.MailCount(), 0);
    pop.Disconnect();
    EXPECT_EQ(MessagesIn(servers.maildir + "/new") + MessagesIn(servers.maildir + "/cur"), 0);
}

// Each log-in method the server offers (scripts/mailservers: PLAIN, LOGIN
// and CRAM-MD5 besides USER/PASS), with the right password and a wrong one.
TEST_F(NMpop3Dovecot, EachLogInMethodLogsInAndAWrongPasswordIsRefused) {
    const std::string refused = "; the server said \"-ERR [AUTH] Authentication failed.\"";
    struct Row {
        TAuthMethod method;
        std::string wrongPassword;
    };
    const Row rows[] = {
        {TAuthMethod::User, "Authentication failed"},
        {TAuthMethod::Plain, "POP3 log-in with PLAIN refused" + refused},
        {TAuthMethod::Login, "POP3 log-in with LOGIN refused" + refused},
        {TAuthMethod::CramMd5, "POP3 log-in with CRAM-MD5 refused" + refused},
        {TAuthMethod::Auto, "POP3 log-in with CRAM-MD5 refused" + refused},
    };
    pop.Connect();
    const std::set<std::string> offered = pop.SaslMechanisms();
    pop.Disconnect();
    for (const Row& row : rows) {
        const std::string name = AuthMethodWord(row.method);
        if (row.method == TAuthMethod::CramMd5 || row.method == TAuthMethod::Auto) {
            if (offered.count("CRAM-MD5") == 0) {
                // A server started before scripts/mailservers offered it.
                std::cout << "CRAM-MD5 not offered by this server: " << name << " not tried\n";
                continue;
            }
        }
        pop.SetAuth(row.method);
        pop.SetPassword(servers.password);
        EXPECT_NO_THROW(pop.Connect()) << name;
        EXPECT_TRUE(pop.Connected()) << name;
        pop.Disconnect();

        pop.SetPassword("not-the-password");
        try {
            pop.Connect();
            ADD_FAILURE() << name << ": wrong password accepted";
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), row.wrongPassword) << name;
        }
        EXPECT_FALSE(pop.Connected()) << name;
    }
}
