#pragma once
// TNMPOP3: the POP3 client (RFC 1939) that fetches the mailbox. Every
// operation is synchronous: it returns when the server's reply has been read,
// while the event loop keeps running underneath (see TPowersock). Each
// retrieved message goes through the message parser, which fills MailMessage()
// and writes the message's files into AttachFilePath().
//
// Errors: an operation that fails raises; nothing is returned as a code.
// Refusals raise Exception with the server's reply line (or "Connection
// closed by the server" for an empty one), the socket's failures pass through
// as TPowersock raises them (ESockError, EAbortError with reason TimedOut or
// Canceled, ETlsError for a refused certificate or a broken TLS stream),
// a session that cannot be secured as required raises Exception (see
// Connect), a refused message raises EMessageRefused / EMessageTooLarge and
// file errors EFCreateError / EInOutError. Handlers (OnConnect,
// OnAuthenticationFailed, OnRetrieveStart, OnRetrieveEnd, OnDecodeStart,
// OnPacketRecvd) run inside the operation, and what they raise is the
// operation's failure; OnStatus is the exception (see
// TPowersock::ReportStatus). A failure this client cannot hand to its caller
// (one while it is destroyed, a second one while it drops a broken session)
// goes to ReportCallbackFailure. The properties raise nothing.
#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "net/AuthMethod.h"
#include "net/Psock.h"
#include "net/Security.h"
#include "net/TlsSession.h"
#include "pop3/MailMessage.h"
#include "pop3/MessageParser.h"

class TNMPOP3 : public TPowersock {
public:
    TNMPOP3();
    ~TNMPOP3() override;

    // Published properties (Host, Port, TimeOut, ReportLevel: TPowersock).
    const std::string& UserID() const noexcept { return userID_; }
    void SetUserID(std::string value) { userID_ = std::move(value); }
    const std::string& Password() const noexcept { return password_; }
    void SetPassword(std::string value) { password_ = std::move(value); }
    // Where each Connect takes the password (or access token) instead of
    // Password(), e.g. a password command; empty for none. It is asked once
    // per Connect, before connecting; what it raises is Connect's failure,
    // and what it returns is never kept in Password().
    using TSecretSource = std::function<std::string()>;
    void SetPasswordSource(TSecretSource source) { passwordSource_ = std::move(source); }
    // How the log-in is made (see net/AuthMethod.h and TPop3Sasl::Choose):
    // "auto" (the default), USER/PASS, or one SASL mechanism. With security
    // "none" and "auto" the log-in follows the greeting at once, without
    // CAPA, as USER/PASS.
    TAuthMethod Auth() const noexcept { return auth_; }
    void SetAuth(TAuthMethod value) { auth_ = value; }
    // The secret is an OAuth2 access token: "auto" then chooses OAUTHBEARER
    // or XOAUTH2.
    bool SecretIsToken() const noexcept { return secretIsToken_; }
    void SetSecretIsToken(bool value) { secretIsToken_ = value; }
    // How the session is secured (see net/Security.h; "auto" on port 995 is
    // TLS from the first byte, elsewhere STLS, required unless the server is
    // on this machine), extra trusted certificates, and an optional SHA-256
    // pin of the server's certificate.
    TSecurity Security() const noexcept { return security_; }
    void SetSecurity(TSecurity value) { security_ = value; }
    const std::string& CaFile() const noexcept { return caFile_; }
    void SetCaFile(std::string value) { caFile_ = std::move(value); }
    const std::string& Fingerprint() const noexcept { return fingerprint_; }
    void SetFingerprint(std::string value) { fingerprint_ = std::move(value); }
    // Connects with the configured security, finishes the TLS handshake
    // (implicit or after STLS) without logging in, and returns what the
    // server's certificate says (a certificate that does not verify is
    // shown too: verified is then false, with the reason); the connection
    // is then closed (QUIT). Sends no USER or PASS. Raises as Connect does,
    // "The POP3 server <Host> does not offer STLS; ..." also where plain
    // text would be allowed, and "The POP3 server <Host> is set to plain
    // text (security none): there is no certificate to show".
    TTlsCertificateFacts ProbeCertificate();
    bool Parse() const noexcept { return parse_; }
    void SetParse(bool value) { parse_ = value; }
    bool DeleteOnRead() const noexcept { return deleteOnRead_; }
    void SetDeleteOnRead(bool value) { deleteOnRead_ = value; }
    // Stored ending in the path separator, so the parser can append a file
    // name directly; an empty value stays empty.
    const std::string& AttachFilePath() const noexcept { return attachFilePath_; }
    void SetAttachFilePath(std::string value);
    // Part lines the parser processed in the last retrieval.
    int BytesRecvd() const noexcept { return parser_.BytesRecvd; }

