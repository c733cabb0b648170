#pragma once
// The account record of the settings file (section "Account"): every key the
// program reads or writes, read and written here only, and the one rule of
// when the program counts as configured.
//
// Errors: Load raises EInOutError "Unable to read <path>: <reason>" when the
// file exists but cannot be read (a missing file reads as all keys missing).
// Write and Save raise what TProfileFile::WriteString raises. The checks
// return texts; they raise nothing.
#include <initializer_list>
#include <optional>
#include <string>

#include "net/AuthMethod.h"
#include "net/OAuth2Client.h"
#include "net/Security.h"

struct TSettings {
    // What a missing key reads as, for the keys shown in the window: the
    // window has always shown it so, and a Host or OutHost that reads so
    // means "not configured".
    static constexpr const char* Unset = "ERROR";

    std::string Host = Unset;
    std::string InPort;    // "" : DefaultInPort
    std::string InTimeOut; // seconds; no field in the window
    std::string UserId = Unset;
    std::string Password = Unset;
    std::string Path = Unset; // Inbox folder
    std::string OutHost = Unset;
    std::string OutPort; // "" : DefaultOutPort
    std::string OutId = Unset;
    std::string Password2;
    std::string FromAddress = Unset;
    std::string OutPath = Unset; // Outbox folder
    std::string Time = Unset;    // index of the poll interval
    // How each connection is secured: "auto" (also when empty), "tls",
    // "starttls", "none" (see net/Security.h).
    std::string InSecurity;
    std::string OutSecurity;
    std::string CaFile; // PEM of extra trusted certificates, both servers; "" for none
    // SHA-256 pins of the servers' certificates (hex, colons optional, case
    // ignored); "" for none. No field in the window for these three.
    std::string InFingerprint;
    std::string OutFingerprint;
    // How each leg logs in (see net/AuthMethod.h): "auto" (also when empty),
    // "user" (POP3 only), "plain", "login", "cram-md5", "xoauth2",
    // "oauthbearer". No field in the window.
    std::string InAuth;
    std::string OutAuth;
    // Commands whose first line of output is the POP3 / SMTP password, run
    // for every session instead of taking Password / Password2 (see
    // platform/SecretCommand.h); "" for none. No field in the window.
    std::string PasswordCommand;
    std::string PasswordCommand2;
    // Password or Password2 as this word: the password is in the desktop
    // keyring, under the leg's server and user (see platform/Keyring.h),
    // read afresh for every session.
    static constexpr const char* InKeyring = "keyring:";
    // The OAuth2 provider of the legs whose InAuth / OutAuth is xoauth2 or
    // oauthbearer (see net/OAuth2Client.h, app/SignIn.h); "" when unused.
    // No field in the window.
    std::string OAuthDeviceUrl;
    std::string OAuthTokenUrl;
    std::string OAuthClientId;
    std::string OAuthClientSecret;
    std::string OAuthScope;
    // Where the exchange log goes (see app/ExchangeLog.h): nullopt when the
    // key is missing (the default file), "" for no log, "syslog", or a path
    // (a relative one is taken from the settings file's folder). Read only;
    // no field in the window.
    std::optional<std::string> LogFile;

    static constexpr const char* DefaultInPort = "110";
    static constexpr const char* DefaultOutPort = "25";
    // The ports of TLS from the first byte.
    static constexpr const char* DefaultInTlsPort = "995";
    static constexpr const char* DefaultOutTlsPort = "465";
    // The POP3 reply time-out when InTimeOut is missing or not a whole number
    // from 1 to MaxInTimeOutSeconds.
    static constexpr int DefaultInTimeOutSeconds = 60;
    static constexpr int MaxInTimeOutSeconds = 86400;
    // The poll intervals, by the index stored in Time.
    static constexpr int IntervalCount = 13;
    static constexpr int DefaultInterval = 3; // "5 min"
    static const char* const IntervalNames[IntervalCount];

    static TSettings Load(const std::string& path);
    // Writes the named keys with this record's values, in the order given.
    void Save(const std::string& path, std::initializer_list<const char*> keys) const;
    static void Write(const std::string& path, const char* key, const std::string& value);

    // Both servers are named.
    bool IsConfigured() const noexcept;
    // The first thing that keeps a log-in from being tried, as the status
    // text that says so: a required value that is empty (Password only
    // without PasswordCommand and without an OAuth2 InAuth), then what
    // ConnectionProblem names.
    std::optional<std::string> Problem() const;
    // The first value that keeps a connection from being made: a port that
    // is given but no port number (an empty port takes its default), a
    // security word that is none of the four, a pin that is not 64 hex
    // digits, then what AuthProblem names.
    std::optional<std::string> ConnectionProblem() const;
    // Its security part: "Invalid <key> "<value>": ..." for an unknown
    // security word or a malformed pin.
    std::optional<std::string> SecurityProblem() const;
    // Its log-in part: "Invalid InAuth "<value>": enter auto, user, ..."
    // (OutAuth the same without user), "Invalid PasswordCommand: <why>" for
    // a command line that cannot be split (the command itself is not shown:
    // it may hold a secret).
    std::optional<std::string> AuthProblem() const;
    // "Invalid <what> port "<port>": ..." unless `port` is 1 to 65535.
    static std::optional<std::string> PortProblem(const std::string& port, const char* what);

    TOAuth2Endpoints OAuthEndpoints() const;

    // The exchange log's target for TExchangeLog: "" (off), "syslog", or the
    // file's path - by default "<settings name>.log" beside the settings file.
    std::string LogTarget(const std::string& settingsPath) const;

    // Time as an entry of the interval list; DefaultInterval when it is none
    // (a value that is no entry would switch polling off for good).
    int IntervalIndex() const noexcept;
    // The interval of an entry; 0 (no polling) for an index that is none.
    static int IntervalMs(int index) noexcept;
    int InTimeOutSeconds() const noexcept;
    // The security words read; Auto for a word that is none (ConnectionProblem
    // names it).
    TSecurity InSecurityMode() const;
    TSecurity OutSecurityMode() const;
    // The log-in words read; Auto for a word that is none (AuthProblem
    // names it).
    TAuthMethod InAuthMode() const;
    TAuthMethod OutAuthMode() const;
    // The port an empty port field takes: the TLS port when the security is
    // "tls", else the protocol's plain port.
    const char* InPortDefault() const;
    const char* OutPortDefault() const;
};
