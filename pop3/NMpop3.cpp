#include "pop3/NMpop3.h"

#include <algorithm>
#include <cctype>
#include <exception>
#include <optional>
#include <unistd.h>

#include "codec/Codec.h"
#include "platform/GuardedApplication.h"
#include "platform/SafeFile.h"
#include "pop3/Pop3Sasl.h"

namespace {

// A refusal carries the server's reply line; an empty "reply" means the server
// closed the connection instead of answering, which deserves words of our own.
Exception ReplyError(const std::string& reply) {
    if (reply.empty()) {
        return Exception("Connection closed by the server");
    }
    // A reply of nothing but NUL bytes, blanks or controls says nothing.
    for (char c : reply) {
        if (static_cast<unsigned char>(c) > ' ') {
            return Exception(reply);
        }
    }
    return Exception("The server sent an empty reply");
}

} // namespace

namespace {

// A reply is positive when "+OK" appears in its first blank-separated field.
bool IsPositive(const std::string& reply) {
    return ExtractField(reply, ' ', 1).find("+OK") != std::string::npos;
}

// A decimal count; anything else, a negative number or one beyond int gives 0.
// The line end of a reply that ends right after the number does not count.
int ParseCount(std::string field) {
    while (!field.empty() && (field.back() == '\n' || field.back() == '\r')) {
        field.pop_back();
    }
    if (field.empty() || field.size() > 9) {
        return 0;
    }
    int value = 0;
    for (char c : field) {
        if (c < '0' || c > '9') {
            return 0;
        }
        value = value * 10 + (c - '0');
    }
    return value;
}

} // namespace

TNMPOP3::TNMPOP3() {
    SetPort(110);
}

TNMPOP3::~TNMPOP3() {
    try {
        // The session is dropped without QUIT.
        Abort();
    } catch (...) {
        // Destruction must finish; what failed (an OnDisconnect handler, or
        // no fresh socket) goes to the reporter.
        ReportCallbackFailure(std::current_exception());
    }
}

void TNMPOP3::SetAttachFilePath(std::string value) {
    // The platform's separator stands where the original appended a backslash.
    if (!value.empty() && value.back() != '/') {
        value += '/';
    }
    attachFilePath_ = std::move(value);
}

// ---------------------------------------------------------------------------
// Session

