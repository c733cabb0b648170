#include "platform/SafeFile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Exception.h"

namespace {

[[noreturn]] void IoError(const std::string& what, const std::string& path) {
    throw EInOutError(what + " " + path + ": " + std::strerror(errno));
}

void WriteAll(int fd, const std::string& data, const std::string& path) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            IoError("Cannot write", path);
        }
        done += static_cast<size_t>(n);
    }
}

} // namespace

std::string FolderOf(const std::string& path) {
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

void SyncFolder(const std::string& folder) {
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        IoError("Cannot open folder", folder);
    }
    int rc = ::fsync(fd);
    int saved = errno;
    ::close(fd);
    // Some file systems refuse fsync on folders; their renames are durable anyway.
    if (rc != 0 && saved != EINVAL && saved != EROFS) {
        errno = saved;
        IoError("Cannot sync folder", folder);
    }
}

void SyncFileAndFolder(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        IoError("Cannot open", path);
    }
    int rc = ::fsync(fd);
    int saved = errno;
    ::close(fd);
    if (rc != 0) {
        errno = saved;
        IoError("Cannot sync", path);
    }
    SyncFolder(FolderOf(path));
}

void ReplaceFileAtomically(const std::string& path, const std::string& data, mode_t mode) {
    std::string folder = FolderOf(path);
    std::string pattern = folder + "/.tmp-XXXXXX";
    int fd = ::mkstemp(pattern.data());
    if (fd < 0) {
        throw EFCreateError("Cannot create file " + path);
    }
    try {
        if (::fchmod(fd, mode) != 0) {
            IoError("Cannot set permissions of", pattern);
        }
        WriteAll(fd, data, pattern);
        if (::fsync(fd) != 0) {
            IoError("Cannot sync", pattern);
        }
    } catch (...) {
        ::close(fd);
        ::unlink(pattern.c_str());
        throw;
    }
    ::close(fd);
    if (::rename(pattern.c_str(), path.c_str()) != 0) {
        int saved = errno;
        ::unlink(pattern.c_str());
        errno = saved;
        IoError("Cannot replace", path);
    }
    SyncFolder(folder);
}

namespace {

// The file system has no hard links (vfat, exFAT, some network mounts) or
// does not let this user make one (protected hard links).
bool NoHardLinks(int error) {
    return error == EPERM || error == EOPNOTSUPP || error == ENOSYS || error == EMLINK;
}

// The file system (or kernel) does not know renameat2's no-replace flag.
bool NoRenameFlag(int error) {
    return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP;
}

} // namespace

bool RenameNoReplace(const std::string& from, const std::string& to, const RenameCalls& calls) {
    const std::string what = "Cannot rename " + from + " to";
    // link + unlink gives "fail if the target exists" on every local file
    // system that has hard links, on any kernel.
    if (calls.link(from.c_str(), to.c_str()) == 0) {
        ::unlink(from.c_str());
        return true;
    }
    if (errno == EEXIST) {
        return false;
    }
    if (!NoHardLinks(errno)) {
        IoError(what, to);
    }
    if (calls.renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno == EEXIST) {
        return false;
    }
    if (!NoRenameFlag(errno)) {
        IoError(what, to);
    }
    // Claim the name first: creating it exclusively fails when it exists, and
    // once it is ours the rename replaces only our own empty file.
    int fd = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        if (errno == EEXIST) {
            return false;
        }
        IoError(what, to);
    }
    ::close(fd);
    if (::rename(from.c_str(), to.c_str()) != 0) {
        int saved = errno;
        ::unlink(to.c_str());
        errno = saved;
        IoError(what, to);
    }
    return true;
}