    // Events. OnConnect hides the socket-level one: it follows the log-in.
    TNotifyEvent OnConnect;
    THandlerEvent OnAuthenticationNeeded;
    THandlerEvent OnAuthenticationFailed;
    TNotifyEvent OnRetrieveStart;
    TNotifyEvent OnRetrieveEnd;
    TVarFileNameEvent OnDecodeStart;
    // Published but never raised.
    TNotifyEvent OnReset;
    TNotifyEvent OnSuccess;
    TNotifyEvent OnFailure;
    TNotifyEvent OnDecodeEnd;
    TListEvent OnList;

    // Fields.
    int MailCount() const noexcept { return mailCount_; }
    // MailCount comes from the STAT of the current log-in: false after a
    // Connect whose STAT failed (OnConnect still follows it), so a handler
    // can tell a count from no count.
    bool MailCountValid() const noexcept { return mailCountValid_; }
    bool Busy() const noexcept { return busy_; }
    TMailMessage& MailMessage() noexcept { return message_; }
    const TMailMessage& MailMessage() const noexcept { return message_; }
    TMessageParser& Parser() noexcept { return parser_; }

    // Operations.
    // Connects, secures the session as Security() says (TLS right after
    // connecting, or after the greeting CAPA and, when the server lists
    // STLS, STLS, the handshake and a new CAPA; with "none" none of these),
    // logs in as Auth() says (USER/PASS or SASL AUTH, asking CAPA first
    // where the session has not; one new attempt when OnAuthenticationFailed
    // handles the refusal) and reads the count (STAT); OnConnect follows,
    // also after a failed STAT. Raises what the password source raises,
    // Exception "Authentication failed" (USER/PASS refused), "POP3 log-in
    // with <MECH> refused[: status <status>]; the server said "<reply>""
    // (an AUTH refused; the status of an OAuth2 error report), "The POP3
    // server <Host> sent too many SASL challenges", "... sent a SASL
    // challenge longer than <n> bytes", ESaslProtocolError,
    // EAuthUnavailable (see TPop3Sasl::Choose), the server's refusal line,
    // "The server sent an empty reply", "The POP3
    // server <Host> does not offer STLS; it is required to protect the
    // password", "The POP3 server <Host> refused STLS; it is required to
    // protect the password", "The POP3 server <Host> sent too many
    // capabilities", ETlsError (see net/TlsSession.h) for a refused
    // certificate or failed handshake, or whatever the socket raises
    // (ESockError, EAbortError on a time-out or cancel); the connection is
    // dropped on any failure, and no password is sent before the session
    // is as secure as required.
    void Connect() override;
    // QUIT, then the connection is closed whatever the reply. Raises the
    // server's refusal line or the socket's failure; nothing when not
    // connected.
    void Disconnect() override;
    // Retrieves message Number as it arrives: its parts go straight to files
    // in the Inbox's hidden temporary folder, and appear in the Inbox
    // together once the whole message was read; DELE (with DeleteOnRead)
    // follows only when they are on disk. Raises the server's refusal line
    // (RETR, DELE), ConnectionClosedText, or a socket failure (the session is
    // then dropped); a message that is refused or whose files cannot be
    // written (EMessageRefused, EMessageTooLarge, EFCreateError, ...) is
    // first read to its end, so the session stays usable and the message
    // stays on the server.
    void RetrieveMessage(int Number);
    // For a caller that sends its own RETRs ahead (see TMailboxReceiver):
    // reads the reply to "RETR Number" and the message, like
    // RetrieveMessage, but leaves its files complete in the Inbox's hidden
    // folder and hands them out (temporary path, name) for the caller to
    // publish; no DELE. `skipAfterHeader` is asked once the header is read
    // (MailMessage() holds it): true reads the rest away unextracted, and
    // the result is `skipped`. Raises as RetrieveMessage does, and whatever
    // `skipAfterHeader` raises; after a failure nothing of the message is
    // left in the hidden folder, and the session is dropped unless the
    // message was read to its end (Connected() tells).
    struct TRetrieved {
        std::vector<std::pair<std::string, std::string>> files;
        bool skipped = false;
        std::size_t bytes = 0; // the message's size as read
    };
    TRetrieved ReadRetrieved(int Number, const std::function<bool()>& skipAfterHeader);
    // The capabilities the server listed in this session's CAPA (first
    // words, upper case); CAPA is sent when the session has not asked yet.
    // Raises as Connect's CAPA does.
    bool HasCapability(const std::string& name);
    // The mechanisms of the SASL capability in this session's last CAPA
    // (upper case, well-formed names only); empty before a CAPA. Raises nothing.
    const std::set<std::string>& SaslMechanisms() const noexcept { return saslMechanisms_; }
    // Cancels the operation in progress and drops the connection without
    // QUIT (the server forgets this session's DELEs). Raises nothing of its
    // own; what OnDisconnect raises passes through, and ESockError
    // (SocketError) when no fresh socket can be made.
    void Abort() override;

