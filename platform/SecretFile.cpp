#include "platform/SecretFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Exception.h"
#include "platform/SafeFile.h"

namespace {
// A token is a few kilobytes at most; anything larger is not one.
constexpr std::size_t kMaxSecret = 64 * 1024;
} // namespace

std::string ReadSecretFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        if (errno == ENOENT) {
            return {};
        }
        throw EFOpenError("Cannot read " + path + ": " + std::strerror(errno));
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        throw EFOpenError("Cannot read " + path + ": not a regular file");
    }
    if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        ::close(fd);
        throw EFOpenError(path + " can be read by other users: chmod 600 it");
    }
    std::string secret(kMaxSecret + 1, '\0');
    std::size_t got = 0;
    while (got < secret.size()) {
        const ssize_t n = ::read(fd, secret.data() + got, secret.size() - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            const int saved = errno;
            ::close(fd);
            throw EFOpenError("Cannot read " + path + ": " + std::strerror(saved));
        }
        if (n == 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (got > kMaxSecret) {
        throw EFOpenError("Cannot read " + path + ": larger than a token can be");
    }
    secret.resize(got);
    while (!secret.empty() && (secret.back() == '\n' || secret.back() == '\r' ||
                               secret.back() == ' ' || secret.back() == '\t')) {
        secret.pop_back();
    }
    return secret;
}

void WriteSecretFile(const std::string& path, const std::string& secret) {
    ReplaceFileAtomically(path, secret + "\n", 0600);
}
