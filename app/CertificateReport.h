#pragma once
// --show-certificates: what the certificate of each of the two servers says,
// printed for a person deciding whether to trust it or to pin it. Each
// server is reached with the security the settings name and left after the
// TLS handshake: nothing is logged in to, no password is sent.
//
// Errors: Run raises nothing. A server that cannot be probed is printed with
// the reason the component gave and counts as not accepted; the settings'
// own troubles are printed as "error: ..." lines.
#include <functional>
#include <string>

#include "app/Settings.h"
#include "net/TlsSession.h"

class TCertificateReport {
public:
    enum class TServer { Pop3, Smtp };
    using TSink = std::function<void(const std::string& line)>;
    // Reaches one server as the settings say and returns what its
    // certificate says; raises what the component raises.
    using TProbe = std::function<TTlsCertificateFacts(TServer server, const TSettings& settings)>;

    // `out`: where the lines go (standard output when empty); `probe`: a test
    // double, or the real components when empty.
    explicit TCertificateReport(TSink out = {}, TProbe probe = {});

    // Loads the settings and reports both servers. Returns the exit code:
    // 0 when both certificates are accepted (they verify against the trust
    // store, or match the pin set for that server), 1 otherwise, 2 when the
    // settings file cannot be read, names no servers or holds a value that
    // cannot be used.
    int Run(const std::string& configPath);

    // The real probe: the POP3 client or the SMTP control, given the
    // server, port, security and CaFile (never the account or password).
    static TTlsCertificateFacts ProbeWithComponents(TServer server, const TSettings& settings);

private:
    // Prints one server; true when its certificate is accepted.
    bool Report(TServer server, const TSettings& settings);
    void Line(const std::string& text) const;

    TSink out_;
    TProbe probe_;
};
