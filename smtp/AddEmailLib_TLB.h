#pragma once
// The SMTP mail control and its message, address and attachment objects.
//
// The objects are shared by reference count, as the COM objects of the
// original control were: the window keeps one message object for the whole
// run and hands fresh address and attachment objects to it for every file.
// A call that fails raises ESmtpMailError (a failed COM result in the
// original). Send is the exception: it tells every outcome through one
// channel, its returned code and description with the final status event,
// and raises only when memory runs out (see Send). What an event handler
// raises never leaves the control: it goes to the application's reporting
// entry point (ReportCallbackFailure).
#include "net/AuthMethod.h"
#include "net/Security.h"
#include "net/TlsSession.h"
#include "platform/Component.h"
#include "platform/Exception.h"

#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

MAILGATE_EXCEPTION(ESmtpMailError, Exception);

class IMailAddress {
public:
    // Either a bare address ("a@example.org") or "Display Name <a@example.org>".
    // Checked when a message is sent, not here: the stored sender may be a
    // placeholder until the user enters one.
    void SetAddress(const std::string& address) { address_ = address; }
    const std::string& GetAddress() const noexcept { return address_; }

private:
    std::string address_;
};

class IMailAttachment {
public:
    // Full path of the file to attach; the file is read when the message is
    // sent, and never changed or deleted.
    void SetFileName(const std::string& fileName) { fileName_ = fileName; }
    const std::string& GetFileName() const noexcept { return fileName_; }

private:
    std::string fileName_;
};

using IMailAddressPtr = std::shared_ptr<IMailAddress>;
using IMailAttachmentPtr = std::shared_ptr<IMailAttachment>;

class IMailMessage {
public:
    // X-Priority: 1 highest, 3 normal, 5 lowest.
    enum { PriorityHighest = 1, PriorityNormal = 3, PriorityLowest = 5 };
    // The short text part before the attachments.
    enum { BodyFormatPlainText = 0, BodyFormatHtml = 1 };
    // Whether to ask the recipient's program for a read receipt
    // (Disposition-Notification-To).
    enum { ReadReceiptNone = 0, ReadReceiptRequested = 1 };

    // Values outside the ranges above raise ESmtpMailError.
    void SetPriority(int priority);
    int GetPriority() const noexcept { return priority_; }
    void SetBodyFormat(int bodyFormat);
    int GetBodyFormat() const noexcept { return bodyFormat_; }
    void SetReadReceipt(int readReceipt);
    int GetReadReceipt() const noexcept { return readReceipt_; }
    // Line breaks and other control characters raise ESmtpMailError.
    void SetSubject(const std::string& subject);
    const std::string& GetSubject() const noexcept { return subject_; }
    // The Message-ID the message carries, angle brackets included
    // ("<id@domain>"); empty (the default) makes Send give each message a
    // unique one of its own. A value that is not printable ASCII without
    // blanks, in angle brackets with an "@" inside, or longer than 900
    // characters, raises ESmtpMailError.
    void SetMessageId(const std::string& messageId);
    const std::string& GetMessageId() const noexcept { return messageId_; }

    // A null address object raises ESmtpMailError.
    void SetFrom(const IMailAddressPtr& address);
    const IMailAddressPtr& GetFrom() const noexcept { return from_; }
    // The envelope sender and the Sender header; the From address when unset.
    void SetSender(const IMailAddressPtr& address);
    const IMailAddressPtr& GetSender() const noexcept { return sender_; }

    void ClearRecipients() noexcept { recipients_.clear(); }
    void AddRecipient(const IMailAddressPtr& address);
    const std::vector<IMailAddressPtr>& Recipients() const noexcept { return recipients_; }

    void ClearAttachments() noexcept { attachments_.clear(); }
    void AddAttachment(const IMailAttachmentPtr& attachment);
    const std::vector<IMailAttachmentPtr>& Attachments() const noexcept { return attachments_; }

private:
    int priority_ = PriorityNormal;
    int bodyFormat_ = BodyFormatPlainText;
    int readReceipt_ = ReadReceiptNone;
    std::string subject_;
    std::string messageId_;
    IMailAddressPtr from_;
    IMailAddressPtr sender_;
    std::vector<IMailAddressPtr> recipients_;
    std::vector<IMailAttachmentPtr> attachments_;
};

using IMailMessagePtr = std::shared_ptr<IMailMessage>;

// The class factories of the three object classes.
struct CoMailMessage {
    static IMailMessagePtr Create() { return std::make_shared<IMailMessage>(); }
};
struct CoMailAddress {
    static IMailAddressPtr Create() { return std::make_shared<IMailAddress>(); }
};
struct CoMailAttachment {
    static IMailAttachmentPtr Create() { return std::make_shared<IMailAttachment>(); }
};

class SmtpTransport;
struct SmtpConnection;

