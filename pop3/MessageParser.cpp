#include "pop3/MessageParser.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Exception.h"
#include "platform/FileStream.h"
#include "platform/SafeFile.h"
#include "pop3/MimeNames.h"
#include "pop3/MimeQuotedPrintable.h"

int TMessageParser::LineIndex = 0;
int TMessageParser::TempFileCounter = 0;

namespace {

// Nesting deeper than this is kept as one part: the depth is the sender's to choose.
constexpr size_t kMaxNesting = 16;
// Header values kept in the message's fields.
constexpr size_t kMaxValue = 256;
constexpr size_t kMaxBoundary = 255;
constexpr int kMaxNameTries = 1000000;

enum class Encoding { Plain, Base64, UUEncode, QuotedPrintable };

Encoding EncodingOf(const std::string& transferEncoding) {
    std::string e = AsciiLower(transferEncoding);
    if (e.find("base64") != std::string::npos) {
        return Encoding::Base64;
    }
    if (e.find("uuencode") != std::string::npos || e.find("x-uue") != std::string::npos) {
        return Encoding::UUEncode;
    }
    if (e.find("quoted-printable") != std::string::npos) {
        return Encoding::QuotedPrintable;
    }
    return Encoding::Plain;
}

bool FileExists(const std::string& path) {
    struct stat st {};
    // lstat: a dangling link is a name in use too.
    return ::lstat(path.c_str(), &st) == 0;
}

std::string FirstField(const std::string& line) {
    std::string w = line.substr(0, line.find(' '));
    for (char& c : w) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return w;
}

// Removes a temporary file on every way out unless it was kept.
class TempFileGuard {
public:
    explicit TempFileGuard(std::string path) : path_(std::move(path)) {}
    ~TempFileGuard() {
        if (!path_.empty()) {
            ::unlink(path_.c_str());
        }
    }
    TempFileGuard(const TempFileGuard&) = delete;
    TempFileGuard& operator=(const TempFileGuard&) = delete;
    void Release() noexcept { path_.clear(); }

private:
    std::string path_;
};

// Writes part lines to a file in large chunks.
class LineWriter {
public:
    explicit LineWriter(TFileStream& file) : file_(file) {}
    void Append(const std::string& text) {
        buffer_ += text;
        if (buffer_.size() >= 65536) {
            Flush();
        }
    }
    void Flush() {
        file_.Write(buffer_.data(), static_cast<int64_t>(buffer_.size()));
        buffer_.clear();
    }

private:
    TFileStream& file_;
    std::string buffer_;
};

} // namespace

TMessageParser::TMessageParser(TMailMessage& message) : message_(message) {}

void TMessageParser::BeginRetrieval() {
    AttachFileName.clear();
    TransferEncoding.clear();
    PartTarget = 2;
    LineIndex = 0;
    BytesRecvd = 0;
    MessageEnded = false;
    written_.clear();
    topHeader_.Clear();
    partHeader_.Clear();
    boundaries_.clear();
    message_.Boundary.clear();
    message_.Header.Clear();
    message_.Body.Clear();
    message_.RawBody.Clear();
    message_.Attachments.Clear();
    message_.Subject.clear();
    message_.ContentType.clear();
}

void TMessageParser::ApplyHeaderLine(const std::string& line) {
    const std::string w = FirstField(line);
    auto from = [&line](size_t position) {
        return line.size() >= position ? line.substr(position - 1, kMaxValue) : std::string();
    };
    if (w == "SUBJECT:") {
        message_.Subject = from(9);
    }
    if (w == "FROM:") {
        message_.From = from(7);
    }
    if (w == "CONTENT-TYPE:") {
        message_.ContentType = from(15);
    }
    if (w == "MESSAGE-ID:") {
        message_.MessageId = from(13);
    }
}

void TMessageParser::ParseHeader(bool FromList) {
    TMimeHeader& header = FromList ? partHeader_ : topHeader_;
    header.Clear();
    for (;;) {
        std::string line;
        if (FromList) {
            if (LineIndex >= message_.RawBody.Count()) {
                break;
            }
            Stop stop;
            // A part whose header runs into a boundary line is an empty part.
            if (!boundaries_.empty() && IsBoundaryLine(message_.RawBody[LineIndex], stop)) {
                break;
            }
            line = message_.RawBody[LineIndex++];
        } else {
            line = ReadLine();
            if (line.empty()) {
                throw Exception("Connection closed during retrieval");
            }
            if (line == ".\r\n" || line == ".\n") {
                MessageEnded = true;
                break;
            }
            while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
                line.pop_back();
            }
            // RFC 1939 byte-stuffing: a line that begins with "." lost its first dot.
            if (!line.empty() && line[0] == '.') {
                line.erase(0, 1);
            }
        }
        if (PartTarget == 2) {
            message_.Header.Add(line);
        }
        if (line.empty()) {
            break;
        }
        ApplyHeaderLine(line);
        header.AddLine(line);
    }
    // Each part has its own name and encoding; nothing carries over.
    AttachFileName = header.FileName();
    TransferEncoding = header.TransferEncoding();
    if (!FromList) {
        message_.Boundary = header.Boundary().substr(0, kMaxBoundary);
    }
    if (PartTarget == 2) {
        PartTarget = 1;
    }
}

