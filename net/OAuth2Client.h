#pragma once
// The two OAuth2 exchanges a gateway without a browser needs: the device
// authorization grant (RFC 8628) that signs a user in once, and the refresh
// grant (RFC 6749 section 6) that turns the stored refresh token into a
// short-lived access token at each session. Requests are form posts through
// libcurl; replies are JSON. A request runs on a thread of its own while the
// caller's event loop goes on (the tray stays responsive for the up to 30 s
// of a slow server); the call itself still returns only with the answer.
//
// Errors: every operation raises EOAuth2Error with a text of ours, followed by
// the server's error code and description (bounded) where it sent one:
// "Cannot reach <url>: <reason>", "<url> answered HTTP <code>",
// "<url> sent no usable JSON", "<url> sent no <field>", "Sign-in refused:
// <error>", "The sign-in code expired before it was used". A refresh token
// the server no longer accepts (invalid_grant) raises ESignInExpired
// "Sign-in expired: run mailgate --sign-in". No token or secret is ever part
// of a text.
#include <chrono>
#include <functional>
#include <string>

#include "platform/Exception.h"

MAILGATE_EXCEPTION(EOAuth2Error, Exception);
MAILGATE_EXCEPTION(ESignInExpired, EOAuth2Error);

struct TOAuth2Endpoints {
    std::string deviceUrl;
    std::string tokenUrl;
    std::string clientId;
    std::string clientSecret; // optional
    std::string scope;
};

struct TDeviceSignIn {
    std::string deviceCode;
    std::string userCode;
    std::string verificationUrl;
    std::string verificationUrlComplete; // optional
    std::chrono::seconds interval{5};
    std::chrono::seconds expiresIn{900};
};

struct TOAuth2Tokens {
    std::string accessToken;
    std::string refreshToken; // empty when the server did not send one
    std::chrono::seconds expiresIn{3600};
};

class TOAuth2Client {
public:
    // Waits for `pause` (the device grant's polling interval). Tests replace
    // it so that no test sleeps.
    using Sleep = std::function<void(std::chrono::seconds pause)>;

    // The endpoints must be https, or http on this machine (a test server).
    // `timeout` limits each request as a whole.
    explicit TOAuth2Client(TOAuth2Endpoints endpoints,
                           std::chrono::seconds timeout = std::chrono::seconds(30));

    // Asks the device endpoint for a user code and its verification URL.
    TDeviceSignIn StartDeviceSignIn() const;
    // Polls the token endpoint as the server says (interval, slow_down)
    // until the user has signed in, refused, or the code expired.
    TOAuth2Tokens AwaitDeviceSignIn(const TDeviceSignIn& signIn, const Sleep& sleep) const;
    // A fresh access token (and a rotated refresh token, when the server
    // rotates them).
    TOAuth2Tokens Refresh(const std::string& refreshToken) const;

    // The longest reply read; a longer one is an error.
    static constexpr std::size_t MaxReplyBytes = 64 * 1024;

private:
    struct Reply;
    Reply Post(const std::string& url, const std::string& form) const;
    std::string Form(std::initializer_list<std::pair<const char*, std::string>> fields) const;

    TOAuth2Endpoints endpoints_;
    std::chrono::seconds timeout_;
};
