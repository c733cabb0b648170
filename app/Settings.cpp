#include "app/Settings.h"

#include <stdexcept>

#include "net/TlsSession.h"
#include "platform/Convert.h"
#include "platform/ProfileFile.h"
#include "platform/SecretCommand.h"

namespace {

const char* const Section = "Account";
// What a missing key reads as where "" is a value of its own: no line of an
// INI file holds a line break.
const char* const Missing = "\n";

constexpr int IntervalMsTable[TSettings::IntervalCount] = {
    30000,   60000,   180000,  300000,   600000,   1200000, 1800000,
    2700000, 3600000, 7200000, 21600000, 43200000, 86400000};

struct TKey {
    const char* name;
    std::string TSettings::*value;
};

// File order of a first write; the value a missing key reads as is the
// member's default.
// clang-format off
constexpr TKey Keys[] = {
    {"Host", &TSettings::Host}, {"InPort", &TSettings::InPort}, {"InTimeOut", &TSettings::InTimeOut},
    {"UserId", &TSettings::UserId}, {"Password", &TSettings::Password}, {"Path", &TSettings::Path},
    {"OutHost", &TSettings::OutHost}, {"OutPort", &TSettings::OutPort}, {"OutId", &TSettings::OutId},
    {"Password2", &TSettings::Password2}, {"FromAddress", &TSettings::FromAddress},
    {"OutPath", &TSettings::OutPath}, {"Time", &TSettings::Time},
    {"InSecurity", &TSettings::InSecurity}, {"OutSecurity", &TSettings::OutSecurity},
    {"CaFile", &TSettings::CaFile}, {"InFingerprint", &TSettings::InFingerprint},
    {"OutFingerprint", &TSettings::OutFingerprint},
    {"InAuth", &TSettings::InAuth}, {"OutAuth", &TSettings::OutAuth},
    {"PasswordCommand", &TSettings::PasswordCommand},
    {"PasswordCommand2", &TSettings::PasswordCommand2},
    {"OAuthDeviceUrl", &TSettings::OAuthDeviceUrl}, {"OAuthTokenUrl", &TSettings::OAuthTokenUrl},
    {"OAuthClientId", &TSettings::OAuthClientId},
    {"OAuthClientSecret", &TSettings::OAuthClientSecret},
    {"OAuthScope", &TSettings::OAuthScope},
};
// clang-format on

const TKey& KeyNamed(const char* name) {
    for (const TKey& key : Keys) {
        if (std::string_view(key.name) == name) {
            return key;
        }
    }
    throw std::invalid_argument(std::string("no settings key ") + name);
}

} // namespace

const char* const TSettings::IntervalNames[IntervalCount] = {
    "30 sec", "1 min",  "3 min",   "5 min",   "10 min",   "20 min",  "30 min",
    "45 min", "1 hour", "2 hours", "6 hours", "12 hours", "24 hours"};

TSettings TSettings::Load(const std::string& path) {
    TProfileFile ini(path);
    TSettings settings;
    for (const TKey& key : Keys) {
        std::string& value = settings.*key.value;
        value = ini.ReadString(Section, key.name, value);
    }
    std::string logFile = ini.ReadString(Section, "LogFile", Missing);
    if (logFile != Missing) {
        settings.LogFile = std::move(logFile);
    }
    return settings;
}

void TSettings::Save(const std::string& path, std::initializer_list<const char*> keys) const {
    for (const char* name : keys) {
        Write(path, name, this->*KeyNamed(name).value);
    }
}

void TSettings::Write(const std::string& path, const char* key, const std::string& value) {
    TProfileFile(path).WriteString(Section, key, value);
}

bool TSettings::IsConfigured() const noexcept {
    return Host != Unset && OutHost != Unset;
}

TOAuth2Endpoints TSettings::OAuthEndpoints() const {
    return {OAuthDeviceUrl, OAuthTokenUrl, OAuthClientId, OAuthClientSecret, OAuthScope};
}

std::optional<std::string> TSettings::Problem() const {
    const std::pair<const std::string*, const char*> required[] = {
        {&Host, "Enter Incoming Mail Server (POP3)"},
        {&UserId, "Enter Account Name"},
        {&Password, "Enter Password"},
        {&Path, "Enter Path for Inbox Folder"},
        {&OutHost, "Enter Outgoing Mail Server (SMTP)"},
        {&OutPath, "Enter Path for Outbox Folder"},
        {&FromAddress, "Enter From Address"},
    };
    for (auto [value, text] : required) {
        if (value == &Password && (!PasswordCommand.empty() || IsTokenMethod(InAuthMode()))) {
            continue;
        }
        if (value->empty()) {
            return text;
        }
    }
    return ConnectionProblem();
}

