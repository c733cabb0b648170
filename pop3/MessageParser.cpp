#include "pop3/MessageParser.h"

#include <cstdio>
#include <memory>

#include "platform/Exception.h"
#include "platform/FileStream.h"
#include "pop3/MimeNames.h"
#include "pop3/MimeQuotedPrintable.h"

int TMessageParser::LineIndex = 0;
int TMessageParser::TempFileCounter = 0;

namespace {

// Header values kept in the message's fields.
constexpr size_t kMaxValue = 256;
constexpr size_t kMaxBoundary = 255;
// What a kept line costs besides its text.
constexpr size_t kLineOverhead = 32;
// Part file writes are gathered into chunks of this size.
constexpr size_t kWriteChunk = 65536;

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

// A part without a type is text/plain (RFC 2045 section 5.2).
bool IsText(const std::string& mediaType) {
    return mediaType.empty() || mediaType.rfind("text/", 0) == 0;
}

std::string FirstField(const std::string& line) {
    return codec::AsciiUpper(line.substr(0, line.find(' ')));
}

// Gathers a part's bytes into large writes to its file.
class PartWriter {
public:
    explicit PartWriter(const std::string& path) : file_(path, TFileStream::fmOpenWrite) {}
    void Append(const std::string& text) {
        buffer_ += text;
        if (buffer_.size() >= kWriteChunk) {
            Flush();
        }
    }
    void Flush() {
        file_.Write(buffer_.data(), static_cast<int64_t>(buffer_.size()));
        buffer_.clear();
    }
    TFileStream& File() noexcept { return file_; }

private:
    TFileStream file_;
    std::string buffer_;
};

} // namespace

// Decodes a base64 part into its file as its lines arrive.
class TStreamedBase64 {
public:
    explicit TStreamedBase64(const std::string& path)
        : file_(path, TFileStream::fmOpenWrite), lines_(file_) {}
    TNMUUProcessor::TBase64Lines& Lines() noexcept { return lines_; }
    TFileStream& File() noexcept { return file_; }

private:
    TFileStream file_;
    TNMUUProcessor::TBase64Lines lines_;
};

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
    hasPushedBack_ = false;
    fallbackName_.clear();
    uuTentative_ = false;
    bodyBudget_ = MaxKeptText;
    message_.Boundary.clear();
    message_.Header.Clear();
    message_.Body.Clear();
    message_.RawBody.Clear();
    message_.Attachments.Clear();
    message_.Subject.clear();
    message_.ContentType.clear();
    TMessageLines::PieceReader reader = ReadPiece;
    if (!reader && ReadLine) {
        reader = [this](std::string& piece, std::size_t) {
            piece = ReadLine();
            return !piece.empty() && piece.back() == '\n';
        };
    }
    lines_.Begin(std::move(reader), MaxMessageBytes);
}

bool TMessageParser::NextPiece(TLinePiece& piece) {
    if (hasPushedBack_) {
        hasPushedBack_ = false;
        piece = pushedBack_;
        return true;
    }
    if (MessageEnded) {
        return false;
    }
    if (!lines_.Next(piece)) {
        MessageEnded = true;
        return false;
    }
    if (piece.last && PartTarget != 2) {
        ++LineIndex;
    }
    return true;
}

void TMessageParser::PushBack(const TLinePiece& piece) {
    pushedBack_ = piece;
    hasPushedBack_ = true;
}

