#pragma once
// Splits one retrieved message into the fields of TMailMessage and writes its
// attachments as files into the Inbox folder, as the message arrives: each
// part goes to its own temporary file while it is read, so neither a long
// line nor a large message is ever held in memory. The POP3 client owns one
// parser and drives it from RetrieveMessage; it exposes these operations as
// its own.
//
// Errors: the reading operations raise what TMessageLines raises (a closed
// connection, EMessageTooLarge, the reader's own failures); EMessageRefused
// for a message it will not take apart (no boundary line, nested too deep, a
// header too large), raised once the message was read as far as the reason
// showed, so SkipToEnd can bring the session back in step; file errors
// (EFCreateError, EInOutError, EFOpenError) from writing and publishing the
// parts. The handlers (OnDecodeStart, OnPacketRecvd, ReportStatus, the
// Processor's events) are called synchronously from these operations, and
// what they raise passes through as the operation's own failure. A message
// that fails leaves none of its files in the Inbox.
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "platform/Component.h"
#include "pop3/InboxFiles.h"
#include "pop3/MailMessage.h"
#include "pop3/MessageLines.h"
#include "pop3/MimeHeader.h"
#include "pop3/NMUUE.h"

class TStreamedBase64; // a base64 part decoded as it arrives

class TMessageParser {
public:
    explicit TMessageParser(TMailMessage& message);

    // Set by the owning client before each retrieval.
    std::string AttachFilePath; // the Inbox folder, empty or ending in '/'
    bool Parse = false;         // single-part messages are parsed
    TVarFileNameEvent OnDecodeStart;
    std::function<void()> OnPacketRecvd;
    std::function<void(int Level, const std::string& Text)> ReportStatus;
    // The message from the connection in pieces (see TMessageLines).
    TMessageLines::PieceReader ReadPiece;
    // Used when ReadPiece is not set: the next whole line with its line end;
    // "" when the peer has closed.
    std::function<std::string()> ReadLine;
    // Bytes a message may have, header and line ends included.
    std::size_t MaxMessageBytes = 512u * 1024u * 1024u;
    // The message's files are left complete in the hidden folder and handed
    // out by TakeStaged instead of being published: the caller publishes
    // them once they are recorded (see TMailboxReceiver).
    bool StageOnly = false;

    // Parser state.
    int BytesRecvd = 0; // message lines taken into parts
    std::string AttachFileName;
    std::string TransferEncoding;
    int PartTarget = 2;
    static int LineIndex;       // process-wide: body lines read of the current message
    static int TempFileCounter; // process-wide, never reset

    // Decodes base64 and uuencoded parts; its events are the caller's to set.
    TNMUUProcessor Processor;

    // True once the message's terminating "." line has been read.
    bool MessageEnded = false;

    // Bounds on what the message controls.
    static constexpr std::size_t MaxNesting = 16;           // multiparts inside each other
    static constexpr std::size_t MaxHeaderBytes = 1u << 20; // one header block
    static constexpr std::size_t MaxKeptText = 1u << 20;    // Body, and RawBody, each
    static constexpr const char* TooDeepText =
        "Message nested more than 16 levels deep: left on the server";
    static constexpr const char* NoBoundaryText =
        "Multipart message without a boundary line: left on the server";
    static constexpr const char* HeaderTooLargeText =
        "Message header larger than 1048576 bytes: left on the server";

    // Clears the per-retrieval state and the message's lists and fields, and
    // starts reading through ReadPiece (or ReadLine). Raises nothing but
    // std::bad_alloc.
    void BeginRetrieval();
    // The top-level header (false) or the next part header (true), from the
    // message's lines up to and including the first empty line.
    // EMessageRefused HeaderTooLargeText for a header over MaxHeaderBytes.
    void ParseHeader(bool FromList);
    // Takes apart the multipart body that follows the top-level header.
    // EMessageRefused NoBoundaryText or TooDeepText.
    void ParseMultipart();
    // Takes one part's lines into Body or into a part file; true when the
    // part ended at the closing boundary of its multipart (or an outer one).
    bool ExtractPart();
    // Raises nothing.
    static int LastPos(const std::string& Sub, const std::string& S);
    // Reads the rest of the message after the top-level header into Body,
    // Attachments and files, and publishes the files into the Inbox.
    void ProcessMessage();
    // Reads and drops what is left of the message, at most `Limit` bytes.
    // True when its terminating line was reached: the session is in step.
    // Raises as TMessageLines::SkipToEnd does.
    bool SkipToEnd(std::size_t Limit);
    // The connection ended or failed inside the message: the rest of it
    // cannot be read.
    bool ReaderFailed() const noexcept { return lines_.Broken(); }

    // Complete files this retrieval placed into AttachFilePath, to be made
    // durable before the message is deleted on the server.
    const std::vector<std::string>& WrittenFiles() const noexcept { return written_; }
    // With StageOnly: the files of the last message (temporary path, name
    // for the Inbox), now the caller's to publish or remove. Raises nothing.
    std::vector<std::pair<std::string, std::string>> TakeStaged() noexcept {
        return std::move(staged_);
    }
    // Bytes of the message read so far (line ends included, stuffing dots
    // removed).
    std::size_t MessageBytes() const noexcept { return lines_.Bytes(); }

    // Removes the temporary files an interrupted run left in the Inbox
    // `inboxPath` (with or without the trailing '/'). Call at start-up.
    // Raises nothing.
    static void RemoveLeftovers(const std::string& inboxPath);
    static constexpr const char* TempFolderName = TInboxFiles::TempFolderName;

private:
    // Where the lines of a part stopped: at the boundary line of the open
    // multipart `level` (0 the outermost), or at the end of the message (-1).
    struct Stop {
        int level = -1;
        bool closing = false;
    };

    bool NextPiece(TLinePiece& piece);
    void PushBack(const TLinePiece& piece);
    bool IsBoundaryLine(const TLinePiece& piece, Stop& stop) const;
    Stop SkipToBoundary();
    Stop ParseParts(int level);
    void ApplyHeaderLine(const std::string& line);
    void AddBodyPiece(const TLinePiece& piece);
    // `streamed`: the part was base64, decoded into rawPath as it came.
    void FinishPartFile(const std::string& rawPath, bool empty, const std::string& uuName,
                        TStreamedBase64* streamed);
    void ProcessSinglePart();
    void LoadBodyFrom(const std::string& path);

    TMailMessage& message_;
    TMessageLines lines_;
    TInboxFiles files_;
    std::vector<std::string> written_;
    std::vector<std::pair<std::string, std::string>> staged_;
    TMimeHeader topHeader_;
    TMimeHeader partHeader_;
    std::vector<std::string> boundaries_; // of the open multiparts, outermost first
    Stop lastStop_;
    TLinePiece pushedBack_;
    bool hasPushedBack_ = false;
    std::size_t bodyBudget_ = 0;
    // The part being extracted is the message's first leaf and not text: it
    // is saved, under a name made from its media type when it has none.
    std::string fallbackName_;
    // A single uuencoded part is a file only when a "begin" line shows up.
    bool uuTentative_ = false;
};
