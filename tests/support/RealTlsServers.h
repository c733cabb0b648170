#pragma once
// Where the local servers of scripts/mailservers speak TLS: their ports, the
// CA that signed their certificate, a name the certificate carries and one it
// does not, and its fingerprint. Tests without them skip, or fail when
// MAILGATE_REQUIRE_SERVERS=1, as RealServers does.
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

#include "support/RealServers.h"

// Empty texts and zero ports for what the environment does not name.
struct RealTlsServers {
    static int Port(const char* name) { return std::atoi(RealServers::Env(name).c_str()); }

    // A name the certificate carries, and an address of the same servers it
    // does not carry.
    std::string host = RealServers::Env("MAILGATE_TLS_HOST");
    std::string wrongHost = RealServers::Env("MAILGATE_TLS_WRONG_HOST");
    std::string caFile = RealServers::Env("MAILGATE_CA_FILE");
    std::string fingerprint = RealServers::Env("MAILGATE_TLS_FINGERPRINT"); // as a pin takes it
    std::string user = RealServers::Env("MAILGATE_MAIL_USER");
    std::string password = RealServers::Env("MAILGATE_MAIL_PASSWORD");
    int pop3Port = Port("MAILGATE_POP3_PORT"); // plain text, STLS not offered
    int pop3StlsPort = Port("MAILGATE_POP3_STLS_PORT");
    int pop3sPort = Port("MAILGATE_POP3S_PORT");
    int smtpPort = Port("MAILGATE_SMTP_PORT"); // plain text, STARTTLS not offered
    int smtpStartTlsPort = Port("MAILGATE_SMTP_STARTTLS_PORT");
    int smtpsPort = Port("MAILGATE_SMTPS_PORT");

    bool Complete() const {
        return !host.empty() && !wrongHost.empty() && !caFile.empty() && !fingerprint.empty() &&
               !user.empty() && !password.empty() && pop3Port != 0 && pop3StlsPort != 0 &&
               pop3sPort != 0 && smtpPort != 0 && smtpStartTlsPort != 0 && smtpsPort != 0;
    }
};

inline constexpr const char* NoTlsServersText =
    "no real mail servers with TLS (run scripts/mailservers start and eval \"$(scripts/mailservers "
    "env)\")";

// In a test body or SetUp: skips without them, or fails when servers are
// required.
#define MAILGATE_NEED_TLS_SERVERS(tls)                                                             \
    do {                                                                                           \
        if (!(tls).Complete()) {                                                                   \
            if (RealServers::Required())                                                           \
                FAIL() << "required, but " << NoTlsServersText;                                    \
            GTEST_SKIP() << NoTlsServersText;                                                      \
        }                                                                                          \
    } while (0)
