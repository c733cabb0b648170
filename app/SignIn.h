#pragma once
// `mailgate --sign-in [in|out|both]`: signs the user in once with the OAuth2
// device grant against the endpoints of the settings, and keeps the refresh
// token for the POP3 leg ("in"), the SMTP leg ("out") or both, in files
// beside the settings (options.in.token, options.out.token). From then on
// every session turns it into an access token by itself.
//
// Errors: Run returns the exit status and prints its texts, it raises
// nothing: 0 signed in; 2 when the settings lack an endpoint or the client id
// ("<key> is not set in <settings file>") or the leg word is unknown; 1 when
// the sign-in failed (the EOAuth2Error text, or the file that could not be
// written). No token is ever printed.
#include <ostream>
#include <string>

#include "net/OAuth2Client.h"

class TSignIn {
public:
    enum class TLeg { In, Out };

    // The file that keeps a leg's refresh token.
    static std::string TokenFile(const std::string& settingsPath, TLeg leg);

    static int Run(const TOAuth2Endpoints& endpoints, const std::string& legs,
                   const std::string& settingsPath, std::ostream& out, std::ostream& err,
                   const TOAuth2Client::Sleep& sleep);
};