bool TMessageParser::IsBoundaryLine(const std::string& line, Stop& stop) const {
    if (line.size() < 2 || line[0] != '-' || line[1] != '-') {
        return false;
    }
    // Innermost first: RFC 2046 forbids a boundary inside the parts it
    // encloses, but a sender may still reuse an outer one's prefix.
    for (int level = static_cast<int>(boundaries_.size()) - 1; level >= 0; --level) {
        const std::string& b = boundaries_[static_cast<size_t>(level)];
        if (line.compare(2, b.size(), b) != 0 || line.size() < 2 + b.size()) {
            continue;
        }
        size_t i = 2 + b.size();
        bool closing = line.compare(i, 2, "--") == 0;
        if (closing) {
            i += 2;
        }
        // Only transport padding may follow the boundary.
        if (line.find_first_not_of(" \t", i) != std::string::npos) {
            continue;
        }
        stop.level = level;
        stop.closing = closing;
        return true;
    }
    return false;
}

TMessageParser::Stop TMessageParser::SkipToBoundary() {
    Stop stop;
    while (LineIndex < message_.RawBody.Count()) {
        if (IsBoundaryLine(message_.RawBody[LineIndex++], stop)) {
            return stop;
        }
    }
    return Stop{};
}

void TMessageParser::ParseMultipart() {
    boundaries_.clear();
    if (!message_.Boundary.empty()) {
        boundaries_.push_back(message_.Boundary);
    }
    Stop stop = SkipToBoundary();
    if (stop.level < 0) {
        boundaries_.clear();
        // No boundary line at all: raise the list's own index error, and the
        // message stays on the server.
        message_.RawBody.Strings(message_.RawBody.Count());
    }
    if (!stop.closing) {
        ParseParts(0);
    }
    boundaries_.clear();
}

TMessageParser::Stop TMessageParser::ParseParts(int level) {
    for (;;) {
        ParseHeader(true);
        Stop stop;
        const std::string inner = partHeader_.IsMultipart() ? partHeader_.Boundary() : "";
        if (!inner.empty() && boundaries_.size() < kMaxNesting) {
            boundaries_.push_back(inner);
            stop = SkipToBoundary();
            if (stop.level == level + 1 && !stop.closing) {
                stop = ParseParts(level + 1);
            }
            boundaries_.pop_back();
            if (stop.level == level + 1) {
                stop = SkipToBoundary(); // the inner epilogue
            }
        } else {
            // The first part is the message text unless it is a file.
            if (partHeader_.NamesFile() || EncodingOf(TransferEncoding) == Encoding::UUEncode) {
                PartTarget = 0;
            }
            ExtractPart();
            stop = lastStop_;
        }
        if (stop.level != level || stop.closing) {
            return stop;
        }
    }
}

bool TMessageParser::ExtractPart() {
    if (ReportStatus) {
        ReportStatus(1, "Extracting file");
    }
    const int first = LineIndex;
    const int count = message_.RawBody.Count();
    Stop stop;
    bool stopped = false;
    while (LineIndex < count) {
        const std::string& line = message_.RawBody[LineIndex++];
        if (!boundaries_.empty() && IsBoundaryLine(line, stop)) {
            stopped = true;
            break;
        }
        if (PartTarget > 0) {
            message_.Body.Add(line);
        }
        ++BytesRecvd;
        if (OnPacketRecvd) {
            OnPacketRecvd();
        }
    }
    lastStop_ = stopped ? stop : Stop{};
    if (PartTarget == 0) {
        WritePartFile(first, stopped ? LineIndex - 1 : LineIndex);
    }
    PartTarget = 0;
    const int level = static_cast<int>(boundaries_.size()) - 1;
    return stopped && (stop.closing || stop.level < level);
}

std::string TMessageParser::CreateTempFile() {
    // Exclusive creation: an attachment that happens to be called
    // "Temp<N>.mme" must never be overwritten by a part file.
    for (int tries = 0; tries < kMaxNameTries; ++tries) {
        ++TempFileCounter;
        std::string path = AttachFilePath + "Temp" + std::to_string(TempFileCounter) + ".mme";
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            ::close(fd);
            return path;
        }
        if (errno != EEXIST) {
            throw EFCreateError("Cannot create file " + path);
        }
    }
    throw EFCreateError("Cannot create file " + AttachFilePath + "Temp.mme");
}

