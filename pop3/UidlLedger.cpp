#include "pop3/UidlLedger.h"

#include <QCryptographicHash>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Exception.h"
#include "platform/ProfileFile.h"
#include "platform/SafeFile.h"

namespace {

constexpr const char* kFirstLine = "mailgate-ledger 1";

// Fields are separated by one space; a byte that could break that (blank,
// control, '%', beyond ASCII) is written as %XX.
std::string Encode(const std::string& s) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    out.reserve(s.size());
    for (unsigned char c : s) {
        if (c <= 0x20 || c >= 0x7F || c == '%') {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool Decode(const std::string& s, std::string& out) {
    out.clear();
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '%') {
            out += s[i];
            continue;
        }
        if (i + 2 >= s.size()) {
            return false;
        }
        int hi = HexValue(s[i + 1]);
        int lo = HexValue(s[i + 2]);
        if (hi < 0 || lo < 0) {
            return false;
        }
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return !out.empty();
}

std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        std::size_t space = line.find(' ', start);
        fields.push_back(line.substr(start, space - start));
        if (space == std::string::npos) {
            return fields;
        }
        start = space + 1;
    }
}

std::string DayText(TUidlLedger::TDay day) {
    const std::chrono::year_month_day ymd{day};
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u", static_cast<int>(ymd.year()),
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()));
    return text;
}

bool ParseDay(const std::string& text, TUidlLedger::TDay& day) {
    int y = 0;
    unsigned m = 0;
    unsigned d = 0;
    char tail = 0;
    if (text.size() != 10 || std::sscanf(text.c_str(), "%4d-%2u-%2u%c", &y, &m, &d, &tail) != 3) {
        return false;
    }
    const std::chrono::year_month_day ymd{std::chrono::year(y), std::chrono::month(m),
                                          std::chrono::day(d)};
    if (!ymd.ok()) {
        return false;
    }
    day = std::chrono::sys_days(ymd);
    return true;
}

} // namespace

TUidlLedger::TUidlLedger(std::string path)
    : path_(std::move(path)),
      today_(std::chrono::floor<std::chrono::days>(std::chrono::system_clock::now())) {}

std::string TUidlLedger::PathFor(const std::string& settingsPath) {
    return BesideSettings(settingsPath, ".uidl");
}

std::string TUidlLedger::DigestKey(const std::string& messageId, const std::string& date,
                                   const std::string& from, std::size_t size) {
    QCryptographicHash hash(QCryptographicHash::Sha256);
    for (const std::string* field : {&messageId, &date, &from}) {
        hash.addData(QByteArrayView(field->data(), static_cast<qsizetype>(field->size())));
        hash.addData(QByteArrayView("\n", 1));
    }
    const std::string sizeText = std::to_string(size);
    hash.addData(QByteArrayView(sizeText.data(), static_cast<qsizetype>(sizeText.size())));
    return "h:" + hash.result().toHex().toStdString();
}

TUidlLedger::TState TUidlLedger::StateOf(const std::string& key) const {
    auto it = entries_.find(key);
    return it == entries_.end() ? TState::Unknown : it->second.state;
}

std::string TUidlLedger::ReasonOf(const std::string& key) const {
    auto it = entries_.find(key);
    return it == entries_.end() ? std::string() : it->second.reason;
}

void TUidlLedger::MarkDone(const std::string& key, const std::vector<TStagedFile>& staged) {
    if (!key.empty()) {
        entries_[key] = Entry{TState::Done, today_, {}};
    }
    staged_.insert(staged_.end(), staged.begin(), staged.end());
}

void TUidlLedger::MarkRefused(const std::string& key, std::string reason) {
    if (reason.size() > MaxReasonBytes) {
        reason.resize(MaxReasonBytes);
    }
    entries_[key] = Entry{TState::Refused, today_, std::move(reason)};
}

void TUidlLedger::AddMessageId(const std::string& id) {
    messageIds_[id] = today_;
}

void TUidlLedger::Unstage(const TStagedFile& file) {
    std::erase(staged_, file);
}

bool TUidlLedger::Prune(const std::string& prefix, const std::set<std::string>& present) {
    bool dropped = false;
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (it->first.rfind(prefix, 0) == 0 && present.count(it->first) == 0) {
            it = entries_.erase(it);
            dropped = true;
        } else {
            ++it;
        }
    }
    for (auto it = messageIds_.begin(); it != messageIds_.end();) {
        if (today_ - it->second > std::chrono::days(MessageIdDays)) {
            it = messageIds_.erase(it);
            dropped = true;
        } else {
            ++it;
        }
    }
    return dropped;
}

