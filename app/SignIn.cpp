#include "app/SignIn.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>
#include <vector>

#include "app/Settings.h"
#include "platform/ProfileFile.h"
#include "platform/SecretFile.h"

namespace {

// Keeps a leg's refresh token and says where it went: in the keyring when
// one takes it (its old file goes, or it would be read first), else in the
// leg's file.
std::string KeepToken(const std::string& token, const std::string& file,
                      const TSignIn::TAccount* account, TKeyringAccess* keyring,
                      std::ostream& err) {
    if (keyring != nullptr && account->Named() && keyring->Available()) {
        try {
            keyring->Store(account->server, account->user, TSecretKind::RefreshToken, token);
            if (::unlink(file.c_str()) != 0 && errno != ENOENT) {
                throw EFCreateError("Cannot remove " + file + ": " + std::strerror(errno));
            }
            return "the keyring (user " + account->user + " on server " + account->server + ")";
        } catch (const EKeyringError& e) {
            err << e.what() << "; the refresh token goes to a file\n";
        }
    }
    WriteSecretFile(file, token);
    return file;
}

} // namespace

bool TSignIn::TAccount::Named() const {
    return !server.empty() && server != TSettings::Unset && !user.empty() &&
           user != TSettings::Unset;
}

std::string TSignIn::TokenFile(const std::string& settingsPath, TLeg leg) {
    return BesideSettings(settingsPath, leg == TLeg::In ? ".in.token" : ".out.token");
}

int TSignIn::Run(const TOAuth2Endpoints& endpoints, const std::string& legs,
                 const std::string& settingsPath, std::ostream& out, std::ostream& err,
                 const TOAuth2Client::Sleep& sleep, const TKeyringUse* keyring) {
    std::vector<TLeg> chosen;
    if (legs == "in" || legs == "both" || legs.empty()) {
        chosen.push_back(TLeg::In);
    }
    if (legs == "out" || legs == "both" || legs.empty()) {
        chosen.push_back(TLeg::Out);
    }
    if (chosen.empty()) {
        err << "--sign-in takes in, out or both, not \"" << legs << "\"\n";
        return 2;
    }
    for (const auto& [value, key] : {std::pair{&endpoints.deviceUrl, "OAuthDeviceUrl"},
                                     std::pair{&endpoints.tokenUrl, "OAuthTokenUrl"},
                                     std::pair{&endpoints.clientId, "OAuthClientId"}}) {
        if (value->empty()) {
            err << key << " is not set in " << settingsPath << "\n";
            return 2;
        }
    }
    try {
        const TOAuth2Client client(endpoints);
        const TDeviceSignIn signIn = client.StartDeviceSignIn();
        out << "To sign in, open " << signIn.verificationUrl << " and enter the code "
            << signIn.userCode << "\n";
        if (!signIn.verificationUrlComplete.empty()) {
            out << "(or open " << signIn.verificationUrlComplete << ")\n";
        }
        out << "Waiting for the sign-in...\n";
        out.flush();
        const TOAuth2Tokens tokens = client.AwaitDeviceSignIn(signIn, sleep);
        std::vector<std::string> places;
        for (TLeg leg : chosen) {
            const TAccount* account = keyring == nullptr ? nullptr
                                      : leg == TLeg::In  ? &keyring->in
                                                         : &keyring->out;
            places.push_back(KeepToken(tokens.refreshToken, TokenFile(settingsPath, leg), account,
                                       keyring == nullptr ? nullptr : &keyring->keyring, err));
        }
        out << "Signed in; the refresh token is kept in";
        for (const std::string& place : places) {
            out << " " << place;
        }
        out << "\n";
        return 0;
    } catch (const std::exception& e) {
        err << e.what() << "\n";
        return 1;
    }
}
