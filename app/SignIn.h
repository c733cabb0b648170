#pragma once
// `mailgate --sign-in [in|out|both]`: signs the user in once with the OAuth2
// device grant against the endpoints of the settings, and keeps the refresh
// token for the POP3 leg ("in"), the SMTP leg ("out") or both. It goes to
// the desktop keyring when one is there (under the leg's mail server and
// user, kind refresh-token; see platform/Keyring.h), and a token file the
// leg had is removed, since a file is read before the keyring; else, and
// when the keyring refuses it, to files beside the settings
// (options.in.token, options.out.token). From then on every session turns it
// into an access token by itself.
//
// Errors: Run returns the exit status and prints its texts, it raises
// nothing: 0 signed in; 2 when the settings lack an endpoint or the client id
// ("<key> is not set in <settings file>") or the leg word is unknown; 1 when
// the sign-in failed (the EOAuth2Error text, the file that could not be
// written, or "Cannot remove <file>: <reason>" for an old token file). No
// token is ever printed.
#include <ostream>
#include <string>

#include "net/OAuth2Client.h"
#include "platform/Keyring.h"

class TSignIn {
public:
    enum class TLeg { In, Out };

    // A leg's account: the keyring files its refresh token under these
    // (Host and UserId, OutHost and OutId). A leg that names no server or no
    // user keeps its token in the file.
    struct TAccount {
        std::string server;
        std::string user;
        // Both set: the keyring needs both to tell one account's entry from
        // another's.
        bool Named() const;
    };
    struct TKeyringUse {
        TKeyringAccess& keyring;
        TAccount in;
        TAccount out;
    };

    // The file that keeps a leg's refresh token.
    static std::string TokenFile(const std::string& settingsPath, TLeg leg);

    // `keyring`: null for files only.
    static int Run(const TOAuth2Endpoints& endpoints, const std::string& legs,
                   const std::string& settingsPath, std::ostream& out, std::ostream& err,
                   const TOAuth2Client::Sleep& sleep, const TKeyringUse* keyring = nullptr);
};
