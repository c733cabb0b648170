#include "smtp/MessageIdentity.h"

#include "platform/Exception.h"
#include "smtp/MailComposer.h"

#include <openssl/evp.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::string_view kPrefix = "<mg.";
constexpr size_t kHexDigits = 32;
constexpr size_t kMaxDomain = 253;
constexpr size_t kReadChunk = 64 * 1024;

bool IsLowerHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

bool IsLabelChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
}

// Lower-case labels of letters, digits and hyphens joined by single dots:
// what can stand in a Message-ID's right half without quoting, and the same
// for every spelling of the sender's domain.
bool IsPlainDomain(std::string_view domain) {
    if (domain.empty() || domain.size() > kMaxDomain) {
        return false;
    }
    bool labelStart = true;
    for (char c : domain) {
        if (c == '.') {
            if (labelStart) {
                return false;
            }
            labelStart = true;
        } else if (IsLabelChar(c)) {
            labelStart = false;
        } else {
            return false;
        }
    }
    return !labelStart;
}

std::string DomainOf(const std::string& fromAddress) {
    MailAddressParts parts;
    std::string why;
    std::string address = ParseMailAddress(fromAddress, parts, why) ? parts.address : fromAddress;
    size_t at = address.rfind('@');
    if (at == std::string::npos) {
        return "localhost";
    }
    std::string domain = address.substr(at + 1);
    for (char& c : domain) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return IsPlainDomain(domain) ? domain : "localhost";
}

struct DigestDeleter {
    void operator()(EVP_MD_CTX* ctx) const noexcept { EVP_MD_CTX_free(ctx); }
};
using Digest = std::unique_ptr<EVP_MD_CTX, DigestDeleter>;

struct OpenFile {
    int fd;
    ~OpenFile() { ::close(fd); }
};

[[noreturn]] void Unreadable(const std::string& path, const std::string& reason) {
    throw EInOutError("Unable to read " + path + ": " + reason);
}

Digest NewSha256(const std::string& path) {
    Digest ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) {
        Unreadable(path, "SHA-256 is not available");
    }
    return ctx;
}

void Update(EVP_MD_CTX* ctx, const void* data, size_t size, const std::string& path) {
    if (EVP_DigestUpdate(ctx, data, size) != 1) {
        Unreadable(path, "SHA-256 failed");
    }
}

std::string Final(EVP_MD_CTX* ctx, const std::string& path) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(ctx, md, &size) != 1) {
        Unreadable(path, "SHA-256 failed");
    }
    return std::string(reinterpret_cast<const char*>(md), size);
}

// The content's SHA-256, with the size and modification time the file had
// when it was opened.
std::string ContentDigest(const std::string& path, struct stat& st) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        Unreadable(path, std::strerror(errno));
    }
    OpenFile closer{fd};
    if (::fstat(fd, &st) != 0) {
        Unreadable(path, std::strerror(errno));
    }
    if (!S_ISREG(st.st_mode)) {
        Unreadable(path, "not a regular file");
    }
    Digest ctx = NewSha256(path);
    std::unique_ptr<char[]> buffer(new char[kReadChunk]);
    for (;;) {
        ssize_t n = ::read(fd, buffer.get(), kReadChunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            Unreadable(path, std::strerror(errno));
        }
        if (n == 0) {
            break;
        }
        Update(ctx.get(), buffer.get(), static_cast<size_t>(n), path);
    }
    return Final(ctx.get(), path);
}

} // namespace

std::string MailgateMessageId(const std::string& filePath, const std::string& fromAddress) {
    struct stat st {};
    const std::string content = ContentDigest(filePath, st);
    // Every field ends in a NUL, which no file name holds, so no two
    // different files share a record.
    std::string record = "mailgate outbox file";
    record += '\0';
    record += BaseFileName(filePath);
    record += '\0';
    record += std::to_string(static_cast<long long>(st.st_size));
    record += '\0';
    record += std::to_string(static_cast<long long>(st.st_mtim.tv_sec)) + "." +
              std::to_string(static_cast<long long>(st.st_mtim.tv_nsec));
    record += '\0';
    record += content;

    Digest ctx = NewSha256(filePath);
    Update(ctx.get(), record.data(), record.size(), filePath);
    const std::string digest = Final(ctx.get(), filePath);

    static const char hex[] = "0123456789abcdef";
    std::string id(kPrefix);
    for (size_t i = 0; i < kHexDigits / 2; ++i) {
        unsigned char b = static_cast<unsigned char>(digest[i]);
        id += hex[b >> 4];
        id += hex[b & 0x0f];
    }
    id += '@';
    id += DomainOf(fromAddress);
    id += '>';
    return id;
}

bool IsMailgateMessageId(std::string_view id) noexcept {
    if (id.size() < kPrefix.size() + kHexDigits + 3 || id.substr(0, kPrefix.size()) != kPrefix ||
        id.back() != '>') {
        return false;
    }
    std::string_view rest = id.substr(kPrefix.size(), id.size() - kPrefix.size() - 1);
    for (size_t i = 0; i < kHexDigits; ++i) {
        if (!IsLowerHex(rest[i])) {
            return false;
        }
    }
    return rest[kHexDigits] == '@' && IsPlainDomain(rest.substr(kHexDigits + 1));
}
