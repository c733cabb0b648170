#include "pop3/NMUUE.h"

#include <algorithm>

#include "codec/Codec.h"
#include "platform/Exception.h"
#include "pop3/MimeLineReader.h"

namespace {

// Longest piece of a line the decoders hold: an encoded line of any length
// is decoded in pieces.
constexpr size_t kMaxPiece = 65536;

constexpr uint8_t kPad = codec::Base64Pad;

std::array<uint8_t, 80> MakeTable() {
    std::array<uint8_t, 80> t{};
    for (int c = '+'; c <= 'z'; ++c) {
        t[static_cast<size_t>(c - '+')] = codec::Base64Value(static_cast<char>(c));
    }
    return t;
}

inline uint8_t Value(char c) {
    return codec::Base64Value(c);
}

} // namespace

const std::array<uint8_t, 80> TNMUUProcessor::Base64Table = MakeTable();

uint8_t TNMUUProcessor::Base64Value(char C) noexcept {
    return Value(C);
}

// Collects decoded bytes and hands them to the output stream in large writes.
class TNMUUProcessor::Output {
public:
    explicit Output(TStream& stream) : stream_(stream), buffer_(kChunk, '\0') {}
    // Room for `count` more bytes; write them through the pointer, then Commit.
    char* Reserve(size_t count) {
        if (used_ + count > buffer_.size()) {
            Flush();
            if (count > buffer_.size()) {
                buffer_.resize(count);
            }
        }
        return buffer_.data() + used_;
    }
    void Commit(char* end) { used_ = static_cast<size_t>(end - buffer_.data()); }
    void Put(char c) {
        *Reserve(1) = c;
        ++used_;
    }
    void Put3(uint32_t bits) {
        char* p = Reserve(3);
        p[0] = static_cast<char>(bits >> 16);
        p[1] = static_cast<char>(bits >> 8);
        p[2] = static_cast<char>(bits);
        used_ += 3;
    }
    void Flush() {
        if (used_ > 0) {
            stream_.Write(buffer_.data(), static_cast<int64_t>(used_));
            used_ = 0;
        }
    }

private:
    static constexpr size_t kChunk = 256 * 1024;
    TStream& stream_;
    std::string buffer_;
    size_t used_ = 0;
};

TStream& TNMUUProcessor::Input() const {
    if (InputStream == nullptr || OutputStream == nullptr) {
        throw Exception("Decoder streams are not set");
    }
    return *InputStream;
}

void TNMUUProcessor::Decode() {
    if (OnBeginDecode) {
        OnBeginDecode(this);
    }
    if (Method == uuMime) {
        DecodeBase64();
    } else {
        DecodeUU();
    }
    if (OnEndDecode) {
        OnEndDecode(this);
    }
}

std::string TNMUUProcessor::ReadStreamLine(TStream& Stream) {
    TMimeLineReader reader(Stream, 256);
    std::string_view line;
    std::string result;
    if (reader.Next(line)) {
        result.assign(line);
    }
    Stream.SetPosition(reader.Position());
    return result;
}

struct TNMUUProcessor::TBase64Lines::State {
    explicit State(TStream& output) : out(output) {}
    Output out;
    // A group may continue on the next line: RFC 2045 ignores line breaks
    // inside the encoded text. The pad ends it.
    codec::Base64Decoder decoder{true};
    bool stopped = false;  // a line that ends the encoded text was seen
    bool skipping = false; // the rest of this line is not data
    bool leadIn = true;    // no alphabet character yet on this line
    // The start of a line is held until it shows whether the line is data:
    // its first four characters, or the whole line when shorter.
    bool headPending = false;
    std::string head;
};

TNMUUProcessor::TBase64Lines::TBase64Lines(TStream& output)
    : state_(std::make_unique<State>(output)) {}

TNMUUProcessor::TBase64Lines::~TBase64Lines() = default;

bool TNMUUProcessor::TBase64Lines::Ended() const noexcept {
    return state_->stopped || state_->decoder.Ended();
}

void TNMUUProcessor::TBase64Lines::Add(std::string_view piece, bool first, bool last) {
    State& s = *state_;
    if (Ended()) {
        return;
    }
    if (first) {
        s.leadIn = true;
        s.skipping = false;
        s.headPending = true;
        s.head.clear();
    }
    if (!s.headPending) {
        Take(piece);
        return;
    }
    const size_t wanted = 4 - s.head.size();
    s.head.append(piece.substr(0, wanted));
    piece.remove_prefix(std::min(wanted, piece.size()));
    if (s.head.size() < 4 && !last) {
        return;
    }
    s.headPending = false;
    s.skipping = s.head.substr(0, 4) == "====";
    if (!s.skipping && last && piece.empty() && s.head.size() <= 2) {
        bool data = !s.head.empty();
        for (char c : s.head) {
            data = data && Value(c) < kPad;
        }
        s.skipping = !data;
    }
    Take(s.head);
    if (!piece.empty()) {
        Take(piece);
    }
}

