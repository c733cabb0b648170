#include "app/CommandLine.h"

#include "app/Version.h"

TCommandLine TCommandLine::Parse(const std::vector<std::string>& args) {
    TCommandLine cl;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--config") {
            if (i + 1 >= args.size()) {
                cl.Error = "--config needs a file name";
                return cl;
            }
            cl.ConfigPath = args[++i];
        } else if (a.rfind("--config=", 0) == 0) {
            cl.ConfigPath = a.substr(9);
        } else if (a == "--headless") {
            cl.Headless = true;
        } else if (a == "--once") {
            cl.Once = true;
            cl.Headless = true;
        } else if (a == "--show-certificates") {
            cl.ShowCertificates = true;
        } else if (a == "--sign-in") {
            cl.SignIn = true;
            cl.SignInLegs = "both";
            if (i + 1 < args.size() &&
                (args[i + 1] == "in" || args[i + 1] == "out" || args[i + 1] == "both")) {
                cl.SignInLegs = args[++i];
            }
        } else if (a == "--help" || a == "-h") {
            cl.Help = true;
        } else if (a == "--version") {
            cl.Version = true;
        } else {
            cl.Error = "unknown option " + a;
            return cl;
        }
    }
    if (cl.ShowCertificates && cl.Headless) {
        cl.Error = "--show-certificates runs no gateway: leave out --headless and --once";
        return cl;
    }
    if (cl.SignIn && (cl.Headless || cl.ShowCertificates)) {
        cl.Error =
            "--sign-in runs no gateway: leave out --headless, --once and --show-certificates";
        return cl;
    }
    if (cl.ConfigPath.empty() && (cl.Error.empty())) {
        // Filled in by the program entry from the executable's folder.
    }
    return cl;
}

const char* TCommandLine::Usage() {
    return "Usage: mailgate [--config FILE] [--headless | --once | --show-certificates]\n"
           "                [--sign-in [in|out|both]] [--help | --version]\n"
           "\n"
           "A mail gateway: at the chosen interval it fetches every message of one POP3\n"
           "mailbox into the Inbox folder and sends every file of the Outbox folder.\n"
           "Without options it runs as a tray program with its \"Options\" window.\n"
           "\n"
           "  --config FILE  read and write FILE instead of options.ini (beside the\n"
           "                 program when a writable one is there, otherwise in\n"
           "                 $XDG_CONFIG_HOME/mailgate or ~/.config/mailgate)\n"
           "  --headless     run the gateway without window or tray; print every status\n"
           "                 text and tray image change as a timestamped line; exits\n"
           "                 with 2 at once when the settings file is not configured\n"
           "                 or cannot be read\n"
           "  --once         load the settings, run one poll cycle and exit:\n"
           "                 0 when it ended without an error, 1 otherwise,\n"
           "                 2 when the settings file is not configured or cannot\n"
           "                 be read\n"
           "  --show-certificates\n"
           "                 connect to both servers with the configured security,\n"
           "                 finish the TLS handshake without logging in, and print\n"
           "                 each certificate: protocol and cipher, subject, issuer,\n"
           "                 validity, alternative names, SHA-256 fingerprint (in the\n"
           "                 form InFingerprint and OutFingerprint take) and whether\n"
           "                 it verifies against the trust store and CaFile; exits\n"
           "                 0 when both are accepted (verified, or matching the pin\n"
           "                 set for that server), 1 otherwise, 2 when the settings\n"
           "                 file is not configured, cannot be read or holds a value\n"
           "                 that cannot be used; sends no password\n"
           "  --help         show this text\n"
           "  --sign-in [in|out|both]\n"
           "                 sign in once to the OAuth2 provider of the settings\n"
           "                 (OAuthDeviceUrl, OAuthTokenUrl, OAuthClientId) for the\n"
           "                 POP3 leg, the SMTP leg or both (the default); keeps the\n"
           "                 refresh token beside the settings file\n"
           "  --version      print the program's version\n"
           "\n"
           "One gateway per settings file: another one started with the same file\n"
           "exits at once with 3 (\"Another mailgate is running with FILE\").\n";
}

const char* TCommandLine::VersionText() {
    return "mailgate " MAILGATE_VERSION "\n";
}
