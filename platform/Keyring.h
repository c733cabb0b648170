#pragma once
// Passwords and refresh tokens kept in the desktop keyring (a Secret Service
// such as GNOME Keyring, KWallet or KeePassXC) instead of the settings file.
//
// An entry is filed under the schema "org.mailgate.Secret" with the
// attributes service = "mailgate", server = the mail server's host (Host or
// OutHost), user = the account (UserId or OutId) and kind = "password" or
// "refresh-token". A refresh token is filed under the mail server too, not
// under the provider's token URL: one provider serves many accounts, and the
// leg's account is what the settings name. `kind` then keeps a leg's password
// apart from its refresh token, as both share server and user.
//
// TKeyringAccess is what the program uses, so that tests hand it a keyring
// of their own; TKeyring is the real one.
//
// Errors: Available returns false when no Secret Service can be reached and
// raises nothing. Lookup returns nullopt when there is no entry; Lookup,
// Store and Clear raise EKeyringError "Keyring unavailable: <reason>" when
// the service cannot be reached or refuses (a locked keyring, a prompt
// dismissed), <reason> being the message of the D-Bus or keyring layer.
// Read raises what Lookup raises and EKeyringError
// "Keyring: no password for user <user> on server <server>" (or "no refresh
// token") when there is no entry. No text ever holds a secret.
//
// Every call waits for the service at most the D-Bus call time-out (25 s),
// and none is repeated.
#include <optional>
#include <string>

#include "platform/Exception.h"

MAILGATE_EXCEPTION(EKeyringError, Exception);

enum class TSecretKind { Password, RefreshToken };

class TKeyringAccess {
public:
    virtual ~TKeyringAccess() = default;

    virtual bool Available() = 0;
    virtual std::optional<std::string> Lookup(const std::string& server, const std::string& user,
                                              TSecretKind kind) = 0;
    // Adds the entry or replaces the secret of the one that is there.
    virtual void Store(const std::string& server, const std::string& user, TSecretKind kind,
                       const std::string& secret) = 0;
    // False when there was no entry to remove.
    virtual bool Clear(const std::string& server, const std::string& user, TSecretKind kind) = 0;

    // Lookup of an entry that has to be there.
    std::string Read(const std::string& server, const std::string& user, TSecretKind kind);

    static std::string NoEntryText(const std::string& server, const std::string& user,
                                   TSecretKind kind);
};

// The session bus's Secret Service, through libsecret. Made without
// touching the bus: the first call connects.
class TKeyring final : public TKeyringAccess {
public:
    bool Available() override;
    std::optional<std::string> Lookup(const std::string& server, const std::string& user,
                                      TSecretKind kind) override;
    void Store(const std::string& server, const std::string& user, TSecretKind kind,
               const std::string& secret) override;
    bool Clear(const std::string& server, const std::string& user, TSecretKind kind) override;
};
