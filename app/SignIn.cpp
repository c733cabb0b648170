#include "app/SignIn.h"

#include <vector>

#include "platform/ProfileFile.h"
#include "platform/SecretFile.h"

std::string TSignIn::TokenFile(const std::string& settingsPath, TLeg leg) {
    return BesideSettings(settingsPath, leg == TLeg::In ? ".in.token" : ".out.token");
}

int TSignIn::Run(const TOAuth2Endpoints& endpoints, const std::string& legs,
                 const std::string& settingsPath, std::ostream& out, std::ostream& err,
                 const TOAuth2Client::Sleep& sleep) {
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
        for (TLeg leg : chosen) {
            WriteSecretFile(TokenFile(settingsPath, leg), tokens.refreshToken);
        }
        out << "Signed in; the refresh token is kept in";
        for (TLeg leg : chosen) {
            out << " " << TokenFile(settingsPath, leg);
        }
        out << "\n";
        return 0;
    } catch (const std::exception& e) {
        err << e.what() << "\n";
        return 1;
    }
}