bool TMessageParser::SkipToEnd(std::size_t Limit) {
    hasPushedBack_ = false;
    if (MessageEnded) {
        return true;
    }
    if (!lines_.SkipToEnd(Limit)) {
        return false;
    }
    MessageEnded = true;
    return true;
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
    std::string line;
    std::size_t bytes = 0;
    TLinePiece piece;
    while (NextPiece(piece)) {
        Stop stop;
        // A part whose header runs into a boundary line is an empty part.
        if (FromList && IsBoundaryLine(piece, stop)) {
            PushBack(piece);
            break;
        }
        bytes += piece.text.size() + (piece.last ? 2 : 0);
        if (bytes > MaxHeaderBytes) {
            throw EMessageRefused(HeaderTooLargeText);
        }
        if (piece.first) {
            line = piece.text;
        } else {
            line += piece.text;
        }
        if (!piece.last) {
            continue;
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
        // A bounded copy of the body lines, for a look at the message.
        lines_.Keep(&message_.RawBody, MaxKeptText);
    }
    if (PartTarget == 2) {
        PartTarget = 1;
    }
}

bool TMessageParser::IsBoundaryLine(const TLinePiece& piece, Stop& stop) const {
    // A line longer than one piece is never a boundary line: those are short.
    if (boundaries_.empty() || !piece.WholeLine()) {
        return false;
    }
    const std::string& line = piece.text;
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
    TLinePiece piece;
    while (NextPiece(piece)) {
        if (IsBoundaryLine(piece, stop)) {
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
        // The whole message has been read: nothing of it can be taken apart,
        // and it stays on the server.
        boundaries_.clear();
        throw EMessageRefused(NoBoundaryText);
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
        if (!inner.empty()) {
            // Deeper parts would be lost or mangled: refuse the message whole.
            if (boundaries_.size() >= MaxNesting) {
                throw EMessageRefused(TooDeepText);
            }
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
            fallbackName_.clear();
            if (PartTarget == 1) {
                // The first part is the message text unless it is a file; one
                // that is not text is content too, saved even without a name.
                const std::string type = partHeader_.MediaType();
                if (partHeader_.NamesFile() || EncodingOf(TransferEncoding) == Encoding::UUEncode) {
                    PartTarget = 0;
                } else if (!IsText(type)) {
                    PartTarget = 0;
                    fallbackName_ = NameForMediaType(type);
                }
            }
            ExtractPart();
            fallbackName_.clear();
            stop = lastStop_;
        }
        if (stop.level != level || stop.closing) {
            return stop;
        }
    }
}

void TMessageParser::AddBodyPiece(const TLinePiece& piece) {
    const std::size_t cost = piece.text.size() + (piece.first ? kLineOverhead : 0);
    if (cost > bodyBudget_) {
        bodyBudget_ = 0; // the kept text ends at the first line that does not fit
        return;
    }
    bodyBudget_ -= cost;
    if (piece.first || message_.Body.Count() == 0) {
        message_.Body.Add(piece.text);
    } else {
        message_.Body.Strings(message_.Body.Count() - 1) += piece.text;
    }
}

bool TMessageParser::ExtractPart() {
    if (ReportStatus) {
        ReportStatus(1, "Extracting file");
    }
    const bool toFile = PartTarget == 0;
    // Inside a multipart the line end before a boundary line belongs to the
    // boundary (RFC 2046 section 5.1.1); a single-part body keeps its last one.
    const bool keepLastLineEnd = boundaries_.empty();
    const Encoding encoding = EncodingOf(TransferEncoding);
    const int bodyMark = message_.Body.Count();
    std::string rawPath;
    std::unique_ptr<PartWriter> writer;
    // Base64 is decoded on the way in; the other encodings are stored as
    // they came and decoded from that file.
    std::unique_ptr<TStreamedBase64> streamed;
    std::string uuName;
    int lineCount = 0;
    bool onlyLineEmpty = false;
    bool lineEndPending = false;
    Stop stop;
    bool stopped = false;
    TLinePiece piece;
    while (NextPiece(piece)) {
        if (IsBoundaryLine(piece, stop)) {
            stopped = true;
            break;
        }
        if (piece.first && ++lineCount == 1) {
            onlyLineEmpty = piece.last && piece.text.empty();
        }
        if (toFile && encoding == Encoding::Base64) {
            if (!streamed) {
                rawPath = files_.CreateTemp(TempFileCounter);
                streamed = std::make_unique<TStreamedBase64>(rawPath);
            }
            streamed->Lines().Add(piece.text, piece.first, piece.last);
        } else if (toFile) {
            if (encoding == Encoding::UUEncode && piece.first && uuName.empty()) {
                TNMUUProcessor::IsUUBeginLine(piece.text, &uuName);
            }
            if (!writer) {
                rawPath = files_.CreateTemp(TempFileCounter);
                writer = std::make_unique<PartWriter>(rawPath);
            }
            if (piece.first && lineEndPending) {
                writer->Append("\r\n");
            }
            writer->Append(piece.text);
            lineEndPending = piece.last;
        }
        if (!toFile || uuTentative_) {
            AddBodyPiece(piece);
        }
        if (piece.last) {
            ++BytesRecvd;
            if (OnPacketRecvd) {
                OnPacketRecvd();
            }
        }
    }
    lastStop_ = stopped ? stop : Stop{};
    if (toFile) {
        if (writer) {
            if (lineEndPending && keepLastLineEnd) {
                writer->Append("\r\n");
            }
            writer->Flush();
            if (encoding == Encoding::Plain) {
                // This file is the one published; it is synced with the
                // rest of its message (or batch) before any DELE.
                writer->File().StartWriteBack();
            }
            writer.reset();
        }
        const bool empty = lineCount == 0 || (!keepLastLineEnd && lineCount == 1 && onlyLineEmpty);
        if (uuTentative_ && uuName.empty()) {
            // No "begin" line: the body is text after all.
            if (!rawPath.empty()) {
                files_.Drop(rawPath);
            }
        } else {
            while (message_.Body.Count() > bodyMark) {
                message_.Body.Delete(message_.Body.Count() - 1);
            }
            FinishPartFile(rawPath, empty, uuName, streamed.get());
        }
    }
    PartTarget = 0;
    const int level = static_cast<int>(boundaries_.size()) - 1;
    return stopped && (stop.closing || stop.level < level);
}

void TMessageParser::FinishPartFile(const std::string& rawPath, bool empty,
                                    const std::string& uuName, TStreamedBase64* streamed) {
    const bool named =
        !AttachFileName.empty() || !uuName.empty() || partHeader_.Disposition() == "attachment";
    if (empty && !named) {
        // An empty unnamed part carries nothing worth a file.
        if (!rawPath.empty()) {
            files_.Drop(rawPath);
        }
        return;
    }
    const std::string path = rawPath.empty() ? files_.CreateTemp(TempFileCounter) : rawPath;
    const std::string name = SafeFileName(!AttachFileName.empty()  ? AttachFileName
                                          : !uuName.empty()        ? uuName
                                          : !fallbackName_.empty() ? fallbackName_
                                                                   : std::string("text.tmp"));
    const Encoding encoding = EncodingOf(TransferEncoding);
    if (encoding == Encoding::Plain) {
        files_.Add(path, name);
        AttachFileName = name;
        return;
    }
    if (streamed != nullptr) {
        // Decoded as it came: only the last group is left.
        if (ReportStatus) {
            ReportStatus(1, "Decoding file");
        }
        Processor.FinishDecode(streamed->Lines());
        streamed->File().StartWriteBack(); // synced with the rest before any DELE
        files_.Add(path, name);
        AttachFileName = name;
        return;
    }
    const std::string outPath = files_.CreateTemp(TempFileCounter);
    {
        TFileStream input(path, TFileStream::fmOpenRead);
        TFileStream output(outPath, TFileStream::fmOpenWrite); // just created, empty
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
        output.StartWriteBack(); // synced with the rest before any DELE
    }
    files_.Drop(path);
    files_.Add(outPath, name);
    AttachFileName = name;
}

void TMessageParser::LoadBodyFrom(const std::string& path) {
    // As TStringList::LoadFromFile, but only the first MaxKeptText bytes.
    TFileStream file(path, TFileStream::fmOpenRead);
    std::string text(MaxKeptText, '\0');
    text.resize(static_cast<size_t>(file.Read(text.data(), static_cast<int64_t>(text.size()))));
    message_.Body.Clear();
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' || text[i] == '\n') {
            message_.Body.Add(text.substr(start, i - start));
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
                ++i;
            }
            start = i + 1;
        }
    }
    if (start < text.size()) {
        message_.Body.Add(text.substr(start));
    }
}

