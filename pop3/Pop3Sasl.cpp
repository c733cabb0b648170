#include "pop3/Pop3Sasl.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include "codec/Codec.h"

namespace {

bool Offers(const std::set<std::string>& offered, TAuthMethod method) {
    return offered.count(SaslMechanismName(method)) != 0;
}

std::string OfferedText(const std::set<std::string>& offered) {
    if (offered.empty()) {
        return "it offers no SASL mechanism";
    }
    std::string text = "it offers SASL";
    for (const std::string& name : offered) {
        text += " " + name;
    }
    return text;
}

// RFC 7628 3.1: "," and "=" in the authorization identity are escaped.
std::string Gs2Name(const std::string& user) {
    std::string escaped;
    for (char c : user) {
        if (c == ',') {
            escaped += "=2C";
        } else if (c == '=') {
            escaped += "=3D";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

std::string HmacMd5Hex(const std::string& key, std::string_view data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    HMAC(EVP_md5(), key.data(), static_cast<int>(key.size()),
         reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest, &length);
    return codec::HexLower(std::string_view(reinterpret_cast<const char*>(digest), length));
}

} // namespace

std::optional<TAuthMethod> TPop3Sasl::Choose(TAuthMethod wanted,
                                             const std::set<std::string>& offered, bool tls,
                                             bool secretIsToken, const std::string& host) {
    const std::string server = "The POP3 server " + host;
    switch (wanted) {
    case TAuthMethod::User:
        return std::nullopt;
    case TAuthMethod::Auto: {
        if (secretIsToken) {
            for (TAuthMethod m : {TAuthMethod::OAuthBearer, TAuthMethod::XOAuth2}) {
                if (Offers(offered, m)) {
                    return m;
                }
            }
            throw EAuthUnavailable(server +
                                   " offers no log-in with an access token (OAUTHBEARER or "
                                   "XOAUTH2); " +
                                   OfferedText(offered));
        }
        // PLAIN and LOGIN both carry the password itself: over TLS the
        // standard one, in plain text the one that at least is not sent
        // in a single line.
        const TAuthMethod second = tls ? TAuthMethod::Plain : TAuthMethod::Login;
        const TAuthMethod third = tls ? TAuthMethod::Login : TAuthMethod::Plain;
        for (TAuthMethod m : {TAuthMethod::CramMd5, second, third}) {
            if (Offers(offered, m)) {
                return m;
            }
        }
        return std::nullopt;
    }
    default:
        if (Offers(offered, wanted)) {
            return wanted;
        }
        throw EAuthUnavailable(server + " does not offer " + SaslMechanismName(wanted) +
                               " (InAuth=" + AuthMethodWord(wanted) + "); " + OfferedText(offered));
    }
}

TPop3Sasl::TPop3Sasl(TAuthMethod mechanism, TSaslCredentials credentials)
    : mechanism_(mechanism), credentials_(std::move(credentials)) {}

std::optional<std::string> TPop3Sasl::InitialResponse() const {
    const TSaslCredentials& c = credentials_;
    switch (mechanism_) {
    case TAuthMethod::Plain:
        // No authorization identity of its own: the user logs in as itself.
        return std::string(1, '\0') + c.user + '\0' + c.secret;
    case TAuthMethod::XOAuth2:
        return "user=" + c.user + "\x01" + "auth=Bearer " + c.secret + "\x01\x01";
    case TAuthMethod::OAuthBearer:
        return "n,a=" + Gs2Name(c.user) + ",\x01" + "host=" + c.host + "\x01" +
               "port=" + std::to_string(c.port) + "\x01" + "auth=Bearer " + c.secret + "\x01\x01";
    default:
        return std::nullopt;
    }
}

std::string TPop3Sasl::Unexpected() const {
    return "The POP3 server " + credentials_.host + " sent a challenge the " + Name() +
           " log-in does not expect";
}

TPop3Sasl::TAnswer TPop3Sasl::Respond(std::string_view challenge) {
    const int step = answered_++;
    TAnswer answer;
    switch (mechanism_) {
    case TAuthMethod::Login:
        // The prompts ("Username:", "Password:") differ between servers;
        // their order does not.
        if (step == 0) {
            answer.response = credentials_.user;
        } else if (step == 1) {
            answer.response = credentials_.secret;
        } else {
            throw ESaslProtocolError(Unexpected());
        }
        return answer;
    case TAuthMethod::CramMd5:
        if (step != 0) {
            throw ESaslProtocolError(Unexpected());
        }
        answer.response = credentials_.user + " " + HmacMd5Hex(credentials_.secret, challenge);
        return answer;
    case TAuthMethod::Plain:
    case TAuthMethod::XOAuth2:
    case TAuthMethod::OAuthBearer:
        if (!initialSent_) {
            // The empty challenge that asks for the initial response the
            // AUTH line had no room for.
            initialSent_ = true;
            answer.response = *InitialResponse();
            return answer;
        }
        if (mechanism_ == TAuthMethod::Plain) {
            throw ESaslProtocolError(Unexpected());
        }
        if (reported_) {
            throw ESaslProtocolError(Unexpected());
        }
        reported_ = true;
        answer.errorReport = true;
        // RFC 7628 3.2.3 asks for a lone %x01; XOAUTH2 servers take an
        // empty response.
        if (mechanism_ == TAuthMethod::OAuthBearer) {
            answer.response = "\x01";
        }
        return answer;
    default:
        throw ESaslProtocolError(Unexpected());
    }
}

std::string TPop3Sasl::ErrorStatus(std::string_view json) {
    const QJsonDocument doc =
        QJsonDocument::fromJson(QByteArray(json.data(), static_cast<qsizetype>(json.size())));
    if (!doc.isObject()) {
        return {};
    }
    const QJsonValue value = doc.object().value(QStringLiteral("status"));
    std::string status;
    if (value.isString()) {
        status = value.toString().toStdString();
    } else if (value.isDouble()) {
        status = std::to_string(value.toInteger());
    }
    std::string safe;
    for (char c : status) {
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                             (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
        if (!allowed || safe.size() == 32) {
            break;
        }
        safe += c;
    }
    return safe;
}
