#include "app/CertificateReport.h"

#include <cstdio>

#include "net/Security.h"
#include "platform/Convert.h"
#include "platform/Exception.h"
#include "pop3/NMpop3.h"
#include "smtp/AddEmailLib_TLB.h"

namespace {

struct TServerSettings {
    const char* protocol;
    std::string host;
    std::string port;
    TSecurity security;
    const char* pinKey;
    std::string pin;
};

TServerSettings For(TCertificateReport::TServer server, const TSettings& s) {
    if (server == TCertificateReport::TServer::Pop3) {
        return {"POP3",
                s.Host,
                s.InPort.empty() ? s.InPortDefault() : s.InPort,
                s.InSecurityMode(),
                "InFingerprint",
                s.InFingerprint};
    }
    return {"SMTP",
            s.OutHost,
            s.OutPort.empty() ? s.OutPortDefault() : s.OutPort,
            s.OutSecurityMode(),
            "OutFingerprint",
            s.OutFingerprint};
}

std::string Joined(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) {
        text += (text.empty() ? "" : ", ") + name;
    }
    return text.empty() ? "(none)" : text;
}

} // namespace

TCertificateReport::TCertificateReport(TSink out, TProbe probe)
    : out_(std::move(out)), probe_(probe ? std::move(probe) : ProbeWithComponents) {}

TTlsCertificateFacts TCertificateReport::ProbeWithComponents(TServer server,
                                                             const TSettings& settings) {
    TServerSettings target = For(server, settings);
    // The pin is left out: the certificate is shown whatever it is, and
    // Report compares it with the pin itself.
    if (server == TServer::Pop3) {
        TNMPOP3 pop3;
        pop3.SetHost(target.host);
        pop3.SetPort(StrToInt(target.port));
        pop3.SetTimeOut(settings.InTimeOutSeconds() * 1000);
        pop3.SetSecurity(target.security);
        pop3.SetCaFile(settings.CaFile);
        return pop3.ProbeCertificate();
    }
    TSmtpMail smtp;
    smtp.SetSmtpServer(target.host);
    smtp.SetSmtpPort(StrToInt(target.port));
    smtp.SetSecurity(target.security);
    smtp.SetCaFile(settings.CaFile);
    return smtp.ProbeCertificate();
}

int TCertificateReport::Run(const std::string& configPath) {
    TSettings settings;
    try {
        settings = TSettings::Load(configPath);
    } catch (const std::exception& e) {
        Line(std::string("error: ") + e.what());
        return 2;
    }
    if (!settings.IsConfigured()) {
        Line("error: the settings file " + configPath +
             " is not configured (Host and OutHost are needed)");
        return 2;
    }
    if (auto problem = settings.ConnectionProblem()) {
        Line("error: " + *problem);
        return 2;
    }
    bool pop3Accepted = Report(TServer::Pop3, settings);
    Line("");
    bool smtpAccepted = Report(TServer::Smtp, settings);
    return pop3Accepted && smtpAccepted ? 0 : 1;
}

bool TCertificateReport::Report(TServer server, const TSettings& settings) {
    TServerSettings target = For(server, settings);
    Line(std::string(target.protocol) + " server " + target.host + ":" + target.port +
         " (security " + SecurityName(target.security) + ")");
    TTlsCertificateFacts facts;
    try {
        facts = probe_(server, settings);
    } catch (const std::exception& e) {
        Line(std::string("  error:        ") + e.what());
        return false;
    }
    Line("  protocol:     " + facts.protocol + ", " + facts.cipher);
    Line("  subject:      " + facts.subject);
    Line("  issuer:       " + facts.issuer);
    Line("  valid from:   " + facts.notBefore);
    Line("  valid until:  " + facts.notAfter);
    Line("  alt names:    " + Joined(facts.altNames));
    Line("  SHA-256:      " + facts.fingerprint);
    Line(std::string("  to pin it:    ") + target.pinKey + "=" + facts.fingerprint);
    Line(facts.verified ? std::string("  verified:     yes")
                        : "  verified:     no (" + facts.verifyError + ")");
    bool accepted = facts.verified;
    if (!target.pin.empty()) {
        bool matches = SameFingerprint(target.pin, facts.fingerprint);
        Line(std::string("  pinned:       ") + (matches ? "matches " : "does not match ") +
             target.pinKey);
        // A pin replaces the trust store's verdict, as it does for the exchange.
        accepted = matches;
    }
    return accepted;
}

void TCertificateReport::Line(const std::string& text) const {
    if (out_) {
        out_(text);
    } else {
        std::printf("%s\n", text.c_str());
        std::fflush(stdout);
    }
}
