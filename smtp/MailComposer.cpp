#include "smtp/MailComposer.h"

#include "codec/Codec.h"

#include "smtp/AddEmailLib_TLB.h"

#include <algorithm>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// 57 input bytes make one 76-character line (RFC 2045 6.8 allows at most 76).
constexpr size_t kLineInput = 57;
// Bytes of a file read at a time: a whole number of lines.
constexpr size_t kChunkInput = kLineInput * 1024;

bool IsPlainAscii(const std::string& s) {
    for (unsigned char c : s) {
        if (c < 0x20 || c > 0x7e) {
            return false;
        }
    }
    return true;
}

std::string FormatAddress(const MailAddressParts& a) {
    if (a.display.empty()) {
        return a.address;
    }
    std::string display = EncodeHeaderText(a.display);
    if (display == a.display) {
        // A quoted string keeps commas and dots of a display name harmless.
        std::string quoted = "\"";
        for (char c : a.display) {
            if (c == '"' || c == '\\') {
                quoted += '\\';
            }
            quoted += c;
        }
        display = quoted + "\"";
    }
    return display + " <" + a.address + ">";
}

std::string RandomHex(int digits) {
    unsigned char bytes[32] = {};
    int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        (void)!::read(fd, bytes, sizeof bytes);
        ::close(fd);
    }
    std::string hex =
        codec::HexLower(std::string_view(reinterpret_cast<char*>(bytes), sizeof bytes));
    return hex.substr(0, static_cast<size_t>(std::clamp(digits, 0, 64)));
}

} // namespace

bool ParseMailAddress(const std::string& text, MailAddressParts& out, std::string& why) {
    std::string display;
    std::string address = text;
    size_t open = text.rfind('<');
    if (open != std::string::npos) {
        size_t close = text.find('>', open);
        if (close == std::string::npos ||
            text.find_first_not_of(" \t", close + 1) != std::string::npos) {
            why = "unbalanced angle brackets";
            return false;
        }
        address = text.substr(open + 1, close - open - 1);
        display = text.substr(0, open);
        size_t first = display.find_first_not_of(" \t");
        size_t last = display.find_last_not_of(" \t");
        display = first == std::string::npos ? "" : display.substr(first, last - first + 1);
        if (display.size() >= 2 && display.front() == '"' && display.back() == '"') {
            display = display.substr(1, display.size() - 2);
        }
    } else {
        size_t first = address.find_first_not_of(" \t");
        size_t last = address.find_last_not_of(" \t");
        address = first == std::string::npos ? "" : address.substr(first, last - first + 1);
    }
    if (address.empty()) {
        why = "it is empty";
        return false;
    }
    if (address.size() > 254) {
        why = "it is longer than 254 characters";
        return false;
    }
    for (unsigned char c : address) {
        if (c <= 0x20 || c == 0x7f || c == '<' || c == '>' || c == '(' || c == ')' || c == ',' ||
            c == ';' || c == '"' || c == '\\') {
            why = "it contains a blank, a control character or one of <>(),;\"\\";
            return false;
        }
    }
    size_t at = address.rfind('@');
    if (at == std::string::npos || at == 0 || at + 1 == address.size()) {
        why = "it is not of the form name@domain";
        return false;
    }
    for (unsigned char c : display) {
        if (c < 0x20 || c == 0x7f) {
            why = "its display name contains a control character";
            return false;
        }
    }
    out.display = display;
    out.address = address;
    return true;
}

std::string EncodeHeaderText(const std::string& text) {
    if (IsPlainAscii(text)) {
        return text;
    }
    // One encoded word per at most 45 input bytes keeps each under 75
    // characters (RFC 2047 2); a UTF-8 sequence is never split.
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        size_t end = std::min(text.size(), i + 45);
        while (end < text.size() && end > i + 1 && ((unsigned char)text[end] & 0xC0) == 0x80) {
            --end;
        }
        if (!out.empty()) {
            out += "\r\n ";
        }
        out += "=?UTF-8?B?" + codec::Base64Encode(text.substr(i, end - i)) + "?=";
        i = end;
    }
    return out;
}

std::string FileNameParameter(const std::string& parameter, const std::string& fileName) {
    bool plain = IsPlainAscii(fileName) && fileName.find_first_of("\"\\") == std::string::npos;
    if (plain) {
        return parameter + "=\"" + fileName + "\"";
    }
    // RFC 2231 7: attribute-char is any printable ASCII except blank, "*",
    // "'", "%" and the tspecials of RFC 2045.
    std::string encoded;
    for (unsigned char c : fileName) {
        bool attributeChar = c > 0x20 && c < 0x7f && !std::strchr("*'%()<>@,;:\\\"/[]?=", c);
        if (attributeChar) {
            encoded += char(c);
        } else {
            encoded += '%';
            encoded += codec::HexDigit(c >> 4);
            encoded += codec::HexDigit(c);
        }
    }
    return parameter + "*=UTF-8''" + encoded;
}

