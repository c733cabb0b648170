#include "pop3/NMpop3.h"

#include <algorithm>
#include <cctype>
#include <exception>
#include <unistd.h>

#include "platform/GuardedApplication.h"
#include "platform/SafeFile.h"

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
    while (userID_.empty() || password_.empty()) {
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
            LogIn();
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

void TNMPOP3::LogIn() {
    for (int attempt = 1;; ++attempt) {
        if (CheckAuthReply(Transaction("USER " + userID_), attempt) &&
            CheckAuthReply(Transaction("PASS " + password_), attempt)) {
            return;
        }
    }
}

bool TNMPOP3::CheckAuthReply(const std::string& Reply, int Attempt) {
    if (IsPositive(Reply)) {
        return true;
    }
    if (Attempt > 1 || !OnAuthenticationFailed) {
        throw Exception("Authentication failed");
    }
    bool handled = false;
    OnAuthenticationFailed(handled);
    if (!handled) {
        throw Exception("Authentication failed");
    }
    return false;
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
        std::string name = ExtractField(line, ' ', 1);
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        if (name.size() <= kMaxCapabilityName) {
            capabilities_.insert(name);
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
