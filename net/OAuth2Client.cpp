#include "net/OAuth2Client.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <algorithm>
#include <curl/curl.h>
#include <memory>

#include "platform/AwayFromTheEventLoop.h"

namespace {

// What a server tells about an error is shown, but never at any length.
constexpr std::size_t kMaxServerText = 200;

std::string Printable(const std::string& text) {
    std::string out;
    for (char c : text.substr(0, kMaxServerText)) {
        out += (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) ? ' ' : c;
    }
    return out;
}

bool OnThisMachine(const std::string& url) {
    for (const char* prefix : {"http://127.0.0.1:", "http://127.0.0.1/", "http://localhost:",
                               "http://localhost/", "http://[::1]:", "http://[::1]/"}) {
        if (url.rfind(prefix, 0) == 0) {
            return true;
        }
    }
    return false;
}

struct Collected {
    std::string body;
    bool tooLong = false;
};

size_t Collect(char* data, size_t size, size_t count, void* user) {
    auto* collected = static_cast<Collected*>(user);
    const size_t n = size * count;
    if (collected->body.size() + n > TOAuth2Client::MaxReplyBytes) {
        collected->tooLong = true;
        return 0; // ends the transfer
    }
    collected->body.append(data, n);
    return n;
}

std::string Text(const QJsonObject& json, const char* field) {
    const QJsonValue value = json.value(QLatin1String(field));
    return value.isString() ? value.toString().toStdString() : std::string();
}

// Some servers send numbers as strings.
long long Number(const QJsonObject& json, const char* field, long long fallback) {
    const QJsonValue value = json.value(QLatin1String(field));
    if (value.isDouble()) {
        return static_cast<long long>(value.toDouble());
    }
    if (value.isString()) {
        bool ok = false;
        const long long n = value.toString().toLongLong(&ok);
        return ok ? n : fallback;
    }
    return fallback;
}

std::chrono::seconds Bounded(long long seconds, long long low, long long high) {
    return std::chrono::seconds(std::clamp(seconds, low, high));
}

} // namespace

struct TOAuth2Client::Reply {
    long status = 0;
    QJsonObject json;
    bool isJson = false;

    std::string Error() const { return Text(json, "error"); }
    // "<error>: <description>" as the server put it, bounded.
    std::string ServerError() const {
        std::string text = Printable(Error());
        const std::string description = Printable(Text(json, "error_description"));
        if (!description.empty()) {
            text += ": " + description;
        }
        return text;
    }
};

TOAuth2Client::TOAuth2Client(TOAuth2Endpoints endpoints, std::chrono::seconds timeout)
    : endpoints_(std::move(endpoints)), timeout_(timeout) {}

std::string
TOAuth2Client::Form(std::initializer_list<std::pair<const char*, std::string>> fields) const {
    std::string form;
    for (const auto& [name, value] : fields) {
        if (value.empty()) {
            continue;
        }
        char* escaped = curl_easy_escape(nullptr, value.c_str(), static_cast<int>(value.size()));
        if (escaped == nullptr) {
            throw EOAuth2Error("Cannot encode the request");
        }
        form += (form.empty() ? "" : "&") + std::string(name) + "=" + escaped;
        curl_free(escaped);
    }
    return form;
}

TOAuth2Client::Reply TOAuth2Client::Post(const std::string& url, const std::string& form) const {
    if (url.rfind("https://", 0) != 0 && !OnThisMachine(url)) {
        throw EOAuth2Error("The OAuth2 endpoint " + Printable(url) +
                           " is not https (http only for a server on this machine)");
    }
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), curl_easy_cleanup);
    if (!curl) {
        throw EOAuth2Error("Cannot reach " + url + ": libcurl did not start");
    }
    std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headers(
        curl_slist_append(nullptr, "Accept: application/json"), curl_slist_free_all);
    Collected collected;
    CURL* c = curl.get();
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, form.c_str());
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE, static_cast<long>(form.size()));
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(c, CURLOPT_USERAGENT, "mailgate");
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &collected);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_TIMEOUT, static_cast<long>(timeout_.count()));
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, static_cast<long>(timeout_.count()));
    // A redirect could carry the client secret elsewhere.
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
    // Up to the time-out on a server that is slow to answer: the tray and the
    // timers must not freeze for it.
    CURLcode rc = CURLE_OK;
    RunAwayFromTheEventLoop([&] { rc = curl_easy_perform(c); });
    if (collected.tooLong) {
        throw EOAuth2Error(url + " sent a reply larger than " +
                           std::to_string(MaxReplyBytes / 1024) + " KiB");
    }
    if (rc != CURLE_OK) {
        throw EOAuth2Error("Cannot reach " + url + ": " + curl_easy_strerror(rc));
    }
    Reply reply;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &reply.status);
    const QJsonDocument document = QJsonDocument::fromJson(
        QByteArray(collected.body.data(), static_cast<qsizetype>(collected.body.size())));
    reply.isJson = document.isObject();
    reply.json = document.object();
    return reply;
}

