#include "smtp/AddEmailLib_TLB.h"

#include "platform/AssignIfChanged.h"
#include "platform/GuardedApplication.h"
#include "smtp/MailComposer.h"
#include "smtp/SmtpTransport.h"

#include <QDateTime>
#include <QSysInfo>
#include <exception>
#include <optional>

// Where and how one connection goes: the url, STARTTLS and the certificate
// check, once the configured security is resolved for the server and port.
struct SmtpConnection {
    std::string url;
    long useSsl = CURLUSESSL_ALL;
    bool plainText = false; // no TLS at all, as configured
    SmtpTlsPolicy tls;
};

namespace {

// Outcomes kept for GetErrorCode/GetErrorText: enough for any status handler
// to look its message up, bounded for a gateway that runs for months.
constexpr size_t kKeptOutcomes = 256;

bool IsHostNameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-' || c == '_';
}

bool IsHostName(const std::string& s) {
    if (s.empty() || s.size() > 253) {
        return false;
    }
    for (char c : s) {
        if (!IsHostNameChar(c)) {
            return false;
        }
    }
    return true;
}

// An IPv6 literal, bracketed or bare: hex digits, colons, dots.
bool IsIpv6Literal(const std::string& s) {
    if (s.find(':') == std::string::npos || s.size() > 64) {
        return false;
    }
    for (char c : s) {
        bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') ||
                  c == ':' || c == '.';
        if (!ok) {
            return false;
        }
    }
    return true;
}

std::string EhloName(const std::string& configured) {
    if (IsHostName(configured)) {
        return configured;
    }
    std::string host = QSysInfo::machineHostName().toStdString();
    return IsHostName(host) ? host : "localhost";
}

std::string Quoted(const std::string& s) {
    return "\"" + s + "\"";
}

// Called inside a catch block only.
std::string CurrentExceptionText() {
    try {
        throw;
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown exception";
    }
}

// Why the connection failed before any command of the transfer, or "" when
// the failure is the transfer's own.
std::string ConnectionFailure(const SmtpResult& r, const std::string& server,
                              const std::string& where) {
    if (r.tlsFailure != TTlsFailure::None) {
        return r.tlsText;
    }
    switch (r.code) {
    case CURLE_COULDNT_RESOLVE_HOST:
        return "Unknown SMTP server host " + Quoted(server) + " (" + r.curlText + ")";
    case CURLE_COULDNT_CONNECT:
        return "Cannot connect to the SMTP server " + where + " (" + r.curlText + ")";
    case CURLE_USE_SSL_FAILED:
        return "The SMTP server " + where +
               (r.lastCommand == "STARTTLS" ? " refused STARTTLS" : " does not offer STARTTLS") +
               ", which the security setting requires; nothing was sent (" + r.curlText + ")";
    case CURLE_SSL_CONNECT_ERROR:
        return "TLS: the handshake with " + where + " failed (" + r.curlText + ")";
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CACERT_BADFILE:
        return "No secure connection to the SMTP server " + where + " (" + r.curlText + ")";
    default:
        return "";
    }
}

} // namespace

// --- message object ---------------------------------------------------------

void IMailMessage::SetPriority(int priority) {
    if (priority < PriorityHighest || priority > PriorityLowest) {
        throw ESmtpMailError("Invalid priority " + std::to_string(priority) +
                             ": use 1 (highest) to 5 (lowest)");
    }
    priority_ = priority;
}

void IMailMessage::SetBodyFormat(int bodyFormat) {
    if (bodyFormat != BodyFormatPlainText && bodyFormat != BodyFormatHtml) {
        throw ESmtpMailError("Invalid body format " + std::to_string(bodyFormat) +
                             ": use 0 (plain text) or 1 (HTML)");
    }
    bodyFormat_ = bodyFormat;
}

