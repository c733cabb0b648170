#pragma once
// The access token of one leg (POP3 or SMTP), kept until shortly before it
// expires and then refreshed from the stored refresh token. A server that
// rotates refresh tokens sends a new one with each refresh; it replaces the
// stored one at once, since the old one may no longer work.
//
// Errors: AccessToken raises EOAuth2Error "Not signed in: run mailgate
// --sign-in" when no refresh token is stored, and what TOAuth2Client::Refresh
// and the store raise (ESignInExpired when the server refuses the refresh
// token).
#include <chrono>
#include <functional>
#include <string>

#include "net/OAuth2Client.h"

class TAccessTokenCache {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    // Where the refresh token lives (a file beside the settings, the keyring).
    struct TStore {
        std::function<std::string()> Load; // "" when there is none
        std::function<void(const std::string&)> Save;
    };

    TAccessTokenCache(
        const TOAuth2Client& client, TStore store,
        Clock clock = [] { return std::chrono::steady_clock::now(); });

    std::string AccessToken();

    // A token with less than this left is refreshed before it is used: a
    // session must not end with a token that expires during it.
    static constexpr std::chrono::seconds Margin{120};

private:
    const TOAuth2Client& client_;
    TStore store_;
    Clock clock_;
    std::string accessToken_;
    std::chrono::steady_clock::time_point expires_{};
};