    // The parser's operations, exposed as the component's own.
    void ParseHeader(bool FromList) { parser_.ParseHeader(FromList); }
    void ParseMultipart() { parser_.ParseMultipart(); }
    bool ExtractPart() { return parser_.ExtractPart(); }
    static int LastPos(const std::string& Sub, const std::string& S) {
        return TMessageParser::LastPos(Sub, S);
    }

    // The failure text when the server ends the connection in the middle of
    // a retrieval (before the end of the message or a reply).
    static constexpr const char* ConnectionClosedText = "Connection closed during retrieval";
    // A larger message (header, body and line ends) is read to its end
    // without being kept, stays on the server, and RetrieveMessage raises
    // EMessageTooLarge "Message <N> is larger than <cap> bytes: left on the
    // server". A message is never held in memory whatever its size.
    static constexpr std::size_t DefaultMaxMessageBytes = 512u * 1024u * 1024u;
    std::size_t MaxMessageBytes() const noexcept { return maxMessageBytes_; }
    void SetMaxMessageBytes(std::size_t value) { maxMessageBytes_ = value; }

    // Removes what an interrupted run left of its temporary files in the
    // Inbox `inboxPath`; to be called at start-up, before the first session.
    // Raises nothing.
    static void RemoveLeftovers(const std::string& inboxPath) {
        TMessageParser::RemoveLeftovers(inboxPath);
    }

private:
    TTlsSettings TlsSettings(bool inspectOnly) const;
    bool OffersStls();
    void AskCapabilities();
    void PrepareRetrieval();
    // Marks the client busy, checks the connection and raises
    // OnRetrieveStart; a failure sets the busy flag back to `busyBefore` and
    // is raised.
    void StartRetrieval(bool busyBefore);
    bool ReadMessage(const std::string& number, const std::string& reply, bool& inStep,
                     const std::function<bool()>& skipAfterHeader);
    void Upgrade(bool required, bool inspectOnly);
    void LogIn(const std::string& secret);
    bool SaslLogIn(TAuthMethod mechanism, const std::string& secret, int attempt);
    void ReadCapability(const std::string& line);
    bool CheckAuthReply(const std::string& Reply, int Attempt);
    bool RefusalHandled(int Attempt);
    void WireParser();
    bool SkipRestOfMessage();
    void SyncWrittenFiles();

    static constexpr int kPop3sPort = 995;
    // More capability lines than any server lists: a server that goes on
    // and on is cut off.
    static constexpr int kMaxCapabilityLines = 1000;
    static constexpr std::size_t kMaxCapabilityName = 64;
    static constexpr std::size_t kMaxSaslMechanisms = 64;
    // RFC 2449: a command line holds at most 255 octets, CR LF included.
    static constexpr std::size_t kMaxCommandLine = 253;

    std::string userID_;
    TSecurity security_ = TSecurity::Auto;
    std::string caFile_;
    std::string fingerprint_;
    std::string password_;
    std::string attachFilePath_;
    bool parse_ = false;
    bool deleteOnRead_ = false;
    int mailCount_ = 0;
    bool mailCountValid_ = false;
    std::size_t maxMessageBytes_ = DefaultMaxMessageBytes;
    bool busy_ = false;
    bool capabilitiesKnown_ = false; // this session's CAPA was sent
    std::set<std::string> capabilities_;
    std::set<std::string> saslMechanisms_; // of the SASL capability, upper case
    TSecretSource passwordSource_;
    TAuthMethod auth_ = TAuthMethod::Auto;
    bool secretIsToken_ = false;
    TMailMessage message_;
    TMessageParser parser_{message_};
};