void TNMPOP3::Connect() {
    bool asked = false;
    while (userID_.empty() || (password_.empty() && !passwordSource_)) {
        if (!OnAuthenticationNeeded) {
            throw Exception("Authentication failed");
        }
        if (asked) {
            break;
        }
        asked = true;
        bool handled = false;
        OnAuthenticationNeeded(handled);
        if (!handled) {
            throw Exception("Authentication failed");
        }
    }

    const bool wasBusy = busy_;
    busy_ = true;
    bool statReached = false;
    std::exception_ptr failure;
    try {
        capabilitiesKnown_ = false;
        capabilities_.clear();
        saslMechanisms_.clear();
        // Before connecting: a command that takes its time keeps no server
        // waiting.
        const std::string secret = passwordSource_ ? passwordSource_() : password_;
        TPowersock::Connect();
        try {
            const TSecurityPlan plan = PlanSecurity(security_, Host(), Port(), kPop3sPort);
            if (plan.implicitTls) {
                StartTls(TlsSettings(false));
            }
            std::string greeting = ReadLn();
            if (!IsPositive(greeting)) {
                throw ReplyError(greeting);
            }
            if (plan.upgrade) {
                Upgrade(plan.upgradeRequired, false);
            }
            // Plain text chosen explicitly keeps the log-in of old servers
            // (no CAPA) unless a mechanism is named.
            const bool plainTextChosen = !plan.implicitTls && !plan.upgrade;
            if (auth_ != TAuthMethod::User && !(plainTextChosen && auth_ == TAuthMethod::Auto)) {
                AskCapabilities();
            }
            LogIn(secret);
            statReached = true;
            mailCountValid_ = false;
            std::string reply = Transaction("STAT");
            if (!IsPositive(reply)) {
                throw ReplyError(reply);
            }
            mailCount_ = ParseCount(ExtractField(reply, ' ', 2));
            mailCountValid_ = true;
        } catch (...) {
            Disconnect(); // its own failure replaces the first one
            throw;
        }
    } catch (...) {
        failure = std::current_exception();
    }
    if (!wasBusy) {
        busy_ = false;
    }
    if (statReached && OnConnect) {
        OnConnect(this);
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
}

void TNMPOP3::LogIn(const std::string& secret) {
    const std::optional<TAuthMethod> mechanism =
        TPop3Sasl::Choose(auth_, saslMechanisms_, TlsActive(), secretIsToken_, Host());
    for (int attempt = 1;; ++attempt) {
        // A handler that buys a new attempt may have set another password;
        // a password source is asked once per session.
        const std::string& password = passwordSource_ ? secret : password_;
        if (mechanism) {
            if (SaslLogIn(*mechanism, password, attempt)) {
                return;
            }
        } else if (CheckAuthReply(Transaction("USER " + userID_), attempt) &&
                   CheckAuthReply(Transaction("PASS " + password), attempt)) {
            return;
        }
    }
}

namespace {

// "+ <base64>" (or a bare "+") asks for the next SASL response; "+OK" does not.
bool IsContinuation(const std::string& reply) {
    return !reply.empty() && reply[0] == '+' &&
           (reply.size() == 1 || reply[1] == ' ' || reply[1] == '\r' || reply[1] == '\n');
}

// A server's reply as part of our own text: one line, printable, bounded.
std::string ServerText(const std::string& reply) {
    constexpr std::size_t kMaxShown = 200;
    std::string text;
    for (char c : reply) {
        if (c == '\r' || c == '\n') {
            break;
        }
        if (text.size() == kMaxShown) {
            text += "...";
            break;
        }
        const auto byte = static_cast<unsigned char>(c);
        text += byte < ' ' || byte == 0x7f ? '?' : c;
    }
    return text;
}

} // namespace

// One AUTH exchange (RFC 5034); false when it was refused and
// OnAuthenticationFailed asked for a new attempt.
bool TNMPOP3::SaslLogIn(TAuthMethod mechanism, const std::string& secret, int attempt) {
    TPop3Sasl sasl(mechanism, {userID_, secret, Host(), Port()});
    std::string command = "AUTH " + sasl.Name();
    if (const std::optional<std::string> initial = sasl.InitialResponse()) {
        const std::string encoded = initial->empty() ? "=" : codec::Base64Encode(*initial);
        // Too long for the line, it follows the server's first (empty)
        // challenge instead; some servers accept only that form.
        if (command.size() + 1 + encoded.size() <= kMaxCommandLine) {
            command += " " + encoded;
            sasl.InitialResponseSent();
        }
    }
    const std::string server = "The POP3 server " + Host();
    std::string reply = Transaction(command);
    bool reported = false;
    std::string status;
    for (int challenges = 0; IsContinuation(reply); ++challenges) {
        // The server waits for a response: QUIT would be taken for one.
        if (challenges == TPop3Sasl::MaxChallenges) {
            TPowersock::Disconnect();
            throw Exception(server + " sent too many SASL challenges");
        }
        std::string_view text(reply);
        text.remove_prefix(1);
        while (!text.empty() && (text.front() == ' ')) {
            text.remove_prefix(1);
        }
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
            text.remove_suffix(1);
        }
        const std::string challenge = codec::Base64Decode(text);
        if (challenge.size() > TPop3Sasl::MaxChallengeBytes) {
            TPowersock::Disconnect();
            throw Exception(server + " sent a SASL challenge longer than " +
                            std::to_string(TPop3Sasl::MaxChallengeBytes) + " bytes");
        }
        TPop3Sasl::TAnswer answer;
        try {
            answer = sasl.Respond(challenge);
        } catch (const ESaslProtocolError&) {
            TPowersock::Disconnect();
            throw;
        }
        if (answer.errorReport) {
            reported = true;
            status = TPop3Sasl::ErrorStatus(challenge);
        }
        reply = Transaction(codec::Base64Encode(answer.response));
    }
    if (IsPositive(reply)) {
        return true;
    }
    if (reply.empty()) {
        throw ReplyError(reply);
    }
    if (RefusalHandled(attempt)) {
        return false;
    }
    std::string refusal = "POP3 log-in with " + sasl.Name() + " refused";
    if (reported) {
        refusal += status.empty() ? ": no status given" : ": status " + status;
    }
    throw Exception(refusal + "; the server said \"" + ServerText(reply) + "\"");
}