std::string BaseFileName(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

MailStream::MailStream(const MailHeaderFields& f, const std::vector<std::string>& attachmentPaths) {
    // "=_" never occurs in base64 or in our own text, so the boundary cannot
    // collide with the content (RFC 2046 5.1.1).
    const std::string boundary = "=_mailgate_" + RandomHex(24);
    std::string head;
    head += "From: " + FormatAddress(f.from) + "\r\n";
    head += "Sender: " + FormatAddress(f.sender) + "\r\n";
    head += "To: ";
    for (size_t i = 0; i < f.to.size(); ++i) {
        head += (i ? ",\r\n\t" : "") + FormatAddress(f.to[i]);
    }
    head += "\r\n";
    head += "Subject: " + EncodeHeaderText(f.subject) + "\r\n";
    head += "Date: " + f.date + "\r\n";
    head += "Message-ID: <" + f.messageId + ">\r\n";
    static const char* const priorityNames[] = {"Highest", "High", "Normal", "Low", "Lowest"};
    head += "X-Priority: " + std::to_string(f.priority) + " (" + priorityNames[f.priority - 1] +
            ")\r\n";
    if (f.readReceipt) {
        head += "Disposition-Notification-To: " + FormatAddress(f.from) + "\r\n";
    }
    head += "MIME-Version: 1.0\r\n";
    head += "Content-Type: multipart/mixed;\r\n\tboundary=\"" + boundary + "\"\r\n";
    head += "\r\n";
    head += "This is a multi-part message in MIME format.\r\n";
    head += "\r\n--" + boundary + "\r\n";
    if (f.htmlBody) {
        head += "Content-Type: text/html; charset=us-ascii\r\n";
        head += "Content-Transfer-Encoding: 7bit\r\n\r\n";
        head += "<html><body><p>The attached file is sent by mailgate.</p></body></html>\r\n";
    } else {
        head += "Content-Type: text/plain; charset=us-ascii\r\n";
        head += "Content-Transfer-Encoding: 7bit\r\n\r\n";
        head += "The attached file is sent by mailgate.\r\n";
    }

    std::string text = head;
    for (const std::string& path : attachmentPaths) {
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            int err = errno;
            throw ESmtpMailError("Cannot open file " + path + ": " + std::strerror(err));
        }
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            ::close(fd);
            throw ESmtpMailError("Cannot open file " + path + ": not a regular file");
        }
        std::string name = BaseFileName(path);
        text += "\r\n--" + boundary + "\r\n";
        text += "Content-Type: application/octet-stream;\r\n\t" + FileNameParameter("name", name) +
                "\r\n";
        text += "Content-Transfer-Encoding: base64\r\n";
        text += "Content-Disposition: attachment;\r\n\t" + FileNameParameter("filename", name) +
                "\r\n\r\n";
        segments_.push_back(Segment{std::move(text), -1, {}, 0});
        text.clear();
        segments_.push_back(Segment{{}, fd, path, int64_t(st.st_size)});
    }
    text += "\r\n--" + boundary + "--\r\n";
    segments_.push_back(Segment{std::move(text), -1, {}, 0});

    for (const Segment& s : segments_) {
        totalSize_ += s.fd >= 0 ? codec::Base64LinesSize(s.fileSize) : int64_t(s.text.size());
    }
}

MailStream::~MailStream() {
    for (Segment& s : segments_) {
        if (s.fd >= 0) {
            ::close(s.fd);
        }
    }
}

bool MailStream::Rewind() {
    segment_ = 0;
    fileRead_ = 0;
    position_ = 0;
    pending_.clear();
    pendingOffset_ = 0;
    error_.clear();
    return true;
}

// Puts the next encoded piece into pending_; false on a read error.
bool MailStream::Refill() {
    pending_.clear();
    pendingOffset_ = 0;
    while (pending_.empty() && segment_ < segments_.size()) {
        Segment& s = segments_[segment_];
        if (s.fd < 0) {
            pending_ = s.text;
            ++segment_;
            fileRead_ = 0;
            continue;
        }
        int64_t left = s.fileSize - fileRead_;
        if (left == 0) {
            // The file must end where it ended when the message was composed:
            // a file that grew would be sent cut short without anyone knowing.
            char probe;
            ssize_t extra = ::pread(s.fd, &probe, 1, fileRead_);
            if (extra != 0) {
                error_ = "File " + s.path + " changed while it was being sent";
                return false;
            }
            ++segment_;
            fileRead_ = 0;
            continue;
        }
        size_t want = size_t(std::min<int64_t>(left, kChunkInput));
        raw_.resize(want);
        size_t got = 0;
        while (got < want) {
            ssize_t n = ::pread(s.fd, raw_.data() + got, want - got, fileRead_ + got);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                error_ = "Cannot read file " + s.path + ": " + std::strerror(errno);
                return false;
            }
            if (n == 0) {
                error_ = "File " + s.path + " changed while it was being sent";
                return false;
            }
            got += size_t(n);
        }
        fileRead_ += int64_t(got);
        codec::AppendBase64Lines(raw_.data(), got, pending_);
    }
    return true;
}

long MailStream::Read(char* buffer, size_t capacity) {
    size_t copied = 0;
    while (copied < capacity) {
        if (pendingOffset_ == pending_.size()) {
            if (segment_ >= segments_.size()) {
                break;
            }
            if (!Refill()) {
                return -1;
            }
            if (pending_.empty()) {
                break;
            }
        }
        size_t n = std::min(capacity - copied, pending_.size() - pendingOffset_);
        std::memcpy(buffer + copied, pending_.data() + pendingOffset_, n);
        pendingOffset_ += n;
        copied += n;
    }
    position_ += int64_t(copied);
    return long(copied);
}
