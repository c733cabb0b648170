// The poll cycle's settings: start-up, the log-in with the values entered,
// the interval and folders, and leaving.
#include <algorithm>

#include "app/PollCycle.h"
#include "excreport/ExcMagic.h"
#include "net/AccessTokenCache.h"
#include "platform/Convert.h"
#include "platform/GuardedApplication.h"
#include "platform/SecretCommand.h"
#include "platform/SecretFile.h"
#include "pop3/NMpop3.h"

void TPollCycle::SetupErrorReporter() {
    if (TExcMagic* reporter = TExcMagic::ExcMagic()) {
        reporter->SetEnabled(true);
        reporter->SetCaption("Application Error!");
        // Every exception is logged when raised, also one the program catches.
        reporter->SetLogOnDispatch(true);
        reporter->SetOptions(roShow);
        reporter->SetIconName(32513); // the system's stock error icon
    }
}

// ---------------------------------------------------------------- start-up

TLoadResult TPollCycle::StartUp() {
    try {
        return StartUpSteps();
    } catch (const std::exception& e) {
        // As an error in the window's creation: reported, the remaining steps
        // skipped; the timers already running keep polling alive.
        if (auto* app = TGuardedApplication::Instance()) {
            app->HandleException(e);
        } else {
            observer_.Caught(e);
        }
        return configured_ ? TLoadResult::Loaded : TLoadResult::NotConfigured;
    }
}

TLoadResult TPollCycle::StartUpSteps() {
    pollTimer_->SetEnabled(false);
    wakeUpTimer_->Restart();
    Tray(TTrayImage::Idle);
    TLoadResult result = ReadSettings();
    if (result == TLoadResult::NotConfigured) {
        observer_.ShowInterval(TSettings::DefaultInterval);
        SetInterval(TSettings::DefaultInterval);
        observer_.SettingsNeeded(result);
    }
    if (result != TLoadResult::Loaded) {
        return result;
    }
    if (!ApplySettings()) {
        return TLoadResult::InvalidPort;
    }
    SetInterval(settings_.IntervalIndex());
    ConnectAtStart();
    return result;
}

TLoadResult TPollCycle::ReadSettings() {
    try {
        settings_ = TSettings::Load(configPath_);
    } catch (const EInOutError& e) {
        // Taken for a first run, the file would be rebuilt from nothing at
        // the first write and every setting lost: it is left alone for this run.
        settingsError_ = e.what();
        configured_ = false;
        Status(settingsError_);
        Tray(TTrayImage::Error);
        observer_.SettingsNeeded(TLoadResult::Unreadable);
        return TLoadResult::Unreadable;
    }
    configured_ = settings_.IsConfigured();
    return configured_ ? TLoadResult::Loaded : TLoadResult::NotConfigured;
}

void TPollCycle::ApplyInTimeOut(int seconds) {
    pop3_->SetTimeOut(seconds * 1000);
}

void TPollCycle::ApplySecurity(const TSettings& s) {
    pop3_->SetSecurity(s.InSecurityMode());
    pop3_->SetCaFile(s.CaFile);
    pop3_->SetFingerprint(s.InFingerprint);
    smtp_->SetSecurity(s.OutSecurityMode());
    smtp_->SetCaFile(s.CaFile);
    smtp_->SetFingerprint(s.OutFingerprint);
}

namespace {

// A password read afresh from the command for every session; none without one.
std::function<std::string()> CommandSource(const std::string& command, const char* what) {
    if (command.empty()) {
        return {};
    }
    return [command, what] { return TSecretCommand(command, what).Run(); };
}

} // namespace

std::function<std::string()> TPollCycle::PasswordSource(const std::string& command,
                                                        const std::string& password,
                                                        const std::string& server,
                                                        const std::string& user,
                                                        const char* what) const {
    if (!command.empty() || password != TSettings::InKeyring) {
        return CommandSource(command, what);
    }
    // The keyring of this set-up, also when another is set later.
    return [keyring = keyring_, server, user] {
        return keyring->Read(server, user, TSecretKind::Password);
    };
}

bool TPollCycle::KeepInKeyring(std::string& password, const std::string& server,
                               const std::string& user) {
    if (password.empty() || password == TSettings::InKeyring ||
        !TSignIn::TAccount{server, user}.Named() || !keyring_->Available()) {
        return false;
    }
    try {
        keyring_->Store(server, user, TSecretKind::Password, password);
    } catch (const EKeyringError& e) {
        // Kept in the settings file, as without a keyring; said once, the
        // log-in goes on.
        observer_.Error(std::string(e.what()) + "; the password stays in the settings file");
        return false;
    }
    password = TSettings::InKeyring;
    return true;
}