std::optional<std::string> TSettings::ConnectionProblem() const {
    for (auto [port, what] : {std::pair{&OutPort, "SMTP"}, std::pair{&InPort, "POP3"}}) {
        if (!port->empty()) {
            if (auto problem = PortProblem(*port, what)) {
                return problem;
            }
        }
    }
    if (auto problem = SecurityProblem()) {
        return problem;
    }
    return AuthProblem();
}

std::optional<std::string> TSettings::AuthProblem() const {
    if (!ParseAuthMethod(InAuth)) {
        return "Invalid InAuth \"" + InAuth +
               "\": enter auto, user, plain, login, cram-md5, xoauth2 or oauthbearer";
    }
    auto out = ParseAuthMethod(OutAuth);
    if (!out || *out == TAuthMethod::User) {
        return "Invalid OutAuth \"" + OutAuth +
               "\": enter auto, plain, login, cram-md5, xoauth2 or oauthbearer";
    }
    for (auto [command, key] : {std::pair{&PasswordCommand, "PasswordCommand"},
                                std::pair{&PasswordCommand2, "PasswordCommand2"}}) {
        if (command->empty()) {
            continue;
        }
        try {
            (void)SplitCommandLine(*command);
        } catch (const ECommandLineError& e) {
            return std::string("Invalid ") + key + ": " + e.what();
        }
    }
    return std::nullopt;
}

std::optional<std::string> TSettings::SecurityProblem() const {
    for (auto [word, key] :
         {std::pair{&InSecurity, "InSecurity"}, std::pair{&OutSecurity, "OutSecurity"}}) {
        if (!ParseSecurity(*word)) {
            return std::string("Invalid ") + key + " \"" + *word +
                   "\": enter auto, tls, starttls or none";
        }
    }
    for (auto [pin, key] : {std::pair{&InFingerprint, "InFingerprint"},
                            std::pair{&OutFingerprint, "OutFingerprint"}}) {
        if (!pin->empty() && !NormalizeFingerprint(*pin)) {
            return std::string("Invalid ") + key + " \"" + *pin +
                   "\": enter the SHA-256 fingerprint, 64 hex digits (colons allowed)";
        }
    }
    return std::nullopt;
}

std::optional<std::string> TSettings::PortProblem(const std::string& port, const char* what) {
    auto value = TryStrToInt64(port);
    if (!value || *value < 1 || *value > 65535) {
        return std::string("Invalid ") + what + " port \"" + port +
               "\": enter a whole number from 1 to 65535";
    }
    return std::nullopt;
}

std::string TSettings::LogTarget(const std::string& settingsPath) const {
    if (!LogFile) {
        return BesideSettings(settingsPath, ".log");
    }
    if (LogFile->empty() || *LogFile == "syslog" || LogFile->front() == '/') {
        return *LogFile;
    }
    const std::size_t slash = settingsPath.rfind('/');
    return slash == std::string::npos ? *LogFile : settingsPath.substr(0, slash + 1) + *LogFile;
}

int TSettings::IntervalIndex() const noexcept {
    int index = StrToIntDef(Time, DefaultInterval);
    return index >= 0 && index < IntervalCount ? index : DefaultInterval;
}

int TSettings::IntervalMs(int index) noexcept {
    return index >= 0 && index < IntervalCount ? IntervalMsTable[index] : 0;
}

int TSettings::InTimeOutSeconds() const noexcept {
    auto seconds = TryStrToInt64(InTimeOut);
    bool usable = seconds && *seconds >= 1 && *seconds <= MaxInTimeOutSeconds;
    return static_cast<int>(usable ? *seconds : DefaultInTimeOutSeconds);
}

TSecurity TSettings::InSecurityMode() const {
    return ParseSecurity(InSecurity).value_or(TSecurity::Auto);
}

TSecurity TSettings::OutSecurityMode() const {
    return ParseSecurity(OutSecurity).value_or(TSecurity::Auto);
}

TAuthMethod TSettings::InAuthMode() const {
    return ParseAuthMethod(InAuth).value_or(TAuthMethod::Auto);
}

TAuthMethod TSettings::OutAuthMode() const {
    const TAuthMethod method = ParseAuthMethod(OutAuth).value_or(TAuthMethod::Auto);
    return method == TAuthMethod::User ? TAuthMethod::Auto : method;
}

const char* TSettings::InPortDefault() const {
    return InSecurityMode() == TSecurity::Tls ? DefaultInTlsPort : DefaultInPort;
}

const char* TSettings::OutPortDefault() const {
    return OutSecurityMode() == TSecurity::Tls ? DefaultOutTlsPort : DefaultOutPort;
}
