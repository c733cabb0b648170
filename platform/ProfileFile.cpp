#include "platform/ProfileFile.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/Exception.h"
#include "platform/SafeFile.h"

namespace {

struct Line {
    std::string text; // without its terminator
    std::string eol;  // "\r\n", "\n" or "" for a last line without one
};

std::vector<Line> SplitLines(const std::string& data) {
    std::vector<Line> lines;
    size_t start = 0;
    while (start < data.size()) {
        size_t nl = data.find('\n', start);
        if (nl == std::string::npos) {
            lines.push_back({data.substr(start), ""});
            break;
        }
        size_t end = nl;
        bool crlf = end > start && data[end - 1] == '\r';
        if (crlf) {
            --end;
        }
        lines.push_back({data.substr(start, end - start), crlf ? "\r\n" : "\n"});
        start = nl + 1;
    }
    return lines;
}

std::string Trim(const std::string& s) {
    const char* blanks = " \t\r";
    size_t b = s.find_first_not_of(blanks);
    if (b == std::string::npos) {
        return {};
    }
    size_t e = s.find_last_not_of(blanks);
    return s.substr(b, e - b + 1);
}

bool SameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (std::tolower(x) != std::tolower(y)) {
            return false;
        }
    }
    return true;
}

// "[Name]" gives Name; anything else is not a section line.
bool SectionName(const std::string& line, std::string& name) {
    std::string t = Trim(line);
    if (t.size() < 2 || t.front() != '[') {
        return false;
    }
    size_t close = t.find(']');
    if (close == std::string::npos) {
        return false;
    }
    name = Trim(t.substr(1, close - 1));
    return true;
}

// "key=value" gives key and value; comments and other lines are no key lines.
bool KeyLine(const std::string& line, std::string& key, std::string& value) {
    std::string t = Trim(line);
    if (t.empty() || t.front() == ';') {
        return false;
    }
    size_t eq = t.find('=');
    if (eq == std::string::npos) {
        return false;
    }
    key = Trim(t.substr(0, eq));
    value = Trim(t.substr(eq + 1));
    return true;
}

[[noreturn]] void Unreadable(const std::string& path, const std::string& reason) {
    throw EInOutError("Unable to read " + path + ": " + reason);
}

// The file's bytes (true), or false when there is no file. A file that is
// there but cannot be read is no empty file: treating it as one would have
// the next write rebuild it from nothing.
bool ReadIfExists(const std::string& path, std::string& data) {
    // Non-blocking: opening a FIFO must not wait for a writer.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT) {
            return false;
        }
        Unreadable(path, std::strerror(errno));
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        int err = errno;
        ::close(fd);
        Unreadable(path, std::strerror(err));
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        Unreadable(path, S_ISDIR(st.st_mode) ? std::strerror(EISDIR) : "not a regular file");
    }
    data.clear();
    char chunk[65536];
    for (;;) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            int err = errno;
            ::close(fd);
            Unreadable(path, std::strerror(err));
        }
        if (n == 0) {
            break;
        }
        data.append(chunk, static_cast<size_t>(n));
    }
    ::close(fd);
    return true;
}

} // namespace

std::string TProfileFile::ReadString(const std::string& section, const std::string& key,
                                     const std::string& defaultValue) const {
    std::string data;
    if (!ReadIfExists(path_, data)) {
        return defaultValue;
    }
    bool inSection = false;
    for (const Line& line : SplitLines(data)) {
        std::string name, k, v;
        if (SectionName(line.text, name)) {
            inSection = SameName(name, section);
        } else if (inSection && KeyLine(line.text, k, v) && SameName(k, key)) {
            if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
                v = v.substr(1, v.size() - 2);
            }
            if (v.size() > MaxValueLength) {
                v.resize(MaxValueLength);
            }
            return v;
        }
    }
    return defaultValue;
}

void TProfileFile::WriteString(const std::string& section, const std::string& key,
                               const std::string& value) {
    std::string data;
    bool exists = ReadIfExists(path_, data);
    std::vector<Line> lines = SplitLines(data);
    // New lines follow the file's own line ends.
    std::string eol = !lines.empty() && lines.front().eol == "\r\n" ? "\r\n" : "\n";
    if (!lines.empty() && lines.back().eol.empty()) {
        lines.back().eol = eol;
    }
    Line entry{key + "=" + value, eol};

    bool inSection = false;
    bool done = false;
    long lastOfSection = -1; // last non-blank line of the matching section
    for (size_t i = 0; i < lines.size() && !done; ++i) {
        std::string name, k, v;
        if (SectionName(lines[i].text, name)) {
            if (inSection) {
                break;
            }
            inSection = SameName(name, section);
            if (inSection) {
                lastOfSection = static_cast<long>(i);
            }
        } else if (inSection) {
            if (KeyLine(lines[i].text, k, v) && SameName(k, key)) {
                lines[i].text = k + "=" + value;
                done = true;
            } else if (!Trim(lines[i].text).empty()) {
                lastOfSection = static_cast<long>(i);
            }
        }
    }
    if (!done) {
        if (lastOfSection >= 0) {
            lines.insert(lines.begin() + lastOfSection + 1, entry);
        } else {
            lines.push_back({"[" + section + "]", eol});
            lines.push_back(entry);
        }
    }

    std::string out;
    for (const Line& line : lines) {
        out += line.text;
        out += line.eol;
    }
    mode_t mode = 0600;
    struct stat st {};
    if (exists && ::stat(path_.c_str(), &st) == 0) {
        mode = st.st_mode & 07777;
    }
    try {
        ReplaceFileAtomically(path_, out, mode);
    } catch (const Exception&) {
        throw EInOutError("Unable to write to " + path_);
    }
}

std::string BesideSettings(const std::string& settingsPath, const std::string& extension) {
    const std::string ini = ".ini";
    if (settingsPath.size() > ini.size() &&
        settingsPath.compare(settingsPath.size() - ini.size(), ini.size(), ini) == 0) {
        return settingsPath.substr(0, settingsPath.size() - ini.size()) + extension;
    }
    return settingsPath + extension;
}
