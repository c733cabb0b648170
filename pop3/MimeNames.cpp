#include "pop3/MimeNames.h"

#include <QByteArray>
#include <QStringDecoder>

#include "codec/Codec.h"

namespace {

// NAME_MAX of the file systems we write to.
constexpr size_t kMaxName = 255;
// Longer "extensions" are not kept whole when a name must be cut.
constexpr size_t kMaxKeptExtension = 32;

// Cuts `s` to at most `limit` bytes without splitting a UTF-8 sequence.
std::string CutUtf8(std::string_view s, size_t limit) {
    if (s.size() <= limit) {
        return std::string(s);
    }
    size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80) {
        --end;
    }
    return std::string(s.substr(0, end));
}

// Base + suffix + "." + Ext within kMaxName bytes, shortening Base first.
std::string Fit(std::string_view base, std::string_view suffix, std::string_view ext, bool hasDot) {
    size_t tail = suffix.size() + (hasDot ? 1 + ext.size() : 0);
    if (hasDot && ext.size() > kMaxKeptExtension) {
        ext = std::string_view();
        hasDot = false;
        tail = suffix.size();
    }
    std::string r = CutUtf8(base, kMaxName - tail);
    r += suffix;
    if (hasDot) {
        r += '.';
        r += ext;
    }
    return r;
}

bool DecodeEncodedWord(std::string_view word, std::string& out) {
    // word is "=?charset?X?text?="
    if (word.size() < 8 || word.substr(0, 2) != "=?" || word.substr(word.size() - 2) != "?=") {
        return false;
    }
    std::string_view inner = word.substr(2, word.size() - 4);
    size_t q1 = inner.find('?');
    if (q1 == std::string_view::npos || q1 + 2 >= inner.size() || inner[q1 + 2] != '?') {
        return false;
    }
    std::string_view charset = inner.substr(0, q1);
    if (size_t star = charset.find('*'); star != std::string_view::npos) {
        charset = charset.substr(0, star); // RFC 2231 language suffix
    }
    char enc = static_cast<char>(inner[q1 + 1] & ~0x20);
    std::string_view text = inner.substr(q1 + 3);
    std::string bytes;
    if (enc == 'B') {
        bytes = codec::Base64Decode(text);
    } else if (enc == 'Q') {
        bytes = codec::DecodeQEncoding(text);
    } else {
        return false;
    }
    out += CharsetToUtf8(charset, bytes);
    return true;
}

} // namespace

std::string CharsetToUtf8(std::string_view charset, std::string_view bytes) {
    std::string cs = codec::AsciiLower(charset);
    if (cs.empty() || cs == "utf-8" || cs == "utf8" || cs == "us-ascii" || cs == "ascii") {
        return std::string(bytes);
    }
    QStringDecoder decoder(QByteArray(cs.data(), static_cast<qsizetype>(cs.size())).constData());
    if (!decoder.isValid()) {
        return std::string(bytes);
    }
    QString text = decoder(QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size())));
    QByteArray utf8 = text.toUtf8();
    return std::string(utf8.constData(), static_cast<size_t>(utf8.size()));
}

std::string DecodeEncodedWords(std::string_view text) {
    std::string out;
    size_t i = 0;
    bool lastWasWord = false;
    std::string pendingBlanks;
    while (i < text.size()) {
        if (text.substr(i, 2) == "=?") {
            // An encoded word has exactly four "?" and ends at the fourth
            // one followed by "=".
            size_t q1 = text.find('?', i + 2);
            size_t q2 = q1 == std::string_view::npos ? q1 : text.find('?', q1 + 1);
            size_t end = q2 == std::string_view::npos ? q2 : text.find("?=", q2 + 1);
            if (end != std::string_view::npos) {
                std::string decoded;
                if (DecodeEncodedWord(text.substr(i, end + 2 - i), decoded)) {
                    if (!lastWasWord) {
                        out += pendingBlanks;
                    }
                    pendingBlanks.clear();
                    out += decoded;
                    lastWasWord = true;
                    i = end + 2;
                    continue;
                }
            }
        }
        char c = text[i++];
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            pendingBlanks += c;
            continue;
        }
        out += pendingBlanks;
        pendingBlanks.clear();
        out += c;
        lastWasWord = false;
    }
    out += pendingBlanks;
    return out;
}