bool TNMPOP3::CheckAuthReply(const std::string& Reply, int Attempt) {
    if (IsPositive(Reply)) {
        return true;
    }
    if (!RefusalHandled(Attempt)) {
        throw Exception("Authentication failed");
    }
    return false;
}

// Whether OnAuthenticationFailed buys a new attempt after a refusal (once).
bool TNMPOP3::RefusalHandled(int Attempt) {
    if (Attempt > 1 || !OnAuthenticationFailed) {
        return false;
    }
    bool handled = false;
    OnAuthenticationFailed(handled);
    return handled;
}

void TNMPOP3::Disconnect() {
    if (!Connected()) {
        return;
    }
    std::string reply;
    std::exception_ptr failure;
    try {
        reply = Transaction("QUIT");
    } catch (...) {
        failure = std::current_exception();
    }
    TPowersock::Disconnect();
    if (failure) {
        std::rethrow_exception(failure);
    }
    if (!IsPositive(reply)) {
        throw ReplyError(reply);
    }
}

void TNMPOP3::Abort() {
    Cancel();
    if (Connected()) {
        TPowersock::Disconnect();
        ClearInput();
    }
}

// ---------------------------------------------------------------------------
// Retrieval

void TNMPOP3::WireParser() {
    parser_.AttachFilePath = attachFilePath_;
    parser_.Parse = parse_;
    parser_.OnDecodeStart = [this](std::string& fileName) {
        if (OnDecodeStart) {
            OnDecodeStart(fileName);
        }
    };
    parser_.OnPacketRecvd = [this] {
        if (OnPacketRecvd) {
            OnPacketRecvd(this);
        }
    };
    parser_.ReportStatus = [this](int level, const std::string& text) {
        ReportStatus(level, text);
    };
    parser_.ReadPiece = [this](std::string& piece, std::size_t maxPiece) {
        return ReadLnPiece(piece, maxPiece);
    };
    parser_.MaxMessageBytes = maxMessageBytes_;
}

// After a failure of our own inside a message, reads the rest of it away so
// that the next command meets its reply; false when the session cannot be
// brought back in step.
bool TNMPOP3::SkipRestOfMessage() {
    if (parser_.ReaderFailed()) {
        return false;
    }
    try {
        // Beyond another cap's worth (at least 64 MiB) the message is not
        // worth waiting for: the session is dropped instead.
        constexpr std::size_t kMinSkip = 64u * 1024u * 1024u;
        return parser_.SkipToEnd(std::max(maxMessageBytes_, kMinSkip));
    } catch (...) {
        return false; // the retrieval's own failure is the one to report
    }
}

void TNMPOP3::SyncWrittenFiles() {
    for (const std::string& file : parser_.WrittenFiles()) {
        SyncFileAndFolder(file);
    }
}

void TNMPOP3::PrepareRetrieval() {
    parser_.TransferEncoding.clear();
    message_.Boundary.clear();
    parser_.AttachFileName.clear();
    parser_.PartTarget = 2;
    WireParser();
}

// Reads the message after its RETR reply; false when `skipAfterHeader` had
// it read away unextracted. `inStep` says whether the session could go on
// after a failure.
bool TNMPOP3::ReadMessage(const std::string& number, const std::string& reply, bool& inStep,
                          const std::function<bool()>& skipAfterHeader) {
    if (reply.empty()) {
        throw Exception(ConnectionClosedText);
    }
    inStep = true;
    if (!IsPositive(reply)) {
        throw ReplyError(reply);
    }
    inStep = false;
    parser_.BeginRetrieval();
    bool processed = true;
    try {
        ParseHeader(false);
        if (skipAfterHeader && skipAfterHeader()) {
            processed = false;
            inStep = SkipRestOfMessage();
            if (!inStep) {
                throw EMessageTooLarge("Message " + number + " is larger than " +
                                       std::to_string(maxMessageBytes_) +
                                       " bytes: left on the server");
            }
        } else {
            parser_.ProcessMessage();
        }
    } catch (const EMessageTooLarge&) {
        inStep = SkipRestOfMessage();
        throw EMessageTooLarge("Message " + number + " is larger than " +
                               std::to_string(maxMessageBytes_) + " bytes: left on the server");
    } catch (...) {
        inStep = SkipRestOfMessage();
        throw;
    }
    inStep = true;
    return processed;
}