// The SMTP control. Send composes the message and hands it to the configured
// server while the Qt event loop keeps running (timers and the window stay
// alive); the connection is kept for the next send while the server settings
// stay the same and the last send succeeded.
class TSmtpMail : public TObject {
public:
    // The newStatus values of OnStatusChange.
    enum {
        StatusQueued = 0,
        StatusSending = 1,
        StatusSent = 2,
        StatusFailed = 3,
        StatusCanceled = 4
    };
    // Codes Send returns for failures found before or around the transfer.
    // Otherwise a failed send returns the server's reply code (400-599) when
    // the server refused, else libcurl's error number.
    enum {
        ErrorReadAttachment = 26, // CURLE_READ_ERROR: attachment missing or unreadable
        ErrorAborted = 42,        // CURLE_ABORTED_BY_CALLBACK: an OnProgress handler
                                  // raised, or the control was destroyed while sending
        ErrorBadMessage = 43,     // CURLE_BAD_FUNCTION_ARGUMENT: no message, sender or
                                  // recipient, or an address that is not one
        ErrorBusy = 81            // CURLE_AGAIN: Send called again while sending
    };

    TSmtpMail();
    ~TSmtpMail() override;
    TSmtpMail(const TSmtpMail&) = delete;
    TSmtpMail& operator=(const TSmtpMail&) = delete;

    const std::string& SmtpServer() const noexcept { return smtpServer_; }
    void SetSmtpServer(const std::string& v);
    int SmtpPort() const noexcept { return smtpPort_; }
    void SetSmtpPort(int v); // 1..65535, else ESmtpMailError
    const std::string& SmtpUsername() const noexcept { return smtpUsername_; }
    void SetSmtpUsername(const std::string& v); // AUTH is used when not empty
    const std::string& SmtpPassword() const noexcept { return smtpPassword_; }
    void SetSmtpPassword(const std::string& v);
    // Messages sent at once; this control sends one at a time.
    int MaxThreads() const noexcept { return maxThreads_; }
    void SetMaxThreads(int v); // at least 1, else ESmtpMailError
    // The name given in EHLO; empty means this machine's host name.
    const std::string& SenderHostname() const noexcept { return senderHostname_; }
    void SetSenderHostname(const std::string& v);
    // Secure Password Authentication: AUTH NTLM instead of the best the
    // server offers.
    bool SmtpSPA() const noexcept { return smtpSPA_; }
    void SetSmtpSPA(bool v);
    // The SASL mechanism of the log-in (see net/AuthMethod.h): Auto lets the
    // best the server offers be taken (AUTH NTLM with SmtpSPA); XOAuth2 and
    // OAuthBearer send SmtpPassword as an OAuth2 access token. User counts
    // as Auto. Raises nothing.
    TAuthMethod SmtpAuth() const noexcept { return smtpAuth_; }
    void SetSmtpAuth(TAuthMethod v);
    // TLS from the first byte (SMTPS) whatever Security says; the older
    // switch for Security "tls".
    bool SmtpSSL() const noexcept { return smtpSSL_; }
    void SetSmtpSSL(bool v);
    // How the connection is secured (see net/Security.h; "auto" on port 465
    // is SMTPS, elsewhere STARTTLS, required unless the server is on this
    // machine), extra trusted certificates, and an optional SHA-256 pin of
    // the server's certificate, the same form the POP3 side takes.
    // The certificate must chain to the system's trust store or CaFile, carry
    // the server name as set here and be valid now; with a pin it must have
    // that fingerprint instead and is then accepted whatever else it says.
    // TLS 1.2 is the oldest version spoken. When STARTTLS is required and
    // not offered, or the certificate is refused, Send fails before any AUTH
    // or MAIL FROM (see the texts at Send). A pin that is not a fingerprint
    // makes Send fail with ErrorBadMessage.
    TSecurity Security() const noexcept { return security_; }
    void SetSecurity(TSecurity value);
    const std::string& CaFile() const noexcept { return caFile_; }
    void SetCaFile(std::string value);
    const std::string& Fingerprint() const noexcept { return fingerprint_; }
    void SetFingerprint(std::string value);
    // Connects with the configured security, finishes the TLS handshake
    // (SMTPS or after STARTTLS) without logging in or sending anything, and
    // returns what the server's certificate says: `verified` is whether it
    // passes the trust store, CaFile and the name (a pin aside), and is told,
    // not enforced, here. STARTTLS is used on this machine's servers too.
    // Raises ESmtpMailError with the reason (the texts of Send) when no
    // secured connection could be made, for Security "none", and while a
    // Send runs. The event loop runs meanwhile, as in Send.
    TTlsCertificateFacts ProbeCertificate();
    // Seconds to wait for the connection (host lookup and TCP/TLS connect).
    int ConnectTimeout() const noexcept { return connectTimeout_; }
    void SetConnectTimeout(int seconds); // at least 1, else ESmtpMailError
    // Seconds without progress (no byte moving, no reply) after which a
    // transfer is given up.
    int TransferTimeout() const noexcept { return transferTimeout_; }
    void SetTransferTimeout(int seconds); // at least 1, else ESmtpMailError

