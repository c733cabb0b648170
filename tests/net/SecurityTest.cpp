// The security words of the settings and what "auto" means for a server.
#include <gtest/gtest.h>

#include "net/Security.h"

namespace {

TEST(Security, WordsOfTheSettings) {
    EXPECT_EQ(ParseSecurity(""), TSecurity::Auto);
    EXPECT_EQ(ParseSecurity(" Auto "), TSecurity::Auto);
    EXPECT_EQ(ParseSecurity("TLS"), TSecurity::Tls);
    EXPECT_EQ(ParseSecurity("starttls"), TSecurity::StartTls);
    EXPECT_EQ(ParseSecurity("none"), TSecurity::None);
    EXPECT_EQ(ParseSecurity("ssl"), std::nullopt);
    for (TSecurity s : {TSecurity::Auto, TSecurity::Tls, TSecurity::StartTls, TSecurity::None}) {
        EXPECT_EQ(ParseSecurity(SecurityName(s)), s);
    }
}

TEST(Security, AutoNeverAllowsPlainTextBeyondThisMachine) {
    struct Row {
        const char* name;
        TSecurity security;
        const char* host;
        int port;
        bool implicitTls, upgrade, required;
    };
    const Row rows[] = {
        {"auto on the implicit port", TSecurity::Auto, "mail.example.org", 995, true, false, false},
        {"auto elsewhere requires the upgrade", TSecurity::Auto, "mail.example.org", 110, false,
         true, true},
        {"auto on loopback may stay plain", TSecurity::Auto, "127.0.0.1", 110, false, true, false},
        {"auto on localhost may stay plain", TSecurity::Auto, "LocalHost", 11110, false, true,
         false},
        {"auto on a look-alike name", TSecurity::Auto, "localhost.example.org", 110, false, true,
         true},
        {"tls on any port", TSecurity::Tls, "127.0.0.1", 110, true, false, false},
        {"starttls required even on loopback", TSecurity::StartTls, "127.0.0.1", 110, false, true,
         true},
        {"none stays plain", TSecurity::None, "mail.example.org", 110, false, false, false},
    };
    for (const Row& r : rows) {
        TSecurityPlan plan = PlanSecurity(r.security, r.host, r.port, 995);
        EXPECT_EQ(plan.implicitTls, r.implicitTls) << r.name;
        EXPECT_EQ(plan.upgrade, r.upgrade) << r.name;
        EXPECT_EQ(plan.upgradeRequired, r.required) << r.name;
    }
}

TEST(Security, LoopbackAddresses) {
    EXPECT_TRUE(IsLoopbackHost("127.0.0.1"));
    EXPECT_TRUE(IsLoopbackHost("127.255.0.9"));
    EXPECT_TRUE(IsLoopbackHost("::1"));
    EXPECT_FALSE(IsLoopbackHost("128.0.0.1"));
    EXPECT_FALSE(IsLoopbackHost("10.0.0.1"));
    EXPECT_FALSE(IsLoopbackHost("127.0.0.1.example.org"));
}

} // namespace