void TMessageParser::WritePartFile(int first, int last) {
    const auto& lines = message_.RawBody;
    // Inside a multipart the line end before a boundary line belongs to the
    // boundary (RFC 2046 section 5.1.1); a single-part body keeps its last one.
    const bool keepLastLineEnd = boundaries_.empty();
    const bool empty =
        first == last || (!keepLastLineEnd && last - first == 1 && lines[first].empty());
    const Encoding encoding = EncodingOf(TransferEncoding);
    std::string uuName;
    if (encoding == Encoding::UUEncode) {
        for (int i = first; i < last; ++i) {
            if (TNMUUProcessor::IsUUBeginLine(lines[i], &uuName)) {
                break;
            }
        }
    }
    const bool named =
        !AttachFileName.empty() || !uuName.empty() || partHeader_.Disposition() == "attachment";
    if (empty && !named) {
        return; // an empty unnamed part carries nothing worth a file
    }

    const std::string rawPath = CreateTempFile();
    TempFileGuard rawGuard(rawPath);
    {
        TFileStream raw(rawPath, TFileStream::fmCreate);
        LineWriter writer(raw);
        for (int i = first; i < last; ++i) {
            writer.Append(lines[i]);
            if (i + 1 < last || keepLastLineEnd) {
                writer.Append("\r\n");
            }
        }
        writer.Flush();
        if (encoding == Encoding::Plain) {
            raw.Flush();
        }
    }

    std::string name = SafeFileName(!AttachFileName.empty() ? AttachFileName
                                    : !uuName.empty()       ? uuName
                                                            : std::string("text.tmp"));
    int k = 0;
    while (FileExists(AttachFilePath + UniqueCandidate(name, k)) && k < kMaxNameTries) {
        ++k;
    }
    AttachFileName = UniqueCandidate(name, k);
    if (OnDecodeStart) {
        std::string chosen = AttachFileName;
        OnDecodeStart(chosen);
        if (chosen != AttachFileName) {
            AttachFileName = SafeFileName(chosen);
        }
    }

    std::string finalName;
    if (encoding == Encoding::Plain) {
        finalName = PlaceFile(rawPath, AttachFileName);
        rawGuard.Release();
    } else {
        const std::string outPath = CreateTempFile();
        TempFileGuard outGuard(outPath);
        {
            TFileStream input(rawPath, TFileStream::fmOpenRead);
            TFileStream output(outPath, TFileStream::fmCreate);
            if (encoding == Encoding::QuotedPrintable) {
                DecodeQuotedPrintable(input, output);
            } else {
                Processor.InputStream = &input;
                Processor.OutputStream = &output;
                Processor.Method = encoding == Encoding::UUEncode ? uuCode : uuMime;
                if (ReportStatus) {
                    ReportStatus(1, "Decoding file");
                }
                try {
                    if (input.Size() > 0) {
                        Processor.Decode();
                    }
                } catch (...) {
                    Processor.InputStream = nullptr;
                    Processor.OutputStream = nullptr;
                    throw;
                }
                Processor.InputStream = nullptr;
                Processor.OutputStream = nullptr;
            }
            output.Flush();
        }
        finalName = PlaceFile(outPath, AttachFileName);
        outGuard.Release();
    }
    AttachFileName = finalName;
    message_.Body.Add("\r\nFile \"" + finalName + "\" extracted");
    message_.Attachments.Add(finalName);
    written_.push_back(AttachFilePath + finalName);
}

// Gives the complete file its final name, never replacing a file that
// appeared meanwhile; returns the name used.
std::string TMessageParser::PlaceFile(const std::string& tempPath, std::string name) {
    const std::string settled = name;
    for (int k = 0; k < kMaxNameTries; ++k) {
        std::string candidate = k == 0 ? settled : UniqueCandidate(settled, k);
        if (RenameNoReplace(tempPath, AttachFilePath + candidate)) {
            return candidate;
        }
    }
    throw EFCreateError("Cannot create file " + AttachFilePath + name);
}

int TMessageParser::LastPos(const std::string& Sub, const std::string& S) {
    auto pos = S.rfind(Sub);
    return pos == std::string::npos ? 0 : static_cast<int>(pos) + 1;
}

void TMessageParser::ProcessMessage() {
    written_.clear();
    if (topHeader_.IsMultipart()) {
        ParseMultipart();
        return;
    }
    if (!Parse) {
        message_.Body.Assign(message_.RawBody);
        return;
    }
    partHeader_ = topHeader_;
    boundaries_.clear();
    const Encoding encoding = EncodingOf(TransferEncoding);
    bool namesFile = topHeader_.NamesFile() || !AttachFileName.empty();
    if (encoding == Encoding::UUEncode) {
        for (int i = LineIndex; i < message_.RawBody.Count() && !namesFile; ++i) {
            namesFile = TNMUUProcessor::IsUUBeginLine(message_.RawBody[i]);
        }
    }
    if (namesFile || encoding == Encoding::Base64) {
        PartTarget = 0;
        ExtractPart();
        // A base64 body is the message's text: show it decoded.
        if (encoding == Encoding::Base64 && message_.Attachments.Count() > 0) {
            message_.Body.LoadFromFile(AttachFilePath + message_.Attachments[0]);
        }
    } else {
        PartTarget = 1;
        ExtractPart();
    }
}