void TNMPOP3::StartRetrieval(bool busyBefore) {
    busy_ = true;
    try {
        CheckConnection();
        if (OnRetrieveStart) {
            OnRetrieveStart(this);
        }
    } catch (...) {
        busy_ = busyBefore;
        throw;
    }
}

void TNMPOP3::RetrieveMessage(int Number) {
    if (busy_) {
        return;
    }
    StartRetrieval(false);

    std::exception_ptr failure;
    // Until the whole message has been read, a failure leaves unread lines on
    // the connection: the session is out of step and is dropped.
    bool inStep = true;
    try {
        PrepareRetrieval();
        const std::string number = std::to_string(Number);
        inStep = false;
        std::string reply = Transaction("RETR " + number);
        ReadMessage(number, reply, inStep, {});

        // The files must be on disk for good before the server forgets the
        // message.
        SyncWrittenFiles();

        if (deleteOnRead_) {
            inStep = false;
            reply = Transaction("DELE " + number);
            if (reply.empty()) {
                throw Exception(ConnectionClosedText);
            }
            inStep = true;
            if (ExtractField(reply, ' ', 1) == "-ERR") {
                throw ReplyError(reply);
            }
        }
        ReportStatus(1, "Message Retrieved");
    } catch (...) {
        failure = std::current_exception();
        if (!inStep) {
            try {
                Abort();
            } catch (...) {
                // The retrieval's own failure is the one the caller hears
                // of; the reporter hears of this one.
                ReportCallbackFailure(std::current_exception());
            }
        }
    }
    try {
        if (OnRetrieveEnd) {
            OnRetrieveEnd(this);
        }
    } catch (...) {
        busy_ = false;
        throw;
    }
    busy_ = false;
    if (failure) {
        std::rethrow_exception(failure);
    }
}

TNMPOP3::TRetrieved TNMPOP3::ReadRetrieved(int Number,
                                           const std::function<bool()>& skipAfterHeader) {
    const bool wasBusy = busy_;
    StartRetrieval(wasBusy);
    TRetrieved result;
    std::exception_ptr failure;
    bool inStep = false;
    try {
        PrepareRetrieval();
        parser_.StageOnly = true;
        const std::string reply = ReadLn();
        result.skipped = !ReadMessage(std::to_string(Number), reply, inStep, skipAfterHeader);
        result.files = parser_.TakeStaged();
        result.bytes = parser_.MessageBytes();
        ReportStatus(1, "Message Retrieved");
    } catch (...) {
        failure = std::current_exception();
        for (const auto& file : parser_.TakeStaged()) {
            ::unlink(file.first.c_str());
        }
        if (!inStep) {
            try {
                Abort();
            } catch (...) {
                ReportCallbackFailure(std::current_exception());
            }
        }
    }
    parser_.StageOnly = false;
    try {
        if (OnRetrieveEnd) {
            OnRetrieveEnd(this);
        }
    } catch (...) {
        for (const auto& file : result.files) {
            ::unlink(file.first.c_str());
        }
        busy_ = wasBusy;
        throw;
    }
    busy_ = wasBusy;
    if (failure) {
        std::rethrow_exception(failure);
    }
    return result;
}

// ---------------------------------------------------------------------------
// Security

TTlsSettings TNMPOP3::TlsSettings(bool inspectOnly) const {
    TTlsSettings settings;
    settings.serverName = Host();
    settings.port = Port();
    settings.caFile = caFile_;
    settings.fingerprint = fingerprint_;
    settings.inspectOnly = inspectOnly;
    return settings;
}

// Whether the capabilities (CAPA) list STLS; the list is kept for
// HasCapability. A server that refuses CAPA has none to list; one that
// closes instead has ended the session.
bool TNMPOP3::OffersStls() {
    capabilitiesKnown_ = true;
    capabilities_.clear();
    saslMechanisms_.clear();
    std::string reply = Transaction("CAPA");
    if (reply.empty()) {
        throw ReplyError(reply);
    }
    if (!IsPositive(reply)) {
        return false;
    }
    std::string line;
    for (int count = 0;; ++count) {
        if (count > kMaxCapabilityLines) {
            // The rest of the list would be read as replies: no QUIT.
            TPowersock::Disconnect();
            throw Exception("The POP3 server " + Host() + " sent too many capabilities");
        }
        ReadLn(line);
        if (line.empty()) {
            throw ReplyError(line);
        }
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
            line.pop_back();
        }
        if (line == ".") {
            return capabilities_.count("STLS") != 0;
        }
        ReadCapability(line);
    }
}

