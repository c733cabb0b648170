// How each connection is secured: the settings keys, the "Security"
// drop-downs, a refused TLS session in the poll cycle, and
// --show-certificates with a probe double.
#include <QComboBox>

#include "WindowFixture.h"
#include "app/CertificateReport.h"
#include "app/CommandLine.h"
#include "app/Settings.h"
#include "net/TlsSession.h"

namespace {

const std::string Pin = "09:86:15:72:F6:96:64:70:30:8E:36:14:63:8C:3F:5C:BB:2C:2E:10:8F:D4:05:92:"
                        "CD:66:72:4A:1A:F3:D5:02";
const std::string OtherPin = "AA:86:15:72:F6:96:64:70:30:8E:36:14:63:8C:3F:5C:BB:2C:2E:10:8F:D4:05:"
                             "92:CD:66:72:4A:1A:F3:D5:02";

// ------------------------------------------------------------ settings

TEST(SecuritySettings, KeysRoundTripAndMissingOnesMeanAutomaticWithoutPins) {
    TempDir dir;
    std::string ini = dir.File("options.ini");
    TSettings missing = TSettings::Load(ini);
    EXPECT_EQ(missing.InSecurityMode(), TSecurity::Auto);
    EXPECT_EQ(missing.OutSecurityMode(), TSecurity::Auto);
    EXPECT_EQ(missing.CaFile, "");
    EXPECT_EQ(missing.InFingerprint, "");
    EXPECT_EQ(missing.OutFingerprint, "");

    TSettings s;
    s.InSecurity = "tls";
    s.OutSecurity = "starttls";
    s.CaFile = "/etc/company-ca.pem";
    s.InFingerprint = Pin;
    s.OutFingerprint = "0986157 2f6";
    s.Save(ini, {"InSecurity", "OutSecurity", "CaFile", "InFingerprint", "OutFingerprint"});
    TSettings back = TSettings::Load(ini);
    EXPECT_EQ(back.InSecurityMode(), TSecurity::Tls);
    EXPECT_EQ(back.OutSecurityMode(), TSecurity::StartTls);
    EXPECT_EQ(back.CaFile, "/etc/company-ca.pem");
    EXPECT_EQ(back.InFingerprint, Pin);
    EXPECT_EQ(back.OutFingerprint, "0986157 2f6"); // kept as written; the check names it
    EXPECT_NE(dir.Read("options.ini").find("InSecurity=tls\n"), std::string::npos);
}

TEST(SecuritySettings, ProblemNamesTheKeyOfAnUnknownWordOrAMalformedPin) {
    struct Row {
        const char* name;
        std::string TSettings::*key;
        std::string value;
        std::optional<std::string> problem;
    };
    const std::string pinHelp = "\": enter the SHA-256 fingerprint, 64 hex digits (colons allowed)";
    const Row rows[] = {
        {"every word", &TSettings::InSecurity, " TLS ", std::nullopt},
        {"starttls", &TSettings::OutSecurity, "StartTLS", std::nullopt},
        {"none", &TSettings::InSecurity, "none", std::nullopt},
        {"empty is auto", &TSettings::OutSecurity, "", std::nullopt},
        {"unknown in", &TSettings::InSecurity, "ssl",
         "Invalid InSecurity \"ssl\": enter auto, tls, starttls or none"},
        {"unknown out", &TSettings::OutSecurity, "yes",
         "Invalid OutSecurity \"yes\": enter auto, tls, starttls or none"},
        {"pin without colons, lower case", &TSettings::InFingerprint,
         "09861572f6966470308e3614638c3f5cbb2c2e108fd40592cd66724a1af3d502", std::nullopt},
        {"pin with a blank inside", &TSettings::InFingerprint,
         "098615 72f6966470308e3614638c3f5cbb2c2e108fd40592cd66724a1af3d502",
         "Invalid InFingerprint \"098615 "
         "72f6966470308e3614638c3f5cbb2c2e108fd40592cd66724a1af3d502" +
             pinHelp},
        {"pin too short", &TSettings::InFingerprint, "09:86",
         "Invalid InFingerprint \"09:86" + pinHelp},
        {"pin not hex", &TSettings::OutFingerprint, std::string(64, 'g'),
         "Invalid OutFingerprint \"" + std::string(64, 'g') + pinHelp},
        {"pin with colons", &TSettings::OutFingerprint, Pin, std::nullopt},
    };
    for (const Row& row : rows) {
        TSettings s;
        s.Host = s.UserId = s.Password = s.Path = s.OutHost = s.OutPath = s.FromAddress = "x";
        s.*row.key = row.value;
        EXPECT_EQ(s.Problem(), row.problem) << row.name;
        EXPECT_EQ(s.ConnectionProblem(), row.problem) << row.name;
    }
    // A port is named before a security word.
    TSettings s;
    s.InPort = "0";
    s.InSecurity = "ssl";
    EXPECT_EQ(s.ConnectionProblem(),
              "Invalid POP3 port \"0\": enter a whole number from 1 to 65535");
}

TEST(SecuritySettings, AnEmptyPortTakesTheTlsPortOnlyForTls) {
    TSettings s;
    EXPECT_STREQ(s.InPortDefault(), "110");
    EXPECT_STREQ(s.OutPortDefault(), "25");
    s.InSecurity = "tls";
    s.OutSecurity = "tls";
    EXPECT_STREQ(s.InPortDefault(), "995");
    EXPECT_STREQ(s.OutPortDefault(), "465");
    s.InSecurity = "starttls";
    s.OutSecurity = "auto";
    EXPECT_STREQ(s.InPortDefault(), "110");
    EXPECT_STREQ(s.OutPortDefault(), "25");
}

// ------------------------------------------------------------ applied to the components

using SecurityApplied = WindowFixture;

TEST_F(SecurityApplied, StartUpHandsSecurityCaFileAndPinsToBothComponents) {
    WriteSettings(pop3.Port(), "InSecurity=none\nOutSecurity=starttls\nCaFile=/x/ca.pem\n"
                               "InFingerprint=" +
                                   Pin + "\nOutFingerprint=" + OtherPin + "\n");
    TfmOptions& w = Make();
    ASSERT_EQ(w.Cycle().ReadSettings(), TLoadResult::Loaded);
    ASSERT_TRUE(w.Cycle().ApplySettings());
    EXPECT_EQ(w.Pop3().Security(), TSecurity::None);
    EXPECT_EQ(w.Pop3().CaFile(), "/x/ca.pem");
    EXPECT_EQ(w.Pop3().Fingerprint(), Pin);
    EXPECT_EQ(w.Smtp().Security(), TSecurity::StartTls);
    EXPECT_EQ(w.Smtp().CaFile(), "/x/ca.pem");
    EXPECT_EQ(w.Smtp().Fingerprint(), OtherPin);
    EXPECT_EQ(w.SecurityBox("InSecurity")->currentText(), "None");
    EXPECT_EQ(w.SecurityBox("OutSecurity")->currentText(), "STARTTLS");
}

TEST_F(SecurityApplied, AnUnknownWordIsShownAndNotTakenForAutomatic) {
    WriteSettings(pop3.Port(), "InSecurity=ssl\n");
    TfmOptions& w = Make();
    w.FormCreate(&w);
    EXPECT_EQ(w.StatusText(), "Invalid InSecurity \"ssl\": enter auto, tls, starttls or none");
    EXPECT_EQ(pop3.Connections(), 0);
    EXPECT_EQ(Key("InSecurity"), "ssl"); // left for the user to mend
}

TEST_F(SecurityApplied, OnceWithAMalformedPinFailsWithoutConnecting) {
    WriteSettings(pop3.Port(), "OutFingerprint=12:34\n");
    TfmOptions& w = Make();
    EXPECT_EQ(w.RunOnce(), 1);
    EXPECT_EQ(Printed("status").back(),
              "Invalid OutFingerprint \"12:34\": enter the SHA-256 fingerprint, 64 hex digits "
              "(colons allowed)");
    EXPECT_EQ(pop3.Connections(), 0);
}

TEST_F(SecurityApplied, TlsWithoutPortsTakesTheTlsPortsAndWritesThem) {
    dir.Write("options.ini", "[Account]\nHost=pop.example.test\nUserId=bob\nPassword=pw\nPath=" +
                                 inbox + "\nOutHost=smtp.example.test\nOutPath=" + outbox +
                                 "\nFromAddress=gate@example.test\nInSecurity=tls\n"
                                 "OutSecurity=tls\n");
    TfmOptions& w = Make();
    ASSERT_EQ(w.Cycle().ReadSettings(), TLoadResult::Loaded);
    ASSERT_TRUE(w.Cycle().ApplySettings());
    EXPECT_EQ(Key("InPort"), "995");
    EXPECT_EQ(Key("OutPort"), "465");
    EXPECT_EQ(w.Pop3().Port(), 995);
    EXPECT_EQ(w.Smtp().SmtpPort(), 465);
}

// ------------------------------------------------------------ the drop-downs

struct SecurityBoxes : WindowFixture {
    // As a user's pick: the entry, then the signal the pick sends.
    void Pick(const char* box, const char* entry) {
        QComboBox* combo = window->SecurityBox(box);
        int index = combo->findText(entry);
        ASSERT_GE(index, 0) << entry;
        combo->setCurrentIndex(index);
        emit combo->activated(index);
    }
};

TEST_F(SecurityBoxes, EachServerGroupOffersTheFourChoicesStartingAtAutomatic) {
    TfmOptions& w = Make();
    w.FormCreate(&w);
    for (const char* name : {"InSecurity", "OutSecurity"}) {
        QComboBox* box = w.SecurityBox(name);
        ASSERT_NE(box, nullptr) << name;
        QStringList entries;
        for (int i = 0; i < box->count(); ++i) {
            entries << box->itemText(i);
        }
        EXPECT_EQ(entries, (QStringList{"Automatic", "TLS", "STARTTLS", "None"})) << name;
        EXPECT_EQ(box->currentText(), "Automatic") << name;
    }
}

TEST_F(SecurityBoxes, ChoosingTlsFillsTheTlsPortOnlyWhereThePortIsEmptyOrTheDefault) {
    struct Row {
        const char* box;
        const char* field;
        const char* before;
        const char* entry;
        const char* after;
    };
    const Row rows[] = {
        {"InSecurity", "IncPort", "", "TLS", "995"},
        {"InSecurity", "IncPort", "110", "TLS", "995"},
        {"InSecurity", "IncPort", "1110", "TLS", "1110"},
        {"InSecurity", "IncPort", "", "STARTTLS", ""},
        {"InSecurity", "IncPort", "110", "None", "110"},
        {"OutSecurity", "OutgPort", "", "TLS", "465"},
        {"OutSecurity", "OutgPort", "25", "TLS", "465"},
        {"OutSecurity", "OutgPort", "587", "TLS", "587"},
        {"OutSecurity", "OutgPort", "25", "STARTTLS", "25"},
        {"OutSecurity", "OutgPort", "", "Automatic", ""},
    };
    TfmOptions& w = Make();
    w.FormCreate(&w);
    for (const Row& row : rows) {
        F(row.field)->setText(row.before);
        Pick(row.box, row.entry);
        EXPECT_EQ(F(row.field)->text().toStdString(), row.after)
            << row.box << " " << row.before << " -> " << row.entry;
    }
}

TEST_F(SecurityBoxes, ConnectWritesBothChoicesAndAppliesThemWithTheFilesCaFile) {
    dir.Write("options.ini", "[Account]\nCaFile=/x/ca.pem\n");
    // Plain text as chosen: no CAPA.
    pop3.Add(
        {"S: +OK ready", "C: USER bob", "S: +OK", "C: PASS pw", "S: +OK", "C: STAT", "S: +OK 0 0"});
    TfmOptions& w = Make();
    w.FormCreate(&w);
    FillAll();
    Pick("InSecurity", "None");
    Pick("OutSecurity", "STARTTLS");
    w.btnConnectClick(&w);
    ASSERT_TRUE(w.Pop3().Connected()) << w.StatusText();
    EXPECT_EQ(Key("InSecurity"), "none");
    EXPECT_EQ(Key("OutSecurity"), "starttls");
    EXPECT_EQ(Key("OutPort"), "25");
    EXPECT_EQ(Key("CaFile"), "/x/ca.pem");
    EXPECT_EQ(w.Pop3().Security(), TSecurity::None);
    EXPECT_EQ(w.Smtp().Security(), TSecurity::StartTls);
    EXPECT_EQ(w.Pop3().CaFile(), "/x/ca.pem");
    EXPECT_EQ(w.Smtp().CaFile(), "/x/ca.pem");
    // Locked with the other account fields while the session is open.
    EXPECT_FALSE(w.SecurityBox("InSecurity")->isEnabled());
    EXPECT_FALSE(w.SecurityBox("OutSecurity")->isEnabled());
}

// ------------------------------------------------------------ a refused TLS session

using TlsRefused = WindowFixture;

// What the POP3 client raises when the server's certificate is refused,
// raised from inside its Connect as the client raises it.
void RefuseTlsAtConnect(TfmOptions& w) {
    w.Pop3().OnConnect = [](TObject*) {
        throw ETlsError("TLS: the certificate of 127.0.0.1:995 is not trusted (self-signed "
                        "certificate)",
                        TTlsFailure::NotTrusted);
    };
}

TEST_F(TlsRefused, APollEndsAtOnceWithTheReasonNotAsALostConnectionTriedAgain) {
    WriteSettings(pop3.Port());
    dir.Write("out/x.dat", "HDR\tf\tf\tf\tf\tf\tf\tf\tf\tf\tf\tf\tf\tf\tf\tf\tf\tf\tf\tf\tf\tf"
                           "\tf\tf\tf\tf\tf\tf\ta@x.test\tREST\n");
    pop3.Add(LoginLines(0));
    TfmOptions& w = Make();
    RefuseTlsAtConnect(w);
    EXPECT_EQ(w.RunOnce(), 1);
    auto statuses = Printed("status");
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.back(),
              "TLS: the certificate of 127.0.0.1:995 is not trusted (self-signed certificate)");
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), "Lost Connection..."), 0);
    EXPECT_EQ(w.TrayImageIndex(), 5);
    auto errors = Printed("error");
    EXPECT_NE(std::find(errors.begin(), errors.end(),
                        "ETlsError: TLS: the certificate of 127.0.0.1:995 is not trusted "
                        "(self-signed certificate)"),
              errors.end());
    EXPECT_FALSE(w.Pop3().Connected());
    EXPECT_EQ(pop3.Connections(), 1); // no new attempt within the cycle
    EXPECT_TRUE(smtp->sent.empty());  // the cycle ends there, as after a time-out
    ASSERT_TRUE(WaitFor([&] { return pop3.Finished(); }));
}