TDeviceSignIn TOAuth2Client::StartDeviceSignIn() const {
    const Reply reply = Post(endpoints_.deviceUrl, Form({{"client_id", endpoints_.clientId},
                                                         {"client_secret", endpoints_.clientSecret},
                                                         {"scope", endpoints_.scope}}));
    if (reply.status != 200) {
        throw EOAuth2Error(endpoints_.deviceUrl + " answered HTTP " + std::to_string(reply.status) +
                           (reply.Error().empty() ? "" : ": " + reply.ServerError()));
    }
    if (!reply.isJson) {
        throw EOAuth2Error(endpoints_.deviceUrl + " sent no usable JSON");
    }
    TDeviceSignIn signIn;
    signIn.deviceCode = Text(reply.json, "device_code");
    signIn.userCode = Printable(Text(reply.json, "user_code"));
    // One large provider names it verification_url.
    signIn.verificationUrl = Printable(Text(reply.json, "verification_uri"));
    if (signIn.verificationUrl.empty()) {
        signIn.verificationUrl = Printable(Text(reply.json, "verification_url"));
    }
    signIn.verificationUrlComplete = Printable(Text(reply.json, "verification_uri_complete"));
    for (const auto& [value, field] :
         {std::pair{&signIn.deviceCode, "device_code"}, std::pair{&signIn.userCode, "user_code"},
          std::pair{&signIn.verificationUrl, "verification_uri"}}) {
        if (value->empty()) {
            throw EOAuth2Error(endpoints_.deviceUrl + " sent no " + field);
        }
    }
    signIn.interval = Bounded(Number(reply.json, "interval", 5), 1, 60);
    signIn.expiresIn = Bounded(Number(reply.json, "expires_in", 900), 10, 3600);
    return signIn;
}

TOAuth2Tokens TOAuth2Client::AwaitDeviceSignIn(const TDeviceSignIn& signIn,
                                               const Sleep& sleep) const {
    std::chrono::seconds interval = signIn.interval;
    std::chrono::seconds waited{0};
    for (;;) {
        if (waited >= signIn.expiresIn) {
            throw EOAuth2Error("The sign-in code expired before it was used");
        }
        sleep(interval);
        waited += interval;
        const Reply reply =
            Post(endpoints_.tokenUrl,
                 Form({{"grant_type", "urn:ietf:params:oauth:grant-type:device_code"},
                       {"device_code", signIn.deviceCode},
                       {"client_id", endpoints_.clientId},
                       {"client_secret", endpoints_.clientSecret}}));
        if (reply.status == 200 && reply.isJson) {
            TOAuth2Tokens tokens;
            tokens.accessToken = Text(reply.json, "access_token");
            tokens.refreshToken = Text(reply.json, "refresh_token");
            tokens.expiresIn = Bounded(Number(reply.json, "expires_in", 3600), 0, 86400 * 366);
            if (tokens.refreshToken.empty()) {
                throw EOAuth2Error(endpoints_.tokenUrl +
                                   " sent no refresh_token (is offline access in the scope?)");
            }
            return tokens;
        }
        const std::string error = reply.Error();
        if (error == "authorization_pending") {
            continue;
        }
        if (error == "slow_down") {
            interval = std::min(interval + std::chrono::seconds(5), std::chrono::seconds(60));
            continue;
        }
        if (error == "expired_token") {
            throw EOAuth2Error("The sign-in code expired before it was used");
        }
        if (error.empty()) {
            throw EOAuth2Error(endpoints_.tokenUrl + " answered HTTP " +
                               std::to_string(reply.status));
        }
        throw EOAuth2Error("Sign-in refused: " + reply.ServerError());
    }
}

TOAuth2Tokens TOAuth2Client::Refresh(const std::string& refreshToken) const {
    const Reply reply =
        Post(endpoints_.tokenUrl, Form({{"grant_type", "refresh_token"},
                                        {"refresh_token", refreshToken},
                                        {"client_id", endpoints_.clientId},
                                        {"client_secret", endpoints_.clientSecret}}));
    if (reply.status != 200 || !reply.isJson) {
        if (reply.Error() == "invalid_grant") {
            throw ESignInExpired("Sign-in expired: run mailgate --sign-in");
        }
        throw EOAuth2Error("Token refresh at " + endpoints_.tokenUrl + " failed: HTTP " +
                           std::to_string(reply.status) +
                           (reply.Error().empty() ? "" : ": " + reply.ServerError()));
    }
    TOAuth2Tokens tokens;
    tokens.accessToken = Text(reply.json, "access_token");
    tokens.refreshToken = Text(reply.json, "refresh_token");
    tokens.expiresIn = Bounded(Number(reply.json, "expires_in", 3600), 0, 86400 * 366);
    if (tokens.accessToken.empty()) {
        throw EOAuth2Error(endpoints_.tokenUrl + " sent no access_token");
    }
    return tokens;
}
