#include "net/AuthMethod.h"

#include <utility>

#include "codec/Codec.h"

namespace {

// The words, in the order of the settings' documentation.
constexpr std::pair<TAuthMethod, const char*> Words[] = {
    {TAuthMethod::Auto, "auto"},
    {TAuthMethod::User, "user"},
    {TAuthMethod::Plain, "plain"},
    {TAuthMethod::Login, "login"},
    {TAuthMethod::CramMd5, "cram-md5"},
    {TAuthMethod::XOAuth2, "xoauth2"},
    {TAuthMethod::OAuthBearer, "oauthbearer"},
};

} // namespace

std::optional<TAuthMethod> ParseAuthMethod(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    if (text.empty()) {
        return TAuthMethod::Auto;
    }
    const std::string word = codec::AsciiLower(text);
    for (const auto& [method, name] : Words) {
        if (word == name) {
            return method;
        }
    }
    return std::nullopt;
}

std::string AuthMethodWord(TAuthMethod method) {
    for (const auto& [m, name] : Words) {
        if (m == method) {
            return name;
        }
    }
    return "auto";
}

std::string SaslMechanismName(TAuthMethod method) {
    return codec::AsciiUpper(AuthMethodWord(method));
}

bool IsTokenMethod(TAuthMethod method) noexcept {
    return method == TAuthMethod::XOAuth2 || method == TAuthMethod::OAuthBearer;
}
