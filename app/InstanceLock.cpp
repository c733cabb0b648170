#include "app/InstanceLock.h"

#include "platform/Exception.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <unistd.h>

#include "platform/ProfileFile.h"

std::string TInstanceLock::PathFor(const std::string& settingsPath) {
    return BesideSettings(settingsPath, ".lock");
}

std::string TInstanceLock::RefusalText(const std::string& settingsPath) {
    return "Another mailgate is running with " + settingsPath;
}

TInstanceLock::TInstanceLock(const std::string& settingsPath) {
    // One lock file whichever way the settings file is named: relative or
    // absolute, or through a link.
    std::error_code ec;
    std::filesystem::path canonical = std::filesystem::weakly_canonical(settingsPath, ec);
    lockPath_ = PathFor(ec ? settingsPath : canonical.string());
}

TInstanceLock::~TInstanceLock() {
    if (fd_ >= 0) {
        ::close(fd_); // drops the lock
    }
}

bool TInstanceLock::TryAcquire() {
    if (fd_ >= 0) {
        return true;
    }
    // Close-on-exec: a program started from here must not keep the lock
    // after this one ended.
    int fd = ::open(lockPath_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 && (errno == EACCES || errno == EROFS)) {
        // A lock file made by another user, or one in a read-only folder:
        // flock takes no notice of the open mode.
        fd = ::open(lockPath_.c_str(), O_RDONLY | O_CLOEXEC);
    }
    if (fd < 0) {
        throw EFCreateError("Cannot open the lock file " + lockPath_ + ": " + std::strerror(errno));
    }
    int locked;
    do {
        locked = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EWOULDBLOCK) {
            return false;
        }
        throw EFCreateError("Cannot lock " + lockPath_ + ": " + std::strerror(error));
    }
    fd_ = fd;
    return true;
}