std::function<std::string()> TPollCycle::TokenSource(TSignIn::TLeg leg,
                                                     const TSignIn::TAccount& mine,
                                                     const TSignIn::TAccount& theirs) const {
    const std::string file = TSignIn::TokenFile(configPath_, leg);
    const std::string other = TSignIn::TokenFile(
        configPath_, leg == TSignIn::TLeg::In ? TSignIn::TLeg::Out : TSignIn::TLeg::In);
    auto keyring = keyring_;
    const bool inKeyringToo = mine.Named();
    const bool theirsApart =
        theirs.Named() && (theirs.server != mine.server || theirs.user != mine.user);
    // Where the token in use came from, and the token: a rotated one goes
    // back there.
    auto fromKeyring = std::make_shared<bool>(false);
    auto loaded = std::make_shared<std::string>();
    TAccessTokenCache::TStore store{
        [file, keyring, inKeyringToo, mine, fromKeyring, loaded]() -> std::string {
            std::string token;
            try {
                token = ReadSecretFile(file);
            } catch (const std::exception& e) {
                // Not a server that is away: the next poll tries again.
                throw EOAuth2Error(e.what());
            }
            *fromKeyring = false;
            if (token.empty() && inKeyringToo && keyring->Available()) {
                std::optional<std::string> kept =
                    keyring->Lookup(mine.server, mine.user, TSecretKind::RefreshToken);
                *fromKeyring = kept.has_value();
                token = kept ? std::move(*kept) : std::string();
            }
            *loaded = token;
            return token;
        },
        [file, other, keyring, mine, theirs, theirsApart, fromKeyring,
         loaded](const std::string& token) {
            // Signed in for both legs at once, the other leg holds the same
            // token, which a provider that rotates refresh tokens no longer
            // takes once this leg used it: the other leg's copy follows. One
            // that cannot be read tells so itself when its leg loads it.
            if (*fromKeyring) {
                try {
                    keyring->Store(mine.server, mine.user, TSecretKind::RefreshToken, token);
                } catch (const EKeyringError&) {
                    // The old token may be spent: the new one must be kept
                    // somewhere, and a file is read before the keyring.
                    *fromKeyring = false;
                }
            }
            if (*fromKeyring) {
                if (theirsApart) {
                    try {
                        if (keyring->Lookup(theirs.server, theirs.user,
                                            TSecretKind::RefreshToken) == *loaded) {
                            keyring->Store(theirs.server, theirs.user, TSecretKind::RefreshToken,
                                           token);
                        }
                    } catch (const EKeyringError&) {
                    }
                }
                return;
            }
            WriteSecretFile(file, token);
            std::string theirsInFile;
            try {
                theirsInFile = ReadSecretFile(other);
            } catch (const std::exception&) {
            }
            if (!loaded->empty() && theirsInFile == *loaded) {
                WriteSecretFile(other, token);
            }
        }};
    auto client = oauthClient_;
    auto cache = std::make_shared<TAccessTokenCache>(*client, std::move(store));
    // The client goes with the cache that refers to it.
    return [client, cache] { return cache->AccessToken(); };
}

void TPollCycle::ApplyLogIn(const TSettings& s) {
    const TAuthMethod in = s.InAuthMode();
    const TAuthMethod out = s.OutAuthMode();
    pop3_->SetAuth(in);
    smtp_->SetSmtpAuth(out);
    // A leg that logs in with OAuth2 turns its sign-in into an access token
    // for each session, kept while it is good.
    oauthClient_ = std::make_shared<TOAuth2Client>(s.OAuthEndpoints());
    pop3_->SetSecretIsToken(IsTokenMethod(in));
    pop3_->SetPasswordSource(
        IsTokenMethod(in)
            ? TokenSource(TSignIn::TLeg::In, {s.Host, s.UserId}, {s.OutHost, s.OutId})
            : PasswordSource(s.PasswordCommand, s.Password, s.Host, s.UserId, "POP3"));
    smtpPasswordSource_ =
        IsTokenMethod(out)
            ? TokenSource(TSignIn::TLeg::Out, {s.OutHost, s.OutId}, {s.Host, s.UserId})
            : PasswordSource(s.PasswordCommand2, s.Password2, s.OutHost, s.OutId, "SMTP");
}

