#include "pop3/MimeHeader.h"

#include <map>

#include "pop3/MimeNames.h"

namespace {

// A header is message-controlled: keep its size bounded.
constexpr size_t kMaxHeaderBytes = 256 * 1024;
constexpr size_t kMaxFields = 2000;
constexpr int kMaxContinuations = 1000;

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
        s.remove_suffix(1);
    }
    return s;
}

struct RawParameter {
    std::string name; // lower case
    std::string value;
    bool quoted = false;
};

// Splits "type/subtype; a=1; b="x; y"" into its parameters.
std::vector<RawParameter> SplitParameters(std::string_view value) {
    std::vector<RawParameter> params;
    size_t i = value.find(';');
    while (i != std::string_view::npos && i < value.size()) {
        ++i; // past ';'
        size_t eq = value.find_first_of("=;", i);
        if (eq == std::string_view::npos) {
            break;
        }
        if (value[eq] == ';') {
            i = eq;
            continue;
        }
        RawParameter p;
        p.name = codec::AsciiLower(Trim(value.substr(i, eq - i)));
        size_t j = eq + 1;
        while (j < value.size() && (value[j] == ' ' || value[j] == '\t')) {
            ++j;
        }
        if (j < value.size() && value[j] == '"') {
            p.quoted = true;
            ++j;
            // Only \\ and \" are escapes: mail programs put Windows paths in
            // quotes without doubling their backslashes.
            while (j < value.size() && value[j] != '"') {
                if (value[j] == '\\' && j + 1 < value.size() &&
                    (value[j + 1] == '\\' || value[j + 1] == '"')) {
                    ++j;
                }
                p.value += value[j++];
            }
            i = value.find(';', j);
        } else {
            size_t end = value.find(';', j);
            p.value = std::string(Trim(
                value.substr(j, end == std::string_view::npos ? std::string_view::npos : end - j)));
            i = end;
        }
        params.push_back(std::move(p));
    }
    return params;
}

std::string PercentDecode(std::string_view s) {
    auto hex = [](char c) { return codec::HexValue(c); };
    std::string r;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && hex(s[i + 1]) >= 0 && hex(s[i + 2]) >= 0) {
            r += static_cast<char>(hex(s[i + 1]) << 4 | hex(s[i + 2]));
            i += 2;
        } else {
            r += s[i];
        }
    }
    return r;
}

// charset'language'text of RFC 2231: splits off the charset.
std::string SplitCharset(std::string_view s, std::string& charset) {
    size_t q1 = s.find('\'');
    size_t q2 = q1 == std::string_view::npos ? q1 : s.find('\'', q1 + 1);
    if (q2 == std::string_view::npos) {
        return std::string(s);
    }
    charset = std::string(s.substr(0, q1));
    return std::string(s.substr(q2 + 1));
}

} // namespace

void TMimeHeader::Clear() noexcept {
    fields_.clear();
    bytes_ = 0;
}

void TMimeHeader::AddLine(std::string_view line) {
    if (bytes_ + line.size() > kMaxHeaderBytes) {
        return;
    }
    if (!line.empty() && (line[0] == ' ' || line[0] == '\t')) {
        if (!fields_.empty()) {
            fields_.back().second += ' ';
            fields_.back().second += Trim(line);
            bytes_ += line.size();
        }
        return;
    }
    size_t colon = line.find(':');
    if (colon == std::string_view::npos || fields_.size() >= kMaxFields) {
        return;
    }
    fields_.emplace_back(codec::AsciiLower(Trim(line.substr(0, colon))),
                         std::string(Trim(line.substr(colon + 1))));
    bytes_ += line.size();
}

std::string TMimeHeader::Field(std::string_view name) const {
    std::string key = codec::AsciiLower(name);
    for (const auto& [n, v] : fields_) {
        if (n == key) {
            return v;
        }
    }
    return {};
}

std::string TMimeHeader::Parameter(std::string_view field, std::string_view param,
                                   bool decodeWords) const {
    std::string value = Field(field);
    if (value.empty()) {
        return {};
    }
    std::string key = codec::AsciiLower(param);
    std::string plain;
    bool havePlain = false;
    std::string extended;
    bool haveExtended = false;
    std::map<int, std::pair<std::string, bool>> sections; // index -> (text, encoded)
    for (const RawParameter& p : SplitParameters(value)) {
        if (p.name == key) {
            if (!havePlain) {
                plain = p.value;
                havePlain = true;
            }
        } else if (p.name == key + "*") {
            extended = p.value;
            haveExtended = true;
        } else if (p.name.size() > key.size() + 1 && p.name.compare(0, key.size(), key) == 0 &&
                   p.name[key.size()] == '*') {
            std::string_view rest = std::string_view(p.name).substr(key.size() + 1);
            bool encoded = !rest.empty() && rest.back() == '*';
            if (encoded) {
                rest.remove_suffix(1);
            }
            if (rest.empty() || rest.size() > 4 ||
                rest.find_first_not_of("0123456789") != std::string_view::npos) {
                continue;
            }
            int index = std::stoi(std::string(rest));
            if (static_cast<int>(sections.size()) < kMaxContinuations) {
                sections.emplace(index, std::make_pair(p.value, encoded));
            }
        }
    }
    std::string charset;
    if (haveExtended) {
        std::string text = SplitCharset(extended, charset);
        return CharsetToUtf8(charset, PercentDecode(text));
    }
    if (!sections.empty()) {
        std::string joined;
        bool anyEncoded = false;
        int expected = 0;
        for (const auto& [index, section] : sections) {
            if (index != expected++) {
                break; // RFC 2231: sections run 0, 1, 2 ... without gaps
            }
            const auto& [text, encoded] = section;
            if (encoded) {
                std::string_view t = text;
                std::string s = index == 0 ? SplitCharset(t, charset) : std::string(t);
                joined += PercentDecode(s);
                anyEncoded = true;
            } else {
                joined += text;
            }
        }
        return anyEncoded ? CharsetToUtf8(charset, joined) : joined;
    }
    if (!havePlain) {
        return {};
    }
    return decodeWords ? DecodeEncodedWords(plain) : plain;
}

std::string TMimeHeader::MediaType() const {
    std::string v = Field("Content-Type");
    return codec::AsciiLower(Trim(std::string_view(v).substr(0, v.find(';'))));
}

std::string TMimeHeader::Disposition() const {
    std::string v = Field("Content-Disposition");
    return codec::AsciiLower(Trim(std::string_view(v).substr(0, v.find(';'))));
}

std::string TMimeHeader::TransferEncoding() const {
    return Field("Content-Transfer-Encoding");
}

std::string TMimeHeader::Boundary() const {
    return Parameter("Content-Type", "boundary", false);
}

std::string TMimeHeader::FileName() const {
    std::string name = Parameter("Content-Disposition", "filename");
    return name.empty() ? Parameter("Content-Type", "name") : name;
}

bool TMimeHeader::IsMultipart() const {
    return MediaType().rfind("multipart/", 0) == 0;
}

bool TMimeHeader::NamesFile() const {
    return Disposition() == "attachment" || !FileName().empty();
}
