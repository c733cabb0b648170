#pragma once
// How a mail connection is secured, as the settings name it, and the rule
// that decides what the automatic choice means for one server.
//
// Error model: nothing here raises; ParseSecurity returns nullopt for a
// word it does not know.
#include <optional>
#include <string>
#include <string_view>

enum class TSecurity {
    Auto,     // TLS from the first byte on the implicit-TLS port, else an upgrade
    Tls,      // TLS from the first byte
    StartTls, // STLS / STARTTLS, required
    None,     // plain text, chosen explicitly
};

// "auto", "tls", "starttls", "none" (case ignored, blanks around allowed);
// an empty value is "auto".
std::optional<TSecurity> ParseSecurity(std::string_view text);
// The word ParseSecurity reads back.
std::string SecurityName(TSecurity security);

// What one connection does, once "auto" is resolved for its server and port.
struct TSecurityPlan {
    bool implicitTls = false;     // handshake right after connecting
    bool upgrade = false;         // STLS / STARTTLS when offered
    bool upgradeRequired = false; // no offer (or a failed upgrade) ends the session
};
// `implicitPort` is 995 for POP3, 465 for SMTP. "auto" on that port is TLS;
// elsewhere an upgrade that is required unless `host` is a loopback address
// (then plain text is allowed when the server offers no upgrade).
TSecurityPlan PlanSecurity(TSecurity security, std::string_view host, int port, int implicitPort);

// "localhost", 127.0.0.0/8 and ::1: a server on this machine, where a
// password in plain text never crosses a network.
bool IsLoopbackHost(std::string_view host);
