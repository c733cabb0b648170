#pragma once
// TPop3Sasl: one SASL log-in (RFC 4422, for POP3 RFC 5034) as a
// conversation of decoded bytes - which mechanism the session uses, what
// the client says first, and what it answers to each challenge of the
// server. It knows nothing of the wire: the POP3 client sends AUTH, base64
// and the line ends (see TNMPOP3::LogIn).
//
// Errors: Choose raises EAuthUnavailable when the mechanism asked for (or,
// for an access token, any usable one) is not offered; Respond raises
// ESaslProtocolError for a challenge the mechanism has no answer to. Both
// carry texts that name the server and never the secret. The rest raises
// nothing beyond std::bad_alloc.
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "net/AuthMethod.h"
#include "platform/Exception.h"

// What was asked for cannot be had from this server: trying again changes
// nothing until the settings or the server change.
MAILGATE_EXCEPTION(EAuthUnavailable, Exception);
// The server's challenges do not follow the mechanism.
MAILGATE_EXCEPTION(ESaslProtocolError, Exception);

struct TSaslCredentials {
    std::string user;
    std::string secret; // a password, or an access token for XOAUTH2 / OAUTHBEARER
    std::string host;   // the server as the settings name it (OAUTHBEARER sends it)
    int port = 0;
};

class TPop3Sasl {
public:
    // The mechanism for a log-in, or nullopt for USER/PASS. `offered` holds
    // the names of the server's SASL capability (upper case), `tls` says
    // whether the session is protected, `secretIsToken` whether the secret
    // is an OAuth2 access token. "auto" with a password takes CRAM-MD5, then
    // PLAIN over TLS or LOGIN in plain text, then the other one, and
    // USER/PASS when none of these is offered; with a token OAUTHBEARER,
    // then XOAUTH2. "user" is USER/PASS. A mechanism named explicitly must
    // be offered. Raises EAuthUnavailable:
    //   "The POP3 server <host> does not offer CRAM-MD5 (InAuth=cram-md5);
    //    it offers SASL PLAIN LOGIN" (or "...; it offers no SASL mechanism")
    //   "The POP3 server <host> offers no log-in with an access token
    //    (OAUTHBEARER or XOAUTH2); it offers ..."
    static std::optional<TAuthMethod> Choose(TAuthMethod wanted,
                                             const std::set<std::string>& offered, bool tls,
                                             bool secretIsToken, const std::string& host);

    // `mechanism` is one of the SASL ones (not Auto, not User).
    TPop3Sasl(TAuthMethod mechanism, TSaslCredentials credentials);

    TAuthMethod Mechanism() const noexcept { return mechanism_; }
    // "PLAIN", "CRAM-MD5", ...
    std::string Name() const { return SaslMechanismName(mechanism_); }
    // What the client says before any challenge (PLAIN, XOAUTH2,
    // OAUTHBEARER); nullopt for a mechanism that waits for the server's
    // first challenge (LOGIN, CRAM-MD5).
    std::optional<std::string> InitialResponse() const;
    // The client sent InitialResponse with the AUTH command.
    void InitialResponseSent() noexcept { initialSent_ = true; }

    struct TAnswer {
        std::string response;
        // The challenge was the server's report of a failed OAuth2 log-in
        // (RFC 7628 3.2.2): the response only lets the server finish, and
        // ErrorStatus(challenge) says why.
        bool errorReport = false;
    };
    // The answer to the server's challenge (decoded). Raises
    // ESaslProtocolError "The POP3 server <host> sent a challenge the
    // <mechanism> log-in does not expect" when the mechanism has said all
    // it has to say.
    TAnswer Respond(std::string_view challenge);

    // The "status" of the JSON an OAuth2 error report carries, made safe to
    // show (letters, digits, "." "-" "_", at most 32 of them); "" when there
    // is none.
    static std::string ErrorStatus(std::string_view json);

    // More challenges than any of these mechanisms has, and a challenge
    // (decoded) longer than any of them sends: the server is not followed.
    static constexpr int MaxChallenges = 4;
    static constexpr std::size_t MaxChallengeBytes = 16384;

private:
    std::string Unexpected() const;

    TAuthMethod mechanism_;
    TSaslCredentials credentials_;
    bool initialSent_ = false;
    bool reported_ = false; // an OAuth2 error report was answered
    int answered_ = 0;      // challenges answered so far
};