void IMailMessage::SetReadReceipt(int readReceipt) {
    if (readReceipt != ReadReceiptNone && readReceipt != ReadReceiptRequested) {
        throw ESmtpMailError("Invalid read receipt request " + std::to_string(readReceipt) +
                             ": use 0 (none) or 1 (requested)");
    }
    readReceipt_ = readReceipt;
}

void IMailMessage::SetSubject(const std::string& subject) {
    for (unsigned char c : subject) {
        if (c < 0x20 || c == 0x7f) {
            throw ESmtpMailError("Invalid subject: it contains a line break or control character");
        }
    }
    if (subject.size() > 900) {
        throw ESmtpMailError("Invalid subject: longer than 900 characters");
    }
    subject_ = subject;
}

void IMailMessage::SetMessageId(const std::string& messageId) {
    if (messageId.empty()) {
        messageId_.clear();
        return;
    }
    bool printable = true;
    for (unsigned char c : messageId) {
        printable = printable && c > 0x20 && c < 0x7f;
    }
    const bool bracketed = messageId.size() >= 3 && messageId.front() == '<' &&
                           messageId.back() == '>' && messageId.find('@') != std::string::npos &&
                           messageId.find_first_of("<>", 1) == messageId.size() - 1;
    if (!printable || !bracketed || messageId.size() > 900) {
        throw ESmtpMailError("Invalid Message-ID: use printable characters without blanks, "
                             "as in <id@domain>");
    }
    messageId_ = messageId;
}

void IMailMessage::SetFrom(const IMailAddressPtr& address) {
    if (!address) {
        throw ESmtpMailError("SetFrom: no address object");
    }
    from_ = address;
}

void IMailMessage::SetSender(const IMailAddressPtr& address) {
    if (!address) {
        throw ESmtpMailError("SetSender: no address object");
    }
    sender_ = address;
}

void IMailMessage::AddRecipient(const IMailAddressPtr& address) {
    if (!address) {
        throw ESmtpMailError("AddRecipient: no address object");
    }
    recipients_.push_back(address);
}

void IMailMessage::AddAttachment(const IMailAttachmentPtr& attachment) {
    if (!attachment) {
        throw ESmtpMailError("AddAttachment: no attachment object");
    }
    attachments_.push_back(attachment);
}

// --- control: properties ----------------------------------------------------

TSmtpMail::TSmtpMail()
    : alive_(std::make_shared<bool>(true)), transport_(std::make_shared<SmtpTransport>()) {}

TSmtpMail::~TSmtpMail() {
    *alive_ = false;
    // A Send waiting in its nested loop returns at once and touches nothing
    // of this object any more.
    transport_->Cancel();
}

void TSmtpMail::SettingsChanged() {
    reconnect_ = true;
}

void TSmtpMail::SetSmtpServer(const std::string& v) {
    if (AssignIfChanged(smtpServer_, v)) {
        SettingsChanged();
    }
}

void TSmtpMail::SetSmtpPort(int v) {
    if (v < 1 || v > 65535) {
        throw ESmtpMailError("Invalid SMTP port " + std::to_string(v) + ": use 1 to 65535");
    }
    if (AssignIfChanged(smtpPort_, v)) {
        SettingsChanged();
    }
}

void TSmtpMail::SetSmtpUsername(const std::string& v) {
    if (AssignIfChanged(smtpUsername_, v)) {
        SettingsChanged();
    }
}

void TSmtpMail::SetSmtpPassword(const std::string& v) {
    if (AssignIfChanged(smtpPassword_, v)) {
        SettingsChanged();
    }
}

void TSmtpMail::SetMaxThreads(int v) {
    if (v < 1) {
        throw ESmtpMailError("Invalid MaxThreads " + std::to_string(v) + ": use 1 or more");
    }
    maxThreads_ = v;
}

void TSmtpMail::SetSenderHostname(const std::string& v) {
    if (AssignIfChanged(senderHostname_, v)) {
        SettingsChanged();
    }
}

