#include "platform/FileDigest.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <openssl/evp.h>
#include <unistd.h>

#include "platform/Exception.h"

namespace {

constexpr size_t kReadChunk = 256 * 1024;

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

} // namespace

std::string FileSha256(const std::string& path, struct stat* st) {
    struct stat own {};
    if (st == nullptr) {
        st = &own;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        Unreadable(path, std::strerror(errno));
    }
    OpenFile closer{fd};
    if (::fstat(fd, st) != 0) {
        Unreadable(path, std::strerror(errno));
    }
    if (!S_ISREG(st->st_mode)) {
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

std::string Sha256(std::string_view data) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(data.data(), data.size(), md, &size, EVP_sha256(), nullptr) != 1) {
        throw EInOutError("SHA-256 is not available");
    }
    return std::string(reinterpret_cast<const char*>(md), size);
}

std::string HexPrefix(const std::string& digest, std::size_t digits) {
    static const char hex[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < digest.size() && text.size() < digits; ++i) {
        const auto b = static_cast<unsigned char>(digest[i]);
        text += hex[b >> 4];
        text += hex[b & 0x0f];
    }
    text.resize(std::min(text.size(), digits));
    return text;
}