bool TPollCycle::ApplySettings() {
    TSettings& s = settings_;
    ApplyInTimeOut(s.InTimeOutSeconds());
    pop3_->SetHost(s.Host);
    pop3_->SetUserID(s.UserId);
    pop3_->SetPassword(s.Password);
    pop3_->SetAttachFilePath(s.Path);
    LoadLedger();
    // What a run that was killed left half-written is of no use to anyone.
    TNMPOP3::RemoveLeftovers(pop3_->AttachFilePath());
    observer_.ShowInterval(s.IntervalIndex());

    smtp_->SetSmtpServer(s.OutHost);
    smtp_->SetSmtpUsername(s.OutId);
    smtp_->SetSmtpPassword(s.Password2);
    outbox_.SetFolder(s.OutPath);

    if (s.OutPort.empty()) {
        s.OutPort = s.OutPortDefault();
        s.Save(configPath_, {"OutPort"});
    }
    // Each port is applied when it is valid, whatever the other one holds.
    bool portsGood = true;
    if (auto problem = TSettings::PortProblem(s.OutPort, "SMTP")) {
        Status(*problem);
        portsGood = false;
    } else {
        smtp_->SetSmtpPort(StrToInt(s.OutPort));
    }
    if (s.InPort.empty()) {
        s.InPort = s.InPortDefault();
        s.Save(configPath_, {"InPort"});
    }
    if (auto problem = TSettings::PortProblem(s.InPort, "POP3")) {
        Status(*problem);
        portsGood = false;
    } else {
        pop3_->SetPort(StrToInt(s.InPort));
    }
    // A word the program does not know is not taken for "auto": the user
    // meant something, and it may have been "tls".
    if (auto problem = s.SecurityProblem()) {
        Status(*problem);
        portsGood = false;
    } else {
        ApplySecurity(s);
    }
    if (auto problem = s.AuthProblem()) {
        Status(*problem);
        portsGood = false;
    } else {
        ApplyLogIn(s);
    }

    message_ = CoMailMessage::Create();
    message_->SetPriority(IMailMessage::PriorityNormal);
    message_->SetBodyFormat(IMailMessage::BodyFormatPlainText);
    message_->SetReadReceipt(IMailMessage::ReadReceiptNone);
    message_->SetSubject("QX7");
    address_ = CoMailAddress::Create();
    address_->SetAddress(s.FromAddress);
    message_->SetFrom(address_);
    message_->SetSender(address_);

    // The values as the components hold them (the Inbox folder ends in "/").
    TSettings shown = s;
    shown.Path = pop3_->AttachFilePath();
    observer_.ShowSettings(shown);

    if (!portsGood) {
        // The status line says which value; the settings stay editable.
        SetInterval(s.IntervalIndex());
        observer_.SettingsNeeded(TLoadResult::InvalidPort);
    }
    return portsGood;
}

void TPollCycle::ConnectAtStart() {
    Status("Connecting...");
    ConnectWithOneRetry();
    if (pop3_->Connected()) {
        observer_.SessionState(true);
    } else {
        observer_.SessionState(false);
        Status("Unable to connect!");
        observer_.Repaint();
    }
    pollTimer_->SetEnabled(true);
}

int TPollCycle::RunOnce() {
    once_ = true;
    // A script wants an answer: no long wait for a server that is away.
    ReconnectPolicy.GiveUpAfterMs = std::min(ReconnectPolicy.GiveUpAfterMs, 20000);
    switch (ReadSettings()) {
    case TLoadResult::Unreadable:
        return 2;
    case TLoadResult::NotConfigured:
        observer_.Error("the settings file " + configPath_ + " is not configured");
        return 2;
    default:
        break;
    }
    try {
        if (!ApplySettings()) {
            return 1;
        }
    } catch (const std::exception& e) {
        observer_.Caught(e);
        return 1;
    }
    return RunOneCycle() ? 0 : 1;
}

// ---------------------------------------------------------------- the user's values

void TPollCycle::SetFromAddress(const std::string& address) {
    if (!message_) {
        // Made here only at first run; the fixed settings belong to the start-up load.
        message_ = CoMailMessage::Create();
    }
    if (!address_) {
        address_ = CoMailAddress::Create();
    }
    address_->SetAddress(address);
    message_->SetFrom(address_);
    message_->SetSender(address_);
}