void TSmtpMail::SetSmtpSPA(bool v) {
    if (AssignIfChanged(smtpSPA_, v)) {
        SettingsChanged();
    }
}

void TSmtpMail::SetSmtpAuth(TAuthMethod v) {
    if (AssignIfChanged(smtpAuth_, v)) {
        SettingsChanged();
    }
}

void TSmtpMail::SetSecurity(TSecurity value) {
    if (AssignIfChanged(security_, value)) {
        SettingsChanged();
    }
}

void TSmtpMail::SetCaFile(std::string value) {
    if (AssignIfChanged(caFile_, std::move(value))) {
        SettingsChanged();
    }
}

void TSmtpMail::SetFingerprint(std::string value) {
    if (AssignIfChanged(fingerprint_, std::move(value))) {
        SettingsChanged();
    }
}

void TSmtpMail::SetSmtpSSL(bool v) {
    if (AssignIfChanged(smtpSSL_, v)) {
        SettingsChanged();
    }
}

void TSmtpMail::SetConnectTimeout(int seconds) {
    if (seconds < 1) {
        throw ESmtpMailError("Invalid connect time-out " + std::to_string(seconds) +
                             ": use 1 second or more");
    }
    connectTimeout_ = seconds;
}

void TSmtpMail::SetTransferTimeout(int seconds) {
    if (seconds < 1) {
        throw ESmtpMailError("Invalid transfer time-out " + std::to_string(seconds) +
                             ": use 1 second or more");
    }
    transferTimeout_ = seconds;
}

// --- control: sending -------------------------------------------------------

void TSmtpMail::RaiseStatus(int messageNumber, int status) {
    if (!OnStatusChange) {
        return;
    }
    try {
        OnStatusChange(this, messageNumber, status);
    } catch (...) {
        // The send's outcome is told by its return value and this event
        // alone; a handler's failure is the reporter's.
        ReportCallbackFailure(std::current_exception());
    }
}

int TSmtpMail::Finish(int messageNumber, int code, std::string text, std::string& description) {
    if (code == 0) {
        text.clear();
    }
    description = text;
    outcomes_.push_back(Outcome{messageNumber, code, std::move(text)});
    while (outcomes_.size() > kKeptOutcomes) {
        outcomes_.pop_front();
    }
    return code;
}

const TSmtpMail::Outcome& TSmtpMail::Find(int messageNumber) const {
    for (const Outcome& o : outcomes_) {
        if (o.messageNumber == messageNumber) {
            return o;
        }
    }
    throw ESmtpMailError("Unknown message number " + std::to_string(messageNumber));
}

int TSmtpMail::GetErrorCode(int messageNumber) const {
    return Find(messageNumber).code;
}

std::string TSmtpMail::GetErrorText(int messageNumber) const {
    return Find(messageNumber).text;
}

int TSmtpMail::Send(const IMailMessagePtr& message, int /*flags*/, std::string& description) {
    const int number = ++lastMessageNumber_;
    if (sending_) {
        // A handler running inside the wait of a Send called Send again.
        return Finish(number, ErrorBusy,
                      "The SMTP control is busy sending message " + std::to_string(number - 1) +
                          "; try again when it has finished",
                      description);
    }
    std::shared_ptr<bool> alive = alive_;
    lastReply_.clear();
    RaiseStatus(number, StatusSending);
    if (!*alive) {
        // The handler destroyed the control: nothing of it may be touched.
        description = "The SMTP control was closed before sending";
        return ErrorAborted;
    }

    std::string text;
    std::exception_ptr handlerError;
    sending_ = true;
    int code = 0;
    try {
        code = Transfer(number, message, text, handlerError);
    } catch (...) {
        // Only what the program cannot go on from (out of memory) comes here.
        // Whatever ends the send, the control is free for the next one.
        if (*alive) {
            sending_ = false;
            std::string ignored;
            Finish(number, ErrorAborted, "Sending failed: " + CurrentExceptionText(), ignored);
        }
        ReportCallbackFailure(handlerError);
        throw;
    }
    // An OnProgress handler's failure was carried past libcurl; it ended the
    // transfer (unless the message was through already), and goes where
    // every callback failure goes.
    if (!*alive) {
        // Destroyed while sending: nothing of this object may be touched.
        ReportCallbackFailure(handlerError);
        description = text;
        return code;
    }
    sending_ = false;
    code = Finish(number, code, std::move(text), description);
    ReportCallbackFailure(handlerError);
    // The reporter may have run an event loop in which the control went.
    if (*alive) {
        RaiseStatus(number, code == 0 ? StatusSent : StatusFailed);
    }
    return code;
}

