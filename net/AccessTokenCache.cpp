#include "net/AccessTokenCache.h"

TAccessTokenCache::TAccessTokenCache(const TOAuth2Client& client, TStore store, Clock clock)
    : client_(client), store_(std::move(store)), clock_(std::move(clock)) {}

std::string TAccessTokenCache::AccessToken() {
    const auto now = clock_();
    if (!accessToken_.empty() && now + Margin < expires_) {
        return accessToken_;
    }
    const std::string refreshToken = store_.Load();
    if (refreshToken.empty()) {
        throw EOAuth2Error("Not signed in: run mailgate --sign-in");
    }
    accessToken_.clear();
    const TOAuth2Tokens tokens = client_.Refresh(refreshToken);
    if (!tokens.refreshToken.empty() && tokens.refreshToken != refreshToken) {
        store_.Save(tokens.refreshToken);
    }
    accessToken_ = tokens.accessToken;
    expires_ = now + tokens.expiresIn;
    return accessToken_;
}
