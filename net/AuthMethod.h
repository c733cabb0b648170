#pragma once
// How a mail session logs in, as the settings name it (InAuth, OutAuth):
// the automatic choice, POP3's USER/PASS, or one SASL mechanism.
//
// Error model: nothing here raises; ParseAuthMethod returns nullopt for a
// word it does not know.
#include <optional>
#include <string>
#include <string_view>

enum class TAuthMethod {
    Auto,        // the strongest both sides offer that the secret allows
    User,        // POP3 USER/PASS (not a SASL mechanism; POP3 only)
    Plain,       // SASL PLAIN (RFC 4616)
    Login,       // SASL LOGIN
    CramMd5,     // SASL CRAM-MD5 (RFC 2195)
    XOAuth2,     // SASL XOAUTH2, an OAuth2 access token
    OAuthBearer, // SASL OAUTHBEARER (RFC 7628), an OAuth2 access token
};

// "auto", "user", "plain", "login", "cram-md5", "xoauth2", "oauthbearer"
// (case ignored, blanks around allowed); an empty value is "auto".
std::optional<TAuthMethod> ParseAuthMethod(std::string_view text);
// The word ParseAuthMethod reads back.
std::string AuthMethodWord(TAuthMethod method);
// The SASL name ("PLAIN", "CRAM-MD5", ...); "USER" and "AUTO" for the two
// that are none.
std::string SaslMechanismName(TAuthMethod method);
// Whether the method sends an OAuth2 access token rather than a password.
bool IsTokenMethod(TAuthMethod method) noexcept;