int TSmtpMail::Transfer(int messageNumber, const IMailMessagePtr& message, std::string& text,
                        std::exception_ptr& handlerError) {
    if (!message) {
        text = "No message object to send";
        return ErrorBadMessage;
    }
    MailHeaderFields fields;
    std::string why;
    if (!message->GetFrom()) {
        text = "The message has no From address";
        return ErrorBadMessage;
    }
    if (!ParseMailAddress(message->GetFrom()->GetAddress(), fields.from, why)) {
        text = "The From address " + Quoted(message->GetFrom()->GetAddress()) +
               " is not a mail address: " + why;
        return ErrorBadMessage;
    }
    fields.sender = fields.from;
    if (message->GetSender() &&
        !ParseMailAddress(message->GetSender()->GetAddress(), fields.sender, why)) {
        text = "The Sender address " + Quoted(message->GetSender()->GetAddress()) +
               " is not a mail address: " + why;
        return ErrorBadMessage;
    }
    if (message->Recipients().empty()) {
        text = "The message has no recipient";
        return ErrorBadMessage;
    }
    for (const IMailAddressPtr& r : message->Recipients()) {
        MailAddressParts parts;
        if (!ParseMailAddress(r->GetAddress(), parts, why)) {
            text = "The recipient address " + Quoted(r->GetAddress()) +
                   " is not a mail address: " + why;
            return ErrorBadMessage;
        }
        fields.to.push_back(parts);
    }
    SmtpConnection connection;
    if (!PlanConnection(connection, text)) {
        return ErrorBadMessage;
    }
    const std::string where = ServerLabel();

    fields.subject = message->GetSubject();
    fields.priority = message->GetPriority();
    fields.htmlBody = message->GetBodyFormat() == IMailMessage::BodyFormatHtml;
    fields.readReceipt = message->GetReadReceipt() == IMailMessage::ReadReceiptRequested;
    QDateTime now = QDateTime::currentDateTime();
    fields.date = now.toString(Qt::RFC2822Date).toStdString();
    const std::string& fromAddress = fields.from.address;
    const std::string& givenId = message->GetMessageId();
    fields.messageId = !givenId.empty()
                           ? givenId.substr(1, givenId.size() - 2)
                           : std::to_string(now.toMSecsSinceEpoch()) + "." +
                                 std::to_string(messageNumber) + "." +
                                 std::to_string(reinterpret_cast<uintptr_t>(this) & 0xffffff) +
                                 fromAddress.substr(fromAddress.rfind('@'));

    std::vector<std::string> paths;
    for (const IMailAttachmentPtr& a : message->Attachments()) {
        paths.push_back(a->GetFileName());
    }
    std::unique_ptr<MailStream> stream;
    try {
        stream = std::make_unique<MailStream>(fields, paths);
    } catch (const ESmtpMailError& e) {
        text = "Cannot attach the file: " + e.Message();
        return ErrorReadAttachment;
    }

    if (reconnect_) {
        transport_->DropConnections();
        reconnect_ = false;
    }
    SmtpJob job;
    job.url = connection.url;
    job.useSsl = connection.useSsl;
    job.tls = connection.tls;
    job.username = smtpUsername_;
    job.password = smtpPassword_;
    job.spa = smtpSPA_;
    if (smtpAuth_ != TAuthMethod::Auto && smtpAuth_ != TAuthMethod::User) {
        job.mechanism = SaslMechanismName(smtpAuth_);
        job.bearer = IsTokenMethod(smtpAuth_);
    }
    job.connectTimeout = connectTimeout_;
    job.transferTimeout = transferTimeout_;
    job.mailFrom = fields.sender.address;
    for (const MailAddressParts& p : fields.to) {
        job.recipients.push_back(p.address);
    }
    job.size = stream->TotalSize();
    MailStream* s = stream.get();
    std::exception_ptr readError;
    job.read = [s, &readError](char* buffer, size_t capacity) -> long {
        try {
            return s->Read(buffer, capacity);
        } catch (...) {
            // Never through libcurl's C frames: carried past it and rethrown.
            readError = std::current_exception();
            return -1;
        }
    };
    const int64_t total = stream->TotalSize();
    job.progress = [this, messageNumber, total, &handlerError](int64_t sent) {
        if (!OnProgress) {
            return true;
        }
        try {
            OnProgress(this, messageNumber, sent, total);
            return true;
        } catch (...) {
            // Never through libcurl's C frames: carried past it to Send,
            // which reports it.
            handlerError = std::current_exception();
            return false;
        }
    };

    std::shared_ptr<SmtpTransport> transport = transport_;
    std::shared_ptr<bool> alive = alive_;
    SmtpResult r = transport->Perform(job);
    if (readError) {
        std::rethrow_exception(readError);
    }
    if (r.canceled || !*alive) {
        text = "Sending to " + where + " was canceled: the SMTP control was closed";
        return ErrorAborted;
    }
    if (r.code == CURLE_OK && (r.responseCode == 0 || r.responseCode < 400)) {
        // The last line the server sent: its verdict on the message.
        lastReply_ = r.serverReply;
        return 0;
    }
    if (handlerError) {
        text = "Sending was aborted by the OnProgress handler";
        return ErrorAborted;
    }
    if (!stream->Error().empty()) {
        text = stream->Error();
        return ErrorReadAttachment;
    }

    const bool refused = r.responseCode >= 400 && r.responseCode <= 599;
    std::string connectionFailure = ConnectionFailure(r, smtpServer_, where);
    if (!connectionFailure.empty()) {
        text = connectionFailure;
        return r.code != CURLE_OK ? int(r.code) : int(CURLE_PEER_FAILED_VERIFICATION);
    }
    const std::string& cmd = r.lastCommand;
    std::string ours;
    switch (r.code) {
    case CURLE_OPERATION_TIMEDOUT:
        ours = "The SMTP server " + where + " did not answer in time";
        break;
    case CURLE_LOGIN_DENIED:
        ours = "The SMTP server " + where + " refused the user name or password";
        break;
    default:
        if (refused && cmd.rfind("AUTH", 0) == 0) {
            ours = "The SMTP server " + where + " refused the user name or password";
        } else if (refused && cmd.rfind("MAIL FROM", 0) == 0) {
            ours = "The SMTP server " + where + " refused the sender " + fields.sender.address;
        } else if (refused && cmd.rfind("RCPT TO", 0) == 0) {
            std::string rcpt = cmd.substr(cmd.find(':') + 1);
            ours = "The SMTP server " + where + " refused the recipient " + rcpt;
        } else if (refused) {
            ours = "The SMTP server " + where + " refused the message";
        } else if (cmd == "DATA") {
            ours = "The connection to the SMTP server " + where +
                   " broke while the message was being sent";
        } else {
            ours = "Sending through the SMTP server " + where + " failed";
        }
    }
    text = ours + " (" + r.curlText + ")";
    if (refused && !r.serverReply.empty()) {
        text += "; server reply: " + Quoted(r.serverReply);
    }
    return refused ? int(r.responseCode) : int(r.code);
}