std::string SafeFileName(std::string_view name) {
    size_t sep = name.find_last_of("/\\");
    if (sep != std::string_view::npos) {
        name = name.substr(sep + 1);
    }
    std::string plain;
    for (char c : name) {
        auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u != 0x7F) {
            plain += c;
        }
    }
    // Blanks around the name come from header folding, not from the sender;
    // leading dots would hide the file (and "." and ".." name folders).
    size_t first = plain.find_first_not_of(" \t.");
    size_t last = plain.find_last_not_of(" \t");
    if (first == std::string::npos) {
        return "text.tmp";
    }
    plain = plain.substr(first, last + 1 - first);
    if (plain.size() > kMaxName) {
        size_t dot = plain.rfind('.');
        bool hasDot = dot != std::string::npos;
        std::string_view v(plain);
        plain = hasDot ? Fit(v.substr(0, dot), "", v.substr(dot + 1), true) : Fit(v, "", "", false);
    }
    return plain;
}

std::string UniqueCandidate(const std::string& name, int K) {
    if (K == 0) {
        return name;
    }
    std::string suffix = "_" + std::to_string(K);
    size_t dot = name.rfind('.');
    std::string_view v(name);
    if (dot == std::string::npos) {
        return Fit(v, suffix, "", false);
    }
    return Fit(v.substr(0, dot), suffix, v.substr(dot + 1), true);
}

std::string NameForMediaType(std::string_view mediaType) {
    struct Entry {
        std::string_view type;
        std::string_view extension;
    };
    static constexpr Entry kTable[] = {
        {"application/pdf", "pdf"},
        {"application/zip", "zip"},
        {"application/x-zip-compressed", "zip"},
        {"application/gzip", "gz"},
        {"application/x-gzip", "gz"},
        {"application/x-tar", "tar"},
        {"application/x-7z-compressed", "7z"},
        {"application/msword", "doc"},
        {"application/vnd.ms-excel", "xls"},
        {"application/vnd.ms-powerpoint", "ppt"},
        {"application/vnd.openxmlformats-officedocument.wordprocessingml.document", "docx"},
        {"application/vnd.openxmlformats-officedocument.spreadsheetml.sheet", "xlsx"},
        {"application/vnd.openxmlformats-officedocument.presentationml.presentation", "pptx"},
        {"application/vnd.oasis.opendocument.text", "odt"},
        {"application/vnd.oasis.opendocument.spreadsheet", "ods"},
        {"application/rtf", "rtf"},
        {"application/json", "json"},
        {"application/xml", "xml"},
        {"application/octet-stream", "bin"},
        {"image/png", "png"},
        {"image/jpeg", "jpg"},
        {"image/jpg", "jpg"},
        {"image/pjpeg", "jpg"},
        {"image/gif", "gif"},
        {"image/tiff", "tif"},
        {"image/bmp", "bmp"},
        {"image/webp", "webp"},
        {"image/svg+xml", "svg"},
        {"audio/mpeg", "mp3"},
        {"audio/wav", "wav"},
        {"audio/x-wav", "wav"},
        {"video/mp4", "mp4"},
        {"video/mpeg", "mpg"},
        {"message/rfc822", "eml"},
        {"text/calendar", "ics"},
        {"text/html", "html"},
        {"text/csv", "csv"},
        {"text/xml", "xml"},
    };
    for (const Entry& e : kTable) {
        if (e.type == mediaType) {
            return "attachment." + std::string(e.extension);
        }
    }
    return "attachment.bin";
}