void TPollCycle::LogIn(TSettings entered, bool retrieve) {
    if (!settingsError_.empty()) {
        // Its writes would replace a file whose settings were never read.
        Status(settingsError_);
        return;
    }
    {
        // The window has no fields for these: they stay as the file has them.
        TSettings stored = TSettings::Load(configPath_);
        entered.InTimeOut = stored.InTimeOut;
        entered.CaFile = stored.CaFile;
        entered.InFingerprint = stored.InFingerprint;
        entered.OutFingerprint = stored.OutFingerprint;
        entered.InAuth = stored.InAuth;
        entered.OutAuth = stored.OutAuth;
        entered.PasswordCommand = stored.PasswordCommand;
        entered.PasswordCommand2 = stored.PasswordCommand2;
    }
    // Checked before anything is written, so that a bad value leaves the
    // settings file as it was.
    if (auto problem = entered.Problem()) {
        Status(*problem);
        return;
    }
    if (pop3_->Connected()) {
        pop3_->Disconnect();
    }
    Status("Connecting...");
    TSettings& s = entered;
    smtp_->SetSmtpServer(s.OutHost);
    s.Save(configPath_, {"OutHost", "OutId"});
    smtp_->SetSmtpUsername(s.OutId);
    // The SMTP password is kept before the log-in, the POP3 one only after it
    // succeeded - as the settings file always had them.
    const std::string typed2 = s.Password2;
    KeepInKeyring(s.Password2, s.OutHost, s.OutId);
    s.Save(configPath_, {"Password2"});
    smtp_->SetSmtpPassword(typed2);
    if (s.OutPort.empty()) {
        s.OutPort = s.OutPortDefault();
    }
    if (s.InPort.empty()) {
        s.InPort = s.InPortDefault();
    }
    observer_.ShowSettings(s);
    s.Save(configPath_, {"OutPort", "InPort", "OutSecurity"});
    pop3_->SetPort(StrToInt(s.InPort));
    ApplyInTimeOut(s.InTimeOutSeconds());
    SetFromAddress(s.FromAddress);
    smtp_->SetSmtpPort(StrToInt(s.OutPort));
    ApplySecurity(s);
    ApplyLogIn(s);
    pop3_->SetHost(s.Host);
    pop3_->SetUserID(s.UserId);
    pop3_->SetPassword(s.Password);
    pop3_->SetAttachFilePath(s.Path);

    ConnectWithOneRetry();

    observer_.SessionState(true);
    Status("Connected");
    if (pop3_->MailCount() <= 0) {
        Status("No Messages to Get");
    } else if (retrieve) {
        ReceiveStep();
        if (exitRequested_) {
            // Exit came during the step: the deletions are committed now,
            // as no poll will follow.
            EndSession();
        }
    }
    s.Host = pop3_->Host();
    s.UserId = pop3_->UserID();
    s.Password = pop3_->Password();
    s.Path = pop3_->AttachFilePath();
    if (KeepInKeyring(s.Password, s.Host, s.UserId)) {
        // The next sessions read it from there, and the window shows where.
        pop3_->SetPassword(s.Password);
        if (!IsTokenMethod(s.InAuthMode())) {
            pop3_->SetPasswordSource(
                PasswordSource(s.PasswordCommand, s.Password, s.Host, s.UserId, "POP3"));
        }
        observer_.ShowSettings(s);
    }
    s.Save(configPath_,
           {"Host", "UserId", "Password", "Path", "OutPath", "FromAddress", "InSecurity"});
    Tray(TTrayImage::Idle);
    pollTimer_->SetEnabled(true);
}

void TPollCycle::Disconnect() {
    if (pop3_->Connected()) {
        pop3_->Disconnect();
    }
    observer_.SessionState(false);
    Status("Disconnected");
    pollTimer_->SetEnabled(false);
    Tray(TTrayImage::Error);
}

void TPollCycle::SetInterval(int index) {
    if (settingsError_.empty()) {
        TSettings::Write(configPath_, "Time", std::to_string(index));
    }
    pollTimer_->SetEnabled(false);
    pollTimer_->SetInterval(TSettings::IntervalMs(index));
    pollTimer_->SetEnabled(true);
}

void TPollCycle::SetInbox(const std::string& folder) {
    pop3_->SetAttachFilePath(folder);
    if (settingsError_.empty()) {
        TSettings::Write(configPath_, "Path", pop3_->AttachFilePath());
    }
}

void TPollCycle::SetOutbox(const std::string& folder) {
    outbox_.SetFolder(folder);
    if (settingsError_.empty()) {
        TSettings::Write(configPath_, "OutPath", folder);
    }
}

// ---------------------------------------------------------------- leaving

bool TPollCycle::Busy() const {
    return cycleRunning_ || pop3_->Busy();
}

void TPollCycle::StopForExit() {
    // A wait of the running poll lies below the caller: a QUIT sent from
    // there would cut into its exchange. The poll stops at its next step and
    // ends its session itself; every wait of it is bounded by the reply
    // time-out.
    exitRequested_ = true;
    sendWait_ = false;
}

bool TPollCycle::EndSessionForExit() {
    try {
        if (pop3_->Connected()) {
            pop3_->Disconnect();
        }
    } catch (const std::exception& e) {
        if (pop3_->TimedOut()) {
            // The server stopped answering: the connection is dropped and
            // nothing is left to wait for.
            ShowIfTimedOut();
            return true;
        }
        // Reported; the client has closed its socket all the same, so a
        // second Exit ends the program.
        if (auto* app = TGuardedApplication::Instance()) {
            app->HandleException(e);
        }
        return false;
    }
    return true;
}