// One line of the CAPA list (without its line end): its first word, and
// for SASL the mechanisms that follow it.
void TNMPOP3::ReadCapability(const std::string& line) {
    const auto upper = [](std::string word) {
        std::transform(word.begin(), word.end(), word.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        return word;
    };
    const std::string name = upper(ExtractField(line, ' ', 1));
    if (name.size() > kMaxCapabilityName) {
        return;
    }
    capabilities_.insert(name);
    if (name != "SASL") {
        return;
    }
    std::size_t at = line.find(' ');
    while (at != std::string::npos && saslMechanisms_.size() < kMaxSaslMechanisms) {
        const std::size_t begin = line.find_first_not_of(' ', at);
        if (begin == std::string::npos) {
            break;
        }
        at = line.find(' ', begin);
        const std::string mechanism = upper(line.substr(begin, at - begin));
        // RFC 4422 3.1: upper-case letters, digits, "-" and "_", at most 20.
        const bool wellFormed =
            mechanism.size() <= 20 && std::all_of(mechanism.begin(), mechanism.end(), [](char c) {
                return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
            });
        if (wellFormed) {
            saslMechanisms_.insert(mechanism);
        }
    }
}

void TNMPOP3::AskCapabilities() {
    if (!capabilitiesKnown_) {
        (void)OffersStls();
    }
}

bool TNMPOP3::HasCapability(const std::string& name) {
    AskCapabilities();
    return capabilities_.count(name) != 0;
}

// STLS (RFC 2595) after the greeting. Without an offer, or when the server
// refuses it, a required upgrade ends the session before anything of the
// log-in is sent; otherwise the session goes on in plain text.
void TNMPOP3::Upgrade(bool required, bool inspectOnly) {
    if (!OffersStls()) {
        if (required) {
            throw ETlsError("The POP3 server " + Host() +
                                " does not offer STLS; it is required to protect the password",
                            TTlsFailure::UpgradeRefused);
        }
        return;
    }
    std::string reply = Transaction("STLS");
    if (reply.empty()) {
        throw ReplyError(reply);
    }
    if (!IsPositive(reply)) {
        if (required) {
            throw ETlsError("The POP3 server " + Host() +
                                " refused STLS; it is required to protect the password",
                            TTlsFailure::UpgradeRefused);
        }
        return;
    }
    StartTls(TlsSettings(inspectOnly));
    // What the server offers may differ once the connection is protected;
    // the answer before the handshake counts for nothing.
    (void)OffersStls();
}

TTlsCertificateFacts TNMPOP3::ProbeCertificate() {
    const TSecurityPlan plan = PlanSecurity(security_, Host(), Port(), kPop3sPort);
    if (!plan.implicitTls && !plan.upgrade) {
        throw Exception("The POP3 server " + Host() +
                        " is set to plain text (security none): there is no certificate to show");
    }
    const bool wasBusy = busy_;
    busy_ = true;
    TTlsCertificateFacts facts;
    std::exception_ptr failure;
    try {
        TPowersock::Connect();
        try {
            if (plan.implicitTls) {
                StartTls(TlsSettings(true));
            }
            std::string greeting = ReadLn();
            if (!IsPositive(greeting)) {
                throw ReplyError(greeting);
            }
            if (!plan.implicitTls) {
                // Even where plain text would do, there is nothing to show
                // without the upgrade.
                Upgrade(true, true);
            }
            facts = TlsCertificateFacts();
        } catch (...) {
            Disconnect(); // as after a failed Connect
            throw;
        }
        try {
            Disconnect();
        } catch (...) {
            // The certificate was seen; a refused QUIT changes nothing of it,
            // and Disconnect has closed the connection either way.
        }
    } catch (...) {
        failure = std::current_exception();
    }
    if (!wasBusy) {
        busy_ = false;
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
    return facts;
}
