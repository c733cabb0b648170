#pragma once
// Splits one retrieved message into the fields of TMailMessage and writes its
// attachments as files into the Inbox folder. The POP3 client owns one parser
// and drives it from RetrieveMessage; it exposes these operations as its own.
#include <functional>
#include <string>
#include <vector>

#include "platform/Component.h"
#include "pop3/MailMessage.h"
#include "pop3/MimeHeader.h"
#include "pop3/NMUUE.h"

class TMessageParser {
public:
    explicit TMessageParser(TMailMessage& message);

    // Set by the owning client before each retrieval.
    std::string AttachFilePath; // the Inbox folder, empty or ending in '/'
    bool Parse = false;         // single-part messages are parsed
    TVarFileNameEvent OnDecodeStart;
    std::function<void()> OnPacketRecvd;
    std::function<void(int Level, const std::string& Text)> ReportStatus;
    // The next line from the connection, with its line end; "" when the peer
    // has closed.
    std::function<std::string()> ReadLine;

    // Parser state.
    int BytesRecvd = 0;
    std::string AttachFileName;
    std::string TransferEncoding;
    int PartTarget = 2;
    static int LineIndex;       // process-wide
    static int TempFileCounter; // process-wide, never reset

    // Decodes base64 and uuencoded parts; its events are the caller's to set.
    TNMUUProcessor Processor;

    // True when ParseHeader(false) met the message's terminating "." line
    // (a message without an empty line after its header).
    bool MessageEnded = false;

    // Clears the per-retrieval state and the message's lists and fields.
    void BeginRetrieval();
    // Header lines from the connection (false) or from RawBody (true).
    void ParseHeader(bool FromList);
    void ParseMultipart();
    bool ExtractPart();
    static int LastPos(const std::string& Sub, const std::string& S);
    // Turns the read header and RawBody into Body, Attachments and files.
    void ProcessMessage();

    // Complete files this retrieval placed into AttachFilePath, to be made
    // durable before the message is deleted on the server.
    const std::vector<std::string>& WrittenFiles() const noexcept { return written_; }

private:
    // Where the lines of a part stopped: at the boundary line of the open
    // multipart `level` (0 the outermost), or at the end of the lines (-1).
    struct Stop {
        int level = -1;
        bool closing = false;
    };

    bool IsBoundaryLine(const std::string& line, Stop& stop) const;
    Stop SkipToBoundary();
    Stop ParseParts(int level);
    void ApplyHeaderLine(const std::string& line);
    void WritePartFile(int first, int last);
    std::string PlaceFile(const std::string& tempPath, std::string name);
    std::string CreateTempFile();

    TMailMessage& message_;
    std::vector<std::string> written_;
    TMimeHeader topHeader_;
    TMimeHeader partHeader_;
    std::vector<std::string> boundaries_; // of the open multiparts, outermost first
    Stop lastStop_;
};