TEST_F(TlsRefused, ThePollAfterARefusalTriesAgain) {
    WriteSettings(pop3.Port());
    pop3.Add(LoginLines(0));
    std::vector<std::string> second = LoginLines(0);
    Append(second, {"C: QUIT", "S: +OK bye"});
    pop3.Add(second);
    TfmOptions& w = Make();
    RefuseTlsAtConnect(w);
    EXPECT_EQ(w.RunOnce(), 1);
    w.Pop3().OnConnect = [&w](TObject*) { w.Cycle().Pop3Connected(); };
    EXPECT_TRUE(w.RunOneCycle());
    ASSERT_TRUE(WaitFor([&] { return pop3.Finished(); }));
    EXPECT_EQ(pop3.Errors(), "");
    EXPECT_EQ(Printed("status").back(), "No Messages to Get");
}

// ------------------------------------------------------------ --show-certificates

TTlsCertificateFacts Facts(bool verified, const std::string& fingerprint = Pin) {
    TTlsCertificateFacts f;
    f.protocol = "TLSv1.3";
    f.cipher = "TLS_AES_256_GCM_SHA384";
    f.subject = "CN=localhost";
    f.issuer = "CN=mailgate test CA";
    f.notBefore = "2026-12-01 00:00:00 UTC";
    f.notAfter = "2027-12-01 00:00:00 UTC";
    f.altNames = {"DNS:localhost", "IP:127.0.0.1"};
    f.fingerprint = fingerprint;
    f.verified = verified;
    if (!verified) {
        f.verifyError = "self-signed certificate";
    }
    return f;
}