    // Sends `message` to every recipient, with every attachment. `flags` is
    // accepted for the interface's sake (the window passes -1) and has no
    // effect. Returns 0 only when the server accepted the message; otherwise
    // a code (see above) with the reason in `description`, also kept for
    // GetErrorCode/GetErrorText. Raises OnStatusChange with StatusSending
    // before and, once the outcome is kept, StatusSent (code 0) or
    // StatusFailed after. A Send called from a handler while one is running
    // returns ErrorBusy at once, without status events.
    // Event handlers cannot disturb this. What OnStatusChange raises is
    // reported and the send goes on (ErrorAborted "The SMTP control was closed
    // before sending" if the StatusSending handler destroyed the control).
    // What OnProgress raises is reported and ends the transfer with
    // ErrorAborted "Sending was aborted by the OnProgress handler" (a message
    // already through stays sent, code 0). Reports go to
    // ReportCallbackFailure (platform/GuardedApplication.h).
    // Only what the program cannot go on from (out of memory) is raised,
    // after it was kept as ErrorAborted with the text "Sending failed:
    // <what>"; the control is then free for the next Send (never left busy),
    // and no final status event is raised.
    // A send that failed in any way closes its connection; a send that waits on
    // the server gives up after ConnectTimeout + TransferTimeout seconds before
    // the server's first byte, and after TransferTimeout seconds in which
    // nothing moved later on, with CURLE_OPERATION_TIMEDOUT (28) and the text
    // "The SMTP server <host>:<port> did not answer in time (...)".
    // Security failures (<server> is "<host>:<port>"; what stands in
    // parentheses is OpenSSL's or libcurl's):
    //   CURLE_PEER_FAILED_VERIFICATION (60), the texts of smtp/SmtpTlsCheck.h:
    //     "TLS: the certificate of <server> is not trusted (<reason>)",
    //     "... is not valid for the name <host>", "... has expired (valid until
    //     <date>)", "... does not match the pinned fingerprint; its fingerprint
    //     is <AB:CD:...>"
    //   CURLE_USE_SSL_FAILED (64): "The SMTP server <server> does not offer
    //     STARTTLS, which the security setting requires; nothing was sent (...)"
    //   CURLE_SSL_CONNECT_ERROR (35): "TLS: the handshake with <server> failed (...)"
    //   ErrorBadMessage: "TLS: the fingerprint setting is not a SHA-256
    //     fingerprint (64 hex digits)"
    virtual int Send(const IMailMessagePtr& message, int flags, std::string& description);

    // The server's reply to the end of the message of the last Send that
    // returned 0 ("250 2.0.0 Ok: queued as 4Xy"), control characters made
    // '?' and cut to 300 bytes; "" after a Send that failed.
    const std::string& LastReply() const noexcept { return lastReply_; }

    // The outcome of a message by the number its status events carried.
    // Unknown numbers (or ones too old to be kept) raise ESmtpMailError.
    int GetErrorCode(int messageNumber) const;
    std::string GetErrorText(int messageNumber) const;

    std::function<void(TObject* Sender, int messageNumber, int newStatus)> OnStatusChange;
    std::function<void(TObject* Sender, int messageNumber, int64_t bytesSent, int64_t bytesTotal)>
        OnProgress;

protected:
    // Set by a successful transfer (a test double's Send sets it itself).
    std::string lastReply_;
    // One message from checking it to the server's verdict. Virtual so that a
    // test can make it fail in ways the real one only does when memory runs out.
    virtual int Transfer(int messageNumber, const IMailMessagePtr& message, std::string& text,
                         std::exception_ptr& handlerError);

private:
    struct Outcome {
        int messageNumber;
        int code;
        std::string text;
    };
    void SettingsChanged();
    // "<server>:<port>" as texts name the server.
    std::string ServerLabel() const;
    // The connection the settings ask for; false with the reason when they
    // cannot be used.
    bool PlanConnection(SmtpConnection& connection, std::string& why) const;
    int Finish(int messageNumber, int code, std::string text, std::string& description);
    const Outcome& Find(int messageNumber) const;
    void RaiseStatus(int messageNumber, int status);

    std::string smtpServer_;
    int smtpPort_ = 25;
    std::string smtpUsername_;
    std::string smtpPassword_;
    TSecurity security_ = TSecurity::Auto;
    std::string caFile_;
    std::string fingerprint_;
    int maxThreads_ = 1;
    std::string senderHostname_;
    bool smtpSPA_ = false;
    TAuthMethod smtpAuth_ = TAuthMethod::Auto;
    bool smtpSSL_ = false;
    int connectTimeout_ = 30;
    int transferTimeout_ = 60;

    int lastMessageNumber_ = 0;
    std::deque<Outcome> outcomes_; // the most recent ones only
    bool sending_ = false;
    bool reconnect_ = false;
    std::shared_ptr<bool> alive_;
    std::shared_ptr<SmtpTransport> transport_;
};
