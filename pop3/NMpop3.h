#pragma once
// TNMPOP3: the POP3 client (RFC 1939) that fetches the mailbox. Every
// operation is synchronous: it returns when the server's reply has been read,
// while the event loop keeps running underneath (see TPowersock). Each
// retrieved message goes through the message parser, which fills MailMessage()
// and writes the message's files into AttachFilePath().
#include <string>

#include "net/Psock.h"
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
    bool Busy() const noexcept { return busy_; }
    TMailMessage& MailMessage() noexcept { return message_; }
    const TMailMessage& MailMessage() const noexcept { return message_; }
    TMessageParser& Parser() noexcept { return parser_; }

    // Operations.
    void Connect() override;
    void Disconnect() override;
    void RetrieveMessage(int Number);
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
    // Bound on one message's body held in memory.
    static constexpr std::size_t MaxMessageBytes = 512u * 1024u * 1024u;

private:
    void LogIn();
    bool CheckAuthReply(const std::string& Reply, int Attempt);
    void ReadBody();
    void WireParser();
    std::string ReadMessageLine();
    void ReadMessageLine(std::string& Line);
    void SyncWrittenFiles();

    std::string userID_;
    std::string password_;
    std::string attachFilePath_;
    bool parse_ = false;
    bool deleteOnRead_ = false;
    int mailCount_ = 0;
    bool busy_ = false;
    bool peerClosedInMessage_ = false;
    TMailMessage message_;
    TMessageParser parser_{message_};
};