void TNMUUProcessor::TBase64Lines::Take(std::string_view line) {
    State& s = *state_;
    if (s.skipping || Ended()) {
        return;
    }
    const size_t size = line.size();
    size_t i = 0;
    // Blanks, tabs and other non-alphabet characters may lead a line; a
    // line that begins with "=" ends the encoded text.
    while (s.leadIn && i < size && Value(line[i]) >= kPad) {
        char c = line[i];
        if (c == '=' || c == '\r' || c == '\n') {
            break;
        }
        ++i;
    }
    if (s.leadIn && i < size && Value(line[i]) >= kPad) {
        s.stopped = true;
        return;
    }
    if (i < size) {
        s.leadIn = false;
        std::string_view rest = line.substr(i);
        char* o = s.out.Reserve(codec::Base64Decoder::MaxOutput(rest.size()));
        s.out.Commit(o + s.decoder.Decode(rest, o));
    }
}

void TNMUUProcessor::TBase64Lines::Finish() {
    State& s = *state_;
    char* o = s.out.Reserve(2);
    s.out.Commit(o + s.decoder.Finish(o));
    s.out.Flush();
}

void TNMUUProcessor::FinishDecode(TBase64Lines& lines) {
    if (OnBeginDecode) {
        OnBeginDecode(this);
    }
    lines.Finish();
    if (OnEndDecode) {
        OnEndDecode(this);
    }
}

void TNMUUProcessor::DecodeBase64() {
    TMimeLineReader reader(Input(), 65536, kMaxPiece);
    TBase64Lines lines(*OutputStream);
    std::string_view line;
    while (!lines.Ended() && reader.Next(line)) {
        lines.Add(line, reader.StartsLine(), !reader.Continues());
    }
    lines.Finish();
    InputStream->SetPosition(reader.Position());
}

bool TNMUUProcessor::IsUUBeginLine(std::string_view Line, std::string* Name) {
    if (Line.substr(0, 6) != "begin ") {
        return false;
    }
    size_t i = 6;
    size_t digits = 0;
    while (i < Line.size() && Line[i] >= '0' && Line[i] <= '7') {
        ++i;
        ++digits;
    }
    if (digits == 0 || (i < Line.size() && Line[i] != ' ')) {
        return false;
    }
    if (Name != nullptr) {
        std::string_view rest = i < Line.size() ? Line.substr(i + 1) : std::string_view();
        while (!rest.empty() &&
               (rest.back() == ' ' || rest.back() == '\t' || rest.back() == '\r')) {
            rest.remove_suffix(1);
        }
        Name->assign(rest);
    }
    return true;
}

bool TNMUUProcessor::IsUUEndLine(std::string_view Line) {
    while (!Line.empty() && (Line.back() == ' ' || Line.back() == '\t' || Line.back() == '\r')) {
        Line.remove_suffix(1);
    }
    return Line == "end";
}

void TNMUUProcessor::DecodeUU() {
    TStream& input = Input();
    const int64_t start = input.Position();
    std::string_view line;
    // Text before a "begin" line is not data; without one, every line is.
    bool hasBegin = false;
    {
        TMimeLineReader scan(input, 65536, kMaxPiece);
        while (!hasBegin && scan.Next(line)) {
            hasBegin = scan.StartsLine() && IsUUBeginLine(line);
        }
    }
    input.SetPosition(start);
    TMimeLineReader reader(input, 65536, kMaxPiece);
    Output out(*OutputStream);
    bool inBlock = !hasBegin;
    while (reader.Next(line)) {
        // A line carries at most 63 bytes in its first 85 characters: the
        // rest of a longer one is not data.
        if (!reader.StartsLine()) {
            continue;
        }
        if (IsUUBeginLine(line)) {
            inBlock = true;
            continue;
        }
        if (!inBlock) {
            continue;
        }
        if (!reader.Continues() && IsUUEndLine(line)) {
            if (hasBegin) {
                break;
            }
            continue;
        }
        if (line.size() <= 2) {
            continue;
        }
        int n = UUValue(line[0]);
        // Each line yields exactly the bytes its length character announces;
        // characters missing at its end (stripped blanks) count as zero.
        for (size_t g = 1; n > 0; g += 4, n -= 3) {
            uint32_t v[4];
            for (size_t k = 0; k < 4; ++k) {
                v[k] = g + k < line.size() ? UUValue(line[g + k]) : 0;
            }
            uint32_t bits = v[0] << 18 | v[1] << 12 | v[2] << 6 | v[3];
            if (n >= 3) {
                out.Put3(bits);
            } else {
                out.Put(static_cast<char>(bits >> 16));
                if (n == 2) {
                    out.Put(static_cast<char>(bits >> 8));
                }
            }
        }
    }
    out.Flush();
    input.SetPosition(reader.Position());
}