std::string TSmtpMail::ServerLabel() const {
    bool bareIpv6 = smtpServer_.find(':') != std::string::npos && smtpServer_.front() != '[';
    return (bareIpv6 ? "[" + smtpServer_ + "]" : smtpServer_) + ":" + std::to_string(smtpPort_);
}

bool TSmtpMail::PlanConnection(SmtpConnection& connection, std::string& why) const {
    std::string host = smtpServer_;
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    bool ipv6 = IsIpv6Literal(host);
    if (!ipv6 && !IsHostName(host)) {
        why = "The SMTP server name " + Quoted(smtpServer_) + " is not a host name or address";
        return false;
    }
    std::string pin;
    if (!fingerprint_.empty()) {
        std::optional<std::string> normalized = NormalizeFingerprint(fingerprint_);
        if (!normalized) {
            why = "TLS: the fingerprint setting is not a SHA-256 fingerprint (64 hex digits)";
            return false;
        }
        pin = *normalized;
    }
    if ((!pin.empty() || !caFile_.empty()) && !SmtpTlsCheck::CurlUsesOpenSsl()) {
        why = "TLS: libcurl on this machine does not use OpenSSL, so the CA file and the "
              "fingerprint cannot be used for the SMTP server";
        return false;
    }
    // The older SMTPS switch is the "tls" choice.
    const TSecurity security = smtpSSL_ ? TSecurity::Tls : security_;
    const TSecurityPlan plan = PlanSecurity(security, host, smtpPort_, 465);
    connection.plainText = !plan.implicitTls && !plan.upgrade;
    connection.useSsl = plan.implicitTls || plan.upgradeRequired ? CURLUSESSL_ALL
                        : plan.upgrade                           ? CURLUSESSL_TRY
                                                                 : CURLUSESSL_NONE;
    connection.url = std::string(plan.implicitTls ? "smtps://" : "smtp://") +
                     (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(smtpPort_) + "/" +
                     EhloName(senderHostname_);
    connection.tls.name = host;
    connection.tls.server = ServerLabel();
    connection.tls.caFile = caFile_;
    connection.tls.pin = pin;
    return true;
}

TTlsCertificateFacts TSmtpMail::ProbeCertificate() {
    if (sending_) {
        throw ESmtpMailError("The SMTP control is busy sending; try again when it has finished");
    }
    SmtpConnection connection;
    std::string why;
    if (!PlanConnection(connection, why)) {
        throw ESmtpMailError(why);
    }
    const std::string where = ServerLabel();
    if (connection.plainText) {
        throw ESmtpMailError("The SMTP server " + where +
                             " is set to plain text (security none): there is no certificate to "
                             "show");
    }
    if (reconnect_) {
        transport_->DropConnections();
        reconnect_ = false;
    }
    SmtpJob job;
    job.url = connection.url;
    // On this machine too: the point is the certificate.
    job.useSsl = CURLUSESSL_ALL;
    job.tls = connection.tls;
    job.tls.inspectOnly = true;
    job.probe = true;
    job.connectTimeout = connectTimeout_;
    job.transferTimeout = transferTimeout_;

    std::shared_ptr<SmtpTransport> transport = transport_;
    std::shared_ptr<bool> alive = alive_;
    sending_ = true;
    SmtpResult r;
    try {
        r = transport->Perform(job);
    } catch (...) {
        if (*alive) {
            sending_ = false;
        }
        throw;
    }
    if (!*alive || r.canceled) {
        throw ESmtpMailError("Showing the certificate of " + where +
                             " was canceled: the SMTP control was closed");
    }
    sending_ = false;
    if (r.certificateSeen && r.code != CURLE_SSL_CONNECT_ERROR) {
        return r.certificate;
    }
    std::string failure = ConnectionFailure(r, smtpServer_, where);
    if (failure.empty()) {
        failure = "No secure connection to the SMTP server " + where + " (" + r.curlText + ")";
    }
    throw ESmtpMailError(failure);
}
