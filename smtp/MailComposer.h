#pragma once
// The text of an outgoing message, composed as a stream so that a large
// attachment is read and base64-encoded piece by piece while it is sent,
// never held whole in memory.
//
// Layout (kept because the receiving gateway writes every part after the
// first as a file): multipart/mixed, first part a short text body, then one
// part per attachment, base64, application/octet-stream, with its file name
// (without folder) in both Content-Type name and Content-Disposition filename.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct MailAddressParts {
    std::string display; // may be empty
    std::string address; // local@domain
};

// Accepts "local@domain" or "Display Name <local@domain>". Returns false and
// the reason in `why` for anything that cannot safely go into an SMTP command
// or a header (control characters, blanks, angle brackets, no "@").
bool ParseMailAddress(const std::string& text, MailAddressParts& out, std::string& why);

// A header value: as it stands when it is printable ASCII, else an RFC 2047
// encoded word (UTF-8, base64).
std::string EncodeHeaderText(const std::string& text);

// `name="value"` when the value is plain printable ASCII without quotes or
// backslashes; otherwise RFC 2231 `name*=UTF-8''percent-encoded` alone (a
// plain stand-in beside it would be taken instead by some readers).
std::string FileNameParameter(const std::string& parameter, const std::string& fileName);

// The final component of a path ("/a/b c.txt" -> "b c.txt").
std::string BaseFileName(const std::string& path);

struct MailHeaderFields {
    MailAddressParts from;
    MailAddressParts sender;
    std::vector<MailAddressParts> to;
    std::string subject;
    int priority = 3;
    bool htmlBody = false;
    bool readReceipt = false;
    std::string date;      // RFC 5322 date-time
    std::string messageId; // without angle brackets
};

// The whole message as a readable stream. The attachment files are opened
// when the stream is made (so a missing file fails before any connection)
// and are only read.
class MailStream {
public:
    // Raises ESmtpMailError naming the file when one cannot be opened or
    // is not a regular file.
    MailStream(const MailHeaderFields& fields, const std::vector<std::string>& attachmentPaths);
    ~MailStream();
    MailStream(const MailStream&) = delete;
    MailStream& operator=(const MailStream&) = delete;

    int64_t TotalSize() const noexcept { return totalSize_; }
    int64_t Position() const noexcept { return position_; }
    // Copies up to `capacity` bytes; 0 at the end. Returns -1 when a file
    // cannot be read or changed its size while being sent (Error() says).
    long Read(char* buffer, size_t capacity);
    const std::string& Error() const noexcept { return error_; }
    // Back to the first byte (the transfer may ask for it).
    bool Rewind();

private:
    struct Segment {
        std::string text; // literal bytes, or
        int fd = -1;      // a file to encode
        std::string path;
        int64_t fileSize = 0;
    };
    bool Refill();

    std::vector<Segment> segments_;
    int64_t totalSize_ = 0;
    int64_t position_ = 0;
    size_t segment_ = 0;
    int64_t fileRead_ = 0; // bytes of the current file segment consumed
    std::string pending_;  // encoded bytes not yet handed out
    size_t pendingOffset_ = 0;
    std::vector<unsigned char> raw_;
    std::string error_;
};