struct ShowCertificates : ::testing::Test {
    TempDir dir;
    std::string ini = dir.File("options.ini");
    std::vector<std::string> lines;
    std::vector<std::pair<TCertificateReport::TServer, TSettings>> probed;
    std::function<TTlsCertificateFacts(TCertificateReport::TServer)> answer;

    void WriteSettings(const std::string& extra) {
        dir.Write("options.ini", "[Account]\nHost=pop.example.test\nUserId=bob\nPassword=pw\n"
                                 "OutHost=smtp.example.test\nOutId=sam\nPassword2=s3\n" +
                                     extra);
    }
    int Run() {
        TCertificateReport report([this](const std::string& line) { lines.push_back(line); },
                                  [this](TCertificateReport::TServer server, const TSettings& s) {
                                      probed.emplace_back(server, s);
                                      return answer(server);
                                  });
        return report.Run(ini);
    }
    bool Printed(const std::string& line) const {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    std::string All() const {
        std::string text;
        for (const auto& line : lines) {
            text += line + "\n";
        }
        return text;
    }
};

TEST_F(ShowCertificates, PrintsEveryFactOfBothServersAndExitsZeroWhenBothVerify) {
    WriteSettings("InSecurity=tls\nOutPort=587\nOutSecurity=starttls\n");
    answer = [](TCertificateReport::TServer) { return Facts(true); };
    EXPECT_EQ(Run(), 0) << All();
    // What is printed of one server, the same facts for both.
    auto block = [](const std::string& server, const std::string& pinKey) {
        return std::vector<std::string>{
            server,
            "  protocol:     TLSv1.3, TLS_AES_256_GCM_SHA384",
            "  subject:      CN=localhost",
            "  issuer:       CN=mailgate test CA",
            "  valid from:   2026-12-01 00:00:00 UTC",
            "  valid until:  2027-12-01 00:00:00 UTC",
            "  alt names:    DNS:localhost, IP:127.0.0.1",
            "  SHA-256:      " + Pin,
            "  to pin it:    " + pinKey + "=" + Pin,
            "  verified:     yes",
        };
    };
    std::vector<std::string> expected =
        block("POP3 server pop.example.test:995 (security tls)", "InFingerprint");
    expected.push_back("");
    for (std::string& line :
         block("SMTP server smtp.example.test:587 (security starttls)", "OutFingerprint")) {
        expected.push_back(std::move(line));
    }
    EXPECT_EQ(lines, expected);
    ASSERT_EQ(probed.size(), 2u);
    EXPECT_EQ(probed[0].first, TCertificateReport::TServer::Pop3);
    EXPECT_EQ(probed[1].first, TCertificateReport::TServer::Smtp);
}

TEST_F(ShowCertificates, ExitCodeFollowsVerificationOrThePinOfThatServer) {
    struct Row {
        const char* name;
        std::string extra;
        bool pop3Verified;
        bool smtpVerified;
        int exitCode;
        std::vector<std::string> printed;
    };
    const Row rows[] = {
        {"smtp not trusted", "", true, false, 1, {"  verified:     no (self-signed certificate)"}},
        {"pinned and matching",
         "InFingerprint=" + Pin + "\nOutFingerprint=" + Pin + "\n",
         false,
         false,
         0,
         {"  pinned:       matches InFingerprint", "  pinned:       matches OutFingerprint"}},
        {"pin differs",
         "OutFingerprint=" + OtherPin + "\n",
         true,
         true,
         1,
         {"  pinned:       does not match OutFingerprint"}},
    };
    for (const Row& row : rows) {
        WriteSettings(row.extra);
        lines.clear();
        answer = [&row](TCertificateReport::TServer server) {
            return Facts(server == TCertificateReport::TServer::Pop3 ? row.pop3Verified
                                                                     : row.smtpVerified);
        };
        EXPECT_EQ(Run(), row.exitCode) << row.name << "\n" << All();
        for (const auto& line : row.printed) {
            EXPECT_TRUE(Printed(line)) << row.name << ": " << line << "\n" << All();
        }
    }
}

TEST_F(ShowCertificates, AServerThatCannotBeProbedIsPrintedWithTheReasonAndTheOtherStillIs) {
    WriteSettings("");
    answer = [](TCertificateReport::TServer server) {
        if (server == TCertificateReport::TServer::Pop3) {
            throw ETlsError("TLS: the handshake with pop.example.test:110 failed (wrong version "
                            "number)",
                            TTlsFailure::HandshakeFailed);
        }
        return Facts(true);
    };
    EXPECT_EQ(Run(), 1);
    EXPECT_TRUE(Printed("POP3 server pop.example.test:110 (security auto)")) << All();
    EXPECT_TRUE(Printed("  error:        TLS: the handshake with pop.example.test:110 failed "
                        "(wrong version number)"))
        << All();
    EXPECT_TRUE(Printed("SMTP server smtp.example.test:25 (security auto)")) << All();
}

TEST_F(ShowCertificates, SettingsThatCannotBeUsedExitTwoWithoutProbing) {
    answer = [](TCertificateReport::TServer) { return Facts(true); };
    EXPECT_EQ(Run(), 2); // no file at all
    EXPECT_EQ(lines, std::vector<std::string>{"error: the settings file " + ini +
                                              " is not configured (Host and OutHost are needed)"});
    lines.clear();
    WriteSettings("OutSecurity=ssl\n");
    EXPECT_EQ(Run(), 2);
    EXPECT_EQ(lines, std::vector<std::string>{
                         "error: Invalid OutSecurity \"ssl\": enter auto, tls, starttls or none"});
    EXPECT_TRUE(probed.empty());
}

TEST_F(ShowCertificates, ThePasswordsAreNeverPrinted) {
    WriteSettings("");
    answer = [](TCertificateReport::TServer) { return Facts(false); };
    Run();
    for (const auto& line : lines) {
        EXPECT_EQ(line.find("pw"), std::string::npos) << line;
        EXPECT_EQ(line.find("s3"), std::string::npos) << line;
    }
}

TEST(ShowCertificatesOption, IsParsedAndRunsNoGateway) {
    TCommandLine cl = TCommandLine::Parse({"--show-certificates", "--config", "a.ini"});
    EXPECT_EQ(cl.Error, "");
    EXPECT_TRUE(cl.ShowCertificates);
    EXPECT_FALSE(cl.Headless);
    EXPECT_EQ(cl.ConfigPath, "a.ini");
    EXPECT_EQ(TCommandLine::Parse({"--once", "--show-certificates"}).Error,
              "--show-certificates runs no gateway: leave out --headless and --once");
    EXPECT_NE(std::string(TCommandLine::Usage()).find("--show-certificates"), std::string::npos);
}

} // namespace