int TMessageParser::LastPos(const std::string& Sub, const std::string& S) {
    auto pos = S.rfind(Sub);
    return pos == std::string::npos ? 0 : static_cast<int>(pos) + 1;
}

void TMessageParser::ProcessSinglePart() {
    partHeader_ = topHeader_;
    boundaries_.clear();
    const Encoding encoding = EncodingOf(TransferEncoding);
    const bool namesFile = topHeader_.NamesFile() || !AttachFileName.empty();
    fallbackName_.clear();
    if (!namesFile && !IsText(topHeader_.MediaType())) {
        fallbackName_ = NameForMediaType(topHeader_.MediaType());
    }
    if (namesFile || encoding == Encoding::Base64 || !fallbackName_.empty()) {
        PartTarget = 0;
        ExtractPart();
    } else if (encoding == Encoding::UUEncode) {
        // A file when a "begin" line shows up, text otherwise.
        PartTarget = 0;
        uuTentative_ = true;
        ExtractPart();
        uuTentative_ = false;
    } else {
        PartTarget = 1;
        ExtractPart();
    }
    fallbackName_.clear();
}

void TMessageParser::ProcessMessage() {
    written_.clear();
    staged_.clear();
    files_.Begin(AttachFilePath);
    const bool singleBase64 =
        !topHeader_.IsMultipart() && Parse && EncodingOf(TransferEncoding) == Encoding::Base64;
    try {
        TLinePiece piece;
        if (topHeader_.IsMultipart()) {
            ParseMultipart();
        } else if (Parse) {
            ProcessSinglePart();
        }
        // The epilogue, or a body that is not parsed: read, not kept.
        while (NextPiece(piece)) {
        }
        if (!topHeader_.IsMultipart() && !Parse) {
            message_.Body.Assign(message_.RawBody);
        }
        if (StageOnly) {
            staged_ = files_.Release();
            for (auto& [tempPath, name] : staged_) {
                if (OnDecodeStart) {
                    std::string chosen = name;
                    OnDecodeStart(chosen);
                    if (chosen != name) {
                        name = SafeFileName(chosen);
                    }
                }
                message_.Attachments.Add(name);
                AttachFileName = name;
            }
        }
        // The whole message is read and every part written: now its files
        // appear, together.
        const std::vector<std::string> names =
            StageOnly ? std::vector<std::string>() : files_.Publish([this](std::string& name) {
                if (OnDecodeStart) {
                    OnDecodeStart(name);
                }
            });
        for (const std::string& name : names) {
            message_.Body.Add("\r\nFile \"" + name + "\" extracted");
            message_.Attachments.Add(name);
            written_.push_back(AttachFilePath + name);
            AttachFileName = name;
        }
    } catch (...) {
        files_.Discard();
        for (const auto& file : staged_) {
            std::remove(file.first.c_str());
        }
        staged_.clear();
        throw;
    }
    // A base64 body is the message's text: show it decoded.
    if (singleBase64 && !written_.empty()) {
        LoadBodyFrom(written_.front());
    } else if (singleBase64 && !staged_.empty()) {
        LoadBodyFrom(staged_.front().first);
    }
}

void TMessageParser::RemoveLeftovers(const std::string& inboxPath) {
    TInboxFiles::RemoveLeftovers(inboxPath);
}
