#pragma once
// The real mail servers that scripts/mailservers starts on loopback. Tests
// that need them read where they are from the environment; without it they
// skip, unless MAILGATE_REQUIRE_SERVERS=1 (set by the full test run), where a
// missing server is a failure.
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

struct RealServers {
    std::string host = "127.0.0.1";
    int pop3Port = 0;
    int smtpPort = 0;
    std::string user;     // POP3 and SMTP AUTH user
    std::string password; // its password
    std::string address;  // the mailbox's address, delivered into maildir
    std::string maildir;  // Maildir the POP3 server serves (cur/ new/ tmp/)
    std::string script;   // scripts/mailservers, to stop and start them in tests

    static std::string Env(const char* name) {
        const char* v = std::getenv(name);
        return v ? v : "";
    }

    // Empty pop3Port/smtpPort when the environment names no servers.
    static RealServers FromEnvironment() {
        RealServers s;
        s.pop3Port = std::atoi(Env("MAILGATE_POP3_PORT").c_str());
        s.smtpPort = std::atoi(Env("MAILGATE_SMTP_PORT").c_str());
        s.user = Env("MAILGATE_MAIL_USER");
        s.password = Env("MAILGATE_MAIL_PASSWORD");
        s.address = Env("MAILGATE_MAIL_ADDRESS");
        s.maildir = Env("MAILGATE_MAILDIR");
        s.script = Env("MAILGATE_SERVERS_SCRIPT");
        return s;
    }

    static bool Required() { return Env("MAILGATE_REQUIRE_SERVERS") == "1"; }
};

// In a test body: skips (or fails, when servers are required) without them.
#define MAILGATE_NEED_SERVERS(servers)                                                             \
    do {                                                                                           \
        if ((servers).pop3Port == 0 || (servers).smtpPort == 0) {                                  \
            if (RealServers::Required())                                                           \
                FAIL() << "real mail servers required but MAILGATE_POP3_PORT/SMTP_PORT unset";     \
            GTEST_SKIP() << "no real mail servers (run scripts/mailservers start)";                \
        }                                                                                          \
    } while (0)

// The mailbox of the local servers that takes OAuth2 access tokens only
// (XOAUTH2, OAUTHBEARER; no password), and the provider that issues them
// (scripts/oauth-provider). Same user, address and Maildir as above.
struct RealOAuthServers {
    int pop3Port = std::atoi(RealServers::Env("MAILGATE_OAUTH_POP3_PORT").c_str());
    int smtpPort = std::atoi(RealServers::Env("MAILGATE_OAUTH_SMTP_PORT").c_str());
    int providerPort = std::atoi(RealServers::Env("MAILGATE_OAUTH_PROVIDER_PORT").c_str());
    std::string url = RealServers::Env("MAILGATE_OAUTH_URL"); // http://127.0.0.1:<port>
    std::string clientId = RealServers::Env("MAILGATE_OAUTH_CLIENT_ID");

    bool Complete() const {
        return pop3Port != 0 && smtpPort != 0 && providerPort != 0 && !url.empty() &&
               !clientId.empty();
    }
};

// In a test body or SetUp: skips without them, or fails when servers are
// required.
#define MAILGATE_NEED_OAUTH_SERVERS(oauth)                                                         \
    do {                                                                                           \
        if (!(oauth).Complete()) {                                                                 \
            if (RealServers::Required())                                                           \
                FAIL() << "real mail servers required but MAILGATE_OAUTH_* unset (run "            \
                          "scripts/mailservers start and eval \"$(scripts/mailservers env)\")";    \
            GTEST_SKIP() << "no OAuth2-only mail servers (run scripts/mailservers start)";         \
        }                                                                                          \
    } while (0)