void TUidlLedger::Save() {
    std::string text = std::string(kFirstLine) + "\n";
    std::size_t count = 0;
    for (const auto& [key, entry] : entries_) {
        if (entry.state == TState::Done) {
            text += "D " + DayText(entry.day) + " " + Encode(key) + "\n";
        } else {
            text +=
                "R " + DayText(entry.day) + " " + Encode(key) + " " + Encode(entry.reason) + "\n";
        }
        ++count;
    }
    for (const auto& [id, day] : messageIds_) {
        text += "M " + DayText(day) + " " + Encode(id) + "\n";
        ++count;
    }
    for (const TStagedFile& file : staged_) {
        text += "S " + Encode(file.tempPath) + " " + Encode(file.name) + "\n";
        ++count;
    }
    text += "end " + std::to_string(count) + "\n";
    ReplaceFileAtomically(path_, text, 0600);
}

bool TUidlLedger::Parse(const std::string& text, std::string& what) {
    std::size_t start = 0;
    std::size_t lineNumber = 0;
    std::size_t count = 0;
    bool ended = false;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        ++lineNumber;
        const std::string where = "line " + std::to_string(lineNumber);
        if (end == std::string::npos) {
            what = where + " has no line end";
            return false;
        }
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        if (line.size() > MaxLineBytes) {
            what = where + " is too long";
            return false;
        }
        if (ended) {
            what = where + " follows the end line";
            return false;
        }
        if (lineNumber == 1) {
            if (line != kFirstLine) {
                what = "it does not begin with \"" + std::string(kFirstLine) + "\"";
                return false;
            }
            continue;
        }
        const std::vector<std::string> f = Fields(line);
        TDay day{};
        std::string a;
        std::string b;
        bool good = false;
        if (f[0] == "D" && f.size() == 3) {
            good = ParseDay(f[1], day) && Decode(f[2], a);
            entries_[a] = Entry{TState::Done, day, {}};
        } else if (f[0] == "R" && f.size() == 4) {
            good = ParseDay(f[1], day) && Decode(f[2], a) && Decode(f[3], b);
            entries_[a] = Entry{TState::Refused, day, b};
        } else if (f[0] == "M" && f.size() == 3) {
            good = ParseDay(f[1], day) && Decode(f[2], a);
            messageIds_[a] = day;
        } else if (f[0] == "S" && f.size() == 3) {
            good = Decode(f[1], a) && Decode(f[2], b);
            staged_.push_back(TStagedFile{a, b});
        } else if (f[0] == "end" && f.size() == 2) {
            good = f[1] == std::to_string(count);
            ended = true;
            if (!good) {
                what = "its end line counts " + f[1] + " entries, not " + std::to_string(count);
                return false;
            }
            continue;
        }
        if (!good) {
            what = where + " cannot be read";
            return false;
        }
        ++count;
    }
    if (!ended) {
        what = lineNumber == 0 ? "it is empty" : "its end line is missing";
        return false;
    }
    return true;
}

std::string TUidlLedger::Damaged(const std::string& what) {
    entries_.clear();
    messageIds_.clear();
    staged_.clear();
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    ::gmtime_r(&now, &tm);
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &tm);
    std::string aside = path_ + ".damaged-" + stamp;
    for (int n = 2; n < 1000 && !RenameNoReplace(path_, aside); ++n) {
        aside = path_ + ".damaged-" + stamp + "-" + std::to_string(n);
    }
    return "The ledger " + path_ + " is damaged (" + what + "); it was set aside as " + aside +
           " and an empty ledger started";
}

std::string TUidlLedger::Load() {
    entries_.clear();
    messageIds_.clear();
    staged_.clear();
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            return {};
        }
        throw EInOutError("Unable to read " + path_ + ": " + std::strerror(errno));
    }
    std::string text;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            const int saved = errno;
            ::close(fd);
            throw EInOutError("Unable to read " + path_ + ": " + std::strerror(saved));
        }
        if (n == 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(n));
        if (text.size() > MaxFileBytes) {
            ::close(fd);
            return Damaged("it is larger than " + std::to_string(MaxFileBytes) + " bytes");
        }
    }
    ::close(fd);
    std::string what;
    if (!Parse(text, what)) {
        return Damaged(what);
    }
    return {};
}
